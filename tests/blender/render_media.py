"""Reading back what a render wrote: ffprobe facts, frame brightness, PNG headers."""

import json
import pathlib
import subprocess


def probe(path):
    """What ffprobe reads from a video: container, streams, counted frames, duration."""
    out = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_format",
                          "-show_streams", "-of", "json", str(path)],
                         capture_output=True, text=True, check=True, timeout=120)
    info = json.loads(out.stdout)
    video = [s for s in info["streams"] if s["codec_type"] == "video"]
    return {
        "format": info["format"]["format_name"],
        "duration": float(info["format"]["duration"]),
        "audio_streams": sum(s["codec_type"] == "audio" for s in info["streams"]),
        "video_streams": len(video),
        "codec": video[0]["codec_name"] if video else None,
        "size": (video[0]["width"], video[0]["height"]) if video else None,
        "rate": video[0]["r_frame_rate"] if video else None,
        "frames": int(video[0]["nb_read_frames"]) if video else 0,
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
