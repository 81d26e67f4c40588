"""The add-on as a user gets it, in every real Blender host present: the zip from
scripts/package installed and enabled (a legacy add-on in 3.4, an extension in 4.2 and later),
the panel's properties set, the send operator run for each source with BROWSER naming a
launcher that records the URL, then the bridge fetched as the import page would, /done posted
and the port seen closing. Then the add-on is disabled and enabled again."""

import hashlib
import json
import os
import pathlib
import sys

import pytest

from render_harness import host_params, package_zip, run_in_host

LAUNCHER = r"""
import sys
with open(sys.argv[1], "a", encoding="utf-8") as f:
    f.write(sys.argv[2] + "\n")
sys.exit(int(sys.argv[3]))
"""

HOST = r'''
import ctypes, glob, hashlib, json, os, socket, sys, tempfile, time
import urllib.parse, urllib.request
import bpy
from host_addon import install
from host_bridge import launched_urls, refused
from host_disk import with_file_size_limit

libc = ctypes.CDLL(None)
LEVELS = {"Info": "INFO", "Warning": "WARNING", "Error": "ERROR"}
ORIGIN = "https://canvas.example.com"


def captured(call):
    """Runs `call`; its result (or the text of its error) and the reports the host printed."""
    libc.fflush(None)
    sys.stdout.flush()
    saved = os.dup(1)
    with tempfile.TemporaryFile() as f:
        os.dup2(f.fileno(), 1)
        try:
            result = sorted(call())
        except RuntimeError as e:  # an operator that reported an error raises it
            result = ["RuntimeError"]
        finally:
            libc.fflush(None)
            sys.stdout.flush()
            os.dup2(saved, 1)
            os.close(saved)
        f.seek(0)
        text = f.read().decode("utf-8", "replace")
    reports = []
    for line in text.splitlines():
        level, sep, message = line.partition(": ")
        if sep and level in LEVELS:
            reports.append([LEVELS[level], message])
    return result, reports


def operator_registered():
    try:
        bpy.ops.lumo.send_to_canvas.get_rna_type()
        return True
    except KeyError:
        return False


def registered():
    return {"props": hasattr(bpy.types.Scene, "lumo_uploader"),
            "operator": operator_registered(),
            "panel": hasattr(bpy.types, "LUMO_PT_uploader")}


def request(port, method, path, token):
    url = f"http://127.0.0.1:{port}{path}?token={urllib.parse.quote(token)}"
    req = urllib.request.Request(url, method=method, headers={"Origin": ORIGIN},
                                 data=b"" if method == "POST" else None)
    with urllib.request.urlopen(req, timeout=10) as answer:
        return answer.status, answer.read()


def urls():
    return launched_urls(ARGS["urls"])


def send(case):
    props = bpy.context.scene.lumo_uploader
    for key, value in case["props"].items():
        setattr(props, key, value)
    props.status = case.get("status_before", "")
    seen = len(urls())
    # A case may render small: every preset's long edge is replaced for its send alone. The
    # file size limit leaves room for the few lines of reports captured in a file meanwhile.
    config = sys.modules[report["module"] + ".config"]
    presets = config.RESOLUTION_PRESETS
    if "long_edge" in case:
        config.RESOLUTION_PRESETS = tuple((k, label, case["long_edge"]) for k, label, _ in presets)
    try:
        result, reports = captured(
            lambda: with_file_size_limit(case.get("file_size_limit"), lambda: bpy.ops.lumo.send_to_canvas()))
    finally:
        config.RESOLUTION_PRESETS = presets
    out = {"result": result, "reports": reports, "status": props.status}
    opened = urls()[seen:]
    out["urls"] = opened
    url = opened[-1] if opened else props.status.partition("：")[2]
    if not url.startswith("http"):
        return out
    fields = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(url).fragment))
    port, token = int(fields["port"]), fields["token"]
    out["url"] = url
    status, body = request(port, "GET", "/meta", token)
    out["meta"] = json.loads(body)
    status, asset = request(port, "GET", "/asset", token)
    produced = os.path.join(tempfile.gettempdir(), out["meta"]["filename"])
    out["asset_sha"] = hashlib.sha256(asset).hexdigest()
    with open(produced, "rb") as f:
        out["file_sha"] = hashlib.sha256(f.read()).hexdigest()
    out["produced"] = produced
    out["done"] = request(port, "POST", "/done", token)[0]
    out["closed"] = refused(port)
    return out


report = {"version": bpy.app.version_string, "module": install(ARGS["zip"]),
          "enabled": registered(), "tmp": tempfile.gettempdir()}
props = bpy.context.scene.lumo_uploader
report["defaults"] = {k: getattr(props, k) for k in ("source", "resolution", "aspect", "camera",
                                                     "status", "frame_start", "frame_end",
                                                     "target", "turntable_seconds",
                                                     "turntable_others")}
report["scene_range"] = [bpy.context.scene.frame_start, bpy.context.scene.frame_end]
rna = props.bl_rna.properties
report["choices"] = {name: [[i.identifier, i.name] for i in rna[name].enum_items]
                     for name in ("source", "resolution", "aspect")}
report["video_path_subtype"] = rna["video_path"].subtype
report["seconds_range"] = [rna["turntable_seconds"].hard_min, rna["turntable_seconds"].hard_max]
panel = sys.modules[report["module"] + ".panel"]
bpy.data.objects.new("Side camera", bpy.data.cameras.new("Side camera"))
bpy.context.scene.collection.objects.link(bpy.data.objects["Side camera"])
report["camera_choices"] = (sorted(panel._camera_names(props, bpy.context, ""))
                            if panel.HAS_STRING_SEARCH else None)
props.frame_end = 40
bpy.context.scene.frame_end = 90
report["frame_end_kept"] = props.frame_end
report["sends"] = [send(case) for case in ARGS["cases"]]
if ARGS.get("toggle"):
    import addon_utils
    addon_utils.disable(report["module"], default_set=True)
    report["disabled"] = registered()
    addon_utils.enable(report["module"], default_set=True)
    report["reenabled"] = registered()
    report["after_reenable"] = send(ARGS["cases"][0])
emit(report)
'''


