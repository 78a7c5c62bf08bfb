"""A real PostgreSQL server on 127.0.0.1, from Debian's `postgresql` package (the newest version in
/usr/lib/postgresql/*/bin), its cluster made by initdb in a temporary folder that also holds its
socket. The server refuses to run as root, so under root the folder belongs to the `postgres` user
the package creates and the server's programs run as that user.

The superuser `postgres` logs in over the socket without a password; over TCP every role gives its
password (scram-sha-256). The login role `ashvigil` has a random `password` and may create databases.

    with PostgresServer() as server:
        url = server.create_database("outbox")     # postgresql://ashvigil@127.0.0.1:PORT/outbox
        server.password_file(tmp_path)             # for ASHVIGIL_DB_PASSWORD_FILE
        server.admin("SELECT pid FROM pg_stat_activity WHERE usename = 'ashvigil'")
        server.terminate(pid); server.restart()
"""

from __future__ import annotations

import glob
import os
import pathlib
import pwd
import re
import secrets
import shutil
import subprocess
import tempfile
from typing import Any

from stand_ins.server import closed_port

WAIT = 30  # seconds that pg_ctl may wait for a start or a stop
NAME = re.compile(r"^[a-z_][a-z0-9_]{0,62}$")  # a database name that needs no quoting


def find_binaries() -> pathlib.Path | None:
    """The newest installed version's bin folder that has initdb, pg_ctl and postgres."""
    found = [pathlib.Path(p) for p in glob.glob("/usr/lib/postgresql/*/bin")]
    found = [p for p in found if all((p / tool).is_file() for tool in ("initdb", "pg_ctl", "postgres"))]
    return max(found, key=lambda p: int(p.parent.name) if p.parent.name.isdigit() else 0, default=None)


class PostgresServer:
    SUPERUSER = "postgres"
    USER = "ashvigil"

    def __init__(self, binaries: pathlib.Path | None = None):
        self.bin = binaries or find_binaries()
        if self.bin is None:
            raise RuntimeError("no PostgreSQL server in /usr/lib/postgresql/*/bin (Debian's postgresql package)")
        self.password = secrets.token_hex(16)
        self.port = 0
        self.folder: pathlib.Path | None = None

    def __enter__(self) -> PostgresServer:
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    @property
    def data(self) -> pathlib.Path:
        assert self.folder is not None, "not started"
        return self.folder / "data"

    def start(self) -> None:
        """Starts the server; the first start makes the cluster and the `ashvigil` role."""
        if self.folder is not None:
            self._pg_ctl("start", "-l", str(self.folder / "server.log"))
            return
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix="ashvigil-pg-"))
        try:
            self._initialise()
            self._pg_ctl("start", "-l", str(self.folder / "server.log"))
            self.admin(f"CREATE ROLE {self.USER} LOGIN CREATEDB PASSWORD '{self.password}'")
        except BaseException:
            self.stop()
            raise

    def stop(self) -> None:
        """A fast shutdown (sessions are cut, nothing waits for them), then the folder goes."""
        if self.folder is None:
            return
        try:
            if (self.data / "postmaster.pid").exists():
                self._shutdown()
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None

    def restart(self) -> None:
        """Stops and starts the server on the same port and data: every session ends."""
        self._shutdown()
        self.start()

    def create_database(self, name: str) -> str:
        """A new empty database owned by `ashvigil`; its URL, which never carries the password."""
        if not NAME.match(name):
            raise ValueError(f"database name {name!r}: lower-case letters, digits and _")
        self.admin(f"CREATE DATABASE {name} OWNER {self.USER}")
        return f"postgresql://{self.USER}@127.0.0.1:{self.port}/{name}"

    def admin(self, sql: str, params: tuple[Any, ...] = ()) -> list[tuple[Any, ...]]:
        """Runs one statement as the superuser over the socket; its rows (none for a command)."""
        import psycopg

        assert self.folder is not None, "not started"
        with psycopg.connect(
            host=str(self.folder), port=self.port, user=self.SUPERUSER, dbname="postgres",
            autocommit=True, connect_timeout=10,
        ) as conn:  # fmt: skip
            cursor = conn.execute(sql, params or None)
            return cursor.fetchall() if cursor.description else []

    def terminate(self, pid: int) -> bool:
        """Ends one session as pg_terminate_backend does, waiting up to 5 s for it to be gone."""
        return bool(self.admin("SELECT pg_terminate_backend(%s, 5000)", (pid,))[0][0])

    def password_file(self, directory: str | os.PathLike[str]) -> pathlib.Path:
        """The `ashvigil` role's password in a file of mode 0600."""
        path = pathlib.Path(directory) / "db_password"
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(self.password + "\n")
        return path

    def _initialise(self) -> None:
        assert self.folder is not None
        if os.geteuid() == 0:
            account = pwd.getpwnam("postgres")
            os.chown(self.folder, account.pw_uid, account.pw_gid)
        self._run(
            "initdb", "-D", str(self.data), "-U", self.SUPERUSER, "--auth-local=trust",
            "--auth-host=scram-sha-256", "--encoding=UTF8", "--locale=C", "--no-instructions",
        )  # fmt: skip
        self.port = closed_port()
        settings = {
            "listen_addresses": "'127.0.0.1'",
            "port": str(self.port),
            "unix_socket_directories": f"'{self.folder}'",
            "max_connections": "50",
            "shared_buffers": "16MB",
            "logging_collector": "off",
        }
        with open(self.data / "postgresql.conf", "a") as conf:
            conf.writelines(f"{key} = {value}\n" for key, value in settings.items())

    def _shutdown(self) -> None:
        try:
            self._pg_ctl("stop", "-m", "fast")
        except (subprocess.CalledProcessError, subprocess.TimeoutExpired):
            self._pg_ctl("stop", "-m", "immediate")

    def _pg_ctl(self, action: str, *options: str) -> None:
        self._run("pg_ctl", action, "-D", str(self.data), "-w", "-t", str(WAIT), *options)

    def _run(self, tool: str, *args: str) -> None:
        """Runs one of the server's programs, as `postgres` under root; its output goes in the error."""
        assert self.bin is not None
        command = [str(self.bin / tool), *args]
        if os.geteuid() == 0:
            command = ["runuser", "-u", "postgres", "--", *command]
        # A test run under a preloaded sanitizer runtime must not hand it to the server's programs.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC") and "SAN_" not in k}
        done = subprocess.run(command, capture_output=True, text=True, timeout=WAIT + 30, cwd="/", env=env)
        if done.returncode != 0:
            log = self.folder / "server.log" if self.folder else None
            tail = log.read_text()[-2000:] if log and log.exists() else ""
            raise subprocess.CalledProcessError(done.returncode, command, done.stdout, done.stderr + tail)
