"""Writes docs/configuration.md from the settings table, so that the page lists exactly the
settings the command reads (`ashvigil_monitor.config.VARIABLES`) with their TOML keys.

    python scripts/configuration_doc.py           # writes the file
    python scripts/configuration_doc.py --check   # exit 1 when the file is stale
"""

import argparse
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)  # the settings of this checkout, not of an installed copy

from ashvigil_monitor import config, config_file, destinations  # noqa: E402

DOC = os.path.join(ROOT, "docs", "configuration.md")

# What an operator needs besides the table's one-line meaning, with a link where a guide section
# says more. A note for a setting the table no longer has is an error, not a silent leftover.
NOTES = {
    "TAOSTATS_API_KEY_FILE": "one trailing line feed is removed",
    "ASHVIGIL_BOT_TOKEN_FILE": "one trailing line feed is removed",
    "ASHVIGIL_CHAT_ID": "groups and channels have ids that start with `-100`",
    "ASHVIGIL_STATE_PATH": "`$STATE_DIRECTORY` comes from systemd's `StateDirectory=`; the directory is made"
    " with mode 0700 (see [The state](operators.md#the-state))",
    "ASHVIGIL_DB_PATH": "it also holds the last stored rates, the baselines, the history and mutes; an"
    " `ashvigil.db` is kept while it records this state file as its owner, or no owner (see"
    " [One monitor per database](operators.md#one-monitor-per-database))",
    "ASHVIGIL_OUTBOX_MAX_AGE_HOURS": "a piece must also have been tried at least 3 times over an hour (see"
    " [the outbox](operators.md#every-alert-arrives-the-outbox))",
    "ASHVIGIL_CONFIG": "see [The config file](#the-config-file)",
    "ASHVIGIL_THRESHOLD": "rates run from 0 to 1",
    "ASHVIGIL_SUBNET_THRESHOLDS": "they override `ASHVIGIL_THRESHOLD`; in the config file also a `[thresholds]`"
    " table (`12 = 0.01`)",
    "ASHVIGIL_COMPARE": "see [What is reported](operators.md#what-is-reported)",
    "ASHVIGIL_EXCLUDE_SUBNETS": "for example `0`",
    "ASHVIGIL_REPORT_NEW_AND_GONE": "`SN130: new → 0.0000`, `SN42: 0.1000 → gone`",
    "ASHVIGIL_FAILURE_ALERT_AFTER": "see [Failures in the chat](operators.md#failures-in-the-chat)",
    "ASHVIGIL_BOT_COMMANDS": "see [Commands in the chat](operators.md#commands-in-the-chat)",
    "ASHVIGIL_QUIET_HOURS": "the merged alert is the [quiet-hours summary](operators.md#quiet-hours)",
    "ASHVIGIL_PAUSE_PATH": "see [Pause and resume](operators.md#pause-and-resume)",
    "ASHVIGIL_TELEGRAM_API": "redirects are not followed",
    "ASHVIGIL_HEARTBEAT_URL": "see [Health](operators.md#health)",
    "ASHVIGIL_METRICS_PATH": "see [Health](operators.md#health)",
    "TAOSTATS_API_BASE": "read by the module (see [below](#the-modules-own-variables))",
    "TAOSTATS_USER_AGENT": "read by the module (see [below](#the-modules-own-variables))",
    "ASHVIGIL_HISTORY_DAYS": "see [History and charts](operators.md#history-and-charts)",
    "ASHVIGIL_ALERT_CHARTS": "see [History and charts](operators.md#history-and-charts)",
    "ASHVIGIL_DIGEST_AT": "in `ASHVIGIL_TIMEZONE`; see [The daily digest](operators.md#the-daily-digest)",
}

