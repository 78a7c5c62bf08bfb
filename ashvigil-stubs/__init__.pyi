"""Watches Bittensor subnet owner burn rates and reports their changes to a Telegram chat."""

# Type stubs for the ashvigil extension module. A single-file extension cannot carry py.typed,
# so they ship as the stub-only package ashvigil-stubs, which type checkers find on their own.
# Text, mapping and list parameters take exactly str, dict and list at run time: subclasses are
# refused there, which no annotation can say.

import json
import os
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
from datetime import datetime, timezone
from typing import Any

# What `from ashvigil import *` gives. The module itself has no __all__; listing the names here
# is what lets type checkers see `urllib` with its submodules, as the module holds it.
__all__ = [
    "OWNER_BURN_DECIMALS",
    "Any",
    "api_base",
    "datetime",
    "diff_burns",
    "fetch_all_subnets_latest",
    "format_burn_alert",
    "format_burn_snapshot",
    "format_owner_burn",
    "http_get_json",
    "is_rate_limited",
    "json",
    "load_burn_state",
    "os",
    "owner_burn_changed",
    "owner_burn_from_row",
    "request_headers",
    "run_ashvigil_once",
    "run_burn_poll_loop",
    "run_burn_startup_snapshot",
    "save_burn_state",
    "send_burn_telegram",
    "send_burn_telegram_messages",
    "sys",
    "taostats_auth",
    "time",
    "timezone",
    "urllib",
    "with_retries",
]

# Read at call time: assigning another value changes the decimals of later burn texts.
OWNER_BURN_DECIMALS: int

def api_base() -> str:
    """Base URL of the taostats API: TAOSTATS_API_BASE (default https://api.taostats.io) without trailing slashes."""

def request_headers(auth: str) -> dict[str, str]:
    """The headers of every taostats request, with `auth` as the Authorization value."""

def taostats_auth() -> str | None:
    """The API key from TAOSTATS_API_KEY, trimmed; None when it is unset or blank."""

def http_get_json(path: str, params: dict[str, Any], auth: str) -> dict[str, Any] | None:
    """One GET of base + path with the query from `params`; the parsed JSON object, or a mapping describing an error status or a body that is not JSON."""  # noqa: E501 - the module's own docstring, compared verbatim

def is_rate_limited(payload: dict[str, Any]) -> bool:
    """True when the payload has status_code 429 or a message containing 'Rate Limited'."""

def with_retries(path: str, params: dict[str, Any], auth: str, *, max_retries: int = 6) -> dict[str, Any]:
    """http_get_json repeated while rate-limited, up to max_retries attempts, pausing 2.0 s and then 1.8 times longer each time (at most 120 s)."""  # noqa: E501 - the module's own docstring, compared verbatim

def fetch_all_subnets_latest(auth: str) -> list[dict[str, Any]] | dict[str, Any]:
    """The latest row of every subnet, or {'error': 'no_subnet_rows', 'response': payload}."""

def owner_burn_from_row(row: dict[str, Any]) -> str:
    """The owner burn text of a subnet row: str() of its "incentive_burn", or "0" when that is missing or empty."""

def format_owner_burn(value: str) -> str:
    """A burn text shown with OWNER_BURN_DECIMALS decimals; a text that is not a number comes back unchanged."""

def owner_burn_changed(old: str, new: str, threshold: float) -> bool:
    """True when two burn texts differ by more than threshold (compared as texts when either is not a number)."""

def load_burn_state(path: str) -> dict[str, str]:
    """The burn map stored at path; an empty dict when the file is missing, unreadable or malformed."""

def save_burn_state(path: str, burns: dict[str, str], updated_at: str) -> None:
    """Replaces the state file at path with the burn map and its time stamp, as a whole."""

def diff_burns(prev: dict[str, str], current: dict[str, str], threshold: float) -> list[tuple[str, str, str]]:
    """(subnet id, old, new) for each subnet whose burn moved by more than threshold, in subnet order."""

def format_burn_alert(changes: list[tuple[str, str, str]], updated_at: str) -> str:
    """The alert message: a title, the time with " UTC", a blank line, then "SN<id>: old → new" per change."""

def format_burn_snapshot(rows: list[dict[str, Any]], updated_at: str) -> str:
    """The start-up message: title, time, subnet count, a blank line, then one line per row in subnet order."""

def _chunk_text(text: str, max_len: int = 3900) -> list[str]:
    """Pieces of at most max_len characters, each repeating the header lines; no line is ever cut."""

def send_burn_telegram_messages(text: str, token: str, chat_id: str) -> tuple[bool, str]:
    """Sends text as numbered pieces, stopping at the first failure; (True, "") or (False, error)."""

def send_burn_telegram(text: str, token: str, chat_id: str) -> tuple[bool, str]:
    """Sends text as one Telegram message to chat_id; (True, "") or (False, error), without raising for HTTP or transport failures."""  # noqa: E501 - the module's own docstring, compared verbatim

def run_ashvigil_once(*, state_path: str, threshold: float, burn_token: str, burn_chat_id: str) -> int:
    """One poll: fetch, compare with the stored map, store, alert on changes. 0 when done, 1 after a logged failure."""

def run_burn_startup_snapshot(*, state_path: str, burn_token: str, burn_chat_id: str) -> int:
    """Fetch all subnets and send full burn-rate snapshot to burn Telegram."""

def _burn_is_paused(pause_path: str) -> bool:
    """True when pause_path names an existing regular file; never for the empty path."""

def _sleep_until_interval(interval_seconds: float, pause_path: str) -> bool:
    """Sleep in 1s steps. Returns False if paused before interval elapsed."""

def run_burn_poll_loop(
    *,
    state_path: str,
    threshold: float,
    interval_minutes: float,
    burn_token: str,
    burn_chat_id: str,
    pause_path: str = "",
) -> None:
    """Runs a watch cycle once per interval until the pause file appears; failed cycles are logged."""
