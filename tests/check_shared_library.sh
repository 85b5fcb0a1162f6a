#!/usr/bin/env bash
# Checks the built plug-in library from its ELF headers, as the editor's
# loader would meet it: exactly the three entry points defined and exported,
# nothing needed at run time but the C runtime, full RELRO and a stack that is
# not executable.
set -euo pipefail
library=${1:?usage: check_shared_library.sh LIBRARY}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort | tr '\n' ' ')
[ "$exported" = "RegisterPlugin getVersion unRegisterPlugin " ] \
  || fail "exported symbols are '$exported', want exactly RegisterPlugin getVersion unRegisterPlugin"

for name in RegisterPlugin getVersion unRegisterPlugin; do
  nm -D --defined-only "$library" | grep -Eq " T $name\$" || fail "$name is not an exported function"
done

needed=$(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
for lib in $needed; do
  case "$lib" in
    libc.so.*) ;;
    *) fail "needs $lib; only the C runtime is allowed" ;;
  esac
done

readelf -lW "$library" | grep -q 'GNU_RELRO' || fail "no RELRO segment"
readelf -d "$library" | grep -Eq '\(BIND_NOW\)|\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' \
  || fail "not linked with -z now (RELRO is only partial)"
stack=$(readelf -lW "$library" | awk '$1 == "GNU_STACK" {print $7}')
[ -n "$stack" ] || fail "no GNU_STACK header: the loader would make the stack executable"
case "$stack" in *E*) fail "stack is executable ($stack)" ;; esac
readelf -d "$library" | grep -q '(TEXTREL)' && fail "text relocations"

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "ok: $library exports exactly the three entry points, needs only: ${needed:-nothing}, full RELRO, no executable stack"
