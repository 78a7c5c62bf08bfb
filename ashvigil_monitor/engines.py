"""The store's two engines: SQLite, embedded, for one machine, and PostgreSQL, shared by an active
monitor and its standbys. The store writes its SQL once, in SQLite's words; the PostgreSQL engine
says the same in its own, so the differences live here and nowhere else.

On PostgreSQL the active monitor is the session that holds the database's advisory lock. That
session ends soon after its monitor stops working: the server ends it when it stays idle past
IDLE_SESSION (a frozen process pings no more), a hung statement past STATEMENT_TIMEOUT, and a dead
peer through TCP keepalives. A small ping keeps a working monitor's session alive between its
statements, and every write goes through that one session, so a monitor that lost its lock cannot
commit anything.
"""

from __future__ import annotations

import contextlib
import re
import sqlite3
import threading
import urllib.parse
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, Protocol

from ashvigil_monitor.errors import ConfigError, DatabaseFailure

BUSY_TIMEOUT = 5.0  # seconds a SQLite write waits for another connection (a reader's checkpoint)
IDLE_SESSION = 20  # seconds an active session may stay idle before the server ends it
PING = 5.0  # seconds between the active session's pings, well within IDLE_SESSION
STATEMENT_TIMEOUT = 30  # seconds a statement may take
CONNECT_TIMEOUT = 10  # seconds to open a session
OLDEST_SERVER = 140000  # PostgreSQL 14: idle_session_timeout
LOCK_KEY = 0x61736876  # the advisory lock whose holder acts for the database ("ashv")
INSTALL_HINT = "PostgreSQL needs the postgres extra: pip install 'ashvigil[postgres]'"
SIBLINGS = ("-journal", "-wal", "-shm")  # the files SQLite keeps beside a database

# The tables a row replaces by its key: the key's columns, then the others, in table order.
UPSERTS: dict[str, tuple[tuple[str, ...], tuple[str, ...]]] = {
    "settings": (("key",), ("value",)),
    "subnets": (("netuid",), ("baseline", "last_rate", "missing", "gone")),
    "baselines": (("destination", "netuid"), ("baseline", "gone")),
    "recorded": (("netuid",), ("burn",)),
    "monitors": (("id",), ("host", "pid", "role", "seen", "started")),
}
# SQLite's schema words in PostgreSQL's.
_SCHEMA = (
    (re.compile(r"\bINTEGER PRIMARY KEY\b"), "BIGSERIAL PRIMARY KEY"),
    (re.compile(r"\bINTEGER\b"), "BIGINT"),
    (re.compile(r"\bREAL\b"), "DOUBLE PRECISION"),
    (re.compile(r"\)\s*WITHOUT ROWID"), ")"),
    (re.compile(r"\bvalue\)"), "value TEXT)"),  # settings keep text
)
_REPLACE = re.compile(r"INSERT OR REPLACE INTO (\w+) VALUES")
# An insert of one row of placeholders: its table, the columns it names, what follows the row.
_INSERT = re.compile(r"^INSERT INTO (\w+)(?: \(([^)]*)\))? VALUES \((?:%s, )*%s\)(.*)$", re.S)


class Cursor(Protocol):
    @property
    def rowcount(self) -> int: ...
    @property
    def description(self) -> Sequence[Any] | None: ...

    def fetchone(self) -> Any: ...
    def fetchall(self) -> list[Any]: ...
    def __iter__(self) -> Iterator[Any]: ...


def is_postgres(target: str) -> bool:
    return target.startswith(("postgresql://", "postgres://"))


def setting(target: str) -> str:
    """The setting that names a database of this kind, for the messages about it."""
    return "ASHVIGIL_DB_URL" if is_postgres(target) else "ASHVIGIL_DB_PATH"


def shown(target: str) -> str:
    """A database as output shows it: a URL without whatever credentials it may carry."""
    if not is_postgres(target):
        return target
    parts = urllib.parse.urlsplit(target)
    host = parts.netloc.rpartition("@")[2]
    user = parts.username
    return urllib.parse.urlunsplit((parts.scheme, f"{user}@{host}" if user else host, parts.path, "", ""))


