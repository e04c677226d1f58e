#!/usr/bin/env bash
# Checks what a user of the packages gets, from a package build folder made by
# scripts/build-packages.sh:
#  - `cmake --install --prefix` into a folder of one's own (the library, its
#    development files and the simulator), with the board application of
#    examples/consumer built against it both ways (CMake package and
#    pkg-config) and run under the installed simulator;
#  - the same against the unpacked .deb files, and the tool's board
#    subcommand (its module found in the installed layout);
#  - the board agent's files in the tools package: its systemd unit (exposure
#    at most 2.0 by systemd-analyze security), its sysusers.d and tmpfiles.d
#    files, agent.json a conffile;
#  - the .deb files installed by dpkg into a throwaway copy of this system (an
#    overlay in a mount namespace of its own): who may read the configuration,
#    fresh and after an upgrade; the agent's user and groups, its unit left
#    disabled and accepted by systemd-analyze verify, and what a purge takes
#    away;
#  - a second package build in a folder of another name giving the same .deb
#    files, byte for byte.
# Nothing is installed into the system itself.
#
#   scripts/test-install.sh <package build folder>
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:?usage: scripts/test-install.sh <package build folder>}")
consumer=$PWD/examples/consumer
tools_deb=$(ls "$build"/packages/i2c-kestro_*.deb)
# Set to true once the tools package installs the board agent's program: until
# then /usr/bin/i2c-kestro-agent must be missing, afterwards present.
agent_program_shipped=true
agent_program=/usr/bin/i2c-kestro-agent
agent_unit=/lib/systemd/system/i2c-kestro-agent.service

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "test-install: $*" >&2
  exit 1
}

