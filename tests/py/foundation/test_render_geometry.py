"""Host-free part of module render: geometry, limits, extensions, temporary files."""

import decimal
import fractions
import os
import stat
import sys
import tempfile

import pytest

from tavro_blender_uploader import config, render


def test_module_loads_without_bpy_and_exposes_its_globals():
    assert render.bpy is None  # the test session blocks the real host module
    assert render.config is config
    assert render.os is os and render.tempfile is tempfile
    assert render.contextlib.__name__ == "contextlib"


def test_resolution_for_table_and_number_rules():
    assert render.resolution_for(1920, 16, 9) == (1920, 1080)
    assert render.resolution_for(1920, 9, 16) == (1080, 1920)
    assert render.resolution_for(1280, 21, 9) == (1280, 548)
    assert render.resolution_for(720, 9, 16) == (404, 720)
    assert render.resolution_for(7, 2, 1) == (6, 4)
    assert render.resolution_for(10, 4, 1) == (10, 2)
    assert render.resolution_for(0, 16, 9) == (2, 2)
    assert render.resolution_for(long_edge=1280.99, aspect_w=4.5, aspect_h=3) == (1280, 960)
    assert render.resolution_for(fractions.Fraction(3841, 2), True, 1) == (1920, 1920)
    assert render.resolution_for(-7.9, 1, 1) == (2, 2)
    result = render.resolution_for(1920, 16, 9)
    assert type(result) is tuple and all(type(v) is int for v in result)


@pytest.mark.parametrize("aw, ah", [(0, 9), (16, -1), (0.5, 9), (-0.0, 1)])
def test_resolution_for_rejects_non_positive_aspects(aw, ah):
    with pytest.raises(ValueError, match="^画幅比例必须为正$"):
        render.resolution_for(1920, aw, ah)


@pytest.mark.parametrize("args, name", [
    (("1920", 16, 9), "long_edge"), ((1920, None, 9), "aspect_w"),
    ((1920, 16, decimal.Decimal(9)), "aspect_h"), ((1920, 16, [9]), "aspect_h"),
])
def test_integer_parameters_take_real_numbers_only(args, name):
    with pytest.raises(TypeError, match=name):
        render.resolution_for(*args)


def test_clamp_frame_range():
    assert render.clamp_frame_range(1, 720, 24, 30) == (1, 720, False)
    assert render.clamp_frame_range(1, 721, 24, 30) == (1, 720, True)
    assert render.clamp_frame_range(250, 1, 24, 30) == (1, 250, False)
    assert render.clamp_frame_range(5, 5, 24, 30) == (5, 5, False)
    assert render.clamp_frame_range(1, 100, 0, 30) == (1, 1, True)
    assert render.clamp_frame_range(start=1.9, end=1000, fps=24.9, max_seconds=30) == (1, 720, True)
    assert type(render.clamp_frame_range(1, 2, 24, 30)[2]) is bool
    with pytest.raises(TypeError, match="max_seconds"):
        render.clamp_frame_range(1, 2, 24, "30")
    with pytest.raises(TypeError):
        render.clamp_frame_range(1, 2, 24)


def test_is_supported_video(monkeypatch):
    assert render.is_supported_video("/a/Clip.MOV")
    assert render.is_supported_video("clip.mKv")
    for path in ("/a/clip", "/a/.mp4", "/a/..mov", "/a.mp4/clip", "/a/clip.gif", ""):
        assert not render.is_supported_video(path), path
    with pytest.raises(TypeError, match="path"):
        render.is_supported_video(None)
    with pytest.raises(TypeError, match="path"):
        render.is_supported_video(b"/a/b.mp4")
    # The list is read from config at the moment of use.
    monkeypatch.setattr(config, "LOCAL_VIDEO_EXTS", (".gif",))
    assert render.is_supported_video("/a/x.GIF") and not render.is_supported_video("/a/x.mp4")


def test_tmp_path_makes_fresh_private_empty_files():
    made = [render._tmp_path(".png"), render._tmp_path(suffix=".png"), render._tmp_path("")]
    try:
        assert len(set(made)) == 3
        for path in made:
            name = os.path.basename(path)
            assert os.path.isabs(path) and name.startswith("lumo_stage_")
            assert os.path.dirname(path) == tempfile.gettempdir()
            assert os.path.getsize(path) == 0
            if os.name == "posix":
                assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
        assert made[0].endswith(".png") and "." not in os.path.basename(made[2])
        with pytest.raises(TypeError, match="suffix"):
            render._tmp_path(None)
    finally:
        for path in made:
            os.unlink(path)


def test_tmp_path_reports_the_os_error(monkeypatch, tmp_path):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "missing"))
    with pytest.raises(FileNotFoundError) as info:
        render._tmp_path(".png")
    assert os.path.dirname(info.value.filename) == str(tmp_path / "missing")
