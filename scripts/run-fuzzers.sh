#!/usr/bin/env bash
# Runs every libFuzzer program of a fuzz build, as many at once as there are
# processors (FUZZ_JOBS), each from its committed seed corpus.
#
#   scripts/run-fuzzers.sh BUILD SECONDS [RUNS]
#
# Each program runs for SECONDS (or until RUNS executions when RUNS is given).
# New inputs go to BUILD/fuzz-corpus/<name>, never into the committed corpus;
# a crashing, leaking or slow input goes to BUILD/findings/ and fails the run.
set -uo pipefail
build=${1:?usage: run-fuzzers.sh BUILD SECONDS [RUNS]}
seconds=${2:?usage: run-fuzzers.sh BUILD SECONDS [RUNS]}
runs=${3:-}
here=$(cd "$(dirname "$0")/.." && pwd)

shopt -s nullglob
fuzzers=("$build"/fuzz/*-fuzzer)
if [[ ${#fuzzers[@]} -eq 0 ]]; then
  echo "fuzz: no fuzz programs in $build/fuzz"
  exit 0
fi

limit=(-max_total_time="$seconds")
[[ -n "$runs" ]] && limit=(-runs="$runs")

# Runs one program; its one-line result (and the report of a finding) goes to
# BUILD/fuzz-NAME.result, its status is the program's.
fuzz_one() {
  local fuzzer=$1 name seeds work findings log status executed took inputs
  name=$(basename "$fuzzer" -fuzzer)
  seeds="$here/fuzz/corpus/$name"
  work="$build/fuzz-corpus/$name"
  findings="$build/findings"
  log="$build/fuzz-$name.log"
  mkdir -p "$work" "$findings"
  # The products' own console messages would swamp the log and slow every
  # run down; libFuzzer keeps its own report channel when they are closed.
  # libFuzzer watches the RSS from a thread that sleeps, and the simulator's
  # fake clock would turn those sleeps into a busy loop that also moves the
  # clock libFuzzer times itself by; so the RSS watch is off and a limit on
  # each allocation stands in for it.
  "$fuzzer" "${limit[@]}" -timeout=10 -rss_limit_mb=0 -malloc_limit_mb=2048 -close_fd_mask=3 \
    -print_final_stats=1 -artifact_prefix="$findings/$name-" \
    "$work" "$seeds" >"$log" 2>&1
  status=$?
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  inputs=$(find "$work" -type f | wc -l)
  if [[ $status -eq 0 ]]; then
    echo "fuzz $name: ${executed:-?} executions in ${took:-?} s, $inputs inputs in its corpus, no findings"
  else
    echo "fuzz $name: FAILED (exit $status) after ${executed:-?} executions; log $log"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|artifact_prefix|Test unit written)' "$log" | head -20
  fi >"$build/fuzz-$name.result"
  return "$status"
}

at_once=${FUZZ_JOBS:-$(nproc)}
for fuzzer in "${fuzzers[@]}"; do
  while (($(jobs -rp | wc -l) >= at_once)); do
    wait -n
  done
  fuzz_one "$fuzzer" &
done
wait

failed=0
for fuzzer in "${fuzzers[@]}"; do
  result="$build/fuzz-$(basename "$fuzzer" -fuzzer).result"
  cat "$result"
  grep -q ': FAILED' "$result" && failed=$((failed + 1))
done
echo "fuzz: ${#fuzzers[@]} targets, $failed with findings"
[[ $failed -eq 0 ]]
