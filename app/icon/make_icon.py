#!/usr/bin/env python3
"""Draws the program's 32 x 32 icon (a white note on a blue tile with a
yellow download arrow) and writes it as plimomp3.png next to this script.

Pure Python, no imaging library: shapes are tested per pixel on a 4 x 4
sub-grid for smooth edges, and the PNG is written by hand."""

import math
import os
import struct
import zlib

SIZE = 32
SUB = 4


def tile(x, y):
    r = 6.0
    cx = min(max(x, r + 1), SIZE - 1 - r)
    cy = min(max(y, r + 1), SIZE - 1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and 1 <= x <= SIZE - 1 and 1 <= y <= SIZE - 1


def note(x, y):
    # tilted oval head, stem on its right, flag from the stem's top
    dx, dy = x - 11.5, y - 22.5
    a = math.radians(-25)
    u = dx * math.cos(a) - dy * math.sin(a)
    v = dx * math.sin(a) + dy * math.cos(a)
    head = (u / 5.0) ** 2 + (v / 3.6) ** 2 <= 1
    stem = 15.2 <= x <= 17.2 and 6 <= y <= 22
    flag = 17.2 <= x <= 23 and 6 <= y <= 16 and (y - 6) >= (x - 17.2) * 0.9 and (y - 6) <= (x - 17.2) * 0.9 + 3.2
    return head or stem or flag


def arrow(x, y):
    shaft = 24 <= x <= 26.5 and 17 <= y <= 23
    head = 20.5 <= y <= 28 and abs(x - 25.25) <= (28 - y) * 0.75
    return shaft or head


def colour(x, y):
    if arrow(x, y):
        return (255, 214, 64, 255)
    if note(x, y):
        return (255, 255, 255, 255)
    if tile(x, y):
        t = y / SIZE
        return (int(40 + 30 * t), int(96 - 40 * t), int(196 - 50 * t), 255)
    return (0, 0, 0, 0)


def pixel(px, py):
    acc = [0, 0, 0, 0]
    for sy in range(SUB):
        for sx in range(SUB):
            c = colour(px + (sx + 0.5) / SUB, py + (sy + 0.5) / SUB)
            for i in range(3):
                acc[i] += c[i] * c[3]
            acc[3] += c[3]
    if acc[3] == 0:
        return (0, 0, 0, 0)
    return tuple(round(acc[i] / acc[3]) for i in range(3)) + (round(acc[3] / (SUB * SUB)),)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def main():
    rows = b"".join(b"\0" + bytes(v for px in range(SIZE) for v in pixel(px, py)) for py in range(SIZE))
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(rows, 9))
    png += chunk(b"IEND", b"")
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "plimomp3.png")
    with open(out, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main()
