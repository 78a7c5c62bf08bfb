"""What a cycle leaves for the outside to watch: a heartbeat ping and a Prometheus text file.
Both are optional and never fatal: a failure is one log line."""

from __future__ import annotations

import math
import os
import re
import tempfile
import time
import urllib.parse
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field

from ashvigil_monitor import log, transport
from ashvigil_monitor.files import read_bounded

RESULTS = ("ok", "failed", "error")
_SAMPLE = re.compile(r'^(ashvigil_[a-z_]+)(?:\{(?:destination="([A-Za-z0-9_-]+)",)?result="([a-z]+)"\})? (\S+)$')
METRICS_LIMIT = 64 * 1024
PING_DEADLINE = 10.0
PING_CAP = 64 * 1024  # a heartbeat's reply is a word; the rest is not read


def ping(url: str, result: str, cut_at: Callable[[], float] = transport.never) -> None:
    """GET the URL after a good cycle, the URL + /fail after a failed one."""
    target = url if result == "ok" else _fail_url(url)
    try:
        response = transport.exchange("GET", target, deadline=PING_DEADLINE, cap=PING_CAP, cut_at=cut_at)
    except (transport.Unsent, transport.Lost) as e:
        log.warn(f"heartbeat failed: {e}")
        return
    except Exception as e:  # noqa: BLE001 - any failure of the ping is the ping's, never the monitor's
        log.warn(f"heartbeat failed: {type(e).__name__}: {e}")
        return
    if not 200 <= response.status < 300:
        log.warn(f"heartbeat failed: HTTP Error {response.status}: {response.reason}")


def _fail_url(url: str) -> str:
    """The URL with /fail added to its path, the query kept after it."""
    parts = urllib.parse.urlsplit(url)
    return urllib.parse.urlunsplit(parts._replace(path=parts.path.rstrip("/") + "/fail"))


