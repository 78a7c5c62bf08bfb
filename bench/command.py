#!/usr/bin/env python3
"""The command's watch cycle beside the module's own cycle, a plain monitor and the fetch floor.

    python bench/command.py                      # after `pip install .` into this interpreter
    python bench/command.py --repeat 7 --batch 3
    python bench/command.py --profile 10000      # where the command's cycle spends its time

CPU per cycle (process time), the minimum over --repeat batches of --batch cycles each (seven
times as many at 129 subnets), the four interleaved (the order alternates from batch to batch),
at 129, 1024 and 10 000 subnets with 0, 10 and 100 % of them moving at every cycle:

- command: `cycle.Watch` built as the runner builds it, against the stand-ins (taostats and the
  Bot API in a child process, so their work is not counted); the pause between pieces is not
  slept. What follows every cycle (the poll recorded in the history, which the plain monitor
  does not keep) runs too, and is shown apart ("history ms").
- module: `ashvigil.run_ashvigil_once` against the same stand-ins, its pauses not slept.
- plain: bench/plain.py, the same durability written with the standard library alone.
- fetch: the listing's urlopen, read and json.loads, the least any cycle does.

Each implementation sees exactly the given share of the subnets move since its own last cycle.
The last line is the worst ratio of the command to the plain monitor.
"""

import argparse
import contextlib
import cProfile
import io
import json
import math
import os
import pstats
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

import plain  # noqa: E402

import ashvigil  # noqa: E402
from ashvigil_monitor import config as configuration  # noqa: E402
from ashvigil_monitor import senders  # noqa: E402
from ashvigil_monitor.budget import NotingBot, SendBudget  # noqa: E402
from ashvigil_monitor.cycle import Watch  # noqa: E402
from ashvigil_monitor.followups import Followups  # noqa: E402
from ashvigil_monitor.outbox import Outbox  # noqa: E402
from stand_ins.telegram import route_telegram  # noqa: E402

SIZES = (129, 1024, 10_000)
FRACTIONS = (0.0, 0.1, 1.0)
TOKEN, API_KEY, CHAT = "123456:bench-token", "bench-key", "-1001234567890"
TARGET = 1.2

SERVE = """
import sys
sys.path.insert(0, sys.argv[3])
from stand_ins.server import Reply
from stand_ins.taostats import LISTING_PATH, TaostatsStandIn, make_subnet_rows
from stand_ins.telegram import TelegramStandIn

class Moving(TaostatsStandIn):
    # Every row in one page, whatever the limit; the first `moving` rows take one of two rates
    # by the parity of the round the bench sets before each cycle.
    def __init__(self, count, fraction):
        super().__init__(make_subnet_rows(count, seed=7), record=False)
        self.moving, self.round = int(count * fraction), 0

    def _own_reply(self, request):
        if request.path == "/round":
            self.round = int(request.query)
            return Reply.json({})
        if request.path != LISTING_PATH:
            return super()._own_reply(request)
        rows = self.rows
        for row in rows[: self.moving]:
            row["incentive_burn"] = round(row["incentive_burn"] * 0.5 + 0.01 * (self.round % 2), 6)
        return Reply.json({"pagination": {"total_items": len(rows), "next_page": None}, "data": rows})

with Moving(int(sys.argv[1]), float(sys.argv[2])) as api, TelegramStandIn(record=False) as bot:
    print(api.origin, bot.origin, flush=True)
    sys.stdin.read()
"""


class StandIns:
    def __init__(self, count, fraction):
        self.proc = subprocess.Popen(
            [sys.executable, "-c", SERVE, str(count), str(fraction), os.path.dirname(HERE)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        self.api, self.bot = self.proc.stdout.readline().split()

    def set_round(self, number):
        urllib.request.urlopen(f"{self.api}/round?{number}", timeout=10).read()

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)


class NoSleep:
    """The module's `time` with its pauses not slept (CPU time is what is measured)."""

    def __getattr__(self, name):
        return getattr(time, name)

    @staticmethod
    def sleep(seconds):
        pass


def command_cycle(folder, stand_ins, more=None, name="command"):
    """The command's cycle, its objects built as the runner builds them; `more` settings (another
    database) in a folder `name` of its own."""
    env = {
        "TAOSTATS_API_KEY": API_KEY,
        "ASHVIGIL_BOT_TOKEN": TOKEN,
        "ASHVIGIL_CHAT_ID": CHAT,
        "ASHVIGIL_TELEGRAM_API": stand_ins.bot,
        "ASHVIGIL_STATE_PATH": os.path.join(folder, name, "state.json"),
        **(more or {}),
    }
    os.makedirs(os.path.join(folder, name))
    config = configuration.load(env, lambda secret: None)
    store = config.database.open()
    store.lead()
    store.claim([config.chat_id], config.state_path)

    def no_pause(seconds):
        pass

    bot = NotingBot(SendBudget(config.chat_id), config.bot_token, config.telegram_api, no_pause, lambda: math.inf)
    chosen = {
        d.name: senders.build(d, config.telegram_api, no_pause, lambda: math.inf, bot) for d in config.destinations
    }
    outbox = Outbox(config, store, chosen, no_pause)
    watch = Watch(config, store, outbox)
    followups = Followups(config, store, bot, outbox)

    def cycle():
        watch.cycle()
        start = time.process_time()
        followups.after(watch.outcome)  # the history: counted apart, the plain monitor keeps none
        return time.process_time() - start

    return cycle


def module_cycle(folder):
    path = os.path.join(folder, "module.json")
    return lambda: ashvigil.run_ashvigil_once(state_path=path, threshold=0.0001, burn_token=TOKEN, burn_chat_id=CHAT)


def plain_cycle(folder, stand_ins):
    os.makedirs(os.path.join(folder, "plain"))
    monitor = plain.PlainMonitor(
        os.path.join(folder, "plain", "plain.db"),
        os.path.join(folder, "plain", "state.json"),
        stand_ins.api,
        API_KEY,
        stand_ins.bot,
        TOKEN,
        CHAT,
    )
    return lambda: monitor.cycle(time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()))


