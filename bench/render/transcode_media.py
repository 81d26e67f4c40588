"""What the transcode benchmark needs from ffmpeg, in the test process and inside the hosts: the
generated sources, the x264 settings an output was encoded with, the same encode done by the
ffmpeg command line, and the PSNR of an output against a lossless lanczos reference."""

import math
import os
import re
import subprocess
import tempfile

SECONDS = 3
PATTERN = "testsrc2=size={w}x{h}:rate={rate}"
H264_SOURCE = ["-c:v", "libx264", "-preset", "veryfast", "-crf", "12", "-pix_fmt", "yuv420p"]

# name: (file, stored size, frame rate, encoder, rotate tag, long edge, output size)
CASES = {
    "same_1080p": ("same.mp4", (1920, 1080), 24, H264_SOURCE, None, 1920, (1920, 1080)),
    "4k_to_1080p": ("uhd.mp4", (3840, 2160), 24, H264_SOURCE, None, 1920, (1920, 1080)),
    "1080p_to_720p": ("hd.mp4", (1920, 1080), 24, H264_SOURCE, None, 1280, (1280, 720)),
    "phone_rotated": ("phone.mp4", (1920, 1080), 24, H264_SOURCE, 90, 1280, (720, 1280)),
    "small_upscaled": ("small.mp4", (640, 360), 24, H264_SOURCE, None, 1280, (1280, 720)),
    "fps_60": ("sixty.mp4", (1280, 720), 60, H264_SOURCE, None, 1280, (1280, 720)),
    "hevc_10bit_mov": ("hevc10.mov", (1920, 1080), 24,
                       ["-c:v", "libx265", "-preset", "ultrafast", "-crf", "12",
                        "-pix_fmt", "yuv420p10le", "-tag:v", "hvc1",
                        "-x265-params", "log-level=error"], None, 1920, (1920, 1080)),
}
OUT_FPS = 24


def run(args, timeout=600):
    return subprocess.run(args, capture_output=True, text=True, check=True, timeout=timeout)


def make_source(folder, name):
    """The case's source clip in `folder`, made once."""
    file, (w, h), rate, encoder, rotate, _, _ = CASES[name]
    path = folder / file
    if path.exists():
        return str(path)
    plain = path.with_name("plain_" + file) if rotate else path
    run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
         PATTERN.format(w=w, h=h, rate=rate), "-t", str(SECONDS), *encoder, str(plain)])
    if rotate:  # a phone's way: the picture as stored, turned for display
        run(["ffmpeg", "-loglevel", "error", "-y", "-i", str(plain), "-c", "copy",
             "-metadata:s:v:0", f"rotate={rotate}", str(path)])
        plain.unlink()
    return str(path)


# ---- the encoder's settings, as x264 writes them into the stream -----------------------------

def x264_options(path):
    """The option string x264 leaves in the stream's first SEI, as a dict (empty if none)."""
    data = open(path, "rb").read(4 << 20)
    start = data.find(b"x264 - core")
    if start < 0:
        return {}
    text = data[start:data.find(b"\0", start)].decode("ascii", "replace")
    options = text.split(" options: ", 1)[1] if " options: " in text else ""
    return dict(kv.split("=", 1) for kv in options.split() if "=" in kv)


def encoder_settings(options):
    """The settings the ffmpeg command line is given, read from an x264 option dict."""
    return {"crf": float(options.get("crf", "23")), "keyint": int(options.get("keyint", "250")),
            "bframes": int(options.get("bframes", "0")), "threads": options.get("threads")}


# x264's presets differ in these options; the one whose values match the output's is the one
# the host used (the host names its presets after its own quality levels).
PRESETS = ["ultrafast", "superfast", "veryfast", "faster", "fast", "medium", "slow", "slower",
           "veryslow"]
PRESET_KEYS = ["subme", "me", "ref", "trellis", "rc_lookahead", "analyse", "mixed_ref",
               "me_range", "8x8dct", "deblock", "cabac", "weightp", "fast_pskip", "mbtree", "aq"]
_preset_options = {}


def preset_of(options, work):
    """The x264 preset whose option values agree with `options` on the most keys."""
    def score(preset):
        if preset not in _preset_options:
            probe = f"{work}/preset_{preset}.mp4"
            run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                 "testsrc2=size=64x64:rate=24", "-frames:v", "2", "-c:v", "libx264", "-preset",
                 preset, "-bf", options.get("bframes", "0"), probe])
            _preset_options[preset] = x264_options(probe)
        ref = _preset_options[preset]
        return sum(ref.get(k) == options.get(k) for k in PRESET_KEYS)
    return max(PRESETS, key=score)


def ffmpeg_command(src, out, size, settings, scale, rgb=False):
    """The user's own normalisation with the same encoder settings (ffmpeg turns a phone clip
    by its display rotation itself; the default bicubic scaler where the size changes).
    With `rgb`, the picture goes the way a host's sequencer takes it: decoded to 8-bit RGB,
    scaled there, and turned back into YUV 4:2:0 for the encoder."""
    vf = [f"fps={OUT_FPS}:round=up"]  # the frame on show at n / 24 s
    if rgb:
        vf.append("format=rgb24")
    if scale:
        vf.append(f"scale={size[0]}:{size[1]}")
    if rgb:
        vf.append("format=yuv420p")
    return ["ffmpeg", "-loglevel", "error", "-y", "-i", src, "-vf", ",".join(vf), "-an",
            "-c:v", "libx264", "-preset", settings["preset"], "-crf", f"{settings['crf']:g}",
            "-g", str(settings["keyint"]), "-bf", str(settings["bframes"]),
            "-pix_fmt", "yuv420p", out]


# ---- picture quality -------------------------------------------------------------------------

RGB = "format=gbrp"
EXACT = "flags=accurate_rnd+full_chroma_int+full_chroma_inp"


def psnr(out, src, size, frames, rate):
    """PSNR (dB, over all frames and the R, G, B planes) of `out` against the source scaled to
    `size` with lanczos, frame n against the source at n / 24 s: the source frame on show then,
    or, where that moment is as near the next frame (a 60 fps clip's odd frames fall halfway),
    the next one if it matches better. Each stream is turned to RGB by its own colour tags."""
    w, h = size
    ref = f"scale={w}:{h}:flags=lanczos+accurate_rnd+full_chroma_int+full_chroma_inp,{RGB}"
    with tempfile.TemporaryDirectory(prefix="tavro_psnr_") as tmp:
        stats = [os.path.join(tmp, f"{i}.log") for i in range(2)]
        graph = (f"[0:v]scale={EXACT},{RGB},split[a0][a1];[1:v]split[s0][s1];"
                 f"[s0]fps={OUT_FPS}:round=up,{ref}[b0];"
                 f"[s1]setpts=PTS-{0.5 / rate}/TB,fps={OUT_FPS}:round=up,{ref}[b1];"
                 f"[a0][b0]psnr=stats_file={stats[0]};[a1][b1]psnr=stats_file={stats[1]}")
        run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-i", out, "-i", src, "-lavfi", graph,
             "-frames:v", str(frames), "-f", "null", "-"], timeout=900)
        mse = [[float(re.search(r"mse_avg:(\S+)", line).group(1))
                for line in open(path) if "mse_avg" in line] for path in stats]
    best = [min(pair) for pair in zip(*mse)]
    mean = sum(best) / len(best)
    return 10 * math.log10(255 ** 2 / mean) if mean else float("inf")
