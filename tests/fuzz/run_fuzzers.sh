#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz", clang) and runs each for a
# bounded time on a scratch copy of its seed corpus.  A crash leaves its
# input in build/fuzz/findings/<target>/ and makes the script fail; add the
# input to tests/fuzz/corpus/<target>/ once it is fixed.
#
# usage: tests/fuzz/run_fuzzers.sh [SECONDS_EACH]   (default 30)
set -uo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-30}

cmake --preset fuzz >/dev/null && cmake --build --preset fuzz || exit 1
status=0
for t in bmp run names plugin expand plugin_cache spi_png spi_jpeg spi_webp spi_gif spi_tiff spi_bmp; do
  bin=build/fuzz/tests/fuzz/fuzz_$t
  if [ ! -x "$bin" ] && [[ $t == spi_* ]] && [ ! -e build/fuzz/plugins/${t#spi_}.spi ]; then
    echo "fuzz_$t: skipped (${t#spi_}.spi not built: its library is missing)"
    continue
  fi
  if [ ! -x "$bin" ]; then
    echo "fuzz_$t: not built (clang's libFuzzer runtime missing?)"
    status=1
    continue
  fi
  work=$PWD/build/fuzz/work/$t
  findings=$PWD/build/fuzz/findings/$t
  rm -rf "$work" && mkdir -p "$work" "$findings"
  cp tests/fuzz/corpus/$t/* "$work"/
  # Paths are absolute: the targets change directory.  -close_fd_mask=2 keeps the run's own messages off the terminal.
  out=$("$bin" "$work" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
        -close_fd_mask=2 -artifact_prefix="$findings/" -print_final_stats=1 2>&1)
  rc=$?
  runs=$(printf '%s\n' "$out" | sed -n 's/^stat::number_of_executed_units: *//p' | tail -1)
  echo "fuzz_$t: ${runs:-?} executions in ${seconds}s, exit $rc"
  if [ $rc -ne 0 ]; then
    printf '%s\n' "$out" | tail -40
    status=1
  fi
done
exit $status
