"""One watch cycle and the startup snapshot, built from the module's functions, with the outbox
that makes every alert arrive at least once.

A cycle: send what earlier cycles left pending, fetch, compare with the previous map, commit the
alert's pieces and the new map to the database (write-ahead), store the state file, then send the
pieces. A crash after the write-ahead loses nothing: the pieces wait in the outbox, and the map in
the database stands in for a state file that was not yet written. A piece delivered after its own
cycle is marked with a first line that begins "Delayed".
"""

from __future__ import annotations

import json
import os
import stat
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import ashvigil
from ashvigil_monitor import egress, log
from ashvigil_monitor.changes import detect, merge
from ashvigil_monitor.config import Config
from ashvigil_monitor.files import read_bounded
from ashvigil_monitor.messages import alert_text, fetch_failure_in_words, snapshot_text
from ashvigil_monitor.outbox import Outbox
from ashvigil_monitor.store import DATABASE_ERRORS, Change, Outcome, Store, Subnet, listed
from ashvigil_monitor.times import utc_now

STATE_LIMIT = 64 << 20  # a state file is read to check it only when the module found no map in it


def burn_map(rows: Sequence[dict[str, Any]]) -> dict[str, str]:
    """Subnet id text to owner burn text, rows in order, a later duplicate winning."""
    return {
        row["netuid"] if isinstance(row["netuid"], str) else str(row["netuid"]): ashvigil.owner_burn_from_row(row)
        for row in rows
        if "netuid" in row
    }


class Unreadable(Exception):
    """A state file that exists but holds no burn map."""


def read_state(path: str) -> dict[str, str]:
    """The stored map; {} when there is no file or it holds an empty map; Unreadable otherwise."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return {}
    except OSError as e:
        raise Unreadable(e.strerror) from None
    if not stat.S_ISREG(mode):
        raise Unreadable("not a regular file")
    try:
        burns = ashvigil.load_burn_state(path)
    except UnicodeDecodeError:
        raise Unreadable("not UTF-8") from None
    except (ValueError, AttributeError):
        raise Unreadable("not a burn map") from None
    except RecursionError:
        raise Unreadable("nested too deeply") from None
    if burns:
        return burns
    try:  # the module answers {} for an empty map and for a file it could not read alike
        document = json.loads(read_bounded(path, STATE_LIMIT))
    except (OSError, ValueError, RecursionError):
        raise Unreadable("not JSON") from None
    if not isinstance(document, dict) or not isinstance(document.get("owner_burn_rate"), dict):
        raise Unreadable("not a burn map")
    return {}


def set_aside(path: str) -> str:
    aside = f"{path}.unreadable-{utc_now().replace(':', '')}"
    try:
        os.rename(path, aside)
    except OSError as e:
        return f"in place ({e.strerror})"
    return aside


@dataclass(frozen=True)
class Alert:
    """One destination's alert of a cycle."""

    destination: str
    changes: list[Change]
    merged: int  # moves held in quiet hours merged into it; 0 when none were


@dataclass
class Found:
    """What a poll changed for every destination."""

    alerts: list[Alert] = field(default_factory=list)
    records: dict[str, dict[str, Subnet]] = field(default_factory=dict)
    hold: list[tuple[str, Change]] = field(default_factory=list)
    held_counts: dict[str, int] = field(default_factory=dict)
    moved: set[str] = field(default_factory=set)  # subnets any destination saw move


