#!/usr/bin/env python3
"""Draws buildsweep's icon, a broom, and writes it as a Windows .ico file.

The icon holds two 32x32 pictures of the same broom: one with a 256-colour
palette and one in 24-bit colour, each with a 1-bit transparency mask.
The drawing is plain geometry, so the file is the same on every run:

    res/make_icon.py res/buildsweep.ico [preview.png]

The optional PNG is the 24-bit picture enlarged eight times, for review.
"""
import math
import struct
import sys
import zlib

SIZE = 32
SAMPLES = 4  # per axis, to decide coverage and average colour

HANDLE = (139, 90, 43)
HANDLE_LIGHT = (181, 125, 66)
BAND = (200, 40, 40)
STRAW = (236, 196, 92)
STRAW_DARK = (190, 140, 50)
OUTLINE = (59, 42, 26)

# The broom lies along a line from the top-right corner towards the
# bottom-left one: t runs along it, s across it.
ORIGIN = (28.5, 2.5)
AXIS = (-1 / math.sqrt(2), 1 / math.sqrt(2))


def broom_colour(x, y):
    """The colour of the broom at (x, y), or None where it isn't."""
    dx, dy = x - ORIGIN[0], y - ORIGIN[1]
    t = dx * AXIS[0] + dy * AXIS[1]
    s = dx * -AXIS[1] + dy * AXIS[0]
    if 0 <= t < 16 and abs(s) <= 1.4:
        return HANDLE_LIGHT if s < -0.3 else HANDLE
    if 16 <= t < 18.5 and abs(s) <= 2.8:
        return BAND
    if 18.5 <= t < 30 and abs(s) <= 2.8 + (t - 18.5) * 0.45:
        strand = int(math.floor(s / 1.8)) % 2
        # Ragged tips: every other strand a little shorter.
        if t > 28.5 and strand:
            return None
        return STRAW_DARK if strand else STRAW
    return None


def render():
    """Rows of (r, g, b) or None (transparent), top row first."""
    rows = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            hits = []
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    colour = broom_colour(x + (sx + 0.5) / SAMPLES, y + (sy + 0.5) / SAMPLES)
                    if colour is not None:
                        hits.append(colour)
            if 2 * len(hits) < SAMPLES * SAMPLES:
                row.append(None)
            else:
                row.append(tuple(sum(c[i] for c in hits) // len(hits) for i in range(3)))
        rows.append(row)
    return outline(rows)


def outline(rows):
    """Adds a dark rim so the broom stands out on light and dark desktops."""
    result = [list(row) for row in rows]
    for y in range(SIZE):
        for x in range(SIZE):
            if rows[y][x] is not None:
                continue
            neighbours = [(x + 1, y), (x - 1, y), (x, y + 1), (x, y - 1)]
            if any(0 <= nx < SIZE and 0 <= ny < SIZE and rows[ny][nx] is not None
                   for nx, ny in neighbours):
                result[y][x] = OUTLINE
    return result


def and_mask(rows):
    """The transparency mask: one bit per pixel, set where transparent."""
    data = bytearray()
    for row in reversed(rows):  # bitmaps are stored bottom row first
        bits = 0
        for pixel in row:
            bits = (bits << 1) | (pixel is None)
        data += bits.to_bytes(SIZE // 8, "big")  # 32 bits: already 4-byte aligned
    return bytes(data)


def info_header(bits, palette_size, image_size):
    # The height counts the colour bitmap and the mask together.
    return struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, bits, 0, image_size, 0, 0,
                       palette_size, 0)


def image_24bit(rows):
    pixels = bytearray()
    for row in reversed(rows):
        for pixel in row:
            r, g, b = pixel or (0, 0, 0)
            pixels += bytes((b, g, r))
    mask = and_mask(rows)
    return info_header(24, 0, len(pixels) + len(mask)) + bytes(pixels) + mask


def image_8bit(rows):
    colours = sorted({pixel for row in rows for pixel in row if pixel is not None})
    palette = [(0, 0, 0)] + colours  # index 0 under transparent pixels
    palette += [(0, 0, 0)] * (256 - len(palette))
    index = {colour: i for i, colour in enumerate(palette[1:len(colours) + 1], start=1)}
    pixels = bytes(index[pixel] if pixel is not None else 0
                   for row in reversed(rows) for pixel in row)
    mask = and_mask(rows)
    table = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return info_header(8, 256, len(pixels) + len(mask)) + table + pixels + mask


def icon_file(rows):
    images = [(8, image_8bit(rows)), (24, image_24bit(rows))]
    offset = 6 + 16 * len(images)
    header = struct.pack("<HHH", 0, 1, len(images))
    entries = b""
    for bits, data in images:
        # A colour count of 0 means 256 or more.
        entries += struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, bits, len(data), offset)
        offset += len(data)
    return header + entries + b"".join(data for _, data in images)


def preview_png(rows, scale=8):
    raw = bytearray()
    for row in rows:
        line = bytearray()
        for pixel in row:
            line += bytes(pixel + (255,) if pixel else (0, 0, 0, 0)) * scale
        raw += (b"\0" + bytes(line)) * scale
    size = SIZE * scale

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff))

    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit("usage: make_icon.py OUT.ico [PREVIEW.png]")
    rows = render()
    with open(argv[1], "wb") as out:
        out.write(icon_file(rows))
    if len(argv) == 3:
        with open(argv[2], "wb") as out:
            out.write(preview_png(rows))


if __name__ == "__main__":
    main(sys.argv)
