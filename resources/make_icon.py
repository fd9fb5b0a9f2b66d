#!/usr/bin/env python3
"""Draws the application icon: updater_helper.png (256x256 RGBA) and updater_helper.ico.

The .ico holds the one 256x256 image stored as PNG, which Windows has read since Vista and which
keeps the file small. Run from anywhere; both files are written beside this script. Uses only the
standard library, so the output is the same wherever it runs.
"""

import math
import os
import struct
import zlib

SIZE = 256
SAMPLES = 4  # per axis; 16 samples per pixel smooth the edges

TOP = (0x2F, 0x8C, 0xF0)
BOTTOM = (0x12, 0x4B, 0xB4)
GLYPH = (0xFF, 0xFF, 0xFF)

MARGIN = 8.0
CORNER = 52.0
CENTRE = SIZE / 2.0
RADIUS = 66.0
STROKE = 24.0
HEAD_LENGTH = 40.0
HEAD_WIDTH = 64.0

# Two arcs chasing each other clockwise (screen angles, y down), each ending in an arrow head.
ARCS = ((200.0, 320.0), (20.0, 140.0))


def inside_rounded_square(x, y):
    half = (SIZE - 2 * MARGIN) / 2.0
    dx = max(abs(x - CENTRE) - (half - CORNER), 0.0)
    dy = max(abs(y - CENTRE) - (half - CORNER), 0.0)
    return dx * dx + dy * dy <= CORNER * CORNER and abs(x - CENTRE) <= half and abs(y - CENTRE) <= half


def angle_of(x, y):
    return math.degrees(math.atan2(y - CENTRE, x - CENTRE)) % 360.0


def on_arc(x, y, start, end):
    r = math.hypot(x - CENTRE, y - CENTRE)
    if abs(r - RADIUS) > STROKE / 2.0:
        return False
    return start <= angle_of(x, y) <= end


def point_on_circle(degrees, radius=RADIUS):
    a = math.radians(degrees)
    return CENTRE + radius * math.cos(a), CENTRE + radius * math.sin(a)


def on_round_cap(x, y, degrees):
    cx, cy = point_on_circle(degrees)
    return math.hypot(x - cx, y - cy) <= STROKE / 2.0


def head_triangle(degrees):
    a = math.radians(degrees)
    tangent = (-math.sin(a), math.cos(a))  # direction of travel, clockwise on screen
    base = point_on_circle(degrees)
    outward = (math.cos(a), math.sin(a))
    w = HEAD_WIDTH / 2.0
    left = (base[0] + outward[0] * w, base[1] + outward[1] * w)
    right = (base[0] - outward[0] * w, base[1] - outward[1] * w)
    tip = (base[0] + tangent[0] * HEAD_LENGTH, base[1] + tangent[1] * HEAD_LENGTH)
    return left, right, tip


def inside_triangle(x, y, triangle):
    (ax, ay), (bx, by), (cx, cy) = triangle

    def side(px, py, qx, qy):
        return (qx - px) * (y - py) - (qy - py) * (x - px)

    d1 = side(ax, ay, bx, by)
    d2 = side(bx, by, cx, cy)
    d3 = side(cx, cy, ax, ay)
    negative = d1 < 0 or d2 < 0 or d3 < 0
    positive = d1 > 0 or d2 > 0 or d3 > 0
    return not (negative and positive)


HEADS = [head_triangle(end) for _, end in ARCS]


def in_glyph(x, y):
    for (start, end), head in zip(ARCS, HEADS):
        if on_arc(x, y, start, end) or on_round_cap(x, y, start) or inside_triangle(x, y, head):
            return True
    return False


def background(y):
    t = min(max((y - MARGIN) / (SIZE - 2 * MARGIN), 0.0), 1.0)
    return tuple(TOP[i] + (BOTTOM[i] - TOP[i]) * t for i in range(3))


def render():
    rows = []
    step = 1.0 / SAMPLES
    for py in range(SIZE):
        row = bytearray()
        for px in range(SIZE):
            square = glyph = 0
            for sy in range(SAMPLES):
                y = py + (sy + 0.5) * step
                for sx in range(SAMPLES):
                    x = px + (sx + 0.5) * step
                    if inside_rounded_square(x, y):
                        square += 1
                        if in_glyph(x, y):
                            glyph += 1
            total = SAMPLES * SAMPLES
            if square == 0:
                row += bytes(4)
                continue
            # Glyph samples lie inside the square, so the colour is their mix over the background;
            # alpha comes from the square alone.
            bg = background(py + 0.5)
            g = glyph / square
            colour = [round(bg[i] * (1 - g) + GLYPH[i] * g) for i in range(3)]
            row += bytes(colour + [round(255 * square / total)])
        rows.append(bytes(row))
    return rows


def png_bytes(rows):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA
    raw = b"".join(b"\x00" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico_bytes(png):
    directory = struct.pack("<HHH", 0, 1, 1)
    # Width and height 0 mean 256; 1 plane, 32 bits per pixel, the image right after this entry.
    entry = struct.pack("<BBBBHHII", 0, 0, 0, 0, 1, 32, len(png), 6 + 16)
    return directory + entry + png


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    png = png_bytes(render())
    with open(os.path.join(here, "updater_helper.png"), "wb") as f:
        f.write(png)
    with open(os.path.join(here, "updater_helper.ico"), "wb") as f:
        f.write(ico_bytes(png))


if __name__ == "__main__":
    main()
