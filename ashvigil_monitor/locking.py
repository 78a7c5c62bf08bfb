"""One monitor per state file: an exclusive flock on `<state>.lock` for as long as the command works
on the state. The kernel drops the lock with the process, so a crash never leaves it stale."""

from __future__ import annotations

import fcntl
import os
import stat

from ashvigil_monitor.errors import Refused


class StateBusy(Refused):
    """Another monitor holds the state file."""


class StateLock:
    def __init__(self, state_path: str) -> None:
        self.state_path = state_path
        self.path = os.path.realpath(state_path) + ".lock"  # one lock per file, whichever link names it
        self._fd = -1

    def __enter__(self) -> StateLock:
        try:
            fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        except OSError as e:
            raise Refused(f"ASHVIGIL_STATE_PATH: cannot open its lock file {self.path} ({e.strerror})") from None
        if not stat.S_ISREG(os.fstat(fd).st_mode):  # a FIFO or a device there is not ours to hold
            os.close(fd)
            raise Refused(f"ASHVIGIL_STATE_PATH: its lock file {self.path} is not a regular file")
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise StateBusy(f"another monitor is working on {self.state_path} (it holds {self.path})") from None
        self._fd = fd
        return self

    def __exit__(self, *exc: object) -> None:
        os.close(self._fd)  # releases the lock; the file stays for the next monitor
        self._fd = -1
