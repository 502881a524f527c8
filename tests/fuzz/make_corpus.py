#!/usr/bin/env python3
"""Writes the seed corpora under corpus/ (run again to regenerate them).

Each file is small and names the case it holds.  The classes are those that
broke other BMP readers: truncation at header boundaries, zero, negative and
extreme sizes, sizes whose rows or blocks overflow 32 bits, top-down files,
colour counts of 0, 256, 257 and 2^32-1 at the bit counts that matter, a
50000 x 50000 header on a 60-byte file, non-BMP data, the longer info
headers (52 to 124 bytes, whole or cut short), and pairs of different
sizes, header lengths and orientations in both directions.

The format plug-ins' corpora (spi_*) are the image fixtures of the tests
(tests/images, every variant the tests cover, each made by a real encoder)
and the files whose headers exceed the pixel limit.
"""
import os
import shutil
import struct

here = os.path.dirname(os.path.abspath(__file__))
root = os.path.join(here, "corpus")


def bmp(w, h, bits=24, clr=0, table=b"", pixels=None, size=40):
    """A BMP file; `size` > 40 writes a longer info header (tail bytes 0x5A)."""
    if pixels is None:
        stride = 3 * w + w % 4 if w > 0 else 0
        pixels = bytes((i * 7) & 255 for i in range(max(0, min(stride * abs(h), 1024))))
    info = struct.pack("<IiiHHIIiiII", size, w, h, 1, bits, 0, len(pixels), 2835, 2835, clr, 0)
    info += b"\x5a" * max(0, size - 40)
    offset = 14 + len(info) + len(table)
    head = struct.pack("<HIHHI", 0x4D42, offset + len(pixels), 0, 0, offset)
    return head + info + table + pixels


