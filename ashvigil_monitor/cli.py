"""The `ashvigil` command line: subcommands, and the one place that turns failures into exit
statuses (0 done, 1 failed, 2 refused: configuration or another monitor on the state, 130 forced
stop)."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import threading
import time
import traceback
from collections.abc import Sequence

from ashvigil_monitor import __version__, config_file, egress, log
from ashvigil_monitor import config as configuration
from ashvigil_monitor.errors import ConfigError, Failed, Refused
from ashvigil_monitor.locking import StateLock
from ashvigil_monitor.notify import Notifier
from ashvigil_monitor.stopping import Stopped, Stopper
from ashvigil_monitor.store import Store
from ashvigil_monitor.times import stamp

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
    top.add_argument("--config", metavar="PATH", help="TOML file with the settings (as ASHVIGIL_CONFIG)")
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
    commands.add_parser("config", help="the effective settings, each with where it came from")
    _history_parsers(commands)
    return top


def _history_parsers(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    from ashvigil_monitor.history import netuid_argument, since_argument

    listing = commands.add_parser("history", help="the recorded moves of the burn rates, oldest first")
    listing.add_argument("netuids", nargs="*", metavar="NETUID", type=netuid_argument, help="only these subnets")
    listing.add_argument("--since", type=since_argument, metavar="7d|12h|30m|DATE", help="from then on (UTC)")
    listing.add_argument("--format", choices=("table", "csv", "json"), default="table")
    chart = commands.add_parser("chart", help="a PNG step chart of burn rates (needs ashvigil[charts])")
    chart.add_argument("netuids", nargs="+", metavar="NETUID", type=netuid_argument)
    chart.add_argument("--since", type=since_argument, metavar="7d|12h|30m|DATE", default="30d", help="(default: 30d)")
    chart.add_argument("--output", required=True, metavar="FILE.png")
    chart.add_argument("--zoom", action="store_true", help="fit the rate axis to the data instead of 0 to 1")


def main(argv: Sequence[str] | None = None) -> int:
    egress.install()
    args = parser().parse_args(argv)
    status = _status(args)
    _never_under_a_thread(status)
    return status


def _never_under_a_thread(status: int) -> None:
    """A thread still running here (the chat inside the module's listing, or drawing a chart)
    must not meet the interpreter's finalization: a thread it ends inside the module aborts the
    process. The process ends at once instead, its output flushed, with its status."""
    if any(thread is not threading.main_thread() for thread in threading.enumerate()):
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)


def _status(args: argparse.Namespace) -> int:
    try:
        return _main(args)
    except (Refused, Failed) as e:
        print(f"ashvigil: {egress.safe(str(e))}", file=sys.stderr)
        return e.status
    except KeyboardInterrupt:
        log.line("stopped at once (SIGINT)")
        return 130
    except Exception as e:  # noqa: BLE001 - the last resort: one line, exit 1
        if args.debug:
            traceback.print_exc()
        print(f"ashvigil: {type(e).__name__}: {egress.safe(str(e))}", file=sys.stderr)
        return 1


# Read by the module itself from the process environment.
MODULE_VARIABLES = ("TAOSTATS_API_BASE", "TAOSTATS_USER_AGENT")
NEEDS = {
    "check": ("api", "telegram"),
    "test-message": ("telegram",),
    "outbox": (),
    "config": (),
    "history": (),
    "chart": (),
}


def settings(args: argparse.Namespace, environment: dict[str, str]) -> tuple[dict[str, str], dict[str, str]]:
    """The settings' texts, highest first: the env file, the environment, the config file; and
    where each came from. Read again on SIGHUP."""
    env, sources, _ = _placed_settings(args, environment)
    return env, sources


def _placed_settings(
    args: argparse.Namespace, environment: dict[str, str]
) -> tuple[dict[str, str], dict[str, str], dict[str, str]]:
    """As settings(), and the place in the config file of each value taken from it."""
    sources = dict.fromkeys(environment, "environment")
    env = dict(environment)
    if args.env_file:
        from_file: dict[str, str] = {}
        configuration.apply_env_file(args.env_file, from_file)
        env.update(from_file)
        sources.update(dict.fromkeys(from_file, "env file"))
    places: dict[str, str] = {}
    path = args.config or env.get("ASHVIGIL_CONFIG")
    if path:
        names = [name for name, _, _ in configuration.VARIABLES]
        for name, setting in config_file.read(path, names).items():
            if name not in env:
                env[name], sources[name], places[name] = setting.text, "config file", setting.where
    return env, sources, places


def load(args: argparse.Namespace, environment: dict[str, str]) -> configuration.Config:
    env, _, places = _placed_settings(args, environment)
    try:
        config = configuration.load(env, egress.SECRETS.add, NEEDS.get(args.command, ("api", "telegram")))
    except ConfigError as e:
        if e.setting not in places:
            raise
        raise _in_the_file(e, places[e.setting]) from None
    for name in MODULE_VARIABLES:  # never a secret: the key goes to the module as an argument
        if name in env:
            os.environ[name] = env[name]
    return config


def _in_the_file(e: ConfigError, where: str) -> ConfigError:
    """The error about a value from the config file, naming the key and line the operator edits
    instead of the variable (which may not be set at all)."""
    message, setting = str(e), e.setting or ""
    rule = message[len(setting) :] if message.startswith(setting) else f": {message}"
    return ConfigError(where + rule, setting)


def _main(args: argparse.Namespace) -> int:
    environment = dict(os.environ)
    config = load(args, environment)
    if args.command == "config":
        return _show_config(args, environment)

    import ashvigil_monitor.checks as checks  # imports the extension; after the output is safe

    if args.command == "check":
        return checks.check(config)
    if args.command == "test-message":
        return checks.test_message(config, args.text)
    if args.command == "outbox" and not args.drop:
        return _list_outbox(config.db_path)
    if args.command == "history":
        from ashvigil_monitor.history import show

        return show(config.db_path, args.netuids, args.since, args.format, config.interval_seconds)
    if args.command == "chart":
        from ashvigil_monitor.charts import command

        return command(config.db_path, args.netuids, args.since, args.output, args.zoom, config.interval_seconds)
    configuration.prepare_state_dir(config.state_path)
    with StateLock(config.state_path):
        store = Store(config.db_path)
        try:
            if args.command == "outbox":
                return _drop_outbox(store)
            return _monitor(args, config, store, environment)
        finally:
            store.close()


def _list_outbox(db_path: str) -> int:
    """Lists without the lock: an operator looks while the service runs."""
    pieces = []
    if os.path.exists(db_path):
        with contextlib.closing(Store(db_path, read_only=True)) as store:
            pieces = store.pending()
    for p in pieces:
        print(f"{p.label}; last error: {egress.safe(p.last_error or '-')}")
    print(f"{len(pieces)} alert pieces pending")
    return 0


def _drop_outbox(store: Store) -> int:
    pieces = store.pending()
    store.drop(pieces)
    for p in pieces:
        log.line(f"alert dropped ({p.label}): by the operator")
    return 0


def _monitor(args: argparse.Namespace, config: configuration.Config, store: Store, environment: dict[str, str]) -> int:
    from ashvigil_monitor.runner import Runner  # imports the extension: not needed for --help

    stopper, notifier = Stopper(), Notifier(os.environ)
    stopper.install()
    runner = Runner(config, store, stopper, notifier, reload=lambda: load(args, environment))
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


def _show_config(args: argparse.Namespace, environment: dict[str, str]) -> int:
    """One line per setting: its value (secrets only whether set) and where it came from."""
    env, sources = settings(args, environment)
    for name, default, _ in configuration.VARIABLES:
        if name in config_file.SECRETS or (name.endswith("_FILE") and name[:-5] in config_file.SECRETS):
            value = "set" if env.get(name) else "not set"
        else:
            value = env[name] if name in env else default
        print(f"{name} = {egress.safe(value)} ({sources.get(name, 'default')})")
    config = configuration.load(env, egress.SECRETS.add, ())
    if os.path.exists(config.db_path):
        with contextlib.closing(Store(config.db_path, read_only=True)) as store:
            mutes = store.mutes(time.time()) if store.version() >= 3 else {}
        for netuid, until in mutes.items():
            print(f"muted = SN{netuid} until {stamp(until)} UTC (chat)")
    return 0
