#!/usr/bin/env bash
# Installs the Debian packages that building and testing need.
# Does nothing when every package is already installed.
#
#   scripts/install-deps.sh            build, tests and benchmarks
#   scripts/install-deps.sh --fuzz     also clang and its fuzzing runtime
set -euo pipefail

packages=(
  build-essential cmake pkg-config make
  libjson-c-dev libcurlpp-dev libcurl4-openssl-dev libgpiod-dev libi2c-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev libcpp-httplib-dev openssl ca-certificates
  valgrind
)
for arg in "$@"; do
  case "$arg" in
    --fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    *) echo "install-deps: unknown option $arg" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
