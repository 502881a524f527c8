#!/usr/bin/env bash
# Writes the image fixtures of the format plug-in tests, each with the real
# encoder named on its line (run again to regenerate them; the outputs are
# the same on the same tool versions: Debian 12's ImageMagick 6.9.11,
# libwebp 1.2.4, libjpeg-turbo 2.1.5, gifsicle 1.93, libtiff 4.5.0,
# Pillow 9.4).  Then run reference.py for the reference decodes.
#
# Names: <format>-<variant>[-<width>x<height>]; every variant is small, most
# have an odd width (rows need padding), some are 1 x 1.
set -euo pipefail
cd "$(dirname "$0")"
im=/usr/bin/convert   # ImageMagick (/usr/local/bin/convert may be something else)
py=/usr/bin/python3   # Debian's, with Pillow
t=$(mktemp -d)
trap 'rm -rf "$t"' EXIT
rm -f png-* jpeg-* webp-* gif-* tiff-* bmp-*

# Sources: a 16-bit colour picture with every channel busy, a grey ramp
# that reaches 0 and full alpha, and the same at other sizes.
$im -size 17x11 -seed 5 plasma:fractal -depth 16 $t/colour.png
$im -size 17x11 gradient:white-black -depth 16 $t/ramp.png
$im $t/colour.png $t/ramp.png -alpha off -compose copy_opacity -composite -depth 16 $t/rgba.png
$im -size 5x3 -seed 9 plasma:fractal -depth 16 $t/small.png
$im -size 33x7 -seed 3 plasma:fractal -depth 16 $t/wide.png
png="-define png:exclude-chunks=date,time"

# ------------------------------------------------------------------ PNG
# Every colour type and bit depth, interlaced variants, tRNS keys.
for bits in 1 2 4 8 16; do
  $im $t/colour.png -colorspace gray -depth $bits $png -define png:color-type=0 -define png:bit-depth=$bits png-grey$bits-17x11.png
done
$im $t/rgba.png -colorspace gray -depth 8 $png -define png:color-type=4 -define png:bit-depth=8 png-greyalpha8-17x11.png
$im $t/rgba.png -colorspace gray -depth 16 $png -define png:color-type=4 -define png:bit-depth=16 png-greyalpha16-17x11.png
# Palettes: Pillow picks the bit depth from the number of colours.
for bits in 1 2 4 8; do
  $py -c "from PIL import Image; Image.open('$t/colour.png').convert('RGB').quantize($((1 << bits))).save('png-palette$bits-17x11.png')"
done
$py -c "from PIL import Image; Image.open('$t/rgba.png').convert('RGBA').quantize(40, method=Image.Quantize.FASTOCTREE).save('png-palette8-alpha-17x11.png')"
$im $t/colour.png -depth 8 $png -define png:color-type=2 png-rgb8-17x11.png
$im $t/colour.png -depth 16 $png -define png:color-type=2 png-rgb16-17x11.png
$im $t/rgba.png -depth 8 $png -define png:color-type=6 png-rgba8-17x11.png
$im $t/rgba.png -depth 16 $png -define png:color-type=6 png-rgba16-17x11.png
$im $t/wide.png -depth 8 -interlace PNG $png -define png:color-type=2 png-rgb8-interlaced-33x7.png
$im $t/rgba.png -depth 16 -interlace PNG $png -define png:color-type=6 png-rgba16-interlaced-17x11.png
$im $t/colour.png -colorspace gray -depth 1 -interlace PNG $png -define png:color-type=0 -define png:bit-depth=1 png-grey1-interlaced-17x11.png
$im png-palette4-17x11.png -interlace PNG $png -define png:format=png8 -define png:bit-depth=4 png-palette4-interlaced-17x11.png
$im $t/small.png -depth 8 $png -define png:color-type=2 png-rgb8-5x3.png
$im $t/rgba.png -crop 1x1+3+5 +repage -depth 8 $png -define png:color-type=6 png-rgba8-1x1.png
# Adam7 at every size from 1 x 1 to 9 x 9 (below 8 pixels a side some of
# the seven passes are empty): a 9 x 9 picture and, in adam7/, each of its
# top-left corners, cut from it without any other change.
a7="-interlace PNG -define png:exclude-chunks=all -define png:color-type=2 -define png:bit-depth=8"
$im -size 9x9 -seed 7 plasma:fractal -depth 8 $a7 png-rgb8-interlaced-9x9.png
rm -rf adam7 && mkdir adam7
for w in 1 2 3 4 5 6 7 8 9; do
  for h in 1 2 3 4 5 6 7 8 9; do
    [ $w$h = 99 ] || $im png-rgb8-interlaced-9x9.png -crop ${w}x$h+0+0 +repage $a7 adam7/png-rgb8-interlaced-${w}x$h.png
  done
