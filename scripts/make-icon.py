#!/usr/bin/env python3
"""Draws the Corvalis Setup icon and writes src/app/corvalis-setup.ico.

The mark is drawn from vector shapes (signed distance functions in a 1 x 1 square) and
rasterised at each of the nine sizes Windows picks from: a rounded violet tile, a white "C" arc
open to the right, and an amber play triangle in its mouth. Change the shapes or colours below
and run the script again; the build uses the committed .ico and does not need this script.

    python3 scripts/make-icon.py [--preview DIR]   (DIR gets one PNG per size to look at)

Only the Python standard library is used.
"""

import math
import os
import struct
import sys
import zlib

SIZES = [16, 20, 24, 32, 40, 48, 64, 128, 256]

# ---- The vector source ------------------------------------------------------------------------
# Coordinates are in a unit square, y downwards. Colours are (r, g, b).
TILE_TOP = (0x8A, 0x6B, 0xFF)     # the tile's gradient, top left ...
TILE_BOTTOM = (0x2E, 0x1A, 0x7A)  # ... to bottom right
TILE_INSET = 0.03                 # transparent margin around the tile
TILE_RADIUS = 0.2
ARC_COLOUR = (0xFF, 0xFF, 0xFF)
ARC_CENTRE = (0.5, 0.5)
ARC_RADIUS = 0.27
ARC_WIDTH = 0.115                 # stroke width; the ends are round
ARC_OPENING = 88.0                # degrees left open, centred on the right-hand side
PLAY_COLOUR = (0xFF, 0xB5, 0x47)
PLAY_POINTS = [(0.47, 0.37), (0.47, 0.63), (0.685, 0.5)]
PLAY_ROUNDING = 0.02


def rounded_box(x, y, inset, radius):
    half = 0.5 - inset
    qx = abs(x - 0.5) - (half - radius)
    qy = abs(y - 0.5) - (half - radius)
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def arc(x, y):
    px, py = x - ARC_CENTRE[0], y - ARC_CENTRE[1]
    angle = math.degrees(math.atan2(py, px))  # 0 points right
    half_open = ARC_OPENING / 2
    if abs(angle) >= half_open:
        return abs(math.hypot(px, py) - ARC_RADIUS) - ARC_WIDTH / 2
    # In the opening: the distance to the nearer round end.
    ends = []
    for sign in (1, -1):
        a = math.radians(sign * half_open)
        ex, ey = ARC_RADIUS * math.cos(a), ARC_RADIUS * math.sin(a)
        ends.append(math.hypot(px - ex, py - ey))
    return min(ends) - ARC_WIDTH / 2


def polygon(x, y, points):
    d = float("inf")
    inside = False
    n = len(points)
    for i in range(n):
        ax, ay = points[i]
        bx, by = points[i - 1]
        ex, ey = bx - ax, by - ay
        wx, wy = x - ax, y - ay
        t = max(0.0, min(1.0, (wx * ex + wy * ey) / (ex * ex + ey * ey)))
        d = min(d, math.hypot(wx - ex * t, wy - ey * t))
        if (ay > y) != (by > y) and x < ax + (y - ay) * ex / ey:
            inside = not inside
    return -d if inside else d


def play(x, y):
    return polygon(x, y, PLAY_POINTS) - PLAY_ROUNDING


def over(base, colour, alpha):
    """Premultiplied `colour` at `alpha` over premultiplied `base` (r, g, b, a)."""
    r, g, b, a = base
    return (colour[0] * alpha + r * (1 - alpha), colour[1] * alpha + g * (1 - alpha),
            colour[2] * alpha + b * (1 - alpha), alpha + a * (1 - alpha))


def coverage(distance, pixel):
    return max(0.0, min(1.0, 0.5 - distance / pixel))


def render(size):
    """RGBA rows, top to bottom, straight (not premultiplied) alpha."""
    pixel = 1.0 / size
    grid = 3  # samples per axis within each pixel
    rows = []
    for row in range(size):
        out = bytearray()
        for column in range(size):
            total = [0.0, 0.0, 0.0, 0.0]
            for sy in range(grid):
                for sx in range(grid):
                    x = (column + (sx + 0.5) / grid) * pixel
                    y = (row + (sy + 0.5) / grid) * pixel
                    t = max(0.0, min(1.0, (x + y) / 2))
                    tile = tuple(TILE_TOP[i] + (TILE_BOTTOM[i] - TILE_TOP[i]) * t for i in range(3))
                    # Each sample is itself antialiased by its distance, at the sample spacing.
                    step = pixel / grid
                    colour = (0.0, 0.0, 0.0, 0.0)
                    colour = over(colour, tile, coverage(rounded_box(x, y, TILE_INSET, TILE_RADIUS), step))
                    colour = over(colour, ARC_COLOUR, coverage(arc(x, y), step))
                    colour = over(colour, PLAY_COLOUR, coverage(play(x, y), step))
                    total = [total[i] + colour[i] for i in range(4)]
            r, g, b, a = (c / (grid * grid) for c in total)
            if a > 0:
                r, g, b = r / a, g / a, b / a
            out += bytes(round(max(0, min(255, v))) for v in (r, g, b, a * 255))
        rows.append(bytes(out))
    return rows


def png(size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = b"".join(b"\0" + row for row in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


def dib(size, rows):
    """A 32-bit BGRA DIB as an icon holds it: bottom-up, double height, then the AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for i in range(0, len(row), 4):
            r, g, b, a = row[i:i + 4]
            pixels += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    mask = bytes(mask_row * size)  # all shown: the alpha channel decides
    return header + bytes(pixels) + mask


def ico(images):
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, data = b"", b""
    for size, blob in images:
        dimension = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dimension, dimension, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
        data += blob
    return directory + entries + data


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    preview = None
    if len(sys.argv) == 3 and sys.argv[1] == "--preview":
        preview = sys.argv[2]
        os.makedirs(preview, exist_ok=True)
    images = []
    for size in SIZES:
        rows = render(size)
        # The largest image as PNG keeps the file small; the others as DIBs, which every
        # Windows loader reads.
        images.append((size, png(size, rows) if size >= 256 else dib(size, rows)))
        if preview:
            with open(os.path.join(preview, f"icon-{size}.png"), "wb") as out:
                out.write(png(size, rows))
    target = os.path.join(root, "src", "app", "corvalis-setup.ico")
    with open(target, "wb") as out:
        out.write(ico(images))
    print(f"wrote {target}")


if __name__ == "__main__":
    main()
