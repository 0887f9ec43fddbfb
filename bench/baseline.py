"""The monitor as a user would write it in plain Python, with the standard
library only: urllib for HTTP, json for the codec, an atomic save of the state
file, the same alert and snapshot texts. The benchmarks measure kilnguard
against it; it reads the same environment variables, so both talk to the same
servers and write the same files."""

import json
import os
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

LISTING_PATH = "/api/subnet/latest/v1"
USER_AGENT = ("Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
              "Chrome/131.0.0.0 Safari/537.36")
PIECE_LENGTH = 3900


def log(line):
    sys.stderr.write(line + "\n")


def http_get_json(path, params, auth):
    base = os.environ.get("TAOSTATS_API_BASE", "https://api.taostats.io").rstrip("/")
    query = "&".join(f"{k}={v}" for k, v in params.items() if v is not None and v != "")
    url = base + path + ("?" + query if query else "")
    request = urllib.request.Request(url, headers={
        "Authorization": auth,
        "User-Agent": os.environ.get("TAOSTATS_USER_AGENT", USER_AGENT),
        "Accept": "application/json, text/plain, */*",
        "Accept-Language": "en-US,en;q=0.9",
    })
    try:
        with urllib.request.urlopen(request, timeout=60) as reply:
            return json.loads(reply.read().decode("utf-8"))
    except urllib.error.HTTPError as error:
        text = error.read().decode("utf-8")
        try:
            payload = json.loads(text)
        except json.JSONDecodeError:
            payload = {"status_code": error.code, "message": text or error.reason}
        payload["http_status"] = error.code
        return payload


def fetch_rows(auth):
    delay = 2.0
    for attempt in range(6):
        payload = http_get_json(LISTING_PATH, {"limit": 1024, "order": "netuid_asc"}, auth)
        throttled = (payload.get("status_code") == 429
                     or "Rate Limited" in str(payload.get("message", "")))
        if not throttled or attempt == 5:
            break
        time.sleep(delay)
        delay = min(delay * 1.8, 120.0)
    rows = payload.get("data") or []
    if not rows:
        return {"error": "no_subnet_rows", "response": payload}
    return rows


def owner_burn(row):
    value = row.get("incentive_burn")
    return str(value) if value else "0"


def display(rate):
    try:
        return format(float(rate), ".4f")
    except ValueError:
        return rate


def changed(old, new, threshold):
    try:
        return abs(float(old) - float(new)) > threshold
    except ValueError:
        return old != new


def load_state(path):
    try:
        with open(path, encoding="utf-8") as f:
            document = json.load(f)
    except (OSError, json.JSONDecodeError):
        return {}
    burns = document.get("owner_burn_rate")
    return {k: str(v) for k, v in burns.items()} if isinstance(burns, dict) else {}


def save_state(path, burns, updated_at):
    text = json.dumps({"owner_burn_rate": burns, "updated_at_utc": updated_at},
                      indent=2, sort_keys=True) + "\n"
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=".burn_state.")
    try:
        with os.fdopen(fd, "w", encoding="ascii") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def diff(prev, current, threshold):
    changes = []
    for netuid in sorted(current, key=int):
        old = prev.get(netuid)
        if old is not None and changed(old, current[netuid], threshold):
            changes.append((netuid, old, current[netuid]))
    return changes


def format_alert(changes, updated_at):
    lines = ["Owner burn rate changed", f"{updated_at} UTC", ""]
    lines += [f"SN{n}: {display(old)} → {display(new)}" for n, old, new in changes]
    return "\n".join(lines)


def format_snapshot(rows, updated_at):
    lines = ["Subnet owner burn rates (startup)", f"{updated_at} UTC", f"{len(rows)} subnets", ""]
    for row in sorted(rows, key=lambda r: int(r.get("netuid", 0))):
        lines.append(f"SN{row['netuid']}: {display(owner_burn(row))}")
    return "\n".join(lines)


def chunk_text(text, max_len=PIECE_LENGTH):
    if len(text) <= max_len:
        return [text]
    lines = text.split("\n")
    # An alert has two header lines and an empty third one; a snapshot three
    # header lines and an empty fourth one.
    cut = 2 if len(lines) >= 4 and lines[2] == "" else 3
    header, body = lines[:cut], lines[cut + 1:]
    if not body:
        return ["\n".join(header)]
    pieces, piece = [], header + [""]
    for line in body:
        if len("\n".join(piece + [line])) > max_len and len(piece) > cut + 1:
            pieces.append("\n".join(piece))
            piece = header + [""]
        piece.append(line)
    pieces.append("\n".join(piece))
    return pieces


def send_telegram(text, token, chat_id):
    if not token or not chat_id:
        return False, "burn telegram not configured"
    base = os.environ.get("TELEGRAM_API_BASE", "https://api.telegram.org").rstrip("/")
    body = urllib.parse.urlencode({"chat_id": chat_id, "text": text,
                                   "disable_web_page_preview": "true"}).encode()
    request = urllib.request.Request(f"{base}/bot{token}/sendMessage", data=body, headers={
        "Content-Type": "application/x-www-form-urlencoded"})
    try:
        with urllib.request.urlopen(request, timeout=30) as reply:
            answer = json.loads(reply.read().decode("utf-8"))
    except urllib.error.HTTPError as error:
        text = error.read().decode("utf-8")
        try:
            return False, json.loads(text).get("description") or text[:300]
        except json.JSONDecodeError:
            return False, text or str(error)
    except OSError as error:
        return False, str(error)
    return (True, "") if answer.get("ok") else (False, str(answer))


def send_messages(text, token, chat_id):
    pieces = chunk_text(text)
    for i, piece in enumerate(pieces, 1):
        message = f"({i}/{len(pieces)})\n{piece}" if len(pieces) > 1 else piece
        ok, error = send_telegram(message, token, chat_id)
        if not ok:
            return False, error
        if i < len(pieces):
            time.sleep(0.4)
    return True, ""


def run_once(state_path, threshold, token, chat_id):
    auth = os.environ.get("TAOSTATS_API_KEY", "").strip()
    if not auth:
        log("[burn] taostats API not available (must be bundled in package defaults)")
        return 1
    updated_at = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
    rows = fetch_rows(auth)
    if isinstance(rows, dict):
        log("[burn] fetch failed: " + json.dumps(rows))
        return 1
    current = {}
    for row in rows:
        if row.get("netuid") is not None:
            current[str(row["netuid"])] = owner_burn(row)
    prev = load_state(state_path)
    changes = diff(prev, current, threshold) if prev else []
    save_state(state_path, current, updated_at)
    if not changes:
        return 0
    ok, error = send_messages(format_alert(changes, updated_at), token, chat_id)
    log(f"[burn] alert sent ({len(changes)} subnet(s))" if ok else f"[burn] telegram failed: {error}")
    return 0 if ok else 1


def is_paused(pause_path):
    return bool(pause_path) and os.path.isfile(pause_path)


def sleep_until_interval(seconds, pause_path):
    remaining = seconds
    while remaining > 0:
        if is_paused(pause_path):
            return False
        step = min(1.0, remaining)
        time.sleep(step)
        remaining -= step
    return not is_paused(pause_path)


def poll_loop(state_path, threshold, interval_minutes, token, chat_id, pause_path=""):
    interval = interval_minutes * 60 if interval_minutes > 1 else 60.0
    while sleep_until_interval(interval, pause_path) and not is_paused(pause_path):
        try:
            run_once(state_path, threshold, token, chat_id)
        except Exception as error:  # noqa: BLE001 - the loop outlives a bad pass
            log(f"[burn] error: {error}")
    log("[burn] monitoring paused")
