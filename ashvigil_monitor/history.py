"""The history of the burn rates in the command's database, and the `history` command.

Every poll is one row of `polls` (its time, whether it succeeded, how many subnets), so that
missing polls show; `moves` holds one row per subnet whose burn text differs from the one last
recorded for it (every subnet on the first poll; NULL when a subnet left the listing). Rows older
than the retention are pruned at most once a day, except each subnet's latest, which stays the
baseline of the next comparison.
"""

from __future__ import annotations

import argparse
import csv
import datetime
import json
import math
import os
import re
import sqlite3
import sys
import time
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass

from ashvigil_monitor import egress, log
from ashvigil_monitor.errors import Failed
from ashvigil_monitor.store import Store
from ashvigil_monitor.times import stamp

SCHEMA = 4  # the database version that holds the history
DAY = 86400
GAP_INTERVALS = 3  # a gap between good polls longer than this many intervals is shown
_SINCE = re.compile(r"(\d+)([dhm])|(\d{4}-\d\d-\d\d)(?:[T ](\d\d:\d\d))?")


utc_text = stamp  # a Unix time as a cycle time stamp


def rate(burn: str | None) -> float | None:
    """The burn text as a number, None when it is missing or not a finite number."""
    try:
        value = float(burn) if burn is not None else math.nan
    except ValueError:
        return None
    return value if math.isfinite(value) else None


# --- writing ---


def record_poll(store: Store, burns: Mapping[str, str], at: int, keep_days: float) -> None:
    """One good poll and the burn texts that differ from the last recorded ones, in one transaction;
    prunes when the last pruning is a day old."""
    db = store.connection
    with store.transaction():
        last: dict[str, str | None] = dict(db.execute("SELECT netuid, burn FROM recorded"))
        rows: list[tuple[str, int, str | None]] = [
            (n, at, b) for n, b in burns.items() if n not in last or last[n] != b
        ]
        rows += [(n, at, None) for n, b in last.items() if b is not None and n not in burns]
        db.executemany("INSERT INTO moves VALUES (?, ?, ?)", rows)
        db.executemany("INSERT OR REPLACE INTO recorded VALUES (?, ?)", [(n, b) for n, _, b in rows])
        db.execute("INSERT INTO polls VALUES (?, 1, ?)", (at, len(burns)))
        pruned = db.execute("SELECT value FROM settings WHERE key = 'history_pruned_at'").fetchone()
        if pruned is None or at - int(pruned[0]) >= DAY:
            cutoff = at - keep_days * DAY
            db.execute("DELETE FROM polls WHERE at < ?", (cutoff,))
            db.execute(
                "DELETE FROM moves WHERE at < ? AND rowid NOT IN (SELECT max(rowid) FROM moves GROUP BY netuid)",
                (cutoff,),
            )
            db.execute("INSERT OR REPLACE INTO settings VALUES ('history_pruned_at', ?)", (at,))


def record_failure(store: Store, at: int) -> None:
    store.connection.execute("INSERT INTO polls VALUES (?, 0, NULL)", (at,))


# --- reading ---


@dataclass(frozen=True)
class Move:
    at: int
    netuid: str
    old: str | None
    new: str | None  # None: the subnet left the listing
    first: bool  # nothing was recorded for the subnet before


@dataclass(frozen=True)
class Gap:
    start: int  # the last good poll before it
    end: int  # the next good poll
    failed: int  # cycles that failed in between


def has_history(store: Store) -> bool:
    return int(store.connection.execute("PRAGMA user_version").fetchone()[0]) >= SCHEMA


def moves(store: Store, since: int | None = None, netuids: Iterable[str] | None = None) -> list[Move]:
    """The recorded moves from `since` on, in time order, each with the text it replaced."""
    wanted = set(netuids) if netuids else None
    rows = store.connection.execute(
        "SELECT * FROM (SELECT at, netuid, LAG(burn) OVER w, burn, LAG(rowid) OVER w IS NULL, rowid FROM moves"
        " WINDOW w AS (PARTITION BY netuid ORDER BY rowid)) WHERE at >= ? ORDER BY at, rowid",
        (since or 0,),
    )
    return [Move(at, n, old, new, bool(first)) for at, n, old, new, first, _ in rows if wanted is None or n in wanted]


def burns_at(store: Store, at: int, netuids: Iterable[str]) -> dict[str, str | None]:
    """Each subnet's burn text as last recorded before `at` (absent when none was)."""
    return {
        n: row[0]
        for n in netuids
        if (
            row := store.connection.execute(
                "SELECT burn FROM moves WHERE netuid = ? AND at < ? ORDER BY rowid DESC LIMIT 1", (n, at)
            ).fetchone()
        )
        is not None
    }


def polls(store: Store, since: int | None = None) -> list[tuple[int, bool]]:
    return [
        (at, bool(ok))
        for at, ok in store.connection.execute(
            "SELECT at, ok FROM polls WHERE at >= ? ORDER BY at, rowid", (since or 0,)
        )
    ]


