"""Runs a Python script in a real Blender window, as a user runs Blender, and drives the window
from outside: real key presses and clicks (X events through XTest), pictures of the screen.

Hosts: hosts.tsv. Debian's own Blender runs directly; the others run from their minimal Debian
root (scripts/gui-roots) through bwrap, sharing this machine's /tmp (files, the X socket), its
network (127.0.0.1) and the checkout, read-only. Each window gets an Xvfb display of its own;
OpenGL is Mesa's software renderer. A host missing here is skipped, unless CI=true.

The script gets render_harness's preamble (ARGS, emit(value), the add-on's build folder and
tests/blender on sys.path) and `done(value)`: emits `value` and quits Blender. An exception the
script raises anywhere, in a timer too, quits Blender and fails the run. A script drives itself
through bpy.app.timers once the window is up, e.g. `drive(steps())` for a generator of steps.

    with run_in_window("blender-4.3", SCRIPT, args={...}, timeout=120) as win:
        win.wait_for(path)                  # a file the script writes
        x, y = win.wait_for_value("button") # a value the script emitted as {"button": ...}
        win.key("Escape")                   # pressed over the window's middle
        win.click(x, y)                     # window coordinates, from the top left
        win.screenshot(tmp / "shot.png")    # the whole screen: (width, height, RGB), a PNG
        value = win.result()                # Blender's end: the last emitted value

Blender and Xvfb are killed when the block ends, however it ends.
"""

import contextlib
import json
import os
import pathlib
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[0] / "blender"))
from render_harness import (ADDON_DIR, PREAMBLE, RESULT_TAG, ROOT, HostError,  # noqa: E402
                            in_ci, output_tail, package_zip)

ROOTS = pathlib.Path(os.environ.get("TAVRO_GUI_ROOTS", "/var/cache/tavro/gui-roots"))
SIZE = (1280, 800)
ERROR_TAG = "GUI-HARNESS-ERROR"


def _host_table():
    """name -> the Debian suite of its root, or None for this machine's own Blender."""
    table = {}
    for line in (HERE / "hosts.tsv").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            name, suite = line.split("\t")
            table[name] = None if suite == "-" else suite
    return table


HOSTS = _host_table()


def host_present(host):
    if HOSTS[host] is None:
        return shutil.which("blender") is not None
    return any((ROOTS / host).glob(".tavro-ready-*")) and shutil.which("bwrap") is not None


def host_params():
    """pytest parameters for every GUI host; outside CI a missing one is skipped, not hidden."""
    import pytest
    return [pytest.param(h, marks=() if in_ci() or host_present(h) else
                         pytest.mark.skip(reason=f"{h} is not installed here")) for h in HOSTS]


def blender_command(host):
    """The command that starts `host`'s Blender; inside a root, the paths a script needs are
    this machine's: /tmp shared, the checkout and the add-on's build folder read-only."""
    if HOSTS[host] is None:
        return ["blender"]
    root = ROOTS / host
    cmd = ["bwrap", "--die-with-parent", "--unshare-pid", "--proc", "/proc", "--dev", "/dev",
           "--bind", "/tmp", "/tmp"]
    # The root's folders, not the root itself, so that the mount points of the shared paths
    # are made in bwrap's own empty root and the cached root is never written to.
    for entry in sorted(root.iterdir()):
        if entry.name in ("proc", "dev", "tmp", "sys") or entry.name.startswith("."):
            continue
        if entry.is_symlink():
            cmd += ["--symlink", os.readlink(entry), "/" + entry.name]
        elif entry.is_dir():
            cmd += ["--ro-bind", str(entry), "/" + entry.name]
    for path in {ROOT, ADDON_DIR.resolve()}:
        cmd += ["--ro-bind", str(path), str(path)]
    return cmd + ["blender"]


