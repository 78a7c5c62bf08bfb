"""Where alerts go: each destination of the config file's [destinations.NAME] tables, its kind, its
credentials and its own filters over the global ones. Without tables, the global Telegram
settings make one destination named "telegram", as a database of one chat has always held.

A table's values are checked here, each error naming the destination, the key and its line.
Credentials come only from files (`<key>_file` in the table) or the environment
(ASHVIGIL_DESTINATION_<NAME>_<KEY>, its _FILE form, or the systemd credential <name>_<key>).
"""

from __future__ import annotations

import re
import urllib.parse
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any, NamedTuple

from ashvigil_monitor import policy as policies
from ashvigil_monitor.errors import ConfigError

if TYPE_CHECKING:  # the TOML reader is imported only when there is a config file
    from ashvigil_monitor.config_file import Table, TableValue

KINDS = ("telegram", "discord", "slack", "webhook", "email")
DEFAULT_NAME = "telegram"
TLS_MODES = ("starttls", "implicit", "none")
SMTP_PORTS = {"starttls": 587, "implicit": 465, "none": 25}
NAME = re.compile(r"[A-Za-z0-9_-]{1,32}")
CHAT_ID = re.compile(r"-?[0-9]+|@[A-Za-z][A-Za-z0-9_]{3,}")
BOT_TOKEN = re.compile(r"[0-9]+:[A-Za-z0-9_-]+")  # anything else would fail, or reach another path
NAME_LIKE = re.compile(r"[a-z][a-z_]{0,39}")  # only such a key is echoed: another may be a secret pasted

# Keys every table takes: the filters (same forms as the global settings) and what it receives.
FILTERS = ("subnets", "exclude_subnets", "threshold", "thresholds", "direction", "quiet_hours", "report_new_and_gone")
SWITCHES = ("snapshot", "failures", "digest")
# Each kind's own keys; secrets only in their _file form.
KEYS: dict[str, tuple[str, ...]] = {
    "telegram": ("chat_id", "bot_token_file"),
    "discord": ("webhook_url_file",),
    "slack": ("webhook_url_file",),
    "webhook": ("url", "secret_file", "allow_http"),
    "email": ("host", "port", "tls", "allow_plaintext", "username", "password_file", "from", "to"),
}
REQUIRED = {"telegram": ("chat_id",), "webhook": ("url",), "email": ("host", "from", "to")}
# (key, the types it takes, how to say so); a key not listed takes a text.
_BOOL = ((bool,), "true or false")
_TYPES: dict[str, tuple[tuple[type, ...], str]] = {
    "threshold": ((int, float, str), "a number"),
    "subnets": ((str, int, list), "a text, number or list of ids"),
    "exclude_subnets": ((str, int, list), "a text, number or list of ids"),
    "thresholds": ((dict,), "a table of subnet thresholds"),
    "chat_id": ((str, int), "a text or an integer"),
    "port": ((int,), "an integer"),
    "to": ((list,), "a list of addresses"),
    **dict.fromkeys(("report_new_and_gone", "allow_http", "allow_plaintext", *SWITCHES), _BOOL),
}


class Destination(NamedTuple):  # not a dataclass: its import and making would slow every start
    name: str
    kind: str
    policy: policies.Policy  # the global policy with this destination's filters
    snapshot: bool = True  # the startup snapshot
    failures: bool = True  # failure and recovery messages
    digest: bool = True  # the daily digest
    chat_id: str = ""  # telegram
    bot_token: str = ""  # telegram
    url: str = ""  # discord, slack, webhook
    secret: str = ""  # webhook: the signature's key
    host: str = ""  # email
    port: int = 0
    tls: str = "starttls"
    username: str = ""
    password: str = ""
    sender: str = ""
    to: tuple[str, ...] = ()

    @property
    def secrets(self) -> tuple[str, ...]:
        """What must never leave the process: the credentials, and a webhook URL of Discord and
        Slack, which is one."""
        found = (self.bot_token, self.secret, self.password)
        return tuple(s for s in (*found, self.url if self.kind in ("discord", "slack") else "") if s)


# `secret(variable, file)`: the secret from the environment's `variable` (or its _FILE form or
# systemd credential), or from `file` when the table names one; ConfigError naming the source.
SecretReader = Callable[[str, "str | None"], str]


