"""What a cycle leaves for the outside to watch: a heartbeat ping and a Prometheus text file.
Both are optional and never fatal: a failure is one log line."""

from __future__ import annotations

import os
import re
import sys
import tempfile
import time
import urllib.parse
import urllib.request
from dataclasses import dataclass, field

RESULTS = ("ok", "failed", "error")
_SAMPLE = re.compile(r'^(ashvigil_[a-z_]+)(?:\{result="([a-z]+)"\})? (\S+)$')


def log(line: str) -> None:
    sys.stderr.write(line + "\n")


def ping(url: str, result: str) -> None:
    """GET the URL after a good cycle, the URL + /fail after a failed one."""
    target = url if result == "ok" else _fail_url(url)
    try:
        with urllib.request.urlopen(target, timeout=10) as response:
            response.read()
    except Exception as e:  # any failure of the ping is the ping's, never the monitor's
        log(f"[burn] heartbeat failed: {e}")


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

    @classmethod
    def load(cls, path: str) -> Metrics:
        metrics = cls(path)
        try:
            with open(path, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except (OSError, UnicodeDecodeError):
            return metrics
        for line in lines:
            match = _SAMPLE.match(line)
            if match:
                metrics._take(*match.groups())
        return metrics

    def _take(self, name: str, result: str | None, text: str) -> None:
        try:
            value = float(text)
        except ValueError:
            return
        if name == "ashvigil_cycles_total" and result in self.cycles:
            self.cycles[result] = int(value)
        elif name == "ashvigil_alerts_sent_total":
            self.alerts_sent = int(value)
        elif name == "ashvigil_last_success_timestamp_seconds":
            self.last_success = value
        elif name == "ashvigil_subnets":
            self.subnets = int(value)

    def record(self, result: str, alerts: int, subnets: int | None) -> None:
        self.cycles[result] += 1
        self.alerts_sent += alerts
        if result == "ok":
            self.last_success = time.time()
        if subnets is not None:
            self.subnets = subnets

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
            "# HELP ashvigil_subnets Subnets in the last stored burn map.",
            "# TYPE ashvigil_subnets gauge",
            f"ashvigil_subnets {self.subnets}",
        ]
        return "\n".join(lines) + "\n"

    def write(self) -> None:
        """Replaces the file whole, so a collector never reads half of it."""
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
            log(f"[burn] metrics not written: {e}")
