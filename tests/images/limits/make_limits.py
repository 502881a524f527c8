#!/usr/bin/python3
"""Writes the files of the size-limit tests (run again to regenerate them).

A plug-in decodes at most 2^28 pixels: 16384 x 16384 loads, anything larger
is refused from the header, before image data is read.  So that a refusal
cannot be mistaken for a failure to decode, the oversized files carry
little or no image data: they are real fixtures of ../ with their sizes
rewritten (a decoder that went on would fail with "corrupt", not "too
large"), and one PNG of exactly 16384 x 16384 (1-bit grey, all black, 33 kB)
is written with zlib.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
IMAGES = os.path.dirname(HERE)


def read(name):
    with open(os.path.join(IMAGES, name), "rb") as f:
        return bytearray(f.read())


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(bytes(data))


def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def png(width, height, rows):
    """A 1-bit grey PNG whose IDAT holds `rows` black rows."""
    z = zlib.compressobj(9)
    row = bytes(1 + (width + 7) // 8)
    data = b"".join(z.compress(row) for _ in range(rows)) + z.flush()
    ihdr = struct.pack(">IIBBBBB", width, height, 1, 0, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + png_chunk(b"IDAT", data) + png_chunk(b"IEND", b"")


write("png-16384x16384.png", png(16384, 16384, 16384))
write("png-16385x16384.png", png(16385, 16384, 4))

# PNG: IHDR of png-rgb8-5x3 (after the 8-byte signature and chunk head).
d = read("png-rgb8-5x3.png")
struct.pack_into(">II", d, 16, 20000, 20000)
struct.pack_into(">I", d, 29, zlib.crc32(bytes(d[12:29])))
write("png-20000x20000.png", d)

# JPEG: the frame header (SOF0: length, precision, height, width).
d = read("jpeg-baseline-1x1.jpg")
sof = d.index(b"\xff\xc0")
struct.pack_into(">HH", d, sof + 5, 20000, 20000)
write("jpeg-20000x20000.jpg", d)

# GIF: the logical screen.
d = read("gif-1x1.gif")
struct.pack_into("<HH", d, 6, 20000, 20000)
write("gif-20000x20000.gif", d)

# BMP: biWidth and biHeight.
d = read("bmp-rgb24-1x1.bmp")
struct.pack_into("<ii", d, 18, 20000, 20000)
write("bmp-20000x20000.bmp", d)

# TIFF (little-endian): ImageWidth (256) and ImageLength (257) in the first IFD.
d = read("tiff-rgb8-17x11.tif")
assert d[:2] == b"II"
ifd = struct.unpack_from("<I", d, 4)[0]
for i in range(struct.unpack_from("<H", d, ifd)[0]):
    tag, kind = struct.unpack_from("<HH", d, ifd + 2 + 12 * i)
    if tag in (256, 257):
        if kind == 3:
            struct.pack_into("<H", d, ifd + 2 + 12 * i + 8, 20000)
        else:
            struct.pack_into("<I", d, ifd + 2 + 12 * i + 8, 20000)
write("tiff-20000x20000.tif", d)

# WebP: the canvas of an animation (VP8X: 24-bit width - 1, height - 1).
d = read("webp-animated-partframe-10x8.webp")
assert d[12:16] == b"VP8X"
d[24:27] = (20000 - 1).to_bytes(3, "little")
d[27:30] = (20000 - 1).to_bytes(3, "little")
write("webp-20000x20000.webp", d)
