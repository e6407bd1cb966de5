#!/usr/bin/env python3
"""Draws Drelmo's two icons (a flatbed scanner with a page coming out).

Usage: make_icons.py OUTPUT_DIR

Writes drelmo.ico (class icon) and drelmo_small.ico (small class icon), each
holding nine images: 256, 48, 32 and 16 pixels at 8 bits per pixel and 256,
64, 48, 32 and 16 pixels at 32 bits per pixel. The 256-pixel images are PNG,
the others DIBs with an AND mask, as icon files usually hold them.
"""
import struct
import sys
import zlib
from pathlib import Path

SIZES_8BPP = (256, 48, 32, 16)
SIZES_32BPP = (256, 64, 48, 32, 16)
SUPERSAMPLE = 4

SLATE = (58, 74, 92)
LID = (93, 113, 136)
LIGHT = (76, 208, 125)
PAPER = (244, 246, 248)
INK = (150, 160, 172)
LED = (255, 176, 32)


def inside_rounded(u, v, left, top, right, bottom, radius):
    if not (left <= u <= right and top <= v <= bottom):
        return False
    cx = min(max(u, left + radius), right - radius)
    cy = min(max(v, top + radius), bottom - radius)
    return (u - cx) ** 2 + (v - cy) ** 2 <= radius ** 2


def shape_colour(u, v, with_text):
    """Colour at (u, v) in [0, 1]^2, or None where the icon is transparent."""
    if (u - 0.80) ** 2 + (v - 0.75) ** 2 <= 0.045 ** 2:
        return LED
    if inside_rounded(u, v, 0.18, 0.53, 0.82, 0.61, 0.02):
        return LIGHT
    if inside_rounded(u, v, 0.06, 0.40, 0.94, 0.88, 0.08):
        return SLATE
    if inside_rounded(u, v, 0.06, 0.30, 0.94, 0.42, 0.04):
        return LID
    if 0.24 <= u <= 0.76 and 0.06 <= v <= 0.31:
        if with_text and 0.31 <= u <= 0.69:
            for top in (0.11, 0.16, 0.21):
                if top <= v <= top + 0.025:
                    return INK
        if u < 0.25 or u > 0.75 or v < 0.07:
            return INK
        return PAPER
    return None


def render(size, with_text):
    """RGBA rows, top row first, antialiased by supersampling."""
    rows = []
    n = SUPERSAMPLE if size < 128 else 2
    for y in range(size):
        row = []
        for x in range(size):
            r = g = b = a = 0
            for sy in range(n):
                for sx in range(n):
                    c = shape_colour((x + (sx + 0.5) / n) / size, (y + (sy + 0.5) / n) / size,
                                     with_text)
                    if c is not None:
                        r, g, b, a = r + c[0], g + c[1], b + c[2], a + 1
            if a:
                row.append((r // a, g // a, b // a, a * 255 // (n * n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def palette_8bpp():
    """A 6x6x6 colour cube followed by 40 greys: 256 entries."""
    levels = (0, 51, 102, 153, 204, 255)
    entries = [(r, g, b) for r in levels for g in levels for b in levels]
    entries += [(round(i * 255 / 39),) * 3 for i in range(40)]
    return entries


def nearest_index(palette, colour, cache):
    # Index 0 is reserved for transparent pixels (see png()).
    if colour not in cache:
        cache[colour] = min(range(1, len(palette)),
                            key=lambda i: sum((palette[i][k] - colour[k]) ** 2 for k in range(3)))
    return cache[colour]


def and_mask(rows):
    """1-bit mask rows, bottom row first, each padded to 32 bits: 1 = transparent."""
    size = len(rows)
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, px in enumerate(row):
            if px[3] < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def bitmap_header(size, bpp, colours_used):
    # The height counts the colour image and the AND mask together.
    return struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bpp, 0, 0, 0, 0, colours_used, 0)


def dib_32(rows):
    size = len(rows)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    return bitmap_header(size, 32, 0) + bytes(pixels) + and_mask(rows)


def indexed(rows, palette):
    cache = {}
    return [[nearest_index(palette, px[:3], cache) if px[3] >= 128 else 0 for px in row]
            for row in rows]


def dib_8(rows, palette):
    size = len(rows)
    table = b''.join(bytes((b, g, r, 0)) for r, g, b in palette)
    stride = (size + 3) & ~3
    pixels = bytearray()
    for row in reversed(indexed(rows, palette)):
        pixels += bytes(row) + bytes(stride - size)
    return bitmap_header(size, 8, 256) + table + bytes(pixels) + and_mask(rows)


def png_chunk(kind, data):
    return (struct.pack('>I', len(data)) + kind + data +
            struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF))


def png(rows, palette=None):
    size = len(rows)
    raw = bytearray()
    if palette is None:
        header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
        for row in rows:
            raw.append(0)
            for px in row:
                raw += bytes(px)
        extra = b''
    else:
        header = struct.pack('>IIBBBBB', size, size, 8, 3, 0, 0, 0)
        for row in indexed(rows, palette):
            raw.append(0)
            raw += bytes(row)
        # Transparent pixels use index 0, which opaque pixels never use.
        extra = png_chunk(b'PLTE', b''.join(bytes(c) for c in palette))
        alpha = bytearray(b'\xff' * 256)
        alpha[0] = 0
        extra += png_chunk(b'tRNS', bytes(alpha))
    return (b'\x89PNG\r\n\x1a\n' + png_chunk(b'IHDR', header) + extra +
            png_chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + png_chunk(b'IEND', b''))


def icon_file(with_text):
    palette = palette_8bpp()
    drawings = {size: render(size, with_text) for size in set(SIZES_8BPP + SIZES_32BPP)}
    images = []  # (size, bpp, data)
    for size in SIZES_8BPP:
        rows = drawings[size]
        images.append((size, 8, png(rows, palette) if size == 256 else dib_8(rows, palette)))
    for size in SIZES_32BPP:
        rows = drawings[size]
        images.append((size, 32, png(rows) if size == 256 else dib_32(rows)))

    directory = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b''
    for size, bpp, data in images:
        dim = 0 if size == 256 else size
        directory += struct.pack('<BBBBHHII', dim, dim, 0, 0, 1, bpp, len(data), offset)
        offset += len(data)
        body += data
    return directory + body


def main():
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    (out / 'drelmo.ico').write_bytes(icon_file(with_text=True))
    (out / 'drelmo_small.ico').write_bytes(icon_file(with_text=False))


if __name__ == '__main__':
    main()