done
# tRNS colour keys (RGB, grey 8 and 16 bits): Pillow writes them.
$py -c 'from PIL import Image; im = Image.open("png-rgb8-17x11.png"); im.save("png-rgb8-trns-17x11.png", transparency=im.getpixel((4, 2)))'
$py -c 'from PIL import Image; im = Image.open("png-grey8-17x11.png"); im.save("png-grey8-trns-17x11.png", transparency=im.getpixel((4, 2)))'
$py -c 'from PIL import Image; im = Image.open("png-grey16-17x11.png"); im.save("png-grey16-trns-17x11.png", transparency=im.getpixel((4, 2)))'

# ----------------------------------------------------------------- JPEG
# cjpeg (libjpeg-turbo) from PPM: baseline 4:2:0, 4:4:4, 4:2:2, grey,
# progressive, arithmetic coding, restart markers; CMYK from ImageMagick
# and Pillow (both store it inverted, with an Adobe marker).
$im $t/colour.png -depth 8 $t/colour.ppm
$im $t/wide.png -depth 8 $t/wide.ppm
$im $t/colour.png -crop 1x1+2+2 +repage -depth 8 $t/one.ppm
cjpeg -quality 75 -outfile jpeg-baseline420-17x11.jpg $t/colour.ppm
cjpeg -quality 90 -sample 1x1 -outfile jpeg-baseline444-17x11.jpg $t/colour.ppm
cjpeg -quality 85 -sample 2x1 -outfile jpeg-baseline422-33x7.jpg $t/wide.ppm
cjpeg -quality 80 -grayscale -outfile jpeg-grey-17x11.jpg $t/colour.ppm
cjpeg -quality 80 -progressive -outfile jpeg-progressive-33x7.jpg $t/wide.ppm
cjpeg -quality 80 -arithmetic -outfile jpeg-arithmetic-17x11.jpg $t/colour.ppm
cjpeg -quality 80 -restart 1 -outfile jpeg-restart-33x7.jpg $t/wide.ppm
cjpeg -quality 95 -outfile jpeg-baseline-1x1.jpg $t/one.ppm
$im $t/colour.png -depth 8 -colorspace CMYK -quality 90 jpeg-cmyk-magick-17x11.jpg
$py -c "from PIL import Image; Image.open('$t/wide.ppm').convert('CMYK').save('jpeg-cmyk-pillow-33x7.jpg', quality=90)"

# ----------------------------------------------------------------- WebP
# cwebp: lossy, lossless, each with alpha; img2webp: an animation (the
# first frame counts); gif2webp: an animation whose first frame covers
# only part of the canvas.
$im $t/colour.png -depth 8 $t/colour8.png
$im $t/rgba.png -depth 8 $t/rgba8.png
$im $t/wide.png -depth 8 $t/wide8.png
$im $t/colour.png -crop 1x1+2+2 +repage -depth 8 $t/one8.png
cwebp -quiet -q 80 $t/colour8.png -o webp-lossy-17x11.webp
cwebp -quiet -q 80 $t/wide8.png -o webp-lossy-33x7.webp
cwebp -quiet -q 80 -alpha_q 100 $t/rgba8.png -o webp-lossy-alpha-17x11.webp
cwebp -quiet -lossless $t/colour8.png -o webp-lossless-17x11.webp
cwebp -quiet -lossless $t/rgba8.png -o webp-lossless-alpha-17x11.webp
cwebp -quiet -lossless $t/one8.png -o webp-lossless-1x1.webp
$im $t/colour8.png -flop $t/colour8-flopped.png
img2webp -lossless $t/colour8.png -lossy -q 70 $t/colour8-flopped.png -o webp-animated-17x11.webp 2>/dev/null
$im -size 6x4 xc:red -fill lime -draw "point 0,0" $t/part.gif
gifsicle --logical-screen 10x8 --loopcount=forever --position 2,1 $t/part.gif --position 3,2 $t/part.gif > $t/parts.gif
gif2webp -quiet $t/parts.gif -o webp-animated-partframe-10x8.webp

