"""Time stamps as the module writes them: UTC, "%Y-%m-%dT%H:%M:%SZ"."""

from __future__ import annotations

import datetime

FORMAT = "%Y-%m-%dT%H:%M:%SZ"


def stamp(moment: datetime.datetime | float) -> str:
    if not isinstance(moment, datetime.datetime):
        moment = datetime.datetime.fromtimestamp(moment, datetime.timezone.utc)
    return moment.strftime(FORMAT)


def utc_now() -> str:
    return stamp(datetime.datetime.now(datetime.timezone.utc))


def epoch(text: str) -> int:
    """Unix time of a cycle's time stamp; ValueError for any other text."""
    moment = datetime.datetime.strptime(text, FORMAT).replace(tzinfo=datetime.timezone.utc)
    return int(moment.timestamp())
