#!/usr/bin/python3.11
"""Draws the example application's images: the eleven PNG files of its DATA
resources (resources/data/*.png) and its icon with four sizes
(resources/mendrix.ico). The output is deterministic; the files are kept in
the source tree, so this runs only when the pictures change.

Usage: tools/make_example_resources.py [RESOURCES_DIR]
"""

import math
import struct
import sys
import zlib
from pathlib import Path

BLUE = (0x1F, 0x5F, 0xA8, 0xFF)
GREEN = (0x2E, 0x8B, 0x57, 0xFF)
AMBER = (0xE0, 0x9A, 0x1B, 0xFF)
RED = (0xC6, 0x28, 0x28, 0xFF)
GREY = (0x55, 0x5B, 0x66, 0xFF)
WHITE = (0xFF, 0xFF, 0xFF, 0xFF)
CLEAR = (0, 0, 0, 0)


# ---- shapes: functions of the pixel centre (u, v), both in [0, 1) ------------

def disc(u, v):
    return (u - 0.5) ** 2 + (v - 0.5) ** 2 <= 0.42 ** 2


def ring(u, v):
    return 0.22 ** 2 <= (u - 0.5) ** 2 + (v - 0.5) ** 2 <= 0.42 ** 2


def plus(u, v):
    return (abs(u - 0.5) < 0.12 and 0.1 < v < 0.9) or (abs(v - 0.5) < 0.12 and 0.1 < u < 0.9)


def cross(u, v):
    return 0.1 < u < 0.9 and 0.1 < v < 0.9 and (abs(u - v) < 0.12 or abs(u + v - 1) < 0.12)


def arrow_up(u, v):
    head = v < 0.5 and abs(u - 0.5) < (v - 0.05)
    return head or (abs(u - 0.5) < 0.12 and 0.45 <= v < 0.92)


def arrow_down(u, v):
    return arrow_up(u, 1 - v)


def triangle(u, v):
    return 0.1 < v < 0.9 and abs(u - 0.5) < (v - 0.1) * 0.55


def diamond(u, v):
    return abs(u - 0.5) + abs(v - 0.5) < 0.42


def bars(u, v):
    return 0.1 < u < 0.9 and any(abs(v - y) < 0.07 for y in (0.25, 0.5, 0.75))


def folder(u, v):
    tab = 0.1 < u < 0.45 and 0.18 < v <= 0.3
    return tab or (0.1 < u < 0.9 and 0.3 < v < 0.82)


def letter_m(u, v):
    if not (0.2 < v < 0.8):
        return False
    stroke = 0.11
    legs = abs(u - 0.25) < stroke / 2 or abs(u - 0.75) < stroke / 2
    depth = (v - 0.2) / 0.35
    diagonals = v < 0.6 and (abs(u - (0.25 + 0.25 * depth)) < stroke / 2
                             or abs(u - (0.75 - 0.25 * depth)) < stroke / 2)
    return legs or diagonals


def rounded_square(u, v):
    r = 0.2
    dx = max(abs(u - 0.5) - (0.5 - r), 0)
    dy = max(abs(v - 0.5) - (0.5 - r), 0)
    return math.hypot(dx, dy) < r


def draw(size, layers):
    """Rows of RGBA pixels, top row first; later layers paint over earlier ones."""
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            u, v = (x + 0.5) / size, (y + 0.5) / size
            pixel = CLEAR
            for shape, colour in layers:
                if shape(u, v):
                    pixel = colour
            row.append(pixel)
        rows.append(row)
    return rows


# ---- PNG -----------------------------------------------------------------------

def png_chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def png_bytes(rows):
    height, width = len(rows), len(rows[0])
    raw = b"".join(b"\0" + bytes(channel for pixel in row for channel in pixel) for row in rows)
    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header)
            + png_chunk(b"IDAT", zlib.compress(raw, 9)) + png_chunk(b"IEND", b""))


# ---- ICO (32-bit DIB images with an all-clear AND mask) ------------------------------

def dib_bytes(rows):
    size = len(rows)
    mask_stride = ((size + 31) // 32) * 4
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    mask = bytes(mask_stride * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + pixels + mask


def ico_bytes(images):
    entries, bodies = [], []
    offset = 6 + 16 * len(images)
    for size, body in images:
        entries.append(struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32,
                                   len(body), offset))
        bodies.append(body)
        offset += len(body)
    return struct.pack("<HHH", 0, 1, len(images)) + b"".join(entries) + b"".join(bodies)


# The PNG files of the DATA resources, in resource id order (ids 3-7, 9-14).
IMAGES = [
    ("connect.png", 16, [(plus, GREEN)]),
    ("disconnect.png", 16, [(cross, RED)]),
    ("upload.png", 16, [(arrow_up, BLUE)]),
    ("download.png", 16, [(arrow_down, BLUE)]),
    ("settings.png", 16, [(ring, GREY)]),
    ("status_ok.png", 16, [(disc, GREEN)]),
    ("status_warning.png", 16, [(triangle, AMBER)]),
    ("status_error.png", 16, [(diamond, RED)]),
    ("logo.png", 32, [(rounded_square, BLUE), (letter_m, WHITE)]),
    ("log.png", 16, [(bars, GREY)]),
    ("folder.png", 16, [(folder, AMBER)]),
]
ICON_SIZES = (16, 24, 32, 48)


def main(argv):
    resources = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent / "resources"
    data = resources / "data"
    data.mkdir(parents=True, exist_ok=True)
    for name, size, layers in IMAGES:
        (data / name).write_bytes(png_bytes(draw(size, layers)))
    icon_layers = [(rounded_square, BLUE), (letter_m, WHITE)]
    icon = ico_bytes([(size, dib_bytes(draw(size, icon_layers))) for size in ICON_SIZES])
    (resources / "mendrix.ico").write_bytes(icon)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
