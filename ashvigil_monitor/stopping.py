"""Graceful stop on SIGTERM and SIGINT.

The first signal only sets a flag: a cycle in progress finishes what it can within GRACE seconds
(a delivery in flight, a short retry wait), and a wait between cycles ends at once. After the
grace, every HTTP exchange is cut and no retry wait starts: what is left undelivered waits in the
outbox. A second SIGINT raises KeyboardInterrupt wherever the program is.
"""

from __future__ import annotations

import math
import os
import select
import signal
import time
from types import FrameType


class Stopped(BaseException):
    """Ends the poll loop from a wait. A BaseException, so that the module's loop, which logs and
    survives ordinary failures of a cycle, lets it through."""


GRACE = 1.5  # seconds a stop request leaves the cycle in progress


class Stopper:
    def __init__(self) -> None:
        self.signal_name: str | None = None
        self._stopped_at = math.inf  # monotonic; a float, so the handler takes no lock
        self.reload_requested = False  # SIGHUP: read the configuration again between cycles
        self._wake_r = -1

    def install(self) -> None:
        # The signal's wake-up byte ends a select() wait at once, whatever the handler sees.
        self._wake_r, wake_w = os.pipe()
        os.set_blocking(self._wake_r, False)
        os.set_blocking(wake_w, False)
        signal.set_wakeup_fd(wake_w, warn_on_full_buffer=False)
        signal.signal(signal.SIGTERM, self._on_signal)
        signal.signal(signal.SIGINT, self._on_signal)
        signal.signal(signal.SIGHUP, self._on_hangup)

    def _on_hangup(self, signum: int, frame: FrameType | None) -> None:
        self.reload_requested = True

    @property
    def requested(self) -> bool:
        return self.signal_name is not None

    def _on_signal(self, signum: int, frame: FrameType | None) -> None:
        name = signal.Signals(signum).name
        if self.requested and signum == signal.SIGINT:
            # Forced: later presses must not interrupt the exit itself.
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            raise KeyboardInterrupt
        if not self.requested:
            self._stopped_at = time.monotonic()
            self.signal_name = name

    def cut_at(self) -> float:
        """The moment from which exchanges and retry waits end: the grace after a stop request."""
        return self._stopped_at + GRACE

    def wait(self, seconds: float) -> bool:
        """Waits up to `seconds`; True as soon as a stop is requested. A reload request ends the
        wait early too (False), so that the caller reloads between cycles."""
        deadline = time.monotonic() + seconds
        while not self.requested and not self.reload_requested:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            if self._wake_r < 0:
                time.sleep(left)
                continue
            select.select([self._wake_r], [], [], left)
            try:
                os.read(self._wake_r, 512)
            except BlockingIOError:
                pass
        return self.requested
