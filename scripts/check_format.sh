#!/usr/bin/env bash
# Fails when a C or C++ source of ours differs from what .clang-format makes of
# it.
source "$(dirname "$0")/lib.sh"
cd "$repo_root"
ensure_packages clang-format-14
sources=$(git ls-files -- '*.c' '*.cpp' '*.h')
unformatted=()
while IFS= read -r file; do
  clang-format-14 --style=file --dry-run --Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done <<<"$sources"
if [ ${#unformatted[@]} -gt 0 ]; then
  echo "not formatted (run scripts/format.sh):" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "format: every checked source is formatted"
