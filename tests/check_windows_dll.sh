#!/usr/bin/env bash
# Checks the built Windows DLL from its PE headers, as the editor's loader
# would meet it: a 32-bit x86 DLL exporting exactly the three entry points
# under their plain names, each returning with the caller cleaning the stack
# (cdecl: a bare `ret`, where stdcall would pop its arguments with `ret $n`),
# importing nothing but Windows' own DLLs, relocatable (ASLR) and with DEP.
# usage: check_windows_dll.sh OBJDUMP DLL   (OBJDUMP: i686-w64-mingw32-objdump)
set -euo pipefail
objdump=${1:?usage: check_windows_dll.sh OBJDUMP DLL}
dll=${2:?usage: check_windows_dll.sh OBJDUMP DLL}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

headers=$("$objdump" -p "$dll")

grep -q 'file format pei-i386' <<<"$headers" || fail "not a 32-bit x86 PE file"
grep -Eq '^Magic[[:space:]]+010b' <<<"$headers" || fail "not PE32"
characteristics=$(sed -n '/^Characteristics/,/^$/p' <<<"$headers")
grep -qx $'\tDLL' <<<"$characteristics" || fail "not marked as a DLL"
grep -q 'relocations stripped' <<<"$characteristics" && fail "relocations stripped: the DLL cannot move (no ASLR)"

flags=$(awk '$1 == "DllCharacteristics" {print $2}' <<<"$headers")
[ -n "$flags" ] || fail "no DllCharacteristics"
flags=$((16#${flags:-0}))
((flags & 0x40)) || fail "DYNAMIC_BASE not set: no ASLR"
((flags & 0x100)) || fail "NX_COMPAT not set: no DEP"
grep -Eq '^Entry 5 [0-9a-f]+ 0*[1-9a-f][0-9a-f]* Base Relocation Directory' <<<"$headers" \
  || fail "no base relocations: the loader cannot move the DLL"

exported=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" \
  | awk '/^\t\[/ {print $3}' | sort | tr '\n' ' ')
[ "$exported" = "RegisterPlugin getVersion unRegisterPlugin " ] \
  || fail "exported names are '$exported', want exactly RegisterPlugin getVersion unRegisterPlugin"
grep -q 'Forwarder RVA' <<<"$headers" && fail "an export is forwarded to another DLL"

imports=$(awk '/DLL Name:/ {print $3}' <<<"$headers" | sort -u | tr '\n' ' ')
for lib in $imports; do
  case "${lib,,}" in
    kernel32.dll | msvcrt.dll) ;;
    *) fail "imports $lib; only Windows' own KERNEL32.dll and msvcrt.dll are allowed" ;;
  esac
done

code=$("$objdump" -d --no-show-raw-insn "$dll")
for name in RegisterPlugin getVersion unRegisterPlugin; do
  # i386 C symbols carry a leading underscore (and stdcall ones an @n suffix);
  # the export table carries neither.
  body=$(awk -v label="^<_$name(@[0-9]+)?>:\$" '$2 ~ label {found = 1; next} found && /^$/ {exit} found' <<<"$code")
  [ -n "$body" ] || { fail "no code found for $name (is the DLL stripped?)"; continue; }
  grep -Eq $'\tret[[:space:]]*$' <<<"$body" || fail "$name has no plain ret"
  grep -Eq $'\tret[[:space:]]+\\$' <<<"$body" && fail "$name pops its own arguments (stdcall), want cdecl"
done

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "ok: $dll exports exactly the three entry points (cdecl, undecorated), imports only: ${imports% }, ASLR and DEP on"
