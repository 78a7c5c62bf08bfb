"""Several monitors on one PostgreSQL database, through the installed command: one acts, the
others stand by and take over when it dies, freezes or loses its session, and nothing stored is
left untold."""

import contextlib
import functools
import os
import random
import re
import signal
import subprocess
import threading
import time
from collections import Counter

import pytest
from command import COMMAND, NotifySocket, wait_until
from test_command_outbox import DELAYED, assert_every_stored_rate_told

from ashvigil_monitor import __version__
from ashvigil_monitor.engines import IDLE_SESSION, LOCK_KEY
from ashvigil_monitor.store import Store
from stand_ins.taostats import make_subnet_rows
from stand_ins.telegram import refused

POLL = 1  # ASHVIGIL_STANDBY_POLL_SECONDS of the tests
BOUND = POLL + 30  # the takeover bound the README gives: a poll, then the server's session limits
SUBNETS = 600  # an alert of every subnet moving comes in several pieces, a second apart
RUNS = int(os.environ.get("ASHVIGIL_TAKEOVER_RUNS", "1"))  # more to measure takeover times


class Monitor:
    """`ashvigil run --no-snapshot` on the shared database, with a state file and a bot token of
    its own, as on a machine of its own; its log lines are read as they come, with when."""

    def __init__(self, services, name, shared, env=None):
        self.name, self.token = name, f"123456:token-{name}"
        env = {
            **shared,
            "ASHVIGIL_STATE_PATH": str(services.tmp / name / "state.json"),
            "ASHVIGIL_BOT_TOKEN": self.token,
            **(env or {}),
        }
        self.process = subprocess.Popen(
            [COMMAND, "run", "--no-snapshot"],
            env={**services.env, **env},
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
        )
        self.lines = []  # (time.monotonic(), line)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.process.stderr:
            self.lines.append((time.monotonic(), line.rstrip("\n")))

    def wait_for(self, pattern, timeout=60.0, after=0.0):
        """When a line matching `pattern` appeared (after then)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for at, line in list(self.lines):
                if at >= after and re.search(pattern, line):
                    return at
            time.sleep(0.02)
        raise AssertionError(f"{self.name}: no line {pattern!r} in {timeout} s: {[li for _, li in self.lines]}")

    def sent(self, bot):
        return [r for r in bot.requests if r.path == f"/bot{self.token}/sendMessage"]

    def end(self, signum=signal.SIGTERM):
        if self.process.poll() is None:
            if signum == signal.SIGTERM:
                self.process.send_signal(signal.SIGCONT)
            self.process.send_signal(signum)
        self.process.wait(timeout=30)
        self._reader.join(timeout=5)


@pytest.fixture
def shared(services, postgres, pg_url):
    """The environment of monitors sharing a database; the monitors a test starts, ended after it."""
    services.api.rows = make_subnet_rows(SUBNETS)
    env = {
        "ASHVIGIL_DB_URL": pg_url,
        "ASHVIGIL_DB_PASSWORD_FILE": str(postgres.password_file(services.tmp)),
        "ASHVIGIL_STANDBY_POLL_SECONDS": str(POLL),
        "ASHVIGIL_FAILURE_ALERT_AFTER": "0",
    }
    monitors = []

    def start(name, **more):
        monitors.append(Monitor(services, name, env, more))
        return monitors[-1]

    start.env = env
    yield start
    for monitor in monitors:
        monitor.end(signal.SIGKILL)


def stored_map(postgres, pg_url):
    with contextlib.closing(Store(pg_url, read_only=True, password=postgres.password)) as store:
        return store.burn_map()


def first_poll(av, services, shared):
    done = services.run("once", env={**shared.env, "ASHVIGIL_STATE_PATH": str(services.tmp / "first.json")})
    assert done.returncode == 0, done.stderr


def move_all(services, step):
    services.api.set_incentive_burns(dict.fromkeys(range(SUBNETS), step / 1000))


@pytest.mark.full_run  # a takeover per round, each during a multi-piece alert
def test_a_standby_takes_over_a_killed_monitor_and_every_stored_change_is_told(av, services, postgres, pg_url, shared):
    first_poll(av, services, shared)
    initial = stored_map(postgres, pg_url)
    rng, active, kills, took = random.Random(27), shared("m0"), 0, []
    active.wait_for("role: active")
    for step in range(1, 4 + RUNS):
        standby = shared(f"m{step}")
        standby.wait_for(r"role: standby \(another monitor is active\)")
        move_all(services, step)
        time.sleep(rng.uniform(0.0, 2.0))  # from the second round on, the active one is mid-alert
        active.end(signal.SIGKILL)
        killed, kills = time.monotonic(), kills + 1
        took.append(standby.wait_for("role: active", BOUND) - killed)
        active = standby
    active.wait_for("cycle (ok|failed)")
    active.end()
    pieces = Counter(DELAYED.sub("", m, count=1) for m in services.bot.messages())
    print(f"takeover after kill -9: {', '.join(f'{t:.2f}' for t in took)} s;", end=" ")
    print(f"{sum(n - 1 for n in pieces.values())} pieces twice over {kills} kills")
    assert max(took) <= BOUND
    assert any("Delayed" in m for m in services.bot.messages())  # a takeover sent what was pending
    assert_every_stored_rate_told(av, services, initial, services.bot.messages(), kills, stored_map(postgres, pg_url))


@pytest.mark.full_run  # a frozen monitor's session ends only after the server's idle limit
@pytest.mark.parametrize("fault", ["freeze", "terminate"])
def test_a_monitor_that_lost_its_session_stands_down_after_at_most_its_piece_in_flight(
    av, services, postgres, pg_url, shared, fault
):
    first_poll(av, services, shared)
    initial = stored_map(postgres, pg_url)
    holder = shared("a")
    holder.wait_for("role: active")
    took, faults = [], 0
    for step in range(1, RUNS + 1):
        standby = shared(f"b{step}")
        standby.wait_for("role: standby")
        move_all(services, step)
        holder.end(signal.SIGKILL)  # the standby takes over and sends the alert of every subnet
        holder = standby
        holder.wait_for("role: active", BOUND)
        standby = shared(f"c{step}")
        standby.wait_for("role: standby")
        wait_until(functools.partial(holder.sent, services.bot))  # into its delivery
        before = len(holder.sent(services.bot))
        if fault == "freeze":
            holder.process.send_signal(signal.SIGSTOP)
        else:
            [(pid,)] = postgres.admin(
                "SELECT pid FROM pg_locks WHERE locktype = 'advisory' AND objid = %s", (LOCK_KEY,)
            )
            assert postgres.terminate(pid)
        faulted, faults = time.monotonic(), faults + 1
        took.append(standby.wait_for("role: active", BOUND + IDLE_SESSION, after=faulted) - faulted)
        holder.process.send_signal(signal.SIGCONT)
        holder.wait_for(r"role: standby \(its database session was lost\)", 60, after=faulted)
        standby.wait_for("cycle (ok|failed)", 60, after=faulted)
        assert len(holder.sent(services.bot)) - before <= 1  # at most the piece in flight
        holder.end(signal.SIGKILL)
        holder = standby
    holder.end()
    print(f"takeover after {fault}: {', '.join(f'{t:.2f}' for t in took)} s")
    assert max(took) <= BOUND + (IDLE_SESSION if fault == "freeze" else 0)
    assert_every_stored_rate_told(
        av, services, initial, services.bot.messages(), faults + RUNS, stored_map(postgres, pg_url)
    )


def test_a_restarted_server_finds_one_monitor_active_again_and_nothing_lost(av, services, postgres, pg_url, shared):
    first_poll(av, services, shared)
    metrics = {name: services.tmp / f"{name}.prom" for name in "ab"}
    a = shared("a", ASHVIGIL_METRICS_PATH=str(metrics["a"]))
    a.wait_for("role: active")
    notify = NotifySocket(services.tmp / "notify-b")
    b = shared("b", ASHVIGIL_METRICS_PATH=str(metrics["b"]), NOTIFY_SOCKET=notify.path)
    b.wait_for("role: standby")
    notify.wait_for(f"STATUS=standby: another monitor is active; ashvigil {__version__}")
    wait_until(lambda: metrics["b"].exists() and metrics["a"].exists())
    assert [re.search(r"^ashvigil_active (\d)$", p.read_text(), re.M)[1] for p in metrics.values()] == ["1", "0"]
    status = services.run("status", env=shared.env)
    assert status.returncode == 0, status.stdout
    pids = {m.process.pid: m for m in (a, b)}
    listed = re.findall(r"^  \S+ pid (\d+): (\w+), last seen ", status.stdout, re.M)
    roles = sorted((pids[int(p)].name, role) if int(p) in pids else ("once", role) for p, role in listed)
    assert roles == [("a", "active"), ("b", "standby"), ("once", "stopped")]
    services.api.set_incentive_burn(3, 0.321)
    restarted = time.monotonic()
    postgres.restart()
    wait_until(lambda: "0.3210" in "".join(services.bot.messages()), BOUND)
    time.sleep(2 * POLL)  # time enough for a second monitor to act, if one could
    roles = [[line for at, line in m.lines if at > restarted and "role: " in line] for m in (a, b)]
    assert sorted(bool(r) and "role: active" in r[-1] for r in roles) == [False, True], roles
    assert sum("0.3210" in m for m in services.bot.messages()) == 1
    b.end()
    notify.close()


def test_the_chat_is_answered_once_across_a_takeover(av, services, shared):
    first_poll(av, services, shared)
    a = shared("a", ASHVIGIL_BOT_COMMANDS="1")
    a.wait_for("role: active")
    b = shared("b", ASHVIGIL_BOT_COMMANDS="1")
    b.wait_for("role: standby")
    services.bot.say("/status")
    wait_until(lambda: a.sent(services.bot))
    a.end(signal.SIGKILL)
    b.wait_for("role: active", BOUND)
    services.bot.say("/status")
    wait_until(lambda: b.sent(services.bot))
    time.sleep(1.0)  # time enough for a second answer, if one came
    assert (len(a.sent(services.bot)), len(b.sent(services.bot))) == (1, 1)


def test_db_copy_moves_an_installation_to_postgresql_with_its_pending_pieces(av, services, postgres, pg_url):
    services.seed_change(av, 3, 0.5)
    services.env["ASHVIGIL_FAILURE_ALERT_AFTER"] = "0"
    services.bot.set_default(refused("Bad Gateway", 502))
    assert services.run("once").returncode == 1  # the alert waits in the SQLite outbox
    services.bot.set_default(None)
    env = {"ASHVIGIL_DB_PASSWORD_FILE": str(postgres.password_file(services.tmp))}
    before = services.run("history", "--format", "json").stdout
    copied = services.run("db", "copy", "--to", pg_url, env=env)
    assert copied.returncode == 0, copied.stderr
    assert re.fullmatch(rf"copied {re.escape(str(services.db))} to {re.escape(pg_url)}: .*outbox 1.*\n", copied.stdout)
    again = services.run("db", "copy", "--to", pg_url, env=env)
    assert (again.returncode, "is not empty" in again.stderr) == (1, True)
    env["ASHVIGIL_DB_URL"] = pg_url
    assert services.run("history", "--format", "json", env=env).stdout == before
    done = services.run("once", env=env)
    assert done.returncode == 0, done.stderr
    [alert] = services.bot.messages()
    assert alert.startswith("Delayed: alert of ")
    assert "SN3: " in alert


def test_a_sqlite_url_names_the_database_file(services):
    path = services.tmp / "elsewhere.db"
    done = services.run("once", env={"ASHVIGIL_DB_URL": f"sqlite://{path}"})
    assert (done.returncode, path.exists(), services.db.exists()) == (0, True, False), done.stderr


@pytest.mark.parametrize(
    ("setting", "hide_driver", "error"),
    [
        ("postgresql://ashvigil:hunter2@db/watch", False, "ASHVIGIL_DB_URL: the URL carries a password"),
        ("postgresql://ashvigil@db/watch?password=hunter2", False, "ASHVIGIL_DB_URL: the URL carries a password"),
        ("mysql://ashvigil@db/watch", False, "ASHVIGIL_DB_URL must be sqlite:///PATH or postgresql://"),
        ("postgresql://ashvigil@db/watch", True, "pip install 'ashvigil[postgres]'"),
    ],
)
def test_a_database_url_that_cannot_be_used_exits_2_saying_why(services, setting, hide_driver, error):
    env = {"ASHVIGIL_DB_URL": setting}
    if hide_driver:  # as on a machine without the extra
        (services.tmp / "psycopg.py").write_text("raise ImportError('not installed')\n")
        env["PYTHONPATH"] = str(services.tmp)
    done = services.run("once", env=env)
    assert (done.returncode, error in done.stderr, "hunter2" in done.stderr) == (2, True, False), done.stderr
