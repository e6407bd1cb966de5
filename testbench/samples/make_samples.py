#!/usr/bin/env python3
"""Writes the bundled sample pages: an 8-bit grey, a 24-bit colour and a
1-bit page, as a scanner driver delivers them (bottom-up BMP files with
biSizeImage filled in and a full palette for the indexed depths; the 1-bit
page's table is white, black, as bilevel scans often have it). Every scene
carries "TOP" and an arrow pointing up at its top edge, so a page delivered
upside down or mirrored shows at a glance."""
import math
import os
import struct
import sys

WIDTH, HEIGHT = 200, 140


def bmp(bits, rows, palette):
    stride = ((WIDTH * bits + 31) // 32) * 4
    pixels = b"".join(row.ljust(stride, b"\0") for row in reversed(rows))  # bottom-up
    offset = 14 + 40 + 4 * len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, bits, 0, len(pixels),
                       11811, 11811, len(palette), 0)
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return header + info + table + pixels


# Block letters, 5 x 7 cells each ('#' is ink).
GLYPHS = {
    "T": ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    "O": [".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    "P": ["####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
}
TEXT_LEFT, TEXT_TOP, CELL = 8, 5, 3  # "TOP" in cells of 3 x 3 pixels
ARROW_X, ARROW_TOP, ARROW_BOTTOM = 84, 3, 28  # an arrow pointing up


def up_marker(x, y):
    """Whether (x, y), y counted from the top, is ink of the "TOP" lettering
    or of the arrow beside it."""
    column, row = (x - TEXT_LEFT) // CELL, (y - TEXT_TOP) // CELL
    if x >= TEXT_LEFT and y >= TEXT_TOP and row < 7 and column < 18 and column % 6 < 5:
        if GLYPHS["TOP"[column // 6]][row][column % 6] == "#":
            return True
    if ARROW_TOP <= y < ARROW_TOP + 11:  # the head, widening downwards
        return abs(x - ARROW_X) <= y - ARROW_TOP
    return ARROW_TOP + 11 <= y < ARROW_BOTTOM and abs(x - ARROW_X) <= 3


def scene(x, y):
    """A page-like scene: a soft background gradient, a dark disc, a light
    frame, a row of grey steps and the dark up marker, as values from 0.0 to
    1.0."""
    if up_marker(x, y):
        return 0.05
    value = 0.35 + 0.3 * x / WIDTH + 0.15 * y / HEIGHT
    if math.hypot(x - 60, y - 70) < 38:
        value = 0.15 + 0.25 * (y - 32) / 76
    if 110 <= x < 185 and 20 <= y < 120 and (x < 115 or x >= 180 or y < 25 or y >= 115):
        value = 0.95
    if 120 <= x < 175 and 40 <= y < 100:
        value = ((x - 120) // 11) / 4.0
    return min(max(value, 0.0), 1.0)


def grey_page():
    rows = [bytes(int(scene(x, y) * 255) for x in range(WIDTH)) for y in range(HEIGHT)]
    return bmp(8, rows, [(i, i, i) for i in range(256)])


def colour_page():
    rows = []
    for y in range(HEIGHT):
        row = bytearray()
        for x in range(WIDTH):
            v = scene(x, y)
            hue = 2 * math.pi * x / WIDTH
            r = v * (0.75 + 0.25 * math.cos(hue))
            g = v * (0.75 + 0.25 * math.cos(hue - 2.1))
            b = v * (0.75 + 0.25 * math.cos(hue + 2.1))
            row += bytes(int(min(c, 1.0) * 255) for c in (b, g, r))
        rows.append(bytes(row))
    return bmp(24, rows, [])


def mono_ink(x, y):
    """The scene as line art: black disc, frame, bars and up marker on white
    paper."""
    if up_marker(x, y):
        return True
    if math.hypot(x - 60, y - 70) < 38:
        return True
    if 110 <= x < 185 and 20 <= y < 120 and (x < 115 or x >= 180 or y < 25 or y >= 115):
        return True
    return 120 <= x < 175 and 40 <= y < 100 and (x - 120) // 11 % 2 == 0


def mono_page():
    rows = []
    for y in range(HEIGHT):
        row = bytearray((WIDTH + 7) // 8)
        for x in range(WIDTH):
            if mono_ink(x, y):
                row[x // 8] |= 0x80 >> (x % 8)  # index 1: black
        rows.append(bytes(row))
    return bmp(1, rows, [(255, 255, 255), (0, 0, 0)])


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, page in (("grey8.bmp", grey_page()), ("colour24.bmp", colour_page()),
                       ("mono1.bmp", mono_page())):
        with open(os.path.join(folder, name), "wb") as out:
            out.write(page)


if __name__ == "__main__":
    main()