def check_url(url: str, name: str) -> None:
    """A PostgreSQL URL that carries no password: it comes from a file or libpq's own means."""
    parts = urllib.parse.urlsplit(url)
    query = urllib.parse.parse_qs(parts.query)
    if parts.password is not None or "password" in query:
        raise ConfigError(f"{name}: the URL carries a password: give it in ASHVIGIL_DB_PASSWORD_FILE", name)
    if not parts.path.strip("/") and "dbname" not in query:
        raise ConfigError(f"{name}: {shown(url)} names no database", name)


class Sqlite:
    name = "sqlite"
    shared = False  # one machine: its file lock elects the one monitor

    def __init__(self, path: str, read_only: bool) -> None:
        if read_only:
            self._db = sqlite3.connect(f"file:{path}?mode=ro", uri=True, timeout=BUSY_TIMEOUT)
            return
        self._db = sqlite3.connect(path, timeout=BUSY_TIMEOUT, isolation_level=None)
        self._db.execute("PRAGMA journal_mode=WAL")
        self._db.execute("PRAGMA synchronous=FULL")

    def execute(self, sql: str, params: Sequence[Any] = ()) -> Cursor:
        return self._db.execute(sql, params)

    def executemany(self, sql: str, rows: Iterable[Sequence[Any]]) -> None:
        self._db.executemany(sql, rows)

    def insert(self, sql: str, params: Sequence[Any]) -> int:
        return int(self._db.execute(sql, params).lastrowid or 0)

    def execute_unsynced(self, sql: str, params: Sequence[Any] = ()) -> None:
        """A write whose loss in a power cut is harmless, committed without waiting for the disk:
        the next synchronous commit makes it durable too."""
        self._db.execute("PRAGMA synchronous=NORMAL")
        try:
            self._db.execute(sql, params)
        finally:
            self._db.execute("PRAGMA synchronous=FULL")

    @property
    def in_transaction(self) -> bool:
        return self._db.in_transaction

    def begin(self) -> None:
        self._db.execute("BEGIN IMMEDIATE")

    def end(self, commit: bool) -> None:
        """Commits or rolls back; a failed COMMIT may leave the transaction open: never nest into it."""
        try:
            if commit:
                self._db.execute("COMMIT")
        finally:
            if self._db.in_transaction:
                self._db.execute("ROLLBACK")

    def version(self) -> int:
        return int(self._db.execute("PRAGMA user_version").fetchone()[0])

    def set_version(self, version: int) -> None:
        self._db.execute(f"PRAGMA user_version = {int(version)}")

    def schema(self, script: str) -> str:
        return script

    def tables(self) -> list[str]:
        return [row[0] for row in self._db.execute("SELECT name FROM sqlite_master WHERE type = 'table'")]

    def verify(self) -> None:
        problems = [row[0] for row in self._db.execute("PRAGMA quick_check")]
        if problems != ["ok"]:
            raise sqlite3.DatabaseError("; ".join(problems[:3]))

    def close(self) -> None:
        self._db.close()

    def lead(self) -> bool:
        return True

    def leading(self) -> bool:
        return True

    def leading_noted(self) -> bool:
        return True

    def holder(self) -> int | None:
        return None  # the file lock tells (status.holder)

    def size(self) -> int | None:
        return None  # the files tell

    def serialize_migrations(self) -> None:
        pass  # BEGIN IMMEDIATE did


