#!/usr/bin/env python3
"""How long the history's reads take on a database of rate history.

    python bench/history_size.py --subnets 1024 --fraction 0.05 --days 90 --keep /tmp/h.db
    python bench/history_reads.py /tmp/h.db

Times, best of --repeat wall-clock runs: `ashvigil history --since 1d` and `ashvigil chart 12 64
--since 30d` as the operator runs them (a process each, start-up, output and drawing included), the
reads alone inside them (in this process), and the chat's `/changes` answer (in this process, from
its own database connection). The database is only read.
"""

import argparse
import os
import subprocess
import sys
import sysconfig
import tempfile
import time
import types

from ashvigil_monitor.charts import chart_data
from ashvigil_monitor.chatbot import ChatBot
from ashvigil_monitor.store import DAY, Store, gaps

COMMAND = os.path.join(sysconfig.get_path("scripts"), "ashvigil")


def best(run, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def command(*args):
    env = {**os.environ, "ASHVIGIL_DB_PATH": DB}
    subprocess.run([COMMAND, *args], env=env, check=True, stdout=subprocess.DEVNULL)


def changes(store):
    pieces = ChatBot._changes(types.SimpleNamespace(_store=store), [])
    return len(pieces)


def now():
    return int(time.time())


def main():
    global DB
    parser = argparse.ArgumentParser()
    parser.add_argument("database")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    DB = os.path.abspath(args.database)
    store = Store(DB, read_only=True)
    with tempfile.TemporaryDirectory() as directory:
        png = os.path.join(directory, "c.png")
        figures = {
            "history --since 1d": best(lambda: command("history", "--since", "1d"), args.repeat),
            "  its reads": best(lambda: (gaps(store.polls(now() - DAY), 300), store.moves(now() - DAY)), args.repeat),
            "chart 12 64 --since 30d": best(
                lambda: command("chart", "12", "64", "--since", "30d", "--output", png), args.repeat
            ),
            "  its reads ": best(lambda: chart_data(store, ["12", "64"], now() - 30 * DAY, now(), 300), args.repeat),
            f"/changes ({changes(store)} pieces)": best(lambda: changes(store), args.repeat),
        }
    store.close()
    for name, seconds in figures.items():
        print(f"{name:<28} {seconds:8.3f} s")
    return 0


DB = ""

if __name__ == "__main__":
    sys.exit(main())
