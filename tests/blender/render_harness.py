"""Runs a Python script inside a real Blender host and hands back what the script reported.

Hosts:
  "blender-3.4"  Debian's Blender: `blender -b --factory-startup --python FILE`;
  "bpy-5.0"      the `bpy` module of the venv: `<venv>/bin/python FILE` (a factory-settings
                 Blender inside a plain Python process).

Both start from Blender's default scene (camera, cube, light). The script gets a small preamble:
the built package directory ($TAVRO_ADDON_DIR, default build/addon) and this folder are on
sys.path, `ARGS` holds the JSON value passed as `args`, and `emit(value)` reports a JSON value
back (the last one wins). A script that raises fails the run with the host's output attached.

    from render_harness import available_hosts, run_in_host
    for host in available_hosts():
        value = run_in_host(host, "import bpy\\nemit(bpy.app.version_string)")

Used by the real-Blender tests and by bench/render.
"""

import json
import os
import pathlib
import shutil
import subprocess
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
ADDON_DIR = pathlib.Path(os.environ.get("TAVRO_ADDON_DIR", ROOT / "build" / "addon"))
VENV_PYTHON = ROOT / ".venv" / "bin" / "python"

BLENDER_34 = "blender-3.4"
BPY_50 = "bpy-5.0"
RESULT_TAG = "HARNESS-RESULT "

_PREAMBLE = '''\
import json as _json, os as _os, sys as _sys
_sys.path.insert(0, _os.environ["HARNESS_DIR"])
_sys.path.insert(0, _os.environ["TAVRO_ADDON_DIR"])
ARGS = _json.loads(_os.environ.get("HARNESS_ARGS", "null"))
def emit(value):
    print("''' + RESULT_TAG + '''" + _json.dumps(value), flush=True)
'''


class HostError(AssertionError):
    """The script failed inside the host, or reported nothing."""


def available_hosts():
    """The hosts that exist on this machine, in a fixed order."""
    found = []
    if shutil.which("blender"):
        found.append(BLENDER_34)
    if VENV_PYTHON.exists():
        found.append(BPY_50)
    return found


def host_command(host, script_path):
    """The command line that runs `script_path` in `host`."""
    if host == BLENDER_34:
        return ["blender", "-b", "--factory-startup", "-noaudio", "--python-exit-code", "1",
                "--python", str(script_path)]
    if host == BPY_50:
        return [str(VENV_PYTHON), str(script_path)]
    raise ValueError(f"unknown host {host!r}")


def run_in_host(host, script, args=None, timeout=300, env=None):
    """Runs `script` (source text, or a path to a file) in `host`; returns the last emitted value.

    `args` is any JSON value, available to the script as ARGS. Raises HostError with the tail of
    the host's output when the script fails, times out or emits nothing.
    """
    source = script.read_text() if isinstance(script, pathlib.Path) else script
    run_env = dict(os.environ, TAVRO_ADDON_DIR=str(ADDON_DIR), HARNESS_DIR=str(HERE),
                   HARNESS_ARGS=json.dumps(args))
    run_env.update(env or {})
    with tempfile.TemporaryDirectory(prefix="harness_") as tmp:
        path = pathlib.Path(tmp) / "host_script.py"
        path.write_text(_PREAMBLE + source)
        try:
            out = subprocess.run(host_command(host, path), env=run_env, capture_output=True,
                                 text=True, timeout=timeout, cwd=tmp)
        except subprocess.TimeoutExpired as e:
            raise HostError(f"{host}: no result within {timeout} s\n{_tail(e.stdout, e.stderr)}")
    results = [line[len(RESULT_TAG):] for line in out.stdout.splitlines()
               if line.startswith(RESULT_TAG)]
    if out.returncode != 0 or not results:
        raise HostError(f"{host}: exit code {out.returncode}, {len(results)} results\n"
                        f"{_tail(out.stdout, out.stderr)}")
    return json.loads(results[-1])


def _tail(stdout, stderr, limit=3000):
    def text(v):
        return v.decode(errors="replace") if isinstance(v, bytes) else (v or "")
    return f"--- stdout ---\n{text(stdout)[-limit:]}\n--- stderr ---\n{text(stderr)[-limit:]}"
