#!/usr/bin/env bash
# The main job on a built-in example: builds the plug-in and walks one editing
# event through it with the stand-in host.
source "$(dirname "$0")/lib.sh"
cd "$repo_root"
ensure_base_packages
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target hueflare stage_demo >/dev/null
./build/default/tools/stage_demo
