"""A send while the user's own render job runs is refused, from the panel as from a script (set up
under that render, the scene crashed the host); nothing is served and the user's scene is as it
was."""

import pathlib

import pytest

from window import host_params, run_in_window

SCRIPT = pathlib.Path(__file__).with_name("send_while_busy_window.py")


@pytest.mark.parametrize("host", host_params())
def test_send_while_blenders_own_render_runs(host, tmp_path):
    flag = str(tmp_path / "sent")
    args = dict(out=str(tmp_path / "user_render" / "frame_"), flag=flag)
    with run_in_window(host, SCRIPT, args=args, timeout=300) as win:
        win.wait_for(flag, timeout=240)
        win.key("Escape")  # the user's render stopped as the user would
        result = win.result()
    assert result["rendering"] is True
    assert result["panel"] == result["script"] == "Blender 正在渲染，请等当前渲染结束后再发送"
    assert (result["urls"], result["bridges"]) == (0, 0)
    assert result["after"] == result["before"]
