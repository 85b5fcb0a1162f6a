#!/usr/bin/env bash
# The main job on a built-in example: builds the plug-in and vivanto, draws a
# chart of the 24 published reference colours of a common colour rendition
# chart, runs the plug-in's stage on it through vivanto as the editor would,
# and writes the result and a before/after comparison.
source "$(dirname "$0")/lib.sh"
cd "$repo_root"
ensure_base_packages
ensure_vivanto_packages
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target hueflare vivanto example_chart >/dev/null

example=out/example
mkdir -p "$example/result"
./build/default/tools/vivanto/example_chart "$example/chart.png"
# Pushing both sliders to 40 turns the switch on, as in the editor's panel.
./build/default/tools/vivanto/vivanto --rg 40 --by 40 --force --stats \
  --compare "$example/before_after.png" --scope "$example/scope.png" \
  "$example/chart.png" -o "$example/result"
echo
echo "example chart:        $example/chart.png"
echo "result:               $example/result/chart.png"
echo "before | after:       $example/before_after.png"
echo "vectorscope:          $example/scope.png"
echo "live, in a browser:   ./build/default/tools/vivanto/vivanto serve [PHOTO]"