def cases(clip):
    base = {"camera": "Camera", "resolution": "hd", "aspect": "16:9"}
    return [
        {"props": dict(base, source="SNAPSHOT")},
        {"props": dict(base, source="ANIMATION", frame_start=1, frame_end=12)},
        {"props": dict(base, source="VIDEO", video_path=clip, camera="")},
        # No object chosen: the active one, the default scene's cube.
        {"props": dict(base, source="TURNTABLE", camera="", turntable_seconds=1), "long_edge": 128},
        {"props": dict(base, source="SNAPSHOT", camera="Cube"), "status_before": "上一次的状态"},
        # The disk fills up while the asset is written (test_render_faults covers every stage).
        {"props": dict(base, source="SNAPSHOT"), "status_before": "上一次的状态",
         "file_size_limit": 4096},
        {"props": dict(base, source="ANIMATION", frame_start=1, frame_end=12),
         "status_before": "上一次的状态", "file_size_limit": 4096},
    ]


@pytest.fixture(scope="module")
def zip_path(tmp_path_factory):
    return package_zip(tmp_path_factory.mktemp("dist"))


def run_send(host, tmp_path, zip_path, cases, exit_code=0, toggle=False):
    launcher = tmp_path / "launcher.py"
    launcher.write_text(LAUNCHER)
    urls = tmp_path / "urls.txt"
    user = tmp_path / "user"
    env = {
        # An empty folder, so that the package comes from the installed zip and nowhere else.
        "TAVRO_ADDON_DIR": str(tmp_path / "no-package"),
        "BROWSER": f"{sys.executable} {launcher} {urls} %s {exit_code}",
        "LUMO_SITE_URL": "",
        "DISPLAY": "", "WAYLAND_DISPLAY": "",
        "BLENDER_USER_RESOURCES": str(user),
        "BLENDER_USER_CONFIG": str(user / "config"),
        "BLENDER_USER_SCRIPTS": str(user / "scripts"),
        "BLENDER_USER_EXTENSIONS": str(user / "extensions"),
    }
    (tmp_path / "no-package").mkdir()
    # What the sends write, the broken files of the failing ones included, stays in tmp_path.
    env["TMPDIR"] = str(tmp_path / "stage")
    (tmp_path / "stage").mkdir()
    report = run_in_host(host, HOST, args={"zip": zip_path, "urls": str(urls), "cases": cases,
                                           "toggle": toggle}, env=env, timeout=600)
    for send in report["sends"] + [report.get("after_reenable") or {}]:
        if send.get("produced") and os.path.isfile(send["produced"]):
            os.remove(send["produced"])
    return report


def check_served(send, kind):
    assert send["result"] == ["FINISHED"], send
    assert send["asset_sha"] == send["file_sha"]
    assert send["meta"]["kind"] == kind
    assert send["meta"]["size"] > 0
    assert send["done"] == 200 and send["closed"], send
    assert send["url"].startswith("https://canvas.example.com/")
    assert send["url"].endswith("&kind=" + kind)


