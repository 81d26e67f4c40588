"""The add-on as a user meets it in a real window of each GUI host: installed from the zip, its
panel drawn (called up over the 3D viewport, as wm.call_panel shows a panel) and seen on the
screen."""

from window import host_params, run_in_window

import pytest

SCRIPT = r'''
import os
import bpy
from host_addon import install

module = install(ARGS["zip"])
panel = bpy.types.LUMO_PT_uploader
draws = [0]
draw = panel.draw
def counted(self, context):
    draws[0] += 1
    draw(self, context)
panel.draw = counted


def when(path, then):
    """Runs `then` once the test has made `path`."""
    def poll():
        if not os.path.exists(path):
            return 0.2
        then()
    bpy.app.timers.register(poll, first_interval=0.2)


def call_panel():
    window = bpy.context.window_manager.windows[0]
    area = next(a for a in window.screen.areas if a.type == "VIEW_3D")
    region = next(r for r in area.regions if r.type == "WINDOW")
    with bpy.context.temp_override(window=window, area=area, region=region):
        bpy.ops.wm.call_panel(name="LUMO_PT_uploader", keep_open=True)
    bpy.app.timers.register(wait_drawn, first_interval=0.2)


def wait_drawn():
    if not draws[0]:
        return 0.2
    emit({"drawn": True})
    when(ARGS["shot"], lambda: done({"module": module, "draws": draws[0]}))


emit({"ready": True})
when(ARGS["go"], call_panel)
'''


@pytest.mark.parametrize("host", host_params())
def test_installed_from_zip_the_panel_draws_in_a_window(host, tmp_path, zip_path):
    shot, go = tmp_path / f"panel-{host}.png", tmp_path / "go"
    (tmp_path / "no-package").mkdir()
    args = {"zip": zip_path, "shot": str(shot), "go": str(go)}
    with run_in_window(host, SCRIPT, args=args, timeout=240,
                       env={"TAVRO_ADDON_DIR": str(tmp_path / "no-package")}) as win:
        win.wait_for_value("ready", timeout=180)
        before = win.screenshot()
        go.touch()
        win.wait_for_value("drawn", timeout=30)
        after = win.screenshot(shot)
        report = win.result()
    newer = not host.startswith("blender-3.")
    assert report["module"] == ("bl_ext.user_default.tavro_blender_uploader" if newer
                                else "tavro_blender_uploader")
    assert report["draws"] > 0
    # Drawn on the screen, not only called: a panel's worth of pixels changed.
    changed = sum(a != b for a, b in zip(before[2][::3], after[2][::3]))
    assert changed > 5000, f"{changed} pixels changed; see {shot}"