# Every installed header compiles on its own: none needs a header left out.
check_headers() {
  local prefix=$1 header
  for header in "$prefix"/include/i2c-kestro/*.h; do
    g++ -std=c++20 -fsyntax-only -I"$prefix/include" -include "$header" -x c++ /dev/null ||
      fail "$header does not compile on its own"
  done
}

# Builds examples/consumer against the tree under <prefix> into <out>/cmake
# and <out>/pkg-config, each way as its README says, the tree found only
# through CMAKE_PREFIX_PATH and PKG_CONFIG_PATH.
build_consumer() {
  local prefix=$1 out=$2
  cmake -S "$consumer" -B "$out/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$out/cmake-build" >/dev/null
  cp "$out/cmake-build/kestro-consumer" "$out/cmake"
  cp "$out/cmake-build/kestro-many-nodes" "$out/many-nodes"
  local flags
  flags=$(PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name i2c-kestro.pc)") \
    pkg-config --cflags --libs i2c-kestro)
  # shellcheck disable=SC2086 # pkg-config prints several options
  g++ -std=c++20 -o "$out/pkg-config" "$consumer/main.cpp" $flags ||
    fail "the consumer does not build with pkg-config's flags: $flags"
}

# Runs <command...> under the simulator installed in <prefix> with the
# example board, the libraries of <prefix> first.
under_simulator() {
  local prefix=$1
  shift
  LD_LIBRARY_PATH=$(dirname "$(find "$prefix/lib" -name libi2c-kestro.so.0)") \
    "$prefix/bin/i2c-kestro-sim" --fast --scenario "$prefix/share/i2c-kestro-sim/board.json" -- "$@"
}

run_consumer() {
  local prefix=$1 program=$2 output
  # The example board's two nodes without faults must be found.
  output=$(under_simulator "$prefix" "$program" "$prefix/share/i2c-kestro-sim/config.json") ||
    fail "$program under the simulator ended with status $?"
  if ! grep -qx '/dev/i2c-3 0x10 node-1' <<<"$output" || ! grep -qx '/dev/i2c-3 0x11 node-2' <<<"$output"; then
    fail "$program did not print the example board's nodes: $output"
  fi
}

# The example that sends one file to both nodes of the example board at once.
run_many_nodes() {
  local prefix=$1 program=$2 output
  output=$(under_simulator "$prefix" "$program" /dev/i2c-3 "$prefix/share/i2c-kestro-sim/config.json" \
    config.json 0x10 0x11 2>/dev/null) || fail "$program under the simulator ended with status $?: $output"
  if ! grep -qx '0x10 sent (status 0)' <<<"$output" || ! grep -qx '0x11 sent (status 0)' <<<"$output"; then
    fail "$program did not send to both nodes: $output"
  fi
}

echo "== cmake --install --prefix $work/prefix"
# The tools' board files go to the system's /etc for a build configured for
# /usr, so that component stays out of a folder install.
for component in lib dev sim; do
  cmake --install "$build" --prefix "$work/prefix" --component "$component" >/dev/null
done
check_headers "$work/prefix"
build_consumer "$work/prefix" "$work/from-prefix"
run_consumer "$work/prefix" "$work/from-prefix/cmake"
run_consumer "$work/prefix" "$work/from-prefix/pkg-config"
run_many_nodes "$work/prefix" "$work/from-prefix/many-nodes"

echo "== unpack the packages into $work/unpacked"
for deb in "$build"/packages/*.deb; do
  dpkg-deb -x "$deb" "$work/unpacked"
done
check_headers "$work/unpacked/usr"
build_consumer "$work/unpacked/usr" "$work/from-packages"
run_consumer "$work/unpacked/usr" "$work/from-packages/cmake"
run_consumer "$work/unpacked/usr" "$work/from-packages/pkg-config"
board=$(under_simulator "$work/unpacked/usr" "$work/unpacked/usr/bin/i2c-kestro-cli" --json board \
  --config "$work/unpacked/usr/share/i2c-kestro-sim/config.json") ||
  fail "the packaged tool's board subcommand ended with status $?: $board"
grep -q '"id": "node-2"' <<<"$board" || fail "the packaged tool's board found no node-2: $board"

echo "== the board agent's files in $(basename "$tools_deb")"
listing=$(dpkg-deb -c "$tools_deb")
for path in "$agent_unit" /usr/lib/sysusers.d/i2c-kestro.conf /usr/lib/tmpfiles.d/i2c-kestro.conf \
  /etc/i2c-kestro/agent.json; do
  grep -q " \.$path\$" <<<"$listing" || fail "$path is not in $tools_deb"
done
if grep -q " \.$agent_program\$" <<<"$listing"; then
  $agent_program_shipped || fail "$tools_deb ships $agent_program: set agent_program_shipped=true in $0"
else
  ! $agent_program_shipped || fail "$agent_program is not in $tools_deb"
fi
dpkg-deb -I "$tools_deb" conffiles | grep -qx /etc/i2c-kestro/agent.json ||
  fail "/etc/i2c-kestro/agent.json is not a conffile of $tools_deb"
systemd-analyze security --offline=true --threshold=20 --root="$work/unpacked" "$agent_unit" >/dev/null ||
  fail "$agent_unit: exposure above 2.0: $(systemd-analyze security --offline=true \
    --root="$work/unpacked" "$agent_unit" 2>&1 | tail -1)"

echo "== dpkg -i into a throwaway overlay of this system"
# The configuration's owner and mode, after a fresh install and after
# reinstalling over an administrator's choice and over what earlier packages
# left (0644 root:root).
config=/etc/i2c-kestro/config.json
grep -q "^-rw-r----- root/root .* \.$config\$" <<<"$listing" ||
  fail "$config is not 0640 root:root in $tools_deb"
[[ $(id -u) -eq 0 ]] || fail "the install with dpkg into an overlay needs root (a mount namespace)"
mkdir "$work/overlay"
observed=$(unshare --mount --propagation private bash -euo pipefail -s "$work/overlay" "$config" \
  "$build"/packages/libi2c-kestro0_*.deb "$tools_deb" <<'EOF'
overlay=$1 config=$2 root=$1/root
shift 2
mount -t tmpfs tmpfs "$overlay"
mkdir "$overlay/upper" "$overlay/work" "$root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$overlay/upper,workdir=$overlay/work" "$root"
mount --rbind /proc "$root/proc"
mount --rbind /dev "$root/dev"
mkdir "$root/tmp/packages"
cp "$@" "$root/tmp/packages"
install_packages() {
  chroot "$root" sh -c 'dpkg -i /tmp/packages/*.deb' >/dev/null
  chroot "$root" stat -c '%a %U:%G' "$config"
}
install_packages
chroot "$root" sh -c "chmod 0600 $config && chgrp adm $config"
install_packages
chroot "$root" sh -c "chmod 0644 $config && chgrp root $config"
install_packages
# The agent's user (its primary group first) and its unit, left disabled.
chroot "$root" id -Gn i2c-kestro
chroot "$root" systemctl is-enabled i2c-kestro-agent.service || true
# What systemd finds wrong with the unit, installed, its program beside it.
chroot "$root" systemd-analyze verify --man=no /lib/systemd/system/i2c-kestro-agent.service 2>&1 || true
# Enabled by the administrator, with some state: a purge leaves none of it.
chroot "$root" sh -c 'systemctl enable i2c-kestro-agent.service 2>/dev/null &&
  mkdir -p /var/lib/i2c-kestro && dpkg --purge i2c-kestro >/dev/null'
chroot "$root" sh -c 'ls -d /etc/systemd/system/*/i2c-kestro-agent.service /var/lib/i2c-kestro \
  /etc/i2c-kestro/agent.json 2>/dev/null || true'
EOF
) || fail "installing the packages with dpkg failed"
expected=$'640 root:i2c\n600 root:adm\n640 root:i2c\ni2c gpio\ndisabled'
$agent_program_shipped ||
  expected+=$'\ni2c-kestro-agent.service: Command '$agent_program$' is not executable: No such file or directory'
[[ $observed == "$expected" ]] || fail "$config after install, reinstall over 0600 root:adm, \
reinstall over 0644 root:root; the agent's groups; its unit, enabled?, verified; what a purge left:
$observed"

echo "== build the packages again in a folder of another name"
again=$work/$(basename "$build")-again
[[ ${#again} -ne ${#build} ]] || again+=-longer
scripts/build-packages.sh "$again" >/dev/null
for deb in "$build"/packages/*.deb; do
  cmp "$deb" "$again/packages/$(basename "$deb")" ||
    fail "$(basename "$deb") differs when built in $again"
done

echo "test-install: passed"
