#!/bin/sh
# Makes docs/report.png, the picture of the report in the README: four
# screenshot-like pages (bench/make_screens), two of them changed, compared
# as two folders, the report opened in headless Chromium.  Run from the repository after
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
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$work/profile" --hide-scrollbars --window-size=1280,960 \
  --screenshot="$docs/report.png" "file://$work/report.html" 2>/dev/null
# A palette of 96 colours, no dithering: the same picture at a third of the size.
/usr/bin/convert "$docs/report.png" +dither -colors 96 "PNG8:$docs/report.png"
