"""What the installed command reports and how it is configured: quiet hours with their digest,
failure and recovery messages, the config file, reloads, the watched snapshot."""

import datetime
import os
import re
import signal

import pytest
from command import Running, wait_until

from ashvigil_monitor.config import VARIABLES
from ashvigil_monitor.config_file import NOT_IN_FILE, key_of
from stand_ins.server import Reply

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "contrib", "ashvigil.toml")


def _window(around_now):
    """Quiet hours that hold the present moment (UTC), or that lie half a day away from it."""
    now = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(hours=0 if around_now else 12)
    start, end = now - datetime.timedelta(hours=1), now + datetime.timedelta(hours=1)
    return f"{start:%H:%M}-{end:%H:%M}"


def test_quiet_hours_hold_alerts_across_a_restart_and_send_one_digest_after(av, services):
    services.seed_change(av, 3, 0.5)
    quiet = {"ASHVIGIL_QUIET_HOURS": _window(True)}
    first = services.run("once", env=quiet)
    assert (first.returncode, first.stderr) == (0, "[burn] alert held for after quiet hours (1 subnet(s))\n")
    services.api.set_incentive_burns({3: 0.6, 4: 0.9})
    assert services.run("once", env=quiet).returncode == 0  # a new process: the held moves are in the database
    assert services.sends() == []
    after = services.run("once", env={"ASHVIGIL_QUIET_HOURS": _window(False)})
    assert (after.returncode, after.stderr) == (0, "[burn] alert sent (2 subnet(s))\n")
    assert services.run("once").stderr == ""  # the digest is sent once
    (digest,) = services.bot.messages()
    lines = digest.split("\n")
    assert lines[0] == "Owner burn rate changed"
    assert lines[-1] == "3 moves during quiet hours, merged: first and last rate"
    assert lines[3:5] == [
        f"SN3: {av.format_owner_burn(services.state_rates['3'])} → 0.6000",
        f"SN4: {av.format_owner_burn(services.state_rates['4'])} → 0.9000",
    ]


def test_failing_cycles_are_told_once_and_so_is_the_recovery(services):
    assert services.run("once").returncode == 0
    services.api.set_default(Reply.json({"message": "Unauthorized"}, status=401))
    for _ in range(4):
        assert services.run("once").returncode == 1
    services.api.set_default(None)
    assert services.run("once").returncode == 0
    assert services.run("once").returncode == 0
    failing, recovered = services.bot.messages()
    assert failing.startswith("ashvigil: watch cycles failing since ")
    assert failing.endswith("(3 in a row): HTTP 401: the API key was refused")
    assert recovered.startswith("ashvigil: watch cycles recovered at ")
    assert "(4 cycles in a row since " in recovered


def test_config_file_settings_their_precedence_and_sources(services):
    config = services.tmp / "ashvigil.toml"
    config.write_text('threshold = 0.3\nsubnets = [1, "3-5"]\ndirection = "up"\n[thresholds]\n12 = 0.01\n')
    done = services.run("config", "--config", str(config), env={"ASHVIGIL_DIRECTION": "down"})  # options after it
    lines = dict(line.split(" = ", 1) for line in done.stdout.splitlines())
    assert done.returncode == 0
    assert lines["ASHVIGIL_THRESHOLD"] == "0.3 (config file)"
    assert lines["ASHVIGIL_SUBNETS"] == "1,3-5 (config file)"
    assert lines["ASHVIGIL_SUBNET_THRESHOLDS"] == "12=0.01 (config file)"
    assert lines["ASHVIGIL_DIRECTION"] == "down (environment)"
    assert lines["ASHVIGIL_COMPARE"] == "last-alert (default)"
    assert lines["ASHVIGIL_BOT_TOKEN"] == "set (environment)"
    assert lines["ASHVIGIL_CONFIG"] == f"{config} (command line)"
    assert lines["NOTIFY_SOCKET"] == "not set"
    assert lines["ASHVIGIL_DB_PATH"] == f"{services.db} (default)"  # resolved
    assert lines["ASHVIGIL_PAUSE_PATH"] == f"{services.state.parent / 'pause'} (default)"


def test_the_example_config_file_loads_and_shows_every_setting(services):
    done = services.run("--config", EXAMPLE, "config", env={"ASHVIGIL_BOT_TOKEN": "", "TAOSTATS_API_KEY": ""})
    assert done.returncode == 0
    assert "ASHVIGIL_SUBNET_THRESHOLDS = 12=0.01,64=0.002 (config file)" in done.stdout
    keys = set(re.findall(r"^#? ?(\w+) =", open(EXAMPLE).read(), re.M))
    assert {key_of(name) for name, _, _ in VARIABLES if name not in NOT_IN_FILE} - keys == {"subnet_thresholds"}


@pytest.mark.parametrize(
    ("content", "named"),
    [
        ("threshold = 0.1\ncolour = 'red'\n", "line 2: colour: unknown setting"),
        ("bot_token = '1:a'\n", "line 1: bot_token: secrets stay out of the file"),
        ("subnets = {a = 1}\n", "line 1: subnets: a text, number"),
        ("threshold = -1\n", "line 1: threshold must be finite"),
        ("threshold = [\n", "ASHVIGIL_CONFIG"),
    ],
)
def test_a_bad_config_file_exits_2_naming_the_key_and_line(services, content, named):
    (services.tmp / "bad.toml").write_text(content)
    done = services.run("once", env={"ASHVIGIL_CONFIG": str(services.tmp / "bad.toml")})
    assert (done.returncode, done.stderr.count("\n")) == (2, 1), done.stderr
    assert named in done.stderr


def test_sighup_reloads_between_cycles_and_keeps_a_bad_configuration_out(services):
    config = services.tmp / "ashvigil.toml"
    config.write_text("threshold = 0.1\n")
    with Running(services, "--config", str(config), "run", "--no-snapshot") as run:
        for text, watchdogs in (("threshold = 0.2\n", 3), ("threshold = 'nan'\n", 6)):
            config.write_text(text)
            run.process.send_signal(signal.SIGHUP)
            wait_until(lambda n=watchdogs: run.notify.messages.count("WATCHDOG=1") >= n)
    assert run.status == 0
    assert run.err.splitlines() == [
        "[burn] configuration reloaded",
        f"[burn] configuration not reloaded: ASHVIGIL_CONFIG: {config}, line 1: threshold must be finite and >= 0,"
        " got 'nan'",
        "[burn] stopped (SIGTERM)",
    ]


def test_the_snapshot_shows_the_watched_subnets_and_names_those_missing(services):
    (services.state.parent).mkdir()
    done = services.run("snapshot", env={"ASHVIGIL_SUBNETS": "1-3,200-201", "ASHVIGIL_EXCLUDE_SUBNETS": "2"})
    assert done.stderr.splitlines() == [
        "[burn] watched subnets not in the listing: 200-201",
        "[burn] startup snapshot sent (2 of 130 subnets)",  # as the message counts them
    ]
    lines = services.bot.messages()[0].split("\n")
    check = services.run("check", env={"ASHVIGIL_SUBNETS": "1-3,200-201"}).stdout.splitlines()[0]
    assert check == "taostats API key: ok (130 subnets listed; watched subnets not in the listing: 200-201)"
    assert lines[2] == "2 of 130 subnets"
    assert [line.split(":")[0] for line in lines[4:]] == ["SN1", "SN3"]
