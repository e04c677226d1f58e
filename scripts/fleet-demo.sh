#!/usr/bin/env bash
# The fleet on one machine: a mosquitto broker, BOARDS simulated boards (default 20; agents
# under i2c-kestro-sim --fast, each with a small generated scenario), then through
# i2c-kestro-cli fleet: ls, one node command on every board, a rollout of one file served over
# HTTPS to every node of every board, and a summary per board. Exits non-zero when a step
# failed.
#
#   scripts/fleet-demo.sh [BUILD]      (make fleet-demo)
set -uo pipefail

BUILD=$(cd "${1:-build}" && pwd)
BOARDS=${BOARDS:-20}
WORK=$(mktemp -d /tmp/kestro-fleet-demo-XXXXXX)
source "$(dirname "$0")/fleet-common.sh"
trap 'stop_all; rm -rf "$WORK"' EXIT

started=$SECONDS
ids=()
for index in $(seq 1 "$BOARDS"); do ids+=("$(printf 'board-%02d' "$index")"); done
declare -A command_result rollout_result command_pid rollout_pid

# timed NAME ID WORDS...: fleet WORDS for board ID, its output in ID/NAME.out, its milliseconds
# in ID/NAME.ms; its exit status.
timed() {
  local name=$1 id=$2 begin status
  shift 2
  begin=$(date +%s%N)
  fleet "$@" > "$WORK/$id/$name.out" 2>&1
  status=$?
  echo $(( ($(date +%s%N) - begin) / 1000000 )) > "$WORK/$id/$name.ms"
  return "$status"
}

step() { printf '\n== %s (%d s)\n' "$1" $((SECONDS - started)); }

step "broker and $BOARDS boards"
# The file server's certificate, self-signed for 127.0.0.1: the boards' rollout_ca_file, the
# authority their downloads are to trust.
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout "$WORK/server.key" \
  -out "$WORK/server.crt" 2>/dev/null
ROLLOUT_CA="$WORK/server.crt"
start_broker "${ids[@]}" || exit 1
for index in $(seq 1 "$BOARDS"); do start_board "${ids[index - 1]}" "$index"; done
failed=0
wait_online "$BOARDS" 60 || failed=1

step "fleet ls"
fleet ls || failed=1

step "get-identity on 0x10 of every board"
for id in "${ids[@]}"; do
  timed command "$id" "$id" node 0x10 get-identity &
  command_pid[$id]=$!
done
for id in "${ids[@]}"; do
  wait "${command_pid[$id]}"
  command_result[$id]=$?
  sed "s/^/$id: /" "$WORK/$id/command.out"
done

step "rollout of one file to every node of every board"
mkdir -p "$WORK/files"
head -c 4096 /dev/urandom > "$WORK/files/fw.bin"
digest=$(sha256sum "$WORK/files/fw.bin" | cut -d' ' -f1)
https_port=$(free_port)
python3 - "$WORK/files" "$https_port" "$WORK/server.crt" "$WORK/server.key" \
  > "$WORK/https.log" 2>&1 <<'EOF' &
import functools, http.server, ssl, sys
folder, port, cert, key = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=folder)
server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
EOF
PIDS+=("$!")
# The rollouts start once the file server listens: a refused fetch is their answer.
for tries in $(seq 200); do
  (exec 3<> "/dev/tcp/127.0.0.1/$https_port") 2>/dev/null && break
  sleep 0.05
done
for id in "${ids[@]}"; do
  timed rollout "$id" --timeout 30 "$id" put all "https://127.0.0.1:$https_port/fw.bin" \
    --sha256 "$digest" --size 4096 --name fw.bin &
  rollout_pid[$id]=$!
done
for id in "${ids[@]}"; do
  wait "${rollout_pid[$id]}"
  rollout_result[$id]=$?
done

step "summary"
printf '%-10s %-20s %s\n' BOARD "COMMAND (status, ms)" "ROLLOUT (status, ms)"
for id in "${ids[@]}"; do
  printf '%-10s %-20s %s\n' "$id" "${command_result[$id]}, $(cat "$WORK/$id/command.ms")" \
    "${rollout_result[$id]}, $(cat "$WORK/$id/rollout.ms")"
  if [[ ${command_result[$id]} != 0 || ${rollout_result[$id]} != 0 ]]; then
    failed=1
    sed "s/^/  /" "$WORK/$id/rollout.out" | tail -3
  fi
done
printf 'took %d s; %s\n' $((SECONDS - started)) "$([[ $failed == 0 ]] && echo "every step passed" || echo "a step FAILED")"
exit "$failed"
