"""Runs `run`, `once` and `snapshot`: the loop and its waits, stop requests, notify and health.

A stop request never cuts a cycle: the cycle's own pauses (retry waits, the pause between pieces)
are plain sleeps, and the flag a signal sets is read only between cycles, where the wait ends at
once. A second SIGINT raises KeyboardInterrupt wherever the program is.
"""

from __future__ import annotations

import datetime
import sqlite3
import time

import ashvigil
from ashvigil_monitor import health, log
from ashvigil_monitor.config import Config
from ashvigil_monitor.cycle import Watch
from ashvigil_monitor.notify import Notifier
from ashvigil_monitor.stopping import Stopped, Stopper
from ashvigil_monitor.store import Store


class Runner:
    def __init__(self, config: Config, store: Store, stopper: Stopper, notifier: Notifier) -> None:
        self.config = config
        self.store = store
        self.stopper = stopper
        self.notifier = notifier
        self.metrics = health.Metrics.load(config.metrics_path) if config.metrics_path else None
        self.watch: Watch | None = None

    def pause_in_cycle(self, seconds: float) -> None:
        """A wait that belongs to a cycle: a first stop request does not end it."""
        self.notifier.watchdog()
        time.sleep(seconds)

    # --- the commands ---

    def snapshot(self) -> int:
        """Pending pieces, then the startup snapshot; one that raises is one line, and
        monitoring goes on."""
        watch = self._watch()
        try:
            watch.send_pending()
            return watch.snapshot()
        except Exception as e:  # noqa: BLE001 - a snapshot is stale soon; monitoring goes on
            log.line(f"snapshot error: {e}")
            return 1

    def once(self) -> int:
        if self._paused():
            log.line("monitoring paused")
            return 0
        return self._cycle()

    def run(self, snapshot: bool) -> None:
        """Until the pause file appears (one line) or a stop request ends a wait (Stopped)."""
        if snapshot:
            self.snapshot()
        else:
            self._watch().send_pending()
        while self._wait(self.config.interval_seconds):
            try:
                self._cycle()
            except Exception as e:  # noqa: BLE001 - one bad cycle never ends monitoring
                log.line(f"error: {e}")
        log.line("monitoring paused")

    # --- parts ---

    def _watch(self) -> Watch:
        if self.watch is None:
            from ashvigil_monitor.botapi import BotApi

            bot = BotApi(self.config.bot_token, self.config.telegram_api, self.pause_in_cycle)
            self.watch = Watch(self.config, self.store, bot, self.pause_in_cycle)
        return self.watch

    def _paused(self) -> bool:
        return bool(self.config.pause_path) and ashvigil._burn_is_paused(self.config.pause_path)

    def _wait(self, seconds: float) -> bool:
        """Waits in steps of at most a second, testing the pause file before each and at the end;
        False when it is found. Stopped when a stop is requested."""
        remaining = seconds
        while remaining > 0:
            if self._paused():
                return False
            step = min(remaining, 1.0)
            self.notifier.watchdog()
            if self.stopper.wait(step):
                raise Stopped
            remaining -= step
        if self.stopper.requested:
            raise Stopped
        return not self._paused()

    def _cycle(self) -> int:
        watch = self._watch()
        sent_before = watch.alerts_sent
        try:
            status = watch.cycle()
        except Exception:
            self._after_cycle("error", watch.alerts_sent - sent_before)
            raise
        self._after_cycle("ok" if status == 0 else "failed", watch.alerts_sent - sent_before)
        return status

    def _after_cycle(self, outcome: str, alerts: int) -> None:
        """Health output; never changes a cycle's result."""
        subnets = self.watch.subnets if self.watch else None
        pending, dropped = self._outbox_counts()
        now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        self.notifier.watchdog(force=True)
        self.notifier.send(
            f"STATUS=last cycle {outcome} at {now}"
            + (f", {subnets} subnets" if subnets else "")
            + (f", {pending} alert pieces pending" if pending is not None else "")
        )
        if self.config.heartbeat_url:
            health.ping(self.config.heartbeat_url, outcome)
        if self.metrics is not None:
            self.metrics.record(outcome, alerts, subnets, pending, dropped)
            self.metrics.write()

    def _outbox_counts(self) -> tuple[int | None, int | None]:
        try:
            return len(self.store.pending()), self.store.dropped_total()
        except sqlite3.Error as e:  # health output never fails a cycle
            log.line(f"database read failed: {e}")
            return None, None
