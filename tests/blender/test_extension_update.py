"""Installing and updating the add-on from the site's extension repository, as a user of Blender
4.2 and later does, in every such host: the repository is written by scripts/publish and served
by the development site on 127.0.0.1; each step below is a Blender process of its own sharing one
private user folder, with online access allowed and Blender's default remote repository off. In
Blender 3.x, the zips installed by hand, the next over the one in use.

The extension operators answer FINISHED whether or not they worked, so every step is judged by
what it left: the installed files, the enabled add-on, what the panel draws and what a send does.
"""

import hashlib
import os
import shutil
import subprocess
import sys
import threading
import zipfile

import pytest

from render_harness import ADDON_DIR, ROOT, host_params, run_in_host

sys.path.insert(0, str(ROOT / "devsite"))
sys.path.insert(0, str(ROOT / "scripts" / "packaging"))
import publish  # noqa: E402
import server  # noqa: E402
import zip_addon  # noqa: E402

PACKAGE = "tavro_blender_uploader"
NEXT_BUILD = ROOT / "build-next"  # kept between runs, so a second run rebuilds nothing

LAUNCHER = "import sys\nopen(sys.argv[1], 'a', encoding='utf-8').write(sys.argv[2] + '\\n')\n"

HOST = r'''
import hashlib, os, sys, tempfile, types, urllib.parse, urllib.request
import addon_utils, bpy
from host_bridge import launched_urls, refused

prefs = bpy.context.preferences
if hasattr(prefs, "extensions"):
    prefs.system.use_online_access = True
    for other in prefs.extensions.repos:
        if other.use_remote_url:
            other.enabled = False  # Blender's own site: this run stays on 127.0.0.1
    # The preferences are not saved: every process adds the repository again (same name, same
    # folder). Reading them back instead crashes bpy 4.2.
    bpy.ops.preferences.extension_repo_add(name="tavro", remote_url=ARGS["url"], type="REMOTE")
    repo = next(r for r in prefs.extensions.repos if r.remote_url == ARGS["url"])
    module = "bl_ext.%s.tavro_blender_uploader" % repo.module
    folder = os.path.join(repo.directory, "tavro_blender_uploader")
    bl_pkg = sys.modules["bl_pkg"]
else:  # Blender 3.x: the zip from the repository's page, installed by hand
    module = "tavro_blender_uploader"
    folder = os.path.join(bpy.utils.user_resource("SCRIPTS", path="addons"), module)


def output_of(call):
    """What `call` printed on the process's stdout and stderr (the extension tool's included)."""
    sys.stdout.flush(), sys.stderr.flush()
    saved = [os.dup(1), os.dup(2)]
    with tempfile.TemporaryFile() as f:
        os.dup2(f.fileno(), 1), os.dup2(f.fileno(), 2)
        try:
            call()
        finally:
            sys.stdout.flush(), sys.stderr.flush()
            for fd, copy in zip((1, 2), saved):
                os.dup2(copy, fd), os.close(copy)
        f.seek(0)
        return f.read().decode("utf-8", "replace")


def registered():
    return module in prefs.addons and hasattr(bpy.types, "LUMO_PT_uploader")


def install():
    bpy.ops.extensions.repo_sync(repo_directory=repo.directory)
    bpy.ops.extensions.package_install(repo_directory=repo.directory,
                                       pkg_id="tavro_blender_uploader", enable_on_install=True)
    return registered()


def install_zip(which):
    """Preferences > Add-ons > Install... with a zip, over the version in use."""
    bpy.ops.preferences.addon_install(filepath=ARGS["zips"][which], overwrite=True)
    return enable()


install_old, install_new = (lambda: install_zip("old")), (lambda: install_zip("new"))


def enable():
    addon_utils.enable(module, default_set=True)
    return registered()


def sync():
    """The updates Blender announces after a sync (counted as for its status bar, which a
    background process skips)."""
    bpy.ops.extensions.repo_sync(repo_directory=repo.directory)
    return bl_pkg.repo_stats_calc_outdated_for_repo_directory(bl_pkg.repo_cache_store_ensure(),
                                                              repo.directory)


def upgrade():
    return "Archive checksum mismatch" in output_of(bpy.ops.extensions.package_upgrade_all)


def files():
    out = {}
    for base, dirs, names in os.walk(folder):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        for name in names:
            path = os.path.join(base, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, folder)] = hashlib.sha256(f.read()).hexdigest()
    return out


def version():
    return ".".join(map(str, sys.modules[module + ".config"].ADDON_VERSION))


class Layout:
    """Records the panel's labels; every other layout call returns the layout itself."""

    def __init__(self):
        self.labels = []

    def label(self, text="", icon="NONE"):
        self.labels.append((text, icon))

    def __getattr__(self, name):
        return lambda *args, **kw: self


def notice():
    layout = Layout()
    bpy.types.LUMO_PT_uploader.draw(types.SimpleNamespace(layout=layout), bpy.context)
    return "".join(t for t, icon in layout.labels if icon in ("ERROR", "BLANK1")) or None


def send():
    """served: the import page's address opened and its bridge served the asset; else the send's
    error."""
    seen = len(launched_urls(ARGS["urls"]))
    bpy.context.scene.lumo_uploader.camera = "Camera"
    try:
        bpy.ops.lumo.send_to_canvas()
    except RuntimeError as e:
        return str(e).strip().removeprefix("Error: ")
    url = launched_urls(ARGS["urls"])[seen]
    fields = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(url).fragment))
    query = "?token=" + urllib.parse.quote(fields["token"])
    base = "http://127.0.0.1:%s" % fields["port"]
    urllib.request.urlopen(base + "/meta" + query, timeout=10).read()
    done = urllib.request.Request(base + "/done" + query, data=b"", method="POST")
    urllib.request.urlopen(done, timeout=10).read()
    return "served" if refused(int(fields["port"])) else "still serving"


def toggle():
    """Disabled, the add-on is gone; enabled again, it is back."""
    addon_utils.disable(module, default_set=True)
    off = registered()
    return not off and enable()


emit([[action, globals()[action]()] for action in ARGS["actions"]])
'''

