"""Configuration: the environment (optionally filled from an env file), secrets read from files,
and the checks that run before anything is sent."""

from __future__ import annotations

import datetime
import math
import os
import re
import urllib.parse
from collections.abc import Callable, Iterable, Mapping, MutableMapping, Sequence
from typing import TYPE_CHECKING, NamedTuple, TypeVar

from ashvigil_monitor import destinations as places
from ashvigil_monitor import engines, log, policy
from ashvigil_monitor.destinations import Destination
from ashvigil_monitor.errors import ConfigError
from ashvigil_monitor.files import read_small_text, require_regular_or_absent

if TYPE_CHECKING:  # the TOML reader only when there is a config file, the store only when opened
    from ashvigil_monitor import store
    from ashvigil_monitor.config_file import Table

# (name, default shown by --help, meaning); the help text and the README list the same table.
VARIABLES: tuple[tuple[str, str, str], ...] = (
    ("TAOSTATS_API_KEY", "required", "taostats API key"),
    (
        "TAOSTATS_API_KEY_FILE",
        "$CREDENTIALS_DIRECTORY/taostats_api_key when present",
        "file holding the taostats API key (instead of TAOSTATS_API_KEY)",
    ),
    ("ASHVIGIL_BOT_TOKEN", "required", "Telegram bot token"),
    (
        "ASHVIGIL_BOT_TOKEN_FILE",
        "$CREDENTIALS_DIRECTORY/bot_token when present",
        "file holding the bot token (instead of ASHVIGIL_BOT_TOKEN)",
    ),
    ("ASHVIGIL_CHAT_ID", "required", "chat to post to: an integer id or @channelname"),
    (
        "ASHVIGIL_STATE_PATH",
        "$STATE_DIRECTORY/state.json, else $XDG_STATE_HOME/ashvigil/state.json,"
        " else ~/.local/state/ashvigil/state.json",
        "the burn state file",
    ),
    (
        "ASHVIGIL_DB_PATH",
        "the state file's stem.db beside it (state.json: state.db), or an ashvigil.db there that is this state file's",
        "the database: outbox of undelivered alerts, and the chat they are for",
    ),
    (
        "ASHVIGIL_DB_URL",
        "sqlite:/// and ASHVIGIL_DB_PATH",
        "the database as a URL: sqlite:///PATH, or postgresql://USER@HOST:PORT/DBNAME for several monitors"
        " on one database (needs ashvigil[postgres])",
    ),
    (
        "ASHVIGIL_DB_PASSWORD_FILE",
        "$CREDENTIALS_DIRECTORY/db_password when present, else libpq's own (~/.pgpass, PGPASSWORD)",
        "file holding the PostgreSQL password",
    ),
    ("ASHVIGIL_STANDBY_POLL_SECONDS", "10", "how often a standby tries to become the active monitor (finite, > 0)"),
    ("ASHVIGIL_OUTBOX_MAX_AGE_HOURS", "24", "undelivered alert pieces older than this are dropped (finite, > 0)"),
    ("ASHVIGIL_CONFIG", "unset", "TOML file with these settings (keys: names without ASHVIGIL_, lower case)"),
    ("ASHVIGIL_THRESHOLD", "0.0001", "smallest move of a burn rate that is reported (finite, >= 0)"),
    ("ASHVIGIL_SUBNET_THRESHOLDS", "unset", "thresholds of single subnets, such as 12=0.01,64=0.002"),
    ("ASHVIGIL_COMPARE", "last-alert", "compare with the rate last reported (last-alert) or last polled (last-poll)"),
    ("ASHVIGIL_SUBNETS", "all", "the watched subnets: ids and ranges such as 1,3,10-20"),
    ("ASHVIGIL_EXCLUDE_SUBNETS", "unset", "subnets taken out of the watched ones, same form"),
    ("ASHVIGIL_DIRECTION", "both", "report moves up, down or both (a rate that is not a number: always)"),
    ("ASHVIGIL_REPORT_NEW_AND_GONE", "1", "report new subnets and subnets missing from 3 polls (0: do not)"),
    (
        "ASHVIGIL_FAILURE_ALERT_AFTER",
        "3",
        "failed cycles in a row that are told in the chat, and the recovery (0: never)",
    ),
    (
        "ASHVIGIL_BOT_COMMANDS_DESTINATION",
        "the first telegram destination",
        "the telegram destination whose chat answers commands and gets charts",
    ),
    ("ASHVIGIL_BOT_COMMANDS", "0", "1: answer commands in the chat (/status, /burn, /top, /mute, ...) while run runs"),
    ("ASHVIGIL_ADMIN_IDS", "unset", "Telegram user ids that may /mute, /unmute and /snapshot, such as 1234,5678"),
    ("ASHVIGIL_QUIET_HOURS", "unset", "alerts wait and go out as one quiet-hours summary after, such as 22:00-07:00"),
    ("ASHVIGIL_TIMEZONE", "UTC", "IANA time zone of the quiet hours and the daily digest, such as Europe/Berlin"),
    ("ASHVIGIL_INTERVAL_MINUTES", "5", "wait between polls (finite, > 0; up to 1 means one minute)"),
    ("ASHVIGIL_PAUSE_PATH", "pause beside the state file", "a file here stops the loop; empty: never"),
    ("ASHVIGIL_TELEGRAM_API", "https://api.telegram.org", "Bot API origin (a self-hosted Bot API server)"),
    ("ASHVIGIL_HEARTBEAT_URL", "unset", "pinged after every cycle (URL/fail when the cycle failed)"),
    ("ASHVIGIL_METRICS_PATH", "unset", "Prometheus text file written after every cycle"),
    ("TAOSTATS_API_BASE", "https://api.taostats.io", "taostats API origin"),
    ("TAOSTATS_USER_AGENT", "a desktop browser's", "User-Agent of taostats requests"),
    ("NOTIFY_SOCKET", "set by systemd", "systemd notify socket (READY, WATCHDOG, STATUS, STOPPING)"),
    ("ASHVIGIL_HISTORY_DAYS", "365", "days of rate history kept in the database (finite, > 0)"),
    ("ASHVIGIL_ALERT_CHARTS", "0", "1: a chart of its subnets follows each alert (needs ashvigil[charts])"),
    ("ASHVIGIL_DIGEST_AT", "unset", "HH:MM: a daily digest of the last 24 hours at this time"),
    ("ASHVIGIL_METRICS_LISTEN", "unset", "HOST:PORT where run serves /metrics and /healthz (needs ashvigil[metrics])"),
    ("ASHVIGIL_LOG_FORMAT", "text", "log lines as text, text-time (a UTC time and level first) or json"),
    ("ASHVIGIL_LOG_LEVEL", "info", "debug (a line per outbound request), info, or warning (failures only)"),
)

