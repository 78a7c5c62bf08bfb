"""Every text a person reads in the chat that the command writes itself, around the module's own
alert and snapshot texts: numbering, the Delayed mark, the quiet-hours merge, the failure and
recovery messages, failures told in words."""

from __future__ import annotations

import sqlite3
import urllib.error
from collections.abc import Sequence
from typing import Any

import ashvigil
from ashvigil_monitor.errors import DatabaseFailure
from ashvigil_monitor.policy import Policy
from ashvigil_monitor.times import epoch

MAX_MESSAGE = 4096  # Telegram's limit, in UTF-16 code units


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


def error_in_words(error: BaseException) -> str:
    """Why a cycle raised, as an operator would say it: the module raises the transport failures
    of its taostats request, and the database raises its own."""
    if isinstance(error, (sqlite3.Error, DatabaseFailure)):
        return f"the database failed: {error}"
    if isinstance(error, TimeoutError):
        return "taostats did not answer in time"
    if isinstance(error, urllib.error.URLError):
        reason = error.reason
        why = reason.strerror if isinstance(reason, OSError) and reason.strerror else str(reason)
        return f"taostats could not be reached ({why})"
    if isinstance(error, OSError):
        return f"taostats could not be reached ({error.strerror or type(error).__name__})"
    return f"an error ({type(error).__name__})"


CHUNK = 3900  # the module's own piece size, for Telegram's 4096
MARGIN = 100  # what a piece leaves of its kind's limit for its number and the Delayed line


def chunk_size(limit: int) -> int:
    """The piece size for a kind whose messages hold `limit` characters."""
    return min(CHUNK, limit - MARGIN)


def message_bodies(text: str, chunk: int | None = CHUNK) -> list[str]:
    """The module's pieces of a text, numbered "(k/n)" on a line of their own when there are
    several; `chunk` characters at most each, or the whole text as one when None."""
    if chunk is None:
        return [text]
    pieces = ashvigil._chunk_text(text) if chunk == CHUNK else ashvigil._chunk_text(text, chunk)
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


def delayed(cycle_at: str, body: str) -> str:
    return fit(f"Delayed: alert of {cycle_at} UTC\n{body}")


def alert_text(changes: Sequence[tuple[str, str, str]], updated_at: str, merged: int) -> str:
    """The module's alert; a quiet-hours summary of `merged` moves says so on a last line."""
    text = ashvigil.format_burn_alert(list(changes), updated_at)
    return text + f"\n\n{merged} moves during quiet hours, merged: first and last rate" if merged else text


def snapshot_text(policy: Policy, rows: list[dict[str, Any]], updated_at: str, title: str = "") -> str:
    """The module's snapshot of the watched rows; its count says "K of N" when some are not, and
    `title` replaces the module's first line (a snapshot asked for in the chat is no startup's)."""
    watched = [row for row in rows if "netuid" not in row or policy.watched(str(row["netuid"]))]
    lines = ashvigil.format_burn_snapshot(watched, updated_at).split("\n")
    if len(watched) != len(rows):
        lines[2] = f"{len(watched)} of {len(rows)} subnets"
    if title:
        lines[0] = title
    return "\n".join(lines)


GONE = "(gone)"  # a subnet that left the listing, wherever a rate is shown


def shown_burn(burn: str | None, limit: int = 0) -> str:
    """A burn text as the alerts show it, GONE for none; cut to `limit` characters when given."""
    if burn is None:
        return GONE
    text = ashvigil.format_owner_burn(burn)
    return text if not limit or len(text) <= limit else text[: limit - 1] + "…"


def failing(since: str, count: int, why: str) -> str:
    return f"ashvigil: watch cycles failing since {since} UTC ({count} in a row): {why or 'unknown'}"


def recovered(now: str, since: str, count: int) -> str:
    return (
        f"ashvigil: watch cycles recovered at {now} UTC after failing for {duration(since, now)}"
        f" ({count} cycles in a row since {since} UTC)"
    )


def duration(since: str, until: str) -> str:
    try:
        minutes = (epoch(until) - epoch(since)) // 60
    except ValueError:
        return "a while"
    return f"{minutes // 60} h {minutes % 60} min" if minutes >= 60 else f"{minutes} min"


def cut(text: str, limit: int) -> str:
    """The text in at most `limit` characters, "…" ending it where it was cut."""
    return text if len(text) <= limit else text[: limit - 1] + "…"