def fetch_cycle(stand_ins):
    url = stand_ins.api + "/api/subnet/latest/v1?limit=1024&order=netuid_asc"
    headers = {"Authorization": API_KEY, "Accept": "application/json"}

    def fetch():
        with urllib.request.urlopen(urllib.request.Request(url, headers=headers), timeout=120) as reply:
            json.loads(reply.read())

    return fetch


@contextlib.contextmanager
def quiet():
    """The log lines of every cycle go nowhere; the module's pauses are not slept."""
    saved_stderr, saved_time = sys.stderr, ashvigil.time
    sys.stderr, ashvigil.time = io.StringIO(), NoSleep()
    try:
        yield
    finally:
        sys.stderr, ashvigil.time = saved_stderr, saved_time


def measure(count, fraction, repeat, batch):
    stand_ins = StandIns(count, fraction)
    os.environ.update(TAOSTATS_API_BASE=stand_ins.api, TAOSTATS_API_KEY=API_KEY)
    try:
        with tempfile.TemporaryDirectory() as folder, route_telegram(stand_ins.bot), quiet():
            runs = {
                "command": command_cycle(folder, stand_ins),
                "module": module_cycle(folder),
                "plain": plain_cycle(folder, stand_ins),
                "fetch": fetch_cycle(stand_ins),
            }
            rounds = dict.fromkeys(runs, 0)
            best = dict.fromkeys([*runs, "history"], math.inf)

            def one(label):
                """CPU of one cycle, and of what followed it (the command's history)."""
                rounds[label] += 1
                stand_ins.set_round(rounds[label])
                start = time.process_time()
                after = runs[label]() or 0.0
                return time.process_time() - start - after, after

            for label in runs:  # the first cycle stores the map; later ones compare with it
                one(label)
            # A small listing's cycle takes milliseconds, where one burst of the shared machine
            # decides a batch: it gets proportionally more batches (129 subnets: seven times).
            for k in range(repeat * max(1, SIZES[-1] // (10 * count))):
                for label in list(runs) if k % 2 == 0 else list(reversed(runs)):
                    spent = [one(label) for _ in range(batch)]
                    best[label] = min(best[label], sum(cycle for cycle, _ in spent) / batch)
                    if label == "command":
                        best["history"] = min(best["history"], sum(after for _, after in spent) / batch)
            return best
    finally:
        stand_ins.close()


def profile(count, fraction, cycles):
    """The command's cycles under cProfile: the functions that take the most time."""
    stand_ins = StandIns(count, fraction)
    os.environ.update(TAOSTATS_API_BASE=stand_ins.api, TAOSTATS_API_KEY=API_KEY)
    try:
        with tempfile.TemporaryDirectory() as folder, quiet():
            cycle = command_cycle(folder, stand_ins)
            stand_ins.set_round(1)
            cycle()
            profiler = cProfile.Profile(time.process_time)  # CPU, as the table measures
            for k in range(cycles):
                stand_ins.set_round(k + 2)
                profiler.runcall(cycle)
    finally:
        stand_ins.close()
    stats = pstats.Stats(profiler)
    total = stats.total_tt
    print(f"{cycles} command cycles at {count} subnets, {fraction:.0%} moving: {total / cycles * 1000:.1f} ms each")
    entries = {f"{path.rsplit('/', 1)[-1]}:{line}({name})": row for (path, line, name), row in stats.stats.items()}
    for name, row in sorted(entries.items(), key=lambda item: -item[1][3])[:25]:
        print(f"  {row[3] / total:6.1%}  {name}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5, help="batches of each implementation")
    parser.add_argument("--batch", type=int, default=2, help="cycles in a batch")
    parser.add_argument("--profile", type=int, metavar="SUBNETS", help="profile the command's cycle instead")
    parser.add_argument("--fraction", type=float, default=0.0, help="with --profile: the share that moves")
    args = parser.parse_args()
    if args.profile:
        profile(args.profile, args.fraction, 20)
        return 0
    print("subnets  moving  command ms  module ms  plain ms  fetch ms  command/plain  history ms")
    worst = 0.0
    for count in SIZES:
        for fraction in FRACTIONS:
            best = measure(count, fraction, args.repeat, args.batch)
            ratio = best["command"] / best["plain"]
            worst = max(worst, ratio)
            ms = [f"{best[label] * 1000:.2f}" for label in ("command", "module", "plain", "fetch", "history")]
            figures = f"{ms[0]:>10}  {ms[1]:>9}  {ms[2]:>8}  {ms[3]:>8}  {ratio:13.2f}  {ms[4]:>10}"
            print(f"{count:7d}  {fraction:6.0%}  {figures}")
    print(f"command/plain worst {worst:.2f}×")  # noqa: RUF001 - the times sign, as the figures are written
    return 0


if __name__ == "__main__":
    sys.exit(main())
