#!/usr/bin/env python3
"""Draws NORVEX's icon (16 x 16 and 32 x 32, 32-bit with alpha) and writes it as a Windows .ico:
a blue tile with a white "N" and an amber cable that ends in a serial plug.

usage: draw-icon.py OUTPUT.ico"""
import struct
import sys

BLUE = (0x1F, 0x4E, 0x9A, 255)
EDGE = (0x12, 0x2F, 0x5E, 255)
WHITE = (255, 255, 255, 255)
AMBER = (0xF2, 0xA9, 0x00, 255)
CLEAR = (0, 0, 0, 0)


def draw(size):
    """Pixels, top row first, as (r, g, b, a)."""
    s = size / 32.0
    pixels = [[CLEAR] * size for _ in range(size)]

    def fill(x0, y0, x1, y1, colour):
        for y in range(max(0, int(y0 * s)), min(size, int(round(y1 * s)))):
            for x in range(max(0, int(x0 * s)), min(size, int(round(x1 * s)))):
                pixels[y][x] = colour

    # The tile with a darker rim, corners cut.
    fill(1, 1, 31, 31, EDGE)
    fill(2, 2, 30, 30, BLUE)
    for x, y in [(0, 0), (size - 1, 0), (0, size - 1), (size - 1, size - 1)]:
        pixels[y][x] = CLEAR
    # The letter N: two strokes and a diagonal.
    fill(6, 5, 10, 22, WHITE)
    fill(19, 5, 23, 22, WHITE)
    steps = int(17 * s)
    for i in range(steps):
        y = int(5 * s) + i
        x = int(6 * s) + int(i * 13 / 17 + 0.5)
        for dx in range(max(1, int(4 * s))):
            if 0 <= x + dx < size and 0 <= y < size:
                pixels[y][x + dx] = WHITE
    # The cable along the bottom and the plug at its end.
    fill(4, 25, 22, 27, AMBER)
    fill(22, 23, 28, 29, AMBER)
    return pixels


def image_bytes(size):
    pixels = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for row in reversed(pixels) for (r, g, b, a) in row)
    row_bytes = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(row_bytes)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + colour + bytes(mask)


def main():
    images = [(size, image_bytes(size)) for size in (16, 32)]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
