#!/usr/bin/env bash
# `quotadial --status --json` as a whole process over a given snapshot file and
# transcript home, against the same call over an empty store and no transcripts,
# timed by farm-bench (medians of paired runs; peak memory of the process).
#   bash bench/status_bench.sh SNAPSHOTS [home-with-transcripts] [runs=7] [binary]
# The data folder is a throw-away copy; the first (warm-up) run makes the history
# cache that later runs reuse, as a status bar's repeated calls would.
set -euo pipefail
cd "$(dirname "$0")/.."
STORE="$(realpath "$1")"
HOMEDIR="${2:-}"
RUNS="${3:-7}"
BIN="$(realpath "${4:-build/default/quotadial}")"
TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
mkdir -p "$TMP/full/Quotadial" "$TMP/empty/Quotadial" "$TMP/emptyhome" "$TMP/run" && chmod 700 "$TMP/run"
cp "$STORE" "$TMP/full/Quotadial/snapshots.ndjson"
: >"$TMP/empty/Quotadial/snapshots.ndjson"
[ -n "$HOMEDIR" ] || HOMEDIR="$TMP/emptyhome"
common=(env -u CLAUDE_CONFIG_DIR -u CODEX_HOME "XDG_RUNTIME_DIR=$TMP/run" "XDG_CONFIG_HOME=$TMP/config")
farm-bench -n "$RUNS" --warmup 1 --timeout 900 \
  --vs "${common[*]} HOME=$TMP/emptyhome XDG_DATA_HOME=$TMP/empty $BIN --status --json" \
  -- "${common[@]}" "HOME=$HOMEDIR" "XDG_DATA_HOME=$TMP/full" "$BIN" --status --json
