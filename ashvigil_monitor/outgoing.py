"""What every destination kind shares: the piece handed to it, the reply it gives back, and the
shape of a sender. A sender renders a piece in its kind's form (the Delayed mark included) and
delivers it through the command's one HTTP client or SMTP."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Protocol

EVENTS = ("changes", "snapshot", "failing", "recovered", "digest", "test")
Change = tuple[str, str, str]  # subnet id, old rate text, new rate text


@dataclass(frozen=True)
class Reply:
    """How a delivery ended. `ok`: the service took it. `lost`: the request went out and no
    readable reply came back, so it may have been carried out. `error` is the detail for the log
    (masked there); `words` says what happened without quoting the server or a URL, for the chat."""

    ok: bool
    error: str = ""
    lost: bool = False
    result: Any = None
    status: int | None = None  # the HTTP status of an error reply
    words: str = ""


@dataclass(frozen=True)
class Outgoing:
    """One piece for one destination, as its own cycle wrote it."""

    text: str  # the piece, numbered "(k/n)" when its text has several
    event: str  # one of EVENTS
    cycle_at: str  # the time stamp of the cycle that queued it
    delayed: bool = False  # delivered after its own cycle, or tried before
    changes: tuple[Change, ...] = ()  # the alert's changes (every piece carries all of them)
    piece: int = 1
    pieces: int = 1


class Sender(Protocol):
    """One destination's way out."""

    kind: str
    limit: int | None  # characters of one piece (its numbering included); None: never divided

    def send(self, out: Outgoing) -> Reply: ...

    def check(self) -> str:
        """What `check` says of the destination when it is reachable; CheckFailed otherwise.
        Sends nothing anyone reads."""
        ...