def put(target, name, data):
    d = os.path.join(root, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# Inputs that once broke something stay: regression-* files are kept.
for target in os.listdir(root) if os.path.isdir(root) else []:
    for name in os.listdir(os.path.join(root, target)):
        if not name.startswith("regression-"):
            os.remove(os.path.join(root, target, name))
I32_MIN, I32_MAX = -(2 ** 31), 2 ** 31 - 1

# ---------------------------------------------------------------- bmp
good = bmp(5, 3)
put("bmp", "valid-5x3", good)
for cut in (0, 1, 2, 6, 10, 13, 14, 18, 22, 30, 40, 53):
    put("bmp", f"truncated-{cut}", good[:cut])
sizes = {
    "zero-width": (0, 4), "zero-height": (4, 0), "negative-width": (-7, 3),
    "top-down-small": (4, -3), "top-down-large": (4, -300), "both-negative": (-5, -5),
    "int32-min": (I32_MIN, I32_MIN), "int32-max-width": (I32_MAX, 1), "int32-max-height": (1, I32_MAX),
    "row-overflows-32-bits": (0x55555556, 1), "block-overflows-32-bits": (70000, 70000),
    "block-just-over-31-bits": (26000, 27000),
}
for name, (w, h) in sizes.items():
    put("bmp", name, bmp(w, h, pixels=bytes(64)))
put("bmp", "50000x50000-on-60-bytes", bmp(50000, 50000, pixels=bytes(6)))
clrs = (0, 256, 257, 0xFFFFFFFF)
for i, bits in enumerate((0, 1, 4, 8, 16, 24, 32)):
    for clr in (clrs[i % 4], clrs[(i + 2) % 4]):
        table = bytes((j * 3) & 255 for j in range(4 * min(clr, 300)))
        put("bmp", f"bits-{bits}-clrused-{clr}", bmp(6, 2, bits, clr, table, bytes(range(48))))
put("bmp", "not-a-bmp", b"\x89PNG\r\n\x1a\n" + bytes(100))
for size in (52, 56, 64, 108, 124):
    put("bmp", f"info-{size}-5x3", bmp(5, 3, size=size))
    put("bmp", f"info-{size}-top-down-5x3", bmp(5, -3, size=size))
put("bmp", "info-124-8-bits-clrused-16", bmp(6, 2, 8, 16, bytes(range(64)), bytes(range(48)), size=124))
put("bmp", "info-108-cut-in-header", bmp(5, 3, size=108)[:90])
put("bmp", "info-124-no-rows-50000x50000", bmp(50000, 50000, pixels=b"", size=124))
put("bmp", "info-12-not-longer", bmp(5, 3, size=12))
put("bmp", "top-down-int32-min-height", bmp(4, I32_MIN, pixels=bytes(64)))
put("bmp", "top-down-int32-max-magnitude", bmp(1, -I32_MAX, pixels=bytes(64)))
put("bmp", "top-down-32-bits", bmp(4, -3, 32, pixels=bytes(64)))

# ---------------------------------------------------------------- run
def pair(a, b):
    return struct.pack("<H", len(a)) + a + b


base = bmp(6, 4, pixels=bytes((i * 5) & 255 for i in range(96)))
other = bmp(6, 4, pixels=bytes((i * 5 + (i % 7 == 0)) & 255 for i in range(96)))
put("run", "same-size-pair", pair(base, other))
put("run", "identical-pair", pair(base, base))
put("run", "first-larger", pair(bmp(9, 9), bmp(3, 3)))
put("run", "first-smaller", pair(bmp(2, 2), bmp(40, 30, pixels=bytes(3600))))
put("run", "first-missing", pair(b"", base))
put("run", "second-missing", pair(base, b""))
put("run", "second-short-header", pair(base, base[:30]))
put("run", "second-top-down", pair(base, bmp(6, -4, pixels=bytes(96))))
put("run", "second-negative-both", pair(base, bmp(-5, -5, pixels=bytes(80))))
put("run", "second-50000x50000", pair(base, bmp(50000, 50000, pixels=bytes(6))))
put("run", "second-int32-min", pair(base, bmp(I32_MIN, I32_MIN, pixels=bytes(6))))
down = bmp(6, -4, pixels=bytes((i * 5) & 255 for i in range(96)))
put("run", "v5-pair", pair(bmp(6, 4, size=124), bmp(6, 4, size=124)))
put("run", "v4-and-40-pair", pair(bmp(6, 4, size=108), other))
put("run", "40-and-v5-pair", pair(base, bmp(6, 4, size=124)))
put("run", "top-down-pair", pair(down, bmp(6, -4, size=124)))
put("run", "top-down-then-bottom-up", pair(down, other))
put("run", "bottom-up-then-top-down", pair(other, down))
put("run", "mixed-orientation-first-smaller", pair(bmp(2, -2), bmp(40, 30, pixels=bytes(3600))))
put("run", "mixed-orientation-first-larger", pair(bmp(9, 9), bmp(3, -3, size=124)))
put("run", "top-down-int32-min-height", pair(base, bmp(6, I32_MIN, pixels=bytes(6))))
put("run", "palette-pair", pair(bmp(4, 4, 8, 256, bytes(1024), bytes(16)), bmp(4, 4, 8, 2 ** 32 - 1, bytes(64), bytes(16))))

# Files of real writers (../fixtures/bmp): ImageMagick's V5 header, a
# top-down file, and a pair of the two.
fixtures = os.path.join(here, "..", "fixtures", "bmp")


def fixture(name):
    with open(os.path.join(fixtures, name), "rb") as f:
        return f.read()


put("bmp", "imagemagick-v5", fixture("a-im.bmp"))
put("bmp", "pillow-top-down", fixture("a-pil-topdown.bmp"))
put("run", "imagemagick-v5-and-pillow-top-down", pair(fixture("a-im.bmp"), fixture("b-pil-topdown.bmp")))

# -------------------------------------------------------------- names
for i, (a, b) in enumerate([
    (b"Image0.bmp", b"IMAGE0.BMP"), (b"a.b.c", b"a.b.d"), (b".bmp", b""), (b"x.abcdefg", b"x.abcdef"),
    (b"x.JPEG", b"x.jpe"), (b"dir.d\\name", b"dir"), (b"\x83\x41.\x83\x61", b"\x83\x61"), (b"", b""),
]):
    put("names", f"pair-{i}", bytes([i * 37 & 255]) + a + b"\xff" + b)

# ------------------------------------------------------------- plugin
def filt(text):
    return (text + b"\0" * 256)[:256]


def plug(ext, filter_text, status, info, pixels):
    return bytes([len(ext)]) + ext + filter_text + struct.pack("<III", status, len(info), len(pixels)) + info + pixels


def info_block(w, h, bits, entries):
    head = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, 0, 0, 96, 96, 0, 0)
    return head + bytes((i * 11) & 255 for i in range(4 * entries))


