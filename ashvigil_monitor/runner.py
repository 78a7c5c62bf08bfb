"""Runs `run`, `once` and `snapshot`: the loop and its waits, stop and reload requests, the
failure streak, notify, heartbeat and metrics, the chat thread, and what follows each cycle.

A stop request ends a wait between cycles at once; a cycle in progress finishes what it can within
the stopper's grace, after which every exchange and retry wait is cut (what is left waits in the
outbox). A second SIGINT raises KeyboardInterrupt wherever the program is.
"""

from __future__ import annotations

import math
import time
from collections import Counter
from collections.abc import Callable
from typing import TYPE_CHECKING

import ashvigil
from ashvigil_monitor import __version__, history, liveness, log, messages, senders
from ashvigil_monitor.budget import NotingBot, SendBudget
from ashvigil_monitor.chatbot import ChatBot, Status
from ashvigil_monitor.config import Config
from ashvigil_monitor.cycle import Watch
from ashvigil_monitor.destinations import Destination
from ashvigil_monitor.errors import Refused
from ashvigil_monitor.followups import Followups
from ashvigil_monitor.notify import Notifier
from ashvigil_monitor.outbox import Outbox, drop_all
from ashvigil_monitor.roles import Role
from ashvigil_monitor.stopping import Stopped, Stopper
from ashvigil_monitor.store import DATABASE_ERRORS, LastCycle, Store, Streak
from ashvigil_monitor.times import utc_now

if TYPE_CHECKING:
    from ashvigil_monitor.metrics_http import MetricsServer

