"""The command's SQLite database: the outbox of alert pieces not yet delivered, and the last
stored burn map.

Every write is one transaction in WAL mode with synchronous=FULL, so a committed piece survives a
crash or a power loss. The schema is versioned with PRAGMA user_version: MIGRATIONS[i] takes a
database from version i to i + 1, and a database newer than this program is refused.

A database belongs to one monitor: its settings record the chat it delivers to and the state file
that owns it, so that a second configuration never sends the first one's pieces to its own chat.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import socket
import sqlite3
import time
from collections import Counter
from collections.abc import Iterable, Iterator, Mapping, Sequence
from contextlib import AbstractContextManager, contextmanager
from dataclasses import dataclass
from typing import NamedTuple, TypeVar

from ashvigil_monitor import coding, engines
from ashvigil_monitor.errors import ConfigError, DatabaseFailure, Failed
from ashvigil_monitor.files import require_regular_or_absent

# A migration in one text for both engines (engines.Postgres.schema says it in PostgreSQL's
# words), or one text for each where they differ.
MIGRATIONS: tuple[str | Mapping[str, str], ...] = (
    """
    CREATE TABLE outbox (
        id INTEGER PRIMARY KEY,
        cycle_at TEXT NOT NULL,      -- the time stamp of the cycle that found the changes
        piece INTEGER NOT NULL,
        pieces INTEGER NOT NULL,
        body TEXT NOT NULL,          -- the piece as its own cycle sends it, numbered when pieces > 1
        queued_at REAL NOT NULL,     -- Unix time of the write-ahead
        attempts INTEGER NOT NULL DEFAULT 0,
        last_error TEXT
    );
    CREATE TABLE burn_map (netuid TEXT PRIMARY KEY, burn TEXT NOT NULL) WITHOUT ROWID;
    CREATE TABLE settings (key TEXT PRIMARY KEY, value) WITHOUT ROWID;
    """,
    """
    CREATE TABLE subnets (
        netuid TEXT PRIMARY KEY,
        baseline TEXT NOT NULL,      -- the rate last reported, or the first one seen
        last_rate TEXT NOT NULL,     -- the rate of the last poll that listed it
        missing INTEGER NOT NULL DEFAULT 0,
        gone INTEGER NOT NULL DEFAULT 0
    ) WITHOUT ROWID;
    INSERT INTO subnets (netuid, baseline, last_rate) SELECT netuid, burn, burn FROM burn_map;
    CREATE TABLE held (              -- changes found during quiet hours, for the summary after them
        id INTEGER PRIMARY KEY,
        cycle_at TEXT NOT NULL,
        netuid TEXT NOT NULL,
        old TEXT NOT NULL,
        new TEXT NOT NULL
    );
    """,
    """
    CREATE TABLE mutes (netuid TEXT PRIMARY KEY, until REAL NOT NULL) WITHOUT ROWID  -- until: Unix time
    """,
    """
    CREATE TABLE polls (
        at INTEGER NOT NULL,         -- Unix time of the cycle's time stamp
        ok INTEGER NOT NULL,         -- 1: the listing was fetched and stored, 0: the cycle failed
        subnets INTEGER              -- subnets in the stored map, NULL when it failed
    );
    CREATE INDEX polls_at ON polls (at);
    CREATE TABLE moves (
        netuid TEXT NOT NULL,
        at INTEGER NOT NULL,         -- the poll that first saw this burn text
        burn TEXT                    -- NULL: the subnet left the listing
    );
    CREATE INDEX moves_at ON moves (at);
    CREATE INDEX moves_netuid ON moves (netuid);
    -- each subnet's last move, the baseline of the next poll
    CREATE TABLE recorded (netuid TEXT PRIMARY KEY, burn TEXT) WITHOUT ROWID;
    """,
    """
    -- when a piece's first failed attempt was, on the machine's boot clock, which no wall-clock
    -- step moves: the age bound drops only what was tried over real time
    ALTER TABLE outbox ADD COLUMN tried_since REAL;
    ALTER TABLE outbox ADD COLUMN tried_last REAL;
    ALTER TABLE outbox ADD COLUMN tried_boot TEXT;
    """,
    """
    -- several destinations, each with its own pieces, baselines and held changes: what a database
    -- of one chat holds becomes the destination that chat still is, "telegram"
    ALTER TABLE outbox ADD COLUMN destination TEXT NOT NULL DEFAULT 'telegram';
    ALTER TABLE outbox ADD COLUMN event TEXT NOT NULL DEFAULT 'changes';
    ALTER TABLE outbox ADD COLUMN changes TEXT;  -- JSON [[netuid, old, new], ...] of an alert's piece
    CREATE TABLE baselines (
        destination TEXT NOT NULL,
        netuid TEXT NOT NULL,
        baseline TEXT NOT NULL,      -- the rate last reported to it, or the first one seen
        gone INTEGER NOT NULL DEFAULT 0,  -- reported to it as gone
        PRIMARY KEY (destination, netuid)
    ) WITHOUT ROWID;
    INSERT INTO baselines SELECT 'telegram', netuid, baseline, gone FROM subnets;
    ALTER TABLE held ADD COLUMN destination TEXT NOT NULL DEFAULT 'telegram';
    """,
    # The history, smaller and read by its windows: rows clustered by time, ids and burn texts
    # coded as ashvigil_monitor.coding codes them (on PostgreSQL, the texts, ordered bytewise),
    # one index for each subnet's moves. `seq` keeps a poll's rows in the order they were
    # recorded (it steps up wherever an id does not follow the one before it), and the polls of
    # one second apart.
    {
        "sqlite": """
        CREATE TABLE moves_coded (
            at INTEGER NOT NULL,
            seq INTEGER NOT NULL,
            netuid NOT NULL,
            burn,
            PRIMARY KEY (at, seq, netuid)
        ) WITHOUT ROWID;
        INSERT INTO moves_coded
        SELECT at, sum(step) OVER (PARTITION BY at ORDER BY rowid ROWS UNBOUNDED PRECEDING), netuid, burn FROM (
            SELECT rowid, at, netuid, burn,
                coalesce(netuid <= lag(netuid) OVER (PARTITION BY at ORDER BY rowid), 0) AS step
            FROM (
                SELECT rowid, at,
                    CASE WHEN netuid = '0'
                            OR (netuid GLOB '[1-9]*' AND netuid NOT GLOB '*[^0-9]*' AND length(netuid) <= 18)
                        THEN CAST(netuid AS INTEGER) ELSE netuid END AS netuid,
                    CASE WHEN digits NOT GLOB '*[^0-9.]*' AND digits GLOB '[0-9]*' AND digits NOT GLOB '*.*.*'
                            AND digits NOT GLOB '*.' AND digits NOT GLOB '0[0-9]*' AND burn <> '-0'
                            AND length(digits) - (instr(digits, '.') > 0) <= 17
                            AND (instr(digits, '.') = 0 OR length(digits) - instr(digits, '.') <= 9)
                        THEN (CAST(replace(digits, '.', '') AS INTEGER) * 10
                              + CASE instr(digits, '.') WHEN 0 THEN 0 ELSE length(digits) - instr(digits, '.') END)
                             * CASE WHEN burn GLOB '-*' THEN -1 ELSE 1 END
                        ELSE burn END AS burn
                FROM (SELECT rowid, at, netuid, burn,
                        CASE WHEN burn GLOB '-*' THEN substr(burn, 2) ELSE burn END AS digits FROM moves)
            )
        );
        DROP TABLE moves;
        ALTER TABLE moves_coded RENAME TO moves;
        CREATE INDEX moves_netuid ON moves (netuid, at);
        """,
        "postgres": """
        CREATE TABLE moves_coded (
            at INTEGER NOT NULL,
            seq INTEGER NOT NULL,
            netuid TEXT COLLATE "C" NOT NULL,
            burn TEXT,
            PRIMARY KEY (at, seq, netuid)
        );
        INSERT INTO moves_coded SELECT at, row_number() OVER (PARTITION BY at ORDER BY ctid), netuid, burn FROM moves;
        DROP TABLE moves;
        ALTER TABLE moves_coded RENAME TO moves;
        CREATE INDEX moves_netuid ON moves (netuid, at);
        """,
    },
    """
    -- every monitor that shares the database, as it last wrote itself
    CREATE TABLE monitors (
        id TEXT PRIMARY KEY,         -- host:pid
        host TEXT NOT NULL,
        pid INTEGER NOT NULL,
        role TEXT NOT NULL,          -- active or standby
        seen REAL NOT NULL,          -- Unix time of its last cycle or standby poll
        started REAL NOT NULL
    ) WITHOUT ROWID
    """,
    """
    -- A cycle writes one row for a subnet that moved: the map is the polls' record of the subnets
    -- the last poll listed, and a destination's baseline is kept in baselines only where it
    -- differs from the polls' record (with one destination, never). A subnet a destination does
    -- not know is kept as gone to it: listed again, it is new to it.
    UPDATE subnets SET missing = 1 WHERE missing = 0 AND netuid NOT IN (SELECT netuid FROM burn_map);
    UPDATE subnets SET missing = 0, last_rate = (SELECT burn FROM burn_map m WHERE m.netuid = subnets.netuid)
        WHERE netuid IN (SELECT netuid FROM burn_map);
    INSERT INTO subnets (netuid, baseline, last_rate)
        SELECT netuid, burn, burn FROM burn_map WHERE netuid NOT IN (SELECT netuid FROM subnets);
    DROP TABLE burn_map;
    -- the destinations that compared a poll: one without a row here knows no subnet yet
    CREATE TABLE destinations (destination TEXT PRIMARY KEY) WITHOUT ROWID;
    INSERT INTO destinations SELECT DISTINCT destination FROM baselines;
    INSERT INTO baselines SELECT d.destination, s.netuid, s.baseline, 1 FROM destinations d, subnets s
        WHERE NOT EXISTS (SELECT 1 FROM baselines b WHERE b.destination = d.destination AND b.netuid = s.netuid);
    DELETE FROM baselines WHERE EXISTS (
        SELECT 1 FROM subnets s WHERE s.netuid = baselines.netuid AND s.baseline = baselines.baseline
            AND s.gone = baselines.gone
    );
    """,
)
# The version from which the history is coded, wherever its migration stands in the list.
CODED_HISTORY = 1 + next(i for i, script in enumerate(MIGRATIONS) if "moves_coded" in str(script))
HEADER = b"SQLite format 3\x00"
HISTORY_SCHEMA = 4  # the first version that holds the history
GAP_INTERVALS = 3  # a gap between good polls longer than this many intervals is shown
DAY = 86400
DATABASE_ERRORS = (sqlite3.Error, DatabaseFailure)  # what either engine raises
Change = tuple[str, str, str]  # subnet id, old rate text, new rate text
R = TypeVar("R", bound=tuple[object, ...])  # a row's columns after its key


class Subnet(NamedTuple):  # a tuple: a cycle makes one for every subnet that moved, 10 000 at most
    baseline: str  # the rate last reported, or the first one seen
    last_rate: str  # the rate of the last poll that listed it
    missing: int = 0  # polls in a row that did not list it
    gone: bool = False  # reported as gone


@dataclass(frozen=True)
class Move:
    at: int
    netuid: str
    old: str | None
    new: str | None  # None: the subnet left the listing
    first: bool  # nothing was recorded for the subnet before


@dataclass(frozen=True)
class Outcome:
    """What a cycle (or a snapshot) did, for what follows it."""

    at: str  # its time stamp
    stored: Mapping[str, str] | None = None  # the map it stored; None when the listing failed
    alerted: Sequence[Change] = ()  # the changes whose alert it delivered
    cycle: bool = True  # a watch cycle, not a snapshot
    moved: int = 0  # watched subnets that moved (alerted, queued or held)


@dataclass(frozen=True)
class LastCycle:
    """The last cycle as `status` shows it."""

    at: float  # Unix time of its end
    result: str  # ok, failed or error
    seconds: float
    subnets: int | None
    moved: int
    why: str  # why it failed, in words


@dataclass(frozen=True)
class Streak:
    """Failed cycles in a row, whether the chat was told, and since when they fail."""

    failures: int = 0
    told: bool = False
    since: str = ""


@dataclass(frozen=True)
class Piece:
    id: int
    cycle_at: str
    piece: int
    pieces: int
    body: str
    queued_at: float
    attempts: int
    last_error: str | None
    tried_since: float | None = None  # boot clock of the first failed attempt
    tried_last: float | None = None  # and of the last
    tried_boot: str | None = None  # the boot that clock belongs to
    destination: str = "telegram"
    event: str = "changes"
    changes: tuple[Change, ...] = ()  # the alert's changes, for a destination that takes them as data

    @property
    def tried_for(self) -> float:
        """Seconds between the first and the last failed attempt of this boot."""
        return (self.tried_last or 0.0) - (self.tried_since or 0.0)

    @property
    def label(self) -> str:
        return f"{self.cycle_at}, piece {self.piece}/{self.pieces}, attempts {self.attempts}"


@dataclass(frozen=True)
class Queued:
    """Where and as what a text is queued."""

    destination: str
    cycle_at: str
    event: str = "changes"


_PIECE = (
    "id, cycle_at, piece, pieces, body, queued_at, attempts, last_error, tried_since, tried_last, tried_boot,"
    " destination, event, changes"
)


def _polled(records: Mapping[str, Mapping[str, Subnet]]) -> Mapping[str, Subnet]:
    """The polls' own columns of every subnet any destination knows: a destination new to the
    database knows only the last poll's, so where they differ the longer absence is the true one.
    With one destination, its records are the polls' (the same mapping)."""
    if len(records) == 1:
        return next(iter(records.values()))
    merged: dict[str, Subnet] = {}
    for subnets in records.values():
        for netuid, subnet in subnets.items():
            if netuid not in merged or subnet.missing > merged[netuid].missing:
                merged[netuid] = subnet
    return merged


