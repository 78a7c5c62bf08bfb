"""Commands in the chat: a thread beside the poll loop long-polls getUpdates and answers the
configured chat in plain text.

The thread has its own Bot API client and its own database connection, and charts are drawn by a
worker of their own, so an answer never delays a cycle's alert and a chart never delays an
answer. Answers share the chat's budget of messages with the alerts (SendBudget) and give way to
them. The update offset is committed before a command is answered: after a restart no command is
answered twice. A 409 from getUpdates (a webhook, or another process polling the same bot) turns
commands off with one line; other failures, a reply of the wrong shape among them, back off and
retry.
"""

from __future__ import annotations

import contextlib
import json
import math
import queue
import re
import threading
import time
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

import ashvigil
from ashvigil_monitor import __version__, charts, log
from ashvigil_monitor.botapi import BotApi
from ashvigil_monitor.budget import SendBudget
from ashvigil_monitor.changes import largest
from ashvigil_monitor.config import Config
from ashvigil_monitor.messages import MAX_MESSAGE, fetch_failure_in_words, message_bodies, shown_burn, snapshot_text
from ashvigil_monitor.policy import Policy
from ashvigil_monitor.store import DAY, Store
from ashvigil_monitor.times import stamp, utc_now

LONG_POLL = 50  # seconds Telegram holds a getUpdates open
# Updates asked for at once: 20 of Telegram's largest messages fit the command's reply cap, so a
# burst of long messages never makes a reply too large to read, and the offset always moves on.
# A reply that still comes back incomplete halves the number, down to one.
UPDATES_LIMIT = 20
MAX_UPDATE_ID = 2**63 - 2  # the offset after it must fit the database's integer
REPLY_GAP = 1.0  # seconds between two answers: Telegram's pace for one chat
MAX_BACKOFF = 60.0
CHANGES_SHOWN = 20  # moves a /changes answer lists, the largest first: a busy day stays one message
CHART_QUEUE = 3  # charts waiting to be drawn; more are dropped like answers beyond the budget
STOP_WAIT = 2.0  # seconds a stop waits for the threads to end (a cut exchange ends in 0.1 s)
FAILED = "That command failed."
CUT_NOTE = f"… (answer cut at {MAX_MESSAGE} characters)"
COMMANDS = (
    ("status", "", "version, uptime, last cycle, next poll, outbox, mutes"),
    ("burn", "N [N...]", "the current rate of subnets"),
    ("top", "[K]", "the K highest rates (10)"),
    ("changes", "[hours]", "the moves of the last hours (24)"),
    ("chart", "N [days]", "a chart of a subnet's rate (7 days)"),
    ("mute", "N [hours]", "no alerts for a subnet (24 h; admins)"),
    ("unmute", "N", "alerts for a subnet again (admins)"),
    ("snapshot", "", "every watched rate now (admins)"),
    ("help", "", "these commands"),
)
ADMIN_ONLY = ("mute", "unmute", "snapshot")
_DIGITS = re.compile(r"[0-9]+")
_DECIMAL = re.compile(r"[0-9]+\.?[0-9]*|\.[0-9]+")


class Usage(Exception):
    """A command's arguments that do not fit: the answer is its usage."""


@dataclass
class Status:
    """What the loop shares with the chat: written by the loop, read by the thread."""

    started: float = field(default_factory=time.time)
    last_cycle: str = "none yet"
    next_poll: float | None = None
    failures: dict[str, str] = field(default_factory=dict)  # destinations whose last delivery failed: why


