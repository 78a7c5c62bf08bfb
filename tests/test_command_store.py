"""The command's database: schema versions are upgraded in order, and a newer one is refused."""

import contextlib
import sqlite3

import pytest

from ashvigil_monitor.errors import ConfigError
from ashvigil_monitor.store import MIGRATIONS, Queued, Store, Subnet, script_for


@pytest.mark.parametrize("version", range(len(MIGRATIONS) + 2))
def test_an_older_schema_is_upgraded_and_a_newer_one_refused(tmp_path, version):
    path = str(tmp_path / "ashvigil.db")
    with contextlib.closing(sqlite3.connect(path)) as db:
        for script in MIGRATIONS[:version]:
            db.executescript(script_for(script, "sqlite"))
        db.execute(f"PRAGMA user_version = {version}")
        if 1 <= version <= 5:  # a database of one chat, with a piece pending and a baseline
            db.execute("INSERT INTO outbox (cycle_at, piece, pieces, body, queued_at) VALUES ('t', 1, 1, 'old', 0)")
            if version == 1:
                db.execute("INSERT INTO burn_map VALUES ('7', '0.1')")
            else:
                db.execute("INSERT INTO subnets (netuid, baseline, last_rate) VALUES ('7', '0.1', '0.2')")
            db.commit()
    if version > len(MIGRATIONS):
        with pytest.raises(ConfigError, match="from a newer ashvigil"):
            Store(path)
        return
    store = Store(path)
    old = 1 <= version <= 5
    assert [(p.destination, p.body) for p in store.pending()] == ([("telegram", "old")] if old else [])
    assert {n: s.baseline for n, s in store.subnets("telegram").items()} == ({"7": "0.1"} if old else {})
    with store.transaction():
        store.queue(Queued("discord", "2026-12-08T00:00:00Z"), ["piece"], 0.0)
        store.save_map({"1": "0.5"}, "2026-12-08T00:00:00Z")
    assert (store.burn_map(), store.state_holds_map()) == ({"1": "0.5"}, False)
    assert [p.body for p in store.pending() if p.destination == "discord"] == ["piece"]
    store.close()
    with contextlib.closing(sqlite3.connect(path)) as db:
        assert db.execute("PRAGMA user_version").fetchone()[0] == len(MIGRATIONS)


def test_a_destination_left_out_of_a_write_keeps_its_baselines(tmp_path):
    """As a snapshot shown to one destination, then to none: the others' baselines stay."""
    path = str(tmp_path / "ashvigil.db")
    store = Store(path)
    store.save_map({"5": "0.5"}, "t1", {"all": {"5": Subnet("0.5", "0.5")}, "mine": {"5": Subnet("0.5", "0.5")}})
    store.save_map({"5": "0.9", "7": "0.1"}, "t2", {"all": {"5": Subnet("0.9", "0.9"), "7": Subnet("0.1", "0.1")}})
    store.save_map({"5": "0.8", "7": "0.1", "8": "0.2"}, "t3")
    new = {"8": Subnet("0.2", "0.2", 0, True)}  # new to it: told as new at its next poll
    for seen in (store, Store(path)):
        assert seen.subnets("all") == {"5": Subnet("0.9", "0.8"), "7": Subnet("0.1", "0.1"), **new}
        assert seen.subnets("mine") == {"5": Subnet("0.5", "0.8"), "7": Subnet("0.1", "0.1", 0, True), **new}
        assert seen.burn_map() == {"5": "0.8", "7": "0.1", "8": "0.2"}


@pytest.mark.parametrize(("moved", "written"), [({}, 0), ({3: 0.777}, 1), ({3: 0.777, 5: 0.5}, 2)])
def test_a_cycle_writes_the_rows_of_the_subnets_that_changed_only(services, moved, written):
    services.api.set_incentive_burns({3: 0.1, 5: 0.2})
    assert services.run("once").returncode == 0
    with contextlib.closing(services.database()) as db:
        db.execute("CREATE TABLE written (n INTEGER)")
        db.execute("INSERT INTO written VALUES (0)")
        for table in ("subnets", "baselines"):
            for event in ("INSERT", "UPDATE", "DELETE"):
                db.execute(
                    f"CREATE TRIGGER {table}_{event} AFTER {event} ON {table} BEGIN UPDATE written SET n = n + 1; END"
                )
    services.api.set_incentive_burns(moved)
    assert services.run("once").returncode == 0
    with contextlib.closing(services.database()) as db:
        assert db.execute("SELECT n FROM written").fetchone()[0] == written
