#!/usr/bin/env bash
# The fleet on one broker (part of `make bench`); prints figures, asserts nothing:
#  - a node command's round trip tool -> broker -> agent -> node -> back, in one MQTT session,
#    median and p95; the boards run --fast, so the node's own wait takes no real time and the
#    figure is all overhead;
#  - 100 boards on one broker: how long until all are online, how long one command to every
#    board takes (100 tools at once); on the real clock, as boards run: under --fast every idle
#    agent races through simulated time, and 100 of them on two cores measure the simulator;
#  - MQTT messages and bytes per board per hour at the shipped agent.json's schedule (5 boards
#    of 2-4 nodes on the real clock for WINDOW seconds, scaled to an hour), and meanwhile each
#    agent's CPU and resident memory.
#
#   bench/fleet/fleet-bench.sh [BUILD]
set -uo pipefail

BUILD=$(cd "${1:-build}" && pwd)
WORK=$(mktemp -d /tmp/kestro-fleet-bench-XXXXXX)
WINDOW=${WINDOW:-60}
source "$(dirname "$0")/../../scripts/fleet-common.sh"
trap 'stop_all; rm -rf "$WORK"' EXIT

ms_since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }

round_trip() {
  start_broker board-rt || return 1
  start_board board-rt 1
  wait_online 1 30 || return 1
  "$BUILD/bench/fleet/kestro-fleet-round-trip" "$BROKER_URL" operator "$OPERATOR_PASSWORD" \
    board-rt 200
  stop_all
}

hundred_boards() {
  local ids=() index id begin
  for index in $(seq 1 100); do ids+=("$(printf 'board-%03d' "$index")"); done
  start_broker "${ids[@]}" || return 1
  begin=$(date +%s%N)
  for index in $(seq 1 100); do SIM_FAST="" start_board "${ids[index - 1]}" "$index"; done
  wait_online 100 120 && echo "100 boards: all online after $(ms_since "$begin") ms (target 30 s)"
  begin=$(date +%s%N)
  local failed=0 pids=()
  for id in "${ids[@]}"; do fleet "$id" node 0x10 get-identity > /dev/null 2>&1 & pids+=("$!"); done
  for index in "${!pids[@]}"; do wait "${pids[index]}" || failed=$((failed + 1)); done
  echo "100 boards: one command to every board answered after $(ms_since "$begin") ms, $failed failed (target 5 s)"
  stop_all
}

# CPU over 30 s between requests on the real clock (under --fast an idle agent races through
# simulated time) (clock ticks of /proc/PID/stat: `ps` counts whole seconds) and resident
# memory, per agent: the launcher's children.
idle_cost() {
  local agents
  agents=$(for var in ${!AGENT_PID_*}; do pgrep -P "${!var}" || echo "${!var}"; done)
  [[ -n $agents ]] || { echo "idle: no agent processes found"; return; }
  local before after
  before=$(cpu_ticks $agents)
  sleep 30
  after=$(cpu_ticks $agents)
  ps -o rss= -p "$(echo $agents | tr ' ' ',')" | awk -v ticks=$((after - before)) -v hz="$(getconf CLK_TCK)" '
    {rss += $1; n++}
    END {printf "agent between requests, real clock: %.3f%% CPU, %.1f MiB resident per board (%d agents)\n",
         100 * ticks / hz / 30 / n, rss / n / 1024, n}'
}

# The user and system clock ticks the processes have used.
cpu_ticks() {
  local pid total=0
  for pid in "$@"; do
    # Fields after the command's closing parenthesis: utime and stime are the 12th and 13th.
    read -r -a fields < <(sed 's/.*) //' "/proc/$pid/stat" 2>/dev/null || echo)
    total=$((total + ${fields[11]:-0} + ${fields[12]:-0}))
  done
  echo "$total"
}

traffic() {
  local ids=(board-t1 board-t2 board-t3 board-t4 board-t5) index
  start_broker "${ids[@]}" || return 1
  # The shipped agent.json's schedule: its one job, every node's values once a minute.
  local jobs='[{ "name": "values", "command": "get-values-a0", "args": [], "period_s": 60, "nodes": "all" }]'
  for index in 1 2 3 4 5; do SIM_FAST="" BOARD_JOBS=$jobs start_board "${ids[index - 1]}" "$index"; done
  wait_online 5 60 || return 1
  timeout "$WINDOW" mosquitto_sub -p "$BROKER_PORT" -u operator -P "$OPERATOR_PASSWORD" \
    -t 'kestro/v1/#' -F '%r %t %l' > "$WORK/traffic" 2>/dev/null &
  local listener=$!
  idle_cost
  wait "$listener"
  # Retained documents come first, on subscribing; they are not the schedule's traffic.
  awk -v window="$WINDOW" '$1 == 0 {n++; bytes += length($2) + $3}
    END {printf "traffic per board per hour at the default schedule: %.0f messages, %.0f bytes\n",
         n / 5 * 3600 / window, bytes / 5 * 3600 / window}' "$WORK/traffic"
  stop_all
}

round_trip || echo "round trip: the board did not come online"
hundred_boards || echo "100 boards: the broker did not start"
traffic || echo "traffic: the boards did not come online"
