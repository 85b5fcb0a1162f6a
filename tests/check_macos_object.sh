#!/usr/bin/env bash
# Checks the plug-in's source compiled for Mac OS X i386 from the Mach-O
# object's symbol table, as far as can be done with no Apple linker: an i386
# Mach-O object whose only external symbols are the three entry points (with
# the platform's leading underscore), all defined, and which references no
# symbol at all, so the dylib links against nothing but the system's runtime.
# usage: check_macos_object.sh LLVM_NM LLVM_OBJDUMP OBJECT   (llvm-nm-14, llvm-objdump-14)
set -euo pipefail
usage="usage: check_macos_object.sh LLVM_NM LLVM_OBJDUMP OBJECT"
nm=${1:?$usage}
objdump=${2:?$usage}
object=${3:?$usage}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

header=$("$objdump" --macho --private-header "$object" | awk '$1 ~ /^MH_MAGIC/ {print $1, $2, $5}')
[ "$header" = "MH_MAGIC I386 OBJECT" ] || fail "not a 32-bit i386 Mach-O object (header: '$header')"

symbols=$("$nm" -m "$object")

# -m prints "(__TEXT,__text) external _name", "non-external" for file-local
# symbols and "private external" for hidden globals; only the first may appear.
external=$(grep -E '\) (weak )?(private )?external ' <<<"$symbols" | awk '{print $NF}' | sort | tr '\n' ' ')
[ "$external" = "_RegisterPlugin _getVersion _unRegisterPlugin " ] \
  || fail "external symbols are '$external', want exactly _RegisterPlugin _getVersion _unRegisterPlugin"
for name in _RegisterPlugin _getVersion _unRegisterPlugin; do
  grep -Eq "^[0-9a-f]+ \(__TEXT,__text\) external $name\$" <<<"$symbols" \
    || fail "$name is not a defined, fully external function"
done

undefined=$("$nm" --undefined-only "$object" | awk '{print $NF}' | tr '\n' ' ')
[ -z "$undefined" ] || fail "references symbols the object does not define: $undefined"

if [ "$failures" -ne 0 ]; then
  exit 1
fi
echo "ok: $object defines and exports exactly _RegisterPlugin _getVersion _unRegisterPlugin and references nothing"