# What the site publishes before a step ("old", "new", "tampered new": the new zip changed after
# the index was made, "older again": the old version once more, which publishing refuses), and
# the step's actions with what each must give ("old"/"new": that version's files or number,
# "restart": the panel's notice, "refused": the send's error).
STEPS = (
    ("old", (("install", True), ("files", "old"), ("version", "old"), ("notice", None),
             ("send", "served"))),
    ("tampered new", (("enable", True), ("sync", 1), ("upgrade", True), ("files", "old"),
                      ("version", "old"), ("send", "served"))),
    ("new", (("enable", True), ("sync", 1), ("upgrade", False), ("files", "new"),
             ("notice", "restart"), ("send", "refused"), ("toggle", True),
             ("notice", "restart"), ("send", "refused"))),
    (None, (("enable", True), ("files", "new"), ("version", "new"), ("notice", None),
            ("send", "served"))),
    ("older again", (("enable", True), ("sync", 0), ("upgrade", False), ("files", "new"),
                     ("version", "new"))),
)


# Blender 3.x has no extensions: the user installs the zip of the next version by hand over the
# one in use, in the running session.
LEGACY_STEPS = (
    (None, (("install_old", True), ("version", "old"), ("notice", None), ("send", "served"))),
    (None, (("enable", True), ("install_new", True), ("files", "new"), ("notice", "restart"),
            ("send", "refused"), ("toggle", True), ("notice", "restart"))),
    (None, (("enable", True), ("version", "new"), ("notice", None), ("send", "served"))),
)


def bumped(version):
    major, minor, patch = version.split("-")[0].split("+")[0].split(".")
    return f"{major}.{minor}.{int(patch) + 1}"


def zip_files(path):
    """The package's files in an extension zip: path inside the package -> sha256."""
    with zipfile.ZipFile(path) as z:
        return {name.split("/", 1)[1]: hashlib.sha256(z.read(name)).hexdigest()
                for name in z.namelist() if not name.endswith("/")}


