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
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt_updated=1
  fi
  echo "installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null
}

# The packages every build of ours needs.
ensure_base_packages() {
  ensure_packages build-essential cmake binutils googletest libgtest-dev libgmock-dev libbenchmark-dev
}

# Configures, builds and tests one CMake preset.
build_and_test_preset() {
  local preset=$1
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
  ctest --preset "$preset"
}

section() {
  echo
  echo "=== $* ==="
}
