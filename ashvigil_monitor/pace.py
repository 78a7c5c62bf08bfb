"""The pace of each destination, as its service asks: Telegram one message a second per chat and
20 a minute per group, Discord 30 a minute per webhook, Slack one a second. A destination's
thread waits here before each piece; a 429 that comes anyway is honoured by its sender."""

from __future__ import annotations

import threading
import time
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass

from ashvigil_monitor.destinations import Destination

WINDOW = 60.0


@dataclass(frozen=True)
class Rule:
    gap: float = 0.0  # seconds between two messages
    per_minute: int | None = None  # messages in any minute


def rule(place: Destination) -> Rule:
    if place.kind == "telegram":
        group = place.chat_id.startswith(("-", "@"))
        return Rule(1.0, 20 if group else None)
    return {"discord": Rule(0.0, 30), "slack": Rule(1.0)}.get(place.kind, Rule())


class Pace:
    def __init__(self, kept: Rule) -> None:
        self.rule = kept
        self._sent: deque[float] = deque()
        self._lock = threading.Lock()

    @classmethod
    def of(cls, place: Destination) -> Pace:
        return cls(rule(place))

    def wait(self, pause: Callable[[float], None]) -> None:
        """Waits until the next message keeps the rule, then notes it as sent."""
        with self._lock:
            delay = self._delay(time.monotonic())
        if delay > 0:
            pause(delay)
        with self._lock:
            self._sent.append(time.monotonic())

    def _delay(self, now: float) -> float:
        while self._sent and self._sent[0] <= now - WINDOW:
            self._sent.popleft()
        delay = self._sent[-1] + self.rule.gap - now if self._sent else 0.0
        limit = self.rule.per_minute
        if limit is not None and len(self._sent) >= limit:
            delay = max(delay, self._sent[-limit] + WINDOW - now)
        return delay
