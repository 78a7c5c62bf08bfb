#!/usr/bin/env python3
"""The size of the rate history in the command's database.

    python bench/history_size.py                 # after `pip install .` into this interpreter
    python bench/history_size.py --moves 50      # subnet moves per day across all subnets
    python bench/history_size.py --subnets 1024 --fraction 0.05 --days 90 --keep big.db

Records 5-minute polls (a year by default) over 129 subnets through the command's own recording
(the first poll records every subnet, later polls only the subnets whose burn text changed: a
given number of moves a day spread at random, or with --fraction that share of the subnets at
every poll), with retention pruning as the running command does it, then prints the database
file's size after a VACUUM and before it, and the bytes per recorded move. --keep writes the
database to PATH (for bench/history_reads.py) instead of a temporary folder.
"""

import argparse
import os
import random
import sqlite3
import tempfile
import time

from ashvigil_monitor.store import Store

POLL = 300
DAY = 86400


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--subnets", type=int, default=129)
    parser.add_argument("--moves", type=float, default=20.0, help="moves per day across all subnets")
    parser.add_argument("--fraction", type=float, help="share of the subnets that move at every poll")
    parser.add_argument("--days", type=int, default=365)
    parser.add_argument("--keep", metavar="PATH", help="write the database here, and keep it")
    args = parser.parse_args()
    if args.keep:
        if os.path.exists(args.keep):
            parser.error(f"--keep {args.keep}: exists")
        record(args, args.keep)
        return
    with tempfile.TemporaryDirectory() as directory:
        record(args, os.path.join(directory, "ashvigil.db"))


def record(args: argparse.Namespace, path: str) -> None:
    rng = random.Random(17)
    burns = {str(n): str(rng.choice([0.0, 0.18, 0.25, 0.5, 1.0])) for n in range(args.subnets)}
    per_poll = args.subnets * args.fraction if args.fraction is not None else args.moves * POLL / DAY
    store = Store(path)
    store.execute("PRAGMA synchronous=OFF")  # the size is the same; the run is faster
    start = (int(time.time()) - args.days * DAY) // POLL * POLL  # ending now, for the reads
    for at in range(start, start + args.days * DAY, POLL):
        for netuid in rng.sample(range(args.subnets), int(per_poll) + (rng.random() < per_poll % 1)):
            burns[str(netuid)] = str(round(rng.random(), 6))
        store.record_poll(burns, at, args.days)
    store.close()
    before = os.path.getsize(path)
    with sqlite3.connect(path) as db:
        db.execute("VACUUM")
        moves = db.execute("SELECT count(*) FROM moves").fetchone()[0]
        # the moves table and its indexes, page by page (SQLite's dbstat)
        held = db.execute(
            "SELECT sum(pgsize) FROM dbstat JOIN sqlite_master USING (name) WHERE tbl_name = 'moves'"
        ).fetchone()[0]
    after = os.path.getsize(path)
    shape = f"{args.fraction:.0%} of them at every poll" if args.fraction is not None else f"{args.moves:g} a day"
    print(f"{args.days * DAY // POLL} polls of {args.subnets} subnets, {moves} moves kept ({shape}):")
    print(f"  database {before / 2**20:.1f} MiB as written, {after / 2**20:.1f} MiB after VACUUM")
    print(f"  {held / moves:.1f} bytes per move, indexes included")


if __name__ == "__main__":
    main()
