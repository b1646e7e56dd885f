#!/usr/bin/env python3
"""Draws the share dialog's 37x34 24-bit warning bitmap (a yellow triangle with a black
exclamation mark on the dialog face colour) as a .bmp file."""
import struct
import sys

WIDTH, HEIGHT = 37, 34
FACE = (0xF0, 0xF0, 0xF0)
YELLOW = (0xFF, 0xCC, 0x00)
EDGE = (0x80, 0x60, 0x00)
BLACK = (0x00, 0x00, 0x00)


def inside_triangle(x, y, shrink):
    # Apex at the top centre, base along the bottom; shrink moves every side inwards.
    cx = (WIDTH - 1) / 2
    top, bottom = 1 + shrink * 2, HEIGHT - 2 - shrink
    if y < top or y > bottom:
        return False
    half = (y - top + 1) * (WIDTH / 2 - 1 - shrink) / (bottom - top + 1)
    return abs(x - cx) <= half


def pixel(x, y):
    if not inside_triangle(x, y, 0):
        return FACE
    if not inside_triangle(x, y, 2):
        return EDGE
    cx = WIDTH // 2
    if abs(x - cx) <= 1 and 10 <= y <= 23:
        return BLACK
    if abs(x - cx) <= 1 and 26 <= y <= 28:
        return BLACK
    return YELLOW


def bitmap_bytes():
    stride = (WIDTH * 3 + 3) & ~3
    pixels = bytearray()
    for y in reversed(range(HEIGHT)):  # bottom-up DIB
        row = bytearray()
        for x in range(WIDTH):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        row += b"\0" * (stride - len(row))
        pixels += row
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, len(pixels), 2835, 2835,
                       0, 0)
    offset = 14 + len(info)
    header = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return header + info + bytes(pixels)


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as f:
        f.write(bitmap_bytes())
