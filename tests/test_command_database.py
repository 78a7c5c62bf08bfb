"""The command's database as an operator meets it: one monitor and one chat per database, its default
name, a damaged file, and exit statuses that say whether a restart can help."""

import contextlib
import os
import sqlite3

import pytest
from command import Running
from test_command_delivery import too_many

OTHER_CHAT = "-1009876543210"
GARBAGE = b"not a database, " * 300


def connect(path):
    return contextlib.closing(sqlite3.connect(path, isolation_level=None))


def setting(path, key):
    with connect(path) as db:
        row = db.execute("SELECT value FROM settings WHERE key = ?", (key,)).fetchone()
    return row and row[0]


def other_state(services):
    return str(services.tmp / "other" / "state.json")


def same_database(services):
    return {"ASHVIGIL_STATE_PATH": other_state(services), "ASHVIGIL_DB_PATH": str(services.db)}


def database_link(services):
    os.link(services.db, services.tmp / "link.db")
    return {"ASHVIGIL_STATE_PATH": other_state(services), "ASHVIGIL_DB_PATH": str(services.tmp / "link.db")}


def state_link(services):
    """Made before the first monitor starts: its saves then replace the name, not the link."""
    os.link(services.state, services.state.parent / "link.json")
    return {
        "ASHVIGIL_STATE_PATH": str(services.state.parent / "link.json"),
        "ASHVIGIL_DB_PATH": str(services.tmp / "own.db"),
    }


def a_fresh_file(services):
    """The first monitor sets the damaged database aside: it must lock the fresh one in its place."""
    services.db.write_bytes(GARBAGE)
    return same_database(services)


@pytest.mark.parametrize(
    ("second", "names_db"),
    [(same_database, True), (database_link, True), (state_link, False), (a_fresh_file, True)],
)
def test_a_second_monitor_on_the_same_database_or_state_file_exits_2_naming_them(services, second, names_db):
    assert services.run("once").returncode == 0  # the state file and the database exist
    env = second(services)
    with Running(services, "run", "--no-snapshot"):
        done = services.run("once", env=env)
    assert (done.returncode, done.stderr.count("\n")) == (2, 1), done.stderr
    assert env["ASHVIGIL_STATE_PATH"] in done.stderr
    assert (env["ASHVIGIL_DB_PATH"] in done.stderr) == names_db


def test_two_state_files_in_one_folder_each_deliver_their_own_alerts_to_their_own_chat(av, services):
    chats = {services.state: services.env["ASHVIGIL_CHAT_ID"], services.state.parent / "b.json": OTHER_CHAT}
    services.seed_change(av, 3, 0.5)
    av.save_burn_state(str(services.state.parent / "b.json"), services.state_rates, "2025-01-01T00:00:00Z")

    def once(state):
        return services.run("once", env={"ASHVIGIL_STATE_PATH": str(state), "ASHVIGIL_CHAT_ID": chats[state]})

    services.bot.set_default(too_many(500))
    assert once(services.state).returncode == 1  # its alert waits in its outbox
    services.bot.set_default(None)
    for state in (services.state.parent / "b.json", services.state):
        done = once(state)
        assert done.returncode == 0, done.stderr
    received = [r.fields["chat_id"] for r in services.sends() if r.reply.status == 200]
    assert sorted(received) == sorted(chats.values())


@pytest.mark.parametrize(("owner", "kept"), [(None, True), ("this", True), ("/elsewhere/state.json", False)])
def test_the_old_shared_database_is_kept_while_it_is_this_state_files(services, owner, kept):
    legacy = services.state.parent / "ashvigil.db"
    assert services.run("once", env={"ASHVIGIL_DB_PATH": str(legacy)}).returncode == 0
    if owner != "this":
        with connect(legacy) as db:
            db.execute("DELETE FROM settings WHERE key = 'state_path'")
            if owner:
                db.execute("INSERT INTO settings VALUES ('state_path', ?)", (owner,))
    assert services.run("once").returncode == 0
    assert services.db.exists() != kept
    assert setting(legacy, "state_path") == (os.path.realpath(services.state) if kept else owner)


def test_a_database_of_another_chat_is_refused_until_the_outbox_is_dropped(av, services):
    services.seed_change(av)
    services.bot.set_default(too_many(500))
    assert services.run("once").returncode == 1  # a piece for the first chat waits
    services.bot.set_default(None)
    moved = {"ASHVIGIL_CHAT_ID": OTHER_CHAT}
    refused = services.run("once", env=moved)
    assert (refused.returncode, refused.stderr.count("\n")) == (2, 1)
    assert "ASHVIGIL_DB_PATH" in refused.stderr
    assert "ashvigil outbox --drop" in refused.stderr
    assert services.run("outbox", "--drop").returncode == 0
    done = services.run("once", env=moved)
    assert done.returncode == 0, done.stderr
    assert services.bot.messages() == []
    assert setting(services.db, "chat_id") == OTHER_CHAT


@pytest.mark.parametrize(
    ("content", "state", "why", "baseline"),
    [
        (b"", True, "empty", "the baseline from the state file"),
        (GARBAGE, True, "not a database", "the baseline from the state file"),
        (GARBAGE, False, "not a database", "no state file: a first poll"),
        (b"", False, None, None),  # a database not yet written: simply a new one
    ],
)
def test_an_unreadable_database_is_set_aside_out_loud_and_the_state_file_is_the_baseline(
    av, services, content, state, why, baseline
):
    services.seed_change(av)
    if not state:
        services.state.unlink()
    services.db.write_bytes(content)
    done = services.run("once")
    assert done.returncode == 0, done.stderr
    aside = [p for p in services.state.parent.iterdir() if ".unreadable-" in p.name]
    assert [p.read_bytes() for p in aside] == ([content] if why else [])
    told = [f"[burn] database unreadable ({why}): kept as {aside[0]}; a fresh database, {baseline}"] if why else []
    alert = ["[burn] alert sent (1 subnet(s))"] if state else []
    assert done.stderr.splitlines() == told + alert
    assert len(services.bot.messages()) == len(alert)


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