class ChatBot:
    """`reloading()` is true while a reload of the configuration is pending: the chat answers
    nothing until the new settings (its admins among them) are in force."""

    def __init__(
        self,
        config: Config,
        status: Status,
        budget: SendBudget,
        reloading: Callable[[], bool],
        open_store: Callable[[], Store],
    ) -> None:
        """`open_store()` gives the thread its store."""
        self.config = config
        self._open_store = open_store
        self.status = status
        self.budget = budget
        self._reloading = reloading
        self._counts_lock = threading.Lock()
        self._ignored = 0  # updates from other chats, for the metrics
        self._dropped = 0  # answers the budget had no room for
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="ashvigil-chat", daemon=True)
        self._charts: queue.Queue[tuple[charts.Chart, str] | None] = queue.Queue()
        self._drawer = threading.Thread(target=self._draw, name="ashvigil-chart", daemon=True)
        self._uncut: set[int | None] = set()  # the threads inside a call a stop cannot cut
        self._pace = threading.Lock()
        self._next_turn = 0.0
        self._username = ""
        # Every exchange and retry wait of the chat ends once it is stopped.
        self._bot = BotApi(config.bot_token, config.telegram_api, self._wait, self._cut_at)
        self._bot_id = config.bot_token.split(":", 1)[0]  # the offset of updates is the bot's own

    def take_counts(self) -> tuple[int, int]:
        """Updates from other chats, and answers dropped, since the last call."""
        with self._counts_lock:
            counts = self._ignored, self._dropped
            self._ignored = self._dropped = 0
        return counts

    def configure(self, config: Config) -> None:
        """Reloaded settings, in force from the next update."""
        self.config = config

    def start(self) -> None:
        self._thread.start()
        self._drawer.start()

    def stop(self) -> None:
        """Ends the threads: their exchanges and waits end at once. Waits up to STOP_WAIT for
        them, but not for one inside a call that cannot be cut (the module's listing, a drawing),
        which may last minutes: cli.main then ends the process without finalizing under it."""
        self._stop.set()
        self._charts.put(None)
        end = time.monotonic() + STOP_WAIT
        for thread in (self._thread, self._drawer):
            while thread.is_alive() and thread.ident not in self._uncut and time.monotonic() < end:
                thread.join(0.02)

    def _wait(self, seconds: float) -> None:
        self._stop.wait(seconds)

    def _cut_at(self) -> float:
        return -math.inf if self._stop.is_set() else math.inf

    @contextlib.contextmanager
    def _uncuttable(self) -> Iterator[None]:
        self._uncut.add(threading.get_ident())
        try:
            yield
        finally:
            self._uncut.discard(threading.get_ident())

    def _count(self, ignored: int = 0, dropped: int = 0) -> None:
        with self._counts_lock:
            self._ignored += ignored
            self._dropped += dropped

    # --- the thread ---

    def _run(self) -> None:
        try:
            self._store = self._open_store()
        except Exception as e:  # noqa: BLE001 - monitoring goes on without commands
            log.warn(f"chat commands off: {e}")
            return
        try:
            self._serve()
        finally:
            self._store.close()

    def _serve(self) -> None:
        me = self._bot.call("getMe")
        if me.ok and isinstance(me.result, dict):
            self._username = str(me.result.get("username", ""))
        menu = [{"command": name, "description": f"{args} {what}".strip()} for name, args, what in COMMANDS]
        self._bot.call("setMyCommands", {"commands": json.dumps(menu)})
        while not self._stop.is_set():
            try:
                self._poll(self._store.bot_offset(self._bot_id))
                return
            except Exception as e:  # noqa: BLE001 - a fault in the chat never ends monitoring
                log.warn(f"chat commands: {type(e).__name__}: {e}; again in {MAX_BACKOFF:g} s")
                self._stop.wait(MAX_BACKOFF)

    def _poll(self, offset: int) -> None:
        """Until stopped, or refused (409)."""
        backoff, limit = 1.0, UPDATES_LIMIT
        while not self._stop.is_set():
            fields = {
                "offset": str(offset),
                "limit": str(limit),
                "timeout": str(LONG_POLL),
                "allowed_updates": '["message"]',
            }
            reply = self._bot.call("getUpdates", fields, deadline=LONG_POLL + 30)
            if self._stop.is_set():
                return
            if reply.status == 409:
                log.warn(f"chat commands off: {reply.error}")
                return
            updates = _updates(reply.result, offset) if reply.ok else None
            if updates is None:
                if reply.lost:  # perhaps too large to read: fewer at once
                    limit = max(1, limit // 2)
                why = reply.error if not reply.ok else "a reply of the wrong shape"
                log.warn(f"chat commands: getUpdates failed, again in {backoff:g} s: {why}")
                self._stop.wait(backoff)
                backoff = min(backoff * 2, MAX_BACKOFF)
                continue
            backoff, limit = 1.0, min(limit * 2, UPDATES_LIMIT)
            for update in updates:
                offset = update["update_id"] + 1
                self._store.save_bot_offset(self._bot_id, offset)  # before the answer: never twice
                self._take(update.get("message"))

    def _take(self, message: Any) -> None:
        if not isinstance(message, dict) or not isinstance(message.get("chat"), dict):
            return
        while self._reloading() and not self._stop.wait(0.05):
            pass  # the settings that answer are the ones the operator asked for last
        if self._stop.is_set():
            return
        chat = message["chat"]
        if self.config.chat_id not in (str(chat.get("id")), f"@{chat.get('username')}"):
            self._count(ignored=1)
            return
        text = message.get("text")
        if not isinstance(text, str) or not text.startswith("/"):
            return
        word, *args = text.split()
        name, _, addressee = word[1:].partition("@")
        if addressee and addressee.lower() != self._username.lower():
            return  # for another bot in the same chat
        sender = message["from"].get("id") if isinstance(message.get("from"), dict) else None
        self._answer(self._dispatch(name.lower(), args, sender if type(sender) is int else None))

    def _dispatch(self, name: str, args: Sequence[str], sender: int | None) -> list[str]:
        handler: Callable[[Sequence[str]], list[str]] | None = getattr(self, f"_{name}", None)
        usage = {n: f"Usage: /{n} {a}".strip() for n, a, _ in COMMANDS}
        if name not in usage or handler is None:
            return ["Unknown command. /help lists the commands."]
        if name in ADMIN_ONLY and sender not in self.config.admin_ids:
            return [f"Only the admins may /{name}."]
        try:
            return handler(args)
        except Usage:
            return [usage[name]]
        except Exception as e:  # noqa: BLE001 - one command's fault is its own, never the chat's
            if not self._stop.is_set():  # else the stop cut it short: no fault
                log.warn(f"chat command /{name} failed: {type(e).__name__}: {e}")
            return [FAILED]

    def _answer(self, texts: Sequence[str]) -> None:
        for text in texts:
            if not self._turn():
                return
            reply = self._bot.send_message(self.config.chat_id, _cut(text))
            if not reply.ok:
                if not self._stop.is_set():
                    log.warn(f"chat answer failed: {reply.error}")
                return

    def _turn(self) -> bool:
        """Waits for an answer's turn: room in the budget, then a second after the last answer.
        False when the chat stops, or when there is no room (the answer is dropped, and counted)."""
        if not self.budget.take(self._stop.wait):
            if not self._stop.is_set():
                self._count(dropped=1)
            return False
        with self._pace:
            at = max(time.monotonic(), self._next_turn)
            self._next_turn = at + REPLY_GAP
        return not self._stop.wait(max(0.0, at - time.monotonic()))

    # --- the chart worker ---

    def _draw(self) -> None:
        while (job := self._charts.get()) is not None and not self._stop.is_set():
            self._send_chart(*job)

    def _send_chart(self, chart: charts.Chart, caption: str) -> None:
        try:
            with self._uncuttable():
                png = charts.render(chart)
        except charts.ChartsMissing:
            self._answer(["Charts are not installed here: " + charts.INSTALL.split(": ", 1)[1]])
            return
        except Exception as e:  # noqa: BLE001 - one chart's fault is its own
            log.warn(f"chat command /chart failed: {type(e).__name__}: {e}")
            self._answer([FAILED])
            return
        if not self._turn():
            return
        reply = self._bot.send_photo(self.config.chat_id, png, caption)
        if not reply.ok and not self._stop.is_set():
            log.warn(f"chat chart failed: {reply.error}")
            self._answer([f"The chart could not be sent: {reply.words}"])

    # --- the commands ---

    def _help(self, args: Sequence[str]) -> list[str]:
        return ["\n".join(f"/{name} {a} - {what}".replace("  ", " ") for name, a, what in COMMANDS)]

    def _status(self, args: Sequence[str]) -> list[str]:
        now = time.time()
        mutes = self._store.mutes(now)
        next_poll = self.status.next_poll
        pending = self._store.pending()
        lines = [
            f"ashvigil {__version__}, up {_span(now - self.status.started)}",
            f"last cycle: {self.status.last_cycle}",
            f"next poll: {stamp(next_poll) + ' UTC' if next_poll else 'not planned'}",
            f"outbox: {len(pending)} alert pieces pending",
            "muted: " + (", ".join(f"SN{n} until {stamp(u)} UTC" for n, u in mutes.items()) or "none"),
        ]
        if len(self.config.destinations) > 1:
            counts = Counter(p.destination for p in pending)
            for place in self.config.destinations:
                why = self.status.failures.get(place.name)
                state = f"{counts[place.name]} pending" if counts[place.name] else "ok"
                lines.append(f"{place.name} ({place.kind}): {state}" + (f", failing: {why}" if why else ""))
        return ["\n".join(lines)]

    def _burn(self, args: Sequence[str]) -> list[str]:
        ids = _ids(args)
        if not ids:
            raise Usage
        rates = self._store.burn_map()
        last = {m.netuid: m.at for m in self._store.moves(netuids=ids) if not m.first}
        return [
            "\n".join(
                _rate_line(n, rates.get(n)) + (f", last changed {stamp(last[n])} UTC" if n in last else "") for n in ids
            )
        ]

    def _changes(self, args: Sequence[str]) -> list[str]:
        """The largest moves of the window; the rest are one line that says how to list them."""
        hours = _number(args, 24.0)
        found = [m for m in self._store.moves(int(time.time() - hours * 3600)) if not m.first]
        lines = [
            f"SN{m.netuid}: {shown_burn(m.old)} → {shown_burn(m.new)} at {stamp(m.at)}"
            for m in largest(found, CHANGES_SHOWN)
        ]
        if len(found) > CHANGES_SHOWN:
            lines.append(f"and {len(found) - CHANGES_SHOWN} more: ashvigil history --since {_since_text(hours)}")
        heading = f"Owner burn rate moves, last {hours:g} h\n{utc_now()} UTC\n{len(found)} moves"
        return message_bodies("\n\n".join([heading, "\n".join(lines)]) if lines else heading)

    def _chart(self, args: Sequence[str]) -> list[str]:
        """Read here, drawn and sent by the chart worker."""
        ids = _ids(args[:1])
        days = _number(args[1:], 7.0)
        if len(ids) != 1:
            raise Usage
        if not self._store.known(ids[0]):
            return [never_listed(ids[0])]
        if self._charts.qsize() >= CHART_QUEUE:
            self._count(dropped=1)
            return []
        end = int(time.time())
        chart = charts.chart_data(self._store, ids, end - int(days * DAY), end, self.config.interval_seconds)
        self._charts.put((chart, f"SN{ids[0]}, last {days:g} days"))
        return []

    def _top(self, args: Sequence[str]) -> list[str]:
        if len(args) > 1 or (args and not (_DIGITS.fullmatch(args[0]) and len(args[0]) <= 3)):
            raise Usage
        count = int(args[0]) if args else 10
        if not 0 < count <= 200:
            raise Usage
        rates = self._store.burn_map()
        numeric = []
        for netuid, rate in rates.items():
            try:
                numeric.append((float(rate), netuid))
            except ValueError:
                continue
        best = sorted(numeric, key=lambda pair: (-pair[0], int(pair[1]) if pair[1].isdigit() else 0))
        return ["\n".join(_rate_line(n, rates[n]) for _, n in best[:count]) or "no rates yet"]

    def _mute(self, args: Sequence[str]) -> list[str]:
        ids = _ids(args[:1])
        hours = _number(args[1:], 24.0)
        if len(ids) != 1:
            raise Usage
        if not self._store.known(ids[0]):
            return [never_listed(ids[0])]
        until = time.time() + hours * 3600
        self._store.mute(ids[0], until)
        return [f"SN{ids[0]} muted until {stamp(until)} UTC"]

    def _unmute(self, args: Sequence[str]) -> list[str]:
        ids = _ids(args)
        if len(ids) != 1:
            raise Usage
        self._store.mute(ids[0], None)
        return [f"SN{ids[0]} unmuted"]

    def _snapshot(self, args: Sequence[str]) -> list[str]:
        with self._uncuttable():
            rows = ashvigil.fetch_all_subnets_latest(self.config.api_key)
        if not isinstance(rows, list):
            return ["The listing failed: " + fetch_failure_in_words(rows if isinstance(rows, dict) else {})]
        watched = [row for row in rows if isinstance(row, dict)]
        return message_bodies(snapshot_text(self._chat_policy(), watched, utc_now(), SNAPSHOT_TITLE))

    def _chat_policy(self) -> Policy:
        """The filters of this chat's own destination: it is shown what it watches."""
        chats = [d.policy for d in self.config.destinations if d.name == self.config.chat_destination]
        return chats[0] if chats else self.config.policy


SNAPSHOT_TITLE = "Subnet owner burn rates (on request)"


def never_listed(netuid: str) -> str:
    return f"SN{netuid} has never been listed"


def _updates(result: Any, offset: int) -> list[dict[str, Any]] | None:
    """The updates of a getUpdates reply; None when it has the wrong shape. Each must be an
    object whose update_id is an integer (not a boolean), from the offset on and increasing, so
    that every batch moves the offset on."""
    if not isinstance(result, list):
        return None
    last = offset - 1
    for update in result:
        if not isinstance(update, dict):
            return None
        update_id = update.get("update_id")
        if type(update_id) is not int or not last < update_id <= MAX_UPDATE_ID:
            return None
        last = update_id
    return result


def _cut(text: str) -> str:
    """The answer within one Telegram message (UTF-16 units), whole lines kept where it is cut,
    and a last line that says so."""
    units = text.encode("utf-16-le")
    if len(units) <= 2 * MAX_MESSAGE:
        return text
    room = MAX_MESSAGE - len(CUT_NOTE) - 1
    head = units[: 2 * room].decode("utf-16-le", "ignore")  # a pair cut in two is left out
    kept = head.rpartition("\n")[0] or head
    return f"{kept}\n{CUT_NOTE}"


def _number(args: Sequence[str], default: float) -> float:
    """The one optional positive number of hours or days a command takes (at most a year's worth),
    in ASCII digits."""
    if len(args) > 1 or (args and not _DECIMAL.fullmatch(args[0])):
        raise Usage
    value = float(args[0]) if args else default
    if not 0 < value <= 366 * 24:
        raise Usage
    return value


def _since_text(hours: float) -> str:
    """The --since of `ashvigil history` for a window of `hours`: whole hours, or the minutes that
    cover it."""
    return f"{hours:.0f}h" if hours.is_integer() else f"{math.ceil(hours * 60)}m"


def _ids(args: Sequence[str]) -> list[str]:
    """Subnet ids in ASCII digits, leading zeros dropped; [] when any is not one."""
    if not all(_DIGITS.fullmatch(a) for a in args):
        return []
    return [a.lstrip("0") or "0" for a in args]


def _rate_line(netuid: str, rate: str | None) -> str:
    return f"SN{netuid}: " + (ashvigil.format_owner_burn(rate) if rate is not None else "not in the last poll")


def _span(seconds: float) -> str:
    minutes = int(seconds // 60)
    return (
        f"{minutes // 1440} d {minutes % 1440 // 60} h" if minutes >= 1440 else f"{minutes // 60} h {minutes % 60} min"
    )
