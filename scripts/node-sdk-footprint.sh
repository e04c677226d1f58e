#!/usr/bin/env bash
# Prints what the node library costs a Cortex-M0+ firmware, from a build made
# with cmake/toolchain-cortex-m0plus.cmake:
#
#   scripts/node-sdk-footprint.sh BUILD
#
# Flash and RAM are the library's input sections that the example firmware
# (every command in) links, from its map file. The library keeps no globals:
# its RAM is the kn_node a firmware declares, given beside its receive buffer,
# the one that holds the longest request (a send chunk's).
set -euo pipefail
build=${1:?usage: node-sdk-footprint.sh BUILD}
elf="$build/examples-node/kestro-node-example.elf"
map="$build/examples-node/kestro-node-example.map"

# Sums the sizes of the library's linked input sections by kind; a long
# section name stands on a line of its own, its address and size on the next.
read -r flash ram < <(awk '
  function hex(text,   i, value) {
    value = 0
    for (i = 3; i <= length(text); ++i) value = value * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
    return value
  }
  /^Linker script and memory map/ { linked = 1 }
  !linked { next }
  /^ \.[a-z]/ { section = $1; if (NF == 1) next; $1 = ""; $0 = $0 }
  /^ +0x[0-9a-f]+ +0x[0-9a-f]+ .*libkestro-node-sdk\.a/ {
    size = hex($2)
    if (section ~ /^\.(text|rodata)/) flash += size
    else if (section ~ /^\.(data|bss)/) ram += size
  }
  END { print flash + 0, ram + 0 }' "$map")

node=$((16#$(arm-none-eabi-nm -S "$elf" | awk '$4 == "node" {print $2}')))
receive=$((800 + 14 + 6))

echo "node library on Cortex-M0+ (-Os, every command in):"
echo "  flash (text + rodata): $flash bytes"
echo "  RAM (data + bss) of its own: $ram bytes"
echo "  kn_node: $node bytes = receive buffer $receive + $((node - receive)) beside it"
echo "example firmware (library, skeleton, newlib start-up):"
arm-none-eabi-size "$elf" | sed 's/^/  /'