class Watch:
    """The cycle and the snapshot for one configuration, delivering through the outbox."""

    def __init__(self, config: Config, store: Store, outbox: Outbox):
        self.config = config
        self.store = store
        self.outbox = outbox
        self.subnets: int | None = None  # subnets in the last stored map
        self.failure = ""  # why the last cycle failed, in words for the chat
        self._told_absent = False
        self.outcome: Outcome | None = None  # what the last cycle or snapshot did

    # --- fetch and store ---

    def _fetch(self, failure: str) -> list[dict[str, Any]] | None:
        started = time.monotonic()
        result = ashvigil.fetch_all_subnets_latest(self.config.api_key)
        seconds = time.monotonic() - started
        log.debug(f"taostats listing: {len(result) if isinstance(result, list) else 'failed'} ({seconds:.2f} s)")
        if isinstance(result, dict) and result.get("error"):
            self.failure = fetch_failure_in_words(result)
            log.warn(f"{failure}{self.failure}: {json.dumps(egress.mask_cut(result))}", "fetch_failed")
            return None
        if not isinstance(result, list):
            raise TypeError(f"Expected list, got {type(result).__name__:.200}")
        return [row for row in result if isinstance(row, dict)]

    def _previous(self) -> Mapping[str, str]:
        if self.store.shared or not self.store.state_holds_map():
            # Stopped between the write-ahead and the store, the database is newer; a shared one
            # is always the baseline: another monitor may have written it since this state file.
            saved = self.store.last_map()
            if saved:
                return saved
        try:
            return read_state(self.config.state_path)
        except Unreadable as e:
            aside = set_aside(self.config.state_path)
            saved = self.store.last_map()
            log.warn(
                f"state file unreadable ({e}): kept as {aside}; comparing with the database's last map"
                f" ({len(saved)} subnets)"
            )
            return saved

    def _store(self, current: dict[str, str], updated_at: str, alerts: Sequence[Alert] = (), **more: Any) -> bool:
        """Write-ahead (the alerts' pieces and the new map, as one), then the state file. False,
        with one line, when the database refused."""
        try:
            with self.store.transaction():
                for alert in alerts:
                    text = alert_text(alert.changes, updated_at, alert.merged)
                    self.outbox.queue(alert.destination, updated_at, text, "changes", alert.changes)
                self.store.save_map(current, updated_at, **more)
        except DATABASE_ERRORS as e:
            log.warn(f"database write failed, rates not stored: {e}")
            self.failure = f"the database refused a write: {e}"
            return False
        try:
            ashvigil.save_burn_state(self.config.state_path, current, updated_at)
            self.store.map_in_state()
        except OSError as e:  # the database holds the map: it is the next cycle's baseline
            log.warn(f"state file not written, the database's map stands in: {e}")
        except DATABASE_ERRORS as e:  # the map stays marked as not in the state file: compared with, safely
            log.warn(f"database write failed: {e}")
        self.subnets = len(current)
        return True

    # --- what the command runs ---

    def cycle(self) -> int:
        """One watch cycle: 0 when it leaves nothing undelivered at any destination (quiet hours
        hold without failing), else 1."""
        self.failure, self.outcome = "", None
        self.outbox.new_cycle()
        self.outbox.send_pending()
        behind = set(self.outbox.failures)  # their earlier pieces failed: the new ones wait behind
        updated_at = utc_now()
        listing = self._listing("fetch failed: ")
        if listing is None:
            self.outcome = Outcome(updated_at)
            return 1
        current = listing[1]
        found = self._detect(current)
        if not self._store(
            current,
            updated_at,
            found.alerts,
            records=found.records,
            hold=found.hold,
            release_held=[a.destination for a in found.alerts if a.merged],
        ):
            return 1
        self.outcome = Outcome(updated_at, current, moved=len(found.moved))
        for name, count in found.held_counts.items():
            log.line(f"alert held{self._to(name)} for after quiet hours ({count} subnet(s))")
        if found.alerts:
            self.outbox.send_pending()
            self._tell_alerts(found.alerts, behind, updated_at, current, len(found.moved))
        if self.outbox.failures:
            self.failure = self.outbox.failure
            return 1
        return 0

    def _detect(self, current: dict[str, str]) -> Found:
        """Each destination's changes by its own rules and baselines, with what it holds in its
        quiet hours and what it held before."""
        muted = frozenset(self.store.mutes(time.time()))
        previous = self._previous()
        found = Found()
        for place in self.config.destinations:
            policy = place.policy._replace(muted=muted)
            changes, found.records[place.name] = detect(policy, self.store.subnets(place.name), previous, current)
            found.moved.update(netuid for netuid, _, _ in changes)
            if self.outbox.quiet(place.name):
                found.hold += [(place.name, change) for change in changes]
                if changes:
                    found.held_counts[place.name] = len(changes)
                continue
            held = self.store.held(place.name)
            alert = merge([*held, *changes]) if held else changes
            if alert:
                found.alerts.append(Alert(place.name, alert, len(held) + len(changes) if held else 0))
        return found

    def _tell_alerts(
        self, alerts: Sequence[Alert], behind: set[str], updated_at: str, current: dict[str, str], moved: int
    ) -> None:
        delivered: dict[Change, None] = {}  # in the order first delivered, each once
        for alert in alerts:
            count = f"({len(alert.changes)} subnet(s))"
            if alert.destination in behind:
                log.line(f"alert queued{self._to(alert.destination)} {count} behind undelivered pieces")
            elif alert.destination not in self.outbox.failures:
                log.line(f"alert sent{self._to(alert.destination)} {count}")
                delivered.update(dict.fromkeys(alert.changes))
        if delivered:
            self.outcome = Outcome(updated_at, current, list(delivered), moved=moved)

    def _to(self, name: str) -> str:
        return f" to {name}" if len(self.config.destinations) > 1 else ""

    def _listing(self, failure: str) -> tuple[list[dict[str, Any]], dict[str, str]] | None:
        """The rows and their burn map; None, with one line, when the listing failed."""
        rows = self._fetch(failure)
        if rows is None:
            return None
        current = burn_map(rows)
        self._tell_absent(current)
        return rows, current

    def _tell_absent(self, current: dict[str, str]) -> None:
        """Once per run: watched subnets the listing lacks (new subnets appear; not an error)."""
        absent = "" if self._told_absent else self.config.policy.absent(set(current))
        self._told_absent = True
        if absent:
            log.line(f"watched subnets not in the listing: {absent}")

    def snapshot(self) -> int:
        """The startup snapshot of each destination's watched subnets: stored, sent, never queued
        (it is stale by the next cycle), skipped in a destination's quiet hours."""
        updated_at, self.outcome = utc_now(), None
        listing = self._listing("startup fetch failed: ")
        if listing is None:
            return 1
        rows, current = listing
        wanted = [d for d in self.config.destinations if d.snapshot]
        shown = [d for d in wanted if not self.outbox.quiet(d.name)]
        # What a destination is shown becomes its baseline; a snapshot not shown changes none.
        # A subnet a destination never had a baseline of takes the polls' record, never told gone to it.
        polled = {n: Subnet(p.baseline, p.last_rate, p.missing) for n, p in self.store.polled().items()}
        records = {d.name: listed({**polled, **self.store.subnets(d.name)}, current) for d in shown}
        if not self._store(current, updated_at, records=records):
            return 1
        self.outcome = Outcome(updated_at, current, cycle=False)
        for place in wanted:
            if place not in shown:
                log.line(f"startup snapshot{self._to(place.name)} skipped: quiet hours")
        texts = {d.name: snapshot_text(d.policy, rows, updated_at) for d in shown}
        status = 0
        for name, reply in self.outbox.send_unqueued(texts, "snapshot").items():
            place = next(d for d in shown if d.name == name)
            if not reply.ok:
                log.warn(f"startup {name} failed: {reply.error}")
                status = 1
                continue
            watched = sum(1 for n in current if place.policy.watched(n))
            count = f"{watched} of {len(current)}" if watched != len(current) else f"{len(current)}"
            log.line(f"startup snapshot sent{self._to(name)} ({count} subnets)", "snapshot_sent")
        return status
