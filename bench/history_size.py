#!/usr/bin/env python3
"""The size of a year of rate history in the command's database.

    python bench/history_size.py                 # after `pip install .` into this interpreter
    python bench/history_size.py --moves 50      # subnet moves per day across all subnets

Records a year of 5-minute polls over 129 subnets through the command's own recording (the
first poll records every subnet, later polls only the subnets whose burn text changed, a given
number of moves a day spread at random), with retention pruning as the running command does it,
then prints the database file's size after a VACUUM and before it.
"""

import argparse
import os
import random
import sqlite3
import tempfile

from ashvigil_monitor.store import Store

POLL = 300
YEAR = 365 * 86400


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--subnets", type=int, default=129)
    parser.add_argument("--moves", type=float, default=20.0, help="moves per day across all subnets")
    args = parser.parse_args()
    rng = random.Random(17)
    burns = {str(n): str(rng.choice([0.0, 0.18, 0.25, 0.5, 1.0])) for n in range(args.subnets)}
    chance = args.moves * POLL / 86400
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "ashvigil.db")
        store = Store(path)
        store.connection.execute("PRAGMA synchronous=OFF")  # the size is the same; the run is faster
        start = 1_800_000_000
        moves = 0
        for at in range(start, start + YEAR, POLL):
            for _ in range(int(chance) + (rng.random() < chance % 1)):
                burns[str(rng.randrange(args.subnets))] = str(round(rng.random(), 6))
                moves += 1
            store.record_poll(burns, at, 365)
        store.close()
        before = os.path.getsize(path)
        with sqlite3.connect(path) as db:
            db.execute("VACUUM")
        after = os.path.getsize(path)
    polls = YEAR // POLL
    print(f"{polls} polls of {args.subnets} subnets, {moves} moves ({args.moves:g} a day):")
    print(f"  database {before / 2**20:.1f} MiB as written, {after / 2**20:.1f} MiB after VACUUM")


if __name__ == "__main__":
    main()
