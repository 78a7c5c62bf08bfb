"""`ashvigil run`, `check` and `test-message` as an operator meets them: stop signals, the lock,
systemd notify, heartbeat, metrics, the pause file, and the shipped systemd unit."""

import datetime
import json
import os
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import urllib.error
import urllib.request

import pytest
from command import API_KEY, COMMAND, TOKEN, NotifySocket, Running, stop, wait_until
from prometheus_client.parser import text_string_to_metric_families

from ashvigil_monitor import messages
from ashvigil_monitor.liveness import Metrics
from ashvigil_monitor.metrics_http import MetricsServer
from stand_ins.server import Reply, StandIn
from stand_ins.telegram import refused

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


@pytest.fixture
def notify(tmp_path):
    sock = NotifySocket(tmp_path / "notify")
    yield sock
    sock.close()


def test_sigint_during_a_wait_stops_at_once(services, notify):
    process = services.start("run", "--no-snapshot", env={"NOTIFY_SOCKET": notify.path})
    notify.wait_for("READY=1")
    notify.wait_for("WATCHDOG=1")  # pinged from the wait between polls
    status, out, err = stop(process, signal.SIGINT, timeout=2)
    assert (status, out, err) == (0, "", "[burn] stopped (SIGINT)\n")
    notify.wait_for("STOPPING=1")
    assert services.api.requests == []


def test_a_second_monitor_on_the_same_state_exits_2(services, notify):
    first = services.start("run", "--no-snapshot", env={"NOTIFY_SOCKET": notify.path})
    try:
        notify.wait_for("READY=1")
        for command in (["run"], ["once"], ["snapshot"]):
            second = services.run(*command)
            assert second.returncode == 2
            assert str(services.state) in second.stderr
        assert services.run("outbox").returncode == 0  # looking needs no lock
        dropped = services.run("outbox", "--drop")  # asks the running monitor, which drops
        assert (dropped.returncode, dropped.stdout) == (
            0,
            "the running monitor dropped its pending pieces (its log lists them)\n",
        )
    finally:
        status, _, err = stop(first)
    assert (status, err) == (0, "[burn] stopped (SIGTERM)\n")


def test_a_link_to_the_state_file_shares_its_lock(services, notify):
    link = services.tmp / "link"
    link.symlink_to(services.state.parent, target_is_directory=True)
    first = services.start("run", "--no-snapshot", env={"NOTIFY_SOCKET": notify.path})
    try:
        notify.wait_for("READY=1")
        second = services.run("once", env={"ASHVIGIL_STATE_PATH": str(link / services.state.name)})
        assert second.returncode == 2
    finally:
        stop(first)


def metrics_sample(text, name):
    return float(re.search(rf"^{re.escape(name)} (\S+)$", text, re.M).group(1))


def test_metrics_heartbeat_and_status_after_ok_failed_and_alerting_cycles(av, services, notify):
    with StandIn() as pings:
        pings.set_default(Reply(200))
        metrics = services.tmp / "ashvigil.prom"
        env = {
            "NOTIFY_SOCKET": notify.path,
            "ASHVIGIL_METRICS_PATH": str(metrics),
            "ASHVIGIL_HEARTBEAT_URL": pings.origin + "/ping/abc?rid=7",
        }
        assert services.run("once", env=env).returncode == 0  # first cycle: stores
        services.api.set_default(Reply.json({"message": "down"}, status=500))
        assert services.run("once", env=env).returncode == 1
        # A failed cycle after a restart keeps the last stored count, not 0.
        assert metrics_sample(metrics.read_text(), "ashvigil_subnets") == 130
        services.api.set_default(None)
        services.api.set_incentive_burn(3, 0.5)
        assert services.run("once", env=env).returncode == 0  # alerts
        assert [r.target for r in pings.requests] == ["/ping/abc?rid=7", "/ping/abc/fail?rid=7", "/ping/abc?rid=7"]
    text = metrics.read_text()
    assert [metrics_sample(text, f'ashvigil_cycles_total{{result="{r}"}}') for r in ("ok", "failed", "error")] == [
        2,
        1,
        0,
    ]
    assert metrics_sample(text, "ashvigil_alerts_sent_total") == 1
    assert metrics_sample(text, "ashvigil_subnets") == 130
    assert metrics_sample(text, "ashvigil_last_success_timestamp_seconds") > 1.7e9
    notify.wait_for("WATCHDOG=1")
    assert any(m.startswith("STATUS=last cycle failed at ") for m in notify.messages)