# ------------------------------------------------------------------ GIF
# ImageMagick: a palette picture, one with a transparent colour; gifsicle:
# interlaced, an animation, a first frame smaller than the screen.
$im $t/colour8.png -colors 64 gif-palette-17x11.gif
$im $t/rgba8.png -channel A -threshold 50% +channel -colors 32 gif-transparent-17x11.gif
gifsicle --interlace gif-palette-17x11.gif > gif-interlaced-17x11.gif
$im $t/wide8.png -colors 16 $t/wide.gif
$im $t/wide8.png -flop -colors 16 $t/wide-flopped.gif
gifsicle --loopcount=forever $t/wide.gif $t/wide-flopped.gif > gif-animated-33x7.gif
gifsicle --logical-screen 10x8 --position 2,1 $t/part.gif > gif-partframe-10x8.gif
$im $t/one8.png gif-1x1.gif

# ----------------------------------------------------------------- TIFF
# ImageMagick: RGB (none, LZW, Deflate, PackBits), RGBA with unassociated
# and associated alpha, grey 8 and 16 bits with and without alpha, RGB 16
# bits, palette, bilevel; tiffcp: tiles, separate planes.
tc="-type TrueColor"
$im $t/colour8.png $tc -compress none tiff-rgb8-17x11.tif
$im $t/colour8.png $tc -compress lzw tiff-rgb8-lzw-17x11.tif
$im $t/wide8.png $tc -compress zip tiff-rgb8-deflate-33x7.tif
$im $t/colour8.png $tc -compress rle tiff-rgb8-packbits-17x11.tif
$im $t/rgba8.png -type TrueColorAlpha -define tiff:alpha=unassociated -compress lzw tiff-rgba8-17x11.tif
$im $t/rgba8.png -type TrueColorAlpha -define tiff:alpha=associated -compress lzw tiff-rgba8-associated-17x11.tif
$im $t/colour.png -colorspace gray -type Grayscale -depth 8 -compress lzw tiff-grey8-17x11.tif
$im $t/colour.png -colorspace gray -type Grayscale -depth 16 -compress lzw tiff-grey16-17x11.tif
$im $t/rgba.png -colorspace gray -type GrayscaleAlpha -define tiff:alpha=unassociated -depth 8 -compress lzw tiff-greyalpha8-17x11.tif
$im $t/rgba.png -colorspace gray -type GrayscaleAlpha -define tiff:alpha=unassociated -depth 16 -compress lzw tiff-greyalpha16-17x11.tif
$im $t/colour.png $tc -depth 16 -compress lzw tiff-rgb16-17x11.tif
$im $t/colour8.png -colors 16 -type palette -compress lzw tiff-palette-17x11.tif
# One 8-bit palette picture (png-palette4's) as Pillow writes it (colour
# map values v * 256) and as ImageMagick does (v * 257): both must give
# back the colours of the PNG.
$py -c "from PIL import Image; Image.open('png-palette4-17x11.png').save('tiff-palette-pillow-17x11.tif')"
$im png-palette4-17x11.png -type palette -compress lzw tiff-palette-magick-17x11.tif
$im $t/colour8.png -colorspace gray -threshold 50% -type bilevel -compress group4 tiff-bilevel-17x11.tif
tiffcp -t -w 16 -l 16 tiff-rgb8-lzw-17x11.tif tiff-rgb8-tiled-17x11.tif
tiffcp -t -w 16 -l 16 tiff-greyalpha16-17x11.tif tiff-greyalpha16-tiled-17x11.tif
tiffcp -p separate tiff-rgba8-17x11.tif tiff-rgba8-planar-17x11.tif