_CHAT_ID = re.compile(r"-?[0-9]+|@[A-Za-z][A-Za-z0-9_]{3,}")
_BOT_TOKEN = re.compile(r"[0-9]+:[A-Za-z0-9_-]+")
_ENV_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
T = TypeVar("T")


class Config(NamedTuple):  # not a dataclass: its import and making would slow every start
    api_key: str
    bot_token: str
    chat_id: str
    state_path: str
    db_path: str
    outbox_max_age_hours: float
    policy: policy.Policy
    failure_alert_after: int
    bot_commands: bool
    admin_ids: frozenset[int]
    interval_minutes: float
    pause_path: str
    telegram_api: str | None
    heartbeat_url: str | None
    metrics_path: str | None
    history_days: float = 365.0
    alert_charts: bool = False
    digest_at: datetime.time | None = None
    log_format: str = "text"
    log_level: str = "info"
    metrics_listen: tuple[str, int] | None = None
    secret_files: tuple[tuple[str, str], ...] = ()  # (setting, path) of the secrets read from files
    destinations: tuple[Destination, ...] = ()  # where alerts go; empty for a command that sends nothing
    chat_destination: str = ""  # the name of the Telegram destination whose chat answers commands
    db_url: str = ""  # a PostgreSQL database shared by several monitors; "" for the SQLite file db_path
    db_password: str = ""
    standby_poll_seconds: float = 10.0

    @property
    def database(self) -> store.Database:
        from ashvigil_monitor.store import Database

        return Database(self.db_url or self.db_path, self.db_password)

    @property
    def interval_seconds(self) -> float:
        """One minute is the shortest interval, as in the module's poll loop."""
        return self.interval_minutes * 60.0 if self.interval_minutes > 1 else 60.0


