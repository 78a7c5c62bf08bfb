"""The one writer of the command's log lines, on standard error, each made safe by the egress.

ASHVIGIL_LOG_FORMAT chooses the form: `text` ("[burn] " and the text; the journal adds the time),
`text-time` (an ISO-8601 UTC time and the level before it, for plain files) or `json` (one
object per line: time, level, event, message and the event's fields, for Loki or Elasticsearch).
ASHVIGIL_LOG_LEVEL chooses how much: `debug` adds a line per outbound request, `info` is the
default, `warning` keeps the failures only.
"""

from __future__ import annotations

import datetime
import json
import sys
from typing import Any

from ashvigil_monitor.egress import mask, safe

PREFIX = "[burn] "
FORMATS = ("text", "text-time", "json")
LEVELS = ("debug", "info", "warning")


class _Settings:
    form = "text"
    level = 1  # index into LEVELS


_settings = _Settings()


def configure(form: str, level: str) -> None:
    _settings.form, _settings.level = form, LEVELS.index(level)


def line(text: str, event: str = "message", level: str = "info", **fields: Any) -> None:
    if LEVELS.index(level) < _settings.level:
        return
    message = safe(text)
    if _settings.form == "json":
        record = {"time": _now(), "level": level, "event": event, "message": message}
        record |= {k: mask(v) if isinstance(v, str) else v for k, v in fields.items()}
        out = json.dumps(record, ensure_ascii=False, default=str)
    elif _settings.form == "text-time":
        out = f"{_now()} {level.upper()} {PREFIX}{message}"
    else:
        out = PREFIX + message
    sys.stderr.write(out + "\n")


def warn(text: str, event: str = "failure", **fields: Any) -> None:
    line(text, event, "warning", **fields)


def debug(text: str, event: str = "request", **fields: Any) -> None:
    line(text, event, "debug", **fields)


def _now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds").replace("+00:00", "Z")
