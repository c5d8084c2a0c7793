#!/usr/bin/env python3
# Quotadial's Claude Code status-line bridge.
#
# Claude Code runs this through the shell at every status-line redraw and passes
# one JSON object on standard input. The bridge records Claude's quota windows as
# snapshot lines in snapshots.ndjson (under the same flock as Quotadial), keeps
# Claude Code's current model and effort in claude-meta.json, and prints a status
# line: the user's former command's output when claude-prev-statusline.json names
# one, else a short line of its own.
#
# It must never break the status line: every stage is guarded, and it always
# exits 0. Python 3 standard library only.

import datetime
import errno
import fcntl
import json
import math
import os
import select
import subprocess
import sys
import time
import uuid

SNAPSHOTS = "snapshots.ndjson"
LOCK = "snapshots.ndjson.lock"
META = "claude-meta.json"
PREVIOUS = "claude-prev-statusline.json"
LAST_WRITTEN = "claude-statusline-last.json"

STDIN_LIMIT = 1 << 20          # bytes; Claude Code's object is a few kilobytes
STDIN_WAIT = 0.15              # seconds to wait for input that never ends
LOCK_WAIT = 0.1                # seconds to wait for Quotadial's lock
REPEAT_SECONDS = 60            # an unchanged reading is written at most this often
WRAPPED_TIMEOUT = 10           # seconds the former status-line command may take
MILLISECONDS_ABOVE = 5_000_000_000

WINDOWS = (
    # input key, windowKind, windowDurationMins, label in our own status line
    ("five_hour", "fiveHour", 300.0, "5h"),
    ("seven_day", "sevenDay", 10080.0, "7d"),
)


def support_directory():
    """The application-support directory: where the deployed copy of this script
    lives; a copy run from elsewhere (the source tree) uses the usual location."""
    here = os.path.dirname(os.path.realpath(__file__))
    if os.path.basename(here) == "Quotadial" or os.path.exists(os.path.join(here, SNAPSHOTS)):
        return here
    data = os.environ.get("XDG_DATA_HOME") or ""
    if not os.path.isabs(data):
        data = os.path.join(os.path.expanduser("~"), ".local", "share")
    return os.path.join(data, "Quotadial")


def read_stdin():
    """All of standard input, without hanging when nobody closes it."""
    chunks, size = [], 0
    fd = sys.stdin.fileno()
    deadline = time.monotonic() + STDIN_WAIT
    while size < STDIN_LIMIT:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            break
        ready, _, _ = select.select([fd], [], [], remaining)
        if not ready:
            break
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        chunks.append(chunk)
        size += len(chunk)
    return b"".join(chunks)