HEAD = """\
<!-- Written by scripts/configuration_doc.py from VARIABLES in ashvigil_monitor/config.py: change
     them and run it again; tests/test_docs.py fails while this file is stale. -->
# Configuration

Every setting of the `ashvigil` command, with its default, its meaning and its key in the config
file. `ashvigil --help` lists the same settings; `ashvigil config` prints the effective ones. How
the monitor behaves with them is in the [operator's guide](operators.md).

## Where settings come from

Highest first:

1. `--env-file PATH`: `KEY=VALUE` lines, with `#` comments, optional quotes around the value and an
   optional `export ` before the key. A UTF-8 byte-order mark at the start of the file is
   accepted; a NUL character in a value is refused with one line.
2. The environment.
3. The config file, `--config PATH` or `ASHVIGIL_CONFIG` (below).
4. The defaults.

## The config file

A TOML file. A key is the variable's name without `ASHVIGIL_`, in lower case (`threshold`,
`quiet_hours`, `taostats_api_base`), written as the variable's text or as its natural TOML type
(`threshold = 0.3`, `subnets = [1, "3-5"]`, `report_new_and_gone = false`, `chat_id =
-1001234567890`); per-subnet thresholds sit in a `[thresholds]` table. Every key's type is checked.
A value of another type, an unknown key, nested TOML (a table where a value belongs, arrays nested
too deeply), a NUL character in a value, and any value the checks below refuse exit 2 with one line
that names the file, the key and its line (not the variable). An unknown key that may be a secret
pasted as a key is not echoed.

Secrets stay out of the file: only `bot_token_file`, `taostats_api_key_file` and the destinations'
`_file` keys are allowed, and
the keys marked "not in the file" below are refused. [`contrib/ashvigil.toml`](../contrib/ashvigil.toml)
shows every setting with its default.

## Settings

"""

TAIL = """
## Checked before anything runs

Everything is checked before anything is sent: a missing secret, an empty secret file, both a
variable and its `_FILE` set, a threshold or interval that is not a finite number in range (`nan`,
`inf`, `-1`), a bot token not of the form `<digits>:<letters, digits, _ or ->` (a blank, a second
line read from its file), a malformed chat id or URL, or a state directory that cannot be created
(it is created with mode 0700) exits 2 with one line naming the variable (or the config file's key
and line). So does a state, database (or its `-journal`, `-wal` or `-shm` file), pause or metrics
path that is a FIFO, a device or a directory, and an env file or secret file that is not a regular
file of at most 64 KiB (`/dev/zero` is refused, not read). The value of a `_FILE` setting is never
echoed: the line names the setting instead.

## The module's own variables

The extension module reads these itself, afresh at every request, whatever host drives it. The
`ashvigil` command checks the API key first (above) and passes it to the module as an argument; it
hands `TAOSTATS_API_BASE` and `TAOSTATS_USER_AGENT` on, also from the config file.

"""

# The variables the extension module reads itself: (name, meaning, default).
MODULE_VARIABLES = (
    (
        "TAOSTATS_API_KEY",
        "taostats API key, sent as the `Authorization` header; white space around it is removed; unset or"
        " blank means no key, and a cycle then logs and ends with 1",
        "unset",
    ),
    ("TAOSTATS_API_BASE", "API origin; trailing `/` removed", "`https://api.taostats.io`"),
    ("TAOSTATS_USER_AGENT", "`User-Agent` of API requests, used exactly as set", "a desktop Chrome user agent"),
)

DESTINATIONS = """
## Destinations

A config file's `[destinations.NAME]` tables (NAME: letters, digits, `_` and `-`) replace the one
Telegram chat of `ASHVIGIL_CHAT_ID`; [the operator's guide](operators.md#destinations) shows all
five kinds. Every table has `kind`; these keys are checked like the settings above (an unknown or
missing key, or a wrong type, exits 2 naming the destination, the key and its line):

"""

