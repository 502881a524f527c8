#!/usr/bin/python3
"""The reference decodes of the image fixtures, by decoders other than the
plug-ins, with the plug-ins' output rules applied: 16-bit samples rounded to
the nearest 8-bit value (v / 257), alpha composited over white on the stored
values, out = (a*c + (255 - a)*255 + 127) // 255.

    JPEG, WebP   Pillow (the same libjpeg-turbo and libwebp, default
                 settings; Pillow's own CMYK conversion)
    PNG, TIFF    ImageMagick at 16 bits a sample (Pillow 9.4 keeps only the
                 high byte of 16-bit colour samples)
    TIFF palette Pillow: a 16-bit colour map holds 8-bit colours as v * 256
                 (Pillow's writer) or v * 257 (libtiff's tools,
                 ImageMagick), and its high byte is v either way
    GIF          ImageMagick, the first image flattened onto its logical
                 screen (transparent where it does not reach)
    BMP          Pillow; 16-bit bit fields ImageMagick (Pillow truncates
                 when it scales 5- and 6-bit fields, ImageMagick and
                 stb_image replicate the high bits)

Run as a program, it writes expected/<fixture>.bmp for every fixture: the
24-bit BMP (bottom-up rows padded to 4 bytes) that every plug-in must give,
which the test programs compare against (also on Windows, where neither
Pillow nor ImageMagick is at hand).  Needs Debian's /usr/bin/python3 with
python3-pil and ImageMagick's /usr/bin/convert.
"""
import os
import struct
import subprocess
import sys

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
MAGICK = "/usr/bin/convert"
EXTENSIONS = (".png", ".jpg", ".webp", ".gif", ".tif", ".bmp")
# Files a plug-in must refuse rather than decode; no reference (none now).
REFUSED = set()


def over_white(c, a):
    return (a * c + (255 - a) * 255 + 127) // 255


def round16(v):
    return (v + 128) // 257


def fixtures():
    return sorted(n for n in os.listdir(HERE) if n.endswith(EXTENSIONS) and n not in REFUSED)


def _pillow(path):
    im = Image.open(path)
    im.seek(0)
    if im.mode in ("1", "L", "RGB", "CMYK", "YCbCr") and "transparency" not in im.info:
        rgb = im.convert("RGB")
        return rgb.width, rgb.height, rgb.tobytes()
    rgba = im.convert("RGBA")
    b = rgba.tobytes()
    out = bytes(over_white(b[i + c], b[i + 3]) for i in range(0, len(b), 4) for c in range(3))
    return rgba.width, rgba.height, out


def _magick(path):
    first = path + "[0]"
    args = [MAGICK, first, "-background", "none", "-flatten"]
    size = subprocess.run(args + ["-format", "%w %h", "info:"], check=True, capture_output=True, text=True)
    w, h = (int(x) for x in size.stdout.split())
    raw = subprocess.run(args + ["-depth", "16", "-endian", "LSB", "rgba:-"], check=True, capture_output=True).stdout
    v = struct.unpack("<%dH" % (len(raw) // 2), raw)
    if len(v) != 4 * w * h:
        raise RuntimeError("%s: ImageMagick gave %d samples for %d x %d" % (path, len(v), w, h))
    out = bytes(over_white(round16(v[i + c]), round16(v[i + 3])) for i in range(0, len(v), 4) for c in range(3))
    return w, h, out


def _bmp_bits(path):
    with open(path, "rb") as f:
        head = f.read(30)
    return struct.unpack_from("<H", head, 24 if struct.unpack_from("<I", head, 14)[0] == 12 else 28)[0]


def _tiff_palette(path):
    try:
        with Image.open(path) as im:
            return im.mode == "P"
    except Exception:  # a layout Pillow does not read (16-bit grey with alpha): not a palette
        return False


def reference(path):
    """(width, height, RGB bytes, top row first) of the file's first image."""
    name = os.path.basename(path)
    if name.endswith((".jpg", ".webp")):
        return _pillow(path)
    if name.endswith(".bmp") and _bmp_bits(path) != 16:
        return _pillow(path)
    if name.endswith(".tif") and _tiff_palette(path):
        return _pillow(path)
    return _magick(path)


def bmp_file(width, height, rgb):
    """A 24-bit BMP of top-down RGB bytes: 54 header bytes, bottom row first."""
    stride = (3 * width + 3) // 4 * 4
    rows = []
    for y in reversed(range(height)):
        row = rgb[3 * width * y:3 * width * (y + 1)]
        bgr = bytes(row[i + 2 - c] for i in range(0, len(row), 3) for c in range(3))
        rows.append(bgr + bytes(stride - 3 * width))
    pixels = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, 0, 96, 96, 0, 0)
    return struct.pack("<HIHHI", 0x4D42, 54 + len(pixels), 0, 0, 54) + info + pixels


def main():
    out = os.path.join(HERE, "expected")
    os.makedirs(out, exist_ok=True)
    for old in os.listdir(out):
        os.remove(os.path.join(out, old))
    for name in fixtures():
        w, h, rgb = reference(os.path.join(HERE, name))
        with open(os.path.join(out, name + ".bmp"), "wb") as f:
            f.write(bmp_file(w, h, rgb))
    print("wrote %d reference images to %s" % (len(fixtures()), out))


if __name__ == "__main__":
    sys.exit(main())