def apply_env_file(path: str, env: MutableMapping[str, str]) -> None:
    """Sets the file's KEY=VALUE lines in `env`; they win over values already there."""
    text = read_small_text(path, f"--env-file {path}").removeprefix("\ufeff")  # a BOM some editors write
    for number, line in enumerate(text.splitlines(), 1):
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        key, sep, value = text.removeprefix("export ").partition("=")
        key, value = key.strip(), value.strip()
        if not sep or not _ENV_NAME.fullmatch(key):
            raise ConfigError(f"--env-file {path}, line {number}: expected KEY=VALUE")
        if len(value) >= 2 and value[0] == value[-1] and value[0] in "'\"":
            value = value[1:-1]
        if "\0" in value:
            raise ConfigError(f"--env-file {path}, line {number}: a NUL character, which no variable can hold")
        env[key] = value


def read_secret(env: Mapping[str, str], name: str, found: Callable[[str], None]) -> str:
    """The secret from `name` or from the file `name`_FILE names (one trailing line feed removed).

    `found` is told every secret as soon as it is known, so that output can hide it even when a
    later check fails."""
    file_name = name + "_FILE"
    direct, path = env.get(name), env.get(file_name) or _credential(env, name)
    if direct and path:
        raise ConfigError(f"set {name} or {file_name}, not both", file_name)
    if path:
        value = read_small_text(path, file_name, path_is_secret=True)
        value = value[:-1] if value.endswith("\n") else value
        found(value)
        source = file_name
    else:
        value = direct or ""
        found(value)
        source = name
    value = value.strip()
    if not value:
        raise ConfigError(f"{source} is empty" if path else f"missing required variable {name}", source)
    found(value)
    return value


# systemd's credentials (LoadCredential=), taken when the secret is not set otherwise.
CREDENTIALS = {
    "TAOSTATS_API_KEY": "taostats_api_key",
    "ASHVIGIL_BOT_TOKEN": "bot_token",
    "ASHVIGIL_DB_PASSWORD": "db_password",
}


def _credential(env: Mapping[str, str], name: str) -> str | None:
    directory = env.get("CREDENTIALS_DIRECTORY")
    if not directory or env.get(name):
        return None
    path = os.path.join(directory, CREDENTIALS.get(name) or name.removeprefix("ASHVIGIL_DESTINATION_").lower())
    return path if os.path.exists(path) else None


def _hide_unneeded(env: Mapping[str, str], name: str, found: Callable[[str], None]) -> None:
    """Tells `found` a secret a subcommand does not use: a server may still echo it (the module
    reads the API key from the environment whatever the subcommand)."""
    found(env.get(name, ""))  # also when it is refused for being set twice
    try:
        read_secret(env, name, found)
    except ConfigError:
        pass  # not needed: only its text matters, and read_secret has told it already


def default_state_path(env: Mapping[str, str]) -> str:
    if env.get("STATE_DIRECTORY"):  # systemd's StateDirectory=; may list several, first is ours
        return os.path.join(env["STATE_DIRECTORY"].split(":")[0], "state.json")
    base = env.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(base, "ashvigil", "state.json")


LEGACY_DB_NAME = "ashvigil.db"  # the default database once shared by every state file of a folder


def default_db_path(state_path: str) -> str:
    """<state file's stem>.db beside it, so that state files in one folder get databases of their
    own; the old shared default there while it records this state file as its owner, or none."""
    directory, name = os.path.split(state_path)
    path = os.path.join(directory, os.path.splitext(name)[0] + ".db")
    if path == state_path:
        path += ".db"
    legacy = os.path.join(directory, LEGACY_DB_NAME)
    if path == legacy or os.path.lexists(path) or not os.path.lexists(legacy):
        return path
    from ashvigil_monitor.store import recorded_owner  # only beside an old shared database

    return legacy if recorded_owner(legacy) in ("", os.path.realpath(state_path)) else path


def _number(env: Mapping[str, str], name: str, default: str, ok: Callable[[float], bool], rule: str) -> float:
    text = env.get(name, "").strip() or default
    try:
        value = float(text)
    except ValueError:
        raise ConfigError(f"{name} must be a number, got {text!r}", name) from None
    if not math.isfinite(value) or not ok(value):
        raise ConfigError(f"{name} must be {rule}, got {text!r}", name)
    return value


def hide_url_password(env: Mapping[str, str], name: str, found: Callable[[str], None]) -> None:
    """A password in a URL's user information is a secret too, in every form it may be written."""
    try:
        password = urllib.parse.urlsplit(env.get(name, "").strip()).password
    except ValueError:
        return
    if password:
        found(password)
        found(urllib.parse.unquote(password))


def _http_url(env: Mapping[str, str], name: str, origin_only: bool) -> str | None:
    text = env.get(name, "").strip()
    if not text:
        return None
    parts = urllib.parse.urlsplit(text)
    if parts.scheme not in ("http", "https") or not parts.netloc or (origin_only and (parts.query or parts.fragment)):
        raise ConfigError(f"{name} must be an http:// or https:// URL, got {text!r}", name)
    return text.rstrip("/") if origin_only else text


