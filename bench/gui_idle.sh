#!/usr/bin/env bash
# Idle cost of the desktop run with demo data, read from /proc, and the time to
# the first drawn frame.
#   bash bench/gui_idle.sh [seconds=300] [build/default/quotadial]
# Runs on the offscreen platform (or under Xvfb when WITH_XVFB=1) with a private
# session bus and a throw-away HOME, so it touches nothing of the user's.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_TO_MEASURE="${1:-300}"
BIN="$(realpath "${2:-build/default/quotadial}")"
TMP="$(mktemp -d)"
cleanup() {
  [ -n "${APP_PID:-}" ] && kill "$APP_PID" 2>/dev/null || true
  [ -n "${BUS_PID:-}" ] && kill "$BUS_PID" 2>/dev/null || true
  [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null || true
  rm -rf "$TMP"
}
trap cleanup EXIT

export HOME="$TMP/home" XDG_DATA_HOME="$TMP/data" XDG_CONFIG_HOME="$TMP/config" XDG_RUNTIME_DIR="$TMP/run"
export CLAUDE_CONFIG_DIR="$TMP/claude" CODEX_HOME="$TMP/codex"
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
if [ "${WITH_XVFB:-0}" = 1 ] && command -v Xvfb >/dev/null; then
  Xvfb :97 -screen 0 1600x1000x24 -nolisten tcp >/dev/null 2>&1 & XVFB_PID=$!
  export DISPLAY=:97 QT_QPA_PLATFORM=xcb
  sleep 1
else
  unset DISPLAY WAYLAND_DISPLAY
  export QT_QPA_PLATFORM=offscreen
fi
BUS_ADDR="$(dbus-daemon --session --fork --print-address=1 --print-pid=3 3>"$TMP/bus.pid")"
BUS_PID="$(cat "$TMP/bus.pid")"
export DBUS_SESSION_BUS_ADDRESS="$BUS_ADDR"
HZ="$(getconf CLK_TCK)"

# First frame: start to the preview's picture written after the first refresh.
start_ns=$(date +%s%N)
"$BIN" --preview --demo --render-png "$TMP/first.png" >/dev/null 2>&1
end_ns=$(date +%s%N)
echo "first frame (start to picture after the first refresh): $(( (end_ns - start_ns) / 1000000 )) ms"

# Idle: the tray run with demo data, measured after a 10 s warm-up.
"$BIN" --demo >/dev/null 2>&1 & APP_PID=$!
sleep 10
cpu() { awk '{print $14 + $15}' "/proc/$APP_PID/stat"; }
c0=$(cpu); t0=$(date +%s%N)
peak=0
for ((i = 0; i < SECONDS_TO_MEASURE; i += 5)); do
  sleep 5
  rss=$(awk '/VmRSS/ {print $2}' "/proc/$APP_PID/status")
  (( rss > peak )) && peak=$rss
done
c1=$(cpu); t1=$(date +%s%N)
elapsed_ms=$(( (t1 - t0) / 1000000 ))
cpu_ms=$(( (c1 - c0) * 1000 / HZ ))
awk -v c="$cpu_ms" -v e="$elapsed_ms" 'BEGIN { printf "idle CPU over %.0f s: %.3f %% of one core\n", e / 1000, 100 * c / e }'
echo "resident memory: $(( $(awk '/VmRSS/ {print $2}' "/proc/$APP_PID/status") / 1024 )) MB now, $(( peak / 1024 )) MB peak"
