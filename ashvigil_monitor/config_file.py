"""The TOML configuration file (`--config PATH` or ASHVIGIL_CONFIG): the same settings as the
environment, under the variable's name without its ASHVIGIL_ prefix, in lower case
(TAOSTATS_API_BASE is `taostats_api_base`), and per-subnet thresholds in a [thresholds] table.

A value is written as the variable's text (`subnets = "1,3-5"`) or as its natural TOML type
(`threshold = 0.3`, `subnets = [1, 3]`, `report_new_and_gone = false`); both become the text the
variable would hold. Secrets stay out of the file: only their `_file` forms are allowed.
"""

from __future__ import annotations

import re
import sys
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, NamedTuple

from ashvigil_monitor.errors import ConfigError
from ashvigil_monitor.files import read_small_text

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - the reference interpreter
    import tomli as tomllib

SECRETS = ("TAOSTATS_API_KEY", "ASHVIGIL_BOT_TOKEN")
NOT_IN_FILE = (*SECRETS, "ASHVIGIL_CONFIG", "NOTIFY_SOCKET")

# The TOML types a key takes besides a text (the variable's own form), and how to say so. Any
# other type would become a text no check expects: `threshold = [1]` read as 1.
Kind = tuple[tuple[type, ...], str]
_TEXT: Kind = ((), "a text")
_NUMBER: Kind = ((int, float), "a number or a text")
_KINDS: dict[str, Kind] = {
    **dict.fromkeys(
        ("threshold", "outbox_max_age_hours", "failure_alert_after", "interval_minutes", "history_days"), _NUMBER
    ),
    **dict.fromkeys(("subnets", "exclude_subnets", "admin_ids"), ((int, list), "a text, number or list of ids")),
    **dict.fromkeys(("report_new_and_gone", "bot_commands", "alert_charts"), ((bool,), "true, false or a text")),
    "chat_id": ((int,), "a text or an integer"),
}
# Only a key shaped like a setting's name is echoed: another may be a secret pasted as a key.
_NAME_LIKE = re.compile(r"[a-z][a-z_]{0,39}")
_SUBNET_ID = re.compile(r"[0-9]{1,5}")
_TOML_TYPES = {
    bool: "true/false",
    int: "an integer",
    float: "a float",
    str: "a text",
    list: "an array",
    dict: "a table",
}


def key_of(variable: str) -> str:
    return variable.removeprefix("ASHVIGIL_").lower()


class Setting(NamedTuple):
    text: str  # as the variable would hold it
    where: str  # the file, the line and the key, to name in a message about the value


def read(path: str, variables: Iterable[str]) -> dict[str, Setting]:
    """The file's settings by variable name. ConfigError naming the key and its line."""
    text = read_small_text(path, "ASHVIGIL_CONFIG")
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as e:
        raise ConfigError(f"ASHVIGIL_CONFIG: {path}: {e}") from None
    except RecursionError:  # the parser recurses once per level of nesting
        raise ConfigError(f"ASHVIGIL_CONFIG: {path}: arrays or tables nested too deeply") from None
    names = {key_of(v): v for v in variables if v not in NOT_IN_FILE}
    settings: dict[str, Setting] = {}
    for key, value in document.items():
        where = f"ASHVIGIL_CONFIG: {path}, line {_line_of(text, key)}"
        if not _NAME_LIKE.fullmatch(key):
            raise ConfigError(f"{where}: an unknown setting")
        where += f": {key}"
        if key == "destinations":
            continue  # tables of their own: destinations()
        if key == "thresholds":
            settings["ASHVIGIL_SUBNET_THRESHOLDS"] = Setting(_thresholds(value, where), where)
        elif key in names:
            settings[names[key]] = Setting(_text(value, _KINDS.get(key, _TEXT), where), where)
        elif key_of(key.upper()) in map(key_of, SECRETS):
            raise ConfigError(f"{where}: secrets stay out of the file; use {key}_file")
        else:
            raise ConfigError(f"{where}: unknown setting")
    return settings


TableValue = Any  # what a TOML value is: a text, number, boolean, list or table


@dataclass(frozen=True)
class Table:
    """One [destinations.NAME] table: its values, and where each key is written."""

    name: str
    values: dict[str, TableValue]
    path: str
    text: str  # the file's text, to find a key's line in

    def where(self, key: str) -> str:
        """ "ASHVIGIL_CONFIG: PATH, line N: destination NAME, KEY" (the table's line without a key)."""
        header = re.compile(rf"^[ \t]*\[\s*destinations\s*\.\s*[\"']?{re.escape(self.name)}[\"']?\s*\]", re.M)
        start = header.search(self.text)
        offset = start.end() if start else 0
        line = self.text.count("\n", 0, offset) + 1 if start else 0
        if key:
            found = re.compile(rf"^[ \t]*[\"']?{re.escape(key)}[\"']?\s*=", re.M).search(self.text, offset)
            line = self.text.count("\n", 0, found.start()) + 1 if found else line
        return f"ASHVIGIL_CONFIG: {self.path}, line {line}: destination {self.name}" + (f", {key}" if key else "")


def destinations(path: str) -> list[Table]:
    """The file's [destinations.NAME] tables, in their order; ConfigError for anything else there."""
    text = read_small_text(path, "ASHVIGIL_CONFIG")
    try:
        found = tomllib.loads(text).get("destinations", {})
    except (tomllib.TOMLDecodeError, RecursionError):
        return []  # read() has said why
    if not isinstance(found, dict) or not all(isinstance(v, dict) for v in found.values()):
        where = f"ASHVIGIL_CONFIG: {path}, line {_line_of(text, 'destinations')}"
        raise ConfigError(f"{where}: destinations are [destinations.NAME] tables")
    return [Table(name, values, path, text) for name, values in found.items()]


def _thresholds(value: Any, where: str) -> str:
    if not isinstance(value, dict):
        raise ConfigError(f"{where}: a table of subnet thresholds, got {_type_of(value)}")
    if not all(_SUBNET_ID.fullmatch(k) for k in value):
        raise ConfigError(f"{where}: its keys must be subnet ids")
    return ",".join(f"{k}={_text(v, _NUMBER, where)}" for k, v in value.items())


def _text(value: Any, kind: Kind, where: str) -> str:
    types, wanted = kind
    if isinstance(value, bool):
        fits = bool in types
    elif isinstance(value, list):
        fits = list in types and all(isinstance(v, (int, str)) and not isinstance(v, bool) for v in value)
    else:
        fits = isinstance(value, (str, *types))
    if not fits:
        raise ConfigError(f"{where}: {wanted}, got {_type_of(value)}")
    if isinstance(value, bool):
        return "1" if value else "0"
    text = ",".join(str(v) for v in value) if isinstance(value, list) else str(value)
    if "\0" in text:  # a TOML escape can write one; no variable, path or argument can hold it
        raise ConfigError(f"{where}: a NUL character, which no variable can hold")
    return text


def _type_of(value: Any) -> str:
    return _TOML_TYPES.get(type(value), "a date or time")


def _line_of(text: str, key: str) -> int:
    # [ \t], not \s: a blank line before the key must not count as the key's line
    pattern = re.compile(rf"^[ \t]*(\[\s*{re.escape(key)}\s*\]|[\"']?{re.escape(key)}[\"']?\s*=)", re.M)
    match = pattern.search(text)
    return text.count("\n", 0, match.start()) + 1 if match else 0
