#!/usr/bin/env bash
# Runs the real program and the board's end-to-end start-up and teardown under
# valgrind memcheck. Fails on any memory error and on any block definitely or
# indirectly lost; blocks still reachable at exit (program-wide objects) are
# allowed.
#
#   scripts/leak-check.sh BUILD
set -uo pipefail
build=${1:?usage: leak-check.sh BUILD}

# Test programs that bring a whole board up and down over the simulated bus,
# GPIO chip and device API, each with the GoogleTest filter to run.
board_tests=(
  "test/sbc/sbc-test:BoardStartup.*"
  "test/sbc/bus-test:BoardEndToEnd.*"
)

memcheck=(valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect
  --errors-for-leak-kinds=definite,indirect --error-exitcode=99 --track-fds=no)
failed=0
checked=0

check() {
  local what=$1 expected=$2
  shift 2
  local log status
  log=$(mktemp)
  "${memcheck[@]}" --log-file="$log" "$@" >/dev/null 2>&1
  status=$?
  checked=$((checked + 1))
  if [[ $status -eq $expected ]]; then
    echo "leak-check $what: clean"
  else
    failed=$((failed + 1))
    echo "leak-check $what: FAILED (exit $status, expected $expected)"
  fi
  cat "$log"
  rm -f "$log"
}

cli="$build/src/i2c-kestro-cli"
if [[ -x "$cli" ]]; then
  # The program always ends with exit status 1.
  check i2c-kestro-cli 1 "$cli"
else
  echo "leak-check i2c-kestro-cli: not built yet, skipped"
fi

for entry in "${board_tests[@]}"; do
  program="$build/${entry%%:*}"
  filter="${entry#*:}"
  if [[ -x "$program" ]]; then
    check "${entry%%:*} ($filter)" 0 "$program" --gtest_filter="$filter"
  else
    echo "leak-check ${entry%%:*}: not built yet, skipped"
  fi
done
echo "leak-check: $checked programs checked, $failed failed"
[[ $failed -eq 0 ]]
