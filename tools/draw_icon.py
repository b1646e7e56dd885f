#!/usr/bin/env python3
"""Draws the program's 32x32 24-bit icon (a USB plug on a blue disc) as an .ico file."""
import math
import struct
import sys

SIZE = 32


def pixel(x, y):
    cx = cy = 15.5
    r = math.hypot(x - cx, y - cy)
    if r > 15.5:
        return None  # transparent
    colour = (0x1F, 0x5F, 0xBF) if r < 14.5 else (0x10, 0x30, 0x70)
    # USB trident: a stem, a cross bar and three tips.
    white = (0xFF, 0xFF, 0xFF)
    if 15 <= x <= 16 and 6 <= y <= 25:
        return white
    if 9 <= x <= 22 and 14 <= y <= 15:
        return white
    if 9 <= x <= 10 and 10 <= y <= 15:
        return white
    if 21 <= x <= 22 and 12 <= y <= 15:
        return white
    if 8 <= x <= 11 and 8 <= y <= 10:
        return white
    if 20 <= x <= 23 and 10 <= y <= 12:
        return white
    if 13 <= x <= 18 and 4 <= y <= 6 and abs(x - 15.5) <= (6 - y) + 1:
        return white
    if 13 <= x <= 18 and 24 <= y <= 27:
        return white
    return colour


def icon_bytes():
    row_xor = SIZE * 3  # 96 bytes, already a multiple of 4
    row_and = 4         # 32 bits
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(SIZE)):  # bottom-up DIB
        bits = 0
        for x in range(SIZE):
            p = pixel(x, y)
            if p is None:
                xor += b"\0\0\0"
                bits |= 1 << (31 - x)
            else:
                xor += bytes((p[2], p[1], p[0]))
        mask += struct.pack(">I", bits)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 24, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    image = header + bytes(xor) + bytes(mask)
    assert len(xor) == row_xor * SIZE and len(mask) == row_and * SIZE
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 24, len(image), 6 + 16)
    return directory + entry + image


if __name__ == "__main__":
    with open(sys.argv[1], "wb") as f:
        f.write(icon_bytes())
