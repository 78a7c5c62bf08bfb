"""`ashvigil check` and `ashvigil test-message`: confidence before the first alert."""

from __future__ import annotations

import json
import os
import socket
import tempfile
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Callable
from typing import Any

import ashvigil
from ashvigil_monitor import __version__
from ashvigil_monitor.config import Config, ConfigError, prepare_state_dir
from ashvigil_monitor.delivery import BOT_API_ORIGIN


class CheckFailed(Exception):
    pass


def bot_api(token: str, method: str, **fields: str) -> Any:
    """One Bot API call through the installed opener (so routing and retries apply): its result,
    or CheckFailed with Telegram's description."""
    data = urllib.parse.urlencode(fields).encode() if fields else None
    request = urllib.request.Request(f"{BOT_API_ORIGIN}/bot{token}/{method}", data=data)
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            payload = json.loads(response.read().decode("utf-8"))
    except urllib.error.HTTPError as e:
        payload = _json_or_none(e.read())
        if not isinstance(payload, dict) or not payload.get("description"):
            raise CheckFailed(str(e)) from None
    except (OSError, ValueError) as e:
        raise CheckFailed(str(e)) from None
    if not isinstance(payload, dict) or not payload.get("ok"):
        raise CheckFailed(str(payload.get("description") if isinstance(payload, dict) else payload))
    return payload.get("result")


def _json_or_none(body: bytes) -> Any:
    try:
        return json.loads(body.decode("utf-8"))
    except ValueError:
        return None


def _api_key(config: Config) -> str:
    result = ashvigil.fetch_all_subnets_latest(ashvigil.taostats_auth())
    if not isinstance(result, list):
        raise CheckFailed(json.dumps(result)[:300])
    return f"{len(result)} subnets listed"


def _bot_token(config: Config) -> str:
    me = bot_api(config.bot_token, "getMe")
    return f"@{me.get('username')}" if isinstance(me, dict) and me.get("username") else "accepted"


def _chat(config: Config) -> str:
    chat = bot_api(config.bot_token, "getChat", chat_id=config.chat_id)
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


CHECKS: tuple[tuple[str, Callable[[Config], str]], ...] = (
    ("taostats API key", _api_key),
    ("bot token", _bot_token),
    ("chat", _chat),
    ("state directory", _state_dir),
)


def check(config: Config) -> int:
    """One line per check; nothing is sent to the chat. 0 only when every check passes."""
    failures = 0
    for name, run in CHECKS:
        try:
            print(f"{name}: ok ({run(config)})")
        except Exception as e:  # one failing check never hides the others
            failures += 1
            print(f"{name}: FAILED ({e if isinstance(e, CheckFailed) else f'{type(e).__name__}: {e}'})")
    return 0 if failures == 0 else 1


def test_message(config: Config, text: str | None) -> int:
    message = text if text is not None else f"ashvigil {__version__} on {socket.gethostname()}: test message"
    ok, err = ashvigil.send_burn_telegram_messages(message, config.bot_token, config.chat_id)
    if ok:
        print("test message sent")
        return 0
    print(f"test message failed: {err}")
    return 1
