"""Fixtures of the real-Blender tests: small test clips made with ffmpeg at test time."""

import subprocess

import pytest

from render_media import encode, media_folder


def make_clip(path, seconds, fps, size="64x36", gradient=False):
    """A small H.264 test clip. `gradient`: every frame is one grey level rising with time
    from 16 to 235, so a frame's brightness tells which moment of the source it shows."""
    if gradient:
        src = (f"color=c=black:s={size}:r={fps}:d={seconds},format=yuv420p,"
               f"geq=lum='16+219*T/{seconds}':cb=128:cr=128")
    else:
        src = f"testsrc=duration={seconds}:size={size}:rate={fps}"
    return encode(path, src, "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "ultrafast")


@pytest.fixture(scope="session")
def clips(tmp_path_factory):
    d = media_folder(tmp_path_factory, "clips")
    phone = d / "phone.mp4"  # as a phone stores it: the picture as taken, turned for display
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-i", make_clip(d / "plain.mp4", 0.5, 24),
                    "-c", "copy", "-metadata:s:v:0", "rotate=90", str(phone)], check=True,
                   timeout=60)
    bad = d / "not_a_video.mp4"
    bad.write_bytes(b"this is not a video\n" * 10)
    return {
        "c24_10s": make_clip(d / "c24_10s.mp4", 10, 24),
        "c24_35s": make_clip(d / "c24_35s.mp4", 35, 24),
        "portrait": make_clip(d / "portrait.mov", 0.5, 24, size="1080x1920"),
        "c30_3s": make_clip(d / "c30_3s.mp4", 3, 30, gradient=True),
        "c12_2s": make_clip(d / "c12_2s.mkv", 2, 12, gradient=True),
        "phone": str(phone),
        "not_a_video": str(bad),
    }
