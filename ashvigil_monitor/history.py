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
import functools
import json
import re
import sys
import time
from collections.abc import Callable, Mapping, Sequence

from ashvigil_monitor import egress, log
from ashvigil_monitor.errors import Failed
from ashvigil_monitor.policy import rate
from ashvigil_monitor.store import DATABASE_ERRORS, DAY, Database, Gap, Move, Store, gaps, open_history
from ashvigil_monitor.times import stamp

_SINCE = re.compile(r"(\d+)([dhm])|(\d{4}-\d\d-\d\d)(?:[T ](\d\d:\d\d))?")


# --- reading ---


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


def show(
    database: Database,
    netuids: Sequence[str],
    since: int | None,
    output: str,
    interval_seconds: float,
    moves_only: bool = False,
    limit: int | None = None,
) -> int:
    store = open_history(database)
    if store is None:
        found: list[Move] = []
        missing: list[Gap] = []
    else:
        try:
            found = store.moves(since, netuids)
            missing = gaps(store.polls(since), interval_seconds)
        except DATABASE_ERRORS as e:
            raise Failed(f"history not readable: {e}") from None
        finally:
            store.close()
    entries: list[Move | Gap] = [*found, *missing]
    entries.sort(key=lambda e: (e.at, 1) if isinstance(e, Move) else (e.end, 0))
    if moves_only:
        entries = [e for e in entries if not (isinstance(e, Move) and e.first)]
    if limit is not None:
        entries = entries[-limit:] if limit > 0 else []
    {"table": _table, "csv": _csv, "json": _json}[output](entries)
    return 0


def _table(entries: Sequence[Move | Gap]) -> None:
    from ashvigil_monitor.messages import shown_burn  # imports the extension

    # A window repeats its ids and rates: each text is made safe once.
    safe = functools.lru_cache(maxsize=4096)(egress.safe)
    shown = functools.lru_cache(maxsize=4096)(lambda text: safe(shown_burn(text)))
    rows = [("time (UTC)", "subnet", "old", "new")]
    for e in entries:
        if isinstance(e, Gap):
            missed = f"-- no good poll from {stamp(e.start)} to {stamp(e.end)} ({e.failed} failed cycles)"
            rows.append((missed, "", "", ""))
        else:
            old = "-" if e.old is None and e.first else shown(e.old)
            rows.append((stamp(e.at), f"SN{safe(e.netuid)}", old, shown(e.new)))
    widths = [max(len(r[i]) for r in rows if r[1]) for i in range(4)]
    lines = ["  ".join(c.ljust(w) for c, w in zip(r, widths, strict=True)).rstrip() if r[1] else r[0] for r in rows]
    print("\n".join(lines))  # one write: the output stream masks and flushes each


def _record(e: Move | Gap) -> dict[str, object]:
    if isinstance(e, Gap):
        return {"kind": "gap", "time": stamp(e.start), "until": stamp(e.end), "failed_cycles": e.failed}
    netuid: int | str = int(e.netuid) if e.netuid.isascii() and e.netuid.isdigit() else e.netuid
    return {"kind": "move", "time": stamp(e.at), "netuid": netuid, "old": e.old, "new": e.new}


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
        return numeric_rates(store.burn_map(), watched)
    except DATABASE_ERRORS as e:
        log.warn(f"database read failed: {e}")
        return {}
