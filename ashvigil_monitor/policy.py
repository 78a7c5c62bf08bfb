"""What an operator asks to be told: which subnets, how closely, in which direction, and when to
be quiet. Parsed from the settings' texts (ConfigError naming the setting) and asked by the cycle.
"""

from __future__ import annotations

import datetime
import math
import re
from collections.abc import Mapping
from typing import Final, NamedTuple

from ashvigil_monitor.errors import ConfigError

COMPARE_RULES = ("last-alert", "last-poll")
DIRECTIONS = ("both", "up", "down")
_RANGE = re.compile(r"\s*(\d+)\s*(?:-\s*(\d+)\s*)?")
_CLOCK = re.compile(r"\s*([01]?\d|2[0-3]):([0-5]\d)\s*")


class SubnetSet:  # not a tuple: its `in` asks for an id, not a field
    """Subnet ids as ranges ("1,3,10-20"); `None` ranges mean every subnet."""

    __slots__ = ("ranges",)

    def __init__(self, ranges: tuple[tuple[int, int], ...] | None = None) -> None:
        self.ranges: Final = ranges

    def __eq__(self, other: object) -> bool:
        return isinstance(other, SubnetSet) and other.ranges == self.ranges

    def __hash__(self) -> int:
        return hash(self.ranges)

    def __repr__(self) -> str:
        return f"SubnetSet({self.ranges!r})"

    def __contains__(self, netuid: int | None) -> bool:
        # Asked for every subnet of every poll: a plain loop, no generator.
        if self.ranges is None:
            return True
        if netuid is None:
            return False
        for lo, hi in self.ranges:
            if lo <= netuid <= hi:
                return True
        return False

    @property
    def text(self) -> str:
        if self.ranges is None:
            return "all"
        return ",".join(str(lo) if lo == hi else f"{lo}-{hi}" for lo, hi in self.ranges)


def parse_subnets(name: str, text: str, everyone: bool = True) -> SubnetSet:
    """`everyone`: what an empty text means, every subnet or none."""
    if not text.strip() or (everyone and text.strip().lower() == "all"):
        return SubnetSet(None if everyone else ())
    ranges = []
    for part in text.split(","):
        match = _RANGE.fullmatch(part)
        if not match or (match[2] is not None and int(match[2]) < int(match[1])):
            raise ConfigError(f"{name} must be subnet ids and ranges such as 1,3,10-20, got {text!r}")
        ranges.append((int(match[1]), int(match[2] if match[2] is not None else match[1])))
    return SubnetSet(tuple(ranges))


def parse_thresholds(name: str, text: str) -> dict[int, float]:
    thresholds: dict[int, float] = {}
    for part in filter(str.strip, text.split(",")):
        netuid, sep, value = part.partition("=")
        try:
            number = float(value)
            key = int(netuid)
        except ValueError:
            number = key = -1
        if not sep or key < 0 or not math.isfinite(number) or number < 0:
            raise ConfigError(f"{name} must be id=threshold pairs such as 12=0.01,64=0.002, got {text!r}")
        thresholds[key] = number
    return thresholds


def parse_choice(name: str, text: str, choices: tuple[str, ...]) -> str:
    value = text.strip().lower() or choices[0]
    if value not in choices:
        raise ConfigError(f"{name} must be one of {', '.join(choices)}, got {text!r}")
    return value


def parse_timezone(name: str, text: str) -> datetime.tzinfo:
    """UTC when none is set; zoneinfo (its time zone database found on the disk) is imported only
    for a zone named."""
    if not text.strip():
        return datetime.timezone.utc
    import zoneinfo

    try:
        return zoneinfo.ZoneInfo(text.strip())
    except (zoneinfo.ZoneInfoNotFoundError, ValueError, OSError):  # OSError: a directory such as "America"
        raise ConfigError(f"{name} must be an IANA time zone such as Europe/Berlin, got {text!r}") from None


def parse_quiet_hours(name: str, text: str) -> tuple[datetime.time, datetime.time] | None:
    if not text.strip():
        return None
    start, sep, end = text.partition("-")
    ends = [_CLOCK.fullmatch(start), _CLOCK.fullmatch(end)]
    if not sep or not ends[0] or not ends[1] or start.strip() == end.strip():
        raise ConfigError(f"{name} must be two different times such as 22:00-07:00, got {text!r}")
    first, last = (datetime.time(int(m[1]), int(m[2])) for m in ends if m)
    return first, last


def parse_time_of_day(name: str, text: str) -> datetime.time | None:
    if not text.strip():
        return None
    match = _CLOCK.fullmatch(text)
    if match is None:
        raise ConfigError(f"{name} must be a time of day such as 09:00, got {text!r}")
    return datetime.time(int(match[1]), int(match[2]))


class Policy(NamedTuple):  # not a dataclass: its import and making would slow every start
    threshold: float = 0.0001
    compare: str = "last-alert"
    report_new_and_gone: bool = True
    subnets: SubnetSet = SubnetSet()
    excluded: SubnetSet = SubnetSet(())
    thresholds: Mapping[int, float] = {}  # shared by every default: never changed in place
    direction: str = "both"
    quiet_hours: tuple[datetime.time, datetime.time] | None = None
    timezone: datetime.tzinfo = datetime.timezone.utc
    muted: frozenset[str] = frozenset()  # muted from the chat for a while: not alerted

    def watched(self, netuid: str) -> bool:
        if self.subnets.ranges is None and not self.excluded.ranges:  # every subnet: no number needed
            return netuid not in self.muted
        number = subnet_number(netuid)
        listed = number in self.subnets and (number is None or number not in self.excluded)
        return listed and netuid not in self.muted

    def threshold_of(self, netuid: str) -> float:
        number = subnet_number(netuid)
        return self.thresholds.get(number, self.threshold) if number is not None else self.threshold

    def in_direction(self, old: str, new: str) -> bool:
        """A move the direction lets through; a text that is not a number always passes."""
        if self.direction == "both":
            return True
        try:
            before, after = float(old), float(new)
        except ValueError:
            return True
        return after > before if self.direction == "up" else after < before

    def absent(self, listed: set[str]) -> str:
        """The watched subnet ids of an explicit list that the listing lacks, as ranges."""
        if self.subnets.ranges is None:
            return ""
        ids = sorted(
            {n for lo, hi in self.subnets.ranges for n in range(lo, min(hi, lo + 4096) + 1)}
            - {n for n in map(subnet_number, listed) if n is not None}
        )
        runs: list[tuple[int, int]] = []
        for n in (n for n in ids if n not in self.excluded):
            if runs and runs[-1][1] == n - 1:
                runs[-1] = (runs[-1][0], n)
            else:
                runs.append((n, n))
        return SubnetSet(tuple(runs)).text if runs else ""

    def quiet(self, now: datetime.datetime) -> bool:
        if self.quiet_hours is None:
            return False
        start, end = self.quiet_hours
        local = now.astimezone(self.timezone).time().replace(tzinfo=None)
        return start <= local < end if start < end else local >= start or local < end


def subnet_number(netuid: str) -> int | None:
    try:
        return int(netuid)
    except ValueError:
        return None


def rate(burn: str | None) -> float | None:
    """The burn text as a number, None when it is missing or not a finite number."""
    try:
        value = float(burn) if burn is not None else math.nan
    except ValueError:
        return None
    return value if math.isfinite(value) else None
