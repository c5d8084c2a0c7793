#!/usr/bin/env bash
# One entry for a fresh Debian/Ubuntu machine:
#   bash scripts/bootstrap.sh run  [args...]  install what is missing, build, start Quotadial
#   bash scripts/bootstrap.sh test [preset]   install what is missing, build, run the tests
# Presets: default (the default), asan, tsan.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake ninja-build pkg-config git python3
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libsimdjson-dev libre2-dev libcurl4-openssl-dev libtomlplusplus-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev libxcb1-dev fonts-dejavu-core
  dbus xvfb xdotool x11-utils tmux
  dpkg-dev file desktop-file-utils man-db
)

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build() {
  local preset="$1"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
}

mode="${1:-run}"
shift || true
case "$mode" in
  run)
    install_missing
    build default
    if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
      exec build/default/quotadial "$@"
    else
      echo "No display: printing the terminal status report (quotadial --status)."
      exec build/default/quotadial --status "$@"
    fi
    ;;
  test)
    preset="${1:-default}"
    install_missing
    build "$preset"
    # No retries: a test that fails once is a defect to fix, not to rerun.
    ctest --preset "$preset" -j2 --output-on-failure
    ;;
  *)
    echo "usage: bash scripts/bootstrap.sh run|test [preset]" >&2
    exit 2
    ;;
esac