def _as_joined(subnets: Mapping[str, Subnet], polled: Mapping[str, Subnet]) -> Mapping[str, Subnet]:
    """A destination's records as the database gives them back: the polls' own columns from the
    merged records (the same objects where they agree), and the polls' record of a subnet it
    keeps none of."""
    if subnets is polled:
        return subnets
    joined = _unknown(subnets, polled)
    for netuid, subnet in subnets.items():
        p = polled[netuid]
        same = p is subnet or (p.last_rate, p.missing) == (subnet.last_rate, subnet.missing)
        joined[netuid] = subnet if same else Subnet(subnet.baseline, p.last_rate, p.missing, subnet.gone)
    return joined


def _own(subnets: Mapping[str, Subnet], polled: Mapping[str, Subnet]) -> dict[str, tuple[str, bool]]:
    """A destination's baseline and gone flag where they are not the polls' record's."""
    if subnets is polled:
        return {}
    own = {
        n: (s.baseline, s.gone)
        for n, s in subnets.items()
        if (p := polled[n]) is not s and (p.baseline != s.baseline or p.gone != s.gone)
    }
    own.update((n, (s.baseline, s.gone)) for n, s in _unknown(subnets, polled).items())
    return own


def _unknown(subnets: Mapping[str, Subnet], polled: Mapping[str, Subnet]) -> dict[str, Subnet]:
    """The polls' subnets a destination does not know, as it keeps them: gone to it, so that
    listed again they are new to it, and silent while they are not."""
    if len(subnets) == len(polled):
        return {}
    return {n: p._replace(gone=True) for n, p in polled.items() if n not in subnets}


