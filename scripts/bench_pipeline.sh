#!/usr/bin/env bash
# vivanto against the libvips command line, file to file, on two photos it
# makes itself: a 6000 x 4000 16-bit RGB TIFF (24 MP) and a 20480 x 10240
# 8-bit JPEG panorama (210 MP). Both do the same job: the photo to CIE L*a*b*
# through sRGB, red-green x 1.4 and blue-yellow x 1.35, and back
# (vivanto --rg 40 --by 35; `vips icc_import`, `vips linear` with 1 1.4 1.35,
# `vips icc_export`, 16 bits for the TIFF and 8 for the JPEG). libvips' three
# commands pass their intermediates as .v files in /dev/shm, i.e. in memory;
# its time is the sum of the three and its peak memory the largest of them.
# Peak memory is the maximum resident set size /usr/bin/time reports.
#
# Each photo is run BENCH_REPEATS times (3), vivanto and libvips taking turns
# so that a load that comes and goes on a shared machine meets both alike;
# every time is printed, and the table keeps the best of each.
source "$(dirname "$0")/lib.sh"
cd "$repo_root"
ensure_base_packages
ensure_vivanto_packages
ensure_packages libvips-tools time
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target hueflare vivanto >/dev/null

repeats=${BENCH_REPEATS:-3}
vivanto=$repo_root/build/default/tools/vivanto/vivanto
work=$repo_root/out/bench_pipeline
shm=$(mktemp -d /dev/shm/vivanto-bench-XXXXXX)
trap 'rm -rf "$shm"' EXIT
mkdir -p "$work/result"

photo=$work/photo-6000x4000-16bit.tif
if [ ! -f "$photo" ]; then
  echo "making $photo"
  for band in r g b; do
    vips gaussnoise "$shm/$band.v" 6000 4000 --mean 32768 --sigma 12000
  done
  vips bandjoin "$shm/r.v $shm/g.v $shm/b.v" "$shm/rgb.v"
  vips cast "$shm/rgb.v" "$shm/rgb16.v" ushort
  vips copy "$shm/rgb16.v" "$photo" --interpretation rgb16
  rm -f "$shm"/*.v
fi
panorama=$work/panorama-20480x10240.jpg
if [ ! -f "$panorama" ]; then
  echo "making $panorama"
  # Smooth colourful clouds (each band its own Perlin noise) with a little
  # grain, as a landscape photo has, rather than noise a JPEG cannot hold.
  for band in 1 2 3; do
    vips perlin "$shm/p$band.v" 20480 10240 --cell-size $((200 + 90 * band)) --seed "$band"
  done
  vips bandjoin "$shm/p1.v $shm/p2.v $shm/p3.v" "$shm/clouds.v"
  vips gaussnoise "$shm/grain.v" 20480 10240 --mean 0 --sigma 6
  vips linear "$shm/clouds.v" "$shm/scaled.v" 110 128
  vips add "$shm/scaled.v" "$shm/grain.v" "$shm/grainy.v"
  vips cast "$shm/grainy.v" "$shm/rgb8.v" uchar
  vips copy "$shm/rgb8.v" "$panorama[Q=90]" --interpretation srgb
  rm -f "$shm"/*.v
fi

# Runs a command under /usr/bin/time; prints "seconds peak-KiB".
measure() {
  local report=$shm/time.txt
  /usr/bin/time -f '%e %M' -o "$report" "$@" >/dev/null 2>"$shm/stderr.txt" || {
    cat "$shm/stderr.txt" >&2
    return 1
  }
  tail -n 1 "$report"
}

run_vivanto() { # photo
  measure "$vivanto" --rg 40 --by 35 --force "$1" -o "$work/result"
}

run_vips() { # photo depth suffix
  local a b c
  a=$(measure vips icc_import "$1" "$shm/lab.v" --input-profile srgb --intent relative)
  b=$(measure vips linear "$shm/lab.v" "$shm/boosted.v" "1 1.4 1.35" "0 0 0")
  rm -f "$shm/lab.v"
  c=$(measure vips icc_export "$shm/boosted.v" "$work/result/vips$3" --output-profile srgb \
    --intent relative --depth "$2")
  rm -f "$shm/boosted.v"
  echo "$a $b $c" | awk '{ printf "%.2f %d\n", $1 + $3 + $5, ($2 > $4 ? ($2 > $6 ? $2 : $6) : ($4 > $6 ? $4 : $6)) }'
}

rows=()
bench() { # label photo depth suffix
  local label=$1 best_v="" best_l="" peak_v=0 peak_l=0 v l
  echo "$label:"
  for i in $(seq "$repeats"); do
    v=$(run_vivanto "$2")
    l=$(run_vips "$2" "$3" "$4")
    echo "  run $i: vivanto ${v% *} s (${v#* } KiB), libvips command line ${l% *} s (${l#* } KiB)"
    best_v=$(echo "$best_v ${v% *}" | awk '{ print ($1 == "" || $2 < $1) ? $NF : $1 }')
    best_l=$(echo "$best_l ${l% *}" | awk '{ print ($1 == "" || $2 < $1) ? $NF : $1 }')
    peak_v=$(( ${v#* } > peak_v ? ${v#* } : peak_v ))
    peak_l=$(( ${l#* } > peak_l ? ${l#* } : peak_l ))
  done
  rows+=("$(awk -v n="$label" -v v="$best_v" -v l="$best_l" -v pv="$peak_v" -v pl="$peak_l" \
    'BEGIN { printf "| %s | %.2f | %.2f | %.2f | %.0f | %.0f |", n, v, l, v / l, pv / 1024, pl / 1024 }')")
}

echo "load before: $(uptime)"
bench "6000 x 4000 16-bit TIFF (24 MP)" "$photo" 16 .tif
bench "20480 x 10240 JPEG panorama (210 MP)" "$panorama" 8 .jpg
echo "load after: $(uptime)"
echo
echo "| photo | vivanto s | libvips CLI s | ratio | vivanto peak MB | libvips CLI peak MB |"
echo "|---|---:|---:|---:|---:|---:|"
printf '%s\n' "${rows[@]}"
echo
echo "(best of $repeats; peak over all runs; libvips: icc_import, linear, icc_export with .v files in /dev/shm)"
"$vivanto" --rg 40 --by 35 --timings --force "$photo" -o "$work/result" | grep timings
