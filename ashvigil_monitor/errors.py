"""The command's exception bases, one per exit status; `cli` is the one place that maps them."""

from __future__ import annotations


class Failed(Exception):
    """Exit status 1: the work could not be done (one line says why)."""

    status = 1


class CheckFailed(Failed):
    """One check of `ashvigil check` that did not pass; the others still run. Here, low down, so
    that a destination's sender can raise it."""


class Refused(Exception):
    """Exit status 2: the command must not run as configured, or another monitor holds the state.
    The message names the setting, never a secret."""

    status = 2


class ConfigError(Refused):
    """A configuration value that must not run; `setting` names the variable that holds it, so
    that a value from the config file can be shown where it is written."""

    def __init__(self, message: str, setting: str | None = None) -> None:
        super().__init__(message)
        self.setting = setting


class DatabaseFailure(Exception):
    """A shared database's failure, as the store raises it (its driver is optional); `lost` when
    the session itself is gone, and with it the lock it held."""

    def __init__(self, message: str, lost: bool = False) -> None:
        super().__init__(message)
        self.lost = lost
