#!/usr/bin/env python3
"""ashvigil beside its plain-Python twin (bench/twin.py), in one run, interleaved.

    python bench/run.py                 # after `pip install .` into this interpreter
    python bench/run.py --repeat 15     # more rounds: steadier figures on a busy machine
    python bench/run.py --soak 10000    # also: allocated blocks and RSS over that many cycles

Every figure is process CPU time, the best of `--repeat` rounds; in each round the module and
the twin run one after the other, in alternating order, so a busy machine slows both alike.
The first table is the ratio twin time / module time per function (above 1: the module is
faster). The second is the CPU of one watch cycle against a local stand-in taostats service (run
in a child process, so its own work is not counted), next to the host floor: the urlopen, read
and json.loads of the same listing plus one plain write of the state file.
"""

import argparse
import json
import os
import random
import resource
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

import twin  # noqa: E402

import ashvigil  # noqa: E402
from stand_ins.taostats import LISTING_PATH, make_subnet_rows  # noqa: E402

STAMP = "2025-01-02T03:04:05Z"
SUBNETS = 1024
CYCLE_SIZES = (129, 1024)

# Targets of the issue: (3.10, newest) ratio per function.
TEXT_TARGET = (3.0, 2.0)
TARGETS = {
    "save_burn_state": (1.2, 1.2),
    "request_headers": (1.0, 1.0),
    "api_base": (1.0, 1.0),
    "taostats_auth": (1.0, 1.0),
}
CYCLE_TARGET = 1.25


def cpu():
    return time.process_time()


def best_of(run, repeat):
    best = float("inf")
    for _ in range(repeat):
        best = min(best, run())
    return best


class Case:
    """One function measured on both implementations: `stmt` calls `f` over the inputs in `env`."""

    def __init__(self, name, stmt, env, number):
        self.name, self.number = name, number
        self.code = compile(f"def _timed(f, _n):\n    for _ in range(_n):\n        {stmt}\n", name, "exec")
        self.env = env
        self.best = {}

    def timer(self, impl):
        scope = dict(self.env)
        exec(self.code, scope)
        timed, fn = scope["_timed"], getattr(impl, self.name)

        def run():
            start = cpu()
            timed(fn, self.number)
            return cpu() - start

        return run

    def measure(self, impl, label):
        elapsed = self.timer(impl)()
        self.best[label] = min(self.best.get(label, float("inf")), elapsed)


def inputs(folder):
    rng = random.Random(7)
    rows = make_subnet_rows(SUBNETS, seed=7)
    prev = {str(r["netuid"]): ashvigil.owner_burn_from_row(r) for r in rows}
    # About one subnet in ten moves between polls.
    current = {k: (str(round(rng.random(), 6)) if rng.random() < 0.1 else v) for k, v in prev.items()}
    pairs = [(prev[k], current[k]) for k in current]
    changes = ashvigil.diff_burns(prev, current, 0.0001)
    state = os.path.join(folder, "state.json")
    ashvigil.save_burn_state(state, prev, STAMP)
    snapshot = ashvigil.format_burn_snapshot(rows, STAMP)
    payloads = [
        {"data": rows[:2], "pagination": {"page": 1}},
        {"message": "API Rate Limited"},
        {"status_code": 429, "message": "Too Many Requests", "http_status": 429},
    ]
    return dict(
        rows=rows,
        prev=prev,
        current=current,
        pairs=pairs,
        changes=changes,
        state=state,
        save_path=os.path.join(folder, "saved.json"),
        snapshot=snapshot,
        payloads=payloads,
        burns=list(current.values()),
    )


def cases(env):
    n = len(env["changes"])
    return [
        Case("owner_burn_from_row", "for r in rows: f(r)", env, 20),
        Case("format_owner_burn", "for b in burns: f(b)", env, 20),
        Case("owner_burn_changed", "for a, b in pairs: f(a, b, 0.0001)", env, 20),
        Case("diff_burns", "f(prev, current, 0.0001)", env, 20),
        Case("load_burn_state", "f(state)", env, 20),
        Case("save_burn_state", "f(save_path, current, '2025-01-02T03:04:05Z')", env, 5),
        Case("format_burn_alert", "f(changes, '2025-01-02T03:04:05Z')", env, 50),
        Case("format_burn_snapshot", "f(rows, '2025-01-02T03:04:05Z')", env, 10),
        Case("is_rate_limited", "for p in payloads: f(p)", env, 5000),
        Case("_chunk_text", "f(snapshot)", env, 50),
        Case("request_headers", "f('key')", env, 5000),
        Case("api_base", "f()", env, 5000),
        Case("taostats_auth", "f()", env, 5000),
    ], n