def _bot_token(env: Mapping[str, str], found: Callable[[str], None]) -> str:
    """A Bot API token has the form <bot id>:<secret>; anything else (a blank, a line break, a
    comment read along from a file) would fail every delivery, or reach another path."""
    token = read_secret(env, "ASHVIGIL_BOT_TOKEN", found)
    if not _BOT_TOKEN.fullmatch(token):
        raise ConfigError(
            "ASHVIGIL_BOT_TOKEN is not a bot token (expected digits, ':', then letters, digits, _ or -)",
            "ASHVIGIL_BOT_TOKEN",
        )
    return token


def _chat_id(env: Mapping[str, str]) -> str:
    text = env.get("ASHVIGIL_CHAT_ID", "").strip()
    if not text:
        raise ConfigError("missing required variable ASHVIGIL_CHAT_ID", "ASHVIGIL_CHAT_ID")
    if not _CHAT_ID.fullmatch(text):
        raise ConfigError(
            f"ASHVIGIL_CHAT_ID must be an integer chat id or @channelname, got {text!r}", "ASHVIGIL_CHAT_ID"
        )
    return text


def prepare_state_dir(state_path: str) -> None:
    """Creates the state file's directory (0700, only the monitor reads its state) and checks it."""
    directory = os.path.dirname(os.path.abspath(state_path))
    try:
        os.makedirs(directory, mode=0o700, exist_ok=True)
    except OSError as e:
        raise ConfigError(f"ASHVIGIL_STATE_PATH: cannot create {directory} ({e.strerror})") from None
    if os.path.isdir(state_path) or not os.access(directory, os.W_OK | os.X_OK):
        raise ConfigError(f"ASHVIGIL_STATE_PATH: {state_path} is not a writable file path")


def load(
    env: Mapping[str, str],
    found: Callable[[str], None],
    needs: Iterable[str] = ("api", "deliver"),
    tables: Sequence[Table] = (),
) -> Config:
    """Reads and checks the configuration. `needs` names the parts a subcommand cannot do without:
    "api" (the taostats key) and "deliver" (the destinations, from the config file's `tables` or
    the Telegram token and chat); the others may then be empty."""
    needs = set(needs)
    for name in ("TAOSTATS_API_KEY", "ASHVIGIL_BOT_TOKEN"):
        _hide_unneeded(env, name, found)
    for name in ("TAOSTATS_API_BASE", "ASHVIGIL_TELEGRAM_API", "ASHVIGIL_HEARTBEAT_URL"):
        hide_url_password(env, name, found)
    api_key = read_secret(env, "TAOSTATS_API_KEY", found) if "api" in needs else env.get("TAOSTATS_API_KEY", "")
    rules = _policy(env)
    where = _destinations(env, found, rules, tables) if "deliver" in needs else ()
    chat = _chat_destination(env, where)
    state_path = env.get("ASHVIGIL_STATE_PATH") or default_state_path(env)
    pause = env.get("ASHVIGIL_PAUSE_PATH")
    config = Config(
        api_key=api_key,
        bot_token=chat.bot_token if chat else "",
        chat_id=chat.chat_id if chat else "",
        state_path=state_path,
        db_path=_db_path(env) or env.get("ASHVIGIL_DB_PATH") or default_db_path(state_path),
        db_url=_db_url(env),
        db_password=_db_password(env, found),
        standby_poll_seconds=_number(env, "ASHVIGIL_STANDBY_POLL_SECONDS", "10", lambda v: v > 0, "finite and > 0"),
        outbox_max_age_hours=_number(env, "ASHVIGIL_OUTBOX_MAX_AGE_HOURS", "24", lambda v: v > 0, "finite and > 0"),
        policy=rules,
        failure_alert_after=int(
            _number(env, "ASHVIGIL_FAILURE_ALERT_AFTER", "3", lambda v: v >= 0 and v == int(v), "a whole number >= 0")
        ),
        bot_commands=_flag(env, "ASHVIGIL_BOT_COMMANDS", False),
        admin_ids=_admin_ids(env),
        interval_minutes=_number(env, "ASHVIGIL_INTERVAL_MINUTES", "5", lambda v: v > 0, "finite and > 0"),
        pause_path=os.path.join(os.path.dirname(state_path), "pause") if pause is None else pause,
        telegram_api=_http_url(env, "ASHVIGIL_TELEGRAM_API", origin_only=True),
        heartbeat_url=_http_url(env, "ASHVIGIL_HEARTBEAT_URL", origin_only=False),
        metrics_path=env.get("ASHVIGIL_METRICS_PATH") or None,
        history_days=_number(env, "ASHVIGIL_HISTORY_DAYS", "365", lambda v: v > 0, "finite and > 0"),
        alert_charts=_flag(env, "ASHVIGIL_ALERT_CHARTS", False),
        digest_at=_parsed(env, "ASHVIGIL_DIGEST_AT", policy.parse_time_of_day),
        metrics_listen=_listen(env, "ASHVIGIL_METRICS_LISTEN"),
        secret_files=_secret_files(env, tables),
        log_format=_parsed(env, "ASHVIGIL_LOG_FORMAT", policy.parse_choice, log.FORMATS),
        log_level=_parsed(env, "ASHVIGIL_LOG_LEVEL", policy.parse_choice, log.LEVELS[1:] + log.LEVELS[:1]),
        destinations=tuple(where),
        chat_destination=chat.name if chat else "",
    )
    if config.bot_commands and "deliver" in needs and chat is None:
        raise ConfigError("ASHVIGIL_BOT_COMMANDS needs a telegram destination to answer in", "ASHVIGIL_BOT_COMMANDS")
    _require_regular_files(config)
    return config


