"""The one writer of the command's log lines: "[burn] " and a text made safe by the egress, on
standard error, so that the journal reads the same whoever wrote a line."""

from __future__ import annotations

import sys

from ashvigil_monitor.egress import safe

PREFIX = "[burn] "


def line(text: str) -> None:
    sys.stderr.write(PREFIX + safe(text) + "\n")