DROP_REQUEST_LIFE = 60.0  # seconds an operator's `outbox --drop` waits for this monitor to take it
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
        self.metrics = liveness.Metrics.load(config.metrics_path) if config.metrics_path else None
        if self.metrics is None and config.metrics_listen is not None:
            self.metrics = liveness.Metrics("")  # served over HTTP only
        self.role = Role(store, config.standby_poll_seconds)
        self.watch: Watch | None = None
        self.followups: Followups | None = None
        self.status = Status()
        self.budget = SendBudget(config.chat_id)  # the chat's messages, alerts and answers alike
        self.chat: ChatBot | None = None
        self._streak = 0  # failed cycles in a row, counted here too for when the database fails
        self._told_directly = False  # the streak was told without the outbox
        self._last_result = ""  # ok, failed or error: what /healthz answers
        self._reloads = 0  # reload requests not yet applied
        self._reloaded_at = -math.inf
        self._counted: Counter[tuple[str, str]] = Counter()  # the outbox's deliveries the metrics have

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
        if not self.role.claim():
            return 0  # another monitor acts for the database
        watch = self._watch()
        try:
            watch.outbox.new_cycle()
            watch.outbox.send_pending()
            status = watch.snapshot()
        except Exception as e:  # noqa: BLE001 - a snapshot is stale soon; monitoring goes on
            log.warn(f"snapshot error: {e}")
            return 1
        self._follow(watch)
        return status

    def once(self) -> int:
        if self._paused():
            log.line("monitoring paused")
            return 0
        if not self.role.claim():
            return 0  # another monitor acts for the database: it runs the cycles
        return self._cycle()

    def run(self, snapshot: bool) -> None:
        """Until the pause file appears (one line) or a stop request ends a wait (Stopped)."""
        if self._paused():  # not even the snapshot: the operator asked for quiet
            log.line("monitoring paused")
            return
        server = self._metrics_server()
        self._follow_chat()
        try:
            self._loop(snapshot)
        finally:
            if server is not None:
                server.stop()
            if self.chat is not None:
                self._stop_chat()
                if self.metrics is not None:  # the chat's counts since the last cycle
                    self.metrics.write()

    def _metrics_server(self) -> MetricsServer | None:
        if self.config.metrics_listen is None or self.metrics is None:
            return None
        from ashvigil_monitor.metrics_http import MetricsServer

        metrics = self.metrics
        server = MetricsServer(self.config.metrics_listen, lambda: metrics, lambda: self._last_result != "failed")
        server.start()
        return server

    def _loop(self, snapshot: bool) -> None:
        """Acts while it holds the database, stands by while another monitor does. A monitor that
        takes over runs its cycle at once, pending pieces first (the chat has seen the rates: no
        snapshot)."""
        acting = self.role.claim()
        if self.store.shared:
            self._role_changed()
        if not acting:
            if not self._stand_by():
                log.line("monitoring paused")
                return
            self._guarded_cycle()
        elif snapshot:
            self.snapshot()
        else:
            self._watch().outbox.new_cycle()
            self._watch().outbox.send_pending()
        while True:
            while self._wait(self.config.interval_seconds):
                self._guarded_cycle()
            if self.role.active:
                break
            self._role_changed()
            if not self._stand_by():
                break
            self._guarded_cycle()
        log.line("monitoring paused")

    def _guarded_cycle(self) -> None:
        try:
            self._cycle()
        except Exception as e:  # noqa: BLE001 - one bad cycle never ends monitoring
            log.warn(f"error: {e}")

    def _stand_by(self) -> bool:
        """Tries the lock every poll until this monitor acts (True); False when the pause file
        appears."""
        while self._wait(self.config.standby_poll_seconds):
            if self.role.claim():
                self._role_changed()
                return True
        return False

    def _role_changed(self) -> None:
        """The chat, notify and the metrics follow the role."""
        self._follow_chat()
        self.notifier.send(
            "STATUS=active" if self.role.active else f"STATUS=standby: {self.role.why}; ashvigil {__version__}"
        )
        if self.metrics is not None:
            self.metrics.active = int(self.role.active)
            self.metrics.write()

    # --- what the commands are made of ---

    def _watch(self) -> Watch:
        if self.watch is None:
            config, pause, cut_at = self.config, self.pause_in_cycle, self.stopper.cut_at
            # The chat's own client notes what it sends, so that answers leave room for alerts.
            bot = (
                NotingBot(self.budget, config.bot_token, config.telegram_api, pause, cut_at) if config.chat_id else None
            )
            chosen = {
                d.name: senders.build(d, config.telegram_api, pause, cut_at, bot if _is_chat(d, config) else None)
                for d in config.destinations
            }
            outbox = Outbox(config, self.store, chosen, pause, self.notifier.watchdog, self.store.leading)
            self.watch = Watch(config, self.store, outbox)
            self.followups = Followups(config, self.store, bot, outbox)
        return self.watch

    def _follow(self, watch: Watch) -> None:
        """Hands what the cycle did to what follows it: history, charts, the daily digest."""
        if watch.outcome is not None and self.followups is not None:
            self.followups.after(watch.outcome)

    def _paused(self) -> bool:
        return bool(self.config.pause_path) and ashvigil._burn_is_paused(self.config.pause_path)

    def _wait(self, seconds: float) -> bool:
        """Waits in steps of at most a second, testing the pause file before each and at the end;
        False when it is found. Stopped when a stop is requested."""
        remaining, acting = seconds, self.role.active
        self.status.next_poll = time.time() + seconds
        try:
            if acting:
                self.store.save_next_poll(self.status.next_poll)
        except DATABASE_ERRORS as e:  # status shows it; monitoring goes on without
            log.warn(f"database write failed: {e}")
        while remaining > 0:
            if self._paused():
                return False
            if acting and not self.role.holds():
                return False
            step = min(remaining, 1.0, self._reload_due_in())
            if acting:
                self._drop_if_asked()
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

    def _drop_if_asked(self) -> None:
        """`outbox --drop` from the operator while this monitor holds the database."""
        try:
            asked = self.store.drop_requested()
            if asked is not None:  # what was queued before the request; a stale one is only answered
                if time.time() - asked <= DROP_REQUEST_LIFE:
                    drop_all(self.store, "by the operator", queued_before=asked)
                self.store.answer_drop(asked)
        except DATABASE_ERRORS as e:
            log.warn(f"database write failed: {e}")

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
        if (config.state_path, config.database, config.chat_id) != (
            self.config.state_path,
            self.config.database,
            self.config.chat_id,
        ):  # the database records its chat when it is opened
            return "configuration not reloaded: the state and database paths and the chat change only with a restart"
        self.config = config
        if self.watch is not None and self.metrics is not None:  # what the old outbox did since the last cycle
            self.metrics.record_deliveries(self.watch.outbox.deliveries - self._counted)
        self.watch, self._counted = None, Counter()
        self._follow_chat()
        return "configuration reloaded"

    # --- the chat ---

    def _follow_chat(self) -> None:
        """The chat as the configuration says: started or stopped with ASHVIGIL_BOT_COMMANDS,
        started again for another bot, else given the new settings."""
        config, chat = self.config, self.chat
        self.budget.follow(config.chat_id)
        if chat is not None and config.bot_commands and self.role.active and _same_bot(chat.config, config):
            chat.configure(config)
            return
        self._stop_chat()
        if config.bot_commands and self.role.active:
            self.chat = ChatBot(config, self.status, self.budget, self.reload_pending, self.store.for_thread)
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
        self.role.note()
        watch, started = self._watch(), time.monotonic()
        sent_before = watch.outbox.delivered
        try:
            status = watch.cycle()
            self._follow(watch)
        except Exception as e:
            why = messages.error_in_words(e)
            self._report("error", why, time.monotonic() - started)
            self._after_cycle("error", watch.outbox.delivered - sent_before)
            self._track_failures(why)
            raise
        why = watch.failure or "unknown" if status else ""
        self._report("ok" if status == 0 else "failed", why, time.monotonic() - started)
        self._after_cycle("ok" if status == 0 else "failed", watch.outbox.delivered - sent_before)
        self._track_failures(why or None)
        return status

    def _report(self, result: str, why: str, seconds: float) -> None:
        """One line per cycle, and the same for `status` in the database."""
        outcome = self.watch.outcome if self.watch else None
        subnets, moved = (len(outcome.stored), outcome.moved) if outcome and outcome.stored is not None else (None, 0)
        if result == "ok":
            sent = ", alert sent" if outcome and outcome.alerted else ""
            log.line(f"cycle ok: {subnets} subnets, {moved} moved{sent} ({seconds:.2f} s)", "cycle", seconds=seconds)
        else:
            log.warn(f"cycle {result}: {why} ({seconds:.2f} s)", "cycle", seconds=seconds)
        try:
            self.store.save_last_cycle(LastCycle(time.time(), result, round(seconds, 3), subnets, moved, why))
        except DATABASE_ERRORS as e:
            log.warn(f"database write failed: {e}")

    def _track_failures(self, failure: str | None) -> None:
        """Cycles failing N times in a row are told once, and so is their recovery: the count, its
        told flag and the message commit as one, so a crash never loses one or tells a recovery
        of a failure that was never told."""
        self._streak = self._streak + 1 if failure is not None else 0
        try:
            with self.store.transaction():
                queued = self._note_streak(failure)
        except DATABASE_ERRORS as e:
            log.warn(f"database write failed: {e}")
            if failure is not None and self._tell_without_database(failure):
                self._note_told()
            return
        if queued:
            self._watch().outbox.send_pending()

    def _note_streak(self, failure: str | None) -> bool:
        """Inside a transaction: the streak's count and flag; True when a message was queued."""
        store, outbox, now = self.store, self._watch().outbox, utc_now()
        streak = store.streak()
        told = streak.told or self._told_directly
        if failure is None:
            self._told_directly = False
            if not streak.failures:
                return False
            log.line(f"cycles recovered after {streak.failures} failed (since {streak.since} UTC)", "recovered")
            if told:
                text = messages.recovered(now, streak.since, streak.failures)
                outbox.queue_all(now, text, "recovered", _wants_failures)
            store.save_streak(Streak())
            return told
        failures, since, after = streak.failures + 1, streak.since or now, self.config.failure_alert_after
        tell = not told and bool(after) and failures >= after and any(map(_wants_failures, self.config.destinations))
        store.save_streak(Streak(failures, told or tell, since))
        if tell:
            outbox.queue_all(now, messages.failing(since, failures, failure), "failing", _wants_failures)
        return tell

    def _tell_without_database(self, failure: str) -> bool:
        """The database cannot hold the failure message: sent directly, once per streak. True
        when it was sent."""
        after = self.config.failure_alert_after
        if self._told_directly or not after or self._streak < after:
            return False
        text = messages.failing(utc_now(), self._streak, failure)
        texts = {d.name: text for d in self.config.destinations if d.failures}
        replies = self._watch().outbox.send_unqueued(texts, "failing")
        sent = any(r.ok for r in replies.values())
        self._told_directly = sent or any(r.lost for r in replies.values())  # lost: it may have it; not twice
        for name, reply in replies.items():
            if not reply.ok:
                log.warn(f"failure message not sent to {name}: {reply.error}")
        if not sent:
            return False
        log.warn("failure message sent unqueued: the database cannot hold it")
        return True

    def _note_told(self) -> None:
        """The streak, marked told, where the database still takes a write without the message:
        its recovery is then told too."""
        try:
            with self.store.transaction():
                self._note_streak("told directly")
        except DATABASE_ERRORS as e:
            log.warn(f"database write failed: {e}")

    def _after_cycle(self, outcome: str, alerts: int) -> None:
        """Health output; never changes a cycle's result."""
        self._last_result = "ok" if outcome == "ok" else "failed"
        subnets = self.watch.subnets if self.watch else None
        pending, dropped = self._outbox_counts()
        now = utc_now()
        self.status.last_cycle = f"{now} {outcome}" + (f", {subnets} subnets" if subnets else "")
        self.status.next_poll = None
        self.status.failures = dict(self._watch().outbox.failures)
        self.notifier.watchdog(force=True)
        self.notifier.send(
            f"STATUS=last cycle {outcome} at {now}"
            + (f", {subnets} subnets" if subnets else "")
            + (f", {sum(pending.values())} alert pieces pending" if pending is not None else "")
        )
        if self.config.heartbeat_url:
            liveness.ping(self.config.heartbeat_url, outcome, self.stopper.cut_at)
        if self.metrics is not None:
            outbox = self._watch().outbox
            self.metrics.record(outcome, alerts, subnets, pending, dropped)
            self.metrics.record_deliveries(outbox.deliveries - self._counted)
            self._counted = outbox.deliveries.copy()
            self._chat_counts()
            self.metrics.burn_rates = history.gauge_rates(self.store, self.config.policy.watched)
            self.metrics.write()

    def _outbox_counts(self) -> tuple[dict[str, int] | None, dict[str, int] | None]:
        """Pending and dropped pieces by destination, every configured one listed."""
        try:
            pending = dict.fromkeys((d.name for d in self.config.destinations), 0)
            pending.update(Counter(p.destination for p in self.store.pending()))
            return pending, {**dict.fromkeys(pending, 0), **self.store.dropped()}
        except DATABASE_ERRORS as e:  # health output never fails a cycle
            log.warn(f"database read failed: {e}")
            return None, None


def _wants_failures(place: Destination) -> bool:
    return place.failures


def _is_chat(place: Destination, config: Config) -> bool:
    return place.kind == "telegram" and (place.chat_id, place.bot_token) == (config.chat_id, config.bot_token)


def _same_bot(a: Config, b: Config) -> bool:
    return (a.bot_token, a.telegram_api) == (b.bot_token, b.telegram_api)
