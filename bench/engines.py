#!/usr/bin/env python3
"""The command's watch cycle on PostgreSQL beside SQLite, on the same machine.

    python bench/engines.py                     # after `pip install '.[postgres]'`; as root or postgres
    python bench/engines.py --subnets 1024 --fraction 0.1 --repeat 7

A PostgreSQL server of Debian's package is started on loopback for the run (stand_ins/postgres.py).
Each cycle is bench/command.py's (the same stand-ins, the pause between pieces not slept), the two
engines interleaved. Wall time is what counts: the server's work is not in this process's CPU
time, which is shown beside it. The last line is the ratio of PostgreSQL to SQLite.
"""

import argparse
import math
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

from command import API_KEY, StandIns, command_cycle, quiet  # noqa: E402

from stand_ins.postgres import PostgresServer  # noqa: E402
from stand_ins.telegram import route_telegram  # noqa: E402

TARGET = 2.0


def measure(count, fraction, repeat, batch):
    stand_ins = StandIns(count, fraction)
    os.environ.update(TAOSTATS_API_BASE=stand_ins.api, TAOSTATS_API_KEY=API_KEY)
    try:
        with PostgresServer() as server, tempfile.TemporaryDirectory() as folder:
            shared = {
                "ASHVIGIL_DB_URL": server.create_database("bench"),
                "ASHVIGIL_DB_PASSWORD_FILE": str(server.password_file(folder)),
            }
            with route_telegram(stand_ins.bot), quiet():
                runs = {
                    "sqlite": command_cycle(folder, stand_ins, name="sqlite"),
                    "postgres": command_cycle(folder, stand_ins, shared, name="postgres"),
                }
                rounds = dict.fromkeys(runs, 0)
                best = {label: (math.inf, math.inf) for label in runs}

                def one(label):
                    rounds[label] += 1
                    stand_ins.set_round(rounds[label])
                    wall, cpu = time.perf_counter(), time.process_time()
                    runs[label]()
                    return time.perf_counter() - wall, time.process_time() - cpu

                for label in runs:  # the first cycle stores the map
                    one(label)
                for k in range(repeat):
                    for label in list(runs) if k % 2 == 0 else list(reversed(runs)):
                        spent = [one(label) for _ in range(batch)]
                        wall = sum(w for w, _ in spent) / batch
                        cpu = sum(c for _, c in spent) / batch
                        best[label] = min(best[label], (wall, cpu))
                return best
    finally:
        stand_ins.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--subnets", type=int, default=1024)
    parser.add_argument("--fraction", type=float, nargs="+", default=[0.0, 0.1, 1.0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--batch", type=int, default=2)
    args = parser.parse_args()
    print("| subnets, moving | SQLite wall (CPU) | PostgreSQL wall (CPU) | PostgreSQL / SQLite |")
    print("|---|---|---|---|")
    worst = 0.0
    for fraction in args.fraction:
        best = measure(args.subnets, fraction, args.repeat, args.batch)
        (sw, sc), (pw, pc) = best["sqlite"], best["postgres"]
        worst = max(worst, pw / sw)
        print(
            f"| {args.subnets}, {fraction:.0%} | {sw * 1000:.1f} ms ({sc * 1000:.1f}) |"
            f" {pw * 1000:.1f} ms ({pc * 1000:.1f}) | {pw / sw:.2f}× |"  # noqa: RUF001 - the times sign
        )
    print(f"postgres/sqlite worst {worst:.2f}× (target {TARGET:g}×)")  # noqa: RUF001 - the times sign


if __name__ == "__main__":
    main()
