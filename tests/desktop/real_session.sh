#!/usr/bin/env bash
# The tray app in a real desktop session: Xvfb, a private session bus,
# xfce4-panel (whose systray hosts StatusNotifierItems and draws their menus)
# and dunst. Drives it with xdotool as a user would and checks, over D-Bus and
# the X server, that
#   the item registers; a left click opens the popover and a second click on
#   the icon closes it; Ctrl+Alt+G and `quotadial --toggle` open and close it;
#   the item's menu entries work; an alert reaches dunst; `--toggle` with no
#   copy running shows the screens.
# A screenshot of each screen goes to SHOTS_DIR.
#
# usage: real_session.sh QUOTADIAL FAKES_DIR [SHOTS_DIR]
#   FAKES_DIR holds the test build's stand-in `codex` (live figures high
#   enough to raise alerts). Exit 77 (skipped) when a program is missing.
set -uo pipefail

quotadial=${1:?usage: real_session.sh QUOTADIAL FAKES_DIR [SHOTS_DIR]}
fakes=${2:?usage: real_session.sh QUOTADIAL FAKES_DIR [SHOTS_DIR]}
work=$(mktemp -d "${TMPDIR:-/tmp}/qd-session-XXXXXX")
shots=${3:-$(mktemp -d "${TMPDIR:-/tmp}/qd-shots-XXXXXX")}
mkdir -p "$shots"

for tool in Xvfb xfce4-panel dunst dunstctl xdotool dbus-daemon dbus-send dbus-monitor import; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (Debian: xvfb xfce4-panel dunst xdotool dbus imagemagick)"
    exit 77
  fi
done

pids=()
cleanup() {
  local pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  [ -n "${bus_pid:-}" ] && kill "$bus_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# Polls `$@` every 0.1 s until it succeeds or `deadline` seconds have passed.
wait_for() {
  local deadline=$1
  shift
  local end=$((SECONDS + deadline))
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -ge "$end" ] && return 1
    sleep 0.1
  done
}
# Succeeds when `$@` keeps succeeding for `hold` whole seconds (a window that must not come back).
holds_for() {
  local hold=$1
  shift
  local end=$((SECONDS + hold))
  while [ "$SECONDS" -lt "$end" ]; do
    "$@" >/dev/null 2>&1 || return 1
    sleep 0.1
  done
}

# --- the session --------------------------------------------------------------
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
export XDG_CACHE_HOME=$work/home/.cache XDG_RUNTIME_DIR=$work/run
export CODEX_HOME=$work/home/.codex CLAUDE_CONFIG_DIR=$work/home/.claude
export PATH="$fakes:$PATH" NO_AT_BRIDGE=1 LANG=C.UTF-8 TZ=UTC
unset WAYLAND_DISPLAY QT_QPA_PLATFORM SESSION_MANAGER
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/Quotadial" "$XDG_CACHE_HOME" "$CODEX_HOME" "$CLAUDE_CONFIG_DIR"
mkdir -m 0700 -p "$XDG_RUNTIME_DIR"

Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 20 test -s "$work/display" || { echo "Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"

eval "$(dbus-daemon --session --fork --print-address=1 --print-pid=1 |
  { read -r a; read -r p; echo "export DBUS_SESSION_BUS_ADDRESS='$a'; bus_pid=$p"; })"

# One top panel holding only the notification area.
panel_xml=$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml
mkdir -p "$(dirname "$panel_xml")"
cat >"$panel_xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="32"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
XML

has_name() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner "string:$1" | grep -q 'boolean true'
}

xfce4-panel --disable-wm-check >"$work/panel.log" 2>&1 &
pids+=($!)
dunst >"$work/dunst.log" 2>&1 &
pids+=($!)
wait_for 30 has_name org.kde.StatusNotifierWatcher || { echo "no StatusNotifierWatcher"; cat "$work/panel.log"; exit 1; }
wait_for 30 has_name org.freedesktop.Notifications || { echo "dunst did not start"; cat "$work/dunst.log"; exit 1; }

dbus-monitor --session "interface='org.freedesktop.Notifications',member='Notify'" >"$work/notify.log" 2>&1 &
pids+=($!)
# The panel asks the item's exported menu what to show each time it opens it.
dbus-monitor --session "interface='com.canonical.dbusmenu'" >"$work/menu.log" 2>&1 &
pids+=($!)

# Live figures from the stand-in Codex, high enough for several alerts at once.
now=$(date +%s)
export QUOTADIAL_FAKE_CODEX_PAYLOAD="{\"rateLimits\":{\"limitId\":\"codex\",\"limitName\":null,\"primary\":{\"usedPercent\":82,\"windowDurationMins\":300,\"resetsAt\":$((now + 2400))},\"secondary\":{\"usedPercent\":64,\"windowDurationMins\":10080,\"resetsAt\":$((now + 3 * 86400))},\"credits\":null,\"planType\":\"pro\",\"rateLimitReachedType\":null}}"
cat >"$XDG_DATA_HOME/Quotadial/settings.json" <<JSON
{"hasOnboarded": true, "notificationsEnabled": true, "enabledProviders": ["codex"]}
JSON

