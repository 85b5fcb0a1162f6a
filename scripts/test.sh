#!/usr/bin/env bash
# The whole test suite: every build we ship or vary, each with its tests, in
# parts. Every part runs even when one before it failed, and the run ends with
# a table of every part: passed, failed, could not be set up (a Debian
# package it needs could not be installed), or cannot run here (the machine
# itself cannot run it, whatever is installed: a kernel that runs no 32-bit
# programs cannot run Wine), with the reason in one line. The exit status is 0
# only when every part passed that the machine can run.
#
#   bash scripts/test.sh               every part
#   bash scripts/test.sh --list        the parts, by name
#   bash scripts/test.sh NAME [NAME]   only these parts, e.g. linux-i686
source "$(dirname "$0")/lib.sh"
cd "$repo_root"

# Each part installs what it needs itself, so that it also runs alone, and
# fails on its first failing command (it runs in a subshell with set -e).
part_default() {
  ensure_base_packages
  ensure_vivanto_packages
  build_and_test_preset default
}

part_browser() {
  run_step bash scripts/browser_test.sh
}

part_package() {
  run_step bash scripts/package_test.sh
}

part_plain_release() {
  ensure_base_packages
  ensure_vivanto_packages
  ensure_packages clang-14
  build_and_test_plain_release gcc g++
  # clang++ builds vivanto and its tests under ASan, UBSan and TSan below; its
  # Release optimiser matters to the plug-in, whose suite this build runs.
  build_and_test_plain_release clang-14 clang++-14 -DVIVANTO_BUILD_CLI=OFF -DVIVANTO_BUILD_BENCH=OFF
}

part_mac_variant() {
  ensure_base_packages
  ensure_vivanto_packages
  build_and_test_preset mac-variant
}

part_linux_i686() {
  ensure_base_packages
  ensure_i686_packages
  build_and_test_preset linux-i686
}

# The DLL and its test programs build without Wine; only running them needs it,
# so the PE headers are checked here and the suite under Wine is a part of its own.
part_windows_x86_dll() {
  ensure_base_packages
  ensure_windows_build_packages
  configure_and_build_preset windows-x86
  run_step ctest --preset windows-x86 -R '^dll_'
}

# Wine's 32-bit half is itself a 32-bit x86 Linux program. On a kernel without
# IA32 emulation it cannot start, and under qemu-i386 Wine's set-up of its
# prefix hangs (tried: wineboot never finishes), so there the suite cannot run
# at all; that is asked of the kernel before any package is installed, so that
# on a machine that can run it a failed install still fails the part.
part_windows_x86_wine() {
  ensure_base_packages
  ensure_packages gcc-multilib
  if ! i386_programs_run_natively; then
    cannot_run_here "the kernel runs no 32-bit x86 programs (no IA32 emulation), and Wine's 32-bit loader is one; Wine does not run under qemu-i386"
    return 1
  fi
  ensure_windows_build_packages
  ensure_wine_packages
  configure_and_build_preset windows-x86
  run_step ctest --preset windows-x86 -E '^dll_'
}

part_macos_i386_object() {
  ensure_base_packages
  ensure_i686_packages
  ensure_packages clang-14 llvm-14
  build_and_test_preset macos-i386-object
}

# Hardening: the suite under sanitizers, fuzzing and static analysis.
part_asan_ubsan() {
  source "$repo_root/scripts/hardening_packages.sh"
  ensure_hardening_packages
  # The benchmarks run no test; static analysis still reads their sources.
  build_and_test_preset asan-ubsan -DVIVANTO_BUILD_BENCH=OFF
}

part_tsan() {
  source "$repo_root/scripts/hardening_packages.sh"
  ensure_hardening_packages
  build_and_test_preset tsan
}

part_fuzz() {
  run_step bash scripts/fuzz.sh
}

part_static_analysis() {
  run_step bash scripts/static_analysis.sh
}

