"""The outbox: every message that must arrive (an alert, a failure, a recovery, the daily digest)
is queued in the database before it is sent, and stays there until the chat took it.

Pieces go out oldest first; delivery stops at the first that fails, so the chat sees them in
order. A piece is marked Delayed when it was queued in an earlier cycle or was tried before. A
piece whose reply was lost is never sent again in the same cycle: the chat may have it, so it
waits for the next cycle and comes marked. A piece is dropped only when it is older than the age
bound and was tried at least three times over at least an hour of the machine's running time (or
the age bound, when that is shorter), so a step of the wall clock never drops what was just
queued.
"""

from __future__ import annotations

import datetime
import enum
import sqlite3
import time
from collections.abc import Callable, Sequence

from ashvigil_monitor import egress, log, messages
from ashvigil_monitor.botapi import BotApi
from ashvigil_monitor.config import Config
from ashvigil_monitor.outgoing import Reply
from ashvigil_monitor.store import Piece, Store

PIECE_PAUSE = 0.4  # seconds between two pieces, as the module pauses
DROP_AFTER_ATTEMPTS = 3
MAX_ERROR = 300  # characters of a delivery's error kept with its piece
DROP_AFTER_TRIED = 3600.0  # seconds of the machine's running time over which a piece was tried
BOOT_ID = "/proc/sys/kernel/random/boot_id"


class Delivery(enum.Enum):
    DELIVERED = "delivered"  # nothing is left pending
    HELD = "held"  # quiet hours: pending pieces wait, and that is no failure
    FAILED = "failed"  # a piece could not be delivered; it and those after it wait


class Outbox:
    def __init__(
        self,
        config: Config,
        store: Store,
        bot: BotApi,
        pause: Callable[[float], None] = time.sleep,
    ) -> None:
        self.config = config
        self.store = store
        self.bot = bot
        self.pause = pause
        self.delivered = 0  # texts whose last piece was delivered, since start
        self.failure = ""  # why the last delivery failed, in words for the chat
        self._fresh: set[int] = set()  # queued in this cycle: not Delayed
        self._lost: set[int] = set()  # the reply was lost in this cycle: not again in it
        # Delivered in this cycle, even if the database did not note it; with its queue time, since
        # the database gives a deleted row's id to the next piece.
        self._done: set[tuple[int, float]] = set()

    def new_cycle(self) -> None:
        self._fresh.clear()
        self._lost.clear()
        self._done.clear()

    def queue(self, cycle_at: str, bodies: Sequence[str]) -> list[int]:
        """Queues a text's pieces, masked, as this cycle's; inside the caller's transaction, if any."""
        ids = self.store.queue(cycle_at, [egress.mask(body) for body in bodies], time.time())
        self._fresh.update(ids)
        return ids

    def quiet(self) -> bool:
        return self.config.policy.quiet(datetime.datetime.now(datetime.timezone.utc))

    def send_pending(self) -> Delivery:
        """Pending pieces, oldest first, until one fails; held in quiet hours."""
        self.drop_expired()
        if self.quiet():
            return Delivery.HELD
        for index, piece in enumerate(self.store.pending()):
            if piece.id in self._lost:
                return Delivery.FAILED
            if (piece.id, piece.queued_at) in self._done:
                continue
            if index:
                self.pause(PIECE_PAUSE)
            if not self._send(piece):
                return Delivery.FAILED
        return Delivery.DELIVERED

    def send_unqueued(self, text: str) -> Reply:
        """A text that is not worth keeping (the startup snapshot) or cannot be kept (the database
        is failing): its pieces now, in order, until one fails; the last reply."""
        reply = Reply(True)
        for index, body in enumerate(messages.message_bodies(text)):
            if index:
                self.pause(PIECE_PAUSE)
            reply = self.bot.send_message(self.config.chat_id, messages.fit(body))
            if not reply.ok:
                break
        return reply

    def _send(self, piece: Piece) -> bool:
        late = piece.id not in self._fresh or piece.attempts > 0
        reply = self.bot.send_message(
            self.config.chat_id, messages.delayed(piece.cycle_at, piece.body) if late else messages.fit(piece.body)
        )
        if not reply.ok:
            self._failed(piece, reply)
            return False
        self._done.add((piece.id, piece.queued_at))
        _write(self.store.delivered, piece)
        if piece.piece == piece.pieces:
            self.delivered += 1
        if late:
            log.line(f"delayed alert sent ({piece.cycle_at}, piece {piece.piece}/{piece.pieces})")
        return True

    def _failed(self, piece: Piece, reply: Reply) -> None:
        _write(self.store.failed, piece, egress.mask(reply.error)[:MAX_ERROR], *boot_clock())
        again = ""
        if reply.lost:
            self._lost.add(piece.id)
            again = "; it is sent again next cycle, marked Delayed"
        log.warn(f"telegram failed: {reply.error}{again}")
        self.failure = f"Telegram: {reply.words or 'the message was not delivered'}"

    def drop_expired(self) -> None:
        bound = self.config.outbox_max_age_hours * 3600
        now, boot = time.time(), boot_clock()[0]
        expired = [
            p
            for p in self.store.pending()
            if now - p.queued_at > bound
            and p.attempts >= DROP_AFTER_ATTEMPTS
            and p.tried_boot == boot
            and p.tried_for >= min(DROP_AFTER_TRIED, bound)
        ]
        if not expired:
            return
        self.store.drop(expired)
        for p in expired:
            log.warn(
                f"alert dropped ({p.label}): older than {self.config.outbox_max_age_hours:g} h;"
                f" last error: {p.last_error}"
            )


def drop_all(store: Store, why: str, queued_before: float | None = None) -> int:
    """Every pending piece (queued before then, when given), one line each."""
    pieces = [p for p in store.pending() if queued_before is None or p.queued_at <= queued_before]
    store.drop(pieces)
    for p in pieces:
        log.warn(f"alert dropped ({p.label}): {why}")
    return len(pieces)


def boot_clock() -> tuple[str, float]:
    """This boot and its clock: seconds since it, suspend included, never stepped."""
    try:
        with open(BOOT_ID, encoding="ascii") as f:
            boot = f.read().strip()
    except OSError:
        boot = "unknown"
    return boot, time.clock_gettime(time.CLOCK_BOOTTIME)


def _write(action: Callable[..., None], *args: object) -> None:
    """A bookkeeping write after a send: its failure is one line, never a lost delivery (a piece not
    marked delivered is sent again, marked)."""
    try:
        action(*args)
    except sqlite3.Error as e:
        log.warn(f"database write failed: {e}")
