# Shared by the scripts: run as root on Debian 12; each installs what it needs.
set -euo pipefail

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
apt_updated=0

# Why a part could not be set up, in one line: on stderr, and for the table
# scripts/test.sh ends with in the file VIVANTO_SETUP_FAILURE names (each part
# runs in a process of its own, so it is told through a file).
setup_failed() {
  echo "could not be set up: $*" >&2
  if [ -n "${VIVANTO_SETUP_FAILURE:-}" ]; then
    echo "$*" >>"$VIVANTO_SETUP_FAILURE"
  fi
}

# Why this machine cannot run a part at all, whatever is installed: a fact of
# the machine (its kernel, say), checked when the part starts, not a package
# that failed to install. scripts/test.sh reports such a part as "cannot run
# here" in its table, apart from the parts that passed or failed.
cannot_run_here() {
  echo "cannot run on this machine: $*" >&2
  if [ -n "${VIVANTO_CANNOT_RUN:-}" ]; then
    echo "$*" >>"$VIVANTO_CANNOT_RUN"
  fi
}

# Whether the package lists were fetched in this run, and apt's complaint if
# one could not be: kept in VIVANTO_RUN_STATE (a folder scripts/test.sh makes
# for its parts) so each part does not fetch them again.
apt_lists_fetched() {
  [ "$apt_updated" -eq 1 ] || { [ -n "${VIVANTO_RUN_STATE:-}" ] && [ -f "$VIVANTO_RUN_STATE/apt-updated" ]; }
}
apt_update_complaint() {
  [ -n "${VIVANTO_RUN_STATE:-}" ] && [ -f "$VIVANTO_RUN_STATE/apt-update-complaint" ] || return 0
  cat "$VIVANTO_RUN_STATE/apt-update-complaint"
}

# Fetches the package lists once per run. A mirror caught mid-sync fails one
# index for a minute or so, so it tries again; if an index still cannot be
# fetched, the install goes ahead with the others (what is wanted may not need
# that one) and apt's complaint is kept for the reason, should it fail.
fetch_package_lists() {
  apt_lists_fetched && return 0
  local attempt log complaint=""
  log=$(mktemp)
  for attempt in 1 2 3; do
    if apt-get -o DPkg::Lock::Timeout=600 update -qq >"$log" 2>&1; then
      complaint=""
      break
    fi
    cat "$log" >&2
    complaint=$(grep -m1 '^E: ' "$log" | sed 's/ *\[IP: [^]]*\]$//' || true)
    if [ "$attempt" -lt 3 ]; then
      echo "apt-get update failed; trying again in 30 s" >&2
      sleep 30
    fi
  done
  rm -f "$log"
  if [ -n "$complaint" ]; then
    echo "apt-get update failed three times; installing from the indexes it has" >&2
  fi
  apt_updated=1
  if [ -n "${VIVANTO_RUN_STATE:-}" ]; then
    : >"$VIVANTO_RUN_STATE/apt-updated"
    printf '%s' "$complaint" >"$VIVANTO_RUN_STATE/apt-update-complaint"
  fi
}

forget_package_lists() {
  apt_updated=0
  if [ -n "${VIVANTO_RUN_STATE:-}" ]; then
    rm -f "$VIVANTO_RUN_STATE/apt-updated" "$VIVANTO_RUN_STATE/apt-update-complaint"
  fi
}

# Installs the Debian packages that are not installed yet. When that fails,
# the reason names the packages and quotes apt (and apt-get update, if an
# index could not be fetched).
ensure_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    setup_failed "missing Debian packages: ${missing[*]} (run as root to install them)"
    return 1
  fi
  fetch_package_lists
  echo "installing: ${missing[*]}"
  local log
  log=$(mktemp)
  if DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >"$log" 2>&1; then
    rm -f "$log"
    return 0
  fi
  grep -v '^(Reading database' "$log" | tail -40 >&2
  local said lists
  said=$(grep -m1 '^E: ' "$log" || tail -1 "$log")
  lists=$(apt_update_complaint)
  rm -f "$log"
  setup_failed "apt-get install ${missing[*]}: ${said}${lists:+ (apt-get update: $lists)}"
  return 1
}

