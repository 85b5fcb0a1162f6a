#!/usr/bin/env bash
# Times vivanto's steps (decoding, conversion to the working image, the stage,
# conversion back, encoding) on a 6000 x 4000 16-bit RGB TIFF of random
# colours, made here with the libvips command-line tools. Timings on a shared
# machine are noisy: compare steps within one run.
source "$(dirname "$0")/lib.sh"
cd "$repo_root"
ensure_base_packages
ensure_vivanto_packages
ensure_packages libvips-tools
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target hueflare vivanto >/dev/null

work=out/timing
mkdir -p "$work/result"
photo=$work/photo-6000x4000-16bit.tif
if [ ! -f "$photo" ]; then
  for band in r g b; do
    vips gaussnoise "$work/$band.v" 6000 4000 --mean 32768 --sigma 12000
  done
  vips bandjoin "$work/r.v $work/g.v $work/b.v" "$work/rgb.v"
  vips cast "$work/rgb.v" "$work/rgb16.v" ushort
  vips copy "$work/rgb16.v" "$photo" --interpretation rgb16
  rm -f "$work"/*.v
fi
./build/default/tools/vivanto/vivanto --rg 40 --by 30 --timings --force "$photo" -o "$work/result"
