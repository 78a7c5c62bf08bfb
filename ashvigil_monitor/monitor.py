"""Runs the module's snapshot, cycle and poll loop with the command's hooks in its namespace.

The module looks up `time.sleep`, `run_ashvigil_once` and `send_burn_telegram_messages` in its
own globals at call time, so the command wraps them there:
- a cycle (or the snapshot) is marked as running, so that a stop request waits for its end;
- sleeps outside a cycle are the poll loop's waits: they end at once on a stop request;
- every sleep pings the systemd watchdog, and every cycle's end updates the health outputs.
"""

from __future__ import annotations

import datetime
import sys
import time
import types
from collections.abc import Callable
from typing import Any

import ashvigil
from ashvigil_monitor import health
from ashvigil_monitor.config import Config
from ashvigil_monitor.notify import Notifier
from ashvigil_monitor.stopping import Stopped, Stopper


class Monitor:
    def __init__(self, config: Config, stopper: Stopper, notifier: Notifier) -> None:
        self.config = config
        self.stopper = stopper
        self.notifier = notifier
        self.metrics = health.Metrics.load(config.metrics_path) if config.metrics_path else None
        self._in_cycle = False
        self._delivered = 0
        self._cycle: Callable[..., int] = ashvigil.run_ashvigil_once
        self._send: Callable[..., Any] = ashvigil.send_burn_telegram_messages

    def install(self) -> None:
        ashvigil.time = types.SimpleNamespace(sleep=self.sleep)
        ashvigil.run_ashvigil_once = self.cycle
        ashvigil.send_burn_telegram_messages = self.send

    # --- the hooks the module calls ---

    def sleep(self, seconds: float) -> None:
        self.notifier.watchdog()
        if self._in_cycle:
            time.sleep(seconds)  # pauses inside a cycle (API retries, pieces) are part of its work
        elif self.stopper.wait(seconds):
            raise Stopped

    def send(self, text: str, token: str, chat_id: str) -> Any:
        result = self._send(text, token, chat_id)
        if isinstance(result, tuple) and result and result[0]:
            self._delivered += 1
        return result

    def cycle(self, **kwargs: Any) -> int:
        self._in_cycle, self._delivered = True, 0
        try:
            status = self._cycle(**kwargs)
        except BaseException as e:
            self._in_cycle = False
            if isinstance(e, Exception):  # a forced stop (KeyboardInterrupt) skips the health outputs
                self._after_cycle("error")
            raise
        self._in_cycle = False
        self._after_cycle("ok" if status == 0 else "failed")
        return status

    # --- what the command runs ---

    def snapshot(self) -> int:
        """The startup snapshot; one that raises is one line, and monitoring goes on."""
        self._in_cycle = True
        try:
            return int(ashvigil.run_burn_startup_snapshot(**self.config.delivery))
        except Exception as e:
            sys.stderr.write(f"[burn] snapshot error: {e}\n")
            return 1
        finally:
            self._in_cycle = False

    def once(self) -> int:
        return int(ashvigil.run_ashvigil_once(threshold=self.config.threshold, **self.config.delivery))

    def loop(self) -> None:
        """The module's poll loop, until the pause file appears; Stopped ends it from a wait."""
        if self.stopper.requested:
            raise Stopped
        ashvigil.run_burn_poll_loop(
            threshold=self.config.threshold,
            interval_minutes=self.config.interval_minutes,
            pause_path=self.config.pause_path,
            **self.config.delivery,
        )

    # --- health ---

    def _after_cycle(self, outcome: str) -> None:
        alerts = self._delivered
        subnets = self._stored_subnets() if outcome == "ok" else None
        now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
        self.notifier.watchdog(force=True)
        self.notifier.send(f"STATUS=last cycle {outcome} at {now}" + (f", {subnets} subnets" if subnets else ""))
        if self.config.heartbeat_url:
            health.ping(self.config.heartbeat_url, outcome)
        if self.metrics is not None:
            self.metrics.record(outcome, alerts, subnets)
            self.metrics.write()

    def _stored_subnets(self) -> int | None:
        """How many subnets the cycle stored; None when the state cannot be read back (health
        output never changes a cycle's result)."""
        try:
            return len(ashvigil.load_burn_state(self.config.state_path))
        except Exception:
            return None