@pytest.fixture(scope="session")
def releases(tmp_path_factory):
    """The zip of the built add-on, and of the same sources built as the next version: only the
    modules that hold the version (config, ops) and the stamped package files are built again,
    the others are the built add-on's."""
    dist = tmp_path_factory.mktemp("releases")
    old = zip_addon.write_zip(ADDON_DIR / PACKAGE, dist)
    version = bumped(publish.manifest_of(old)["version"])
    for command in (["cmake", "-S", ROOT, "-B", NEXT_BUILD, "-DPython3_EXECUTABLE=/usr/bin/python3",
                     f"-DTAVRO_VERSION={version}", "-DTAVRO_BUILD_TESTS=OFF"],
                    ["cmake", "--build", NEXT_BUILD, f"-j{os.cpu_count()}",
                     "--target", "config", "ops", "addon_files"]):
        out = subprocess.run(list(map(str, command)), capture_output=True, text=True, timeout=1800)
        assert out.returncode == 0, out.stdout[-2000:] + out.stderr[-2000:]
    package = dist / "next" / PACKAGE
    shutil.copytree(NEXT_BUILD / "addon" / PACKAGE, package)
    for name in ("render", "bridge"):
        shutil.copy2(zip_addon.module_file(ADDON_DIR / PACKAGE, name, "linux-x64"), package)
    return {"old": old, "new": zip_addon.write_zip(package, dist)}


@pytest.fixture
def site(tmp_path):
    """The development site serving an empty repository folder."""
    repository = tmp_path / "repository"
    repository.mkdir()
    httpd = server.make_server(0, tmp_path / "store", extensions=repository)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    yield repository, f"http://127.0.0.1:{httpd.server_address[1]}/extensions/"
    httpd.shutdown()
    httpd.server_close()


def publish_as(what, repository, releases):
    if what == "older again":
        index = (repository / "index.json").read_bytes()
        with pytest.raises(SystemExit, match="already offers"):
            publish.publish(repository, [releases["old"]])
        assert (repository / "index.json").read_bytes() == index
        return
    publish.publish(repository, [releases[what.split()[-1]]])
    if what.startswith("tampered"):
        # Same size, other bytes: only the checksum can tell.
        with open(repository / releases["new"].name, "r+b") as f:
            f.seek(os.path.getsize(f.name) // 2)
            byte = f.read(1)
            f.seek(-1, os.SEEK_CUR)
            f.write(bytes([byte[0] ^ 0xFF]))


def expected(action, value, releases):
    versions = {k: publish.manifest_of(v)["version"] for k, v in releases.items()}
    if action == "files":
        return zip_files(releases[value])
    if action == "version":
        return versions[value]
    notice = f"插件已更新到 {versions['new']}，请重启 Blender 后再使用（当前运行的是 {versions['old']}）"
    return {"restart": notice, "refused": "无法发送：" + notice}.get(value, value)


@pytest.mark.parametrize("host", host_params())
def test_install_update_restart_from_the_site(host, tmp_path, releases, site):
    repository, url = site
    launcher = tmp_path / "launcher.py"
    launcher.write_text(LAUNCHER)
    user = tmp_path / "user"
    env = {"BLENDER_USER_RESOURCES": str(user), "BLENDER_USER_CONFIG": str(user / "config"),
           "BLENDER_USER_SCRIPTS": str(user / "scripts"),
           "BLENDER_USER_EXTENSIONS": str(user / "extensions"),
           "TAVRO_ADDON_DIR": str(tmp_path / "no-package"),  # the add-on comes from the site only
           "BROWSER": f"{sys.executable} {launcher} {tmp_path / 'urls.txt'} %s",
           "LUMO_SITE_URL": "", "DISPLAY": "", "WAYLAND_DISPLAY": "", "TMPDIR": str(tmp_path)}
    # The bpy hosts are Blender 4.2 and later, Debian's Blender a 3.x.
    steps = STEPS if host.startswith("bpy-") else LEGACY_STEPS
    for step, (published, actions) in enumerate(steps):
        if published:
            publish_as(published, repository, releases)
        got = run_in_host(host, HOST, env=env, timeout=600,
                          args={"url": url, "urls": str(tmp_path / "urls.txt"),
                                "zips": {k: str(v) for k, v in releases.items()},
                                "actions": [a for a, _ in actions]})
        want = [[a, expected(a, v, releases)] for a, v in actions]
        assert got == want, f"step {step} (published: {published})"
