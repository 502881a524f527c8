#!/usr/bin/env python3
"""diffmark-cli's PNG output read back by Pillow.

The program deflates a picture in bands of rows (about 256 KiB of filtered
rows each; a picture under two bands on one thread) and joins them into one
zlib stream.  For sizes around those edges -- 1 x 1, rows of an odd byte
count, heights on either side of the first split, rows longer than a band,
a picture cut into many bands on several threads -- each pair is written
once as BMP and once as PNG, and Pillow's decode of the PNG must hold
exactly the pixels of the BMP; Python's zlib checks every chunk's CRC-32
and the stream's end and Adler-32.  The channel copy and the perceptual
overlay both.  When a PNG plug-in is found, diffmark-cli then compares the
PNG it wrote with the BMP: they must be identical (the plug-in reads the
many IDAT chunks of a banded file).

usage: cli_png_output_test.py DIFFMARK_CLI PLUGIN_DIR
"""
import os
import random
import subprocess
import sys
import struct
import tempfile
import zlib

from PIL import Image, ImageDraw

cli, plugins = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
reads_png = any(name.startswith("png") and name.endswith(".spi") for name in os.listdir(plugins))
failures = []

# (width, height): 512-pixel rows are 1537 filtered bytes, so 341 rows make
# one band and 342 two; 100 000-pixel rows are longer than a band, each row
# a band of its own.
SIZES = [(1, 1), (5, 3), (37, 23), (1, 1000), (512, 341), (512, 342), (512, 343), (100000, 3),
         (1500, 700)]


def picture(width, height, rnd):
    """Flat areas, edges and noise: what deflate finds in screenshots and
    what it cannot shrink."""
    im = Image.new("RGB", (width, height), tuple(rnd.randrange(256) for _ in range(3)))
    draw = ImageDraw.Draw(im)
    for _ in range(12):
        x, y = rnd.randrange(width), rnd.randrange(height)
        draw.rectangle([x, y, x + rnd.randrange(1, width + 1), y + rnd.randrange(1, height + 1)],
                       fill=tuple(rnd.randrange(256) for _ in range(3)))
    w, h = max(1, width // 3), max(1, height // 4)
    noise = Image.frombytes("RGB", (w, h), rnd.randbytes(3 * w * h))
    im.paste(noise, (rnd.randrange(width - w + 1), rnd.randrange(height - h + 1)))
    return im


def file_error(path, width, height):
    """What is wrong with the file's chunks (their order, their CRC-32) or
    its zlib stream as a whole (its end, its Adler-32, its length), or None:
    Pillow skips the last chunk's CRC and may stop once it has the rows."""
    with open(path, "rb") as f:
        data = f.read()
    at, idat, kinds = 8, b"", []
    while at < len(data):
        if at + 12 > len(data):
            return "a chunk cut short"
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        (crc,) = struct.unpack(">I", data[at + 8 + length:at + 12 + length])
        if crc != zlib.crc32(kind + body):
            return f"{kind} chunk at {at}: CRC {crc:08x}, not {zlib.crc32(kind + body):08x}"
        kinds.append(kind)
        if kind == b"IDAT":
            idat += body
        at += 12 + length
    if kinds[0] != b"IHDR" or kinds[-1] != b"IEND" or set(kinds[1:-1]) != {b"IDAT"}:
        return f"chunks {kinds[:4]}...{kinds[-2:]}"
    inflater = zlib.decompressobj()
    try:
        rows = inflater.decompress(idat) + inflater.flush()
    except zlib.error as error:
        return str(error)
    if not inflater.eof or inflater.unused_data:
        return "the stream does not end where the data does"
    if len(rows) != height * (3 * width + 1):
        return f"{len(rows)} bytes of rows"
    return None


def changed(im, rnd):
    out = im.copy()
    width, height = im.size
    for _ in range(max(1, width * height // 500)):
        x, y = rnd.randrange(width), rnd.randrange(height)
        r, g, b = out.getpixel((x, y))
        out.putpixel((x, y), ((r + rnd.randrange(1, 256)) % 256, g, (b + 40) % 256))
    return out


rnd = random.Random(11)
with tempfile.TemporaryDirectory() as work:
    for width, height in SIZES:
        base = picture(width, height, rnd)
        base.save(os.path.join(work, "a.bmp"))
        changed(base, rnd).save(os.path.join(work, "b.bmp"))
        modes = [["--mode", "channels"]]
        if width * height > 100:
            modes.append(["--metric", "yiq", "--aa", "--mode", "overlay"])
        for mode in modes:
            name = f"{width}x{height} {' '.join(mode)}"
            pictures = {}
            for ext in ("bmp", "png"):
                out = os.path.join(work, "out." + ext)
                if os.path.exists(out):
                    os.remove(out)
                done = subprocess.run([cli, "-q"] + mode + ["a.bmp", "b.bmp", "-o", out], cwd=work,
                                      capture_output=True, text=True)
                if done.returncode not in (0, 1) or not os.path.exists(out):
                    failures.append(f"{name} -o out.{ext}: exit status {done.returncode}: {done.stderr}")
                    break
                try:
                    with Image.open(out) as check:
                        check.verify()
                    with Image.open(out) as written:
                        if ext == "png" and (written.mode, written.info.get("interlace", 0)) != ("RGB", 0):
                            failures.append(f"{name}: PNG of mode {written.mode}, {written.info}")
                        pictures[ext] = written.convert("RGB").tobytes(), written.size
                    if ext == "png" and file_error(out, width, height):
                        failures.append(f"{name}: {file_error(out, width, height)}")
                except Exception as error:  # Pillow's reason, as the failure
                    failures.append(f"{name} out.{ext}: {error}")
                    break
            if len(pictures) == 2 and pictures["png"] != pictures["bmp"]:
                failures.append(f"{name}: the PNG's pixels are not the BMP's")
            if len(pictures) == 2 and reads_png:
                done = subprocess.run([cli, "--plugins", plugins, "out.png", "out.bmp"], cwd=work,
                                      capture_output=True, text=True)
                if done.returncode != 0:
                    failures.append(f"{name}: diffmark-cli out.png out.bmp: {done.returncode} {done.stdout}"
                                    f"{done.stderr}")

print("ok" if not failures else "\n".join(failures))
sys.exit(1 if failures else 0)
