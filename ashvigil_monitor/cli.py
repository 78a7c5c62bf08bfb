"""The `ashvigil` command line: subcommands, and the one place that turns failures into exit
statuses (0 done, 1 failed, 2 refused: configuration or another monitor on the state or the
database, 130 forced stop)."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import threading
import time
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from ashvigil_monitor import __version__, egress, engines, log
from ashvigil_monitor import config as configuration
from ashvigil_monitor.destinations import DEFAULT_NAME
from ashvigil_monitor.errors import ConfigError, Failed, Refused
from ashvigil_monitor.times import stamp

if TYPE_CHECKING:  # the store only in the commands that open it: check reaches taostats first
    from ashvigil_monitor.config_file import Table
    from ashvigil_monitor.locking import DatabaseLock
    from ashvigil_monitor.store import Database, Store


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="ashvigil",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Watches Bittensor subnet owner burn rates and reports their changes to a Telegram chat.",
        epilog="environment:\n" + configuration.help_table(),
    )
    top.add_argument("--version", action="version", version=f"ashvigil {__version__}")
    _options(top, None)
    commands = _Commands(top.add_subparsers(dest="command", required=True, metavar="COMMAND"))
    run = commands.add_parser("run", help="startup snapshot, then poll until paused or stopped")
    run.add_argument("--no-snapshot", action="store_true", help="skip the startup snapshot")
    commands.add_parser("once", help="one watch cycle; the exit status is its result")
    commands.add_parser("snapshot", help="the startup snapshot only")
    outbox = commands.add_parser("outbox", help="list the alert pieces not yet delivered")
    outbox.add_argument("--drop", action="store_true", help="discard them, one line each")
    message = commands.add_parser("test-message", help="send one short message to each destination")
    message.add_argument("text", nargs="?", help="the message (default: names the host and the version)")
    message.add_argument("--to", metavar="NAME", help="only to this destination")
    commands.add_parser("check", help="verify the configuration and reach each destination without sending anything")
    commands.add_parser("config", help="the effective settings, each with where it came from")
    status = commands.add_parser(
        "status",
        help="what the monitor is doing (beside it or after it)",
        description="What the monitor is doing: its pid, the last cycle, failures, the next poll, pending pieces,"
        " mutes, the pause file, quiet hours, the watched subnets and the database.",
        epilog="exit status: 3 when no monitor holds the lock; else 1 when the last cycle failed or pieces are"
        " pending; else 0",
    )
    status.add_argument("--format", choices=("text", "json"), default="text")
    _history_parsers(commands)
    db = commands.add_parser(
        "db",
        help="copy the database to another one, such as SQLite to PostgreSQL",
        description="Copies the outbox, baselines, history, mutes and settings into a new, empty database;"
        " no monitor may be using this one meanwhile.",
    )
    db.add_argument("action", choices=("copy",))
    db.add_argument("--to", required=True, metavar="URL", help="sqlite:///PATH or postgresql://USER@HOST:PORT/DBNAME")
    return top


def _options(parser: argparse.ArgumentParser, default: object) -> None:
    """The options every command takes, before or after its name; after it they must not reset
    what was given before (SUPPRESS: absent unless given)."""
    parser.add_argument("--env-file", metavar="PATH", default=default, help="KEY=VALUE lines applied first")
    parser.add_argument("--config", metavar="PATH", default=default, help="TOML file with the settings")
    parser.add_argument(
        "--debug", action="store_true", default=default or False, help="show the traceback of an unexpected failure"
    )


class _Commands:
    """The subcommands, each taking the common options after its name too."""

    def __init__(self, action: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
        self._action = action
        self._common = argparse.ArgumentParser(add_help=False)
        _options(self._common, argparse.SUPPRESS)

    def add_parser(self, name: str, **kwargs: Any) -> argparse.ArgumentParser:
        return self._action.add_parser(name, parents=[self._common], **kwargs)


def since_argument(text: str) -> int:
    from ashvigil_monitor.history import since_argument  # read only when given: the start of the rest stays short

    return since_argument(text)


def netuid_argument(text: str) -> str:
    from ashvigil_monitor.history import netuid_argument

    return netuid_argument(text)


def _history_parsers(commands: _Commands) -> None:
    listing = commands.add_parser("history", help="the recorded moves of the burn rates, oldest first")
    listing.add_argument("netuids", nargs="*", metavar="NETUID", type=netuid_argument, help="only these subnets")
    listing.add_argument("--since", type=since_argument, metavar="7d|12h|30m|DATE", help="from then on (UTC)")
    listing.add_argument("--format", choices=("table", "csv", "json"), default="table")
    listing.add_argument("--moves-only", action="store_true", help="leave out each subnet's first sighting")
    listing.add_argument("--limit", type=int, metavar="N", help="only the last N entries")
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
    process. The process ends at once instead, its output flushed, with its status. The HTTP
    exchanges' watcher, which stays for the next exchange, never enters the module."""
    threads = threading.enumerate()
    if any(t is not threading.main_thread() and not getattr(t, "harmless_at_exit", False) for t in threads):
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
            import traceback

            traceback.print_exc()
        print(f"ashvigil: {type(e).__name__}: {egress.safe(str(e))}", file=sys.stderr)
        return 1


