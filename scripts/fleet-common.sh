# Shared by scripts/fleet-demo.sh and bench/fleet/fleet-bench.sh (sourced): a mosquitto broker
# on a free loopback port with the fleet's access list, and simulated boards, each an agent
# under i2c-kestro-sim --fast with a small scenario of its own, linked to that broker.
#
# Needs BUILD (the build folder) and WORK (a scratch folder) set by the caller; SIM_FAST="" runs
# the boards on the real clock (default: --fast); ROLLOUT_CA, when set, is the boards'
# rollout_ca_file.

SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CLI="$BUILD/src/i2c-kestro-cli"
AGENT="$BUILD/src/agent/i2c-kestro-agent"
SIM="$BUILD/sim/i2c-kestro-sim"
OPERATOR_PASSWORD=operator-secret
PIDS=()

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

stop_all() {
  local pid
  for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  PIDS=()
}

# start_broker BOARDS...: the broker, a user per board (its id, password = id) and "operator".
start_broker() {
  BROKER_PORT=$(free_port)
  BROKER_URL="mqtt://127.0.0.1:$BROKER_PORT"
  : > "$WORK/passwords"
  mosquitto_passwd -b "$WORK/passwords" operator "$OPERATOR_PASSWORD"
  local board
  for board in "$@"; do mosquitto_passwd -b "$WORK/passwords" "$board" "$board"; done
  printf 'user operator\ntopic readwrite kestro/v1/#\npattern readwrite kestro/v1/%%u/#\n' > "$WORK/acl"
  # Started by root, mosquitto would become the user mosquitto, who cannot read $WORK.
  cat > "$WORK/mosquitto.conf" <<EOF
user $(id -un)
listener $BROKER_PORT 127.0.0.1
allow_anonymous false
password_file $WORK/passwords
acl_file $WORK/acl
max_queued_messages 100000
set_tcp_nodelay true
EOF
  mosquitto -c "$WORK/mosquitto.conf" > "$WORK/broker.log" 2>&1 &
  BROKER_PID=$!
  PIDS+=("$BROKER_PID")
  local tries
  for tries in $(seq 100); do
    mosquitto_pub -p "$BROKER_PORT" -u operator -P "$OPERATOR_PASSWORD" -t kestro/v1/hello -n \
      2>/dev/null && return 0
    sleep 0.05
  done
  echo "the broker did not start; its log: $WORK/broker.log" >&2
  return 1
}

# board_scenario INDEX: two to four nodes from 0x10 on, told apart by the board's index, listed
# by the device API that examples/config.json names.
board_scenario() {
  local index=$1 count=$((2 + $1 % 3)) node separator="" nodes="" devices=""
  for node in $(seq 0 $((count - 1))); do
    nodes+="$separator{ \"address\": $((16 + node)), \"values\": [$index, $node, 0, 1, 255],
      \"identity\": [\"kestro\", \"1.4.$index\", \"board-$index\", \"node-$((node + 1))\"] }"
    devices+="$separator{ \"id\": \"node-$((node + 1))\", \"config\": { \"addr\": $((16 + node)) } }"
    separator=,
  done
  cat <<SCENARIO
{ "version": 1, "seed": $index,
  "buses": { "/dev/i2c-3": { "nodes": [ $nodes ] } },
  "gpio": { "present": true },
  "device_api": { "endpoint": "api.kestro.example", "api_key": "example-key",
                  "devices": [ $devices ] } }
SCENARIO
}

# start_board ID INDEX: the agent under the simulator with its own scenario and state.
start_board() {
  local id=$1 dir="$WORK/$1"
  local authority=${ROLLOUT_CA:+", \"rollout_ca_file\": \"$ROLLOUT_CA\""}
  mkdir -p "$dir/state"
  board_scenario "$2" > "$dir/board.json"
  echo "$id" > "$dir/mqtt-password"
  # BOARD_JOBS: the agent's collection jobs, a JSON array; none by default.
  local jobs=""
  [[ -n ${BOARD_JOBS:-} ]] && jobs=$'\n  "jobs": '"$BOARD_JOBS,"
  cat > "$dir/agent.json" <<EOF
{ "bus": "/dev/i2c-3",
  "socket": { "path": "$dir/agent.sock", "group": "" },
  "state_dir": "$dir/state",$jobs
  "mqtt": { "url": "$BROKER_URL", "board_id": "$id", "password_file": "$dir/mqtt-password"$authority } }
EOF
  "$SIM" ${SIM_FAST---fast} --scenario "$dir/board.json" -- "$AGENT" --config "$SRC/examples/config.json" \
    --agent-config "$dir/agent.json" --foreground > "$dir/agent.log" 2>&1 &
  PIDS+=("$!")
  eval "AGENT_PID_${id//-/_}=$!"
}

fleet() {
  "$CLI" fleet --broker "$BROKER_URL" --user operator --password-file "$WORK/operator-password" "$@"
}

# wait_online COUNT SECONDS: until COUNT boards say they are online; false when they did not.
wait_online() {
  echo "$OPERATOR_PASSWORD" > "$WORK/operator-password"
  local until=$((SECONDS + $2)) online=0
  while ((SECONDS < until)); do
    online=$("$CLI" --json fleet --broker "$BROKER_URL" --user operator \
      --password-file "$WORK/operator-password" ls 2>/dev/null |
      python3 -c 'import json, sys; print(sum(b["online"] for b in json.load(sys.stdin)["boards"]))' \
        2>/dev/null || echo 0)
    ((online >= $1)) && return 0
    sleep 0.5
  done
  echo "only $online of $1 boards came online within $2 s" >&2
  return 1
}
