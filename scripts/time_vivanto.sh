#!/usr/bin/env bash
# Times vivanto's steps (decoding, conversion to the working image, the stage,
# conversion back, encoding) on a 6000 x 4000 16-bit RGB TIFF of random
# colours, made here with the libvips command-line tools. Timings on a shared
# machine are noisy: compare steps within one run.
# Then the same photo in `vivanto serve`: edit and preview round trips in
# each of the preview's forms side by side, the full-size download, and
# previews while a download runs.
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
make_timing_photo "$photo"
./build/default/tools/vivanto/vivanto --rg 40 --by 30 --timings --force "$photo" -o "$work/result"

# The live preview on the same photo: the preview (longest side 1000 px) as
# the page asks for it while a slider moves, and the full-size download.
ensure_packages curl
log=$work/serve.log
./build/default/tools/vivanto/vivanto serve --port 0 "$photo" >"$log" 2>&1 &
server=$!
trap 'kill -INT "$server" 2>/dev/null; wait "$server" 2>/dev/null' EXIT
url=""
for _ in $(seq 600); do
  url=$(grep -o 'http://127\.0\.0\.1:[0-9]*/' "$log" || true)
  [ -n "$url" ] && break
  kill -0 "$server" 2>/dev/null || { cat "$log" >&2; exit 1; }
  sleep 0.1
done
[ -n "$url" ] || { cat "$log" >&2; exit 1; }
# One edit and one preview, on one kept-alive connection as the page has
# them, 30 times with a new value each: the round trip is the two requests'
# times as curl measured them (no process start), in ms.
json=(-H 'Content-Type: application/json')
round_trips() {
  local query=$1 value times=()
  for value in $(seq 11 40); do
    times+=("$(curl -sf -o /dev/null -w '%{time_total} ' "${json[@]}" \
      -d "{\"key\": \"vivanto_rg\", \"value\": $value}" "${url}api/edit" \
      --next -sf -o /dev/null -w '%{time_total} %{size_download}\n' "${url}api/preview$query")")
  done
  printf '%s\n' "${times[@]}" | awk '{ print ($1 + $2) * 1000, $3 }' | sort -n | awk -v what="$2" '
    { ms[NR] = $1; bytes = $2 }
    END { printf "  %-44s median %6.1f ms  (min %6.1f, 10%% %6.1f, 90%% %6.1f, max %6.1f)  %5.2f MB\n",
            what, ms[int((NR + 1) / 2)], ms[1], ms[int(NR / 10) + 1], ms[NR - int(NR / 10)], ms[NR], bytes / 1e6 }'
}
# The held sizes are made on first use: one request each beforehand.
for side in 1000 2000; do curl -sf -o /dev/null "${url}api/preview?size=$side"; done
echo
echo "vivanto serve: edit + preview round trips, 30 edits each (median, spread, size of a preview)"
round_trips "" "PNG, 1000 px (GET /api/preview as before)"
round_trips "?size=1000&format=rgba" "RGBA for a canvas, 1000 px"
round_trips "?size=2000" "PNG, 2000 px (a window-sized preview)"
round_trips "?size=2000&format=rgba" "RGBA for a canvas, 2000 px"
curl -sf -o "$work/full.tif" -D "$work/headers" -w "full-size download: %{size_download} bytes in %{time_total} s, " "${url}api/full"
grep -i '^X-Stage-Milliseconds' "$work/headers" | tr -d '\r' | sed 's/.*: /stage /; s/$/ ms/'

# A render holds the plug-in only while the stage runs: previews asked for
# while a full-size download converts and encodes are answered in their own time.
echo "previews while a full-size download runs:"
curl -sf -o /dev/null "${url}api/full" &
download=$!
sleep 2
for value in 110 120 130; do
  started=$(date +%s%N)
  curl -sf -o /dev/null "${json[@]}" -d "{\"key\": \"vivanto_rg\", \"value\": $value}" "${url}api/edit"
  curl -sf -o /dev/null "${url}api/preview?size=1000&format=rgba"
  echo "  rg $value: edit and preview in $(( ($(date +%s%N) - started) / 1000000 )) ms"
done
wait "$download"
