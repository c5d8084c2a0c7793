#!/usr/bin/env bash
# Idle cost of `quotadial --headless` over a given snapshot file (and optionally a
# home with transcripts): CPU share and memory over a span, read from /proc after
# the start-up has settled. With RUN=tray the tray app is measured instead, on
# the offscreen platform with a private session bus.
#   bash bench/headless_idle.sh SNAPSHOTS [seconds=60] [binary=build/default/quotadial] [home]
#   RUN=tray bash bench/headless_idle.sh SNAPSHOTS ...
# The store is copied into a throw-away data folder; no Codex or Claude credential
# is reachable, so the providers stay idle and only the program's own cycle runs.
set -euo pipefail
cd "$(dirname "$0")/.."
STORE="$(realpath "$1")"
SECONDS_TO_MEASURE="${2:-60}"
BIN="$(realpath "${3:-build/default/quotadial}")"
TMP="$(mktemp -d)"
HOMEDIR="${4:-$TMP/home}"
cleanup() {
  if [ -n "${APP_PID:-}" ]; then
    kill "$APP_PID" 2>/dev/null || true
    wait "$APP_PID" 2>/dev/null || true
  fi
  [ -n "${BUS_PID:-}" ] && kill "$BUS_PID" 2>/dev/null || true
  rm -rf "$TMP"
}
trap cleanup EXIT
export HOME="$HOMEDIR" XDG_DATA_HOME="$TMP/data" XDG_CONFIG_HOME="$TMP/config" XDG_RUNTIME_DIR="$TMP/run"
unset CLAUDE_CONFIG_DIR CODEX_HOME
export PATH=/usr/bin:/bin  # no codex on the path: its provider reports it missing and stays idle
mkdir -p "$HOME" "$XDG_DATA_HOME/Quotadial" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
cp "$STORE" "$XDG_DATA_HOME/Quotadial/snapshots.ndjson"
HZ="$(getconf CLK_TCK)"

if [ "${RUN:-headless}" = tray ]; then
  unset DISPLAY WAYLAND_DISPLAY
  export QT_QPA_PLATFORM=offscreen
  BUS_ADDR="$(dbus-daemon --session --fork --print-address=1 --print-pid=3 3>"$TMP/bus.pid")"
  BUS_PID="$(cat "$TMP/bus.pid")"
  export DBUS_SESSION_BUS_ADDRESS="$BUS_ADDR"
  "$BIN" >/dev/null 2>&1 &
else
  "$BIN" --headless >/dev/null 2>&1 &
fi
APP_PID=$!
sleep 15  # start-up: first read of the store, first history scan
ticks() { awk '{print $14 + $15}' "/proc/$APP_PID/stat"; }
t0=$(ticks)
sleep "$SECONDS_TO_MEASURE"
t1=$(ticks)
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$APP_PID/status")
hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$APP_PID/status")
awk -v d=$((t1 - t0)) -v hz="$HZ" -v s="$SECONDS_TO_MEASURE" -v rss="$rss" -v hwm="$hwm" -v lines="$(wc -l <"$STORE")" 'BEGIN {
  printf "run: '"${RUN:-headless}"'\nstored lines: %d\nidle CPU over %d s: %.2f %% of a core (%d ticks)\nRSS now: %.1f MiB, peak: %.1f MiB\n",
         lines, s, 100 * d / hz / s, d, rss / 1024, hwm / 1024 }'