# name|title, in the order they run.
parts=(
  "default|Linux x86_64 (one-byte host boolean, exact evaluation)"
  "browser|vivanto serve in a browser (chromium, headless)"
  "package|Debian package: cpack --preset default, unpacked and run from a temporary root"
  "plain-release|Plain Release builds (g++ and clang++, warnings not errors) and their suites"
  "mac-variant|Linux x86_64, Mac variant (32-bit host boolean, plain single precision)"
  "linux-i686|Linux i686 (g++ -m32: 32-bit pointers and handles, as in both shipped builds)"
  "windows-x86-dll|Windows x86 DLL (MinGW-w64 i686): built, and its PE headers"
  "windows-x86-wine|Windows x86 DLL: the suite under Wine"
  "macos-i386-object|Mac OS X i386 object (clang, freestanding): the suite on its code, through our Mach-O loader"
  "asan-ubsan|AddressSanitizer + UndefinedBehaviorSanitizer (clang): the whole suite"
  "tsan|ThreadSanitizer (clang): the concurrent tests"
  "fuzz|Fuzzing: each target for a bounded time"
  "static-analysis|Static analysis: clang-tidy, cppcheck, layout"
)

if [ "${1:-}" = "--list" ]; then
  for part in "${parts[@]}"; do printf '%-18s %s\n' "${part%%|*}" "${part#*|}"; done
  exit 0
fi
wanted=("$@")
for name in "${wanted[@]}"; do
  printf '%s\n' "${parts[@]%%|*}" | grep -qx -- "$name" \
    || { echo "no part named '$name'; bash scripts/test.sh --list names them" >&2; exit 2; }
done

VIVANTO_RUN_STATE=$(mktemp -d)
export VIVANTO_RUN_STATE
trap 'rm -rf "$VIVANTO_RUN_STATE"' EXIT

# Runs one part in a subshell and files its result: passed; could not be set
# up (it said why through setup_failed); or failed, naming the command that
# failed (run_step keeps it).
results=()
not_runnable_here=()
run_part() {
  local name=$1 title=$2 started=$SECONDS status result reason
  local setup_failure=$VIVANTO_RUN_STATE/setup-failure-$name step=$VIVANTO_RUN_STATE/step-$name
  local cannot_run=$VIVANTO_RUN_STATE/cannot-run-$name
  : >"$setup_failure"
  : >"$step"
  : >"$cannot_run"
  echo
  echo "=== $title ==="
  set +e
  (
    set -e
    export VIVANTO_SETUP_FAILURE=$setup_failure VIVANTO_STEP=$step VIVANTO_CANNOT_RUN=$cannot_run
    "part_${name//-/_}"
  )
  status=$?
  set -e
  if [ "$status" -eq 0 ]; then
    result="passed" reason=""
  elif [ -s "$cannot_run" ]; then
    result="cannot run here" reason=$(head -1 "$cannot_run")
    not_runnable_here+=("$name")
  elif [ -s "$setup_failure" ]; then
    result="could not be set up" reason=$(head -1 "$setup_failure")
  else
    result="failed" reason="exit status $status"
    [ -s "$step" ] && reason="$(cat "$step") (exit status $status)"
  fi
  results+=("$(printf '%-18s %-20s %5d s  %s' "$name" "$result" $((SECONDS - started)) "$reason")")
  if [ "$result" != "passed" ] && [ "$result" != "cannot run here" ]; then
    all_passed=0
  fi
}

all_passed=1
for part in "${parts[@]}"; do
  name=${part%%|*}
  if [ ${#wanted[@]} -gt 0 ] && ! printf '%s\n' "${wanted[@]}" | grep -qx -- "$name"; then
    continue
  fi
  # Not in a condition: bash ignores set -e inside anything called from one,
  # and each part relies on it to stop at its first failing command.
  run_part "$name" "${part#*|}"
done

echo
echo "=== every part ==="
printf '%-18s %-20s %7s  %s\n' "part" "result" "time" "reason"
printf '%s\n' "${results[@]}"
echo
passed_count=$(printf '%s\n' "${results[@]}" | grep -c '^[^ ]* *passed ' || true)
skipped_count=${#not_runnable_here[@]}
failed_count=$((${#results[@]} - passed_count - skipped_count))
if [ "$all_passed" -eq 1 ]; then
  if [ "$skipped_count" -gt 0 ]; then
    echo "every part passed that this machine can run; it cannot run: ${not_runnable_here[*]} (reason in the table)"
  else
    echo "every part passed"
  fi
else
  echo "not every part passed; each part's output follows its === title ==="
fi
echo "parts: $passed_count passed, $failed_count failed, $skipped_count skipped"
[ "$all_passed" -eq 1 ]
