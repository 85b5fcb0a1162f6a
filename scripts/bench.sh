#!/usr/bin/env bash
# Builds the default preset and times the stage against the memory-bandwidth
# limit, the scalar loop and libvips. Extra arguments go to the benchmark,
# e.g. --benchmark_repetitions=5 (the table keeps the fastest of each case).
source "$(dirname "$0")/lib.sh"
cd "$repo_root"
ensure_base_packages
ensure_vivanto_packages # the default preset configures vivanto too

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target stage_bench
build/default/bench/stage_bench --benchmark_min_time=0.3 "$@"