def listed(known: Mapping[str, Subnet], burns: Mapping[str, str]) -> dict[str, Subnet]:
    """Records after a listing that compares nothing (a snapshot): a subnet listed takes its
    rate as its baseline; one not listed missed one more poll."""
    missed = {n: s._replace(missing=s.missing + 1) for n, s in known.items() if n not in burns}
    return {**missed, **{n: Subnet(rate, rate) for n, rate in burns.items()}}


def _changes(text: str | None) -> tuple[Change, ...]:
    try:
        return tuple((str(n), str(o), str(w)) for n, o, w in json.loads(text)) if text else ()
    except (ValueError, TypeError):
        return ()


@dataclass(frozen=True)
class Monitor:
    """A monitor sharing the database, as it last wrote itself."""

    host: str
    pid: int
    role: str  # active or standby
    seen: float  # Unix time
    started: float


MONITOR_KEPT = 7 * DAY  # a monitor not seen for this long is forgotten
# What `db copy` copies, every table but the monitors' rows.
COPIED = (
    "settings",
    "subnets",
    "destinations",
    "baselines",
    "held",
    "mutes",
    "polls",
    "moves",
    "recorded",
    "outbox",
)


class Store:
    def __init__(
        self, path: str, read_only: bool = False, password: str = "", session: engines.Engine | None = None
    ) -> None:
        """`path` is a SQLite file or a PostgreSQL URL (engines.is_postgres); `read_only` reads
        beside a running monitor, and changes nothing. `session`: another store's, shared."""
        self.path = path
        self._password = password
        self._owns = session is None
        self._kept_subnets: dict[str, Mapping[str, Subnet]] = {}
        self._kept_polled: Mapping[str, Subnet] | None = None
        self._kept_map: dict[str, str] | None = None
        self._kept_own: dict[str, dict[str, tuple[str, bool]]] = {}
        self._kept_known: set[str] | None = None
        self.setting = engines.setting(path)
        try:
            self._db: engines.Engine = session or (
                engines.Postgres(path, password, read_only)
                if engines.is_postgres(path)
                else engines.Sqlite(path, read_only)
            )
            self.shared = self._db.shared
            self._plain = self._db.shared  # PostgreSQL keeps the history's texts as they are
            if not read_only and self._owns:
                self._migrate()
        except DATABASE_ERRORS as e:  # busy, locked, I/O, full, unreachable: a restart may succeed
            raise Failed(f"{self.setting}: cannot use {engines.shown(path)} ({e})") from None

    def close(self) -> None:
        if self._owns:
            self._db.close()

    def for_thread(self) -> Store:
        """A store for another thread: its own connection to a SQLite file; on a shared database
        this same session, whose statements and transactions take turns, so that every write of
        this monitor goes through the session that holds the lock."""
        if self.shared:
            return Store(self.path, session=self._db)
        return Store(self.path, password=self._password)

    # --- the active monitor and its standbys ---

    def lead(self) -> bool:
        """Whether this monitor acts for the database: always on SQLite, whose file lock elected
        it; on a shared one when its session holds the lock or takes it now. What it noted of the
        database before is forgotten: another monitor may have written since."""
        if self._db.leading_noted():
            return True
        self._forget_kept()
        return self._db.lead()

    def leading(self) -> bool:
        """Whether this monitor still acts, asked of the server: checked before each send."""
        return self._db.leading()

    def leading_noted(self) -> bool:
        """Whether this monitor still acts, as its session last knew (no statement)."""
        return self._db.leading_noted()

    def note_monitor(self, role: str, started: float) -> None:
        """This monitor's row, written on every cycle and standby poll; monitors long gone are
        forgotten."""
        host, pid, now = socket.gethostname(), os.getpid(), time.time()
        with self._transaction() as db:
            db.execute(
                "INSERT OR REPLACE INTO monitors VALUES (?, ?, ?, ?, ?, ?)",
                (f"{host}:{pid}", host, pid, role, now, started),
            )
            db.execute("DELETE FROM monitors WHERE seen < ?", (now - MONITOR_KEPT,))

    def holder(self) -> int | None:
        """On a shared database, the server process of the session that acts for it, if any."""
        return self._db.holder()

    def size(self) -> int | None:
        """A shared database's size in bytes (a SQLite file's is read from its files)."""
        return self._db.size()

    # --- moving to another database ---

    def copy_to(self, target: Store) -> dict[str, int]:
        """Copies everything but the monitors' rows into an empty database of the same schema, as
        one transaction; the rows copied, by table. The outbox and the held changes keep their
        order under the target's own ids; the history is coded as the target codes it."""
        if target.version() != self.version():
            raise Failed(f"the target is at schema {target.version()}, not {self.version()}")
        if any(target._rows(t) for t in COPIED):
            raise Failed(f"{engines.shown(target.path)} is not empty: copy only into a new database")
        copied = {}
        with target.transaction():
            for table in COPIED:
                columns = [d[0] for d in self._db.execute(f"SELECT * FROM {table} LIMIT 0").description or ()]
                kept = [c for c in columns if c != "id"]  # the target numbers them, in the same order
                order = " ORDER BY id" if "id" in columns else ""
                rows = self._db.execute(f"SELECT {', '.join(kept)} FROM {table}{order}").fetchall()
                if table == "settings":
                    rows = [r for r in rows if r[0] != "schema_version"]
                if table == "moves":
                    rows = self._recoded(rows, target._plain)
                marks = ", ".join("?" * len(kept))
                target.executemany(f"INSERT INTO {table} ({', '.join(kept)}) VALUES ({marks})", rows)
                copied[table] = len(rows)
        return copied

    def _rows(self, table: str) -> int:
        extra = " WHERE key <> 'schema_version'" if table == "settings" else ""
        return int(self._db.execute(f"SELECT count(*) FROM {table}{extra}").fetchone()[0])

    def _recoded(
        self, rows: Sequence[tuple[int, int, coding.Id, coding.Burn]], plain: bool
    ) -> list[tuple[object, ...]]:
        """The history's rows, read in their order and coded as the target codes them."""
        polls: dict[int, list[tuple[str, str | None]]] = {}
        ordered = sorted(rows, key=lambda r: (r[0], r[1], coding.id_order(r[2])))
        for at, _, code, burn in ordered:
            polls.setdefault(at, []).append((coding.id_text(code), coding.burn_text(burn)))
        return [row for at, moved in polls.items() for row in coding.poll_rows(at, 0, moved, plain)]

    def monitors(self) -> list[Monitor]:
        if self.version() < len(MIGRATIONS):
            return []
        rows = self._db.execute("SELECT host, pid, role, seen, started FROM monitors ORDER BY seen DESC")
        return [Monitor(h, int(p), r, float(s), float(t)) for h, p, r, s, t in rows]

    def version(self) -> int:
        return self._db.version()

    def _migrate(self) -> None:
        version = self.version()
        if version > len(MIGRATIONS):
            raise ConfigError(f"{self.setting}: {engines.shown(self.path)} is from a newer ashvigil (schema {version})")
        for target in range(version + 1, len(MIGRATIONS) + 1):
            with self._transaction():
                self._db.serialize_migrations()
                if self.version() >= target:  # another monitor did it meanwhile
                    continue
                for statement in _statements(self._db.schema(script_for(MIGRATIONS[target - 1], self._db.name))):
                    self._db.execute(statement)
                self._db.set_version(target)

    def claim(self, chats: Sequence[str], state_path: str) -> str:
        """Records the owning state file, and on first use the first of the Telegram chats it
        delivers to; ConfigError when the chat it recorded is none of them. The chat recorded."""
        try:
            recorded = self.get("chat_id")
            if not chats:  # no Telegram chat: nothing of another one's is sent to it
                self.put(state_path=os.path.realpath(state_path))
                return recorded
            if recorded in ("", *chats):
                self.put(chat_id=recorded or chats[0], state_path=os.path.realpath(state_path))
                return recorded or chats[0]
        except DATABASE_ERRORS as e:
            raise Failed(f"{self.setting}: cannot use {engines.shown(self.path)} ({e})") from None
        raise ConfigError(
            f"{self.setting}: {engines.shown(self.path)} delivers to chat {recorded}, not ASHVIGIL_CHAT_ID {chats[0]}:"
            " give this chat a database of its own (ASHVIGIL_DB_PATH), or after a deliberate change run"
            " `ashvigil outbox --drop` (it drops the pending pieces)"
        )

    def adopt(self, old: str, new: str) -> bool:
        """Hands a destination's pieces, baselines and held changes to another name, when that
        name has none of its own yet; whether it did."""
        tables = ("outbox", "destinations", "baselines", "held")
        self._forget_kept()
        with self._transaction() as db:
            query = " UNION ALL ".join(f"SELECT 1 FROM {t} WHERE destination = ?" for t in tables)
            if db.execute(query, (new,) * len(tables)).fetchone() is not None:
                return False
            moved = sum(
                db.execute(f"UPDATE {t} SET destination = ? WHERE destination = ?", (new, old)).rowcount for t in tables
            )
            return moved > 0

    def forget_chat(self) -> None:
        """After the operator dropped the outbox: the next monitor records its own chat."""
        self._db.execute("DELETE FROM settings WHERE key = 'chat_id'")

    def verify(self) -> None:
        """Reads every page (SQLite's quick_check) and every table; a database error when damaged."""
        self._db.verify()
        for table in self._db.tables():
            quoted = table.replace('"', '""')
            self._db.execute(f'SELECT count(*) FROM "{quoted}"').fetchone()

    def transaction(self) -> AbstractContextManager[Store]:
        """One write transaction, rolled back when the block raises; the store's writes inside it
        are part of it."""
        return self._transaction()

    @contextmanager
    def _transaction(self) -> Iterator[Store]:
        """Inside another transaction, part of it: several writes commit as one."""
        if self._db.in_transaction:
            yield self
            return
        self._db.begin()
        try:
            yield self
        except BaseException:
            self._forget_kept()  # what the rolled-back writes noted is not what the database holds
            self._db.end(commit=False)
            raise
        try:
            self._db.end(commit=True)
        except BaseException:
            self._forget_kept()
            raise

    def execute(self, sql: str, params: Sequence[object] = ()) -> engines.Cursor:
        return self._db.execute(sql, params)

    def executemany(self, sql: str, rows: Iterable[Sequence[object]]) -> None:
        self._db.executemany(sql, rows)

    # --- the burn map ---

    def save_map(
        self,
        burns: Mapping[str, str],
        updated_at: str,
        records: Mapping[str, Mapping[str, Subnet]] | None = None,
        hold: Sequence[tuple[str, Change]] = (),
        release_held: Iterable[str] = (),
    ) -> None:
        """Commits, as one, a cycle's new map (marked as not yet in the state file), the subnets'
        records of each destination given (with none, the polls' record takes the listing), the
        changes it holds for after a destination's quiet hours, and the release of the
        destinations' held changes merged into their alerts. The cycle writes it ahead of the
        state file, with its alerts' pieces."""
        records = records or {}
        polled = _polled(records) if records else listed(self.polled(), burns)
        with self._transaction() as db:
            self._keep_others(records.keys(), self.polled(), polled)
            self._write_changed("subnets", polled, self.polled())  # a bool is written as 0 or 1
            for destination, subnets in records.items():
                self._know(destination)
                own = _own(subnets, polled)
                self._write_changed("baselines", own, self._own(destination), destination)
                self._kept_own[destination] = own
                self._kept_subnets[destination] = _as_joined(subnets, polled)
            self._kept_polled = polled
            db.executemany("DELETE FROM held WHERE destination = ?", [(d,) for d in release_held])
            db.executemany(
                "INSERT INTO held (cycle_at, netuid, old, new, destination) VALUES (?, ?, ?, ?, ?)",
                [(updated_at, *c, d) for d, c in hold],
            )
            self._kept_map = dict(burns)
            db.executemany(
                "INSERT OR REPLACE INTO settings VALUES (?, ?)", [("map_updated_at", updated_at), ("map_in_state", "0")]
            )

    # What this connection last wrote or read of the tables a cycle rewrites, so that a cycle
    # writes only the rows that changed. Only the monitor holding the database writes them; a
    # rollback forgets it all.

    def _write_changed(self, table: str, rows: Mapping[str, R], before: Mapping[str, R], *key: str) -> None:
        """The rows (a key's columns, in table order) that are not as `before` had them."""
        where = "destination = ? AND netuid = ?" if key else "netuid = ?"
        gone = [(*key, n) for n in before.keys() - rows.keys()]
        if gone:
            self._db.executemany(f"DELETE FROM {table} WHERE {where}", gone)
        if not rows:
            return
        width = len(key) + 1 + len(next(iter(rows.values())))
        # Rows made as they are written, and freed: 10 000 of them kept at once woke the garbage
        # collector some forty times a cycle.
        changed = ((*key, n, *row) for n, row in rows.items() if (old := before.get(n)) is not row and old != row)
        self._db.executemany(f"INSERT OR REPLACE INTO {table} VALUES ({', '.join('?' * width)})", changed)

    def _keep_others(self, given: Iterable[str], before: Mapping[str, Subnet], after: Mapping[str, Subnet]) -> None:
        """A destination whose records are not given (a snapshot it is not shown) keeps its
        baselines where the polls' record moves from under them, and knows no subnet that is new
        to the polls."""
        for destination in self._known() - set(given):
            own = self._own(destination)
            moved = {n: (q.baseline, True) for n, q in after.items() if n not in before}
            moved.update(
                (n, (p.baseline, p.gone))
                for n, p in before.items()
                if n not in own and (q := after.get(n)) is not None and (q.baseline, q.gone) != (p.baseline, p.gone)
            )
            if moved:
                kept = {**own, **moved}
                self._write_changed("baselines", kept, own, destination)
                self._kept_own[destination] = kept
            self._kept_subnets.pop(destination, None)

    def last_map(self) -> Mapping[str, str]:
        """The map this monitor last wrote or read: its own cycle's baseline, never changed by
        the caller."""
        if self._kept_map is None:
            self._kept_map = self.burn_map()
        return self._kept_map

    def _know(self, destination: str) -> None:
        """Notes that a destination compared a poll: from now on it knows every subnet."""
        if destination not in self._known():
            self._db.execute(
                "INSERT INTO destinations SELECT ? WHERE NOT EXISTS (SELECT 1 FROM destinations WHERE destination = ?)",
                (destination, destination),
            )
            self._known().add(destination)

    def _known(self) -> set[str]:
        if self._kept_known is None:
            self._kept_known = {d for (d,) in self._db.execute("SELECT destination FROM destinations")}
        return self._kept_known

    def _own(self, destination: str) -> dict[str, tuple[str, bool]]:
        """A destination's rows of baselines: where its baseline or gone flag is not the polls'."""
        if destination not in self._kept_own:
            query = "SELECT netuid, baseline, gone FROM baselines WHERE destination = ?"
            rows = self._db.execute(query, (destination,))
            self._kept_own[destination] = {n: (b, bool(g)) for n, b, g in rows}
        return self._kept_own[destination]

    def _forget_kept(self) -> None:
        self._kept_subnets = {}
        self._kept_polled = None
        self._kept_map = None
        self._kept_own = {}
        self._kept_known = None

    def map_in_state(self) -> None:
        """The state file now holds the map too. Lost in a power cut, the next cycle compares with
        the database's copy of the same map."""
        self._db.execute_unsynced("INSERT OR REPLACE INTO settings VALUES ('map_in_state', '1')")

    def state_holds_map(self) -> bool:
        """Whether the state file is known to hold the last map written ahead."""
        return self.get("map_in_state", "1") == "1"

    def burn_map(self) -> dict[str, str]:
        """The last map written ahead: the rates of the subnets the last poll listed."""
        return dict(self._db.execute("SELECT netuid, last_rate FROM subnets WHERE missing = 0"))

    def subnets(self, destination: str) -> Mapping[str, Subnet]:
        """Each subnet's record as a destination knows it: its own baseline and gone flag where
        it keeps one, else the polls'; a destination that never compared a poll knows nothing
        yet. Kept for the next call: the caller does not change it."""
        if destination not in self._kept_subnets:
            if destination not in self._known():
                return {}
            rows = self._db.execute(
                "SELECT s.netuid, coalesce(b.baseline, s.baseline), s.last_rate, s.missing, coalesce(b.gone, s.gone)"
                " FROM subnets s LEFT JOIN baselines b ON b.destination = ? AND b.netuid = s.netuid",
                (destination,),
            )
            self._kept_subnets[destination] = {n: Subnet(b, r, m, bool(g)) for n, b, r, m, g in rows}
        return self._kept_subnets[destination]

    def polled(self) -> Mapping[str, Subnet]:
        """Every subnet as the polls left it, whichever destination knows it. Kept, as subnets()."""
        if self._kept_polled is None:
            rows = self._db.execute("SELECT netuid, baseline, last_rate, missing, gone FROM subnets")
            self._kept_polled = {n: Subnet(b, r, m, bool(g)) for n, b, r, m, g in rows}
        return self._kept_polled

    def known(self, netuid: str) -> bool:
        """Whether a poll ever listed the subnet."""
        return self._db.execute("SELECT 1 FROM subnets WHERE netuid = ?", (netuid,)).fetchone() is not None

    def held(self, destination: str) -> list[Change]:
        query = "SELECT netuid, old, new FROM held WHERE destination = ? ORDER BY id"
        return [(n, o, w) for n, o, w in self._db.execute(query, (destination,))]

    def queue(
        self, queued: Queued, bodies: Sequence[str], queued_at: float, changes: Sequence[Change] = ()
    ) -> list[int]:
        """Appends a text's pieces for one destination to the outbox; their ids, in order."""
        kept = json.dumps([list(c) for c in changes]) if changes else None
        with self._transaction():
            return [
                self._db.insert(
                    "INSERT INTO outbox (cycle_at, piece, pieces, body, queued_at, destination, event, changes)"
                    " VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                    (queued.cycle_at, k, len(bodies), body, queued_at, queued.destination, queued.event, kept),
                )
                for k, body in enumerate(bodies, 1)
            ]

    def get(self, key: str, default: str = "") -> str:
        row = self._db.execute("SELECT value FROM settings WHERE key = ?", (key,)).fetchone()
        return default if row is None else str(row[0])

    def put(self, **values: str | int) -> None:
        with self._transaction() as db:
            db.executemany("INSERT OR REPLACE INTO settings VALUES (?, ?)", [(k, str(v)) for k, v in values.items()])

    # --- what the command remembers between cycles ---

    def streak(self) -> Streak:
        return Streak(int(self.get("failures", "0")), self.get("failure_told") == "1", self.get("failing_since"))

    def save_streak(self, streak: Streak) -> None:
        self.put(failures=streak.failures, failure_told=int(streak.told), failing_since=streak.since)

    def last_cycle(self) -> LastCycle | None:
        text = self.get("last_cycle")
        try:
            return LastCycle(**json.loads(text)) if text else None
        except (ValueError, TypeError):
            return None

    def save_last_cycle(self, cycle: LastCycle) -> None:
        self.put(last_cycle=json.dumps(dataclasses.asdict(cycle)))

    def next_poll(self) -> float | None:
        text = self.get("next_poll")
        return float(text) if text else None

    def save_next_poll(self, at: float | None) -> None:
        self.put(next_poll="" if at is None else repr(at))

    def request_drop(self) -> float:
        """`outbox --drop` beside a running monitor: the request's time, which the answer repeats."""
        asked = time.time()
        self.put(drop_requested=repr(asked))
        return asked

    def drop_requested(self) -> float | None:
        text = self.get("drop_requested")
        return float(text) if text else None

    def answer_drop(self, asked: float) -> None:
        with self._transaction():
            self.put(drop_requested="", drop_answered=repr(asked))

    def drop_answered(self, asked: float) -> bool:
        text = self.get("drop_answered")
        return bool(text) and float(text) >= asked

    def bot_offset(self, bot: str) -> int:
        """The next update of a bot (its numeric id): committed before an update is answered, never
        answered twice. Another bot starts from its own."""
        keyed = self.get(f"bot_offset:{bot}")
        if keyed:
            return int(keyed)
        # Kept before offsets were kept per bot: the bot of then is this one when none other was noted.
        return int(self.get("bot_offset", "0")) if not self.get("bot") else 0

    def save_bot_offset(self, bot: str, offset: int) -> None:
        values: dict[str, str | int] = {f"bot_offset:{bot}": offset, "bot": bot}
        self.put(**values)

    def digest_due(self) -> int | None:
        """The scheduled moment of the last daily digest queued (or noted)."""
        text = self.get("digest_due")
        return int(float(text)) if text else None

    def save_digest_due(self, due: int) -> None:
        self.put(digest_due=due)

    def mutes(self, now: float) -> dict[str, float]:
        """Subnets muted from the chat, and until when."""
        return dict(self._db.execute("SELECT netuid, until FROM mutes WHERE until > ? ORDER BY until", (now,)))

    def mute(self, netuid: str, until: float | None) -> None:
        """Mutes until then; None unmutes."""
        with self._transaction() as db:
            db.execute("DELETE FROM mutes WHERE netuid = ?", (netuid,))
            if until is not None:
                db.execute("INSERT INTO mutes VALUES (?, ?)", (netuid, until))

    # --- the outbox ---

    def pending(self) -> list[Piece]:
        """Undelivered pieces, oldest first."""
        rows = self._db.execute(f"SELECT {_PIECE} FROM outbox ORDER BY id").fetchall()
        return [dataclasses.replace(Piece(*row[:13]), changes=_changes(row[13])) for row in rows]

    def delivered(self, piece: Piece) -> None:
        self._db.execute("DELETE FROM outbox WHERE id = ?", (piece.id,))

    def failed(self, piece: Piece, error: str, boot: str, clock: float) -> None:
        """One more failed attempt; the first on this boot starts the piece's tried time."""
        self._db.execute(
            "UPDATE outbox SET attempts = attempts + 1, last_error = ?,"
            " tried_since = CASE WHEN tried_boot = ? THEN tried_since ELSE ? END, tried_last = ?, tried_boot = ?"
            " WHERE id = ?",
            (error, boot, clock, clock, boot, piece.id),
        )

    def drop(self, pieces: Sequence[Piece]) -> None:
        with self._transaction() as db:
            db.executemany("DELETE FROM outbox WHERE id = ?", [(p.id,) for p in pieces])
            counts = Counter(p.destination for p in pieces)
            dropped = self.dropped()
            db.executemany(
                "INSERT OR REPLACE INTO settings VALUES (?, ?)",
                [("alerts_dropped", str(self.dropped_total() + len(pieces)))]
                + [(f"alerts_dropped:{name}", str(dropped.get(name, 0) + n)) for name, n in counts.items()],
            )

    def dropped_total(self) -> int:
        return int(self.get("alerts_dropped", "0"))

    def dropped(self) -> dict[str, int]:
        """Pieces dropped by destination; those dropped before destinations were counted are the
        one chat's of then."""
        rows = self._db.execute("SELECT key, value FROM settings WHERE key LIKE 'alerts_dropped:%'")
        found = {key.partition(":")[2]: int(value) for key, value in rows}
        earlier = self.dropped_total() - sum(found.values())
        if earlier > 0:
            found["telegram"] = found.get("telegram", 0) + earlier
        return found

    # --- the history of the rates ---

    def record_poll(self, burns: Mapping[str, str], at: int, keep_days: float) -> None:
        """One good poll and the burn texts that differ from the last recorded ones, in one
        transaction; prunes when the last pruning is a day old, keeping each subnet's latest."""
        with self._transaction() as db:
            last: dict[str, str | None] = dict(db.execute("SELECT netuid, burn FROM recorded"))
            moved: list[tuple[str, str | None]] = [(n, b) for n, b in burns.items() if n not in last or last[n] != b]
            moved += [(n, None) for n, b in last.items() if b is not None and n not in burns]
            seq = db.execute("SELECT coalesce(max(seq) + 1, 0) FROM moves WHERE at = ?", (at,)).fetchone()[0]
            db.executemany("INSERT INTO moves VALUES (?, ?, ?, ?)", coding.poll_rows(at, seq, moved, self._plain))
            db.executemany("INSERT OR REPLACE INTO recorded VALUES (?, ?)", moved)
            db.execute("INSERT INTO polls VALUES (?, 1, ?)", (at, len(burns)))
            pruned = self.get("history_pruned_at")
            if not pruned or at - float(pruned) >= DAY:
                cutoff = at - keep_days * DAY
                db.execute("DELETE FROM polls WHERE at < ?", (cutoff,))
                db.execute(
                    "DELETE FROM moves WHERE at < ? AND EXISTS (SELECT 1 FROM moves AS later"
                    " WHERE later.netuid = moves.netuid AND later.at >= moves.at"
                    " AND (later.at, later.seq) > (moves.at, moves.seq))",
                    (cutoff,),
                )
                self.put(history_pruned_at=at)

    def record_failed_poll(self, at: int) -> None:
        self._db.execute("INSERT INTO polls VALUES (?, 0, NULL)", (at,))

    def has_history(self) -> bool:
        return self.version() >= HISTORY_SCHEMA

    def moves(self, since: int | None = None, netuids: Iterable[str] | None = None) -> list[Move]:
        """The recorded moves from `since` on, in time order, each with the text it replaced.
        Read by time for every subnet, or subnet by subnet for a few; the move before the window
        is one seek per subnet in it."""
        start = since or 0
        if netuids:
            rows = [
                row
                for n in sorted(set(netuids))
                for row in self._db.execute(
                    "SELECT at, seq, netuid, burn FROM moves WHERE netuid = ? AND at >= ? ORDER BY at, seq",
                    (self._id(n), start),
                )
            ]
            rows.sort(key=lambda r: (r[0], r[1], coding.id_order(r[2])))
        else:
            rows = self._db.execute(
                "SELECT at, seq, netuid, burn FROM moves WHERE at >= ? ORDER BY at, seq, netuid", (start,)
            ).fetchall()
        last = self._latest_before(start, {r[2] for r in rows}) if start else {}
        found = []
        for at, _, code, burn in rows:
            first = code not in last
            old = None if first else coding.burn_text(last[code])
            found.append(Move(at, coding.id_text(code), old, coding.burn_text(burn), first))
            last[code] = burn
        return found

    def burns_before(self, at: int, netuids: Iterable[str]) -> dict[str, str | None]:
        """Each subnet's burn text as last recorded before `at` (absent when none was)."""
        found = self._latest_before(at, [self._id(n) for n in netuids])
        return {coding.id_text(code): coding.burn_text(burn) for code, burn in found.items()}

    def _id(self, netuid: str) -> coding.Id:
        return netuid if self._plain else coding.id_code(netuid)

    def _latest_before(self, at: int, codes: Iterable[coding.Id]) -> dict[coding.Id, coding.Burn]:
        found: dict[coding.Id, coding.Burn] = {}
        for code in codes:
            row = self._db.execute(
                "SELECT burn FROM moves WHERE netuid = ? AND at < ? ORDER BY at DESC, seq DESC LIMIT 1", (code, at)
            ).fetchone()
            if row is not None:
                found[code] = row[0]
        return found

    def first_poll(self) -> int | None:
        row = self._db.execute("SELECT min(at) FROM polls").fetchone()
        return None if row is None or row[0] is None else int(row[0])

    def polls(self, since: int | None = None) -> list[tuple[int, bool]]:
        rows = self._db.execute("SELECT at, ok FROM polls WHERE at >= ? ORDER BY at, rowid", (since or 0,))
        return [(at, bool(ok)) for at, ok in rows]