class Postgres:
    name = "postgres"
    shared = True  # several monitors: the advisory lock elects the active one

    def __init__(self, url: str, password: str, read_only: bool) -> None:
        try:
            import psycopg
        except ImportError:
            raise ConfigError(f"ASHVIGIL_DB_URL: {INSTALL_HINT}", "ASHVIGIL_DB_URL") from None
        self._psycopg = psycopg
        self._url, self._password, self._read_only = url, password, read_only
        self._lock = threading.RLock()  # one statement or transaction at a time on the session
        self._sql: dict[str, str] = {}
        self._types: dict[str, dict[str, str]] = {}  # each table's columns and their types
        self._leading = False
        self._pinger: threading.Thread | None = None
        self._stop_ping = threading.Event()
        self._conn: Any = None
        self._owner: int | None = None  # the thread inside a transaction
        self._connect()

    # --- the session ---

    def _connect(self) -> None:
        options = f"-c statement_timeout={STATEMENT_TIMEOUT}s -c tcp_keepalives_idle=10"
        options += " -c tcp_keepalives_interval=5 -c tcp_keepalives_count=3"
        if self._read_only:
            options += " -c default_transaction_read_only=on"
        extra = {"password": self._password} if self._password else {}
        self._conn = self._call(
            lambda: self._psycopg.connect(
                self._url,
                autocommit=True,
                connect_timeout=CONNECT_TIMEOUT,
                keepalives=1,
                keepalives_idle=10,
                keepalives_interval=5,
                keepalives_count=3,
                tcp_user_timeout=STATEMENT_TIMEOUT * 1000,
                options=options,
                application_name="ashvigil",
                **extra,
            )
        )
        if self._conn.info.server_version < OLDEST_SERVER:
            self.close()
            raise ConfigError(
                "ASHVIGIL_DB_URL: PostgreSQL 14 or newer is needed (its idle_session_timeout ends a frozen"
                " monitor's session)",
                "ASHVIGIL_DB_URL",
            )
        # Flags are kept as integers, as SQLite keeps them: a Python bool goes as one.
        from psycopg.types.numeric import Int8Dumper

        self._conn.adapters.register_dumper(bool, Int8Dumper)

    def _call(self, work: Any) -> Any:
        try:
            with self._lock:
                return work()
        except self._psycopg.Error as e:
            lost = self._conn is None or self._conn.broken or isinstance(e, self._psycopg.OperationalError)
            if lost:
                self._leading = False
            why = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
            raise DatabaseFailure(why, lost=lost) from None

    def reconnect(self) -> None:
        """A new session after the last one was lost; it holds no lock."""
        self.close()
        self._conn = None
        self._leading = False
        self._connect()

    def lead(self) -> bool:
        """Takes the lock when no other session holds it: this session then acts for the database.
        A session that was lost is opened again first."""
        if self._leading:
            return True
        if self._conn is None or self._conn.broken:
            self.reconnect()
        got = self._call(lambda: self._conn.execute("SELECT pg_try_advisory_lock(%s)", (LOCK_KEY,)).fetchone()[0])
        if not got:
            return False
        for setting in ("idle_session_timeout", "idle_in_transaction_session_timeout"):
            self.execute(f"SET {setting} = '{IDLE_SESSION}s'")
        self._leading = True
        self._stop_ping.clear()
        self._pinger = threading.Thread(target=self._ping, name="ashvigil-db-ping", daemon=True)
        self._pinger.start()
        return True

    def leading(self) -> bool:
        """Whether this session still holds the lock: asks the server, so a session it ended is seen."""
        if not self._leading:
            return False
        try:
            self._call(lambda: self._conn.execute("SELECT 1").fetchone())
        except DatabaseFailure:
            return False
        return self._leading

    def leading_noted(self) -> bool:
        return self._leading

    def _ping(self) -> None:
        while not self._stop_ping.wait(PING):
            try:
                self._call(lambda: self._conn.execute("SELECT 1").fetchone())
            except DatabaseFailure as e:
                if e.lost:
                    return

    def _end_ping(self) -> None:
        self._stop_ping.set()
        if self._pinger is not None and self._pinger is not threading.current_thread():
            self._pinger.join(timeout=STATEMENT_TIMEOUT)
        self._pinger = None

    def backend_pid(self) -> int:
        return int(self._call(lambda: self._conn.info.backend_pid))

    def holder(self) -> int | None:
        """The server process of the session that holds the lock, if one does."""
        row = self.execute(
            "SELECT pid FROM pg_locks WHERE locktype = 'advisory' AND classid = 0 AND objid = ? AND objsubid = 1"
            " AND granted AND database = (SELECT oid FROM pg_database WHERE datname = current_database())",
            (LOCK_KEY,),
        ).fetchone()
        return None if row is None else int(row[0])

    def size(self) -> int | None:
        return int(self.execute("SELECT pg_database_size(current_database())").fetchone()[0])

    def serialize_migrations(self) -> None:
        """Two monitors that start together on a new database: one migrates, the other waits."""
        self.execute("SELECT pg_advisory_xact_lock(?)", (LOCK_KEY + 1,))

    # --- statements ---

    def _translate(self, sql: str) -> str:
        found = self._sql.get(sql)
        if found is None:
            found = sql.replace("%", "%%").replace("?", "%s").replace("rowid", "ctid")
            match = _REPLACE.search(found)
            if match:
                keys, others = UPSERTS[match[1]]
                update = ", ".join(f"{c} = EXCLUDED.{c}" for c in others)
                found = _REPLACE.sub(f"INSERT INTO {match[1]} VALUES", found)
                found += f" ON CONFLICT ({', '.join(keys)}) DO UPDATE SET {update}"
            self._sql[sql] = found
        return found

    def execute(self, sql: str, params: Sequence[Any] = ()) -> Cursor:
        query = self._translate(sql)
        return self._call(lambda: self._conn.execute(query, params or None))  # type: ignore[no-any-return]

    def executemany(self, sql: str, rows: Iterable[Sequence[Any]]) -> None:
        """An insert of many rows goes as one statement that unnests a column array each: one
        round trip, and a short statement the driver parses once."""
        batch = list(rows)
        if not batch:
            return
        query = self._translate(sql)
        match = _INSERT.match(query)
        if match is None or len(batch) == 1:
            self._call(lambda: self._conn.cursor().executemany(query, batch))
            return
        table, named, rest = match[1], match[2], match[3]
        types = self._column_types(table)
        columns = [c.strip() for c in named.split(",")] if named else list(types)
        casts = ", ".join(f"%s::{types[c]}[]" for c in columns)
        into = f"{table} ({named})" if named else table
        many = f"INSERT INTO {into} SELECT * FROM unnest({casts}){rest}"
        self._call(lambda: self._conn.execute(many, [list(column) for column in zip(*batch, strict=True)]))

    def _column_types(self, table: str) -> dict[str, str]:
        found = self._types.get(table)
        if found is None:
            rows = self.execute(
                "SELECT column_name, udt_name FROM information_schema.columns"
                " WHERE table_schema = current_schema() AND table_name = ? ORDER BY ordinal_position",
                (table,),
            )
            found = self._types[table] = {name: udt for name, udt in rows}
        return found

    def insert(self, sql: str, params: Sequence[Any]) -> int:
        return int(self.execute(sql + " RETURNING id", params).fetchone()[0])

    def execute_unsynced(self, sql: str, params: Sequence[Any] = ()) -> None:
        self.execute(sql, params)

    @property
    def in_transaction(self) -> bool:
        """Whether this thread is inside a transaction: another thread's waits for it to end."""
        return self._owner == threading.get_ident()

    def begin(self) -> None:
        self._lock.acquire()  # held until the transaction ends
        try:
            self.execute("BEGIN")
        except BaseException:
            self._lock.release()
            raise
        self._owner = threading.get_ident()

    def end(self, commit: bool) -> None:
        try:
            if not self._conn.broken:
                self.execute("COMMIT" if commit else "ROLLBACK")
        finally:
            self._owner = None
            self._lock.release()

    def version(self) -> int:
        row = self.execute("SELECT to_regclass('settings') IS NOT NULL").fetchone()
        if not row[0]:
            return 0
        found = self.execute("SELECT value FROM settings WHERE key = 'schema_version'").fetchone()
        return int(found[0]) if found else 0

    def set_version(self, version: int) -> None:
        self.execute("INSERT OR REPLACE INTO settings VALUES ('schema_version', ?)", (str(int(version)),))

    def schema(self, script: str) -> str:
        for pattern, words in _SCHEMA:
            script = pattern.sub(words, script)
        return script

    def tables(self) -> list[str]:
        query = "SELECT tablename FROM pg_tables WHERE schemaname = current_schema()"
        return [row[0] for row in self.execute(query)]

    def verify(self) -> None:
        self.execute("SELECT 1").fetchone()

    def close(self) -> None:
        self._end_ping()
        if self._conn is not None:
            with contextlib.suppress(self._psycopg.Error):
                self._conn.close()


Engine = Sqlite | Postgres
