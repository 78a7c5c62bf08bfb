"""The one writer of the command's log lines: "[burn] " and a text made safe, on standard error.

The text is made safe as the module makes its own lines safe, so that the journal reads the same
whoever wrote a line: secrets become ***, control characters and the invisible or line-breaking
code points that could forge or hide a line are escaped, and a text over 1000 characters is cut.
"""

from __future__ import annotations

import re
import sys

from ashvigil_monitor import redact

PREFIX = "[burn] "
MAX_TEXT = 1000
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u200b-\u200f\u2028\u2029\u202a-\u202e\u2060-\u2064\u2066-\u2069\ufeff]")
_SHORT = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(match: re.Match[str]) -> str:
    c = match.group()
    if c in _SHORT:
        return _SHORT[c]
    return f"\\x{ord(c):02x}" if ord(c) <= 0xFF else f"\\u{ord(c):04x}"


def safe(text: str) -> str:
    text = _UNSAFE.sub(_escape, redact.SECRETS.hide(text))
    if len(text) > MAX_TEXT:
        text = text[:MAX_TEXT] + f" ... ({len(text) - MAX_TEXT} more characters)"
    return text


def line(text: str) -> None:
    sys.stderr.write(PREFIX + safe(text) + "\n")