def agree(env):
    """Both sides must give the same results before their times mean anything."""
    for m in (ashvigil, twin):
        m.save_burn_state(env["save_path"], env["current"], STAMP)
        with open(env["save_path"], "rb") as f:
            written = f.read()
        if m is ashvigil:
            saved = written
    assert saved == written
    same = [
        ([m.owner_burn_from_row(r) for r in env["rows"]] for m in (ashvigil, twin)),
        ([m.format_owner_burn(b) for b in env["burns"]] for m in (ashvigil, twin)),
        ([m.owner_burn_changed(a, b, 0.0001) for a, b in env["pairs"]] for m in (ashvigil, twin)),
        (m.diff_burns(env["prev"], env["current"], 0.0001) for m in (ashvigil, twin)),
        (m.load_burn_state(env["state"]) for m in (ashvigil, twin)),
        (m.format_burn_alert(env["changes"], STAMP) for m in (ashvigil, twin)),
        (m.format_burn_snapshot(env["rows"], STAMP) for m in (ashvigil, twin)),
        ([m.is_rate_limited(p) for p in env["payloads"]] for m in (ashvigil, twin)),
        (m._chunk_text(env["snapshot"]) for m in (ashvigil, twin)),
        (m.request_headers("key") for m in (ashvigil, twin)),
        (m.api_base() for m in (ashvigil, twin)),
        (m.taostats_auth() for m in (ashvigil, twin)),
    ]
    for results in same:
        a, b = results
        assert a == b, (a, b)


def target_of(name, newest):
    return TARGETS.get(name, TEXT_TARGET)[1 if newest else 0]


# --- the watch cycle -------------------------------------------------------------------------------

SERVE = """
import sys, time
sys.path.insert(0, sys.argv[2])
from stand_ins.taostats import TaostatsStandIn, make_subnet_rows
with TaostatsStandIn(make_subnet_rows(int(sys.argv[1]), seed=7)) as api:
    print(api.origin, flush=True)
    sys.stdin.read()
"""


