"""The panel pictures keep the viewport's right part: the crop of Blender's flat pixel list."""

import importlib.util

from tavro_paths import ROOT

spec = importlib.util.spec_from_file_location("shoot_panel", ROOT / "scripts" / "panel" / "shoot_panel.py")
shoot_panel = importlib.util.module_from_spec(spec)
spec.loader.exec_module(shoot_panel)


def test_crop_keeps_the_chosen_columns_of_the_chosen_rows():
    width, height = 4, 3
    pixels = [v for y in range(height) for x in range(width) for v in (x, y, 0, 1)]
    got = shoot_panel.crop(pixels, width, 1, 3, 1, 3)
    assert [tuple(got[i:i + 4]) for i in range(0, len(got), 4)] == [
        (1, 1, 0, 1), (2, 1, 0, 1), (1, 2, 0, 1), (2, 2, 0, 1)]
