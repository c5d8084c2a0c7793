#!/usr/bin/env python3
"""Cost of `quotadial --status --format waybar --follow`: time from an appended
reading to the printed line, processor time while nothing changes (read from
/proc), and the time to exit once the bar closes the pipe.
    python3 bench/status_bar_follow.py [idle-seconds=125] [build/default/quotadial]
Runs with a throw-away HOME and data directory."""
import datetime
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

idle = float(sys.argv[1]) if len(sys.argv) > 1 else 125
binary = os.path.realpath(sys.argv[2] if len(sys.argv) > 2 else "build/default/quotadial")
home = tempfile.mkdtemp(prefix="qd-follow-")
data = os.path.join(home, "data", "Quotadial")
os.makedirs(data)
env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "NO_COLOR")}
env.update(HOME=home, XDG_DATA_HOME=os.path.join(home, "data"),
           CLAUDE_CONFIG_DIR=os.path.join(home, "claude"), CODEX_HOME=os.path.join(home, "codex"))
store = os.path.join(data, "snapshots.ndjson")


def utc(delta_seconds):
    t = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=delta_seconds)
    return t.strftime("%Y-%m-%dT%H:%M:%S.000Z")


def reading(n, used, age):
    return json.dumps({"id": "00000000-0000-4000-8000-%012d" % n, "provider": "codex", "windowKind": "fiveHour",
                       "timestamp": utc(-age), "usedPercent": used, "remainingPercent": 100 - used,
                       "resetAt": utc(7200), "windowDurationMins": 300, "source": "codex.app-server",
                       "sourceConfidence": "high"}) + "\n"


with open(store, "w") as f:
    f.write(reading(1, 10, 1200) + reading(2, 20, 600))
subprocess.run([binary, "--set", "menuBarDisplayMode=compact"], env=env, check=True, capture_output=True)
bar = subprocess.Popen([binary, "--status", "--format", "waybar", "--follow"], env=env, stdout=subprocess.PIPE)
print("first line:", json.loads(bar.stdout.readline())["text"])


def cpu_ticks():
    fields = open(f"/proc/{bar.pid}/stat").read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


time.sleep(2)
for i in range(3):
    start = time.monotonic()
    with open(store, "a") as f:
        f.write(reading(10 + i, 30 + 5 * i, 0))
    text = json.loads(bar.stdout.readline())["text"]
    print("appended reading -> line in %.3f s: %s" % (time.monotonic() - start, text))
    time.sleep(1)

ticks, start = cpu_ticks(), time.monotonic()
time.sleep(idle)
hz = os.sysconf("SC_CLK_TCK")
print("idle %.0f s: %d clock ticks of CPU (1 tick = %.0f ms)" % (time.monotonic() - start, cpu_ticks() - ticks,
                                                                  1000 / hz))
bar.stdout.close()
start = time.monotonic()
print("exit status %d, %.3f s after the pipe closed" % (bar.wait(timeout=30), time.monotonic() - start))
shutil.rmtree(home, ignore_errors=True)
