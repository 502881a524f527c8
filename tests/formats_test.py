#!/usr/bin/python3
"""The format plug-ins end to end, against decoders of other people.

For every fixture in tests/images, the library's example program
diffmark_convert loads the file through the plug-ins and writes a 24-bit
BMP; its pixels must equal the reference decode made now by Pillow or
ImageMagick (tests/images/reference.py says which, and applies the same
output rules).  The committed reference images that the C++ tests compare
against (also on Windows, without Pillow) must equal it too, so they cannot
go stale.  Adam7 PNGs of every size from 1 x 1 to 9 x 9 (tests/images/adam7;
below 8 pixels a side some passes are empty) must equal Pillow's decode too.

usage: formats_test.py DIFFMARK_CONVERT PLUGIN_DIR
Exits 77 (skipped) without Pillow or ImageMagick.
"""
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
IMAGES = os.path.join(HERE, "images")
sys.path.insert(0, IMAGES)

PLUGIN_FOR = {".png": "png", ".jpg": "jpeg", ".webp": "webp", ".gif": "gif", ".tif": "tiff", ".bmp": "bmp"}


def rows_of_bmp(data):
    """(width, height, RGB top row first) of a 24-bit bottom-up BMP."""
    width = int.from_bytes(data[18:22], "little", signed=True)
    height = int.from_bytes(data[22:26], "little", signed=True)
    offset = int.from_bytes(data[10:14], "little")
    stride = (3 * width + 3) // 4 * 4
    out = bytearray()
    for y in reversed(range(height)):
        row = data[offset + y * stride:offset + y * stride + 3 * width]
        for x in range(0, len(row), 3):
            out += bytes((row[x + 2], row[x + 1], row[x]))
    return width, height, bytes(out)


def describe(got, want):
    if got[:2] != want[:2]:
        return "size %d x %d, want %d x %d" % (got[0], got[1], want[0], want[1])
    diffs = [i for i, (a, b) in enumerate(zip(got[2], want[2])) if a != b]
    if not diffs:
        return None
    i = diffs[0] // 3
    return "%d channel bytes differ, first at pixel (%d, %d)" % (len(diffs), i % want[0], i // want[0])


# Every Adam7 size from 1 x 1 to 9 x 9: the 9 x 9 fixture and its corners.
ADAM7_SIZES = [(w, h) for w in range(1, 10) for h in range(1, 10)]


def adam7_file(w, h):
    name = "png-rgb8-interlaced-%dx%d.png" % (w, h)
    return os.path.join(IMAGES, name) if (w, h) == (9, 9) else os.path.join(IMAGES, "adam7", name)


def convert_and_compare(convert, plugins, source, want, out):
    """None when diffmark_convert decodes `source` to `want`, else what differs."""
    run = subprocess.run([convert, plugins, source, out], capture_output=True, text=True)
    if run.returncode != 0:
        return "diffmark_convert failed: %s" % run.stderr.strip()
    with open(out, "rb") as f:
        return describe(rows_of_bmp(f.read()), want)


def check_adam7(convert, plugins, work, failures):
    """The Adam7 sizes against Pillow; how many were compared."""
    import reference  # main() has checked that it imports
    for w, h in ADAM7_SIZES:
        source = adam7_file(w, h)
        with open(source, "rb") as f:
            if f.read(29)[28] != 1:
                failures.append("%s: not interlaced (regenerate with tests/images/make_images.sh)" % source)
                continue
        want = reference._pillow(source)
        if want[:2] != (w, h):
            failures.append("%s: Pillow reads %d x %d" % (source, want[0], want[1]))
            continue
        problem = convert_and_compare(convert, plugins, source, want, os.path.join(work, "adam7.bmp"))
        if problem:
            failures.append("Adam7 %d x %d: %s" % (w, h, problem))
    return len(ADAM7_SIZES)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    convert, plugins = sys.argv[1], sys.argv[2]
    try:
        import reference
    except ImportError as e:
        print("skipped: %s (Debian: python3-pil)" % e)
        return 77
    if not os.access(reference.MAGICK, os.X_OK):
        print("skipped: no ImageMagick at %s (Debian: imagemagick)" % reference.MAGICK)
        return 77

    failures, checked, skipped = [], 0, set()
    with tempfile.TemporaryDirectory() as work:
        for name in reference.fixtures():
            stem, ext = os.path.splitext(name)
            plugin = PLUGIN_FOR[ext]
            if not os.path.exists(os.path.join(plugins, plugin + ".spi")):
                skipped.add(plugin)
                continue
            source = os.path.join(IMAGES, name)
            want = reference.reference(source)
            with open(os.path.join(IMAGES, "expected", name + ".bmp"), "rb") as f:
                problem = describe(rows_of_bmp(f.read()), want)
            if problem:
                failures.append("%s: committed reference image: %s (run tests/images/reference.py)" % (name, problem))
            # The library reads *.bmp itself; through the plug-in by another name.
            if ext == ".bmp":
                shutil.copy(source, os.path.join(work, stem + ".dib"))
                source = os.path.join(work, stem + ".dib")
            problem = convert_and_compare(convert, plugins, source, want, os.path.join(work, "out.bmp"))
            if problem:
                failures.append("%s: %s" % (name, problem))
            checked += 1
        if "png" not in skipped:
            checked += check_adam7(convert, plugins, work, failures)
    for line in failures:
        print("FAIL " + line)
    print("%d fixtures decoded and compared%s" % (checked, "; no plug-in built for: " + ", ".join(sorted(skipped))
                                                   if skipped else ""))
    if checked == 0:
        return 77
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