# Read by the module itself from the process environment.
MODULE_VARIABLES = ("TAOSTATS_API_BASE", "TAOSTATS_USER_AGENT")
NEEDS = {
    "status": (),
    "check": ("api", "deliver"),
    "test-message": ("deliver",),
    "outbox": (),
    "config": (),
    "history": (),
    "chart": (),
    "db": (),
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
        from ashvigil_monitor import config_file  # its TOML reader only when there is a file

        names = [name for name, _, _ in configuration.VARIABLES]
        for name, setting in config_file.read(path, names).items():
            if name not in env:
                env[name], sources[name], places[name] = setting.text, "config file", setting.where
    return env, sources, places


def load(args: argparse.Namespace, environment: dict[str, str]) -> configuration.Config:
    env, _, places = _placed_settings(args, environment)
    try:
        needs = NEEDS.get(args.command, ("api", "deliver"))
        config = configuration.load(env, egress.SECRETS.add, needs, _tables(args, env))
    except ConfigError as e:
        if e.setting not in places:
            raise
        raise _in_the_file(e, places[e.setting]) from None
    log.configure(config.log_format, config.log_level)
    for name in MODULE_VARIABLES:  # never a secret: the key goes to the module as an argument
        if name in env:
            os.environ[name] = env[name]
    return config


def _tables(args: argparse.Namespace, env: dict[str, str]) -> list[Table]:
    path = args.config or env.get("ASHVIGIL_CONFIG")
    if not path:
        return []
    from ashvigil_monitor import config_file

    return config_file.destinations(path)


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
    if args.command in ("check", "test-message"):
        import ashvigil_monitor.preflight as preflight  # imports the extension; after the output is safe

        if args.command == "check":
            return preflight.check(config)
        return preflight.test_message(config, args.text, args.to)
    if args.command == "outbox" and not args.drop:
        return _list_outbox(config.database)
    if args.command == "status":
        from ashvigil_monitor.status import show as show_status

        return show_status(config, args.format)
    if args.command == "history":
        from ashvigil_monitor.history import show

        return show(
            config.database, args.netuids, args.since, args.format, config.interval_seconds, args.moves_only, args.limit
        )
    if args.command == "chart":
        from ashvigil_monitor.charts import command

        return command(config.database, args.netuids, args.since, args.output, args.zoom, config.interval_seconds)
    if args.command == "db":
        return _copy(config, args.to)
    from ashvigil_monitor.locking import StateLock  # what check and the reads never take

    configuration.prepare_state_dir(config.state_path)
    if args.command == "outbox" and _running(config):
        return _ask_to_drop(config.database)
    # The database lock is left last: closing its descriptor drops SQLite's own locks. A shared
    # database elects its active monitor with a lock of its own (roles.Role).
    with StateLock(config.state_path), _locked(config) as lock:
        store = config.database.open() if lock is None else _open_store(config, lock)
        try:
            if args.command == "outbox":
                return _drop_outbox(store)
            chats = [d.chat_id for d in config.destinations if d.kind == "telegram"]
            _adopt_the_chat(config, store, store.claim(chats, config.state_path))
            return _monitor(args, config, store, environment)
        finally:
            store.close()


def _adopt_the_chat(config: configuration.Config, store: Store, chat: str) -> None:
    """A database of one chat knows it as the destination "telegram"; a config file that names
    that chat otherwise takes its pieces, baselines and held changes along."""
    names = [d.name for d in config.destinations if d.kind == "telegram" and d.chat_id == chat]
    if names and DEFAULT_NAME not in {d.name for d in config.destinations} and store.adopt(DEFAULT_NAME, names[0]):
        log.line(f"the database's chat is now destination {names[0]}, its pieces and baselines with it")


DROP_WAIT = 30.0  # seconds `outbox --drop` waits for a running monitor to drop


def _running(config: configuration.Config) -> bool:
    """Whether a monitor holds the database."""
    if not config.database.shared:
        from ashvigil_monitor.status import holder

        return holder(config.db_path) is not None
    with contextlib.closing(config.database.open()) as store:
        return store.holder() is not None


def _locked(config: configuration.Config) -> contextlib.AbstractContextManager[DatabaseLock | None]:
    if config.database.shared:
        return contextlib.nullcontext()
    from ashvigil_monitor.locking import DatabaseLock

    return DatabaseLock(config.db_path, config.state_path)


def _copy(config: configuration.Config, url: str) -> int:
    """`db copy --to URL`: this database, held while it is copied, into a new one."""
    if engines.is_postgres(url):
        engines.check_url(url, "--to")
    elif url.startswith("sqlite:///"):
        url = url.removeprefix("sqlite://")
    else:
        raise ConfigError("--to must be sqlite:///PATH or postgresql://USER@HOST:PORT/DBNAME", "--to")
    from ashvigil_monitor.store import Database

    target = Database(url, config.db_password)
    if target.target == config.database.target:
        raise ConfigError("--to names this database itself", "--to")
    if not config.database.exists():
        raise Failed(f"{config.database.setting}: no database at {config.database.shown}")
    if _running(config):
        from ashvigil_monitor.locking import StateBusy

        raise StateBusy(f"a monitor is using {config.database.shown}: stop it (and its standbys) before copying")
    with _locked(config), contextlib.closing(config.database.open()) as source:
        with contextlib.closing(target.open()) as copy:
            copied = source.copy_to(copy)
    rows = ", ".join(f"{table} {n}" for table, n in copied.items() if n)
    print(f"copied {config.database.shown} to {target.shown}: {rows or 'nothing to copy'}")
    return 0


def _ask_to_drop(database: Database) -> int:
    """A running monitor holds the database: it is asked, through the database, to drop its
    pending pieces at its next wait, which it does and answers."""
    with contextlib.closing(database.open()) as store:
        asked = store.request_drop()
        deadline = time.monotonic() + DROP_WAIT
        while time.monotonic() < deadline:
            if store.drop_answered(asked):
                print("the running monitor dropped its pending pieces (its log lists them)")
                return 0
            time.sleep(0.2)
    raise Failed("the running monitor did not drop within 30 s; it will at its next wait between cycles")


def _open_store(config: configuration.Config, lock: DatabaseLock) -> Store:
    """The locked database. One that cannot be read is set aside for a fresh one, out loud: the
    state file, when there is one, is the baseline."""
    from ashvigil_monitor.store import Store, unreadable

    has_state = os.path.exists(config.state_path)
    why = "" if lock.created else unreadable(config.db_path)
    if why and (why != "empty" or has_state):
        aside = _set_aside(config.db_path)
        baseline = "the baseline from the state file" if has_state else "no state file: a first poll"
        log.warn(f"database unreadable ({why}): kept as {aside}; a fresh database, {baseline}")
        lock.again()
    return Store(config.db_path)


def _set_aside(db_path: str) -> str:
    """Moves the database aside with its journal files, which must never meet a fresh one."""
    from ashvigil_monitor.cycle import set_aside

    aside = set_aside(db_path)
    if os.path.lexists(db_path):
        raise Failed(f"ASHVIGIL_DB_PATH: {db_path} is unreadable and stays {aside}")
    for suffix in engines.SIBLINGS:
        with contextlib.suppress(FileNotFoundError):
            os.rename(db_path + suffix, aside + suffix)
    return aside


def _list_outbox(database: Database) -> int:
    """Lists without the lock: an operator looks while the service runs."""
    from ashvigil_monitor.store import DATABASE_ERRORS

    pieces = []
    if database.exists():
        with contextlib.closing(database.open(read_only=True)) as store:
            try:
                pieces = store.pending() if store.version() else []  # a database not yet set up
            except DATABASE_ERRORS as e:
                raise Failed(f"{database.setting}: cannot read {database.shown} ({e})") from None
    several = {p.destination for p in pieces} - {DEFAULT_NAME}  # one chat's pieces read as they always have
    for p in pieces:
        place = f"{p.destination}: " if several else ""
        print(f"{place}{p.label}; last error: {egress.safe(p.last_error or '-')}")
        print(f"  {egress.safe(p.body.split(chr(10), 1)[0], 200)}")
    print(f"{len(pieces)} alert pieces pending")
    return 0


def _drop_outbox(store: Store) -> int:
    """Also what follows a deliberate change of chat: the next monitor records its own."""
    from ashvigil_monitor.outbox import drop_all  # imports the extension

    drop_all(store, "by the operator")
    store.forget_chat()
    return 0


def _monitor(args: argparse.Namespace, config: configuration.Config, store: Store, environment: dict[str, str]) -> int:
    from ashvigil_monitor.notify import Notifier
    from ashvigil_monitor.runner import Runner  # imports the extension: not needed for --help
    from ashvigil_monitor.stopping import Stopped, Stopper

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
    runner.role.leave()
    notifier.send("STOPPING=1")
    if stopper.requested:
        log.line(f"stopped ({stopper.signal_name})")
    return status


def _show_config(args: argparse.Namespace, environment: dict[str, str]) -> int:
    """One line per setting: its value (secrets only whether set; paths resolved) and where it
    came from."""
    from ashvigil_monitor import config_file

    env, sources = settings(args, environment)
    if args.config:
        env["ASHVIGIL_CONFIG"], sources["ASHVIGIL_CONFIG"] = args.config, "command line"
    config = configuration.load(env, egress.SECRETS.add, ())
    paths = {
        "ASHVIGIL_STATE_PATH": config.state_path,
        "ASHVIGIL_DB_PATH": config.db_path,
        "ASHVIGIL_PAUSE_PATH": config.pause_path or "never",
    }
    for name, default, _ in configuration.VARIABLES:
        source = sources.get(name, "default")
        if name in config_file.SECRETS or (name.endswith("_FILE") and name[:-5] in config_file.SECRETS):
            value = "set" if env.get(name) else "not set"
        elif name == "ASHVIGIL_DB_URL":
            value = config.database.shown if config.db_url else f"sqlite://{os.path.abspath(config.db_path)}"
        elif name in paths:
            value = os.path.abspath(paths[name]) if paths[name] != "never" else "never"
        elif name == "NOTIFY_SOCKET":
            value, source = ("set", source) if env.get(name) else ("not set", "")
        else:
            value = env[name] if name in env else default
        print(f"{name} = {egress.safe(value)}" + (f" ({source})" if source else ""))
    if config.database.exists():
        with contextlib.closing(config.database.open(read_only=True)) as store:
            mutes = store.mutes(time.time()) if store.version() >= 3 else {}
        for netuid, until in mutes.items():
            print(f"muted = SN{netuid} until {stamp(until)} UTC (chat)")
    for table in _tables(args, env):  # their credentials are read by the commands that send
        print(
            f"destination {egress.safe(table.name)} = {egress.safe(str(table.values.get('kind', '?')))} (config file)"
        )
    return 0
