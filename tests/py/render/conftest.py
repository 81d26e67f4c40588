import pytest

import fakebpy


@pytest.fixture
def render():
    from tavro_blender_uploader import render
    return render


@pytest.fixture
def make_fake(render, monkeypatch):
    """Binds a new FakeBpy as render.bpy; keyword arguments pick the host's shape."""

    def make(**shape):
        fake = fakebpy.FakeBpy(**shape)
        monkeypatch.setattr(render, "bpy", fake)
        return fake

    return make


@pytest.fixture
def fake(make_fake):
    return make_fake()


@pytest.fixture
def tmpdir_files(tmp_path, monkeypatch):
    """Temporary files of the module land in tmp_path, so tests can see what stays behind."""
    import tempfile
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    return tmp_path
