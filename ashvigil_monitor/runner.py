"""Runs `run`, `once` and `snapshot`: the loop and its waits, stop requests, notify and health.

A stop request never cuts a cycle: the cycle's own pauses (retry waits, the pause between pieces)
are plain sleeps, and the flag a signal sets is read only between cycles, where the wait ends at
once. A second SIGINT raises KeyboardInterrupt wherever the program is.
"""

from __future__ import annotations

import datetime
import math
import sqlite3
import time
from collections.abc import Callable

import ashvigil
from ashvigil_monitor import health, history, log
from ashvigil_monitor.chatbot import ChatBot, NotingBot, SendBudget, Status
from ashvigil_monitor.config import Config
from ashvigil_monitor.cycle import Watch
from ashvigil_monitor.errors import Refused
from ashvigil_monitor.notify import Notifier
from ashvigil_monitor.stopping import Stopped, Stopper
from ashvigil_monitor.store import Store
from ashvigil_monitor.times import utc_now

RELOAD_GAP = 1.0  # seconds between two reloads: the SIGHUPs of a storm in between are merged


class Runner:
    def __init__(
        self,
        config: Config,
        store: Store,
        stopper: Stopper,
        notifier: Notifier,
        reload: Callable[[], Config] | None = None,
    ) -> None:
        self.config = config
        self._reload = reload
        self.store = store
        self.stopper = stopper
        self.notifier = notifier
        self.metrics = health.Metrics.load(config.metrics_path) if config.metrics_path else None
        self.watch: Watch | None = None
        self.status = Status()
        self.budget = SendBudget(config.chat_id)  # the chat's messages, alerts and answers alike
        self.chat: ChatBot | None = None
        self._reloads = 0  # reload requests not yet applied
        self._reloaded_at = -math.inf

    def pause_in_cycle(self, seconds: float) -> None:
        """A wait that belongs to a cycle: a stop request ends it only after its grace."""
        end = time.monotonic() + seconds
        while (left := min(end, self.stopper.cut_at()) - time.monotonic()) > 0:
            self.notifier.watchdog()
            time.sleep(min(left, 0.5))

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
        self._follow_chat()
        try:
            self._loop(snapshot)
        finally:
            if self.chat is not None:
                self._stop_chat()
                if self.metrics is not None:  # the chat's counts since the last cycle
                    self.metrics.write()

    def _loop(self, snapshot: bool) -> None:
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
            config = self.config
            bot = NotingBot(
                self.budget, config.bot_token, config.telegram_api, self.pause_in_cycle, self.stopper.cut_at
            )
            self.watch = Watch(config, self.store, bot, self.pause_in_cycle)
        return self.watch

    def _paused(self) -> bool:
        return bool(self.config.pause_path) and ashvigil._burn_is_paused(self.config.pause_path)

    def _wait(self, seconds: float) -> bool:
        """Waits in steps of at most a second, testing the pause file before each and at the end;
        False when it is found. Stopped when a stop is requested."""
        remaining = seconds
        self.status.next_poll = time.time() + seconds
        while remaining > 0:
            if self._paused():
                return False
            step = min(remaining, 1.0, self._reload_due_in())
            self.notifier.watchdog()
            started = time.monotonic()
            if self.stopper.wait(step):
                raise Stopped
            if self.reload_pending():
                self.reload()
                step = min(step, time.monotonic() - started)
            remaining -= step
        if self.stopper.requested:
            raise Stopped
        return not self._paused()

    def reload_pending(self) -> bool:
        """A SIGHUP not yet applied: the chat answers nothing until it is."""
        return self.stopper.reload_requested or self._reloads > 0

    def reload(self) -> None:
        """SIGHUP: the configuration read again, at most once every RELOAD_GAP seconds, the
        requests in between merged into the next; an invalid one leaves the old one in force."""
        if self.stopper.reload_requested:
            self._reloads += 1  # before the flag is cleared: the request stays in view
            self.stopper.reload_requested = False
        if not self._reloads or self._reload_due_in() > 0:
            return
        merged, self._reloaded_at = self._reloads, time.monotonic()
        try:
            outcome = self._reconfigure()
        finally:
            self._reloads = 0  # after the chat has the new settings
        if outcome:
            log.line(outcome + (f" ({merged} requests merged)" if merged > 1 else ""))

    def _reload_due_in(self) -> float:
        return max(0.0, self._reloaded_at + RELOAD_GAP - time.monotonic()) if self._reloads else math.inf

    def _reconfigure(self) -> str:
        """The configuration read again and put in force; how that went, for the log."""
        if self._reload is None:
            return ""
        try:
            config = self._reload()
        except Refused as e:
            return f"configuration not reloaded: {e}"
        if (config.state_path, config.db_path) != (self.config.state_path, self.config.db_path):
            return "configuration not reloaded: the state and database paths change only with a restart"
        self.config = config
        self.watch = None
        self._follow_chat()
        return "configuration reloaded"

    # --- the chat ---

    def _follow_chat(self) -> None:
        """The chat as the configuration says: started or stopped with ASHVIGIL_BOT_COMMANDS,
        started again for another bot, else given the new settings."""
        config, chat = self.config, self.chat
        self.budget.follow(config.chat_id)
        if chat is not None and config.bot_commands and _same_bot(chat.config, config):
            chat.configure(config)
            return
        self._stop_chat()
        if config.bot_commands:
            self.chat = ChatBot(config, self.status, self.budget, self.reload_pending)
            self.chat.start()

    def _stop_chat(self) -> None:
        if self.chat is not None:
            self.chat.stop()
            self._chat_counts()
            self.chat = None

    def _chat_counts(self) -> None:
        if self.chat is not None and self.metrics is not None:
            ignored, dropped = self.chat.take_counts()
            self.metrics.bot_ignored += ignored
            self.metrics.bot_dropped += dropped

    def _cycle(self) -> int:
        watch = self._watch()
        sent_before = watch.alerts_sent
        try:
            status = watch.cycle()
            watch.chronicle.after_cycle()
        except Exception as e:
            self._after_cycle("error", watch.alerts_sent - sent_before)
            self._track_failures(f"{type(e).__name__}: {e}")
            raise
        self._after_cycle("ok" if status == 0 else "failed", watch.alerts_sent - sent_before)
        self._track_failures(watch.failure if status else None)
        return status

    def _track_failures(self, failure: str | None) -> None:
        """Cycles failing N times in a row are told once, and so is their recovery."""
        after, store, now = self.config.failure_alert_after, self.store, utc_now()
        try:
            failures = int(store.get("failures", "0"))
            if failure is None:
                if failures and store.get("failure_told") == "1":
                    since = store.get("failing_since")
                    self._watch().announce(
                        f"ashvigil: watch cycles recovered at {now} UTC after failing for {_duration(since, now)}"
                        f" ({failures} cycles in a row since {since} UTC)"
                    )
                if failures:
                    store.put(failures=0, failure_told=0, failing_since="")
                return
            since = store.get("failing_since") or now
            store.put(failures=failures + 1, failing_since=since)
            if after and failures + 1 == after:
                store.put(failure_told=1)
                self._watch().announce(
                    f"ashvigil: watch cycles failing since {since} UTC ({after} in a row): {failure or 'unknown'}"
                )
        except sqlite3.Error as e:
            log.line(f"database write failed: {e}")

    def _after_cycle(self, outcome: str, alerts: int) -> None:
        """Health output; never changes a cycle's result."""
        subnets = self.watch.subnets if self.watch else None
        pending, dropped = self._outbox_counts()
        now = utc_now()
        self.status.last_cycle = f"{now} {outcome}" + (f", {subnets} subnets" if subnets else "")
        self.status.next_poll = None
        self.notifier.watchdog(force=True)
        self.notifier.send(
            f"STATUS=last cycle {outcome} at {now}"
            + (f", {subnets} subnets" if subnets else "")
            + (f", {pending} alert pieces pending" if pending is not None else "")
        )
        if self.config.heartbeat_url:
            health.ping(self.config.heartbeat_url, outcome, self.stopper.cut_at)
        if self.metrics is not None:
            self.metrics.record(outcome, alerts, subnets, pending, dropped)
            self._chat_counts()
            self.metrics.burn_rates = history.gauge_rates(self.store, self.config.policy.watched)
            self.metrics.write()

    def _outbox_counts(self) -> tuple[int | None, int | None]:
        try:
            return len(self.store.pending()), self.store.dropped_total()
        except sqlite3.Error as e:  # health output never fails a cycle
            log.line(f"database read failed: {e}")
            return None, None


def _same_bot(a: Config, b: Config) -> bool:
    return (a.bot_token, a.telegram_api) == (b.bot_token, b.telegram_api)


def _duration(since: str, until: str) -> str:
    def parse(text: str) -> datetime.datetime:
        return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ")

    try:
        minutes = int((parse(until) - parse(since)).total_seconds() // 60)
    except ValueError:
        return "a while"
    return f"{minutes // 60} h {minutes % 60} min" if minutes >= 60 else f"{minutes} min"
