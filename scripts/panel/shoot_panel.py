"""Runs inside Blender's window: sets up the panel for each source and saves one screenshot of
the viewport's right part, where the sidebar is, per source, one of two live bridges, and one
after the package's files were updated under the running session (the restart notice).

    blender --enable-event-simulate FILE.blend --python shoot_panel.py -- ZIP OUT_DIR
"""

import os
import re
import socket
import sys
import tempfile
import types
import urllib.request

# What the panel shows in each picture: the properties set before it is taken.
STATUS_OPENED = "已在浏览器打开导入页，完成后本地服务自动关闭"


def sources(config):
    return {
        "snapshot": dict(source="SNAPSHOT", camera="Camera", resolution="fhd", aspect="16:9",
                         status=STATUS_OPENED),
        "animation": dict(source="ANIMATION", camera="Camera", resolution="hd", aspect="9:16",
                          frame_start=1, frame_end=720, status=""),
        "video": dict(source="VIDEO", video_path="//clips/turntable.mov",
                      status="请手动打开：" + config.build_import_url(49152, "Xq3v-9kPz_t7RmW2aLc0",
                                                                     "video")),
        "turntable": dict(source="TURNTABLE", target="", resolution="hd", aspect="1:1",
                          turntable_seconds=6, status=""),
    }


def crop(pixels, width, x0, x1, y0, y1):
    """Columns x0..x1-1 of rows y0..y1-1 of a flat RGBA pixel list `width` pixels wide."""
    out = []
    for row in range(y0, y1):
        out.extend(pixels[(row * width + x0) * 4:(row * width + x1) * 4])
    return out


def main():
    import bpy

    zip_path, out_dir = sys.argv[sys.argv.index("--") + 1:][:2]
    bpy.ops.preferences.addon_install(filepath=zip_path, overwrite=True)
    bpy.ops.preferences.addon_enable(module="tavro_blender_uploader")
    from tavro_blender_uploader import config, ops

    props = bpy.context.scene.lumo_uploader
    settings = sources(config)

    def window():
        return bpy.context.window_manager.windows[0]

    def viewport():
        area = next(a for a in window().screen.areas if a.type == "VIEW_3D")
        return area, next(r for r in area.regions if r.type == "UI")

    def open_sidebar():
        area, _ = viewport()
        area.spaces.active.show_region_ui = True

    def show_our_tab():
        _, region = viewport()
        if hasattr(region, "active_panel_category"):  # Blender 4.2 and later
            region.active_panel_category = "Tavro"
            return
        # Older hosts: Ctrl+wheel over the sidebar steps through its tabs, as a user would; the
        # add-on's tab is the last one.
        x, y = region.x + region.width // 2, region.y + region.height // 2
        window().event_simulate(type="MOUSEMOVE", value="NOTHING", x=x, y=y)
        for _ in range(8):
            window().event_simulate(type="WHEELDOWNMOUSE", value="PRESS", x=x, y=y, ctrl=True)

    def set_source(name):
        def run():
            for key, value in settings[name].items():
                setattr(props, key, value)
            for area in window().screen.areas:
                area.tag_redraw()
        return run

    def shoot(name):
        def run():
            full = f"{out_dir}/.panel-{name}-full.png"
            with bpy.context.temp_override(window=window()):
                bpy.ops.screen.screenshot(filepath=full)
            area, region = viewport()
            img = bpy.data.images.load(full)
            x0, x1 = max(region.x - 20, area.x), area.x + area.width
            pixels = crop(img.pixels[:], img.size[0], x0, x1, area.y, area.y + area.height)
            out = bpy.data.images.new(name, x1 - x0, area.height)
            out.pixels[:] = pixels
            out.filepath_raw = f"{out_dir}/panel-{name}.png"
            out.file_format = "PNG"
            out.save()
            bpy.data.images.remove(img)
            os.remove(full)
            print(f"panel-screenshots: {out_dir}/panel-{name}.png", flush=True)
        return run

    held = []

    def two_bridges():
        """A real snapshot send whose page has connected, then a large video whose transfer a
        reader holds midway (it stops reading): two live bridges, in different states, that the
        panel's timer keeps current."""
        for key, value in settings["snapshot"].items():
            setattr(props, key, value)
        with bpy.context.temp_override(window=window()):
            bpy.ops.lumo.send_to_canvas()
        first = ops._bridges[0]
        urllib.request.urlopen(f"http://127.0.0.1:{first.port}/meta?token={first.state.token}",
                               timeout=10).read()
        big = os.path.join(tempfile.gettempdir(), "lumo_stage_turntable.mp4")
        with open(big, "wb") as f:
            f.truncate(48 * 1048576)
        real_render = ops.render
        ops.render = types.SimpleNamespace(render_animation=lambda *args: (big, {"truncated": False}))
        try:
            props.source = "ANIMATION"
            with bpy.context.temp_override(window=window()):
                bpy.ops.lumo.send_to_canvas()
        finally:
            ops.render = real_render
        second = ops._bridges[0]
        reader = socket.create_connection(("127.0.0.1", second.port))
        reader.sendall(f"GET /asset?token={second.state.token} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
        reader.recv(65536)
        held.extend([reader, big])

    def let_go():
        reader, big = held
        reader.close()
        ops.stop_all_bridges()
        os.remove(big)

    def updated_under_session():
        """The package's manifest says the next version, as after an update inside Blender."""
        manifest = os.path.join(os.path.dirname(ops.__file__), "blender_manifest.toml")
        with open(manifest, encoding="utf-8") as f:
            text = f.read()
        major, minor, patch = config.ADDON_VERSION
        with open(manifest, "w", encoding="utf-8") as f:
            f.write(re.sub(r'^version = "[^"]*"', f'version = "{major}.{minor}.{patch + 1}"', text,
                           flags=re.M))
        set_source("snapshot")()
        props.status = ""

    steps = [open_sidebar, show_our_tab]
    for name in settings:
        steps += [set_source(name), lambda: None, shoot(name)]
    steps += [two_bridges, lambda: None, lambda: None, shoot("bridges"), let_go]
    steps += [updated_under_session, lambda: None, shoot("restart")]

    def step():
        if not steps:
            bpy.ops.wm.quit_blender()
            return None
        steps.pop(0)()
        return 0.5

    bpy.app.timers.register(step, first_interval=1.0)


if __name__ == "__main__":
    main()