def _db_url(env: Mapping[str, str]) -> str:
    """The PostgreSQL URL of ASHVIGIL_DB_URL; "" for SQLite."""
    url = env.get("ASHVIGIL_DB_URL", "")
    if not url or url.startswith("sqlite:///"):
        return ""
    if not engines.is_postgres(url):
        raise ConfigError("ASHVIGIL_DB_URL must be sqlite:///PATH or postgresql://...", "ASHVIGIL_DB_URL")
    engines.check_url(url, "ASHVIGIL_DB_URL")
    return url


def _db_path(env: Mapping[str, str]) -> str:
    """The SQLite file of a sqlite:/// ASHVIGIL_DB_URL, which wins over ASHVIGIL_DB_PATH."""
    url = env.get("ASHVIGIL_DB_URL", "")
    return url.removeprefix("sqlite://") if url.startswith("sqlite:///") else ""


def _db_password(env: Mapping[str, str], found: Callable[[str], None]) -> str:
    path = env.get("ASHVIGIL_DB_PASSWORD_FILE") or _credential(env, "ASHVIGIL_DB_PASSWORD")
    if not path:
        return ""
    value = read_small_text(path, "ASHVIGIL_DB_PASSWORD_FILE", path_is_secret=True).removesuffix("\n")
    found(value)
    return value


def _destinations(
    env: Mapping[str, str], found: Callable[[str], None], rules: policy.Policy, tables: Sequence[Table]
) -> list[Destination]:
    """The config file's destinations, else the one Telegram chat of the global settings."""
    if not tables:
        return [places.default(rules, _chat_id(env), _bot_token(env, found))]

    def secret(variable: str, file: str | None) -> str:
        scoped = {k: v for k, v in env.items() if k in (variable, "CREDENTIALS_DIRECTORY")}
        scoped[f"{variable}_FILE"] = file or env.get(f"{variable}_FILE", "")
        value = read_secret(scoped, variable, found)
        _hide_url_parts(value, found)
        return value

    return places.parse(list(tables), rules, secret, lambda: _bot_token(env, found))


def _hide_url_parts(value: str, found: Callable[[str], None]) -> None:
    """A webhook URL's path holds its token: a text that quotes only its host and path, its path or
    its token must not show it either."""
    if "://" in value:
        from ashvigil_monitor.posting import url_forms  # the HTTP client's imports: only for a webhook

        for form in url_forms(value):
            found(form)


def _chat_destination(env: Mapping[str, str], where: Sequence[Destination]) -> Destination | None:
    """The Telegram destination whose chat answers commands: named, else the first."""
    name = env.get("ASHVIGIL_BOT_COMMANDS_DESTINATION", "").strip()
    chats = [d for d in where if d.kind == "telegram" and (not name or d.name == name)]
    if name and where and not chats:
        raise ConfigError(
            f"ASHVIGIL_BOT_COMMANDS_DESTINATION names no telegram destination: {name!r}",
            "ASHVIGIL_BOT_COMMANDS_DESTINATION",
        )
    return chats[0] if chats else None


