#!/usr/bin/env bash
# vivanto serve's page in a real browser: builds vivanto (default preset) if
# needed, starts `vivanto serve` on the built-in example on a free port, runs
# tests/browser/serve.test.mjs in Debian's chromium (headless, driven by
# playwright-core from tests/browser/package-lock.json; no browser download),
# and always stops the server, with Ctrl-C's signal, which must end it cleanly.
# Then the page's timing on a 6000 x 4000 16-bit TIFF (made here once, in
# out/timing/, as scripts/time_vivanto.sh makes it), printed: a second server
# runs tests/browser/large_photo.test.mjs. VIVANTO_BROWSER_LARGE=0 leaves it out.
# Screenshots are kept in build/default/artefacts/ (serve*.png).
source "$(dirname "$0")/lib.sh"
cd "$repo_root"
ensure_base_packages
ensure_vivanto_packages
ensure_packages chromium
# Node may come from elsewhere than Debian (a newer one, with npm inside);
# Debian's packages are the fallback.
command -v node >/dev/null && command -v npm >/dev/null || ensure_packages nodejs npm

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target vivanto

(cd tests/browser && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)

artefacts=$repo_root/build/default/artefacts
mkdir -p "$artefacts"
server_log=$artefacts/serve.log
server=""
stop_server() {
  [ -n "$server" ] || return 0
  kill -INT "$server" 2>/dev/null || return 0
  wait "$server"
}
trap 'stop_server || true' EXIT

# Starts `vivanto serve` on the arguments, its output in $server_log, and sets $url.
start_server() {
  build/default/tools/vivanto/vivanto serve --port 0 "$@" >"$server_log" 2>&1 &
  server=$!
  url=""
  for _ in $(seq 600); do
    url=$(grep -o 'http://127\.0\.0\.1:[0-9]*/' "$server_log" || true)
    [ -n "$url" ] && break
    kill -0 "$server" 2>/dev/null || { cat "$server_log" >&2; echo "vivanto serve did not start" >&2; exit 1; }
    sleep 0.1
  done
  [ -n "$url" ] || { cat "$server_log" >&2; echo "vivanto serve printed no address" >&2; exit 1; }
  echo "vivanto serve at $url"
}

# Stops it with SIGINT, which must end it cleanly.
stop_server_cleanly() {
  if ! stop_server; then
    cat "$server_log" >&2
    echo "vivanto serve did not stop cleanly on SIGINT" >&2
    exit 1
  fi
  server=""
  grep -q 'vivanto serve: stopped' "$server_log"
}

start_server
VIVANTO_SERVE_URL=$url VIVANTO_ARTEFACTS=$artefacts node --test tests/browser/serve.test.mjs
stop_server_cleanly

if [ "${VIVANTO_BROWSER_LARGE:-1}" != 0 ]; then
  photo=out/timing/photo-6000x4000-16bit.tif
  make_timing_photo "$photo"
  server_log=$artefacts/serve-24mp.log
  start_server "$photo"
  VIVANTO_SERVE_URL=$url VIVANTO_ARTEFACTS=$artefacts node --test tests/browser/large_photo.test.mjs
  stop_server_cleanly
fi
trap - EXIT
echo "screenshots: $artefacts/serve*.png"