class StandIn:
    """The stand-in taostats service in a child process, so its CPU is not the bench's."""

    def __init__(self, count):
        self.proc = subprocess.Popen(
            [sys.executable, "-c", SERVE, str(count), os.path.dirname(HERE)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        self.origin = self.proc.stdout.readline().strip()

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)


def fetch_listing(base_url, headers):
    """What any cycle must do first: fetch and parse the listing."""
    url = base_url + LISTING_PATH + "?limit=1024&order=netuid_asc"
    with urllib.request.urlopen(urllib.request.Request(url, headers=headers), timeout=60) as resp:
        json.loads(resp.read().decode("utf-8"))


def floor_cycle(base_url, state_text, path, headers):
    """The least a cycle does: the listing, and one plain write of the state."""
    fetch_listing(base_url, headers)
    with open(path, "w", encoding="utf-8") as f:
        f.write(state_text)


def durable_floor_cycle(base_url, state_text, path, headers):
    """The floor with the state written as the module writes it: a temporary file, flushed,
    renamed over the old one, and the directory flushed, so a crash never leaves half a file."""
    fetch_listing(base_url, headers)
    temp = path + ".tmp"
    with open(temp, "w", encoding="utf-8") as f:
        f.write(state_text)
        f.flush()
        os.fsync(f.fileno())
    os.rename(temp, path)
    folder = os.open(os.path.dirname(path), os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(folder)
    finally:
        os.close(folder)


def measure_cycles(count, folder, repeat):
    stand_in = StandIn(count)
    try:
        os.environ["TAOSTATS_API_BASE"] = stand_in.origin
        paths = {label: os.path.join(folder, f"cycle-{label}-{count}.json") for label in ("module", "python")}
        kwargs = dict(threshold=0.0001, burn_token="", burn_chat_id="")
        runs = {
            "module": lambda: ashvigil.run_ashvigil_once(state_path=paths["module"], **kwargs),
            "python": lambda: twin.run_ashvigil_once(state_path=paths["python"], **kwargs),
        }
        for run in runs.values():  # the first cycle stores the map; later ones compare with it
            assert run() == 0
        state_text = open(paths["module"], encoding="utf-8").read()
        floor_path = os.path.join(folder, f"floor-{count}.json")
        headers = twin.request_headers(twin.taostats_auth())
        runs["floor"] = lambda: floor_cycle(stand_in.origin, state_text, floor_path, headers)
        runs["durable"] = lambda: durable_floor_cycle(stand_in.origin, state_text, floor_path, headers)
        best = {label: float("inf") for label in runs}
        for i in range(repeat):
            order = list(runs) if i % 2 == 0 else list(reversed(runs))
            for label in order:
                start = cpu()
                runs[label]()
                best[label] = min(best[label], cpu() - start)
        return best
    finally:
        stand_in.close()


def soak(cycles, folder):
    stand_in = StandIn(129)
    try:
        os.environ["TAOSTATS_API_BASE"] = stand_in.origin
        path = os.path.join(folder, "soak.json")
        kwargs = dict(state_path=path, threshold=0.0001, burn_token="", burn_chat_id="")
        marks = []
        for i in range(cycles):
            ashvigil.run_ashvigil_once(**kwargs)
            if i in (cycles // 10, cycles - 1):
                marks.append((sys.getallocatedblocks(), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss))
        (b0, r0), (b1, r1) = marks
        print(f"\nsoak: {cycles} cycles at 129 subnets: allocated blocks {b0} -> {b1}, max RSS {r0} -> {r1} KiB")
    finally:
        stand_in.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--soak", type=int, default=0)
    args = parser.parse_args()
    newest = sys.version_info >= (3, 11)
    os.environ["TAOSTATS_API_KEY"] = "bench-key"
    os.environ.pop("TAOSTATS_USER_AGENT", None)
    folder = tempfile.mkdtemp(prefix="ashvigil-bench-")
    env = inputs(folder)
    os.environ["TAOSTATS_API_BASE"] = "http://127.0.0.1:1/"
    all_cases, n_changes = cases(env)
    agree(env)
    for i in range(args.repeat):
        for c in all_cases:
            pair = [("module", ashvigil), ("python", twin)]
            for label, impl in pair if i % 2 == 0 else pair[::-1]:
                c.measure(impl, label)

    print(
        f"CPython {sys.version.split()[0]}; {SUBNETS} subnets, {n_changes} changes; best of {args.repeat} "
        f"rounds, process CPU time"
    )
    print(f"{'function':<22} {'python us':>11} {'module us':>11} {'ratio':>7} {'target':>7}")
    for c in all_cases:
        py, mod = c.best["python"] / c.number, c.best["module"] / c.number
        target = target_of(c.name, newest)
        flag = "" if py / mod >= target else "  below"
        print(f"{c.name:<22} {py * 1e6:11.1f} {mod * 1e6:11.1f} {py / mod:7.2f} {target:7.2f}{flag}")

    print(
        f"\n{'cycle (CPU)':<22} {'floor ms':>11} {'module ms':>11} {'x floor':>7} {'python ms':>11} {'x floor':>7}"
        f" {'durable ms':>11} {'x durable':>9}"
    )
    for count in CYCLE_SIZES:
        best = measure_cycles(count, folder, args.repeat * 3)
        fl = best["floor"]
        flag = "" if best["module"] / fl <= CYCLE_TARGET else "  above 1.25"
        print(
            f"{f'{count} subnets':<22} {fl * 1e3:11.2f} {best['module'] * 1e3:11.2f} {best['module'] / fl:7.2f} "
            f"{best['python'] * 1e3:11.2f} {best['python'] / fl:7.2f} {best['durable'] * 1e3:11.2f} "
            f"{best['module'] / best['durable']:9.2f}{flag}"
        )
    if args.soak:
        soak(args.soak, folder)


if __name__ == "__main__":
    main()