def default(policy: policies.Policy, chat_id: str, bot_token: str) -> Destination:
    return Destination(DEFAULT_NAME, "telegram", policy, chat_id=chat_id, bot_token=bot_token)


def parse(
    tables: list[Table], base: policies.Policy, secret: SecretReader, bot_token: Callable[[], str]
) -> list[Destination]:
    """The destinations of the config file's tables, in their order."""
    return [_parse(table, base, secret, bot_token) for table in tables]


def _parse(table: Table, base: policies.Policy, secret: SecretReader, bot_token: Callable[[], str]) -> Destination:
    if not NAME.fullmatch(table.name):  # not echoed: it may be a secret pasted as a name
        where = table.where("").rpartition(": destination ")[0]
        raise ConfigError(f"{where}: a destination's name is letters, digits, _ and - (at most 32)")
    values = table.values
    kind = values.get("kind")
    if not isinstance(kind, str) or kind not in KINDS:
        raise ConfigError(f"{table.where('kind')}: kind must be one of {', '.join(KINDS)}")
    for key, value in values.items():
        if key != "kind" and key not in (*FILTERS, *SWITCHES, *KEYS[kind]):
            if not NAME_LIKE.fullmatch(key):
                raise ConfigError(f"{table.where('')}: a key that is not one of a {kind} destination")
            raise ConfigError(f"{table.where(key)}: not a key of a {kind} destination")
        _check_type(table, key, value)
    for key in REQUIRED.get(kind, ()):
        if key not in values:
            raise ConfigError(f"{table.where('')}: {key} is missing (a {kind} destination needs it)")
    found = Destination(
        table.name,
        kind,
        _policy(table, base),
        snapshot=bool(values.get("snapshot", True)),
        failures=bool(values.get("failures", True)),
        digest=bool(values.get("digest", True)),
    )
    return _KIND_PARSERS[kind](table, found, secret, bot_token)


def _check_type(table: Table, key: str, value: TableValue) -> None:
    types, wanted = _TYPES.get(key, ((str,), "a text"))
    fits = isinstance(value, types) and not (isinstance(value, bool) and bool not in types)
    if isinstance(value, list):
        fits = fits and all(isinstance(v, (str, int)) and not isinstance(v, bool) for v in value)
    if not fits:
        raise ConfigError(f"{table.where(key)}: {wanted}, got {_type_of(value)}")
    if isinstance(value, str) and "\0" in value:
        raise ConfigError(f"{table.where(key)}: a NUL character, which no setting can hold")


def _type_of(value: Any) -> str:
    names = {bool: "true/false", int: "an integer", float: "a float", str: "a text", list: "an array", dict: "a table"}
    return names.get(type(value), "a date or time")


def _policy(table: Table, base: policies.Policy) -> policies.Policy:
    """The global policy with the table's filters; each parsed as its global setting is."""
    v = table.values
    changes: dict[str, Any] = {}
    parsers: dict[str, tuple[str, Callable[[str, str], Any]]] = {
        "subnets": ("subnets", policies.parse_subnets),
        "exclude_subnets": ("excluded", lambda n, t: policies.parse_subnets(n, t, False)),
        "direction": ("direction", lambda n, t: policies.parse_choice(n, t, policies.DIRECTIONS)),
        "quiet_hours": ("quiet_hours", policies.parse_quiet_hours),
        "thresholds": ("thresholds", policies.parse_thresholds),
        "threshold": ("threshold", _threshold),
    }
    for key, (field, parse) in parsers.items():
        if key in v:
            try:
                changes[field] = parse(key, _text(v[key]))
            except ConfigError as e:
                raise ConfigError(f"{table.where(key)}: {str(e).removeprefix(key + ' ')}") from None
    if "report_new_and_gone" in v:
        changes["report_new_and_gone"] = bool(v["report_new_and_gone"])
    return base._replace(**changes)


