"""The store behaves the same on both engines, SQLite and PostgreSQL (a real server), and on
PostgreSQL one session at a time holds the lock that makes its monitor the active one."""

import contextlib
import threading

import pytest

from ashvigil_monitor import engines
from ashvigil_monitor.errors import Failed
from ashvigil_monitor.store import MIGRATIONS, Queued, Store, Subnet, script_for

T = 1_796_000_000


@pytest.fixture(params=["sqlite", "postgres"])
def database(request, tmp_path):
    """A new database of the engine, and its password."""
    if request.param == "sqlite":
        return str(tmp_path / "s.db"), ""
    return request.getfixturevalue("pg_url"), request.getfixturevalue("postgres").password


@pytest.fixture
def open_store(database):
    """Opens stores on one database of the engine; closes them all at the end."""
    opened = []

    def open_one():
        opened.append(Store(database[0], password=database[1]))
        return opened[-1]

    yield open_one
    for store in opened:
        store.close()


def test_the_outbox_keeps_order_attempts_and_drops(open_store):
    store = open_store()
    with store.transaction():
        store.queue(Queued("telegram", "c1"), ["a1", "a2"], 10.0, [("3", "0.1", "0.2")])
        store.queue(Queued("discord", "c1", "failing"), ["b1"], 11.0)
    first, second, third = store.pending()
    assert [(p.destination, p.body, p.piece, p.pieces, p.event) for p in store.pending()] == [
        ("telegram", "a1", 1, 2, "changes"),
        ("telegram", "a2", 2, 2, "changes"),
        ("discord", "b1", 1, 1, "failing"),
    ]
    assert first.changes == (("3", "0.1", "0.2"),)
    assert third.changes == ()
    store.failed(second, "HTTP 502", "boot", 100.0)
    store.failed(second, "HTTP 503", "boot", 160.0)
    store.delivered(first)
    store.drop([third])
    [left] = store.pending()
    assert (left.body, left.attempts, left.last_error, left.tried_for) == ("a2", 2, "HTTP 503", 60.0)
    assert (store.dropped(), store.dropped_total()) == ({"discord": 1}, 1)


def test_a_rolled_back_cycle_leaves_nothing_and_is_forgotten(open_store):
    store = open_store()
    records = {"telegram": {"1": Subnet("0.1", "0.1"), "2": Subnet("0.2", "0.2", 3, True)}}
    store.save_map({"1": "0.1"}, "t1", records)

    def cycle():
        with store.transaction():
            store.save_map({"1": "0.2", "2": "0.3"}, "t2", {"telegram": {"1": Subnet("0.2", "0.2")}})
            store.queue(Queued("telegram", "t2"), ["lost"], 1.0)
            raise RuntimeError

    with pytest.raises(RuntimeError):
        cycle()
    again = open_store()
    for seen in (store, again):
        assert (seen.burn_map(), seen.state_holds_map()) == ({"1": "0.1"}, False)
        assert seen.subnets("telegram") == records["telegram"]
        assert seen.pending() == []


def test_the_history_gives_back_every_text_in_its_order(open_store):
    store = open_store()
    odd = {"3": "0.1", "x": "n/a", "10": "1e-05", "9": "-0", "01": "0.1234567890123"}
    store.record_poll(odd, T, 365)
    store.record_poll({**odd, "3": "0.25", "10": "1"}, T + 300, 365)
    moves = store.moves()
    assert [(m.at, m.netuid, m.old, m.new) for m in moves] == [
        (T, "3", None, "0.1"),
        (T, "x", None, "n/a"),
        (T, "10", None, "1e-05"),
        (T, "9", None, "-0"),
        (T, "01", None, "0.1234567890123"),
        (T + 300, "3", "0.1", "0.25"),
        (T + 300, "10", "1e-05", "1"),
    ]
    assert [(m.netuid, m.old) for m in store.moves(T + 1, ["10"])] == [("10", "1e-05")]
    assert store.burns_before(T + 300, ["3", "x", "404"]) == {"3": "0.1", "x": "n/a"}
    assert store.polls() == [(T, True), (T + 300, True)]
    store.record_poll({"3": "0.25"}, T + 600, 365)  # the others leave the listing together
    assert {(m.netuid, m.new) for m in store.moves(T + 600)} == {("x", None), ("10", None), ("9", None), ("01", None)}


