#!/usr/bin/env bash
# The package as an outside developer meets it: build the library, install
# it the README's way (cmake --install --prefix) into a fresh folder that is
# not the prefix it was configured with, move the installed tree elsewhere,
# then build a program and a plug-in against the moved package, once with
# CMake and once with pkg-config, run them, and check what they print.  Also
# loads the library inside a shared module opened with local scope.
#
# usage: run.sh SOURCE_DIR WORK_DIR
set -euo pipefail
src=$(cd "$1" && pwd)
work=$2
here=$src/tests/package
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
prefix=$work/prefix
log=$work/build.log

step() { echo "-- $*"; }
fail() { echo "FAILED: $*"; echo "(build log: $log)"; exit 1; }
expect() {  # expect NAME ACTUAL EXPECTED
  if [ "$2" != "$3" ]; then
    printf 'FAILED: %s\n--- got:\n%s\n--- expected:\n%s\n' "$1" "$2" "$3"
    exit 1
  fi
}

# Configured for a prefix that never exists: nothing may point there.
step "library: configure, build, install with --prefix $work/staged, move to $prefix"
cmake -S "$src" -B "$work/lib" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DCMAKE_INSTALL_PREFIX="$work/configured" >>"$log" 2>&1 || fail "configure the library"
cmake --build "$work/lib" -j 2 >>"$log" 2>&1 || fail "build the library"
cmake --install "$work/lib" --prefix "$work/staged" >>"$log" 2>&1 || fail "install the library"
mv "$work/staged" "$prefix"

pc=$(find "$prefix" -name diffmark.pc | head -n 1)
[ -n "$pc" ] || fail "no diffmark.pc installed"
export PKG_CONFIG_PATH=$(dirname "$pc")
# Every folder both .pc files name must be a folder of the moved tree.
for package in diffmark diffmark-plugin; do
  for variable in libdir includedir plugindir; do
    dir=$(pkg-config --variable=$variable $package)
    [ -n "$dir" ] || continue  # diffmark-plugin has no libdir
    real=$(cd "$dir" 2>/dev/null && pwd -P) || fail "$package.pc: $variable $dir does not exist"
    case "$real/" in
      "$(cd "$prefix" && pwd -P)"/*) ;;
      *) fail "$package.pc: $variable $dir is not in the installed tree $prefix" ;;
    esac
  done
done
installed_plugins=$(pkg-config --variable=plugindir diffmark)
[ -f "$installed_plugins/netpbm.spi" ] || fail "netpbm.spi not in the installed plug-in folder $installed_plugins"

images=$work/images
mkdir -p "$images"
printf 'SOLID 3 2 200 100 50' >"$images/a.solid"
printf 'P6\n2 1\n255\n\x0a\x14\x1e\x28\x32\x3c' >"$images/b.ppm"
printf 'not an image' >"$images/c.png"
expected="$images/a.solid: 3 x 2, 24 bits, first pixel B=50 G=100 R=200
$images/b.ppm: 2 x 1, 24 bits, first pixel B=30 G=20 R=10
$images/c.png: no plug-in for extension \"png\""

run_consumer() {  # run_consumer PROGRAM PLUGIN_DIR
  set +e
  out=$("$1" "$2" "$images/a.solid" "$images/b.ppm" "$images/c.png")
  status=$?
  set -e
  expect "$1 output" "$out" "$expected"
  expect "$1 exit status" "$status" 1
}

step "CMake: find_package(diffmark), diffmark::image, diffmark_plugin()"
cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >>"$log" 2>&1 || fail "configure the consumer"
cmake --build "$work/cmake" >>"$log" 2>&1 || fail "build the consumer and the plug-in"
mkdir -p "$work/plugins-cmake"
cp "$work/cmake/solid.spi" "$installed_plugins/netpbm.spi" "$work/plugins-cmake/"
run_consumer "$work/cmake/consumer" "$work/plugins-cmake"

step "pkg-config: diffmark and diffmark-plugin"
mkdir -p "$work/pc/plugins"
# shellcheck disable=SC2046
g++ -std=c++17 "$here/consumer.cpp" $(pkg-config --cflags --libs diffmark) -o "$work/pc/consumer" \
  >>"$log" 2>&1 || fail "build the consumer with pkg-config"
# shellcheck disable=SC2046
gcc -shared -fPIC -fvisibility=hidden "$here/solid.c" $(pkg-config --cflags diffmark-plugin) \
  -o "$work/pc/plugins/solid.spi" >>"$log" 2>&1 || fail "build the plug-in with pkg-config"
cp "$installed_plugins/netpbm.spi" "$work/pc/plugins/"
run_consumer "$work/pc/consumer" "$work/pc/plugins"

step "the library inside a module loaded with local scope"
# shellcheck disable=SC2046
g++ -std=c++17 -shared -fPIC "$here/local_host.cpp" $(pkg-config --cflags --libs diffmark) \
  -o "$work/pc/liblocalhost.so" >>"$log" 2>&1 || fail "build the module"
gcc "$here/local_loader.c" -ldl -o "$work/pc/local_loader" >>"$log" 2>&1 || fail "build the loader"
expect "red of a.solid through the module" \
  "$("$work/pc/local_loader" "$work/pc/liblocalhost.so" "$work/pc/plugins" "$images/a.solid")" 200

echo "package test passed"