@dataclass
class Metrics:
    """Counters that continue from the file a previous run left, so that `once` from a timer and
    restarts of `run` keep counting."""

    path: str
    cycles: dict[str, int] = field(default_factory=lambda: dict.fromkeys(RESULTS, 0))
    alerts_sent: int = 0
    last_success: float = 0.0
    subnets: int = 0
    outbox_pending: dict[str, int] = field(default_factory=dict)  # by destination
    alerts_dropped: dict[str, int] = field(default_factory=dict)  # by destination
    deliveries: dict[tuple[str, str], int] = field(default_factory=dict)  # (destination, result): pieces
    bot_ignored: int = 0
    bot_dropped: int = 0
    burn_rates: dict[str, float] = field(default_factory=dict)  # subnet id: its numeric burn rate
    active: int = 1  # 1 while this monitor acts for its database, 0 while it stands by

    @classmethod
    def load(cls, path: str) -> Metrics:
        """The counters of the file that is there; from 0 when it is missing, and from 0 with
        one line when it holds a value that is not a finite number >= 0."""
        metrics = cls(path)
        try:
            lines = read_bounded(path, METRICS_LIMIT).decode("utf-8").splitlines()
        except FileNotFoundError:
            return metrics
        except (OSError, UnicodeDecodeError) as e:
            log.warn(f"metrics file unreadable, counters start from 0: {e}")
            return metrics
        try:
            for line in lines:
                match = _SAMPLE.match(line)
                if match:
                    metrics._take(*match.groups())
        except ValueError as e:
            log.warn(f"metrics file unreadable, counters start from 0: {e}")
            return cls(path)
        return metrics

    def _take(self, name: str, destination: str | None, result: str | None, text: str) -> None:
        value = float(text)
        if not math.isfinite(value) or value < 0:
            raise ValueError(f"{name} is {text}")
        if name == "ashvigil_deliveries_total" and destination and result:
            self.deliveries[destination, result] = int(value)
        elif name == "ashvigil_cycles_total" and result in self.cycles:
            self.cycles[result] = int(value)
        elif name == "ashvigil_alerts_sent_total":
            self.alerts_sent = int(value)
        elif name == "ashvigil_last_success_timestamp_seconds":
            self.last_success = value
        elif name == "ashvigil_bot_updates_ignored_total":
            self.bot_ignored = int(value)
        elif name == "ashvigil_bot_answers_dropped_total":
            self.bot_dropped = int(value)
        elif name == "ashvigil_subnets":
            self.subnets = int(value)

    def record(
        self,
        result: str,
        alerts: int,
        subnets: int | None,
        pending: dict[str, int] | None,
        dropped: dict[str, int] | None,
    ) -> None:
        self.cycles[result] += 1
        self.alerts_sent += alerts
        if result == "ok":
            self.last_success = time.time()
        if subnets is not None:
            self.subnets = subnets
        if pending is not None:
            self.outbox_pending = pending
        if dropped is not None:
            self.alerts_dropped = dropped

    def record_deliveries(self, deliveries: Mapping[tuple[str, str], int]) -> None:
        """Pieces delivered, failed or lost, by destination and result, since the last record."""
        for key, count in deliveries.items():
            self.deliveries[key] = self.deliveries.get(key, 0) + count

    def text(self) -> str:
        lines = [
            "# HELP ashvigil_last_success_timestamp_seconds Unix time of the last watch cycle that returned 0.",
            "# TYPE ashvigil_last_success_timestamp_seconds gauge",
            f"ashvigil_last_success_timestamp_seconds {self.last_success:.3f}",
            "# HELP ashvigil_cycles_total Watch cycles by result: ok (0), failed (1), error (raised).",
            "# TYPE ashvigil_cycles_total counter",
            *(f'ashvigil_cycles_total{{result="{r}"}} {self.cycles[r]}' for r in RESULTS),
            "# HELP ashvigil_alerts_sent_total Alerts delivered to the chat.",
            "# TYPE ashvigil_alerts_sent_total counter",
            f"ashvigil_alerts_sent_total {self.alerts_sent}",
            "# HELP ashvigil_active 1 while this monitor acts for its database, 0 while it stands by.",
            "# TYPE ashvigil_active gauge",
            f"ashvigil_active {self.active}",
            "# HELP ashvigil_subnets Subnets in the last stored burn map.",
            "# TYPE ashvigil_subnets gauge",
            f"ashvigil_subnets {self.subnets}",
            "# HELP ashvigil_outbox_pending Alert pieces waiting in the outbox for delivery, by destination.",
            "# TYPE ashvigil_outbox_pending gauge",
            *(f'ashvigil_outbox_pending{{destination="{d}"}} {n}' for d, n in sorted(self.outbox_pending.items())),
            "# HELP ashvigil_alerts_dropped_total Alert pieces dropped from the outbox undelivered, by destination.",
            "# TYPE ashvigil_alerts_dropped_total counter",
            *(
                f'ashvigil_alerts_dropped_total{{destination="{d}"}} {n}'
                for d, n in sorted(self.alerts_dropped.items())
            ),
            "# HELP ashvigil_deliveries_total Pieces sent, by destination and result: delivered, failed or lost.",
            "# TYPE ashvigil_deliveries_total counter",
            *(
                f'ashvigil_deliveries_total{{destination="{d}",result="{r}"}} {n}'
                for (d, r), n in sorted(self.deliveries.items())
            ),
            "# HELP ashvigil_bot_updates_ignored_total Chat messages to the bot from other chats, ignored.",
            "# TYPE ashvigil_bot_updates_ignored_total counter",
            f"ashvigil_bot_updates_ignored_total {self.bot_ignored}",
            "# HELP ashvigil_bot_answers_dropped_total Chat answers dropped: the chat's budget of messages was used.",
            "# TYPE ashvigil_bot_answers_dropped_total counter",
            f"ashvigil_bot_answers_dropped_total {self.bot_dropped}",
            "# HELP ashvigil_owner_burn_rate Owner burn rate of each subnet with a numeric rate, as last stored.",
            "# TYPE ashvigil_owner_burn_rate gauge",
            *(
                f'ashvigil_owner_burn_rate{{netuid="{n}"}} {v!r}'
                for n, v in sorted(self.burn_rates.items(), key=_by_id)
            ),
        ]
        return "\n".join(lines) + "\n"

    def write(self) -> None:
        """Replaces the file whole, so a collector never reads half of it; nothing without a file
        (the numbers are then served over HTTP only)."""
        if not self.path:
            return
        directory = os.path.dirname(os.path.abspath(self.path))
        try:
            fd, temp = tempfile.mkstemp(dir=directory, prefix=".ashvigil-metrics-")
            try:
                with os.fdopen(fd, "w", encoding="utf-8") as f:
                    f.write(self.text())
                os.chmod(temp, 0o644)  # the exporter usually runs as another user
                os.replace(temp, self.path)
            except BaseException:
                os.unlink(temp)
                raise
        except OSError as e:
            log.warn(f"metrics not written: {e}")


def _by_id(item: tuple[str, float]) -> int:
    return int(item[0])
