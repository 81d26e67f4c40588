"""Runs a Python script inside a real Blender host and hands back what the script reported.

Hosts: the table HOSTS, read from hosts.tsv, one row per real Blender the add-on is tested in; every host starts from
Blender's default scene (camera, cube, light). A host missing on this machine is skipped, unless
CI=true: there every host is expected, and one that cannot start fails its tests.

The script gets a small preamble: the built package directory ($TAVRO_ADDON_DIR, default build/addon) and this folder are on
sys.path, `ARGS` holds the JSON value passed as `args`, and `emit(value)` reports a JSON value
back (the last one wins). A script that raises fails the run with the host's output attached.

    from render_harness import available_hosts, run_in_host
    for host in available_hosts():
        value = run_in_host(host, "import bpy\\nemit(bpy.app.version_string)")

    @pytest.mark.parametrize("host", host_params())   # missing hosts shown as skipped

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

# The table and the folder of the hosts' virtual environments; scripts/newest points both at a
# scratch table of the newest bpy modules.
HOSTS_FILE = pathlib.Path(os.environ.get("TAVRO_HOSTS_FILE", HERE / "hosts.tsv"))
HOSTS_DIR = pathlib.Path(os.environ.get("TAVRO_HOSTS_DIR", ROOT / ".hosts"))


def _host_table():
    """name -> the command that runs a script file (its path appended), from hosts.tsv."""
    table = {}
    for line in HOSTS_FILE.read_text().splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        name, _python, _package = line.split("\t")
        if name.startswith("bpy-"):
            # A PyPI bpy module: a factory-settings Blender inside a plain Python process, in a
            # virtual environment of its own (scripts/bootstrap).
            table[name] = [str(HOSTS_DIR / name / "bin" / "python")]
        else:
            # Debian's Blender, with its own Python 3.11.
            table[name] = ["blender", "-b", "--factory-startup", "-noaudio",
                           "--python-exit-code", "1", "--python"]
    return table


HOSTS = _host_table()
RESULT_TAG = "HARNESS-RESULT "

PREAMBLE = '''\
import atexit as _atexit, json as _json, os as _os, sys as _sys
_sys.path.insert(0, _os.environ["HARNESS_DIR"])
_sys.path.insert(0, _os.environ["TAVRO_ADDON_DIR"])
ARGS = _json.loads(_os.environ.get("HARNESS_ARGS", "null"))
def emit(value):
    print("''' + RESULT_TAG + '''" + _json.dumps(value), flush=True)
'''

# A bpy module tears Blender down in an exit handler that bpy registers on import; some module
# builds crash (4.2) or hang (4.3) there. Registered right after bpy's, this handler runs once
# every exit handler of the script and the add-on has run, and ends the process before bpy's.
_MODULE_EXIT = '''\
import bpy as _bpy
_exit_code = [0]
_sys.excepthook = lambda *e: (_sys.__excepthook__(*e), _exit_code.__setitem__(0, 1))
def _leave():
    _sys.stdout.flush()
    _sys.stderr.flush()
    _os._exit(_exit_code[0])
_atexit.register(_leave)
'''


class HostError(AssertionError):
    """The script failed inside the host, or reported nothing."""


def in_ci():
    return os.environ.get("CI", "").lower() == "true"


def host_present(host):
    return shutil.which(HOSTS[host][0]) is not None


def available_hosts():
    """The hosts to test in, in the table's order: all of them under CI, else those present."""
    return [h for h in HOSTS if in_ci() or host_present(h)]


def host_params():
    """pytest parameters for every host; outside CI a missing one is skipped, not hidden."""
    import pytest
    return [pytest.param(h, marks=() if in_ci() or host_present(h) else
                         pytest.mark.skip(reason=f"{h} is not installed here")) for h in HOSTS]


def host_command(host, script_path):
    """The command line that runs `script_path` in `host`."""
    return HOSTS[host] + [str(script_path)]


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
        preamble = PREAMBLE + (_MODULE_EXIT if host.startswith("bpy-") else "")
        path.write_text(preamble + source)
        try:
            out = subprocess.run(host_command(host, path), env=run_env, capture_output=True,
                                 text=True, timeout=timeout, cwd=tmp)
        except OSError as e:
            raise HostError(f"{host}: cannot start: {e}")
        except subprocess.TimeoutExpired as e:
            raise HostError(f"{host}: no result within {timeout} s\n"
                            f"{output_tail(e.stdout, e.stderr)}")
    results = [line[len(RESULT_TAG):] for line in out.stdout.splitlines()
               if line.startswith(RESULT_TAG)]
    if out.returncode != 0 or not results:
        raise HostError(f"{host}: exit code {out.returncode}, {len(results)} results\n"
                        f"{output_tail(out.stdout, out.stderr)}")
    return json.loads(results[-1])


def package_zip(folder):
    """The add-on's zip for this machine, as scripts/package writes it, from the build folder of
    ADDON_DIR, into `folder`; its path."""
    env = dict(os.environ, BUILD_DIR=str(ADDON_DIR.parent), DIST_DIR=str(folder))
    out = subprocess.run([str(ROOT / "scripts" / "package")], env=env, capture_output=True,
                         text=True, timeout=900)
    if out.returncode != 0:
        raise HostError(f"scripts/package failed\n{out.stderr[-3000:]}")
    return out.stdout.strip().splitlines()[-1]


def output_tail(stdout, stderr, limit=3000):
    def text(v):
        return v.decode(errors="replace") if isinstance(v, bytes) else (v or "")
    return f"--- stdout ---\n{text(stdout)[-limit:]}\n--- stderr ---\n{text(stderr)[-limit:]}"
