#!/usr/bin/env python3
"""Throughput of ashvigil's own work on a full page of subnets (1024 rows), beside the plain
Python equivalent of the same step. Network time is not measured here.

    python bench/bench_core.py            # after `pip install .`
"""
import json
import os
import random
import sys
import tempfile
import timeit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import ashvigil  # noqa: E402
from stand_ins.taostats import make_subnet_rows  # noqa: E402

STAMP = "2025-01-02T03:04:05Z"


def python_diff(prev, current, threshold):
    out = []
    for k, new in sorted(current.items(), key=lambda kv: int(kv[0])):
        old = prev.get(k)
        if old is None:
            continue
        try:
            changed = abs(float(old) - float(new)) > threshold
        except ValueError:
            changed = old != new
        if changed:
            out.append((k, old, new))
    return out


def python_save(path, burns):
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"updated_at_utc": STAMP, "owner_burn_rate": burns}, f, indent=2, sort_keys=True)
        f.write("\n")


def measure(label, fn, number):
    best = min(timeit.repeat(fn, number=number, repeat=5)) / number
    print(f"{label:<44} {best * 1e6:10.1f} us")
    return best


def main():
    rng = random.Random(7)
    rows = make_subnet_rows(1024, seed=7)
    prev = {str(r["netuid"]): ashvigil.owner_burn_from_row(r) for r in rows}
    current = {k: (str(rng.random()) if rng.random() < 0.5 else v) for k, v in prev.items()}
    folder = tempfile.mkdtemp()
    path = os.path.join(folder, "state.json")
    print(f"{'step (1024 subnets)':<44} {'best':>13}")
    measure("diff_burns", lambda: ashvigil.diff_burns(prev, current, 0.0001), 50)
    measure("  plain Python equivalent", lambda: python_diff(prev, current, 0.0001), 50)
    measure("save_burn_state (incl. fsync)", lambda: ashvigil.save_burn_state(path, current, STAMP), 20)
    measure("  plain Python json.dump rewrite (no fsync)", lambda: python_save(path, current), 20)
    measure("load_burn_state", lambda: ashvigil.load_burn_state(path), 50)
    changes = ashvigil.diff_burns(prev, current, 0.0001)
    measure(f"format_burn_alert ({len(changes)} changes)", lambda: ashvigil.format_burn_alert(changes, STAMP), 50)
    snapshot = ashvigil.format_burn_snapshot(rows, STAMP)
    measure("format_burn_snapshot", lambda: ashvigil.format_burn_snapshot(rows, STAMP), 50)
    measure(f"_chunk_text ({len(snapshot)} chars)", lambda: ashvigil._chunk_text(snapshot), 200)


if __name__ == "__main__":
    main()
