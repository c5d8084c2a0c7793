#!/usr/bin/env bash
# Cost of a Codex app-server that floods the headless run with rate-limit updates:
# lines stored, CPU seconds and peak memory over the run, and how long the run
# takes to exit after SIGTERM.
#   bash bench/codex_burst.sh [updates=8500] [seconds=15] [build/default/quotadial] [build/default/fakes]
# The stand-in `codex` (tests/fakes/codex.cpp) answers the handshake, writes the
# updates at once, then serves requests. Everything runs in a throw-away HOME.
set -euo pipefail
cd "$(dirname "$0")/.."
UPDATES="${1:-8500}"
RUN_SECONDS="${2:-15}"
BIN="$(realpath "${3:-build/default/quotadial}")"
FAKES="$(realpath "${4:-build/default/fakes}")"
TMP="$(mktemp -d)"
cleanup() {
  [ -n "${APP_PID:-}" ] && kill -9 "$APP_PID" 2>/dev/null || true
  rm -rf "$TMP"
}
trap cleanup EXIT

export HOME="$TMP/home" XDG_DATA_HOME="$TMP/data" XDG_CONFIG_HOME="$TMP/config" XDG_RUNTIME_DIR="$TMP/run"
export CLAUDE_CONFIG_DIR="$TMP/claude" CODEX_HOME="$TMP/codex" PATH="$FAKES:/usr/bin:/bin"
export QUOTADIAL_FAKE_CODEX_SCRIPT="$TMP/script"
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" "$CODEX_HOME" && chmod 700 "$XDG_RUNTIME_DIR"
printf 'expect initialize\nsend {"id":${id},"result":{}}\nburst %s\nserve\n' "$UPDATES" >"$TMP/script"

/usr/bin/time -f '%U %S %M' -o "$TMP/time" "$BIN" --headless >/dev/null 2>&1 &
APP_PID=$!
sleep "$RUN_SECONDS"
# /usr/bin/time's child is the program itself.
TARGET="$(pgrep -P "$APP_PID" -x quotadial || echo "$APP_PID")"
START=$(date +%s.%N)
kill -TERM "$TARGET"
wait "$APP_PID" || true
END=$(date +%s.%N)
APP_PID=
read -r USER_S SYS_S MAX_KB <"$TMP/time"
LINES=$(wc -l <"$XDG_DATA_HOME/Quotadial/snapshots.ndjson" 2>/dev/null || echo 0)
printf 'updates=%s run=%ss stored_lines=%s cpu_seconds=%.2f peak_rss_mb=%.1f exit_after_sigterm_s=%.2f\n' \
  "$UPDATES" "$RUN_SECONDS" "$LINES" "$(echo "$USER_S + $SYS_S" | bc -l)" "$(echo "$MAX_KB / 1024" | bc -l)" \
  "$(echo "$END - $START" | bc -l)"
