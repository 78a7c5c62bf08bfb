"""One monitor per state file and per database: exclusive flocks for as long as the command works on
them. The kernel drops a lock with the process, so a crash never leaves it stale.

The state is locked through `<state>.lock` and, at start, the state file itself (a hard link names
the same inode). The database is locked on its own inode, so that two state files configured with
one database never share it. SQLite's own locks are POSIX locks, which are independent of flock,
but closing any descriptor of the database drops them all: the database lock is released only
after the Store is closed.
"""

from __future__ import annotations

import fcntl
import os
import stat

from ashvigil_monitor.errors import Refused


class StateBusy(Refused):
    """Another monitor holds the state file or the database."""


def _locked(path: str, flags: int, setting: str) -> int | None:
    """A descriptor of `path` holding an exclusive flock; None when another holds it. Opening never
    blocks on a FIFO, and anything but a regular file there is refused, naming `setting`."""
    try:
        fd = os.open(path, flags | os.O_NONBLOCK | os.O_CLOEXEC, 0o600)
    except FileExistsError:
        raise
    except OSError as e:
        raise Refused(f"{setting}: cannot open {path} ({e.strerror})") from None
    if not stat.S_ISREG(os.fstat(fd).st_mode):  # a FIFO or a device there is not ours to hold
        os.close(fd)
        raise Refused(f"{setting}: {path} is not a regular file")
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        return None
    return fd


class StateLock:
    def __init__(self, state_path: str) -> None:
        self.state_path = state_path
        self.path = os.path.realpath(state_path) + ".lock"  # one lock per file, whichever link names it
        self._fds: list[int] = []

    def __enter__(self) -> StateLock:
        try:
            self._take(self.path, os.O_RDWR | os.O_CREAT, self.path)
            if os.path.exists(self.state_path):
                self._take(self.state_path, os.O_RDONLY, self.state_path)
        except BaseException:
            self.__exit__()
            raise
        return self

    def _take(self, path: str, flags: int, held: str) -> None:
        fd = _locked(path, flags, "ASHVIGIL_STATE_PATH")
        if fd is None:
            raise StateBusy(f"another monitor is working on {self.state_path} (it holds {held})")
        self._fds.append(fd)

    def __exit__(self, *exc: object) -> None:
        for fd in self._fds:
            os.close(fd)  # releases the lock; the files stay for the next monitor
        self._fds.clear()


class DatabaseLock:
    """Creates the database file when missing (`created` tells); `again` locks the file that the
    path names after the old one was moved aside."""

    def __init__(self, db_path: str, state_path: str) -> None:
        self.db_path = db_path
        self.state_path = state_path
        self.created = False
        self._fd = -1

    def __enter__(self) -> DatabaseLock:
        self.again()
        return self

    def again(self) -> None:
        self.__exit__()
        try:
            fd = _locked(self.db_path, os.O_RDWR | os.O_CREAT | os.O_EXCL, "ASHVIGIL_DB_PATH")
            self.created = True
        except FileExistsError:
            fd = _locked(self.db_path, os.O_RDWR, "ASHVIGIL_DB_PATH")
            self.created = False
        if fd is None:
            raise StateBusy(
                f"another monitor is using the database {self.db_path}; {self.state_path} needs a database of"
                " its own (set ASHVIGIL_DB_PATH)"
            )
        self._fd = fd

    def __exit__(self, *exc: object) -> None:
        if self._fd >= 0:
            os.close(self._fd)
        self._fd = -1
