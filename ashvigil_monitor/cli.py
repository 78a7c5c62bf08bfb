"""The `ashvigil` command line: subcommands, and the one place that turns failures into exit
statuses (0 done, 1 failed, 2 refused: configuration or another monitor on the state, 130 forced
stop)."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import traceback
from collections.abc import Sequence

from ashvigil_monitor import __version__, log, redact
from ashvigil_monitor import config as configuration
from ashvigil_monitor.errors import Failed, Refused
from ashvigil_monitor.locking import StateLock
from ashvigil_monitor.notify import Notifier
from ashvigil_monitor.stopping import Stopped, Stopper
from ashvigil_monitor.store import Store

STATE_COMMANDS = ("run", "once", "snapshot", "outbox")


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="ashvigil",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Watches Bittensor subnet owner burn rates and reports their changes to a Telegram chat.",
        epilog="environment:\n" + configuration.help_table(),
    )
    top.add_argument("--version", action="version", version=f"ashvigil {__version__}")
    top.add_argument("--env-file", metavar="PATH", help="KEY=VALUE lines applied to the environment first")
    top.add_argument("--debug", action="store_true", help="show the traceback of an unexpected failure")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    run = commands.add_parser("run", help="startup snapshot, then poll until paused or stopped")
    run.add_argument("--no-snapshot", action="store_true", help="skip the startup snapshot")
    commands.add_parser("once", help="one watch cycle; the exit status is its result")
    commands.add_parser("snapshot", help="the startup snapshot only")
    outbox = commands.add_parser("outbox", help="list the alert pieces not yet delivered")
    outbox.add_argument("--drop", action="store_true", help="discard them, one line each")
    message = commands.add_parser("test-message", help="send one short message to the chat")
    message.add_argument("text", nargs="?", help="the message (default: names the host and the version)")
    commands.add_parser("check", help="verify the configuration without sending anything to the chat")
    return top


def main(argv: Sequence[str] | None = None) -> int:
    redact.install()
    args = parser().parse_args(argv)
    try:
        return _main(args)
    except (Refused, Failed) as e:
        print(f"ashvigil: {log.safe(str(e))}", file=sys.stderr)
        return e.status
    except KeyboardInterrupt:
        log.line("stopped at once (SIGINT)")
        return 130
    except Exception as e:  # noqa: BLE001 - the last resort: one line, exit 1
        if args.debug:
            traceback.print_exc()
        print(f"ashvigil: {type(e).__name__}: {log.safe(str(e))}", file=sys.stderr)
        return 1


def _main(args: argparse.Namespace) -> int:
    if args.env_file:
        configuration.apply_env_file(args.env_file, os.environ)
    needs = {"check": ("api", "telegram"), "test-message": ("telegram",), "outbox": ()}
    config = configuration.load(os.environ, redact.SECRETS.add, needs.get(args.command, ("api", "telegram")))

    import ashvigil_monitor.checks as checks  # imports the extension; after the output is safe

    if args.command == "check":
        return checks.check(config)
    if args.command == "test-message":
        return checks.test_message(config, args.text)
    if args.command == "outbox" and not args.drop:
        return _list_outbox(config.db_path)
    configuration.prepare_state_dir(config.state_path)
    with StateLock(config.state_path):
        store = Store(config.db_path)
        try:
            if args.command == "outbox":
                return _drop_outbox(store)
            return _monitor(args, config, store)
        finally:
            store.close()


def _list_outbox(db_path: str) -> int:
    """Lists without the lock: an operator looks while the service runs."""
    pieces = []
    if os.path.exists(db_path):
        with contextlib.closing(Store(db_path, read_only=True)) as store:
            pieces = store.pending()
    for p in pieces:
        print(f"{p.label}; last error: {log.safe(p.last_error or '-')}")
    print(f"{len(pieces)} alert pieces pending")
    return 0


def _drop_outbox(store: Store) -> int:
    pieces = store.pending()
    store.drop(pieces)
    for p in pieces:
        log.line(f"alert dropped ({p.label}): by the operator")
    return 0


def _monitor(args: argparse.Namespace, config: configuration.Config, store: Store) -> int:
    from ashvigil_monitor.runner import Runner  # imports the extension: not needed for --help

    stopper, notifier = Stopper(), Notifier(os.environ)
    stopper.install()
    runner = Runner(config, store, stopper, notifier)
    notifier.send("READY=1", f"STATUS=ashvigil {__version__} {args.command}")
    status = 0
    try:
        if args.command == "once":
            status = runner.once()
        elif args.command == "snapshot":
            status = runner.snapshot()
        else:
            runner.run(snapshot=not args.no_snapshot)
    except Stopped:
        pass
    notifier.send("STOPPING=1")
    if stopper.requested:
        log.line(f"stopped ({stopper.signal_name})")
    return status
