"""Module config: constants, the site address with its override, the import URL."""

import urllib.parse

import pytest

from tavro_blender_uploader import config


def test_constants_have_their_values_and_exact_types():
    assert config.ADDON_VERSION == (0, 1, 0) and type(config.ADDON_VERSION) is tuple
    assert (config.MAX_VIDEO_SECONDS, config.MAX_VIDEO_BYTES, config.MAX_IMAGE_BYTES) == (
        30, 209715200, 20971520)
    assert (config.VIDEO_FPS, config.BRIDGE_TTL_SECONDS) == (24, 1800)
    for name in ("MAX_VIDEO_SECONDS", "MAX_VIDEO_BYTES", "MAX_IMAGE_BYTES", "VIDEO_FPS",
                 "BRIDGE_TTL_SECONDS"):
        assert type(getattr(config, name)) is int
    assert (config.VIDEO_CONTAINER, config.VIDEO_CODEC, config.RENDER_ENGINE) == (
        "MPEG4", "H264", "BLENDER_WORKBENCH")
    assert config.LOCAL_VIDEO_EXTS == (".mp4", ".mov", ".webm", ".avi", ".mkv", ".m4v")
    assert config.RESOLUTION_PRESETS == (("hd", "HD 1280", 1280), ("fhd", "FHD 1920", 1920))
    assert all(type(row) is tuple for row in config.RESOLUTION_PRESETS)


def test_scrambled_values():
    parts = urllib.parse.urlsplit(config.SITE_URL)
    assert parts.scheme == "https" and parts.netloc.endswith("example.com")
    assert config.IMPORT_PATH.startswith("/")
    assert config.ENV_SITE_URL and config.ENV_SITE_URL.isidentifier()
    assert config.BRIDGE_HOST == "127.0.0.1"
    # Module order: the stored values sit where the table puts them.
    names = [n for n in vars(config) if n.isupper()]
    assert names == ["ADDON_VERSION", "SITE_URL", "IMPORT_PATH", "ENV_SITE_URL",
                     "MAX_VIDEO_SECONDS", "MAX_VIDEO_BYTES", "MAX_IMAGE_BYTES", "VIDEO_FPS",
                     "VIDEO_CONTAINER", "VIDEO_CODEC", "LOCAL_VIDEO_EXTS", "RENDER_ENGINE",
                     "RESOLUTION_PRESETS", "BRIDGE_HOST", "BRIDGE_TTL_SECONDS"]


def test_ybd_round_trips_with_a_cyclic_key_and_reports_like_python():
    key = b"\x01\x02\x03"
    stored = bytes(b ^ key[i % 3] for i, b in enumerate("Grüße/路径".encode()))
    assert config._ybd(stored, key) == "Grüße/路径"
    assert config._ybd(_b=bytearray(stored), _k=key) == "Grüße/路径"
    assert config._ybd(b"") == "" and config._ybd(b"", b"") == ""
    with pytest.raises(ZeroDivisionError):
        config._ybd(b"x", b"")
    with pytest.raises(UnicodeDecodeError):
        config._ybd(b"\xff", b"\x00")
    with pytest.raises(TypeError, match="_b"):
        config._ybd("text")
    with pytest.raises(TypeError):
        config._ybd()


def test_site_url_reads_the_environment_at_every_call(monkeypatch):
    env = config.ENV_SITE_URL
    monkeypatch.delenv(env, raising=False)
    assert config.site_url() == config.SITE_URL.rstrip("/")
    monkeypatch.setenv(env, "")
    assert config.site_url() == config.SITE_URL.rstrip("/")
    monkeypatch.setenv(env, "http://127.0.0.1:8000///")
    assert config.site_url() == "http://127.0.0.1:8000"
    monkeypatch.setenv(env, " http://h/a/b/ ")
    assert config.site_url() == " http://h/a/b/ "
    monkeypatch.setenv(env, "///")
    assert config.site_url() == ""
    monkeypatch.setattr(config, "SITE_URL", "https://other.example.org//")
    monkeypatch.delenv(env)
    assert config.site_url() == "https://other.example.org"
    with pytest.raises(TypeError):
        config.site_url(1)


def test_build_import_url_quotes_like_urllib(monkeypatch):
    monkeypatch.setenv(config.ENV_SITE_URL, "http://127.0.0.1:9/")
    base = "http://127.0.0.1:9" + config.IMPORT_PATH
    assert config.build_import_url(5173, "Ab-_09", "image") == (
        base + "#port=5173&token=Ab-_09&kind=image")
    odd = "a&b#c=d/e f中~."
    url = config.build_import_url(0, odd, "vi deo")
    assert url == base + "#port=0&token=" + urllib.parse.quote(odd, safe="") + "&kind=vi%20deo"
    fragment = url.split("#", 1)[1]
    assert [kv.split("=", 1)[0] for kv in fragment.split("&")] == ["port", "token", "kind"]
    assert config.build_import_url(port=8080.9, token="t", kind="video").endswith(
        "#port=8080&token=t&kind=video")
    assert "#port=-3&" in config.build_import_url(-3.7, "t", "k")
    assert "#port=1&" in config.build_import_url(True, "t", "k")
    # The site is looked up anew at every call.
    monkeypatch.setenv(config.ENV_SITE_URL, "http://localhost:1")
    assert config.build_import_url(1, "t", "k").startswith("http://localhost:1" + config.IMPORT_PATH)


@pytest.mark.parametrize("args, name", [
    (("80", "t", "k"), "port"), ((None, "t", "k"), "port"),
    ((80, None, "k"), "token"), ((80, b"t", "k"), "token"), ((80, "t", 1), "kind"),
])
def test_build_import_url_type_errors_name_the_argument(args, name):
    with pytest.raises(TypeError, match=name):
        config.build_import_url(*args)


def test_build_import_url_argument_count():
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'kind'"):
        config.build_import_url(1, "t")
    with pytest.raises(TypeError, match="takes 3 positional arguments but 4 were given"):
        config.build_import_url(1, "t", "k", "x")
    with pytest.raises(TypeError, match="multiple values for argument 'port'"):
        config.build_import_url(1, "t", "k", port=2)
    with pytest.raises(TypeError, match="unexpected keyword argument 'host'"):
        config.build_import_url(1, "t", "k", host="x")