put("plugin", "eight-bit", plug(b"tst", filt(b"*.tst"), 0, info_block(4, 2, 8, 256), bytes(range(8))))
put("plugin", "four-bit-odd", plug(b"tst", filt(b"*.tst"), 0, info_block(5, 2, 4, 16), bytes(range(8))))
put("plugin", "short-info", plug(b"tst", filt(b"*.tst"), 0, info_block(4, 2, 8, 0)[:41], bytes(8)))
put("plugin", "tiny-info", plug(b"tst", filt(b"*.tst"), 0, info_block(4, 2, 8, 0)[:12], bytes(8)))
put("plugin", "few-colours", plug(b"tst", filt(b"*.tst"), 0, info_block(4, 2, 8, 3), bytes(8)))
put("plugin", "bits-12", plug(b"tst", filt(b"*.tst"), 0, info_block(2, 2, 12, 300), bytes(16)))
put("plugin", "pixels-too-small", plug(b"tst", filt(b"*.tst"), 0, info_block(64, 64, 24, 0), bytes(8)))
put("plugin", "plugin-fails", plug(b"tst", filt(b"*.tst"), 9, info_block(1, 1, 24, 0), bytes(4)))
put("plugin", "unterminated-filter", plug(b"tst", b"*.tst;" + b"x" * 250, 0, info_block(1, 1, 24, 0), bytes(4)))
put("plugin", "no-match", plug(b"png", filt(b"*.tst"), 0, info_block(1, 1, 24, 0), bytes(4)))
put("plugin", "suffix-match", plug(b"jpg", filt(b"*.ajpg*"), 0, info_block(1, 1, 24, 0), bytes(4)))
put("plugin", "no-extension", plug(b"", filt(b"*.jpg"), 0, info_block(1, 1, 24, 0), bytes(4)))
put("plugin", "huge-geometry", plug(b"tst", filt(b"*.tst"), 0, info_block(I32_MAX, I32_MAX, 32, 0), bytes(4)))

# ------------------------------------------------------------- expand
def expand(w, h, bits, rows):
    head = struct.pack("<IiiHHIIiiII", 40, w, h, 1, bits, 0, 0, 96, 96, 0, 0)
    palette = bytes((i * 13) & 255 for i in range(1024))
    return head + palette + rows


for w in (1, 3, 5):
    put("expand", f"eight-bit-w{w}", expand(w, 3, 8, bytes(range(24))))
    put("expand", f"four-bit-w{w}", expand(w, 3, 4, bytes(range(0, 240, 20))))
put("expand", "short-source", expand(40, 40, 8, bytes(10)))
put("expand", "huge-rows-no-source", expand(20000, 20000, 8, b""))
put("expand", "negative", expand(-5, -5, 4, bytes(16)))
put("expand", "int32-max", expand(I32_MAX, I32_MAX, 8, bytes(16)))
put("expand", "bits-24", expand(4, 4, 24, bytes(64)))
put("expand", "header-only", expand(4, 4, 8, b"")[:20])

# ------------------------------------------------------- plugin_cache
def fnv1a(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return h


def plugin_cache(folder, plugins, count=None):
    """A plug-in cache file: plugins are (size, time, name, filter)."""
    def text(t):
        return b"%d:" % len(t) + t
    body = b"diffmark plug-in cache 1\nfolder " + text(folder) + b"\n"
    for size, time, name, filt in plugins:
        body += b"plugin %d %d " % (size, time) + text(name) + b" " + text(filt) + b"\n"
    n = len(plugins) if count is None else count
    return body + b"end %d %016x\n" % (n, fnv1a(body))


cache = plugin_cache(b"/usr/lib/diffmark/plugins", [
    (16960, 1796983210439193221, b"png.spi", b"*.png"),
    (16672, -1, b"jpeg.spi", b"*.jpg;*.jpeg;*.jpe;*.jfif"),
    (0, 0, b"odd name.spi", b"a:b\nc 3:d\xff"),
])
put("plugin_cache", "valid-three", cache)
put("plugin_cache", "valid-none", plugin_cache(b"C:\\diffmark\\plugins", []))
put("plugin_cache", "cut-in-a-line", cache[:70])
put("plugin_cache", "wrong-count", plugin_cache(b"/p", [(1, 1, b"a.spi", b"*.a")], count=2))
put("plugin_cache", "name-twice", plugin_cache(b"/p", [(1, 1, b"a.spi", b"*.a"), (2, 2, b"a.spi", b"*.b")]))
put("plugin_cache", "huge-length", b"diffmark plug-in cache 1\nfolder 18446744073709551615:/p\n")
put("plugin_cache", "numbers-at-the-limits",
    plugin_cache(b"/p", [(2 ** 64 - 1, -(2 ** 63), b"a.spi", b""), (0, 2 ** 63 - 1, b"b.spi", b"f" * 255)]))

# ------------------------------------------------------ format plug-ins
images = os.path.join(here, "..", "images")
for target, prefix in (("spi_png", "png-"), ("spi_jpeg", "jpeg-"), ("spi_webp", "webp-"),
                       ("spi_gif", "gif-"), ("spi_tiff", "tiff-"), ("spi_bmp", "bmp-")):
    for folder in (images, os.path.join(images, "limits"), os.path.join(images, "adam7")):
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if name.startswith(prefix) and os.path.getsize(path) <= 8192:
                with open(path, "rb") as f:
                    put(target, name, f.read())