def iso8601(seconds):
    return datetime.datetime.fromtimestamp(int(seconds), datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def finite_number(value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    value = float(value)
    return value if math.isfinite(value) else None


def reset_seconds(value):
    """`resets_at` as Unix seconds: a number (seconds, or milliseconds above 5e9)
    or ISO-8601 text."""
    number = finite_number(value)
    if number is not None:
        seconds = number / 1000.0 if number > MILLISECONDS_ABOVE else number
        return seconds if 0 < seconds < 253402300800 else None
    if isinstance(value, str) and value.strip():
        text = value.strip()
        if text[-1] in "zZ":
            text = text[:-1] + "+00:00"
        # Older Pythons take at most six fraction digits.
        if "." in text:
            head, _, tail = text.partition(".")
            digits = len(tail) - len(tail.lstrip("0123456789"))
            text = head + "." + tail[:min(digits, 6)].ljust(6, "0") + tail[digits:]
        try:
            moment = datetime.datetime.fromisoformat(text)
        except ValueError:
            return None
        if moment.tzinfo is None:
            moment = moment.replace(tzinfo=datetime.timezone.utc)
        return moment.timestamp()
    return None


def text_member(obj, *path):
    for key in path:
        if not isinstance(obj, dict):
            return None
        obj = obj.get(key)
    return obj if isinstance(obj, str) and obj else None


def current_settings(payload):
    settings = {}
    model_id = text_member(payload, "model", "id")
    display = text_member(payload, "model", "display_name")
    effort = text_member(payload, "effort", "level")
    thinking = payload.get("thinking") if isinstance(payload, dict) else None
    if model_id:
        settings["modelId"] = model_id
    if display:
        settings["modelDisplayName"] = display
    if effort:
        settings["effortLevel"] = effort
    if isinstance(thinking, dict) and isinstance(thinking.get("enabled"), bool):
        settings["thinkingEnabled"] = thinking["enabled"]
    return settings


def readings(payload):
    """(windowKind, minutes, used, reset seconds or None) per window present."""
    limits = payload.get("rate_limits") if isinstance(payload, dict) else None
    if not isinstance(limits, dict):
        return []
    out = []
    for key, kind, minutes, _ in WINDOWS:
        window = limits.get(key)
        if not isinstance(window, dict):
            continue
        used = finite_number(window.get("used_percentage"))
        if used is None:
            continue
        # Claude Code computes the percentage in floating point (55.00000000000001):
        # two decimals keep every real step and drop the noise.
        used = round(min(max(used, 0.0), 100.0), 2)
        out.append((kind, minutes, used, reset_seconds(window.get("resets_at"))))
    return out


def write_all(fd, data):
    view = memoryview(data)
    while view:
        written = os.write(fd, view)
        if written <= 0:
            raise OSError(errno.EIO, "no progress")
        view = view[written:]


def write_atomically(path, data, mode=0o644):
    """Replaces path in one step; on any failure (a full disk) the temporary file
    goes too, and path keeps its content."""
    directory = os.path.dirname(path)
    tmp = os.path.join(directory, ".%s.tmp-%d" % (os.path.basename(path), os.getpid()))
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, mode)
    try:
        try:
            write_all(fd, data)
        finally:
            os.close(fd)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def append_lines(path, data):
    """Appends whole lines as Quotadial does: a torn last line (no line feed) gets
    one first, so the new line is not glued to it; a short write (a full disk) is
    cut off again, so no half line is left for the next append to run into."""
    fd = os.open(path, os.O_RDWR | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        before = os.fstat(fd).st_size
        if before > 0 and os.pread(fd, 1, before - 1) not in (b"\n", b"\r"):
            data = b"\n" + data
        try:
            write_all(fd, data)
        except BaseException:
            try:
                os.ftruncate(fd, before)
            except OSError:
                pass
            raise
    finally:
        os.close(fd)


def take_lock(path):
    """The exclusive flock Quotadial takes for every append and rewrite, or None
    when it stays busy (this redraw's reading is then skipped, not waited for)."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    deadline = time.monotonic() + LOCK_WAIT
    while True:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return fd
        except OSError as error:
            if error.errno not in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EINTR) or time.monotonic() >= deadline:
                os.close(fd)
                return None
            time.sleep(0.005)


def record_snapshots(base, payload, settings, now):
    found = readings(payload)
    if not found:
        return
    lock = take_lock(os.path.join(base, LOCK))
    if lock is None:
        return
    try:
        memory_path = os.path.join(base, LAST_WRITTEN)
        try:
            with open(memory_path, "r", encoding="utf-8") as handle:
                memory = json.load(handle)
            if not isinstance(memory, dict):
                memory = {}
        except (OSError, ValueError):
            memory = {}

        lines = []
        for kind, minutes, used, reset in found:
            values = [used, reset, settings.get("modelId"), settings.get("effortLevel"), settings.get("thinkingEnabled")]
            last = memory.get(kind)
            if (isinstance(last, dict) and last.get("values") == values
                    and isinstance(last.get("at"), (int, float)) and 0 <= now - last["at"] < REPEAT_SECONDS):
                continue
            line = {
                "id": str(uuid.uuid4()).upper(),
                "provider": "claude",
                "timestamp": iso8601(now),
                "windowKind": kind,
                "usedPercent": used,
                "remainingPercent": round(max(0.0, 100.0 - used), 2),
            }
            if reset is not None:
                line["resetAt"] = iso8601(reset)
            line["windowDurationMins"] = minutes
            for key in ("modelId", "modelDisplayName", "effortLevel", "thinkingEnabled"):
                if key in settings:
                    line[key] = settings[key]
            line["source"] = "claude.statusline"
            line["sourceConfidence"] = "high"
            lines.append(json.dumps(line, ensure_ascii=False, separators=(",", ":")))
            memory[kind] = {"values": values, "at": now}

        if not lines:
            return
        append_lines(os.path.join(base, SNAPSHOTS), ("\n".join(lines) + "\n").encode("utf-8"))
        write_atomically(memory_path, json.dumps(memory).encode("utf-8"))
    finally:
        os.close(lock)


def record_settings(base, settings, now):
    if not settings:
        return
    meta = dict(settings)
    meta["capturedAt"] = iso8601(now)
    write_atomically(os.path.join(base, META), json.dumps(meta, ensure_ascii=False, separators=(",", ":")).encode("utf-8"))


def previous_command(base):
    try:
        with open(os.path.join(base, PREVIOUS), "r", encoding="utf-8") as handle:
            stored = json.load(handle)
    except (OSError, ValueError):
        return None
    command = stored.get("command") if isinstance(stored, dict) else None
    return command if isinstance(command, str) and command.strip() else None


def run_wrapped(command, raw):
    try:
        result = subprocess.run(["/bin/sh", "-c", command], input=raw, stdout=subprocess.PIPE,
                                timeout=WRAPPED_TIMEOUT)
        return result.stdout
    except subprocess.TimeoutExpired as expired:
        return expired.stdout or b""
    except OSError:
        return b""


def own_line(payload, settings):
    parts = []
    name = settings.get("modelDisplayName") or settings.get("modelId")
    if name:
        parts.append(name)
    limits = payload.get("rate_limits") if isinstance(payload, dict) else None
    for key, _, _, label in WINDOWS:
        window = limits.get(key) if isinstance(limits, dict) else None
        used = finite_number(window.get("used_percentage")) if isinstance(window, dict) else None
        if used is not None:
            parts.append("%s %d%%" % (label, round(used)))
    return " \u00b7 ".join(parts) if parts else "Claude"


def main():
    raw = b""
    payload = {}
    settings = {}
    now = time.time()
    try:
        raw = read_stdin()
        decoded = json.loads(raw.decode("utf-8", errors="replace")) if raw.strip() else {}
        payload = decoded if isinstance(decoded, dict) else {}
    except Exception:
        payload = {}
    try:
        settings = current_settings(payload)
    except Exception:
        settings = {}

    base = None
    try:
        base = support_directory()
        os.makedirs(base, exist_ok=True)
    except Exception:
        base = None
    if base:
        for stage in (lambda: record_snapshots(base, payload, settings, now),
                      lambda: record_settings(base, settings, now)):
            try:
                stage()
            except Exception:
                pass

    output = None
    try:
        command = previous_command(base) if base else None
        if command:
            output = run_wrapped(command, raw)
    except Exception:
        output = None
    try:
        if output is not None:
            sys.stdout.buffer.write(output)
        else:
            sys.stdout.write(own_line(payload, settings) + "\n")
        sys.stdout.flush()
    except Exception:
        pass
    return 0


if __name__ == "__main__":
    try:
        main()
    except BaseException:
        pass
    os._exit(0)
