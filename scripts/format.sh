#!/usr/bin/env bash
# Reformats every C and C++ source of ours in place with .clang-format.
source "$(dirname "$0")/lib.sh"
cd "$repo_root"
ensure_packages clang-format-14
git ls-files -z -- '*.c' '*.cpp' '*.h' | xargs -0 -r clang-format-14 -i --style=file
echo "formatted"
