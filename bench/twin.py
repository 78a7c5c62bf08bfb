"""A straightforward plain-Python module with the same behaviour as ashvigil's measured functions.

The bench runs it side by side with the extension. It is written the way a Python developer would
write the module (sibling functions called through the module's globals, host conversions by
float(), str() and format()), so the ratios show what the native module buys. Neither the module
nor the tests use it.
"""

import json
import os
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
from datetime import datetime, timezone

OWNER_BURN_DECIMALS = 4

_DEFAULT_BASE = "https://api.taostats.io"
_DEFAULT_USER_AGENT = (
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/131.0.0.0 Safari/537.36"
)


def api_base():
    return os.environ.get("TAOSTATS_API_BASE", _DEFAULT_BASE).rstrip("/")


def taostats_auth():
    key = os.environ.get("TAOSTATS_API_KEY", "").strip()
    return key or None


def request_headers(auth):
    return {
        "Authorization": auth,
        "User-Agent": os.environ.get("TAOSTATS_USER_AGENT", _DEFAULT_USER_AGENT),
        "Accept": "application/json, text/plain, */*",
        "Accept-Language": "en-US,en;q=0.9",
    }


def http_get_json(path, params, auth):
    query = "&".join(f"{k}={v}" for k, v in params.items() if v is not None and v != "")
    url = api_base() + path + ("?" + query if query else "")
    req = urllib.request.Request(url, headers=request_headers(auth))
    try:
        with urllib.request.urlopen(req, timeout=60) as resp:
            text = resp.read().decode("utf-8")
    except urllib.error.HTTPError as e:
        body = e.read().decode("utf-8") if e.fp is not None else ""
        e.close()
        try:
            data = json.loads(body)
            data["http_status"] = e.code
            return data
        except json.JSONDecodeError:
            return {"status_code": e.code, "message": body or e.reason, "http_status": e.code}
    try:
        return json.loads(text)
    except json.JSONDecodeError as e:
        return {"parse_error": str(e), "raw": text[:500]}


def is_rate_limited(payload):
    status = payload.get("status_code")
    if not isinstance(status, bool) and isinstance(status, (int, float)) and status == 429:
        return True
    message = payload.get("message", "")
    return "Rate Limited" in (message if isinstance(message, str) else str(message))


def with_retries(path, params, auth, *, max_retries=6):
    delay = 2.0
    for attempt in range(max_retries):
        payload = http_get_json(path, params, auth)
        if not is_rate_limited(payload) or attempt == max_retries - 1:
            return payload
        time.sleep(delay)
        delay = min(delay * 1.8, 120.0)
    raise ValueError(f"max_retries must be at least 1, got {max_retries}")


def fetch_all_subnets_latest(auth):
    payload = with_retries("/api/subnet/latest/v1", {"limit": 1024, "order": "netuid_asc"}, auth)
    rows = payload.get("data")
    if rows:
        return rows
    return {"error": "no_subnet_rows", "response": payload}


def owner_burn_from_row(row):
    value = row.get("incentive_burn")
    return str(value) if value else "0"


def format_owner_burn(value):
    try:
        return format(float(value), f".{OWNER_BURN_DECIMALS}f")
    except (TypeError, ValueError):
        return value


def owner_burn_changed(old, new, threshold):
    try:
        return abs(float(old) - float(new)) > threshold
    except ValueError:
        return old != new


def load_burn_state(path):
    if not os.path.isfile(path):
        return {}
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, json.JSONDecodeError):
        return {}
    stored = data.get("owner_burn_rate")
    if not isinstance(stored, dict):
        return {}
    return {str(k): str(v) for k, v in stored.items()}


def save_burn_state(path, burns, updated_at):
    """The same whole-file replacement as the module: temporary file, fsync, rename."""
    text = json.dumps({"updated_at_utc": updated_at, "owner_burn_rate": burns}, indent=2, sort_keys=True) + "\n"
    folder = os.path.dirname(path) or "."
    temp = os.path.join(folder, f".twin-{os.getpid()}.tmp")
    with open(temp, "w", encoding="utf-8") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())
    os.replace(temp, path)
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def diff_burns(prev, current, threshold):
    changes = []
    for netuid, new in sorted(current.items(), key=lambda kv: int(kv[0])):
        old = prev.get(netuid)
        if old is None:
            continue
        if owner_burn_changed(old, new, threshold):
            changes.append((netuid, old, new))
    return changes


def format_burn_alert(changes, updated_at):
    lines = ["Owner burn rate changed", f"{updated_at} UTC", ""]
    for netuid, old, new in changes:
        lines.append(f"SN{netuid}: {format_owner_burn(old)} \u2192 {format_owner_burn(new)}")
    return "\n".join(lines)


def format_burn_snapshot(rows, updated_at):
    lines = ["Subnet owner burn rates (startup)", f"{updated_at} UTC", f"{len(rows)} subnets", ""]

    def key(r):
        return int(r.get("netuid", 0))

    for row in sorted(rows, key=key):
        lines.append(f"SN{row.get('netuid')}: {format_owner_burn(owner_burn_from_row(row))}")
    return "\n".join(lines)


def _chunk_text(text, max_len=3900):
    if len(text) <= max_len:
        return [text]
    lines = text.split("\n")
    if len(lines) <= 3:
        return [text]
    # The header ends at the first empty line among the first four (the module's rule).
    size = next((i for i in range(4) if lines[i] == ""), 3)
    header = lines[:size]
    body = lines[size + 1 :] if size < 3 or lines[3] == "" else lines[3:]
    chunks = []
    current = header + ([""] if body else [])
    for line in body:
        candidate = "\n".join([*current, line])
        if len(candidate) > max_len and len(current) > len(header) + 1:
            chunks.append("\n".join(current))
            current = [*header, "", line]
        else:
            current.append(line)
    chunks.append("\n".join(current))
    return chunks


def run_ashvigil_once(*, state_path, threshold, burn_token, burn_chat_id):
    """The watch cycle, up to the alert (the bench's cycles find no change to deliver)."""
    auth = taostats_auth()
    if not auth:
        sys.stderr.write("[burn] taostats API not available (must be bundled in package defaults)\n")
        return 1
    updated_at = datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    rows = fetch_all_subnets_latest(auth)
    if isinstance(rows, dict) and rows.get("error"):
        sys.stderr.write(f"[burn] fetch failed: {json.dumps(rows)}\n")
        return 1
    current = {}
    for row in rows:
        if "netuid" in row:
            current[str(row["netuid"])] = owner_burn_from_row(row)
    prev = load_burn_state(state_path)
    changes = diff_burns(prev, current, threshold) if prev else []
    save_burn_state(state_path, current, updated_at)
    if not changes:
        return 0
    raise RuntimeError("the bench's cycles are not meant to find changes")
