#!/usr/bin/env bash
# The whole test suite: every build we ship or vary, each with its tests.
source "$(dirname "$0")/lib.sh"
cd "$repo_root"
ensure_base_packages
ensure_vivanto_packages

section "Linux x86_64 (one-byte host boolean, exact evaluation)"
build_and_test_preset default

section "vivanto serve in a browser (chromium, headless)"
bash scripts/browser_test.sh

section "Linux x86_64, Mac variant (32-bit host boolean, plain single precision)"
build_and_test_preset mac-variant

section "Linux i686 (g++ -m32: 32-bit pointers and handles, as in both shipped builds)"
ensure_packages gcc-multilib g++-multilib
build_and_test_preset linux-i686

section "Windows x86 DLL (MinGW-w64 i686): its PE headers, and the suite under Wine"
ensure_windows_packages
build_and_test_preset windows-x86

section "Mac OS X i386 object (clang, freestanding): the suite on its code, through our Mach-O loader"
ensure_packages clang-14 llvm-14 gcc-multilib g++-multilib qemu-user
build_and_test_preset macos-i386-object

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

print_section_times
echo
echo "all test builds passed"
