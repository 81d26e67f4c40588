"""Package files of another version than the modules running (updated under a running Blender):
the panel asks for a restart above the send button and a send is refused before anything runs."""

import types

import pytest

from ops_fakes import Layout, Operator, Props, context, scene
from tavro_blender_uploader import config

RUNNING = ".".join(map(str, config.ADDON_VERSION))


@pytest.fixture
def package(ops_module, tmp_path, monkeypatch):
    """The folder `ops` takes for its package: a copy whose manifest a test writes."""
    monkeypatch.setattr(ops_module, "__file__", str(tmp_path / "ops.abi3.so"))
    return tmp_path


@pytest.mark.parametrize("manifest, notice", [
    (f'id = "tavro_blender_uploader"\nversion = "{RUNNING}"\n', None),
    ('id = "tavro_blender_uploader"\nversion = "9.8.7"\n',
     f"插件已更新到 9.8.7，请重启 Blender 后再使用（当前运行的是 {RUNNING}）"),
    (None, f"插件文件已改动，请重启 Blender 后再使用（当前运行的是 {RUNNING}）"),  # mid-update
])
def test_notice_in_the_panel_and_the_send_refused(ops_module, fakes, package, manifest, notice):
    if manifest is not None:
        (package / "blender_manifest.toml").write_text(manifest, encoding="utf-8")
    assert ops_module.restart_notice() == notice

    panel = types.SimpleNamespace(layout=Layout())
    ops_module.draw_panel(panel, context(scene(Props())))
    tree = panel.layout.tree()
    button = tree.index(("operator", "lumo.send_to_canvas", {"icon": "EXPORT"}))
    if notice is None:
        assert tree[button - 1] == ("separator",)
    else:
        kind, options, rows = tree[button - 1]
        assert (kind, options) == ("column", {"align": True})
        # one clause a line, for the sidebar's width
        lines = notice.replace("，", "，\n").replace("（", "\n（").splitlines()
        assert len(lines) == 3 and rows == [
            ("label", {"text": line, "icon": "ERROR" if i == 0 else "BLANK1"})
            for i, line in enumerate(lines)]

    # The production fails, so that a send let through ends there.
    fakes.render.error = ValueError("渲染失败")
    op = Operator()
    result = ops_module.execute_send(op, context(scene(Props())))
    message = "无法发送：" + notice if notice else "生成素材失败：渲染失败"
    assert (result, op.reports) == ({"CANCELLED"}, [({"ERROR"}, message)])
    assert len(fakes.render.calls) == (notice is None)
