#!/usr/bin/env bash
# Checks what a user of the packages gets, from a package build folder made by
# scripts/build-packages.sh: the install tree, the board application of
# examples/consumer built against it both ways (CMake package and pkg-config)
# and run under the installed simulator, and the same builds against the
# unpacked .deb files. Everything happens in a temporary folder; nothing is
# installed into the system.
#
#   scripts/test-install.sh <package build folder>
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:?usage: scripts/test-install.sh <package build folder>}")
consumer=$PWD/examples/consumer

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "test-install: $*" >&2
  exit 1
}

# Every installed header compiles on its own: none needs a header left out.
check_headers() {
  local usr=$1 header
  for header in "$usr"/include/i2c-kestro/*.h; do
    g++ -std=c++20 -fsyntax-only -I"$usr/include" -include "$header" -x c++ /dev/null ||
      fail "$header does not compile on its own"
  done
}

# Builds examples/consumer against the tree under <root>/usr into <out>/cmake
# and <out>/pkg-config.
build_consumer() {
  local root=$1 out=$2
  cmake -S "$consumer" -B "$out/cmake-build" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
  cmake --build "$out/cmake-build" >/dev/null
  cp "$out/cmake-build/kestro-consumer" "$out/cmake"
  # The one-line build of the README, with the module moved to <root>.
  mkdir -p "$out/pc"
  sed "s|^prefix=/usr\$|prefix=$root/usr|" "$(find "$root/usr" -name i2c-kestro.pc)" >"$out/pc/i2c-kestro.pc"
  # shellcheck disable=SC2046 # pkg-config prints several options
  g++ -std=c++20 -o "$out/pkg-config" "$consumer/main.cpp" \
    $(PKG_CONFIG_PATH="$out/pc" pkg-config --cflags --libs i2c-kestro)
}

echo "== install into $work/install"
DESTDIR="$work/install" cmake --install "$build" >/dev/null
check_headers "$work/install/usr"
build_consumer "$work/install" "$work/from-install"

echo "== run the consumer under the installed simulator"
run_under_simulator() {
  local usr=$1 program=$2 output
  # The example board's two nodes without faults must be found.
  output=$(LD_LIBRARY_PATH=$(dirname "$(find "$usr/lib" -name libi2c-kestro.so.0)") \
    "$usr/bin/i2c-kestro-sim" --fast --scenario "$usr/share/i2c-kestro-sim/board.json" \
    -- "$program" "$usr/share/i2c-kestro-sim/config.json") ||
    fail "$program under the simulator ended with status $?"
  grep -qx '/dev/i2c-3 0x10 node-1' <<<"$output" && grep -qx '/dev/i2c-3 0x11 node-2' <<<"$output" ||
    fail "$program did not print the example board's nodes: $output"
}
run_under_simulator "$work/install/usr" "$work/from-install/cmake"
run_under_simulator "$work/install/usr" "$work/from-install/pkg-config"

echo "== unpack the packages into $work/unpacked"
for deb in "$build"/packages/*.deb; do
  dpkg-deb -x "$deb" "$work/unpacked"
done
check_headers "$work/unpacked/usr"
build_consumer "$work/unpacked" "$work/from-packages"
run_under_simulator "$work/unpacked/usr" "$work/from-packages/cmake"

echo "test-install: passed"
