#!/usr/bin/env python3
"""Writes the example pair Image0.bmp and Image1.bmp into this folder.

Both are 24-bit bottom-up BMPs of 61 x 40 pixels (a width that is not a
multiple of 4, so the rows carry padding): a colour gradient with a dark
disc.  Image1.bmp differs in a small green square, a blue-only stripe and a
single pixel whose red channel is one step off.  Running diffmark here
writes Image.bmp with those places marked.
"""
import os
import struct

W, H = 61, 40


def picture(changed):
    rows = []
    for y in range(H):  # bottom row first
        row = bytearray()
        for x in range(W):
            b, g, r = (x * 4) % 256, (y * 6) % 256, 128
            if (x - 20) ** 2 + (y - 20) ** 2 < 100:
                b, g, r = 40, 40, 40
            if changed:
                if 40 <= x < 48 and 8 <= y < 16:
                    b, g, r = 0, 200, 0
                if 5 <= x < 15 and y == 33:
                    b = 255 - b
                if x == 55 and y == 30:
                    r += 1
            row += bytes((b, g, r))
        row += bytes((4 - len(row) % 4) % 4)
        rows.append(bytes(row))
    pixels = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    head = struct.pack("<HIHHI", 0x4D42, 54 + len(pixels), 0, 0, 54)
    return head + info + pixels


here = os.path.dirname(os.path.abspath(__file__))
for name, changed in (("Image0.bmp", False), ("Image1.bmp", True)):
    with open(os.path.join(here, name), "wb") as f:
        f.write(picture(changed))
