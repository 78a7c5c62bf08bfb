"""The command's database as an operator meets it: a damaged file, and exit statuses that say
whether a restart can help."""

import contextlib
import sqlite3

import pytest


def connect(path):
    return contextlib.closing(sqlite3.connect(path, isolation_level=None))


def hold_write_lock(db):
    """Another program inside a write transaction, before the command ever set the database up."""
    db.execute("CREATE TABLE theirs (x)")
    db.execute("BEGIN EXCLUSIVE")


def newer_schema(db):
    db.execute("PRAGMA user_version = 99")


@pytest.mark.parametrize(
    ("prepare", "status", "why"),
    [(hold_write_lock, 1, "database is locked"), (newer_schema, 2, "is from a newer ashvigil")],
)
def test_a_database_that_may_work_after_a_restart_exits_1_and_a_newer_one_2(services, prepare, status, why):
    services.state.parent.mkdir()
    with connect(services.db) as db:
        prepare(db)
        done = services.run("once")
    assert (done.returncode, done.stderr.count("\n")) == (status, 1), done.stderr
    assert why in done.stderr


def overwrite_settings_page(path):
    with connect(path) as db:
        root = db.execute("SELECT rootpage FROM sqlite_master WHERE name = 'settings'").fetchone()[0]
        size = db.execute("PRAGMA page_size").fetchone()[0]
    with open(path, "r+b") as f:
        f.seek((root - 1) * size)
        f.write(b"\xa5" * size)


@pytest.mark.parametrize(
    ("damage", "line"), [(None, "outbox: ok (0 alert pieces pending)"), (overwrite_settings_page, "outbox: FAILED (")]
)
def test_check_reads_the_whole_database(services, damage, line):
    assert services.run("once").returncode == 0
    if damage:
        damage(services.db)
    done = services.run("check")
    assert done.returncode == (1 if damage else 0)
    assert done.stdout.splitlines()[-1].startswith(line)