def _threshold(name: str, text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise ConfigError(f"{name} must be a number, got {text!r}") from None
    if not value >= 0 or value == float("inf"):
        raise ConfigError(f"{name} must be finite and >= 0, got {text!r}")
    return value


def _text(value: TableValue) -> str:
    """A value in the text its global setting would hold."""
    if isinstance(value, dict):
        return ",".join(f"{k}={v}" for k, v in value.items())
    if isinstance(value, list):
        return ",".join(str(v) for v in value)
    return str(value)


def _variable(name: str, key: str) -> str:
    return f"ASHVIGIL_DESTINATION_{re.sub('[^A-Z0-9]', '_', name.upper())}_{key.upper()}"


def _secret(table: Table, key: str, secret: SecretReader) -> str:
    try:
        return secret(_variable(table.name, key), table.values.get(f"{key}_file"))
    except ConfigError as e:
        raise ConfigError(f"destination {table.name}: {e}", e.setting) from None


def _telegram(table: Table, found: Destination, secret: SecretReader, bot_token: Callable[[], str]) -> Destination:
    chat = str(table.values["chat_id"]).strip()
    if not CHAT_ID.fullmatch(chat):
        raise ConfigError(f"{table.where('chat_id')}: an integer chat id or @channelname, got {chat!r}")
    has_own = "bot_token_file" in table.values
    token = _secret(table, "bot_token", secret) if has_own else bot_token()
    if not BOT_TOKEN.fullmatch(token):
        raise ConfigError(
            f"{table.where('bot_token_file')}: not a bot token (digits, ':', then letters, digits, _ or -)"
        )
    return found._replace(chat_id=chat, bot_token=token)


def _webhook_url(table: Table, found: Destination, secret: SecretReader, _: Callable[[], str]) -> Destination:
    url = _secret(table, "webhook_url", secret)
    _require_https(table, "webhook_url_file", url, allow_http=False)
    return found._replace(url=url)


def _webhook(table: Table, found: Destination, secret: SecretReader, _: Callable[[], str]) -> Destination:
    url = str(table.values["url"]).strip()
    _require_https(table, "url", url, allow_http=bool(table.values.get("allow_http", False)))
    key = _secret(table, "secret", secret) if "secret_file" in table.values else ""
    return found._replace(url=url, secret=key)


def _email(table: Table, found: Destination, secret: SecretReader, _: Callable[[], str]) -> Destination:
    v = table.values
    tls = str(v.get("tls", "starttls"))
    if tls not in TLS_MODES:
        raise ConfigError(f"{table.where('tls')}: one of {', '.join(TLS_MODES)}, got {tls!r}")
    if tls == "none" and not v.get("allow_plaintext", False):
        raise ConfigError(f'{table.where("tls")}: "none" sends the login in clear; set allow_plaintext = true')
    to = tuple(str(a).strip() for a in v["to"])
    if not to or not all(_address(a) for a in (*to, str(v["from"]))):
        raise ConfigError(f"{table.where('to')}: addresses such as ops@example.org, at least one")
    port = int(v.get("port", SMTP_PORTS[tls]))
    if not 0 < port < 65536:
        raise ConfigError(f"{table.where('port')}: a port from 1 to 65535, got {port}")
    username = str(v.get("username", ""))
    password = _secret(table, "password", secret) if username else ""
    return found._replace(
        host=str(v["host"]),
        port=port,
        tls=tls,
        username=username,
        password=password,
        sender=str(v["from"]),
        to=to,
    )


def _address(text: str) -> bool:
    return re.fullmatch(r"[^@\s<>,]+@[^@\s<>,]+", text) is not None


def _require_https(table: Table, key: str, url: str, allow_http: bool) -> None:
    """https; http only to a loopback address (a local relay) or where the operator allowed it."""
    where = table.where(key)
    try:
        parts = urllib.parse.urlsplit(url)
        parts.port  # noqa: B018 - a port out of range or not a number raises here
    except ValueError:
        raise ConfigError(f"{where}: not a URL") from None
    if parts.scheme == "https" and parts.hostname:
        return
    if parts.scheme == "http" and parts.hostname and (allow_http or _loopback(parts.hostname)):
        return
    raise ConfigError(f"{where}: an https:// URL (http:// only to a loopback address, or with allow_http)")


def _loopback(host: str) -> bool:
    import ipaddress  # only for a webhook URL over http://, not at every start

    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


_KIND_PARSERS: Mapping[str, Callable[[Table, Destination, SecretReader, Callable[[], str]], Destination]] = {
    "telegram": _telegram,
    "discord": _webhook_url,
    "slack": _webhook_url,
    "webhook": _webhook,
    "email": _email,
}
