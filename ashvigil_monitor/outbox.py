"""The outbox: every message that must arrive (an alert, a failure, a recovery, the daily digest)
is queued in the database for each destination before it is sent, and stays there until that
destination took it.

Each destination's pieces go out oldest first, on a thread of their own, so that one destination's
outage never holds or delays another's; delivery to a destination stops at its first piece that
fails, so it sees its pieces in order. The database is written from the caller's thread only. A
piece is marked Delayed when it was queued in an earlier cycle or was tried before. A piece whose
reply was lost is never sent again in the same cycle: the destination may have it, so it waits
for the next cycle and comes marked. A piece is dropped only when it is older than the age bound
and was tried at least three times over at least an hour of the machine's running time (or the
age bound, when that is shorter), so a step of the wall clock never drops what was just queued.
"""

from __future__ import annotations

import datetime
import enum
import queue as queues
import threading
import time
from collections import Counter
from collections.abc import Callable, Mapping, Sequence

from ashvigil_monitor import egress, log, messages
from ashvigil_monitor.config import Config
from ashvigil_monitor.destinations import Destination
from ashvigil_monitor.outgoing import Change, Outgoing, Reply, Sender
from ashvigil_monitor.pace import Pace
from ashvigil_monitor.store import DATABASE_ERRORS, Piece, Queued, Store

DROP_AFTER_ATTEMPTS = 3
MAX_ERROR = 300  # characters of a delivery's error kept with its piece
DROP_AFTER_TRIED = 3600.0  # seconds of the machine's running time over which a piece was tried
BOOT_ID = "/proc/sys/kernel/random/boot_id"
TICK = 0.5  # seconds between the caller's `tick()`s while destinations deliver
STOOD_DOWN = "another monitor took over"  # why a standby that was active sent no more


class Delivery(enum.Enum):
    DELIVERED = "delivered"  # nothing is left pending
    HELD = "held"  # quiet hours: pending pieces wait, and that is no failure
    FAILED = "failed"  # a piece could not be delivered; it and those after it wait