_GUI_PREAMBLE = '''\
import traceback as _traceback
def done(value=None):
    """Emits `value` and quits Blender once this timer or script step has returned."""
    import bpy
    if value is not None:
        emit(value)
    bpy.app.timers.register(lambda: bpy.ops.wm.quit_blender(), first_interval=0.05)
def drive(steps, first_interval=1.0):
    """Runs the generator `steps` from a timer once the window is up: each value it yields is
    the seconds until its next step."""
    import bpy
    def step():
        try:
            return next(steps)
        except StopIteration:
            return None
    bpy.app.timers.register(step, first_interval=first_interval, persistent=True)
def _fail(*exc):
    _traceback.print_exception(*exc)
    print("''' + ERROR_TAG + '''", flush=True)
    _os._exit(70)
_sys.excepthook = _fail
import bpy as _bpy
_bpy.context.preferences.view.show_splash = False
'''


class Window:
    """A running Blender window on a display of its own (see the module's text)."""

    def __init__(self, host, display, framebuffer, proc, log, deadline):
        self.host, self.display, self._fb = host, display, framebuffer
        self._proc, self._log, self._deadline = proc, log, deadline

    def _x(self, *args):
        subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=self.display),
                       check=True, timeout=10)

    def key(self, name, at=None):
        """Presses and releases the key `name` (an X keysym, e.g. Escape, ctrl+F12) with the
        pointer at `at` (window coordinates; default the window's middle): Blender hands a key
        to the area under the pointer."""
        x, y = at or (SIZE[0] // 2, SIZE[1] // 2)
        self._x("mousemove", str(x), str(y), "sleep", "0.1", "key", name)

    def click(self, x, y, button=1, hold=None):
        """Clicks `button` (4 and 5: the wheel up and down) at (x, y), window coordinates, with
        the modifier key `hold` (e.g. ctrl) held down meanwhile."""
        clicks = ["click", str(button)]
        if hold:
            clicks = ["keydown", hold, *clicks, "keyup", hold]
        self._x("mousemove", str(x), str(y), "sleep", "0.1", *clicks)

    def screenshot(self, path=None):
        """The whole screen, read from Xvfb's framebuffer (what the X server shows, whatever
        the host's OpenGL): (width, height, RGB bytes), also written as a PNG to `path`."""
        picture = read_xwd(self._fb.read_bytes())
        if path:
            write_png(path, *picture)
        return picture

    def output(self):
        return self._log.read_text(errors="replace")

    def emitted(self):
        """Every value emitted so far, in order."""
        return [json.loads(line[len(RESULT_TAG):]) for line in self.output().splitlines()
                if line.startswith(RESULT_TAG)]

    def _wait(self, what, found, timeout):
        end = min(time.monotonic() + timeout, self._deadline)
        while (value := found()) is None:
            if self._proc.poll() is not None or time.monotonic() > end:
                raise HostError(f"{self.host}: no {what} (Blender "
                                f"{'ended' if self._proc.poll() is not None else 'runs'})\n"
                                f"{output_tail(self.output(), '')}")
            time.sleep(0.05)
        return value

    def wait_for(self, path, timeout=60):
        """Waits until `path` exists; fails early when Blender ends first."""
        return self._wait(path, lambda: pathlib.Path(path) if os.path.exists(path) else None,
                          timeout)

    def wait_for_value(self, key, timeout=60):
        """Waits until the script has emitted a dict holding `key`; the newest such value."""
        def found():
            return next((v[key] for v in reversed(self.emitted())
                         if isinstance(v, dict) and key in v), None)
        return self._wait(f"value {key!r}", found, timeout)

    def result(self):
        """Waits for Blender to end (within the run's time limit); the last emitted value.
        The exit code is `returncode` (Blender 3.4 ends with 1 after a cancelled render)."""
        try:
            self._proc.wait(timeout=max(0.0, self._deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            raise HostError(f"{self.host}: still running at the time limit\n"
                            f"{output_tail(self.output(), '')}")
        values, text = self.emitted(), self.output()
        if ERROR_TAG in text or not values:
            raise HostError(f"{self.host}: exit code {self._proc.returncode}, {len(values)} "
                            f"results\n{output_tail(text, '')}")
        return values[-1]

    @property
    def returncode(self):
        return self._proc.returncode


def _start_xvfb(fbdir):
    """An Xvfb on a free display, its framebuffer kept as an XWD file in `fbdir`."""
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0",
                             f"{SIZE[0]}x{SIZE[1]}x24", "-fbdir", str(fbdir), "-nolisten", "tcp",
                             "+extension", "GLX"], pass_fds=(write,), stderr=subprocess.DEVNULL,
                            start_new_session=True)
    os.close(write)
    with os.fdopen(read) as f:
        number = f.readline().strip()  # written once the server accepts clients
    if not number:
        xvfb.kill()
        raise HostError("Xvfb did not start")
    return xvfb, ":" + number


def _stop(proc):
    if proc.poll() is None:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGKILL)
    proc.wait(timeout=10)


