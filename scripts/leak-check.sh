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

# The program always ends with exit status 1; memcheck's own failure is 99.
valgrind --quiet --leak-check=full --show-leak-kinds=definite,indirect \
  --errors-for-leak-kinds=definite,indirect --error-exitcode=99 "$cli" >/dev/null
status=$?
if [[ $status -eq 1 ]]; then
  echo "leak-check i2c-kestro-cli: clean"
  exit 0
fi
echo "leak-check i2c-kestro-cli: FAILED (exit $status, expected 1)"
exit 1