# What vivanto, the command-line host, needs: libvips for image files,
# LittleCMS for colour, and an HTTP server and JSON for `vivanto serve`; zlib
# for its tests' hand-made PNG files.
ensure_vivanto_packages() {
  ensure_packages pkg-config libvips-dev liblcms2-dev libcpp-httplib-dev nlohmann-json3-dev zlib1g-dev
}

# The packages every build of ours needs.
ensure_base_packages() {
  ensure_packages build-essential cmake binutils googletest libgtest-dev libgmock-dev libbenchmark-dev
}

# Adds dpkg's i386 architecture, which Wine's 32-bit half (wine32) needs.
ensure_i386_architecture() {
  dpkg --print-foreign-architectures | grep -qx i386 && return 0
  if [ "$(id -u)" -ne 0 ]; then
    setup_failed "dpkg lacks the i386 architecture (run as root to add it)"
    return 1
  fi
  echo "adding the i386 architecture to dpkg"
  dpkg --add-architecture i386
  forget_package_lists # they must be fetched again, now with i386
}

# Cross-building the Windows DLL (no Wine needed for that).
ensure_windows_build_packages() {
  ensure_packages g++-mingw-w64-i686 binutils-mingw-w64-i686
}

# Running the Windows build's tests under Wine, which needs its 32-bit half.
ensure_wine_packages() {
  ensure_i386_architecture
  ensure_packages wine wine32:i386
}

# 32-bit x86 Linux programs: Debian's multilib compilers build them; a kernel
# without IA32 emulation cannot start them ("Exec format error"), and there
# they run under qemu-user's qemu-i386 (cmake/I386Emulator.cmake decides the
# same way when a build is configured).
ensure_i686_packages() {
  ensure_packages gcc-multilib g++-multilib
  i386_programs_run_natively || ensure_packages qemu-user
}

i386_programs_run_natively() {
  local dir status=0
  dir=$(mktemp -d)
  printf 'int main(void) { return 0; }\n' >"$dir/probe.c"
  gcc -m32 "$dir/probe.c" -o "$dir/probe" && "$dir/probe" 2>/dev/null || status=1
  rm -rf "$dir"
  return $status
}

# Runs one command of a part, noting it first, so that scripts/test.sh's table
# can name the command a failed part stopped at (VIVANTO_STEP names the file).
run_step() {
  if [ -n "${VIVANTO_STEP:-}" ]; then
    echo "$*" >"$VIVANTO_STEP"
  fi
  "$@"
}

# Line tables only (see cmake/DebugInfo.cmake): the same code, built in half the time.
# Extra arguments go to the configure step, e.g. -DVIVANTO_BUILD_BENCH=OFF.
configure_and_build_preset() {
  local preset=$1
  shift
  run_step cmake --preset "$preset" -DVIVANTO_DEBUG_INFO=lines "$@" >/dev/null
  run_step cmake --build --preset "$preset" -j "$(nproc)"
}

# Configures, builds and tests one CMake preset (extra arguments configure).
build_and_test_preset() {
  configure_and_build_preset "$@"
  run_step ctest --preset "$1"
}

# The way a user or a distribution builds: no preset, Release, the compiler
# given, warnings shown but not errors. Everything is built, tests included,
# unless extra arguments (to the configure step) leave something out.
build_and_test_plain_release() {
  local cc=$1 cxx=$2 dir=build/plain-release-$1
  shift 2
  run_step cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" "$@" >/dev/null
  run_step cmake --build "$dir" -j "$(nproc)"
  run_step ctest --test-dir "$dir" -j 2 --output-on-failure
}

# A 6000 x 4000 16-bit RGB TIFF of random colours (24 MP) at $1, made with the
# libvips command-line tools unless it is there already: the photo the timings
# are taken on.
make_timing_photo() {
  local photo=$1 work
  [ -f "$photo" ] && return 0
  ensure_packages libvips-tools
  work=$(dirname "$photo")
  mkdir -p "$work"
  for band in r g b; do
    vips gaussnoise "$work/$band.v" 6000 4000 --mean 32768 --sigma 12000
  done
  vips bandjoin "$work/r.v $work/g.v $work/b.v" "$work/rgb.v"
  vips cast "$work/rgb.v" "$work/rgb16.v" ushort
  vips copy "$work/rgb16.v" "$photo" --interpretation rgb16
  rm -f "$work"/r.v "$work"/g.v "$work"/b.v "$work"/rgb.v "$work"/rgb16.v
}
