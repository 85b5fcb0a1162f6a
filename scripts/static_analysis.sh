#!/usr/bin/env bash
# Static analysis of every source of ours: clang-tidy (.clang-tidy), cppcheck
# (scripts/cppcheck.sh) and the layout check (scripts/check_format.sh). Any
# finding fails. clang-tidy reads the compile commands of the asan-ubsan
# preset, which covers the plug-in, the stand-in host, tools, tests and fuzz
# targets; only configuring it is needed, not building.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/hardening_packages.sh"
cd "$repo_root"
ensure_hardening_packages

cmake --preset asan-ubsan -DVIVANTO_BUILD_BENCH=ON >/dev/null # the sanitizer build leaves them out
echo "clang-tidy:"
run-clang-tidy-14 -p build/asan-ubsan -j "$(nproc)" -quiet \
  "$repo_root/(host|plugin|standin|tools|tests|fuzz|bench)/" >build/asan-ubsan/clang-tidy.log 2>&1 \
  || { sed 's/\x1b\[[0-9;]*m//g' build/asan-ubsan/clang-tidy.log | grep -E -A4 'warning:|error:' >&2; exit 1; }
echo "clang-tidy: no findings"

bash scripts/cppcheck.sh
bash scripts/check_format.sh