@pytest.mark.parametrize("host", host_params())
def test_install_send_each_source_and_reenable(host, tmp_path, zip_path, clips):
    report = run_send(host, tmp_path, zip_path, cases(clips["c30_3s"]), toggle=True)
    newer = report["version"].startswith(("4.", "5."))
    assert report["module"] == ("bl_ext.user_default.tavro_blender_uploader" if newer
                                else "tavro_blender_uploader")
    assert report["enabled"] == {"props": True, "operator": True, "panel": True}
    assert report["choices"] == {
        "source": [["SNAPSHOT", "白模快照"], ["ANIMATION", "白模动画"], ["VIDEO", "本地视频"],
                   ["TURNTABLE", "白模转台"]],
        "resolution": [["hd", "HD 1280"], ["fhd", "FHD 1920"]],
        "aspect": [["16:9", "16:9 横屏"], ["9:16", "9:16 竖屏"], ["1:1", "1:1 方图"],
                   ["4:3", "4:3"], ["21:9", "21:9 宽银幕"]]}
    assert report["video_path_subtype"] == "FILE_PATH"
    assert report["camera_choices"] == ["Camera", "Side camera"]  # cameras only, no mesh
    assert report["frame_end_kept"] == 40  # a value the user set no longer follows the scene
    assert report["defaults"] == {"source": "SNAPSHOT", "resolution": "hd", "aspect": "16:9",
                                  "camera": "", "status": "",
                                  "frame_start": report["scene_range"][0],
                                  "frame_end": report["scene_range"][1],
                                  "target": "", "turntable_seconds": 6,
                                  "turntable_others": False}
    assert report["seconds_range"] == [1, 30]
    ready = [["INFO", "素材已就绪，请在浏览器中完成导入"]]
    opened = "已在浏览器打开导入页，完成后本地服务自动关闭"

    snapshot, animation, video, turntable, no_camera, *disk_full = report["sends"]
    for send, kind in ((snapshot, "image"), (animation, "video"), (video, "video"),
                       (turntable, "video")):
        check_served(send, kind)
        assert send["reports"] == ready and send["status"] == opened
        assert len(send["urls"]) == 1
    assert snapshot["meta"]["mime"] == "image/png"
    assert (snapshot["meta"]["width"], snapshot["meta"]["height"]) == (1280, 720)
    assert snapshot["meta"]["camera"] == "Camera"
    assert animation["meta"]["mime"] == "video/mp4"
    assert (animation["meta"]["fps"], animation["meta"]["frames"]) == (24, 12)
    assert animation["meta"]["truncated"] is False
    assert video["meta"]["source"] == os.path.basename(clips["c30_3s"])
    assert video["meta"]["fps"] == 24
    assert (turntable["meta"]["object"], turntable["meta"]["frames"]) == ("Cube", 24)
    assert (turntable["meta"]["width"], turntable["meta"]["height"]) == (128, 72)

    assert no_camera["result"] == ["RuntimeError"]
    assert no_camera["reports"] == [["ERROR", "生成素材失败：请先在场景中选择一台相机"]]
    assert no_camera["status"] == "上一次的状态" and no_camera["urls"] == []
    # A file cut short by a full disk is never served: one error, no bridge, no page.
    folder = report["tmp"]
    for send in disk_full:
        assert send["result"] == ["RuntimeError"]
        # Blender 3.4's render reports its own "Render error (File too large)" first.
        *host_reports, last = send["reports"]
        assert last in (["ERROR", f"生成素材失败：渲染未能写出文件，请检查磁盘空间（{folder}）"],
                        ["ERROR", f"生成素材失败：生成的文件不完整，磁盘可能已满（{folder}）"])
        assert all(level == "ERROR" and "Render error" in text for level, text in host_reports)
        assert send["status"] == "上一次的状态" and send["urls"] == []

    assert report["disabled"] == {"props": False, "operator": False, "panel": False}
    assert report["reenabled"] == {"props": True, "operator": True, "panel": True}
    check_served(report["after_reenable"], "image")


@pytest.mark.parametrize("host", host_params())
def test_browser_that_fails_leaves_the_url_in_the_panel_and_the_bridge_serving(
        host, tmp_path, zip_path):
    base = {"camera": "Camera", "resolution": "hd", "aspect": "1:1", "source": "SNAPSHOT"}
    report = run_send(host, tmp_path, zip_path, [{"props": base}], exit_code=1)
    (send,) = report["sends"]
    assert send["reports"] == [["WARNING", "未能自动打开浏览器，地址已显示在面板上"]]
    assert send["status"] == "请手动打开：" + send["url"]
    assert len(send["urls"]) == 1 and send["urls"][0] == send["url"]  # the launcher was asked
    check_served(send, "image")
    assert (send["meta"]["width"], send["meta"]["height"]) == (1280, 1280)
