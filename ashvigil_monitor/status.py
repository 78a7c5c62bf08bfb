"""`ashvigil status`: what the monitor is doing, read beside it (the database read-only, no lock
taken) or after it. Exit status: 3 when no monitor holds the lock, else 1 when the last cycle
failed or pieces are pending, else 0."""

from __future__ import annotations

import contextlib
import datetime
import json
import os
from collections import Counter
from typing import Any

from ashvigil_monitor import __version__, egress
from ashvigil_monitor.config import Config
from ashvigil_monitor.destinations import DEFAULT_NAME
from ashvigil_monitor.errors import Failed
from ashvigil_monitor.store import DATABASE_ERRORS, Store
from ashvigil_monitor.times import stamp

NOT_RUNNING, UNHEALTHY = 3, 1
PROC_LOCKS = "/proc/locks"


def holder(path: str) -> int | None:
    """The pid holding an exclusive flock on `path`, read from the kernel's lock table."""
    try:
        info = os.stat(path)
        with open(PROC_LOCKS, encoding="ascii") as f:
            table = f.read().splitlines()
    except OSError:
        return None
    device = f"{os.major(info.st_dev):02x}:{os.minor(info.st_dev):02x}:{info.st_ino}"
    for row in table:
        fields = row.split()
        if len(fields) >= 6 and fields[1] == "FLOCK" and fields[3] == "WRITE" and fields[5] == device:
            return int(fields[4])
    return None


def gather(config: Config) -> dict[str, Any]:
    database = config.database
    pid = None if database.shared else holder(config.db_path)
    report: dict[str, Any] = {
        "version": __version__,
        "monitor": {"running": pid is not None, "pid": pid},
        "last_cycle": None,
        "failing": None,
        "next_poll": None,
        "pending": [],
        "mutes": [],
        "paused": bool(config.pause_path) and os.path.exists(config.pause_path),
        "quiet_hours_now": config.policy.quiet(datetime.datetime.now(datetime.timezone.utc)),
        "watched": config.policy.subnets.text,
        "excluded": config.policy.excluded.text if config.policy.excluded.ranges else "",
        "database": {
            "path": database.shown,
            "bytes": None if database.shared else _size(config.db_path),
            "schema": None,
        },
        "monitors": [],
    }
    if database.exists():
        try:
            with contextlib.closing(database.open(read_only=True)) as store:
                if database.shared:
                    report["monitor"]["running"] = store.holder() is not None
                    report["database"]["bytes"] = store.size()
                _read(store, report, report["monitor"]["running"])
        except DATABASE_ERRORS as e:
            raise Failed(f"{database.setting}: cannot read {database.shown} ({e})") from None
    return report


def _read(store: Store, report: dict[str, Any], running: bool) -> None:
    report["database"]["schema"] = store.version()
    if not store.version():
        return
    last = store.last_cycle()
    if last is not None:
        report["last_cycle"] = {
            "at": stamp(last.at),
            "result": last.result,
            "seconds": last.seconds,
            "subnets": last.subnets,
            "moved": last.moved,
        }
    streak = store.streak()
    if streak.failures:
        why = last.why if last is not None and last.result != "ok" else ""
        report["failing"] = {"since": streak.since, "cycles": streak.failures, "why": why}
    next_poll = store.next_poll()
    if running and next_poll is not None:
        report["next_poll"] = stamp(next_poll)
    report["pending"] = [
        {
            "destination": p.destination,
            "cycle_at": p.cycle_at,
            "piece": p.piece,
            "pieces": p.pieces,
            "attempts": p.attempts,
            "first_line": egress.safe(p.body.split("\n", 1)[0], 200),
        }
        for p in store.pending()
    ]
    report["monitors"] = [
        {"host": m.host, "pid": m.pid, "role": m.role, "seen": stamp(m.seen), "started": stamp(m.started)}
        for m in store.monitors()
    ]
    now = datetime.datetime.now(datetime.timezone.utc).timestamp()
    report["mutes"] = [{"netuid": int(n), "until": stamp(u)} for n, u in store.mutes(now).items() if n.isdigit()]


def _size(path: str) -> int | None:
    try:
        return sum(os.stat(p).st_size for p in (path, path + "-wal") if os.path.exists(p))
    except OSError:
        return None


def exit_status(report: dict[str, Any]) -> int:
    if not report["monitor"]["running"]:
        return NOT_RUNNING
    last = report["last_cycle"]
    return UNHEALTHY if report["pending"] or (last is not None and last["result"] != "ok") else 0


def text(report: dict[str, Any]) -> str:
    monitor, last, failing = report["monitor"], report["last_cycle"], report["failing"]
    database = report["database"]
    lines = [
        f"ashvigil {report['version']}",
        _monitor_line(monitor),
        "last cycle: "
        + (
            f"{last['result']} at {last['at']} UTC, {last['seconds']:.2f} s, "
            f"{last['subnets'] if last['subnets'] is not None else 'no'} subnets, {last['moved']} moved"
            if last
            else "none yet"
        ),
    ]
    if failing:
        lines.append(
            f"failing since {failing['since']} UTC ({failing['cycles']} cycles): {failing['why'] or 'unknown'}"
        )
    lines.append(f"next poll: {report['next_poll']} UTC" if report["next_poll"] else "next poll: not planned")
    pending = report["pending"]
    counts = Counter(p["destination"] for p in pending)
    several = set(counts) - {DEFAULT_NAME}  # one chat's pieces read as they always have
    by_place = f" ({', '.join(f'{name} {n}' for name, n in counts.items())})" if several and pending else ""
    lines.append(f"pending: {len(pending)} pieces{by_place}")
    lines += [
        f"  {p['destination'] + ': ' if several else ''}{p['cycle_at']} piece {p['piece']}/{p['pieces']},"
        f" attempts {p['attempts']}: {p['first_line']}"
        for p in pending
    ]
    if len(report["monitors"]) > 1 or any(m["role"] != "active" for m in report["monitors"]):
        lines.append("monitors sharing the database:")
        lines += [f"  {m['host']} pid {m['pid']}: {m['role']}, last seen {m['seen']} UTC" for m in report["monitors"]]
    mutes = ", ".join(f"SN{m['netuid']} until {m['until']} UTC" for m in report["mutes"])
    lines += [
        f"muted: {mutes or 'none'}",
        f"paused: {'yes (the pause file is present)' if report['paused'] else 'no'}",
        f"quiet hours now: {'yes' if report['quiet_hours_now'] else 'no'}",
        f"watched: {report['watched']}" + (f" except {report['excluded']}" if report["excluded"] else ""),
        f"database: {database['path']}, "
        + (f"{database['bytes'] / 1024:.0f} KiB, schema {database['schema']}" if database["bytes"] else "none yet"),
    ]
    return "\n".join(lines)


def _monitor_line(monitor: dict[str, Any]) -> str:
    if not monitor["running"]:
        return "monitor: not running"
    return f"monitor: running (pid {monitor['pid']})" if monitor["pid"] else "monitor: running (one holds the database)"


def show(config: Config, form: str) -> int:
    report = gather(config)
    print(json.dumps(report, ensure_ascii=False) if form == "json" else text(report))
    return exit_status(report)