# What each key of a destination table means.
KEY_MEANINGS = {
    "kind": "`telegram`, `discord`, `slack`, `webhook` or `email`",
    "subnets": "its watched subnets (default: `subnets`)",
    "exclude_subnets": "taken out of them (default: `exclude_subnets`)",
    "threshold": "its threshold (default: `threshold`)",
    "thresholds": "a table of its subnets' own thresholds (default: `[thresholds]`)",
    "direction": "`both`, `up` or `down` (default: `direction`)",
    "quiet_hours": "its quiet hours (default: `quiet_hours`)",
    "report_new_and_gone": "new and gone subnets too (default: `report_new_and_gone`)",
    "snapshot": "it receives the startup snapshot (default: true)",
    "failures": "it receives failure and recovery messages (default: true)",
    "digest": "it receives the daily digest (default: true)",
    "chat_id": "the chat: an integer id or @channelname (required)",
    "bot_token_file": "its own bot's token (default: the global bot token)",
    "webhook_url_file": "the webhook URL, a secret (required)",
    "url": "where the JSON is posted: https, or http to a loopback address or with `allow_http` (required)",
    "secret_file": "the key that signs each body (`X-Ashvigil-Signature`); unset: unsigned",
    "allow_http": "take an `http://` URL (default: false)",
    "host": "the SMTP server (required)",
    "port": "its port (default: 587 for `starttls`, 465 for `implicit`, 25 for `none`)",
    "tls": "`starttls` (default), `implicit`, or `none`",
    "allow_plaintext": 'allow `tls = "none"` (default: false)',
    "username": "the login, when the server needs one",
    "password_file": "the login's password",
    "from": "the sender address (required)",
    "to": "a list of recipient addresses (required)",
}

SECRETS_NOTE = """
A credential may also come from the environment instead of its `_file` key:
`ASHVIGIL_DESTINATION_<NAME>_<KEY>` (NAME in upper case, other characters as `_`; KEY such as
`WEBHOOK_URL`, `SECRET`, `PASSWORD` or `BOT_TOKEN`), its `_FILE` form, or the systemd credential
`<name>_<key>`.
"""

MODULE_TAIL = """
A variable that is set but empty counts as set. The bounds of every API request are in
[module.md](module.md#environment).
"""

PLAIN_DEFAULTS = ("required", "unset")


def _cell(text: str) -> str:
    return text.replace("|", "\\|")


def _default(text: str) -> str:
    return _cell(text) if " " in text or text in PLAIN_DEFAULTS else f"`{text}`"


def _key(name: str) -> str:
    return "not in the file" if name in config_file.NOT_IN_FILE else f"`{config_file.key_of(name)}`"


def render() -> str:
    names = [name for name, _, _ in config.VARIABLES]
    unknown = sorted(NOTES.keys() - set(names))
    if unknown:
        raise ValueError(f"notes for settings the table does not have: {', '.join(unknown)}")
    rows = ["| Variable | Config file key | Default | Meaning |", "|---|---|---|---|"]
    for name, default, meaning in config.VARIABLES:
        text = f"{meaning}; {NOTES[name]}" if name in NOTES else meaning
        rows.append(f"| `{name}` | {_key(name)} | {_default(default)} | {_cell(text)} |")
    keys = ["| Key | Kinds | Meaning |", "|---|---|---|"]
    everyone = ("kind", *destinations.FILTERS, *destinations.SWITCHES)
    for key in dict.fromkeys((*everyone, *(k for names in destinations.KEYS.values() for k in names))):
        kinds = "all" if key in everyone else ", ".join(k for k, names in destinations.KEYS.items() if key in names)
        keys.append(f"| `{key}` | {kinds} | {_cell(KEY_MEANINGS[key])} |")
    module = ["| Variable | Meaning | Default |", "|---|---|---|"]
    module += [f"| `{name}` | {meaning} | {default} |" for name, meaning, default in MODULE_VARIABLES]
    place_keys = DESTINATIONS + "\n".join(keys) + "\n" + SECRETS_NOTE
    return HEAD + "\n".join(rows) + "\n" + place_keys + TAIL + "\n".join(module) + "\n" + MODULE_TAIL


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="exit 1 when the file is stale; write nothing")
    args = parser.parse_args(argv)
    text = render()
    if args.check:
        try:
            with open(DOC, encoding="utf-8") as f:
                current = f.read()
        except FileNotFoundError:
            current = ""
        if current != text:
            print(f"{os.path.relpath(DOC, ROOT)} is stale: run python scripts/configuration_doc.py", file=sys.stderr)
            return 1
        return 0
    with open(DOC, "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
