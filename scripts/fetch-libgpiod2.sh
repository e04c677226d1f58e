#!/usr/bin/env bash
# Unpacks libgpiod 2 (libgpiod3 and libgpiod-dev from Debian 12's
# bookworm-backports) into a private folder, so that a machine whose own
# libgpiod is 1.6 can build and test against libgpiod's version 2 interface.
# Nothing of the system changes: apt runs with a source list, package lists and
# a cache of its own inside the folder, and the packages are unpacked with
# dpkg -x, never installed. Does nothing when the folder already holds them.
#
#   scripts/fetch-libgpiod2.sh DIR
#
# Afterwards DIR/pkgconfig holds libgpiod.pc (for PKG_CONFIG_PATH) and DIR/lib
# the shared library (for LD_LIBRARY_PATH).
set -euo pipefail

version=2.1.3-1~bpo12+1
suite="http://deb.debian.org/debian bookworm-backports main"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

if [[ $# -ne 1 ]]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
mkdir -p "$1"
dir=$(cd "$1" && pwd)
root=$dir/root
[[ -f $root/.version && $(<"$root/.version") == "$version" ]] && exit 0

apt_dir=$dir/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
echo "deb [signed-by=$keyring] $suite" >"$apt_dir/sources.list"
apt_options=(
  -o Dir::Etc::SourceList="$apt_dir/sources.list"
  -o Dir::Etc::SourceParts="$apt_dir/sources.list.d"
  -o Dir::State::Lists="$apt_dir/lists"
  -o Dir::Cache="$apt_dir/cache"
  -o APT::Sandbox::User="$(id -un)"
)
echo "fetch-libgpiod2: libgpiod $version from bookworm-backports into $dir"
apt-get "${apt_options[@]}" -qq update
rm -rf "$dir/debs" "$root"
mkdir -p "$dir/debs" "$root"
(cd "$dir/debs" && apt-get "${apt_options[@]}" -qq download "libgpiod3=$version" "libgpiod-dev=$version")
for deb in "$dir"/debs/*.deb; do
  dpkg -x "$deb" "$root"
done

# The package's pkg-config file names /usr as its prefix: point it at the folder.
pc=$(find "$root" -name libgpiod.pc)
sed -i "s|^prefix=.*|prefix=$root/usr|" "$pc"
ln -sfn "$(dirname "$pc")" "$dir/pkgconfig"
ln -sfn "$(dirname "$(dirname "$pc")")" "$dir/lib"
echo "$version" >"$root/.version"
