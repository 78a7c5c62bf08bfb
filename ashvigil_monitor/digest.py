"""The daily digest: at ASHVIGIL_DIGEST_AT in ASHVIGIL_TIMEZONE, one message on the last 24 hours,
queued in the outbox like an alert, so that it arrives at least once.

The settings row `digest_due` holds the scheduled moment of the last digest queued. A cycle queues
the digest when the most recent scheduled moment is later than it, whenever the cycle runs, so a
restart just before the time, or a monitor that was down at the time, sends it once. The first
cycle that sees the setting only notes the moment that has just passed: the first digest is the
next one.
"""

from __future__ import annotations

import datetime
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass

from ashvigil_monitor.messages import shown_burn
from ashvigil_monitor.store import DAY, Move, Store
from ashvigil_monitor.times import stamp

TOP = 5  # moves and failed cycles listed
SHOWN = 40  # characters of a burn text that is not a number


@dataclass(frozen=True)
class Digest:
    text: str
    movers: list[str]  # subnets, biggest move first


def last_due(now: float, at: datetime.time, zone: datetime.tzinfo) -> int:
    """The latest scheduled moment at or before `now`."""
    local = datetime.datetime.fromtimestamp(now, zone)
    for days in (0, 1):
        moment = datetime.datetime.combine(local.date() - datetime.timedelta(days=days), at, tzinfo=zone)
        if moment.timestamp() <= now:
            return int(moment.timestamp())
    raise AssertionError("unreachable: yesterday's moment is in the past")


Target = tuple[str, Callable[[str], bool]]  # a destination's name, and whether it watches a subnet


def queue(
    store: Store,
    enqueue: Callable[[str, str, str], object],
    targets: Sequence[Target],
    at: datetime.time,
    zone: datetime.tzinfo,
    now: float | None = None,
) -> tuple[bool, list[str]]:
    """Queues the digest of each target's watched subnets with `enqueue(name, cycle_at, text)`
    when it is due: whether one was, and the first target's subnets, biggest move first."""
    now = time.time() if now is None else now
    due = last_due(now, at, zone)
    with store.transaction():
        last = store.digest_due()
        if last is not None and last >= due:
            return False, []
        store.save_digest_due(due)
        if last is None:
            return False, []
        movers: list[str] = []
        for index, (name, watched) in enumerate(targets):
            digest = compose(store, int(now), zone, watched)
            enqueue(name, stamp(now), digest.text)
            movers = digest.movers if index == 0 else movers
        return True, movers


def compose(store: Store, now: int, zone: datetime.tzinfo, watched: Callable[[str], bool]) -> Digest:
    """The digest of the 24 hours before `now`, of the watched subnets."""
    from ashvigil_monitor.changes import biggest

    start = now - DAY
    moved = [m for m in store.moves(start) if not m.first and watched(m.netuid)]
    spans = _spans(store, start, moved)
    movers = biggest([(n, old, new) for n, (old, new) in spans.items()], len(spans))
    recorded = store.polls(start)
    failed = [at for at, ok in recorded if not ok]

    def local(at: int) -> str:
        return datetime.datetime.fromtimestamp(at, zone).strftime("%Y-%m-%d %H:%M")

    lines = [
        f"Daily digest: {local(start)} \u2013 {local(now)} ({zone})",
        f"Polls: {len(recorded)}, {len(failed)} failed",
        f"Subnets moved: {len(spans)}",
    ]
    if movers:
        lines.append("Biggest moves:")
        lines += [f"SN{n}: {shown_burn(spans[n][0], SHOWN)} → {shown_burn(spans[n][1], SHOWN)}" for n in movers[:TOP]]
    if failed:
        more = f" and {len(failed) - TOP} more" if len(failed) > TOP else ""
        lines.append("Failed cycles: " + ", ".join(stamp(at) for at in failed[:TOP]) + more)
    return Digest("\n".join(lines), movers)


def _spans(store: Store, start: int, moved: Sequence[Move]) -> dict[str, tuple[str | None, str | None]]:
    """Each moved subnet's burn before the window and at its end."""
    before = store.burns_before(start, {m.netuid for m in moved})
    spans: dict[str, tuple[str | None, str | None]] = {}
    for m in moved:
        spans[m.netuid] = (spans[m.netuid][0] if m.netuid in spans else before.get(m.netuid, m.old), m.new)
    return {n: span for n, span in spans.items() if span[0] != span[1]}
