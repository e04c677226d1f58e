#!/usr/bin/env bash
# Installs the Debian packages that building and testing need.
# Does nothing when every package is already installed.
#
#   scripts/install-deps.sh             build, tests and benchmarks
#   scripts/install-deps.sh --fuzz      also clang and its fuzzing runtime
#   scripts/install-deps.sh --aarch64   also the aarch64 cross compiler, the
#                                       arm64 libraries (multiarch) and qemu
#   scripts/install-deps.sh --package   also what builds and checks the
#                                       Debian packages
#   scripts/install-deps.sh --firmware  also the bare-metal Arm compiler and
#                                       C library the node library's
#                                       Cortex-M0+ build needs
set -euo pipefail

packages=(
  build-essential cmake pkg-config make
  libjson-c-dev libcurlpp-dev libcurl4-openssl-dev libgpiod-dev libi2c-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev libcpp-httplib-dev libcli11-dev openssl ca-certificates
  valgrind help2man i2c-tools gpiod
  libmosquitto-dev mosquitto mosquitto-clients
)
# The arm64 libraries are Multi-Arch: same, so they sit beside the amd64 ones
# as long as both are at the same version; apt upgrades the amd64 side when
# the arm64 side needs it.
aarch64_packages=(
  g++-aarch64-linux-gnu qemu-user
  libjson-c-dev:arm64 libcurlpp-dev:arm64 libcurl4-openssl-dev:arm64
  libgpiod-dev:arm64 libi2c-dev:arm64
  libgtest-dev:arm64 libgmock-dev:arm64 libbenchmark-dev:arm64
  libssl-dev:arm64 libcpp-httplib-dev:arm64 libmosquitto-dev:arm64
)
want_arm64=false
for arg in "$@"; do
  case "$arg" in
    --fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    --package) packages+=(dpkg-dev lintian systemd) ;;
    --firmware) packages+=(gcc-arm-none-eabi libnewlib-arm-none-eabi) ;;
    --aarch64) packages+=("${aarch64_packages[@]}"); want_arm64=true ;;
    *) echo "install-deps: unknown option $arg" >&2; exit 2 ;;
  esac
done

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)

if $want_arm64 && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "install-deps: adding the arm64 architecture"
  "${sudo[@]}" dpkg --add-architecture arm64
fi

# With a foreign architecture added, dpkg-query answers for every architecture
# of a name; a name without one means the native package (or an
# architecture-independent one).
native=$(dpkg --print-architecture)
installed() {
  local name status
  while read -r name status; do
    [[ "$status" == "install ok installed" ]] || continue
    [[ "$name" == "$1" || "$name" == "$1:$native" ]] && return 0
  done < <(dpkg-query -W -f='${binary:Package} ${Status}\n' "${1%%:*}" 2>/dev/null)
  return 1
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
