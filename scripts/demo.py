#!/usr/bin/env python3
"""The installed `ashvigil` command against local stand-ins of taostats, the Telegram Bot API and a
Discord webhook.

No credentials and no network: every service runs on 127.0.0.1; ASHVIGIL_TELEGRAM_API points the
command at the stand-in Bot API, TAOSTATS_API_BASE at the stand-in taostats, and the config file's
two destinations at the chat and the webhook. Every step is the command an operator types; its
output, the chat and the Discord channel are shown as they come. The poll of `run` comes after its
interval, so the demo takes a little over a minute.
"""

import contextlib
import importlib.util
import os
import signal
import sqlite3
import subprocess
import sys
import sysconfig
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from stand_ins.discord import DiscordStandIn
from stand_ins.server import Reply
from stand_ins.taostats import TaostatsStandIn, make_subnet_rows
from stand_ins.telegram import TelegramStandIn

COMMAND = os.path.join(sysconfig.get_path("scripts"), "ashvigil")
SUBNETS = 300  # more than one Telegram message holds: the snapshot goes out in numbered pieces


def show(done_or_text, prefix):
    for line in done_or_text.splitlines():
        print(f"    {prefix} | {line}")


class Chat:
    """What a destination's stand-in took, shown once each."""

    def __init__(self, service, prefix):
        self.service, self.prefix, self.seen = service, prefix, 0

    def show(self, max_lines=6):
        for text in self.service.messages()[self.seen :]:
            lines = text.split("\n")
            show(
                "\n".join(lines[:max_lines])
                + (f"\n... ({len(lines) - max_lines} more lines)" if len(lines) > max_lines else ""),
                self.prefix,
            )
            print(f"    {self.prefix} | ---")
        self.seen = len(self.service.messages())


DESTINATIONS = """\
[destinations.telegram]
kind = "telegram"
chat_id = "-1001234567890"

[destinations.discord]
kind = "discord"
webhook_url_file = "{url_file}"
snapshot = false
"""


def _pending(db_path):
    """Whether the command's outbox holds a piece that was tried (read-only; the command owns the
    database)."""
    try:
        with contextlib.closing(sqlite3.connect(f"file:{db_path}?mode=ro", uri=True)) as db:
            return db.execute("SELECT count(*) FROM outbox WHERE attempts > 0").fetchone()[0] > 0
    except sqlite3.Error:
        return False


def ashvigil(env, *args, step=None):
    print(f"$ ashvigil {' '.join(args)}" + (f"      # {step}" if step else ""))
    done = subprocess.run([COMMAND, *args], env=env, capture_output=True, text=True, timeout=120)
    show(done.stdout, "stdout")
    show(done.stderr, "stderr")
    print(f"    (exit status {done.returncode})")
    return done


def main():
    state_dir = tempfile.mkdtemp(prefix="ashvigil-demo-")
    ok = True
    with (
        TaostatsStandIn(rows=make_subnet_rows(SUBNETS), api_key="demo-key") as api,
        TelegramStandIn() as bot,
        DiscordStandIn() as discord,
    ):
        chat, channel = Chat(bot, "chat  "), Chat(discord, "discord")
        url_file = os.path.join(state_dir, "discord_webhook_url")
        with open(os.open(url_file, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:  # a secret: its owner's only
            f.write(discord.url + "\n")
        config = os.path.join(state_dir, "ashvigil.toml")
        with open(config, "w") as f:
            f.write(DESTINATIONS.format(url_file=url_file))
        env = dict(
            os.environ,
            TAOSTATS_API_BASE=api.origin,
            ASHVIGIL_TELEGRAM_API=bot.origin,
            TAOSTATS_API_KEY="demo-key",
            ASHVIGIL_BOT_TOKEN="123456:demo-token",
            ASHVIGIL_CONFIG=config,
            ASHVIGIL_STATE_PATH=os.path.join(state_dir, "state.json"),
            ASHVIGIL_METRICS_PATH=os.path.join(state_dir, "ashvigil.prom"),
            ASHVIGIL_INTERVAL_MINUTES="1",
        )
        print(f"Stand-ins: taostats {api.origin} ({SUBNETS} subnets), Bot API {bot.origin}, Discord {discord.origin}")
        print(f"State in {state_dir}; two destinations in ashvigil.toml:\n")
        show(DESTINATIONS.format(url_file=url_file), "file  ")
        ok &= ashvigil(env, "--version").returncode == 0
        ok &= ashvigil(env, "check", step="each destination reached, nothing sent").returncode == 0
        ok &= ashvigil(env, "test-message").returncode == 0
        chat.show()
        channel.show()

        print("$ ashvigil run      # startup snapshot, then a poll every minute (the shortest interval)")
        process = subprocess.Popen([COMMAND, "run"], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        while len(bot.messages()) < chat.seen + 2 and process.poll() is None:
            time.sleep(0.05)
        chat.show()
        print("    ... three rates move, and Discord goes down (502 to every request) before the first poll")
        api.set_incentive_burns({4: 0.07, 17: 0.61, 250: 1.0})
        discord.set_default(Reply(502))
        print("    ... the poll comes one minute after the start: the chat has the alert on time, and")
        print("        Discord's waits in the outbox")
        outbox = os.path.join(state_dir, "state.db")  # the database beside state.json
        while not _pending(outbox) and process.poll() is None:
            time.sleep(0.2)
        process.send_signal(signal.SIGTERM)
        _out, err = process.communicate(timeout=60)
        show(err, "stderr")
        print(f"    (exit status {process.returncode})")
        chat.show()
        ok &= process.returncode == 0
        ok &= ashvigil(env, "outbox", step="what waits for delivery").returncode == 0
        discord.set_default(None)
        ok &= ashvigil(env, "once", step="Discord is back: the alert arrives, marked Delayed").returncode == 0
        channel.show()

        ok &= (
            ashvigil(env, "history", "4", "17", "250", step="the moves of three subnets, oldest first").returncode == 0
        )
        chart = os.path.join(state_dir, "burn-rates.png")
        if importlib.util.find_spec("matplotlib"):
            step = "a PNG step chart: open the file to look at it"
            ok &= (
                ashvigil(env, "chart", "4", "17", "250", "--since", "2m", "--output", chart, step=step).returncode == 0
            )
        else:
            print(f"$ ashvigil chart 4 17 250 --since 2m --output {chart}      # skipped: needs ashvigil[charts]")

        open(os.path.join(state_dir, "pause"), "w").close()
        ok &= ashvigil(env, "run", "--no-snapshot", step="the pause file exists").returncode == 0
        print("$ cat ashvigil.prom    # for a node exporter's textfile collector")
        kept = ('{netuid="4"}', '{netuid="17"}', '{netuid="250"}')  # of the gauge of every subnet
        lines = [
            line
            for line in open(env["ASHVIGIL_METRICS_PATH"])
            if not line.startswith("#")
            and (not line.startswith("ashvigil_owner_burn_rate{") or line.startswith(kept, 24))
        ]
        show("".join(lines), "file  ")
        print(
            f"\nDone: {len(bot.messages())} Telegram messages, {len(discord.messages())} Discord messages,"
            f" {len(api.requests)} taostats requests."
        )
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