# ------------------------------------------------------------------ BMP
# ImageMagick: 24 bits with the Windows 3 (BMP3) and V5 headers, 32 bits
# with alpha (bit fields), 16 bits (5-6-5 and 5-5-5 bit fields), 8-, 4- and
# 1-bit palettes, the OS/2 header (BMP2), and the 8-bit palette as it
# writes it by default: run-length encoded (RLE8, refused); Pillow: 1 bit,
# grey, palette, RGB, and RGBA (32-bit BI_RGB: the fourth byte is not
# alpha).  Three more are made from these by rewriting header fields.
$im $t/colour8.png -type TrueColor BMP3:bmp-rgb24-v3-17x11.bmp
$im $t/wide8.png -type TrueColor bmp-rgb24-v5-33x7.bmp
$im $t/rgba8.png bmp-rgba32-bitfields-17x11.bmp
$im $t/colour8.png -type TrueColor -define bmp:subtype=RGB565 bmp-rgb16-565-17x11.bmp
$im $t/colour8.png -type TrueColor -define bmp:subtype=RGB555 bmp-rgb16-555-17x11.bmp
$im $t/colour8.png -colors 200 -type palette -compress none BMP3:bmp-palette8-17x11.bmp
$im $t/colour8.png -colors 200 -type palette BMP3:bmp-palette8-rle8-17x11.bmp
$im $t/colour8.png -colors 16 -type palette BMP3:bmp-palette4-17x11.bmp
$im $t/colour8.png -colorspace gray -threshold 50% -type bilevel BMP3:bmp-palette1-17x11.bmp
$im $t/colour8.png -colors 16 -type palette BMP2:bmp-os2-palette4-17x11.bmp
$im $t/one8.png -type TrueColor BMP3:bmp-rgb24-1x1.bmp
$py -c "from PIL import Image; Image.open('$t/colour8.png').convert('1').save('bmp-pillow-1bit-17x11.bmp')"
$py -c "from PIL import Image; Image.open('$t/colour8.png').convert('L').save('bmp-pillow-grey-17x11.bmp')"
$py -c "from PIL import Image; Image.open('$t/colour8.png').quantize(100).save('bmp-pillow-palette-17x11.bmp')"
$py -c "from PIL import Image; Image.open('$t/wide8.png').convert('RGB').save('bmp-pillow-rgb-33x7.bmp')"
$py -c "from PIL import Image; Image.open('$t/rgba8.png').convert('RGBA').save('bmp-pillow-rgba-17x11.bmp')"
# Top-down: bmp-rgb24-v3's rows in the other order, the height negated.
$py -c "
import struct; d = open('bmp-rgb24-v3-17x11.bmp', 'rb').read(); w, h = struct.unpack_from('<ii', d, 18)
off = struct.unpack_from('<I', d, 10)[0]; s = (3 * w + 3) // 4 * 4; rows = [d[off + y * s:off + (y + 1) * s] for y in range(h)]
open('bmp-rgb24-topdown-17x11.bmp', 'wb').write(d[:22] + struct.pack('<i', -h) + d[26:off] + b''.join(reversed(rows)))"
# A colour count of 0 (all 2^bits colours): bmp-palette4's biClrUsed zeroed.
$py -c "
d = bytearray(open('bmp-palette4-17x11.bmp', 'rb').read()); d[46:50] = bytes(4)
open('bmp-palette4-count0-17x11.bmp', 'wb').write(d)"
# A V4 header (108 bytes): bmp-rgb16-565's V5 header without its last 16
# bytes (rendering intent, colour profile), the offsets moved.
$py -c "
import struct; d = open('bmp-rgb16-565-17x11.bmp', 'rb').read(); off = struct.unpack_from('<I', d, 10)[0]
head = bytearray(d[:14 + 108]); struct.pack_into('<I', head, 2, len(d) - 16); struct.pack_into('<II', head, 10, off - 16, 108)
open('bmp-rgb16-565-v4-17x11.bmp', 'wb').write(bytes(head) + d[14 + 124:])"