def test_failed_heartbeat_is_one_line_and_not_fatal(services):
    with StandIn() as pings:  # answers 404 to anything unscripted
        done = services.run("once", env={"ASHVIGIL_HEARTBEAT_URL": pings.origin + "/ping"})
    assert (done.returncode, done.stderr) == (0, "[burn] heartbeat failed: HTTP Error 404: Not Found\n")


def test_snapshot_error_is_one_line_and_monitoring_goes_on(services):
    services.api.script(Reply.json({"data": {"rows": "not a list"}}))  # a listing no snapshot can read
    process = services.start("run")
    wait_until(lambda: len(services.api.requests) == 1)
    assert stop(process) == (0, "", "[burn] snapshot error: Expected list, got dict\n[burn] stopped (SIGTERM)\n")


def test_a_pause_file_stops_run_before_its_snapshot_and_check_warns(services):
    services.state.parent.mkdir()
    pause = services.state.parent / "pause"
    pause.write_text("")
    key = services.tmp / "key"
    key.write_text(API_KEY)
    key.chmod(0o644)
    env = {"TAOSTATS_API_KEY": "", "TAOSTATS_API_KEY_FILE": str(key)}
    done = services.run("run", env=env)
    assert (done.returncode, done.stderr, services.api.requests) == (0, "[burn] monitoring paused\n", [])
    check = services.run("check", env=env)
    assert (check.returncode, [line for line in check.stdout.splitlines() if line.startswith("warning: ")]) == (
        0,
        [
            f"warning: the pause file {pause} is present: run and once do nothing until it is removed",
            "warning: TAOSTATS_API_KEY_FILE names a file that other users can read (mode 644): chmod 600 it",
        ],
    )


@pytest.mark.parametrize("good", [True, False])
def test_check_and_test_message(services, good):
    if not good:
        services.bot.script(*[refused("Unauthorized", 401)] * 3)
    check = services.run("check")
    assert [line.split(":")[0] for line in check.stdout.splitlines()] == [
        "taostats API key",
        "destination telegram",
        "state directory",
        "outbox",
    ]
    assert check.returncode == (0 if good else 1)
    assert ("destination telegram: FAILED (Unauthorized)" in check.stdout) != good
    assert [r.path.rsplit("/", 1)[1] for r in services.bot.requests] == ["getMe", "getChat"][: 2 if good else 1]
    message = services.run("test-message", *([] if good else ["hello"]))
    assert (message.returncode, message.stdout) == (
        (0, "test message sent\n") if good else (1, "test message failed: Unauthorized\n")
    )
    if good:
        assert services.bot.messages()[0].startswith("ashvigil ")


def test_check_reports_every_check_when_one_fails_unexpectedly(services):
    # A line break inside the key makes the request itself fail (no reply at all).
    check = services.run("check", env={"TAOSTATS_API_KEY": "stand-in\nkey"})
    lines = check.stdout.splitlines()
    assert check.returncode == 1
    assert len(lines) == 4
    assert check.stderr == ""
    assert lines[0].startswith("taostats API key: FAILED (ValueError: ")
    assert "stand-in" not in lines[0]
    assert all(line.split(": ", 1)[1].startswith("ok (") for line in lines[1:])


