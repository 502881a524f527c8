#!/usr/bin/env python3
"""diffmark on BMP files that real writers made, checked with Pillow.

usage: real_writers_test.py DIFFMARK FIXTURES

For each pair of fixtures (tests/fixtures/bmp, see make.sh there) the real
program runs in a fresh directory on copies named Image0.bmp and
Image1.bmp.  Image.bmp must be a plain 24-bit BMP with a 40-byte info
header that carries every other field of the second file's info header
(so its orientation), and Pillow's decode of it must equal the picture
built from Pillow's decodes of the two inputs: each channel that differs
replaced by its marker (red 255, green 0, blue 255), the rest the first
picture's.  Needs a Python with Pillow (Debian: python3-pil).
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

try:
    from PIL import Image
except ImportError:
    sys.exit("real_writers_test.py: Pillow is missing; install python3-pil (Debian) "
             "or set DIFFMARK_PIL_PYTHON to a Python that has it")

MARKER = (255, 0, 255)  # red, green, blue

# (first, second): same writer, mixed writers and header sizes, and every
# pairing of orientations.  "im" is ImageMagick's default writer (124-byte
# header), "im3" its BMP3 writer, "pil" Pillow, "netpbm" ppmtobmp.
PAIRS = [
    ("a-im", "b-im"), ("a-im3", "b-im3"), ("a-pil", "b-pil"), ("a-netpbm", "b-netpbm"),
    ("a-im", "b-pil"), ("a-pil", "b-im"), ("a-netpbm", "b-im"), ("b-im", "a-im3"), ("a-im3", "b-netpbm"),
    ("a-im-topdown", "b-im-topdown"), ("a-pil-topdown", "b-pil-topdown"), ("a-pil-topdown", "b-im-topdown"),
    ("a-im-topdown", "b-im"), ("a-im", "b-im-topdown"), ("a-pil-topdown", "b-netpbm"),
    ("a-netpbm", "b-pil-topdown"), ("b-im-topdown", "a-pil"), ("a-im3", "a-im-topdown"),
]


def info_fields(data):
    """biSize, biWidth, biHeight, biBitCount and the 40 info header bytes."""
    size, width, height, _, bits = struct.unpack_from("<IiiHH", data, 14)
    return size, width, height, bits, data[14:54]


def expected_picture(first, second):
    out = Image.new("RGB", second.size)
    pixels = []
    for a, b in zip(first.getdata(), second.getdata()):
        pixels.append(tuple(MARKER[c] if a[c] != b[c] else a[c] for c in range(3)))
    out.putdata(pixels)
    return out


def check(program, fixtures, first, second):
    """Returns a list of problems (empty when the pair passes)."""
    with tempfile.TemporaryDirectory(prefix="diffmark-writers-") as work:
        shutil.copy(os.path.join(fixtures, first + ".bmp"), os.path.join(work, "Image0.bmp"))
        shutil.copy(os.path.join(fixtures, second + ".bmp"), os.path.join(work, "Image1.bmp"))
        run = subprocess.run([program], cwd=work, capture_output=True, timeout=60)
        if run.returncode != 0 or run.stderr:
            return [f"exit {run.returncode}, stderr {run.stderr!r}"]
        result_path = os.path.join(work, "Image.bmp")
        if not os.path.exists(result_path):
            return ["no Image.bmp"]
        data = open(result_path, "rb").read()
        other = open(os.path.join(work, "Image1.bmp"), "rb").read()
        problems = []
        bf_type, bf_size, _, _, bf_off = struct.unpack_from("<2sIHHI", data, 0)
        if bf_type != b"BM" or bf_size != len(data) or bf_off != 54:
            problems.append(f"file header {bf_type!r} bfSize {bf_size} of {len(data)} bytes, rows at {bf_off}")
        size, width, height, bits, info = info_fields(data)
        o_size, o_width, o_height, _, o_info = info_fields(other)
        if size != 40 or bits != 24:
            problems.append(f"biSize {size}, {bits} bits")
        if info[4:] != o_info[4:]:
            problems.append("info header fields differ from the second file's")
        if (height < 0) != (o_height < 0):
            problems.append(f"orientation: biHeight {height}, the second file's {o_height}")
        first_pic = Image.open(os.path.join(fixtures, first + ".bmp")).convert("RGB")
        second_pic = Image.open(os.path.join(fixtures, second + ".bmp")).convert("RGB")
        try:
            result = Image.open(result_path)
            result.load()
        except Exception as error:  # any decoder complaint is a failure
            return problems + [f"Pillow cannot decode Image.bmp: {error}"]
        if result.mode != "RGB" or result.size != second_pic.size:
            return problems + [f"decoded as {result.mode} {result.size}"]
        want = list(expected_picture(first_pic, second_pic).getdata())
        got = list(result.getdata())
        w = result.size[0]
        wrong = [(i % w, i // w, got[i], want[i]) for i in range(len(want)) if got[i] != want[i]]
        for x, y, g, e in wrong[:5]:
            problems.append(f"pixel ({x}, {y}) from the top: {g}, expected {e}")
        if len(wrong) > 5:
            problems.append(f"... {len(wrong)} pixels differ in all")
        return problems


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    program, fixtures = os.path.abspath(sys.argv[1]), sys.argv[2]
    failed = 0
    for first, second in PAIRS:
        problems = check(program, fixtures, first, second)
        status = "ok" if not problems else "FAILED"
        print(f"{status}: Image0.bmp = {first}.bmp, Image1.bmp = {second}.bmp")
        for p in problems:
            print(f"    {p}")
        failed += bool(problems)
    print(f"{len(PAIRS) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
