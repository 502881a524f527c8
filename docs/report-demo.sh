#!/bin/sh
# Makes docs/report.png, the picture of the report in the README, and
# docs/report-slider.png, its slider view: four screenshot-like pages
# (bench/make_screens), two of them changed, compared as two folders, the
# report opened in headless Chromium (docs/report-shots.mjs).  Run from the repository after
# `cmake --preset bench && cmake --build --preset bench`.
#   docs/report-demo.sh [BUILD_DIR]   (default build/bench)
set -eu
build=$(cd "${1:-build/bench}" && pwd)
docs=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p pages/base pages/other base other
"$build/bench/make_screens" 4 1024 768 50 pages png   # pages 0 and 2 differ
for pair in 0:checkout 1:home 2:settings 3:profile; do
  n=${pair%%:*} name=${pair#*:}
  cp "pages/base/000$n.png" "base/$name.png"
  cp "pages/other/000$n.png" "other/$name.png"
done
DIFFMARK_PLUGINS="$build/plugins" "$build/cli/diffmark-cli" -q base other -o diff --report report.html || true
node "$docs/report-shots.mjs" report.html "$docs"   # puppeteer-core, as .ci/run installs it
# A palette of 96 colours, no dithering: the same pictures at a third of the size.
for picture in report report-slider; do
  /usr/bin/convert "$docs/$picture.png" +dither -colors 96 "PNG8:$docs/$picture.png"
done