screenshot() { import -window root "$shots/$1.png" && echo "screenshot: $shots/$1.png"; }
popover_shown() { xdotool search --onlyvisible --name "^Quotadial" >/dev/null; }
popover_hidden() { ! popover_shown; }
registered() {
  dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
    org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher \
    string:RegisteredStatusNotifierItems | grep -q "$1"
}
app_running() { kill -0 "$app_pid" 2>/dev/null; }

start_app() {
  "$quotadial" "$@" >>"$work/app.log" 2>&1 &
  app_pid=$!
  pids+=("$app_pid")
}

# --- checks -------------------------------------------------------------------
start_app
if wait_for 30 registered "org.kde.StatusNotifierItem-$app_pid"; then
  pass "the item registers with the panel's watcher"
else
  fail "the item did not register"; cat "$work/app.log"
fi

# The icon: the first item of the notification area in the top panel.
panel=$(xdotool search --onlyvisible --class xfce4-panel | head -n1)
eval "$(xdotool getwindowgeometry --shell "$panel")"
icon_x=$((X + 16)) icon_y=$((Y + HEIGHT / 2))
click_icon() { xdotool mousemove "$icon_x" "$icon_y" click "${1:-1}"; }
# The first live figures cross several alert thresholds at once: one bubble.
wait_for 30 grep -q 'Codex 5h usage high' "$work/notify.log"
sleep 0.5  # dunst draws the bubble after the call returns
screenshot 01-panel-and-alert

click_icon
if wait_for 10 popover_shown; then pass "a left click opens the popover"; else fail "a left click opened nothing"; fi
sleep 0.5  # let the charts' reveal finish before the picture
screenshot 02-popover-main
click_icon
if wait_for 5 popover_hidden && holds_for 2 popover_hidden; then
  pass "a second click on the icon closes the popover"
else
  fail "a second click on the icon did not close the popover (or it opened again)"
fi

xdotool key ctrl+alt+g
if wait_for 5 popover_shown; then pass "Ctrl+Alt+G opens"; else fail "Ctrl+Alt+G opened nothing"; fi
sleep 0.5  # presses less than 0.3 s apart count as the key's auto-repeat
xdotool key ctrl+alt+g
if wait_for 5 popover_hidden && holds_for 2 popover_hidden; then pass "Ctrl+Alt+G closes"; else fail "Ctrl+Alt+G did not close"; fi

"$quotadial" --toggle
if wait_for 5 popover_shown; then pass "--toggle opens"; else fail "--toggle opened nothing"; fi
"$quotadial" --toggle
if wait_for 5 popover_hidden; then pass "--toggle closes"; else fail "--toggle did not close"; fi

# The item's menu, drawn by the panel from the exported menu: Open, Refresh, Settings…, Quit.
menu_openings() { grep -c 'member=AboutToShow' "$work/menu.log"; }
menu_open() { [ "$(menu_openings)" -gt "$openings_before" ]; }
menu_entry() {  # $1 = how many entries down, $2 = "shot" for a picture of the open menu
  openings_before=$(menu_openings)
  click_icon 3
  wait_for 5 menu_open || fail "a right click on the icon opened no menu"
  sleep 0.5  # the panel maps the menu and grabs the keyboard after asking for it
  [ "$2" = shot ] && screenshot 03-menu
  xdotool key --delay 80 $(printf 'Down %.0s' $(seq "$1")) Return
}
menu_entry 1 shot
if wait_for 5 popover_shown; then pass "menu: Open Quotadial"; else fail "menu: Open Quotadial showed nothing"; fi
xdotool key Escape
wait_for 5 popover_hidden || fail "Escape did not close the popover"
menu_entry 3 noshot
if wait_for 5 xdotool search --onlyvisible --name "^Quotadial — Settings"; then
  pass "menu: Settings… opens the settings screen"
else
  fail "menu: Settings… did not open the settings screen"
fi
sleep 0.3
screenshot 04-popover-settings
xdotool key Escape
wait_for 5 popover_hidden
menu_entry 2 noshot
if wait_for 5 popover_hidden && app_running; then pass "menu: Refresh keeps running"; else fail "menu: Refresh"; fi

if grep -q 'Codex 5h usage high' "$work/notify.log" && [ "$(dunstctl count history)$(dunstctl count displayed)" != "00" ]; then
  pass "an alert reached dunst ($(grep -c 'member=Notify' "$work/notify.log") notification(s))"
else
  fail "no alert reached dunst"; cat "$work/notify.log"
fi

menu_entry 4 noshot
if wait_for 10 bash -c "! kill -0 $app_pid 2>/dev/null"; then
  wait "$app_pid"; status=$?
  [ "$status" -eq 0 ] && pass "menu: Quit ends the app (status 0)" || fail "menu: Quit ended with status $status"
else
  fail "menu: Quit left the app running"
fi

# `--toggle` with no copy running starts one and shows its screens.
start_app --toggle
if wait_for 30 popover_shown; then pass "--toggle with no copy running shows the screens"; else fail "--toggle with no copy running showed nothing"; fi
sleep 0.5
screenshot 05-toggle-first-copy

echo "screenshots in $shots"
if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed; the app's log:"
  cat "$work/app.log"
  exit 1
fi
echo "all checks passed"
