#!/usr/bin/env python3
"""Draws the tile icons in assets/icons/ (80x80 RGBA PNG, shown at 40x40).

Usage: tools/make_icons.py [OUT_DIR]   (default assets/icons)
Flat glyphs in the menu's accent colour on a transparent ground, from plain
geometry, so a rerun writes the same bytes.
"""
import math
import os
import struct
import sys
import zlib

SIZE = 80
ACCENT = (0, 214, 214)
WARN = (240, 180, 40)


def png(pixels):
    raw = b"".join(b"\0" + bytes(row) for row in pixels)
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def draw(inside, color):
    """Four samples per pixel for smooth edges."""
    rows = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            hits = sum(inside(x + dx, y + dy) for dx in (0.25, 0.75) for dy in (0.25, 0.75))
            row += [*color, hits * 255 // 4]
        rows.append(row)
    return rows


def rounded(x, y, left, top, right, bottom, radius):
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def triangle(x, y, a, b, c):
    def side(p, q):
        return (q[0] - p[0]) * (y - p[1]) - (q[1] - p[1]) * (x - p[0])
    s1, s2, s3 = side(a, b), side(b, c), side(c, a)
    return (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)


def video(x, y):
    frame = rounded(x, y, 6, 14, 74, 66, 8) and not rounded(x, y, 12, 20, 68, 60, 4)
    return frame or triangle(x, y, (32, 28), (32, 52), (52, 40))


def subtitles(x, y):
    frame = rounded(x, y, 6, 14, 74, 66, 8) and not rounded(x, y, 12, 20, 68, 60, 4)
    lines = (18 <= x <= 62 and 44 <= y <= 48) or (26 <= x <= 54 and 52 <= y <= 56)
    return frame or lines


def audio(x, y):
    stem = 46 <= x <= 52 and 14 <= y <= 58
    flag = 46 <= x <= 66 and 14 <= y <= 22
    head = (x - 40) ** 2 / 1.4 + (y - 58) ** 2 <= 100
    return stem or flag or head


def folder(x, y):
    tab = rounded(x, y, 8, 14, 36, 30, 4)
    return tab or rounded(x, y, 8, 22, 72, 66, 6)


def warning(x, y):
    outer = triangle(x, y, (40, 8), (6, 70), (74, 70))
    mark = (37 <= x <= 43 and 28 <= y <= 52) or (x - 40) ** 2 + (y - 60) ** 2 <= 12
    return outer and not mark


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "assets", "icons")
    os.makedirs(out, exist_ok=True)
    for name, shape, color in [("video", video, ACCENT), ("subtitles", subtitles, ACCENT), ("audio", audio, ACCENT),
                               ("folder", folder, ACCENT), ("warning", warning, WARN)]:
        with open(os.path.join(out, name + ".png"), "wb") as f:
            f.write(png(draw(shape, color)))


if __name__ == "__main__":
    main()