class Outbox:
    def __init__(
        self,
        config: Config,
        store: Store,
        senders: Mapping[str, Sender],
        pause: Callable[[float], None] = time.sleep,
        tick: Callable[[], None] = lambda: None,
        acting: Callable[[], bool] = lambda: True,
    ) -> None:
        """`pause` waits between pieces on a destination's thread; `tick()` runs on the caller's
        thread while it waits for them (the watchdog); `acting()`, asked before each piece, is
        false once this monitor no longer acts for its database: it sends nothing more."""
        self.acting = acting
        self.config = config
        self.store = store
        self.senders = senders
        self.places = {d.name: d for d in config.destinations}
        self.pause = pause
        self.tick = tick
        self.paces = {name: Pace.of(self.places[name]) for name in senders}
        self.delivered = 0  # texts whose last piece was delivered, since start
        self.failures: dict[str, str] = {}  # why each destination's last delivery failed, in words
        self.deliveries: Counter[tuple[str, str]] = Counter()  # (destination, result) since start
        self._fresh: set[int] = set()  # queued in this cycle: not Delayed
        self._lost: set[int] = set()  # the reply was lost in this cycle: not again in it
        # Delivered in this cycle, even if the database did not note it; with its queue time, since
        # the database gives a deleted row's id to the next piece.
        self._done: set[tuple[int, float]] = set()
        self._unknown: set[str] = set()  # destinations of pending pieces not configured, told once

    @property
    def failure(self) -> str:
        """Why the destinations whose delivery failed failed, in words for the chat."""
        return "; ".join(f"{self._title(name)}: {why}" for name, why in self.failures.items())

    def _title(self, name: str) -> str:
        place = self.places.get(name)
        if len(self.places) == 1 and place is not None:
            return place.kind.capitalize() if place.kind != "email" else "E-mail"
        return name

    def new_cycle(self) -> None:
        self._fresh.clear()
        self._lost.clear()
        self._done.clear()
        self.failures.clear()

    def queue(
        self, destination: str, cycle_at: str, text: str, event: str = "changes", changes: Sequence[Change] = ()
    ) -> None:
        """Queues a text's pieces for one destination, divided and masked for its kind, as this
        cycle's; inside the caller's transaction, if any. The changes are kept as data only for a
        kind that takes its text whole (a webhook, e-mail): a chat's pieces are their text."""
        chunk = self._chunk(destination)
        bodies = [egress.mask(body) for body in messages.message_bodies(text, chunk)]
        kept = changes if chunk is None else ()
        self._fresh.update(self.store.queue(Queued(destination, cycle_at, event), bodies, time.time(), kept))

    def queue_all(self, cycle_at: str, text: str, event: str, wanted: Callable[[Destination], bool]) -> None:
        """Queues a text for every destination that wants it."""
        for place in self.places.values():
            if wanted(place):
                self.queue(place.name, cycle_at, text, event)

    def _chunk(self, destination: str) -> int | None:
        sender = self.senders.get(destination)
        return None if sender is None or sender.limit is None else messages.chunk_size(sender.limit)

    def quiet(self, destination: str) -> bool:
        place = self.places.get(destination)
        return place is not None and place.policy.quiet(datetime.datetime.now(datetime.timezone.utc))

    def send_pending(self) -> Delivery:
        """Each destination's pending pieces, oldest first, until one fails; held in its quiet
        hours. A destination that failed earlier in this cycle is not tried again in it: its
        pieces wait for the next."""
        plans: dict[str, list[tuple[Piece, Outgoing]]] = {}
        failed = set(self.failures)
        held = False
        for piece in self.drop_expired(self.store.pending()):
            name = piece.destination
            if name in failed or (piece.id, piece.queued_at) in self._done:
                continue
            if name not in self.senders:
                self._tell_unknown(name)
            elif self.quiet(name):
                held = True
            elif piece.id in self._lost:
                failed.add(name)  # and what comes after it waits too
                plans.pop(name, None)
            else:
                plans.setdefault(name, []).append((piece, self._outgoing(piece)))
        failed |= self._deliver(plans)
        if failed:
            return Delivery.FAILED
        return Delivery.HELD if held else Delivery.DELIVERED

    def send_unqueued(self, texts: Mapping[str, str], event: str) -> dict[str, Reply]:
        """Texts that are not worth keeping (the startup snapshot) or cannot be kept (the database
        is failing), by destination: their pieces now, in order, until one fails; each
        destination's last reply."""
        plans: dict[str, list[Outgoing]] = {}
        for name, text in texts.items():
            if name in self.senders:
                bodies = messages.message_bodies(text, self._chunk(name))
                plans[name] = [
                    Outgoing(body, event, "", piece=k, pieces=len(bodies)) for k, body in enumerate(bodies, 1)
                ]
        replies: dict[str, Reply] = {}
        self._run(plans, lambda name, _, reply: replies.__setitem__(name, reply))
        return replies

    def _outgoing(self, piece: Piece) -> Outgoing:
        late = piece.id not in self._fresh or piece.attempts > 0
        return Outgoing(piece.body, piece.event, piece.cycle_at, late, piece.changes, piece.piece, piece.pieces)

    def _deliver(self, plans: Mapping[str, list[tuple[Piece, Outgoing]]]) -> set[str]:
        """Sends the plans, one thread per destination, noting each result here; the
        destinations that failed."""
        pieces = {(name, id(out)): piece for name, plan in plans.items() for piece, out in plan}
        failed: set[str] = set()

        def note(name: str, out: Outgoing, reply: Reply) -> None:
            piece = pieces[name, id(out)]
            if reply.ok:
                self._sent(name, piece, out)
            else:
                self._failed(name, piece, reply)
                failed.add(name)

        self._run({name: [out for _, out in plan] for name, plan in plans.items()}, note)
        return failed

    def _run(self, plans: Mapping[str, Sequence[Outgoing]], note: Callable[[str, Outgoing, Reply], None]) -> None:
        """Each destination's pieces in order on a thread of its own, until one fails; `note` of
        each result as it comes, on the caller's thread. Left early (a second SIGINT), no thread
        starts another piece, and what was delivered by then is still noted."""
        results: queues.Queue[tuple[str, Outgoing | None, Reply | None]] = queues.Queue()
        stop = threading.Event()
        busy = {name: plan for name, plan in plans.items() if plan}
        if len(busy) == 1:  # one destination holds no other up: sent here, each noted as it comes
            [(name, plan)] = busy.items()
            self._send_each(name, plan, lambda result: _note_sent(result, note), stop)
            return
        running = len(busy)
        for name, plan in busy.items():
            args = (name, plan, results.put, stop)
            threading.Thread(target=self._send_each, args=args, name=f"ashvigil-send-{name}", daemon=True).start()
        try:
            while running:
                try:
                    name, out, reply = results.get(timeout=TICK)
                except queues.Empty:
                    self.tick()
                    continue
                if out is None or reply is None:
                    running -= 1
                else:
                    note(name, out, reply)
        finally:
            if running:
                stop.set()
                self._note_delivered(results, note)

    def _note_delivered(
        self,
        results: queues.Queue[tuple[str, Outgoing | None, Reply | None]],
        note: Callable[[str, Outgoing, Reply], None],
    ) -> None:
        while True:
            try:
                name, out, reply = results.get_nowait()
            except queues.Empty:
                return
            if out is not None and reply is not None and reply.ok:
                note(name, out, reply)

    def _send_each(
        self,
        name: str,
        plan: Sequence[Outgoing],
        report: Callable[[tuple[str, Outgoing | None, Reply | None]], None],
        stop: threading.Event,
    ) -> None:
        try:
            for out in plan:
                self.paces[name].wait(self.pause)
                if stop.is_set():
                    return
                if not self.acting():
                    report((name, out, Reply(False, "this monitor no longer acts for the database", words=STOOD_DOWN)))
                    return
                try:
                    reply = self.senders[name].send(out)
                except Exception as e:  # noqa: BLE001 - a sender's fault fails its piece, never the cycle
                    reply = Reply(False, f"{type(e).__name__}: {e}", words="an error in the delivery")
                report((name, out, reply))
                if not reply.ok:
                    break
        finally:
            report((name, None, None))

    def _sent(self, name: str, piece: Piece, out: Outgoing) -> None:
        self._done.add((piece.id, piece.queued_at))
        self.deliveries[name, "delivered"] += 1
        _write(self.store.delivered, piece)
        if piece.piece == piece.pieces:
            self.delivered += 1
        if out.delayed:
            log.line(f"delayed alert sent{self._to(name)} ({piece.cycle_at}, piece {piece.piece}/{piece.pieces})")

    def _to(self, name: str) -> str:
        return f" to {name}" if len(self.places) > 1 else ""

    def _failed(self, name: str, piece: Piece, reply: Reply) -> None:
        _write(self.store.failed, piece, egress.mask(reply.error)[:MAX_ERROR], *boot_clock())
        self.deliveries[name, "lost" if reply.lost else "failed"] += 1
        again = ""
        if reply.lost:
            self._lost.add(piece.id)
            again = "; it is sent again next cycle, marked Delayed"
        log.warn(f"{name} failed: {reply.error}{again}")
        self.failures[name] = reply.words or "the message was not delivered"

    def _tell_unknown(self, name: str) -> None:
        if name not in self._unknown:
            self._unknown.add(name)
            log.warn(f"pieces wait for destination {name}, which is not configured (ashvigil outbox --drop drops them)")

    def drop_expired(self, pending: list[Piece]) -> list[Piece]:
        """The pending pieces less those that waited past the age bound, which are dropped."""
        bound = self.config.outbox_max_age_hours * 3600
        now = time.time()
        old = [p for p in pending if now - p.queued_at > bound]
        boot = boot_clock()[0] if old else ""  # the boot is read only for a piece that may go
        expired = [
            p
            for p in old
            if p.attempts >= DROP_AFTER_ATTEMPTS
            and p.tried_boot == boot
            and p.tried_for >= min(DROP_AFTER_TRIED, bound)
        ]
        if not expired:
            return pending
        self.store.drop(expired)
        for p in expired:
            log.warn(
                f"alert dropped{self._to(p.destination)} ({p.label}): older than"
                f" {self.config.outbox_max_age_hours:g} h; last error: {p.last_error}"
            )
        return [p for p in pending if p not in expired]


def drop_all(store: Store, why: str, queued_before: float | None = None) -> int:
    """Every pending piece (queued before then, when given), one line each."""
    pieces = [p for p in store.pending() if queued_before is None or p.queued_at <= queued_before]
    store.drop(pieces)
    for p in pieces:
        log.warn(f"alert dropped ({p.label}): {why}")
    return len(pieces)


def _note_sent(result: tuple[str, Outgoing | None, Reply | None], note: Callable[[str, Outgoing, Reply], None]) -> None:
    name, out, reply = result
    if out is not None and reply is not None:
        note(name, out, reply)


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
    except DATABASE_ERRORS as e:
        log.warn(f"database write failed: {e}")
