"""Reading back what a render wrote: ffprobe facts, frame brightness, PNG headers."""

import json
import math
import pathlib
import shutil
import subprocess


def media_folder(tmp_path_factory, name):
    """A new folder for test media; skips the test where ffmpeg is missing."""
    import pytest
    if not (shutil.which("ffmpeg") and shutil.which("ffprobe")):
        pytest.skip("ffmpeg/ffprobe not installed")
    return tmp_path_factory.mktemp(name)


def encode(path, source, *args):
    """Writes a clip made by an ffmpeg lavfi `source`, with output `args` (encoder, length)."""
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i", source, *args,
                    str(path)], check=True, timeout=120)
    return str(path)


def probe(path):
    """What ffprobe reads from a video: container, streams, counted frames, duration."""
    out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_format",
                          "-show_streams", "-of", "json", str(path)],
                         capture_output=True, text=True, check=True, timeout=120)
    info = json.loads(out.stdout)
    video = [s for s in info["streams"] if s["codec_type"] == "video"]
    matrix = video[0].get("color_space") if video else None
    return {
        "format": info["format"]["format_name"],
        "duration": float(info["format"]["duration"]),
        "audio_streams": sum(s["codec_type"] == "audio" for s in info["streams"]),
        "video_streams": len(video),
        "codec": video[0]["codec_name"] if video else None,
        "size": (video[0]["width"], video[0]["height"]) if video else None,
        "rate": video[0]["r_frame_rate"] if video else None,
        "frames": int(video[0]["nb_read_frames"]) if video else 0,
        # The YUV matrix the stream says it was made with; None when it does not say.
        "colour_matrix": None if matrix in (None, "unknown") else matrix,
    }


def frame_brightness(path):
    """Mean grey level of every frame of a video, in order."""
    out = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", str(path), "-f", "rawvideo",
                          "-pix_fmt", "gray", "-"], capture_output=True, check=True, timeout=120)
    w, h = probe(path)["size"]
    n = w * h
    data = out.stdout
    return [sum(data[i:i + n]) / n for i in range(0, len(data) - n + 1, n)]


def png_info(path):
    """(width, height, colour type) from a PNG's header."""
    head = pathlib.Path(path).read_bytes()[:26]
    assert head[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    return (int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big"), head[25])


def min_alpha(path):
    """The lowest alpha value of an image (255 when it is opaque everywhere)."""
    out = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", str(path), "-f", "rawvideo",
                          "-pix_fmt", "rgba", "-"], capture_output=True, check=True, timeout=60)
    return min(out.stdout[3::4])


# ---- pictures: frames decoded and shrunk the same way, and one distance between them ---------

def decoded_frame(path, index, size, before="", scaler="area", matrix="auto"):
    """Frame `index` (counted from 0) of a video or image, RGB bytes at `size` (w, h).

    `before`: filters applied to the full frame first (a crop, a pad, a turn). ffmpeg turns a
    clip by its display rotation itself, so a source frame comes out upright. The frame is
    brought to `size` by area averaging, which keeps the picture's layout and drops the detail
    that encoding blurs anyway; another `scaler` (lanczos) keeps the detail, for a full-size
    reference. `matrix`: the YUV matrix to decode with; by default the stream's own tag, and
    BT.601 where it has none (ffmpeg's guess).
    """
    chain = f"select=eq(n\\,{index})," + (before + "," if before else "")
    chain += f"scale={size[0]}:{size[1]}:flags={scaler}:in_color_matrix={matrix},format=rgb24"
    out = subprocess.run(["ffmpeg", "-loglevel", "error", "-i", str(path), "-vf", chain,
                          "-frames:v", "1", "-f", "rawvideo", "-"], capture_output=True,
                         check=True, timeout=60)
    assert len(out.stdout) == size[0] * size[1] * 3, (path, index, len(out.stdout))
    return out.stdout


def distance(a, b):
    """Mean absolute difference of two equal-sized RGB pictures, 0 to 255."""
    assert len(a) == len(b)
    return sum(abs(x - y) for x, y in zip(a, b)) / len(a)


def psnr(a, b):
    """Peak signal-to-noise ratio of two equal-sized RGB pictures, in dB."""
    assert len(a) == len(b)
    mse = sum((x - y) ** 2 for x, y in zip(a, b)) / len(a)
    return 10 * math.log10(255 ** 2 / mse) if mse else math.inf


def write_png(rgb, size, path):
    """Saves RGB bytes as a PNG, to look at."""
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgb24",
                    "-s", f"{size[0]}x{size[1]}", "-i", "-", str(path)], input=rgb, check=True,
                   timeout=60)
