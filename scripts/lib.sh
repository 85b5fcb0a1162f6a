# Shared by the scripts: run as root on Debian 12; each installs what it needs.
set -euo pipefail

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
apt_updated=0

# Installs the Debian packages that are not installed yet.
ensure_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]} (run as root to install them)" >&2
    return 1
  fi
  if [ "$apt_updated" -eq 0 ]; then
    # A mirror caught mid-sync fails one index for a minute or so: try again
    # before giving up.
    local attempt
    for attempt in 1 2 3; do
      apt-get -o DPkg::Lock::Timeout=600 update -qq && break
      [ "$attempt" -eq 3 ] && return 1
      echo "apt-get update failed; trying again in 30 s" >&2
      sleep 30
    done
    apt_updated=1
  fi
  echo "installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null
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
    echo "dpkg lacks the i386 architecture (run as root to add it)" >&2
    return 1
  fi
  echo "adding the i386 architecture to dpkg"
  dpkg --add-architecture i386
  apt_updated=0 # the package lists must be fetched again, now with i386
}

# Cross-building the Windows DLL and running its tests under Wine.
ensure_windows_packages() {
  ensure_i386_architecture
  ensure_packages g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386
}

# Configures, builds and tests one CMake preset.
build_and_test_preset() {
  local preset=$1
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
  ctest --preset "$preset"
}

# Starts a named part of the run; each part's wall-clock time is kept for
# print_section_times.
section_name=""
section_started=0
section_times=()
section() {
  end_section
  echo
  echo "=== $* ==="
  section_name=$*
  section_started=$SECONDS
}

end_section() {
  [ -n "$section_name" ] || return 0
  section_times+=("$(printf '%5d s  %s' $((SECONDS - section_started)) "$section_name")")
  section_name=""
}

print_section_times() {
  end_section
  echo
  echo "=== wall-clock time per part ==="
  printf '%s\n' "${section_times[@]}"
}
