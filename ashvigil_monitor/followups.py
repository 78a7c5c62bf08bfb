"""What follows a cycle, handed over by the runner: the history of the rates, a chart after an
alert, and the daily digest. None of it ever fails, delays or changes a cycle or its alert: a failure is one
line. A chart is never queued: it is sent once, after the text it follows was delivered."""

from __future__ import annotations

import importlib.util
from collections.abc import Sequence

from ashvigil_monitor import log
from ashvigil_monitor.botapi import BotApi
from ashvigil_monitor.config import Config
from ashvigil_monitor.outbox import Delivery, Outbox
from ashvigil_monitor.store import Outcome, Store
from ashvigil_monitor.times import epoch

CHART_SUBNETS = 6
CHART_DAYS = 7


class Followups:
    def __init__(self, config: Config, store: Store, bot: BotApi | None, outbox: Outbox) -> None:
        self.config = config
        self.store = store
        self.bot = bot
        self.outbox = outbox

    def after(self, outcome: Outcome) -> None:
        """What follows a cycle or a snapshot: never fails it, never changes what it sent."""
        try:
            if outcome.stored is None:
                self.store.record_failed_poll(epoch(outcome.at))
            else:
                self.store.record_poll(outcome.stored, epoch(outcome.at), self.config.history_days)
        except Exception as e:  # noqa: BLE001 - recording never fails a cycle
            log.warn(f"history not recorded: {e}")
        if outcome.alerted and self.config.alert_charts:
            from ashvigil_monitor.changes import biggest

            netuids = biggest(outcome.alerted, CHART_SUBNETS)
            self._chart(netuids, f"{_names(netuids)}: owner burn rate, last {CHART_DAYS} days")
        if outcome.cycle:
            self._daily_digest()

    def _daily_digest(self) -> None:
        """The daily digest, when it is due: queued, then sent when nothing older waits before it."""
        if self.config.digest_at is None:
            return
        from ashvigil_monitor import digest

        try:
            targets = [(d.name, d.policy.watched) for d in self.config.destinations if d.digest]
            queued, movers = digest.queue(
                self.store,
                lambda name, cycle_at, text: self.outbox.queue(name, cycle_at, text, "digest"),
                targets,
                self.config.digest_at,
                self.config.policy.timezone,
            )
        except Exception as e:  # noqa: BLE001 - the digest never fails a cycle
            log.warn(f"digest not queued: {e}")
            return
        if not queued or self.outbox.send_pending() is not Delivery.DELIVERED:
            return
        log.line("digest sent")
        if movers and importlib.util.find_spec("matplotlib") is not None:
            top = movers[:CHART_SUBNETS]
            self._chart(top, f"{_names(top)}: biggest moves of the day, last {CHART_DAYS} days")

    def _chart(self, netuids: Sequence[str], caption: str) -> None:
        """To the chat, when there is one."""
        if self.bot is None:
            return
        try:
            from ashvigil_monitor import charts

            png = charts.recent(self.store, netuids, CHART_DAYS, self.config.interval_seconds)
            reply = self.bot.send_photo(self.config.chat_id, png, caption)
        except Exception as e:  # noqa: BLE001 - a chart never fails a cycle or the text it follows
            log.warn(f"chart not sent: {e}")
            return
        if not reply.ok:
            log.warn(f"chart not sent: {reply.error}")


def _names(netuids: Sequence[str]) -> str:
    return ", ".join(f"SN{n}" for n in netuids)
