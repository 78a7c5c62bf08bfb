#!/usr/bin/env python3
"""ashvigil's main job against local stand-ins of taostats and the Telegram Bot API.

No credentials and no network: both services run on 127.0.0.1, and requests for the Bot API
origin are routed to the local one. Time runs a hundred times faster than real (the module's
`time.sleep` is scaled), so a one-minute poll interval takes under a second.
"""
import os
import sys
import tempfile
import time
import types

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import ashvigil  # noqa: E402
from stand_ins.taostats import TaostatsStandIn, make_subnet_rows  # noqa: E402
from stand_ins.telegram import TelegramStandIn, route_telegram  # noqa: E402

SPEED_UP = 100
SUBNETS = 300  # more than one Telegram message holds, so the snapshot goes out in numbered pieces


class LogEcho:
    """Shows the module's log lines (it writes them to sys.stderr) beside the narration."""

    def __init__(self, out):
        self.out = out
        self.lines = []

    def write(self, text):
        self.lines.append(text)
        self.out.write(f"    stderr | {text}")
        return len(text)

    def flush(self):
        pass


def show_messages(bot, seen, max_lines=9):
    for text in bot.messages()[seen:]:
        lines = text.split("\n")
        print("    chat   | " + "\n    chat   | ".join(lines[:max_lines]))
        if len(lines) > max_lines:
            print(f"    chat   | ... ({len(lines) - max_lines} more lines)")
        print("    chat   | ---")
    return len(bot.messages())


def main():
    workdir = tempfile.mkdtemp(prefix="ashvigil-demo-")
    state, pause = os.path.join(workdir, "state.json"), os.path.join(workdir, "pause")
    log = LogEcho(sys.stdout)
    with TaostatsStandIn(rows=make_subnet_rows(SUBNETS), api_key="demo-key") as api, \
            TelegramStandIn() as bot, route_telegram(bot):
        os.environ.update(TAOSTATS_API_BASE=api.base_url, TAOSTATS_API_KEY="demo-key")
        ashvigil.time = types.SimpleNamespace(sleep=lambda seconds: time.sleep(seconds / SPEED_UP))
        sys.stderr, real_stderr = log, sys.stderr
        try:
            delivery = dict(state_path=state, burn_token="123456:demo-token", burn_chat_id="-1001234567890")
            print(f"1. Startup snapshot of {SUBNETS} subnets (state file {state})")
            ashvigil.run_burn_startup_snapshot(**delivery)
            seen = show_messages(bot, 0)

            print("2. Three subnets change their owner burn rate; one watch cycle")
            rows = api.rows
            api.set_incentive_burns({n: new if rows[n]["incentive_burn"] != new else 0.3
                                     for n, new in ((4, 0.07), (17, 0.61), (250, 1.0))})
            ashvigil.run_ashvigil_once(threshold=0.0001, **delivery)
            seen = show_messages(bot, seen)

            print("3. Poll loop, one-minute interval: a rate moves during the first wait,"
                  " the operator creates the pause file during the second")

            def operator(step=[0]):
                step[0] += 1
                if step[0] == 30:
                    api.set_incentive_burn(42, 0.123456)
                if step[0] == 90:
                    open(pause, "w").close()

            scaled = ashvigil.time.sleep
            ashvigil.time = types.SimpleNamespace(sleep=lambda s: (scaled(s), operator()))
            ashvigil.run_burn_poll_loop(threshold=0.0001, interval_minutes=1, pause_path=pause, **delivery)
            show_messages(bot, seen)
        finally:
            sys.stderr = real_stderr
        print(f"Done: {len(bot.messages())} Telegram messages, {len(api.requests)} taostats requests, "
              f"{len(log.lines)} log lines.")
    expected = ["[burn] startup snapshot sent", "[burn] alert sent (3", "[burn] alert sent (1", "[burn] monitoring"]
    return 0 if [line[:len(e)] for line, e in zip(log.lines, expected)] == expected else 1


if __name__ == "__main__":
    sys.exit(main())
