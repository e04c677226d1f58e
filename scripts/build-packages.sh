#!/usr/bin/env bash
# Builds the four Debian packages in <build folder>/packages: a build of its
# own that installs into /usr with Debian's hardening flags, then CPack.
#
#   scripts/build-packages.sh <build folder>             amd64 (the host)
#   scripts/build-packages.sh --aarch64 <build folder>   arm64, cross-built
#
# SOURCE_DATE_EPOCH defaults to the time of the last commit, so two builds of
# one commit give byte-identical packages.
set -euo pipefail
cd "$(dirname "$0")/.."

cross=()
if [[ ${1:-} == --aarch64 ]]; then
  # GNUInstallDirs picks Debian's multiarch library folder for native builds only.
  cross=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-aarch64.cmake"
    -DCMAKE_INSTALL_LIBDIR=lib/aarch64-linux-gnu)
  # dpkg-buildflags and dpkg-shlibdeps (its objdump, its library paths) then
  # work for arm64.
  export DEB_HOST_ARCH=arm64
  shift
fi
build=${1:?usage: scripts/build-packages.sh [--aarch64] <build folder>}

if [[ -z ${SOURCE_DATE_EPOCH:-} ]] && epoch=$(git log -1 --format=%ct 2>/dev/null); then
  export SOURCE_DATE_EPOCH=$epoch
fi
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
# dpkg-buildflags maps the source folder to "."; the build folder's name must
# not reach the binaries either (the build ID covers the debug information).
# The programs and libraries are linked as they are installed, without the
# build tree's RPATH: installing removes it, but its room in the dynamic
# string table would stay, as long as the build folder's name.
mkdir -p "$build"
CPPFLAGS="$CPPFLAGS -ffile-prefix-map=$(realpath "$build")=."

# shellcheck disable=SC2086,SC2153 # CMAKE_FLAGS holds several options; eval set the flags
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DKESTRO_BUILD_TESTS=OFF -DKESTRO_BUILD_BENCH=OFF -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON \
  -DCMAKE_C_FLAGS="$CFLAGS $CPPFLAGS" -DCMAKE_CXX_FLAGS="$CXXFLAGS $CPPFLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" \
  -DCMAKE_MODULE_LINKER_FLAGS="$LDFLAGS" \
  "${cross[@]}" ${CMAKE_FLAGS:-}
cmake --build "$build" -j "${JOBS:-$(nproc)}"
rm -rf "$build/packages"
(cd "$build" && cpack -B "$PWD/packages")
rm -rf "$build/packages/_CPack_Packages"
ls -l "$build"/packages/*.deb

# Errors fail the build; warnings and notes are shown.
lintian --fail-on error --display-info "$build"/packages/*.deb