def test_settings_read_back_as_text_and_a_new_database_is_set_up_once(open_store):
    store = open_store()
    store.put(failures=3, failure_told=1, failing_since="t")
    store.mute("7", T + 60)
    again = open_store()
    assert (again.version(), again.get("failures"), again.streak().told) == (len(MIGRATIONS), "3", True)
    assert again.mutes(T) == {"7": T + 60}


def test_a_copy_holds_everything_and_goes_only_into_an_empty_database(open_store, tmp_path):
    source = open_store()
    with source.transaction():
        source.queue(Queued("telegram", "c1"), ["p1", "p2"], 5.0)
        source.save_map({"10": "0.5", "9": "x"}, "c1", {"telegram": {"10": Subnet("0.5", "0.5")}})
    source.record_poll({"10": "0.5", "9": "x", "11": "2e-07"}, T, 365)
    source.mute("9", T + 60)
    back = Store(str(tmp_path / "back.db"))
    with contextlib.closing(back):
        assert source.copy_to(back)["moves"] == 3
        for store in (source, back):
            assert [p.body for p in store.pending()] == ["p1", "p2"]
            assert [(m.netuid, m.new) for m in store.moves()] == [("10", "0.5"), ("9", "x"), ("11", "2e-07")]
            assert (store.subnets("telegram"), store.mutes(T)) == ({"10": Subnet("0.5", "0.5")}, {"9": T + 60})
        with pytest.raises(Failed, match="is not empty"):
            source.copy_to(back)


def test_one_session_at_a_time_acts_for_a_shared_database(postgres, pg_url):
    first, second = (Store(pg_url, password=postgres.password) for _ in range(2))
    try:
        assert (first.lead(), second.lead()) == (True, False)
        assert second.holder() == first._db.backend_pid()
        assert postgres.terminate(first._db.backend_pid())
        assert (first.leading(), first.leading_noted()) == (False, False)
        assert second.lead()
        assert not first.lead()  # a new session, which finds the lock taken
    finally:
        first.close()
        second.close()


def test_threads_sharing_the_session_take_turns_with_transactions(postgres, pg_url):
    store = Store(pg_url, password=postgres.password)
    other = store.for_thread()
    wrote = []
    try:
        with store.transaction():
            store.put(step="in the transaction")
            writer = threading.Thread(target=lambda: (other.put(step="after it"), wrote.append(other.get("step"))))
            writer.start()
            writer.join(0.5)
            assert wrote == []  # it waits: it would otherwise have joined this transaction
        writer.join(10)
        assert wrote == ["after it"]
    finally:
        other.close()
        store.close()


def test_an_upgrade_keeps_every_destinations_baselines_and_the_map(database):
    """From a map and baselines of their own to the polls' record, with baselines that differ."""
    where, password = database
    engine = engines.Postgres(where, password, False) if engines.is_postgres(where) else engines.Sqlite(where, False)
    engine.begin()
    for script in MIGRATIONS[:8]:
        for statement in engine.schema(script_for(script, engine.name)).split(";"):
            if statement.strip():
                engine.execute(statement)
    engine.set_version(8)
    engine.executemany("INSERT INTO burn_map VALUES (?, ?)", [("3", "0.2"), ("5", "0.45"), ("6", "0.6")])
    subnets = [("3", "0.2", "0.2", 0, 0), ("5", "0.45", "0.45", 0, 0), ("9", "0.7", "0.7", 4, 1)]
    engine.executemany("INSERT INTO subnets VALUES (?, ?, ?, ?, ?)", subnets)
    baselines = [("all", n, b, g) for n, b, _, _, g in subnets]
    baselines += [("mine", "3", "0.2", 0), ("mine", "5", "0.5", 0)]  # 9 and 6 unknown to it
    engine.executemany("INSERT INTO baselines VALUES (?, ?, ?, ?)", baselines)
    engine.end(commit=True)
    engine.close()
    store = Store(where, password=password)
    assert store.burn_map() == {"3": "0.2", "5": "0.45", "6": "0.6"}
    listed = {"3": Subnet("0.2", "0.2"), "5": Subnet("0.45", "0.45")}
    unknown = {"6": Subnet("0.6", "0.6", 0, True), "9": Subnet("0.7", "0.7", 4, True)}  # new to it when listed
    assert store.subnets("all") == {**listed, **unknown}
    assert store.subnets("mine") == {**listed, "5": Subnet("0.5", "0.45"), **unknown}
    assert store.subnets("new") == {}
    own = store.execute("SELECT destination, netuid FROM baselines ORDER BY 1, 2").fetchall()
    assert [tuple(row) for row in own] == [("all", "6"), ("mine", "5"), ("mine", "6")]
    store.close()
