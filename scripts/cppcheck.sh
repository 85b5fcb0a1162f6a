#!/usr/bin/env bash
# cppcheck over every source of ours, as the default build compiles it. Any
# finding fails. Checks left out, and why:
#   useStlAlgorithm     taste: a plain loop often reads better here
#   constParameter      opaque host handles are typed by the host's interface
#   unusedStructMember  test-table names are read by a template cppcheck does
#                       not follow (testing_support::CaseName)
#   shadowFunction      -Wshadow (errors in every build) covers real shadowing
# A single finding is suppressed in place: "// cppcheck-suppress ID" with why.
source "$(dirname "$0")/lib.sh"
cd "$repo_root"
ensure_packages cppcheck
sources=$(for d in plugin standin tests tools fuzz bench; do if [ -d "$d" ]; then echo "$d"; fi; done)
# Both shipped combinations of the build switches.
for switches in "-DHUEFLARE_HOST_BOOL_BYTES=1 -DHUEFLARE_PLAIN_SINGLE=0" \
                "-DHUEFLARE_HOST_BOOL_BYTES=4 -DHUEFLARE_PLAIN_SINGLE=1"; do
  # shellcheck disable=SC2086 # the switches and sources are lists
  cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ \
    --library=googletest --inline-suppr --error-exitcode=1 --quiet -j "$(nproc)" \
    -D__linux__ $switches -DHUEFLARE_LIBRARY='"plugin"' \
    -I host -I standin -I tests -I fuzz -I tools \
    --suppress=missingIncludeSystem --suppress=useStlAlgorithm --suppress=constParameter \
    --suppress=unusedStructMember --suppress=shadowFunction \
    $sources
done
echo "cppcheck: no findings"
