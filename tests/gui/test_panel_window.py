"""The add-on as a user meets it in a real window of each GUI host: installed from the zip,
the sidebar opened and turned to its tab by Ctrl+wheel (real X events), its panel drawn and seen
on the screen."""

import pytest

from window import host_params, run_in_window

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


def sidebar():
    window = bpy.context.window_manager.windows[0]
    area = next(a for a in window.screen.areas if a.type == "VIEW_3D")
    return window, area, next(r for r in area.regions if r.type == "UI")


def open_sidebar():
    window, area, region = sidebar()
    area.spaces.active.show_region_ui = True
    bpy.app.timers.register(report_sidebar, first_interval=0.5)


def to_screen(window, region):
    """The region's box in X coordinates (from the top left): left, top, right, bottom."""
    return [region.x, window.height - region.y - region.height, region.x + region.width,
            window.height - region.y]


def report_sidebar():
    window, _, region = sidebar()
    emit({"sidebar": to_screen(window, region)})
    bpy.app.timers.register(wait_drawn, first_interval=0.2)


def wait_drawn():
    if not draws[0]:
        return 0.2
    window, _, region = sidebar()
    emit({"drawn": to_screen(window, region)})
    bpy.app.timers.register(wait_shot, first_interval=0.2)


def wait_shot():
    if not os.path.exists(ARGS["shot"]):
        return 0.2
    done({"module": module, "draws": draws[0], "version": bpy.app.version_string})


bpy.app.timers.register(open_sidebar, first_interval=0.5)
'''


def colours(picture, box):
    """The distinct colours inside box (left, top, right, bottom) of a (width, height, RGB)."""
    width, _, rgb = picture
    left, top, right, bottom = box
    seen = set()
    for y in range(top, bottom, 2):
        row = rgb[(y * width + left) * 3:(y * width + right) * 3]
        seen.update(row[i:i + 3] for i in range(0, len(row), 6))
    return len(seen)


@pytest.mark.parametrize("host", host_params())
def test_installed_from_zip_the_panel_draws_in_a_window(host, tmp_path, zip_path):
    shot = tmp_path / f"panel-{host}.png"
    (tmp_path / "no-package").mkdir()
    with run_in_window(host, SCRIPT, args={"zip": zip_path, "shot": str(shot)}, timeout=240,
                       env={"TAVRO_ADDON_DIR": str(tmp_path / "no-package")}) as win:
        left, top, right, bottom = win.wait_for_value("sidebar", timeout=180)
        # As a user would: Ctrl+wheel over the sidebar to the add-on's tab, the last one.
        win.click((left + right) // 2, (top + bottom) // 2, button=5, repeat=8, hold="ctrl")
        box = win.wait_for_value("drawn", timeout=30)
        picture = win.screenshot(shot)
        report = win.result()
    newer = not host.startswith("blender-3.")
    assert report["module"] == ("bl_ext.user_default.tavro_blender_uploader" if newer
                                else "tavro_blender_uploader")
    assert report["draws"] > 0
    # Drawn on the screen, not only called: the sidebar holds text and widgets, many colours.
    assert colours(picture, box) > 20, f"the sidebar looks empty in {shot}"
