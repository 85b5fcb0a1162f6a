#!/usr/bin/env bash
# The whole test suite: every build we ship or vary, each with its tests.
source "$(dirname "$0")/lib.sh"
cd "$repo_root"
ensure_base_packages
ensure_vivanto_packages

section "Linux x86_64 (one-byte host boolean, exact evaluation)"
build_and_test_preset default

section "Linux x86_64, Mac variant (32-bit host boolean, plain single precision)"
build_and_test_preset mac-variant

echo
echo "all test builds passed"
