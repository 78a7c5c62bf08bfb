"""One watch cycle and the startup snapshot, built from the module's functions, with the outbox
that makes every alert arrive at least once.

A cycle: send what earlier cycles left pending, fetch, compare with the previous map, commit the
alert's pieces and the new map to the database (write-ahead), store the state file, then send the
pieces. A crash after the write-ahead loses nothing: the pieces wait in the outbox, and the map in
the database stands in for a state file that was not yet written. A piece delivered after its own
cycle is marked with a first line that begins "Delayed".
"""

from __future__ import annotations

import dataclasses
import datetime
import json
import os
import sqlite3
import stat
import time
from collections.abc import Callable, Sequence
from typing import Any

import ashvigil
from ashvigil_monitor import log
from ashvigil_monitor.botapi import BotApi
from ashvigil_monitor.changes import detect, merge
from ashvigil_monitor.chronicle import Chronicle
from ashvigil_monitor.config import Config
from ashvigil_monitor.files import read_bounded
from ashvigil_monitor.policy import Policy
from ashvigil_monitor.store import Piece, Store, Subnet
from ashvigil_monitor.times import utc_now

PIECE_PAUSE = 0.4  # seconds between two pieces of one text, as the module pauses
MAX_MESSAGE = 4096  # Telegram's limit, in UTF-16 code units
STATE_LIMIT = 64 << 20  # a state file is read to check it only when the module found no map in it


def fetch_failure_in_words(result: dict[str, Any]) -> str:
    """Why a listing held no rows, as an operator would say it."""
    response = result.get("response")
    status = response.get("http_status") if isinstance(response, dict) else None
    if status in (401, 403):
        return f"HTTP {status}: the API key was refused"
    if status == 429:
        return "HTTP 429: taostats rate-limited every attempt"
    if isinstance(status, int):
        return f"HTTP {status}: taostats " + ("is failing" if status >= 500 else "refused the request")
    if isinstance(response, dict) and "parse_error" in response:
        return "taostats answered with a page that is not JSON"
    return "taostats listed no subnets"


def burn_map(rows: Sequence[dict[str, Any]]) -> dict[str, str]:
    """Subnet id text to owner burn text, rows in order, a later duplicate winning."""
    return {
        row["netuid"] if isinstance(row["netuid"], str) else str(row["netuid"]): ashvigil.owner_burn_from_row(row)
        for row in rows
        if "netuid" in row
    }


def message_bodies(text: str) -> list[str]:
    """The module's pieces of a text, numbered "(k/n)" on a line of their own when there are several."""
    pieces = ashvigil._chunk_text(text)
    if len(pieces) == 1:
        return pieces
    return [f"({k}/{len(pieces)})\n{piece}" for k, piece in enumerate(pieces, 1)]


def fit(text: str) -> str:
    """The text cut to one Telegram message (a single over-long line from a hostile listing)."""
    if len(text.encode("utf-16-le")) <= 2 * MAX_MESSAGE:
        return text
    cut = text[: MAX_MESSAGE - 1]
    while len(cut.encode("utf-16-le")) > 2 * (MAX_MESSAGE - 1):
        cut = cut[:-1]
    return cut + "…"


def delayed(piece: Piece) -> str:
    return fit(f"Delayed: alert of {piece.cycle_at} UTC\n{piece.body}")


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
    if burns:
        return burns
    try:  # the module answers {} for an empty map and for a file it could not read alike
        document = json.loads(read_bounded(path, STATE_LIMIT))
    except (OSError, ValueError):
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


