"""The `ashvigil` command line: subcommands, and the one place that turns failures into exit
statuses (0 done, 1 failed, 2 configuration or another monitor on the state, 130 forced stop)."""

from __future__ import annotations

import argparse
import os
import sys
import time
import traceback
from collections.abc import Sequence

from ashvigil_monitor import __version__, delivery, redact
from ashvigil_monitor import config as configuration
from ashvigil_monitor.locking import StateLock
from ashvigil_monitor.notify import Notifier
from ashvigil_monitor.stopping import Stopped, Stopper

LOOP_COMMANDS = ("run", "once", "snapshot")


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
    message = commands.add_parser("test-message", help="send one short message to the chat")
    message.add_argument("text", nargs="?", help="the message (default: names the host and the version)")
    commands.add_parser("check", help="verify the configuration without sending anything to the chat")
    return top


def main(argv: Sequence[str] | None = None) -> int:
    secrets = redact.Secrets()
    redact.install(secrets)
    args = parser().parse_args(argv)
    try:
        return _main(args, secrets)
    except configuration.ConfigError as e:
        print(f"ashvigil: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("[burn] stopped at once (SIGINT)", file=sys.stderr)
        return 130
    except Exception as e:
        if args.debug:
            traceback.print_exc()
        print(f"ashvigil: {type(e).__name__}: {e}", file=sys.stderr)
        return 1


def _main(args: argparse.Namespace, secrets: redact.Secrets) -> int:
    if args.env_file:
        configuration.apply_env_file(args.env_file, os.environ)
    needs = {"check": ("api", "telegram"), "test-message": ("telegram",)}.get(args.command, ("api", "telegram"))
    config = configuration.load(os.environ, secrets.add, needs)
    if config.api_key:
        os.environ["TAOSTATS_API_KEY"] = config.api_key  # the module reads it from the environment
    stopper, notifier = Stopper(), Notifier(os.environ)
    delivery.install(config.telegram_api, lambda seconds: _retry_wait(notifier, seconds))

    import ashvigil_monitor.checks as checks  # imports the extension; after the output is safe

    if args.command == "check":
        return checks.check(config)
    if args.command == "test-message":
        return checks.test_message(config, args.text)
    configuration.prepare_state_dir(config.state_path)
    stopper.install()
    with StateLock(config.state_path):
        return _monitor(args, config, stopper, notifier)


def _retry_wait(notifier: Notifier, seconds: float) -> None:
    """A retry's wait is part of its cycle: a first stop signal does not end it."""
    notifier.watchdog()
    time.sleep(seconds)


def _monitor(args: argparse.Namespace, config: configuration.Config, stopper: Stopper, notifier: Notifier) -> int:
    from ashvigil_monitor.monitor import Monitor

    monitor = Monitor(config, stopper, notifier)
    monitor.install()
    notifier.send("READY=1", f"STATUS=ashvigil {__version__} {args.command}")
    status = 0
    try:
        if args.command == "once":
            status = monitor.once()
        elif args.command == "snapshot":
            status = monitor.snapshot()
        else:
            if not args.no_snapshot:
                monitor.snapshot()
            monitor.loop()
    except Stopped:
        pass
    notifier.send("STOPPING=1")
    if stopper.requested:
        print(f"[burn] stopped ({stopper.signal_name})", file=sys.stderr)
    return status
