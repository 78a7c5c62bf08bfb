"""The history's storage: what is recorded reads back as it was, older databases are converted
move for move, and the reads of a window follow the time index."""

import contextlib
import json
import sqlite3

import pytest
from hypothesis import given
from hypothesis import strategies as st

from ashvigil_monitor.charts import chart_data
from ashvigil_monitor.store import CODED_HISTORY, MIGRATIONS, Move, Store, script_for
from ashvigil_monitor.times import stamp

T = 1_800_000_000
OLDER = "holds the history as an older ashvigil wrote it: `ashvigil once` converts it"
IDS = ["0", "1", "7", "12", "300", "03", "x", "007"]
BURNS = ["0", "0.5", "0.25", "-0", "-0.0", "1", "10.05", "1e-05", "n/a", "0.1234567890", "0.123456789", "00.5", " 1"]


def lagged(rows, since, netuids):
    """The moves as the history has always shown them: each row with the one recorded before it
    for its subnet, in (time, recording) order."""
    last, found = {}, []
    for k, (at, netuid, burn) in enumerate(rows):
        if at >= since and (not netuids or netuid in netuids):
            found.append((at, k, Move(at, netuid, last.get(netuid), burn, netuid not in last)))
        last[netuid] = burn
    return [move for _, _, move in sorted(found, key=lambda f: f[:2])]


polls = st.lists(
    st.tuples(st.sampled_from([0, 0, 300]), st.dictionaries(st.sampled_from(IDS), st.sampled_from(BURNS))),
    min_size=1,
    max_size=8,
)


@given(polls, st.integers(0, 8), st.sets(st.sampled_from(IDS), max_size=3))
def test_moves_read_back_as_recorded_with_the_move_before_the_window(polls, since_poll, netuids):
    store, at, rows, last = Store(":memory:"), T, [], {}
    for step, burns in polls:  # a step of 0: two polls in one second
        at += step
        moved = [(n, b) for n, b in burns.items() if last.get(n, 0) != b]
        moved += [(n, None) for n, b in sorted(last.items()) if b is not None and n not in burns]  # in id text order
        rows += [(at, n, b) for n, b in moved]
        last.update(moved)
        store.record_poll(burns, at, 365)
    since = T + 300 * since_poll
    assert store.moves(since, netuids) == lagged(rows, since, netuids)
    assert store.burns_before(since, IDS) == {n: b for at_, n, b in rows if at_ < since}
    store.close()


OLD_HISTORIES = {
    "every kind of text": [
        ("1", T, "0.5"),
        ("2", T, "-0"),
        ("3", T, "-0.0"),
        ("x", T, "n/a"),
        ("007", T, "1e-05"),
        ("12", T, "0.1234567890"),
        ("1", T + 300, "00.5"),
        ("2", T + 300, None),
        ("3", T + 300, "12345678901234567.5"),
        ("12", T + 300, " 1"),
    ],
    "a poll out of order, and two polls in one second": [
        ("9", T, "0.1"),
        ("10", T, "0.2"),
        ("b", T, "0.3"),
        ("a", T, "0.4"),
        ("2", T, None),
        ("9", T, "0.5"),
        ("10", T + 300, "0.6"),
        ("9", T + 300, "0.7"),
    ],
}


@pytest.mark.parametrize("rows", OLD_HISTORIES.values(), ids=OLD_HISTORIES.keys())
def test_an_older_history_is_converted_move_for_move(services, rows):
    services.db.parent.mkdir(parents=True, exist_ok=True)
    with contextlib.closing(sqlite3.connect(services.db)) as db:
        for script in MIGRATIONS[: CODED_HISTORY - 1]:
            db.executescript(script_for(script, "sqlite"))
        db.execute(f"PRAGMA user_version = {CODED_HISTORY - 1}")
        db.executemany("INSERT INTO moves VALUES (?, ?, ?)", rows)
        db.commit()
    refused = services.run("history")  # a reader never converts it
    assert (refused.returncode, refused.stderr) == (1, f"ashvigil: {services.db} {OLDER}\n")
    Store(str(services.db)).close()
    done = services.run("history", "--format", "json")
    assert done.returncode == 0, done.stderr
    moves = [(e["time"], e["netuid"], e["old"], e["new"]) for e in json.loads(done.stdout)]
    expected = lagged([(at, n, b) for n, at, b in rows], 0, ())
    assert moves == [(stamp(m.at), int(m.netuid) if m.netuid.isdigit() else m.netuid, m.old, m.new) for m in expected]


BY_TIME = "SEARCH moves USING PRIMARY KEY (at>?)"
BY_SUBNET = "SEARCH moves USING INDEX moves_netuid (netuid=? AND at>?)"
BEFORE = "SEARCH moves USING INDEX moves_netuid (netuid=? AND at<?)"
POLLS = "SEARCH polls USING INDEX polls_at (at>?)"
FIRST_POLL = "SEARCH polls USING COVERING INDEX polls_at"  # min(at): one step into the index


@pytest.mark.parametrize(
    ("read", "expected"),
    [
        (lambda store: store.moves(T + 600), {BY_TIME, BEFORE}),
        (lambda store: store.moves(T + 600, ["3", "x"]), {BY_SUBNET, BEFORE}),
        (lambda store: store.moves(None, ["3"]), {BY_SUBNET}),
        (lambda store: store.burns_before(T + 600, ["3", "x"]), {BEFORE}),
        (lambda store: store.polls(T + 600), {POLLS}),
        (lambda store: chart_data(store, ["3"], T + 600, T + 900, 300), {FIRST_POLL, BEFORE, BY_SUBNET, POLLS}),
    ],
    ids=["window", "window of subnets", "subnet", "before a window", "polls", "chart"],
)
def test_the_reads_of_a_window_seek_by_time_or_subnet(tmp_path, read, expected):
    store = Store(str(tmp_path / "h.db"))
    for k in range(4):
        store.record_poll({"3": f"0.{k}", "x": "n/a", "4": "0.5"}, T + 300 * k, 365)
    statements = []
    store._db._db.set_trace_callback(statements.append)
    read(store)
    store._db._db.set_trace_callback(None)
    plans = [row[3] for s in statements for row in store.execute(f"EXPLAIN QUERY PLAN {s}")]
    store.close()
    assert set(plans) == expected
