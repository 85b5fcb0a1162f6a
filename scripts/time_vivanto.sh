#!/usr/bin/env bash
# Times vivanto's steps (decoding, conversion to the working image, the stage,
# conversion back, encoding) on a 6000 x 4000 16-bit RGB TIFF of random
# colours, made here with the libvips command-line tools. Timings on a shared
# machine are noisy: compare steps within one run.
# Then the same photo in `vivanto serve`: each preview render and the
# full-size download, as the page asks for them.
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
echo
echo "vivanto serve: preview renders after each edit (stage ms as the server reports it, round trip as curl saw it)"
for value in 10 20 30 40 50 60 70 80 90 100; do
  curl -sf -o /dev/null -X POST -d "{\"key\": \"vivanto_rg\", \"value\": $value}" "${url}api/edit"
  curl -sf -o /dev/null -D "$work/headers" -w "  rg $value: round trip %{time_total} s, " "${url}api/preview"
  grep -i '^X-Stage-Milliseconds' "$work/headers" | tr -d '\r' | sed 's/.*: /stage /; s/$/ ms/'
done
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
  curl -sf -o /dev/null -X POST -d "{\"key\": \"vivanto_rg\", \"value\": $value}" "${url}api/edit"
  curl -sf -o /dev/null "${url}api/preview"
  echo "  rg $value: edit and preview in $(( ($(date +%s%N) - started) / 1000000 )) ms"
done
wait "$download"