def _secret_files(env: Mapping[str, str], tables: Sequence[Table]) -> tuple[tuple[str, str], ...]:
    """(setting, path) of every secret read from a file, for check's look at their modes."""
    files = [(f"{n}_FILE", path) for n in CREDENTIALS if (path := env.get(f"{n}_FILE") or _credential(env, n))]
    for table in tables:
        files += [
            (f"destination {table.name}: {key}", str(value))
            for key, value in table.values.items()
            if key.endswith("_file") and isinstance(value, str)
        ]
    return tuple(files)


def _parsed(env: Mapping[str, str], name: str, parse: Callable[..., T], *rules: object) -> T:
    """`parse(name, text, *rules)` of a policy setting; its ConfigError names the setting."""
    try:
        return parse(name, env.get(name, ""), *rules)
    except ConfigError as e:
        raise ConfigError(str(e), name) from None


def _policy(env: Mapping[str, str]) -> policy.Policy:
    return policy.Policy(
        threshold=_number(env, "ASHVIGIL_THRESHOLD", "0.0001", lambda v: v >= 0, "finite and >= 0"),
        compare=_parsed(env, "ASHVIGIL_COMPARE", policy.parse_choice, policy.COMPARE_RULES),
        report_new_and_gone=_flag(env, "ASHVIGIL_REPORT_NEW_AND_GONE", True),
        subnets=_parsed(env, "ASHVIGIL_SUBNETS", policy.parse_subnets),
        excluded=_parsed(env, "ASHVIGIL_EXCLUDE_SUBNETS", policy.parse_subnets, False),
        thresholds=_parsed(env, "ASHVIGIL_SUBNET_THRESHOLDS", policy.parse_thresholds),
        direction=_parsed(env, "ASHVIGIL_DIRECTION", policy.parse_choice, policy.DIRECTIONS),
        quiet_hours=_parsed(env, "ASHVIGIL_QUIET_HOURS", policy.parse_quiet_hours),
        timezone=_parsed(env, "ASHVIGIL_TIMEZONE", policy.parse_timezone),
    )


def _listen(env: Mapping[str, str], name: str) -> tuple[str, int] | None:
    """HOST:PORT, or [IPv6]:PORT."""
    text = env.get(name, "").strip()
    if not text:
        return None
    match = re.fullmatch(r"\[([0-9A-Fa-f:.]+)\]:(\d{1,5})|([A-Za-z0-9.-]+):(\d{1,5})", text)
    port = int((match[2] or match[4]) if match else 0)
    if match is None or not 0 < port < 65536:
        raise ConfigError(f"{name} must be HOST:PORT such as 127.0.0.1:9477, got {text!r}", name)
    return (match[1] or match[3]), port


def _admin_ids(env: Mapping[str, str]) -> frozenset[int]:
    text = env.get("ASHVIGIL_ADMIN_IDS", "")
    parts = [p.strip() for p in text.split(",") if p.strip()]
    if not all(re.fullmatch(r"[0-9]+", p) for p in parts):
        raise ConfigError(
            f"ASHVIGIL_ADMIN_IDS must be Telegram user ids such as 1234,5678, got {text!r}", "ASHVIGIL_ADMIN_IDS"
        )
    return frozenset(map(int, parts))


_TRUE, _FALSE = ("1", "true", "yes", "on"), ("0", "false", "no", "off")


def _flag(env: Mapping[str, str], name: str, default: bool) -> bool:
    text = env.get(name, "").strip().lower()
    if not text:
        return default
    if text not in _TRUE + _FALSE:
        raise ConfigError(f"{name} must be 1 or 0, got {text!r}", name)
    return text in _TRUE


def _require_regular_files(config: Config) -> None:
    """A FIFO would hang a read or a save, a device would feed garbage or endless bytes, and a
    directory cannot be replaced: each is refused before anything runs."""
    for name, path in (
        ("ASHVIGIL_STATE_PATH", config.state_path),
        ("ASHVIGIL_DB_PATH", config.db_path),
        ("ASHVIGIL_PAUSE_PATH", config.pause_path),
        ("ASHVIGIL_METRICS_PATH", config.metrics_path),
        *(("ASHVIGIL_DB_PATH", config.db_path + suffix) for suffix in engines.SIBLINGS),
    ):
        if path:
            require_regular_or_absent(path, name)


def help_table() -> str:
    width = max(len(name) for name, _, _ in VARIABLES)
    return "\n".join(f"  {name:<{width}}  {meaning} (default: {default})" for name, default, meaning in VARIABLES)