def gaps(recorded: Sequence[tuple[int, bool]], interval_seconds: float) -> list[Gap]:
    """Stretches between two good polls longer than GAP_INTERVALS intervals."""
    found, last_ok, failed = [], None, 0
    for at, ok in recorded:
        if not ok:
            failed += 1
            continue
        if last_ok is not None and at - last_ok > GAP_INTERVALS * interval_seconds:
            found.append(Gap(last_ok, at, failed))
        last_ok, failed = at, 0
    return found


def numeric_rates(burns: Mapping[str, str], watched: Callable[[str], bool]) -> dict[str, float]:
    """The watched subnets with a numeric id and a numeric burn, for the metrics file."""
    return {
        n: value
        for n, b in burns.items()
        if n.isdigit() and n.isascii() and watched(n) and (value := rate(b)) is not None
    }


# --- the `history` command ---


def since_argument(text: str) -> int:
    """--since: "7d", "12h", "30m", "2026-12-01" or "2026-12-01T06:00" (UTC), as Unix time."""
    match = _SINCE.fullmatch(text.strip())
    if match is None:
        raise argparse.ArgumentTypeError(f"expected 7d, 12h, 30m, 2026-12-01 or 2026-12-01T06:00, got {text!r}")
    count, unit, day, clock = match.groups()
    if count:
        return int(time.time()) - int(count) * {"d": DAY, "h": 3600, "m": 60}[unit]
    try:
        moment = datetime.datetime.fromisoformat(f"{day}T{clock or '00:00'}")
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a date: {text!r}") from None
    return int(moment.replace(tzinfo=datetime.timezone.utc).timestamp())


def netuid_argument(text: str) -> str:
    if not (text.isdigit() and text.isascii()):
        raise argparse.ArgumentTypeError(f"expected a subnet id (digits), got {text!r}")
    return str(int(text))


def open_history(db_path: str) -> Store | None:
    """The database read-only beside a running monitor; None when it holds no history yet."""
    if not os.path.exists(db_path):
        return None
    store = Store(db_path, read_only=True)
    if has_history(store):
        return store
    store.close()
    return None


def show(db_path: str, netuids: Sequence[str], since: int | None, output: str, interval_seconds: float) -> int:
    store = open_history(db_path)
    if store is None:
        found: list[Move] = []
        missing: list[Gap] = []
    else:
        try:
            found = moves(store, since, netuids)
            missing = gaps(polls(store, since), interval_seconds)
        except sqlite3.Error as e:
            raise Failed(f"history not readable: {e}") from None
        finally:
            store.close()
    entries: list[Move | Gap] = [*found, *missing]
    entries.sort(key=lambda e: (e.at, 1) if isinstance(e, Move) else (e.end, 0))
    {"table": _table, "csv": _csv, "json": _json}[output](entries)
    return 0


def _cell(text: str | None, first: bool = False) -> str:
    import ashvigil

    if text is None:
        return "-" if first else "(gone)"
    return egress.safe(ashvigil.format_owner_burn(text))


def _table(entries: Sequence[Move | Gap]) -> None:
    rows = [("time (UTC)", "subnet", "old", "new")]
    for e in entries:
        if isinstance(e, Gap):
            missed = f"-- no good poll from {utc_text(e.start)} to {utc_text(e.end)} ({e.failed} failed cycles)"
            rows.append((missed, "", "", ""))
        else:
            rows.append((utc_text(e.at), f"SN{egress.safe(e.netuid)}", _cell(e.old, e.first), _cell(e.new)))
    widths = [max(len(r[i]) for r in rows if r[1]) for i in range(4)]
    for r in rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths, strict=True)).rstrip() if r[1] else r[0])


def _record(e: Move | Gap) -> dict[str, object]:
    if isinstance(e, Gap):
        return {"kind": "gap", "time": utc_text(e.start), "until": utc_text(e.end), "failed_cycles": e.failed}
    return {"kind": "move", "time": utc_text(e.at), "netuid": e.netuid, "old": e.old, "new": e.new}


FIELDS = ("kind", "time", "netuid", "old", "new", "until", "failed_cycles")


def _csv(entries: Sequence[Move | Gap]) -> None:
    writer = csv.DictWriter(sys.stdout, FIELDS, lineterminator="\n")
    writer.writeheader()
    writer.writerows(_record(e) for e in entries)


def _json(entries: Sequence[Move | Gap]) -> None:
    json.dump([_record(e) for e in entries], sys.stdout, ensure_ascii=False, indent=1)
    print()


def gauge_rates(store: Store, watched: Callable[[str], bool]) -> dict[str, float]:
    """The numeric rates of the last stored map, for the metrics file; {} with one line when the
    database cannot be read (health output never fails a cycle)."""
    try:
        return numeric_rates(store.burn_map()[0], watched)
    except sqlite3.Error as e:
        log.line(f"database read failed: {e}")
        return {}
