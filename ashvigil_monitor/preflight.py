"""`ashvigil check` and `ashvigil test-message`: confidence before the first alert."""

from __future__ import annotations

import contextlib
import json
import os
import socket
import sqlite3
import tempfile
from collections.abc import Callable
from typing import Any

import ashvigil
from ashvigil_monitor import __version__, egress
from ashvigil_monitor.botapi import BotApi
from ashvigil_monitor.config import Config, prepare_state_dir
from ashvigil_monitor.egress import safe
from ashvigil_monitor.errors import CheckFailed, ConfigError, Failed
from ashvigil_monitor.messages import fetch_failure_in_words
from ashvigil_monitor.store import Store


def bot_api(config: Config, method: str, **fields: str) -> Any:
    """One Bot API call through the command's client (its origin and retries): its result, or
    CheckFailed with Telegram's description."""
    reply = BotApi(config.bot_token, config.telegram_api).call(method, fields)
    if not reply.ok:
        raise CheckFailed(reply.error)
    return reply.result


def _api_key(config: Config) -> str:
    result = ashvigil.fetch_all_subnets_latest(config.api_key)
    if not isinstance(result, list):
        raise CheckFailed(f"{fetch_failure_in_words(result)}: {json.dumps(egress.mask_cut(result))}")
    absent = config.policy.absent({str(row["netuid"]) for row in result if isinstance(row, dict) and "netuid" in row})
    return f"{len(result)} subnets listed" + (f"; watched subnets not in the listing: {absent}" if absent else "")


def _bot_token(config: Config) -> str:
    me = bot_api(config, "getMe")
    return f"@{me.get('username')}" if isinstance(me, dict) and me.get("username") else "accepted"


def _chat(config: Config) -> str:
    chat = bot_api(config, "getChat", chat_id=config.chat_id)
    if isinstance(chat, dict):
        return str(chat.get("title") or chat.get("username") or chat.get("type") or "reachable")
    return "reachable"


def _state_dir(config: Config) -> str:
    directory = os.path.dirname(os.path.abspath(config.state_path))
    try:
        prepare_state_dir(config.state_path)
    except ConfigError as e:
        raise CheckFailed(str(e)) from None
    try:
        with tempfile.TemporaryFile(dir=directory):
            pass
    except OSError as e:
        raise CheckFailed(f"{directory}: {e.strerror}") from None
    return f"{directory} is writable"


def _outbox(config: Config) -> str:
    if not os.path.exists(config.db_path):
        return "no database yet"
    try:
        with contextlib.closing(Store(config.db_path, read_only=True)) as store:
            store.verify()
            return f"{len(store.pending())} alert pieces pending"
    except (ConfigError, Failed) as e:
        raise CheckFailed(str(e)) from None
    except sqlite3.Error as e:
        raise CheckFailed(f"{config.db_path}: {e}") from None


CHECKS: tuple[tuple[str, Callable[[Config], str]], ...] = (
    ("taostats API key", _api_key),
    ("bot token", _bot_token),
    ("chat", _chat),
    ("state directory", _state_dir),
    ("outbox", _outbox),
)


def check(config: Config) -> int:
    """One line per check; nothing is sent to the chat. 0 only when every check passes."""
    failures = 0
    for name, run in CHECKS:
        try:
            print(f"{name}: ok ({run(config)})")
        except Exception as e:  # noqa: BLE001 - one failing check never hides the others
            failures += 1
            why = str(e) if isinstance(e, CheckFailed) else f"{type(e).__name__}: {e}"
            print(f"{name}: FAILED ({safe(why)})")
    for warning in warnings(config):
        print(f"warning: {safe(warning)}")
    return 0 if failures == 0 else 1


def warnings(config: Config) -> list[str]:
    """What does not stop monitoring but is likely not meant: a pause file, secrets others can read."""
    found = []
    if config.pause_path and os.path.exists(config.pause_path):
        found.append(f"the pause file {config.pause_path} is present: run and once do nothing until it is removed")
    for setting, path in config.secret_files:
        try:
            mode = os.stat(path).st_mode
        except OSError:
            continue
        if mode & 0o044:
            found.append(f"{setting} names a file that other users can read (mode {mode & 0o777:o}): chmod 600 it")
    return found


def test_message(config: Config, text: str | None) -> int:
    message = text if text is not None else f"ashvigil {__version__} on {socket.gethostname()}: test message"
    reply = BotApi(config.bot_token, config.telegram_api).send_message(config.chat_id, message)
    if reply.ok:
        print("test message sent")
        return 0
    print(f"test message failed: {safe(reply.error)}")
    return 1