@contextlib.contextmanager
def run_in_window(host, script, args=None, timeout=120, env=None):
    """Starts `host`'s Blender in a window running `script` (source text or a path); yields a
    Window. Blender starts from the factory settings with a private user folder."""
    source = script.read_text() if isinstance(script, pathlib.Path) else script
    with tempfile.TemporaryDirectory(prefix="gui_") as tmp:
        tmp = pathlib.Path(tmp)
        (tmp / "fb").mkdir()
        (tmp / "script.py").write_text(PREAMBLE + _GUI_PREAMBLE + source)
        xvfb, display = _start_xvfb(tmp / "fb")
        run_env = dict(os.environ, DISPLAY=display, HOME=str(tmp / "home"),
                       BLENDER_USER_CONFIG=str(tmp / "config"),
                       BLENDER_USER_SCRIPTS=str(tmp / "scripts"),
                       BLENDER_USER_EXTENSIONS=str(tmp / "extensions"),
                       LIBGL_ALWAYS_SOFTWARE="1", TAVRO_ADDON_DIR=str(ADDON_DIR),
                       HARNESS_DIR=str(ROOT / "tests" / "blender"), HARNESS_ARGS=json.dumps(args))
        run_env.update(env or {})
        log = tmp / "blender.log"
        blender = None
        try:
            with open(log, "w") as out:
                blender = subprocess.Popen(
                    blender_command(host) + ["--factory-startup", "-noaudio", "-p", "0", "0",
                                             str(SIZE[0]), str(SIZE[1]), "--python",
                                             str(tmp / "script.py")],
                    env=run_env, cwd=tmp, stdout=out, stderr=subprocess.STDOUT,
                    start_new_session=True)
            yield Window(host, display, tmp / "fb" / "Xvfb_screen0", blender, log,
                         time.monotonic() + timeout)
        finally:
            if blender is not None:
                _stop(blender)
            _stop(xvfb)


def read_xwd(data):
    """(width, height, RGB bytes) of a 32-bit TrueColor XWD image, as Xvfb keeps its screen."""
    (header_size, _version, _format, _depth, width, height, _xoff, byte_order, _unit, _bit_order,
     _pad, bits, line, _class, red, green, blue, _bits_rgb, _entries,
     colours) = struct.unpack(">20I", data[:80])
    if bits != 32 or (red, green, blue) != (0xFF0000, 0xFF00, 0xFF):
        raise ValueError(f"unexpected XWD layout: {bits} bits, masks {red:x} {green:x} {blue:x}")
    start = header_size + 12 * colours
    pixels = bytearray()
    for row in range(height):
        pixels += data[start + row * line:start + row * line + width * 4]
    rgb = bytearray(width * height * 3)
    r, g, b = (2, 1, 0) if byte_order == 0 else (1, 2, 3)  # LSBFirst: B G R x in memory
    rgb[0::3], rgb[1::3], rgb[2::3] = pixels[r::4], pixels[g::4], pixels[b::4]
    return width, height, bytes(rgb)


def write_png(path, width, height, rgb):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body)))
    stride = width * 3
    raw = b"".join(b"\0" + rgb[y * stride:(y + 1) * stride] for y in range(height))
    pathlib.Path(path).write_bytes(
        b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))
