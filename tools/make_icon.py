#!/usr/bin/env python3
"""Draws the program's icon: a white shield with a green check on a dark
red square, 32x32, 32 bits per pixel, written as a one-image .ico file."""
import struct
import sys

SIZE = 32


def pixel(x, y):
    # Shield: straight sides, narrowing to a point at the bottom.
    cx = SIZE / 2 - 0.5
    half = 12 if y < 18 else max(0, 12 - (y - 18) * 12 / 12)
    inside = 3 <= y <= 30 and abs(x - cx) <= half
    if not inside:
        return (0x30, 0x20, 0xA0, 0xFF)  # dark red (BGRA)
    # Check mark: two strokes.
    on_first = 9 <= x <= 14 and abs((y - 15) - (x - 9)) <= 1
    on_second = 14 <= x <= 22 and abs((y - 20) + (x - 14)) <= 1
    if on_first or on_second:
        return (0x30, 0xC0, 0x30, 0xFF)  # green
    return (0xFF, 0xFF, 0xFF, 0xFF)


def main(path):
    rows = []
    for y in range(SIZE - 1, -1, -1):  # bottom-up
        rows.append(b"".join(bytes(pixel(x, y)) for x in range(SIZE)))
    xor = b"".join(rows)
    and_mask = b"\x00" * (SIZE * SIZE // 8)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(icondir + entry + image)


if __name__ == "__main__":
    main(sys.argv[1])