@pytest.mark.skipif(shutil.which("systemd-analyze") is None, reason="systemd-analyze is not installed")
def test_systemd_unit_verifies_and_is_hardened(tmp_path):
    unit = open(os.path.join(ROOT, "contrib", "ashvigil.service")).read()
    assert re.search(r"^ExecStart=/usr/local/bin/ashvigil run$", unit, re.M)
    assert re.findall(r"^Environment=(\w+)", unit, re.M) == ["ASHVIGIL_CONFIG"]  # nothing overrides the file
    (tmp_path / "ashvigil.service").write_text(unit.replace("/usr/local/bin/ashvigil", COMMAND))
    done = subprocess.run(
        ["systemd-analyze", "verify", str(tmp_path / "ashvigil.service")], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert "ashvigil.service" not in done.stderr, done.stderr
    security = subprocess.run(
        ["systemd-analyze", "security", "--offline=yes", str(tmp_path / "ashvigil.service")],
        capture_output=True,
        text=True,
        timeout=60,
    )
    score = re.search(r"Overall exposure level for ashvigil.service: (\d+\.\d+)", security.stdout + security.stderr)
    if score is None:
        pytest.skip(f"this systemd-analyze rates no unit file offline: {security.stderr.strip()[:200]}")
    assert float(score[1]) <= 2.0


def test_secrets_come_from_systemd_credentials(services):
    credentials = services.tmp / "credentials"
    credentials.mkdir()
    (credentials / "taostats_api_key").write_text(API_KEY + "\n")
    (credentials / "bot_token").write_text(TOKEN + "\n")
    env = {"TAOSTATS_API_KEY": "", "ASHVIGIL_BOT_TOKEN": "", "CREDENTIALS_DIRECTORY": str(credentials)}
    assert services.run("once", env=env).returncode == 0
    assert services.run("once", env={**env, "CREDENTIALS_DIRECTORY": str(services.tmp)}).returncode == 2


def parsed(line, form):
    """(level, event, text) of a log line in its format; level and event None where it has none."""
    if form == "json":
        record = json.loads(line)
        datetime.datetime.fromisoformat(record["time"].replace("Z", "+00:00"))
        return record["level"], record["event"], record["message"]
    if form == "text-time":
        moment, level, text = re.fullmatch(r"(\S+Z) (DEBUG|INFO|WARNING) \[burn\] (.*)", line).groups()
        datetime.datetime.fromisoformat(moment.replace("Z", "+00:00"))
        return level.lower(), None, text
    return None, None, re.fullmatch(r"\[burn\] (.*)", line)[1]


@pytest.mark.parametrize("form", ["text", "text-time", "json"])
def test_every_cycle_logs_a_line_in_each_format_with_secrets_masked(services, form):
    env = {"ASHVIGIL_LOG_FORMAT": form, "ASHVIGIL_FAILURE_ALERT_AFTER": "0"}
    services.api.set_default(Reply.json({"message": f"bad key {API_KEY}"}, 401))
    failed = services.run("once", env=env)
    services.api.set_default(None)
    ok = services.run("once", env=env)
    raw = failed.raw_stderr + ok.raw_stderr
    assert API_KEY not in raw
    expected = [
        ("warning", "fetch_failed", r"fetch failed: HTTP 401: the API key was refused: \{.*bad key \*\*\*.*\}"),
        ("warning", "cycle", r"cycle failed: HTTP 401: the API key was refused \(\d+\.\d\d s\)"),
        ("info", "cycle", r"cycle ok: 130 subnets, 0 moved \(\d+\.\d\d s\)"),
        ("info", "recovered", r"cycles recovered after 1 failed \(since \S+Z UTC\)"),
    ]
    lines = [parsed(line, form) for line in raw.splitlines()]
    assert len(lines) == len(expected)
    for (level, event, text), (want_level, want_event, pattern) in zip(lines, expected, strict=True):
        assert re.fullmatch(pattern, text), text
        assert (level, event) == (want_level if form != "text" else None, want_event if form == "json" else None)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _serving(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == 0


def get(url, method="GET"):
    try:
        with urllib.request.urlopen(urllib.request.Request(url, method=method), timeout=10) as reply:
            return reply.status, reply.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def test_run_serves_metrics_and_health_over_http(services):
    port = free_port()
    base = f"http://127.0.0.1:{port}"
    with Running(services, "run", env={"ASHVIGIL_METRICS_LISTEN": f"127.0.0.1:{port}"}):
        wait_until(lambda: _serving(port))  # READY comes before the server starts
        status, text = get(base + "/metrics")
        families = {f.name: f for f in text_string_to_metric_families(text)}
        assert status == 200
        assert {"ashvigil_cycles", "ashvigil_owner_burn_rate", "ashvigil_outbox_pending"} <= set(families)
        assert [
            get(base + path, method)[0] for path, method in [("/healthz", "GET"), ("/", "GET"), ("/metrics", "POST")]
        ] == [
            200,
            404,
            404,
        ]


@pytest.mark.parametrize(
    ("error", "words"),
    [
        (
            urllib.error.URLError(ConnectionRefusedError(111, "Connection refused")),
            "taostats could not be reached (Connection refused)",
        ),
        (TimeoutError("exchange still running after 120 s"), "taostats did not answer in time"),
        (sqlite3.OperationalError("disk I/O error"), "the database failed: disk I/O error"),
        (ValueError("http://user:pw@host/"), "an error (ValueError)"),  # never a text that may hold a URL
    ],
)
def test_a_cycle_that_raises_is_told_in_words(error, words):
    assert messages.error_in_words(error) == words


@pytest.mark.parametrize(("healthy", "status"), [(True, 200), (False, 503)])
def test_healthz_follows_the_last_cycle(healthy, status):
    port = free_port()
    server = MetricsServer(("127.0.0.1", port), lambda: Metrics(""), lambda: healthy)
    server.start()
    try:
        assert get(f"http://127.0.0.1:{port}/healthz")[0] == status
    finally:
        server.stop()
