#!/usr/bin/env bash
# Runs the real program under valgrind memcheck. Fails on any memory error and
# on any block definitely or indirectly lost; blocks still reachable at exit
# (program-wide objects) are allowed. The board's start-up, teardown and
# end-to-end runs are checked the same way by the test suite itself
# (sbc-test.ReleasesEveryJsonDocument, bus-test.ReleasesEverythingTheBoardHeld).
#
#   scripts/leak-check.sh BUILD
set -uo pipefail
build=${1:?usage: leak-check.sh BUILD}
cli="$build/src/i2c-kestro-cli"
if [[ ! -x "$cli" ]]; then
  echo "leak-check: $cli is not built"
  exit 1
fi

memcheck=(valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect
  --errors-for-leak-kinds=definite,indirect --error-exitcode=99)

# The program always ends with exit status 1; memcheck's own failure is 99.
"${memcheck[@]}" "$cli" >/dev/null
status=$?
if [[ $status -eq 1 ]]; then
  echo "leak-check i2c-kestro-cli: clean"
else
  echo "leak-check i2c-kestro-cli: FAILED (exit $status, expected 1)"
  exit 1
fi

# The board agent on the example board for a while (start-up, supervision, a job, a request on
# its socket), then SIGTERM: it ends with 0 when memcheck found nothing.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%s\n' '{ "poll_period_s": 2, "jobs": [ { "command": "get-values-a0", "period_s": 3 } ],' \
  "  \"socket\": { \"path\": \"$work/agent.sock\", \"group\": \"\" }, \"state_dir\": \"$work\" }" \
  >"$work/agent.json"
"$build/sim/i2c-kestro-sim" --scenario examples/board.json -- "${memcheck[@]}" \
  "$build/src/agent/i2c-kestro-agent" --config examples/config.json \
  --agent-config "$work/agent.json" --foreground >"$work/out" 2>&1 &
launcher=$!
for _ in $(seq 60); do
  grep -q serving "$work/out" 2>/dev/null && break
  sleep 1
done
"$cli" --agent-socket "$work/agent.sock" status >/dev/null 2>&1
sleep 8
kill -TERM $launcher
wait $launcher
status=$?
if [[ $status -eq 0 ]]; then
  echo "leak-check i2c-kestro-agent: clean"
  exit 0
fi
echo "leak-check i2c-kestro-agent: FAILED (exit $status, expected 0)"
cat "$work/out"
exit 1
