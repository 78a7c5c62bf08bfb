"""Whether this monitor acts for its database: on one machine it always does; on a shared database
only while its session holds the lock, the others standing by. Each change of role is one line,
and every monitor sharing a database writes its own row, which `status` lists."""

from __future__ import annotations

import time

from ashvigil_monitor import log
from ashvigil_monitor.store import DATABASE_ERRORS, Store

ACTIVE, STANDBY, STOPPED = "active", "standby", "stopped"


class Role:
    def __init__(self, store: Store, poll_seconds: float) -> None:
        self.store = store
        self.poll_seconds = poll_seconds
        self.active = not store.shared
        self.started = time.time()
        self.why = ""  # why it stands by, in words
        self._told = ACTIVE if self.active else ""

    @property
    def name(self) -> str:
        return ACTIVE if self.active else STANDBY

    def claim(self) -> bool:
        """Tries once to act, and notes this monitor's row; whether it acts."""
        try:
            active = self.store.lead()
            why = "" if active else "another monitor is active"
        except DATABASE_ERRORS as e:
            active, why = False, f"the database cannot be reached: {e}"
        self._become(active, why)
        self.note()
        return active

    def holds(self) -> bool:
        """Whether it still acts, as its session last knew (no statement); a loss is told."""
        if self.active and not self.store.leading_noted():
            self._become(False, "its database session was lost")
        return self.active

    def note(self, role: str = "") -> None:
        """This monitor's row among those sharing the database (one machine's has none)."""
        if not self.store.shared:
            return
        try:
            self.store.note_monitor(role or self.name, self.started)
        except DATABASE_ERRORS as e:
            if self.active:
                log.warn(f"database write failed: {e}")

    def leave(self) -> None:
        """A monitor that stops says so: `status` lists it as stopped, not as acting."""
        self.note(STOPPED)

    def _become(self, active: bool, why: str) -> None:
        self.active, self.why = active, why
        told = ACTIVE if active else f"{STANDBY}: {why}"
        if told == self._told:
            return
        self._told = told
        if active:
            log.line("role: active (this monitor holds the database's lock)", "role")
        else:
            log.line(f"role: standby ({why}); trying every {self.poll_seconds:g} s", "role")
