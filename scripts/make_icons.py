#!/usr/bin/env python3
"""Draws the updater's icons (application, and the three choices of the Welcome page) and writes
them as .ico files with 16, 24, 32, 48 and 64 pixel images (32-bit BGRA with an AND mask).
Usage: make_icons.py <output folder>"""
import math
import struct
import sys
from pathlib import Path

SIZES = (16, 24, 32, 48, 64)


def coverage(shape, x, y, samples=4):
    """Share of the pixel (x, y) inside shape(px, py), both in units of the icon's size (0..1)."""
    inside = 0
    for i in range(samples):
        for j in range(samples):
            if shape((x + (i + 0.5) / samples), (y + (j + 0.5) / samples)):
                inside += 1
    return inside / (samples * samples)


def in_polygon(points, px, py):
    inside = False
    for (x1, y1), (x2, y2) in zip(points, points[1:] + points[:1]):
        if (y1 > py) != (y2 > py) and px < (x2 - x1) * (py - y1) / (y2 - y1) + x1:
            inside = not inside
    return inside


def near_segment(ax, ay, bx, by, px, py, width):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy)) <= width / 2


def arrow(px, py):
    return in_polygon([(0.5, 0.80), (0.22, 0.48), (0.40, 0.48), (0.40, 0.18), (0.60, 0.18), (0.60, 0.48),
                       (0.78, 0.48)], px, py)


def disc(px, py):
    return math.hypot(px - 0.5, py - 0.5) <= 0.47


def rounded_square(px, py):
    r = 0.18
    cx = min(max(px, r + 0.03), 0.97 - r)
    cy = min(max(py, r + 0.03), 0.97 - r)
    return math.hypot(px - cx, py - cy) <= r


def clock_hands(px, py):
    return near_segment(0.5, 0.5, 0.5, 0.2, px, py, 0.1) or near_segment(0.5, 0.5, 0.74, 0.5, px, py, 0.1)


def cross(px, py):
    return near_segment(0.3, 0.3, 0.7, 0.7, px, py, 0.13) or near_segment(0.7, 0.3, 0.3, 0.7, px, py, 0.13)


ICONS = {
    "app": ((0x1F, 0x6F, 0xD1), rounded_square, arrow),
    "install": ((0x2E, 0x9E, 0x44), disc, arrow),
    "remind": ((0xE0, 0xA8, 0x00), disc, clock_hands),
    "disable": ((0xC6, 0x28, 0x28), disc, cross),
}


def render(size, colour, background, symbol):
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            back = coverage(lambda px, py: background(px / size, py / size), x, y)
            mark = coverage(lambda px, py: symbol(px / size, py / size), x, y)
            r = round(colour[0] * (1 - mark) + 255 * mark)
            g = round(colour[1] * (1 - mark) + 255 * mark)
            b = round(colour[2] * (1 - mark) + 255 * mark)
            row.append((r, g, b, round(255 * back)))
        rows.append(row)
    return rows


def dib(rows):
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(rows):
        line = bytearray(mask_row)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(line)
    return header + pixels + mask


def write_icon(path, images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    blobs = []
    for size, blob in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
        blobs.append(blob)
    path.write_bytes(out + b"".join(blobs))


def main():
    folder = Path(sys.argv[1])
    folder.mkdir(parents=True, exist_ok=True)
    for name, (colour, background, symbol) in ICONS.items():
        write_icon(folder / f"{name}.ico", [(size, dib(render(size, colour, background, symbol))) for size in SIZES])


if __name__ == "__main__":
    main()
