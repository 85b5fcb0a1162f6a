#!/usr/bin/env bash
# The whole test suite: every build we ship or vary, each with its tests.
source "$(dirname "$0")/lib.sh"
cd "$repo_root"
ensure_base_packages

section "Linux x86_64 (one-byte host boolean, exact evaluation)"
build_and_test_preset default

section "Linux x86_64, Mac variant (32-bit host boolean, plain single precision)"
build_and_test_preset mac-variant

# Hardening: the suite under sanitizers, fuzzing and static analysis.
source "$repo_root/scripts/hardening_packages.sh"
ensure_hardening_packages

section "AddressSanitizer + UndefinedBehaviorSanitizer (clang): the whole suite"
build_and_test_preset asan-ubsan

section "ThreadSanitizer (clang): the concurrent tests"
build_and_test_preset tsan

section "Fuzzing: each target for a bounded time"
bash scripts/fuzz.sh

section "Static analysis: clang-tidy, cppcheck, layout"
bash scripts/static_analysis.sh

echo
echo "all test builds passed"