@dataclass(frozen=True)
class Gap:
    start: int  # the last good poll before it
    end: int  # the next good poll
    failed: int  # cycles that failed in between


def gaps(recorded: Sequence[tuple[int, bool]], interval_seconds: float) -> list[Gap]:
    """Stretches between two good polls longer than GAP_INTERVALS intervals."""
    found, last_ok, failed = [], None, 0
    for at, ok in recorded:
        if not ok:
            failed += 1
            continue
        if last_ok is not None and at - last_ok > GAP_INTERVALS * interval_seconds:
            found.append(Gap(last_ok, at, failed))
        last_ok, failed = at, 0
    return found


@dataclass(frozen=True)
class Database:
    """Where the store is: a SQLite file, or a PostgreSQL URL and its password."""

    target: str
    password: str = ""

    @property
    def shared(self) -> bool:
        return engines.is_postgres(self.target)

    @property
    def shown(self) -> str:
        return engines.shown(self.target)

    @property
    def setting(self) -> str:
        return engines.setting(self.target)

    def exists(self) -> bool:
        """Whether there may be something to read: a shared database always may."""
        return self.shared or os.path.exists(self.target)

    def open(self, read_only: bool = False) -> Store:
        return Store(self.target, read_only, self.password)


def open_history(database: Database) -> Store | None:
    """The database read-only beside a running monitor; None when it holds no history yet."""
    if not database.exists():
        return None
    store = database.open(read_only=True)
    if store.has_history() and store.version() < CODED_HISTORY:  # a reader never converts it
        store.close()
        raise Failed(f"{database.shown} holds the history as an older ashvigil wrote it: `ashvigil once` converts it")
    if store.has_history():
        return store
    store.close()
    return None


def unreadable(path: str) -> str:
    """Why an existing database file cannot be one ("empty" or "not a database"); "" when it may."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        with os.fdopen(fd, "rb") as f:
            header = f.read(len(HEADER))
    except OSError:
        return ""  # cannot tell: SQLite's own open says why
    if not header:
        return "empty"
    return "" if header == HEADER else "not a database"


def recorded_owner(path: str) -> str:
    """The state file a database records as its owner; "" when none, or when it cannot be read
    (opening it then refuses it, or sets it aside, out loud)."""
    try:
        for name in (path, *(path + s for s in engines.SIBLINGS)):
            require_regular_or_absent(name, "ASHVIGIL_DB_PATH")  # a FIFO would hang the open
        with contextlib.closing(Store(path, read_only=True)) as store:
            return store.get("state_path")
    except (ConfigError, Failed, *DATABASE_ERRORS):
        return ""


def script_for(migration: str | Mapping[str, str], engine: str) -> str:
    return migration if isinstance(migration, str) else migration[engine]


def _statements(script: str) -> list[str]:
    return [s.strip() for s in script.split(";") if s.strip()]
