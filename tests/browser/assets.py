"""Small stand-ins for the add-on's produced assets.

`write_png` draws a white-model-looking still (matte spheres on a floor,
Lambert shading) with the standard library only; `write_mp4` turns it into a
short H.264 clip with ffmpeg, the same container and codec the add-on
produces.
"""

from __future__ import annotations

import math
import shutil
import struct
import subprocess
import zlib

_SPHERES = ((-1.1, 0.8, 5.0, 0.8), (0.6, 0.55, 4.2, 0.55), (1.7, 1.0, 6.2, 1.0))
_LIGHT = (-0.45, 0.8, -0.4)


def _norm(v):
    n = math.sqrt(sum(c * c for c in v))
    return tuple(c / n for c in v)


def _shade(dx, dy, dz):
    """Grey level for the camera ray (0, 1.2, 0) + t * d."""
    light = _norm(_LIGHT)
    ox, oy, oz = 0.0, 1.2, 0.0
    best, hit = math.inf, None
    for cx, cy, cz, r in _SPHERES:
        lx, ly, lz = ox - cx, oy - cy, oz - cz
        b = lx * dx + ly * dy + lz * dz
        c = lx * lx + ly * ly + lz * lz - r * r
        disc = b * b - c
        if disc > 0:
            t = -b - math.sqrt(disc)
            if 0 < t < best:
                best = t
                px, py, pz = ox + t * dx, oy + t * dy, oz + t * dz
                hit = ((px - cx) / r, (py - cy) / r, (pz - cz) / r)
    if hit is None and dy < 0:
        t = -oy / dy
        px, pz = ox + t * dx, oz + t * dz
        # Floor with soft contact shadows under each sphere.
        shadow = 1.0
        for cx, cy, cz, r in _SPHERES:
            d2 = (px - cx) ** 2 + (pz - cz) ** 2
            shadow *= 1.0 - 0.45 * math.exp(-d2 / (r * r * 0.9))
        fade = max(0.0, min(1.0, 1.0 - (t - 3.0) / 30.0))
        return fade * (0.6 + 0.3 * shadow) + (1 - fade) * 0.82
    if hit is None:
        return 0.82 + 0.1 * dy  # background
    lam = max(0.0, sum(a * b for a, b in zip(hit, light)))
    return 0.32 + 0.62 * lam + 0.06 * hit[1]


def png_bytes(width: int, height: int, tint: tuple[int, int, int] = (0, 0, 0)) -> bytes:
    rows = bytearray()
    fov = math.tan(math.radians(25))
    aspect = width / height
    for y in range(height):
        rows.append(0)  # filter: none
        sy = (1 - 2 * (y + 0.5) / height) * fov - 0.12
        for x in range(width):
            sx = (2 * (x + 0.5) / width - 1) * fov * aspect
            d = _norm((sx, sy, 1.0))
            g = max(0.0, min(1.0, _shade(*d)))
            rows += bytes(max(0, min(255, int(g * 255) + t)) for t in tint)

    def chunk(tag: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(rows), 6)) + chunk(b"IEND", b"")


def write_png(path, width: int, height: int) -> None:
    with open(path, "wb") as f:
        f.write(png_bytes(width, height))


def have_ffmpeg() -> bool:
    return shutil.which("ffmpeg") is not None


def write_mp4(path, still, width: int, height: int, frames: int, fps: int = 24) -> None:
    """A slow push-in on `still`, `frames` frames of H.264 in MPEG-4."""
    zoom = f"zoompan=z='1+0.0025*on':x='iw/2-(iw/zoom/2)':y='ih/2-(ih/zoom/2)':d={frames}:s={width}x{height}:fps={fps}"
    subprocess.run(
        ["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", str(still), "-vf", zoom,
         "-frames:v", str(frames), "-c:v", "libx264", "-pix_fmt", "yuv420p", "-an",
         "-movflags", "+faststart", str(path)],
        check=True,
        timeout=120,
    )
