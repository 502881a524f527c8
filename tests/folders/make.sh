#!/bin/sh
# Makes the folder-form fixture: two small trees of screenshots, base/ and
# other/, with ImageMagick 6 (/usr/bin/convert, /usr/bin/compare).  Run it
# from this folder.  The pixel counts the tests expect are ImageMagick's
# own, printed at the end ("compare -metric AE": differing pixels).
set -eu
IM=/usr/bin
rm -rf base other
mkdir -p base/nested/deeper other/nested/deeper

panel() {  # panel OUT X0 Y0 X1 Y1 COLOUR: 24 x 16, a white box on blue, 24-bit BMP
  "$IM/convert" -size 24x16 xc:'#3366cc' -fill "$6" -draw "rectangle $2,$3 $4,$5" -type TrueColor "BMP3:$1"
}
panel base/equal.bmp 4 4 12 10 white
panel other/equal.bmp 4 4 12 10 white
panel base/changed.bmp 4 4 12 10 white
panel other/changed.bmp 6 4 14 10 white        # the box moved two pixels right
panel base/removed.bmp 2 2 8 8 '#ffcc00'
panel other/added.bmp 10 2 20 12 '#33aa55'
panel base/broken.bmp 1 1 5 5 white
panel other/broken.bmp 1 1 5 5 white
head -c 40 other/broken.bmp > other/broken.tmp && mv other/broken.tmp other/broken.bmp  # cut inside the header

# Binary PPM (the Netpbm plug-in), nested two levels down.
"$IM/convert" -size 20x12 gradient:'#ff0000-#ffff00' -depth 8 PPM:base/nested/equal.ppm
cp base/nested/equal.ppm other/nested/equal.ppm
"$IM/convert" -size 20x12 gradient:'#000080-#00ffff' -depth 8 PPM:base/nested/deeper/changed.ppm
"$IM/convert" base/nested/deeper/changed.ppm -fill black -draw 'rectangle 3,3 5,4' -depth 8 \
  PPM:other/nested/deeper/changed.ppm

# PNG, compared where a plug-in reads PNG (and otherwise not an image).
mkdir -p base/shots other/shots
"$IM/convert" -size 24x16 xc:'#f4f5f7' -fill '#2f80c9' -draw 'rectangle 2,10 21,14' PNG24:base/shots/home.png
"$IM/convert" -size 24x16 xc:'#f4f5f7' -fill '#d1453b' -draw 'rectangle 2,10 21,14' PNG24:other/shots/home.png

# Not images: ignored, though they differ.
printf 'all:\n\ttrue\n' > base/Makefile
printf 'all:\n\tfalse\n' > other/Makefile
printf '*.tmp\n' > base/.gitignore
printf '*.log\n' > other/.gitignore
printf 'base notes\n' > base/notes.txt

for f in changed.bmp nested/deeper/changed.ppm shots/home.png; do
  echo "$f: $("$IM/compare" -metric AE "base/$f" "other/$f" null: 2>&1) differing pixels"
done
