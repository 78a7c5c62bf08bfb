"""`ashvigil check` and `ashvigil test-message`: confidence before the first alert."""

from __future__ import annotations

import contextlib
import json
import os
import socket
import tempfile
import time
from collections.abc import Callable
from typing import TYPE_CHECKING

import ashvigil
from ashvigil_monitor import __version__, egress
from ashvigil_monitor.config import Config, prepare_state_dir
from ashvigil_monitor.destinations import Destination
from ashvigil_monitor.egress import safe
from ashvigil_monitor.errors import CheckFailed, ConfigError, Failed
from ashvigil_monitor.messages import fetch_failure_in_words
from ashvigil_monitor.times import utc_now

if TYPE_CHECKING:
    from ashvigil_monitor.outgoing import Sender


def _api_key(config: Config) -> str:
    result = ashvigil.fetch_all_subnets_latest(config.api_key)
    if not isinstance(result, list):
        raise CheckFailed(f"{fetch_failure_in_words(result)}: {json.dumps(egress.mask_cut(result))}")
    absent = config.policy.absent({str(row["netuid"]) for row in result if isinstance(row, dict) and "netuid" in row})
    return f"{len(result)} subnets listed" + (f"; watched subnets not in the listing: {absent}" if absent else "")


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
    from ashvigil_monitor.store import DATABASE_ERRORS  # after the first connection

    if not config.database.exists():
        return "no database yet"
    try:
        with contextlib.closing(config.database.open(read_only=True)) as store:
            store.verify()
            return f"{len(store.pending())} alert pieces pending"
    except (ConfigError, Failed) as e:
        raise CheckFailed(str(e)) from None
    except DATABASE_ERRORS as e:
        raise CheckFailed(f"{config.database.shown}: {e}") from None


def _checks(config: Config) -> list[tuple[str, Callable[[Config], str]]]:
    """The taostats key, each destination (reached, nothing sent anyone reads), the state
    directory and the outbox."""
    checks: list[tuple[str, Callable[[Config], str]]] = [("taostats API key", _api_key)]
    for place in config.destinations:
        checks.append((f"destination {place.name}", lambda _, place=place: _sender(config, place).check()))  # type: ignore[misc]
    return [*checks, ("state directory", _state_dir), ("outbox", _outbox)]


def _sender(config: Config, place: Destination) -> Sender:
    """A destination's sender. The senders' clients (HTTP, TLS, SMTP, e-mail) are imported here,
    once the taostats check has begun, not before it."""
    from ashvigil_monitor import senders, transport

    return senders.build(place, config.telegram_api, time.sleep, transport.never)


def check(config: Config) -> int:
    """One line per check; nothing is sent to anyone. 0 only when every check passes."""
    failures = 0
    for name, run in _checks(config):
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


def test_message(config: Config, text: str | None, to: str | None) -> int:
    """One message to each destination, or to the one named; a line each."""
    places = [d for d in config.destinations if to is None or d.name == to]
    if not places:
        raise ConfigError(
            f"--to {to}: no such destination (there are {', '.join(d.name for d in config.destinations)})"
        )
    from ashvigil_monitor.outgoing import Outgoing

    message = text if text is not None else f"ashvigil {__version__} on {socket.gethostname()}: test message"
    failures = 0
    for place in places:
        named = f" to {place.name}" if len(config.destinations) > 1 else ""
        reply = _sender(config, place).send(Outgoing(message, "test", utc_now()))
        if reply.ok:
            print(f"test message sent{named}")
        else:
            failures += 1
            print(f"test message{named} failed: {safe(reply.error)}")
    return 1 if failures else 0