class Watch:
    """The cycle, the snapshot and the outbox for one configuration. `pause` waits inside a cycle
    (between pieces); the caller makes it ping its watchdog."""

    def __init__(self, config: Config, store: Store, bot: BotApi, pause: Callable[[float], None] = time.sleep):
        self.config = config
        self.store = store
        self.bot = bot
        self.pause = pause
        self.alerts_sent = 0  # alerts whose last piece was delivered, since start
        self.subnets: int | None = None  # subnets in the last stored map
        self.failure = ""  # why the last cycle failed, in words
        self._told_absent = False
        self.chronicle = Chronicle(config, store, bot, self.send_pending)

    # --- the outbox ---

    def drop_expired(self) -> None:
        cutoff = time.time() - self.config.outbox_max_age_hours * 3600
        expired = [p for p in self.store.pending() if p.queued_at < cutoff]
        if expired:
            self.store.drop(expired)
        for p in expired:
            log.line(
                f"alert dropped ({p.label}): older than {self.config.outbox_max_age_hours:g} h;"
                f" last error: {p.last_error}"
            )

    def quiet(self) -> bool:
        return self.config.policy.quiet(datetime.datetime.now(datetime.timezone.utc))

    def send_pending(self, current: str | None = None) -> bool:
        """Pending pieces, oldest first, those of other cycles than `current` marked Delayed;
        stops at the first that fails. False when one failed; quiet hours hold them (no failure)."""
        self.drop_expired()
        return self.quiet() or self._send(self.store.pending(), current)

    def announce(self, text: str) -> None:
        """A message of the command's own (a failure, a recovery), through the outbox."""
        at = utc_now()
        try:
            self.store.queue(at, message_bodies(text))
        except sqlite3.Error as e:
            log.line(f"database write failed, message not queued: {e}")
            return
        self.send_pending(at)

    def _send(self, pieces: Sequence[Piece], current: str | None) -> bool:
        for index, piece in enumerate(pieces):
            if index:
                self.pause(PIECE_PAUSE)
            late = piece.cycle_at != current
            reply = self.bot.send_message(self.config.chat_id, delayed(piece) if late else fit(piece.body))
            if not reply.ok:
                _write(self.store.failed, piece, reply.error)
                again = "; it is sent again next cycle, marked Delayed" if reply.lost else ""
                log.line(f"telegram failed: {reply.error}{again}")
                self.failure = f"Telegram: {reply.error}"
                return False
            _write(self.store.delivered, piece)
            if piece.piece == piece.pieces:
                self.alerts_sent += 1
            if late:
                log.line(f"delayed alert sent ({piece.cycle_at}, piece {piece.piece}/{piece.pieces})")
        return True

    # --- fetch and store ---

    def _fetch(self, failure: str) -> list[dict[str, Any]] | None:
        result = ashvigil.fetch_all_subnets_latest(self.config.api_key)
        if isinstance(result, dict) and result.get("error"):
            log.line(failure + json.dumps(result))
            self.failure = fetch_failure_in_words(result)
            return None
        if not isinstance(result, list):
            raise TypeError(f"Expected list, got {type(result).__name__:.200}")
        return [row for row in result if isinstance(row, dict)]

    def _previous(self) -> dict[str, str]:
        saved, in_state = self.store.burn_map()
        if saved and not in_state:
            return saved  # stopped between the write-ahead and the store: the database is newer
        try:
            return read_state(self.config.state_path)
        except Unreadable as e:
            aside = set_aside(self.config.state_path)
            log.line(
                f"state file unreadable ({e}): kept as {aside}; comparing with the database's last map"
                f" ({len(saved)} subnets)"
            )
            return saved

    def _store(self, current: dict[str, str], updated_at: str, bodies: Sequence[str], **more: Any) -> bool:
        """Write-ahead, then the state file. False, with one line, when the database refused."""
        try:
            self.store.write_ahead(current, updated_at, bodies, **more)
        except sqlite3.Error as e:
            log.line(f"database write failed, rates not stored: {e}")
            self.failure = f"the database refused a write: {e}"
            return False
        ashvigil.save_burn_state(self.config.state_path, current, updated_at)
        _write(lambda: self.store.map_in_state())
        self.subnets = len(current)
        return True

    # --- what the command runs ---

    def cycle(self) -> int:
        """One watch cycle: 0 when it leaves nothing undelivered (quiet hours hold without
        failing), else 1."""
        self.failure = ""
        clear = self.send_pending()
        updated_at = utc_now()
        listing = self._listing("fetch failed: ")
        if listing is None:
            self.chronicle.failed(updated_at)
            return 1
        policy = dataclasses.replace(self.config.policy, muted=frozenset(self.store.mutes(time.time())))
        current = listing[1]
        changes, records = detect(policy, self.store.subnets(), self._previous(), current)
        quiet, held = self.quiet(), self.store.held()
        alert = [] if quiet else merge([*held, *changes]) if held else changes
        bodies = message_bodies(alert_text(alert, updated_at, len(held) + len(changes) if held else 0)) if alert else []
        hold = changes if quiet else []
        if not self._store(current, updated_at, bodies, subnets=records, hold=hold, release_held=bool(alert)):
            return 1
        self.chronicle.stored(current, updated_at)
        if not alert:
            if hold:
                log.line(f"alert held for after quiet hours ({len(hold)} subnet(s))")
            return 0 if clear else 1
        if not clear:
            log.line(f"alert queued ({len(alert)} subnet(s)) behind undelivered pieces")
            return 1
        if not self._send(self.store.pending(), updated_at):
            return 1
        log.line(f"alert sent ({len(alert)} subnet(s))")
        self.chronicle.alert_sent(alert)
        return 0

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
        """The startup snapshot of the watched subnets: stored, sent, never queued (it is stale
        by the next cycle), skipped in quiet hours."""
        updated_at = utc_now()
        listing = self._listing("startup fetch failed: ")
        if listing is None:
            return 1
        rows, current = listing
        quiet = self.quiet()
        # What the chat is shown becomes the baseline; a snapshot not shown changes none.
        records = None if quiet else {**self.store.subnets(), **{n: Subnet(r, r) for n, r in current.items()}}
        if not self._store(current, updated_at, [], subnets=records):
            return 1
        self.chronicle.stored(current, updated_at)
        if quiet:
            log.line("startup snapshot skipped: quiet hours")
            return 0
        for index, body in enumerate(message_bodies(snapshot_text(self.config.policy, rows, updated_at))):
            if index:
                self.pause(PIECE_PAUSE)
            reply = self.bot.send_message(self.config.chat_id, fit(body))
            if not reply.ok:
                log.line(f"startup telegram failed: {reply.error}")
                return 1
        log.line(f"startup snapshot sent ({len(rows)} subnets)")
        return 0


def alert_text(changes: Sequence[tuple[str, str, str]], updated_at: str, merged: int) -> str:
    """The module's alert; a digest of `merged` moves held in quiet hours says so on a last line."""
    text = ashvigil.format_burn_alert(list(changes), updated_at)
    return text + f"\n\n{merged} moves during quiet hours, merged: first and last rate" if merged else text


def snapshot_text(policy: Policy, rows: list[dict[str, Any]], updated_at: str) -> str:
    """The module's snapshot of the watched rows; its count says "K of N" when some are not."""
    watched = [row for row in rows if "netuid" not in row or policy.watched(str(row["netuid"]))]
    text = ashvigil.format_burn_snapshot(watched, updated_at)
    if len(watched) == len(rows):
        return text
    lines = text.split("\n")
    lines[2] = f"{len(watched)} of {len(rows)} subnets"
    return "\n".join(lines)


def _write(action: Callable[..., None], *args: Any) -> None:
    """A bookkeeping write after the store: its failure is one line, never a lost delivery (a
    piece not marked delivered is sent again, marked)."""
    try:
        action(*args)
    except sqlite3.Error as e:
        log.line(f"database write failed: {e}")
