"""The chat's budget of messages: Telegram lets a bot send a group about 20 a minute, and the
alerts must never wait for answers to chat commands. The cycle's sends are noted and never held;
answers take what is left beside a reserve for the alerts."""

from __future__ import annotations

import threading
import time
from collections import deque
from collections.abc import Callable
from typing import Any

from ashvigil_monitor.botapi import BotApi
from ashvigil_monitor.outgoing import Reply

GROUP_LIMIT = 20  # messages a minute Telegram lets a bot send to one group or channel
ALERT_RESERVE = 10  # of those, what answers always leave to the alerts
BUDGET_WINDOW = 60.0
ANSWER_PATIENCE = 5.0  # seconds an answer waits for room in the budget before it is dropped


class SendBudget:
    """The messages sent to the chat in the last minute, shared by the cycle and the chat. The
    cycle's are noted and never held; an answer takes a place only while the alerts' reserve is
    left. A private chat has no such limit: the answers' pace is enough there."""

    def __init__(self, chat_id: str) -> None:
        self._lock = threading.Lock()
        self._sent: deque[float] = deque()
        self._answers: int | None = None
        self.follow(chat_id)

    def follow(self, chat_id: str) -> None:
        """The limit of the chat: a group's or a channel's (a negative id or @name), else none."""
        self._answers = GROUP_LIMIT - ALERT_RESERVE if chat_id.startswith(("-", "@")) else None

    def note(self) -> None:
        with self._lock:
            self._sent.append(self._recent())

    def take(self, wait: Callable[[float], bool]) -> bool:
        """A place for an answer, waiting up to ANSWER_PATIENCE for one with `wait` (True: the chat
        stops). False when there is none in time."""
        give_up = time.monotonic() + ANSWER_PATIENCE
        while True:
            with self._lock:
                now, answers = self._recent(), self._answers
                if answers is None or len(self._sent) < answers:
                    self._sent.append(now)
                    return True
                opens = self._sent[len(self._sent) - answers] + BUDGET_WINDOW
            if opens > give_up or wait(opens - now):
                return False

    def _recent(self) -> float:
        """Now, the sends older than the window forgotten. Under the lock."""
        now = time.monotonic()
        while self._sent and self._sent[0] <= now - BUDGET_WINDOW:
            self._sent.popleft()
        return now


class NotingBot(BotApi):
    """The cycle's Bot API client: every message it sends is noted in the budget."""

    def __init__(self, budget: SendBudget, *args: Any) -> None:
        super().__init__(*args)
        self._budget = budget

    def send_message(self, chat_id: str, text: str) -> Reply:
        self._budget.note()
        return super().send_message(chat_id, text)

    def send_photo(self, chat_id: str, png: bytes, caption: str) -> Reply:
        self._budget.note()
        return super().send_photo(chat_id, png, caption)
