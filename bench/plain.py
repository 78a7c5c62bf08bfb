"""A plain monitor, as one would write it with the standard library alone: the yardstick of
bench/command.py. Used by neither the command nor the tests.

One cycle: send what an earlier cycle left in the outbox, fetch the listing (urllib, json),
compare every subnet with the stored map, then, in one SQLite transaction (WAL,
synchronous=FULL), queue the alert's pieces and replace the map (the write-ahead); then write the
state file durably (temporary file, fsync, rename, fsync of the folder) and send the pieces,
each deleted from the outbox once Telegram took it.
"""

import json
import math
import os
import sqlite3
import urllib.parse
import urllib.request

PIECE = 3900  # characters of one message, as the module cuts them


def burn_text(row):
    value = row.get("incentive_burn")
    if not value:
        return "0"
    return repr(value) if isinstance(value, float) else str(value)


def moved(old, new, threshold):
    try:
        a, b = float(old), float(new)
    except ValueError:
        return old != new
    return abs(a - b) > threshold


def shown(text):
    try:
        value = float(text)
    except ValueError:
        return text
    return f"{value:.4f}" if math.isfinite(value) else text


def pieces(lines, header):
    """The text in pieces of at most PIECE characters, each repeating the header; no line cut."""
    out, current = [], header
    for line in lines:
        if len(current) + 1 + len(line) > PIECE and current != header:
            out.append(current)
            current = header
        current += "\n" + line
    out.append(current)
    return out


class PlainMonitor:
    def __init__(self, db_path, state_path, api_base, api_key, bot_base, token, chat_id, threshold=0.0001):
        self.state_path, self.threshold = state_path, threshold
        self.listing = api_base + "/api/subnet/latest/v1?limit=1024&order=netuid_asc"
        self.headers = {"Authorization": api_key, "Accept": "application/json"}
        self.send_url, self.chat_id = f"{bot_base}/bot{token}/sendMessage", chat_id
        self.db = sqlite3.connect(db_path, isolation_level=None)
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute("PRAGMA synchronous=FULL")
        self.db.execute("CREATE TABLE IF NOT EXISTS burns (netuid TEXT PRIMARY KEY, burn TEXT NOT NULL) WITHOUT ROWID")
        self.db.execute("CREATE TABLE IF NOT EXISTS outbox (id INTEGER PRIMARY KEY, body TEXT NOT NULL)")

    def cycle(self, stamp):
        self.send_pending()
        request = urllib.request.Request(self.listing, headers=self.headers)
        with urllib.request.urlopen(request, timeout=120) as reply:
            rows = json.loads(reply.read())["data"]
        current = {str(row["netuid"]): burn_text(row) for row in rows}
        previous = dict(self.db.execute("SELECT netuid, burn FROM burns"))
        changes = [
            (n, previous[n], new)
            for n, new in sorted(current.items(), key=lambda item: int(item[0]))
            if n in previous and moved(previous[n], new, self.threshold)
        ]
        header = f"Owner burn rate changed\n{stamp} UTC\n"
        lines = [f"SN{n}: {shown(old)} → {shown(new)}" for n, old, new in changes]
        self.db.execute("BEGIN IMMEDIATE")
        if changes:
            self.db.executemany("INSERT INTO outbox (body) VALUES (?)", [(p,) for p in pieces(lines, header)])
        self.db.execute("DELETE FROM burns")
        self.db.executemany("INSERT INTO burns VALUES (?, ?)", current.items())
        self.db.execute("COMMIT")
        self.save_state(current, stamp)
        self.send_pending()

    def save_state(self, burns, stamp):
        temp = f"{self.state_path}.tmp"
        with open(temp, "w", encoding="utf-8") as f:
            json.dump({"owner_burn_rate": burns, "updated_at": stamp}, f)
            f.flush()
            os.fsync(f.fileno())
        os.rename(temp, self.state_path)
        folder = os.open(os.path.dirname(self.state_path) or ".", os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(folder)
        finally:
            os.close(folder)

    def send_pending(self):
        for piece_id, body in self.db.execute("SELECT id, body FROM outbox ORDER BY id").fetchall():
            form = urllib.parse.urlencode({"chat_id": self.chat_id, "text": body}).encode()
            with urllib.request.urlopen(urllib.request.Request(self.send_url, data=form), timeout=30) as reply:
                if not json.loads(reply.read()).get("ok"):
                    return
            self.db.execute("DELETE FROM outbox WHERE id = ?", (piece_id,))

    def close(self):
        self.db.close()
