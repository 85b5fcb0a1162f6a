#!/usr/bin/env bash
# Runs every fuzz target for a bounded time (FUZZ_SECONDS, default 60, all at once),
# starting from the committed seeds in fuzz/corpus/TARGET, and fails on any
# finding: a sanitizer report, a broken contract, a crash, a leak, a time-out.
# A finding's input is kept in build/asan-ubsan/fuzz/findings/; replay it with
#   build/asan-ubsan/fuzz/fuzz_TARGET FILE
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/hardening_packages.sh"
cd "$repo_root"
ensure_hardening_packages
seconds=${FUZZ_SECONDS:-60}

cmake --preset asan-ubsan >/dev/null
cmake --build --preset asan-ubsan -j "$(nproc)" --target fuzz_stage fuzz_settings fuzz_requests

out=build/asan-ubsan/fuzz
targets=(stage settings requests)
# The targets run side by side, each for the whole time: a libFuzzer process
# uses one core, and the run ends in FUZZ_SECONDS rather than three times that.
pids=()
for target in "${targets[@]}"; do
  work=$out/corpus/$target findings=$out/findings/$target
  rm -rf "$work" "$findings"
  mkdir -p "$work" "$findings"
  echo "fuzz_$target: ${seconds}s"
  # New inputs go to the scratch corpus; the committed seeds are only read.
  "$out/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$work" "fuzz/corpus/$target" \
    >"$out/fuzz_$target.log" 2>&1 &
  pids+=($!)
done
status=0
for i in "${!targets[@]}"; do
  target=${targets[$i]} log=$out/fuzz_${targets[$i]}.log
  if wait "${pids[$i]}"; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    coverage=$(grep -oE 'cov: [0-9]+' "$log" | tail -1)
    echo "fuzz_$target: $runs executions, $coverage, no findings"
  else
    echo "fuzz_$target: FINDING (log: $log)" >&2
    grep -E 'CONTRACT BROKEN|ERROR:|runtime error|SUMMARY|Test unit written' "$log" >&2 || tail -30 "$log" >&2
    status=1
  fi
done
exit $status
