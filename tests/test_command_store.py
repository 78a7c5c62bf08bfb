"""The command's database: schema versions are upgraded in order, and a newer one is refused."""

import contextlib
import sqlite3

import pytest

from ashvigil_monitor.errors import ConfigError
from ashvigil_monitor.store import MIGRATIONS, Store


@pytest.mark.parametrize("version", range(len(MIGRATIONS) + 2))
def test_an_older_schema_is_upgraded_and_a_newer_one_refused(tmp_path, version):
    path = str(tmp_path / "ashvigil.db")
    with contextlib.closing(sqlite3.connect(path)) as db:
        for script in MIGRATIONS[:version]:
            db.executescript(script)
        db.execute(f"PRAGMA user_version = {version}")
    if version > len(MIGRATIONS):
        with pytest.raises(ConfigError, match="from a newer ashvigil"):
            Store(path)
        return
    store = Store(path)
    with store.transaction():
        store.queue("2026-12-08T00:00:00Z", ["piece"], 0.0)
        store.save_map({"1": "0.5"}, "2026-12-08T00:00:00Z")
    assert store.burn_map() == ({"1": "0.5"}, False)
    assert [p.body for p in store.pending()] == ["piece"]
    store.close()
    with contextlib.closing(sqlite3.connect(path)) as db:
        assert db.execute("PRAGMA user_version").fetchone()[0] == len(MIGRATIONS)
