#!/usr/bin/env python3
"""diffmark-cli checked against an independent decoder.

Pillow writes random picture pairs (odd sizes, a few differing pixels,
differing by small and large amounts) as BMP and as PPM.  For each mode,
threshold and ignored region, the expected counts, bounding box and marked
picture are computed here in plain Python from Pillow's decode of the
inputs, and compared with diffmark-cli's JSON and with Pillow's decode of
its output.  BMP pairs of one size take the program's streaming path, PPM
pairs (through the Netpbm plug-in) the whole-image path: both must agree
with the expectation.  PNG pairs are checked too when a PNG plug-in is found.

usage: cli_pillow_test.py DIFFMARK_CLI PLUGIN_DIR
"""
import json
import os
import random
import subprocess
import sys
import tempfile

from PIL import Image

cli, plugins = sys.argv[1], sys.argv[2]
MARKER = (255, 0, 255)  # red, green, blue: the channel markers (blue 255, green 0, red 255)
failures = []


def check(what, got, expected):
    if got != expected:
        failures.append(f"{what}: got {got!r}, expected {expected!r}")


def picture(width, height, rnd):
    im = Image.new("RGB", (width, height))
    im.putdata([(rnd.randrange(256), rnd.randrange(256), rnd.randrange(256)) for _ in range(width * height)])
    return im


def changed(im, rnd):
    out = im.copy()
    px = out.load()
    for _ in range(max(1, im.width * im.height // 15)):
        x, y = rnd.randrange(im.width), rnd.randrange(im.height)
        c = list(px[x, y])
        for k in rnd.sample(range(3), rnd.randrange(1, 4)):
            c[k] = max(0, min(255, c[k] + rnd.choice([-40, -3, -1, 1, 2, 3, 60])))
        px[x, y] = tuple(c)
    return out


def expect(base, other, mode, threshold, ignore, colour):
    """Counts, box and marked picture, computed the plain way."""
    w, h = base.size
    b, o = base.load(), other.load()
    marked = base.copy() if mode != "mask" else Image.new("RGB", (w, h))
    m = marked.load()
    ignored = lambda x, y: any(ix <= x < ix + iw and iy <= y < iy + ih for ix, iy, iw, ih in ignore)
    pixels = diff_pixels = diff_bytes = 0
    per = [0, 0, 0]  # red, green, blue
    xs, ys = [], []
    for y in range(h):
        for x in range(w):
            if ignored(x, y):
                continue
            pixels += 1
            differ = [abs(b[x, y][k] - o[x, y][k]) > threshold for k in range(3)]
            if not any(differ):
                continue
            diff_pixels += 1
            xs.append(x)
            ys.append(y)
            for k in range(3):
                if differ[k]:
                    diff_bytes += 1
                    per[k] += 1
            if mode == "channels":
                m[x, y] = tuple(MARKER[k] if differ[k] else b[x, y][k] for k in range(3))
            else:
                m[x, y] = colour
    box = None if not xs else {"x": min(xs), "y": min(ys), "width": max(xs) - min(xs) + 1,
                                "height": max(ys) - min(ys) + 1}
    return {"pixels": pixels, "different_pixels": diff_pixels, "different_bytes": diff_bytes,
            "per_channel": {"red": per[0], "green": per[1], "blue": per[2]}, "bbox": box}, marked


def run(args, work):
    done = subprocess.run([cli, "--plugins", plugins] + args, cwd=work, capture_output=True, text=True)
    return done.returncode, done.stdout, done.stderr


def has_png_plugin():
    return any(name.startswith("png") and name.endswith(".spi") for name in os.listdir(plugins))


rnd = random.Random(7)
formats = ["bmp", "ppm"] + (["png"] if has_png_plugin() else [])
with tempfile.TemporaryDirectory() as work:
    for width, height in [(1, 1), (5, 3), (37, 23), (64, 17)]:
        base = picture(width, height, rnd)
        other = changed(base, rnd)
        for fmt in formats:
            base.save(os.path.join(work, "a." + fmt))
            other.save(os.path.join(work, "b." + fmt))
        options = [("channels", 0, [], None), ("channels", 2, [], None), ("pixels", 0, [], (0, 200, 0)),
                   ("mask", 1, [(1, 0, max(1, width // 2), max(1, height // 2))], None),
                   ("channels", 0, [(0, 0, width, 1), (width - 1, 0, 1, height)], None)]
        for mode, threshold, ignore, colour in options:
            paint = colour or ((255, 0, 0) if mode == "pixels" else MARKER)
            want, marked = expect(base, other, mode, threshold, ignore, paint)
            for fmt in formats:
                name = f"{width}x{height} {fmt} {mode} threshold {threshold} ignore {ignore}"
                out = os.path.join(work, "out.bmp")
                args = ["--json", "--mode", mode, "--threshold", str(threshold), "a." + fmt, "b." + fmt, "-o", out]
                for region in ignore:
                    args += ["--ignore", ",".join(map(str, region))]
                if colour:
                    args += ["--color", ",".join(map(str, colour))]
                status, stdout, stderr = run(args, work)
                check(f"{name}: exit status ({stderr})", status, 1 if want["different_pixels"] else 0)
                if status == 2:
                    continue
                report = json.loads(stdout)
                for key, value in want.items():
                    check(f"{name}: {key}", report[key], value)
                check(f"{name}: size", (report["width"], report["height"], report["size_differs"]),
                      (width, height, False))
                with Image.open(out) as written:
                    check(f"{name}: marked picture", list(written.convert("RGB").getdata()), list(marked.getdata()))

print(f"{len(formats)} formats checked" if not failures else "\n".join(failures[:40]))
sys.exit(1 if failures else 0)
