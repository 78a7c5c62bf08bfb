"""Runs the installed `ashvigil` command as a real process against the local stand-ins."""

import itertools
import os
import re
import signal
import socket
import sqlite3
import subprocess
import sysconfig
import threading
import time

COMMAND = os.path.join(sysconfig.get_path("scripts"), "ashvigil")
COMMAND_PYTHON = open(COMMAND).readline()[2:].strip()  # the interpreter the command runs in
TOKEN, API_KEY, CHAT = "123456:stand-in-token", "stand-in-key", "-1001234567890"
OURS = ("ASHVIGIL_", "TAOSTATS_", "NOTIFY_SOCKET", "XDG_STATE_HOME", "STATE_DIRECTORY")


class Services:
    """The stand-ins and the environment that points the command at them."""

    def __init__(self, api, bot, tmp_path):
        self.api, self.bot, self.tmp = api, bot, tmp_path
        self.state = tmp_path / "state" / "state.json"
        self.db = self.state.with_suffix(".db")  # the default database
        # The sanitizer run's LD_PRELOAD and friends must reach the child; our own variables must not.
        self.env = {k: v for k, v in os.environ.items() if not k.startswith(OURS)}
        self.env.update(
            TAOSTATS_API_BASE=api.origin,
            ASHVIGIL_TELEGRAM_API=bot.origin,
            TAOSTATS_API_KEY=API_KEY,
            ASHVIGIL_BOT_TOKEN=TOKEN,
            ASHVIGIL_CHAT_ID=CHAT,
            ASHVIGIL_STATE_PATH=str(self.state),
            HOME=str(tmp_path),
        )

    def database(self):
        """The command's database, for a test to look into or to break (autocommit)."""
        return sqlite3.connect(self.db, isolation_level=None)

    def run(self, *args, env=None, timeout=60):
        """The command's run; its stderr without the per-cycle lines (in `raw_stderr` with them)."""
        done = subprocess.run(
            [COMMAND, *args], env={**self.env, **(env or {})}, capture_output=True, text=True, timeout=timeout
        )
        done.raw_stderr, done.stderr = done.stderr, without_cycle_lines(done.stderr)
        return done

    def start(self, *args, env=None):
        return subprocess.Popen(
            [COMMAND, *args], env={**self.env, **(env or {})}, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
        )

    def seed_change(self, av, netuid=3, value=0.777):
        """Stores today's rates, then moves one: the next cycle has one change to report."""
        self.state.parent.mkdir(exist_ok=True)
        rates = self.state_rates = {str(r["netuid"]): av.owner_burn_from_row(r) for r in self.api.rows}
        av.save_burn_state(str(self.state), rates, "2025-01-01T00:00:00Z")
        self.api.set_incentive_burn(netuid, value)

    def sends(self):
        return [r for r in self.bot.requests if r.path.endswith("/sendMessage")]


CYCLE_LINES = re.compile(r"^\[burn\] (cycle (ok|failed|error): |cycles recovered after ).*\n", re.M)


def without_cycle_lines(text):
    """Log text without the lines every cycle writes, which tests of other lines leave aside."""
    return CYCLE_LINES.sub("", text)


def wait_until(predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached"
        time.sleep(0.02)


class NotifySocket:
    """A systemd notify socket: collects the datagrams the command sends, as systemd would, at once."""

    def __init__(self, path):
        self.path = str(path)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.messages = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        while True:
            try:
                data = self.sock.recv(4096)
            except OSError:
                return
            if not data:
                return
            self.messages.extend(data.decode().split("\n"))

    def wait_for(self, field, timeout=30.0):
        wait_until(lambda: field in self.messages, timeout)

    def close(self):
        self.sock.shutdown(socket.SHUT_RDWR)
        self.sock.close()
        self._reader.join()


def stop(process, signum=signal.SIGTERM, timeout=30):
    """Sends `signum` and waits; (status, stdout, stderr)."""
    process.send_signal(signum)
    out, err = process.communicate(timeout=timeout)
    return process.returncode, out, without_cycle_lines(err)


_sockets = itertools.count()


class Running:
    """`ashvigil ARGS` with a notify socket, started until READY=1; leaving the block stops it
    with SIGTERM and keeps `status` and `err`."""

    def __init__(self, services, *args, env=None):
        self.services, self.args, self.env = services, args, env or {}

    def __enter__(self):
        self.notify = NotifySocket(self.services.tmp / f"notify-{next(_sockets)}")
        env = {**self.env, "NOTIFY_SOCKET": self.notify.path}
        self.process = self.services.start(*self.args, env=env)
        self.notify.wait_for("READY=1")
        return self

    def __exit__(self, *exc):
        try:
            self.status, _, self.err = stop(self.process, timeout=5)
        finally:
            self.notify.close()
