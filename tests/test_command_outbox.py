"""Every alert arrives: the command's outbox across outages, lost replies, stops and kill -9."""

import contextlib
import random
import re
import subprocess
import sys
import time
from collections import Counter, defaultdict

import pytest
from command import Running, stop, wait_until
from test_command_delivery import too_many

from ashvigil_monitor.outbox import boot_clock
from stand_ins.server import Reply
from stand_ins.taostats import make_subnet_rows
from stand_ins.telegram import accepted

DELAYED = re.compile(r"Delayed: alert of \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ UTC\n")


def test_an_outage_over_several_cycles_delivers_each_alert_once_in_order_marked(av, services):
    services.seed_change(av, 3, 0.5)
    services.env["ASHVIGIL_FAILURE_ALERT_AFTER"] = "0"  # only the alerts
    services.bot.set_default(too_many(500))  # beyond the retry budget: every cycle fails at once
    for value in (0.6, 0.7, None):
        done = services.run("once")
        assert done.returncode == 1, done.stderr
        if value is not None:
            services.api.set_incentive_burn(3, value)
    services.bot.set_default(None)
    done = services.run("once")
    assert done.returncode == 0, done.stderr
    messages = services.bot.messages()
    assert all(DELAYED.match(m) for m in messages)
    assert [m.rsplit("\n", 1)[1].split(": ")[1] for m in messages] == [
        f"{av.format_owner_burn(services.state_rates['3'])} → 0.5000",
        "0.5000 → 0.6000",
        "0.6000 → 0.7000",
    ]


def test_a_lost_reply_is_not_repeated_in_its_cycle_and_arrives_marked_next_cycle(av, services):
    services.seed_change(av)
    services.bot.script(Reply(drop=True))  # the request arrives; the connection closes unanswered
    first = services.run("once")
    assert first.returncode == 1
    assert "it is sent again next cycle" in first.stderr
    assert len(services.sends()) == 1
    second = services.run("once")
    assert second.returncode == 0, second.stderr
    assert len(services.sends()) == 2
    assert DELAYED.match(services.bot.messages()[0])


@pytest.mark.parametrize(
    ("command", "last_line"),
    [("once", "[burn] alert sent (300 subnet(s))"), ("snapshot", "[burn] startup snapshot sent (300 subnets)")],
)
def test_sigterm_during_a_two_piece_text_waits_for_every_piece(av, services, command, last_line):
    services.api.rows = make_subnet_rows(300)
    services.seed_change(av)
    services.api.set_incentive_burns(dict.fromkeys(range(300), 0.987654))
    services.bot.script(accepted(delay=1.0))
    process = services.start(command)
    wait_until(lambda: len(services.sends()) == 1)  # the first piece is out, its reply held back
    status, _, err = stop(process)
    assert status == 0
    assert err.endswith(f"{last_line}\n[burn] stopped (SIGTERM)\n")
    assert [m.split("\n")[0] for m in services.bot.messages()] == ["(1/2)", "(2/2)"]


def test_a_failed_write_ahead_stores_nothing_and_the_change_is_found_again(av, services):
    assert services.run("once").returncode == 0  # first poll: state file and database
    before = services.state.read_bytes()
    with services.database() as db:
        db.execute("CREATE TRIGGER full BEFORE INSERT ON subnets BEGIN SELECT RAISE(ABORT, 'disk full'); END")
    services.api.set_incentive_burn(3, 0.5)
    done = services.run("once")
    assert (done.returncode, done.stderr) == (1, "[burn] database write failed, rates not stored: disk full\n")
    assert services.state.read_bytes() == before
    assert services.sends() == []
    with services.database() as db:
        db.execute("DROP TRIGGER full")
    done = services.run("once")
    assert (done.returncode, done.stderr) == (0, "[burn] alert sent (1 subnet(s))\n")


def test_a_map_written_ahead_but_not_stored_is_the_baseline(av, services):
    """As after a kill between the write-ahead and the store: the database is newer than the file."""
    services.seed_change(av)
    old_state = services.state.read_bytes()
    assert services.run("once").returncode == 0
    services.state.write_bytes(old_state)
    with services.database() as db:
        db.execute("UPDATE settings SET value = 0 WHERE key = 'map_in_state'")
    done = services.run("once")
    assert (done.returncode, done.stderr) == (0, "")
    assert len(services.bot.messages()) == 1


def test_old_pieces_are_dropped_counted_listed_and_discarded_on_request(av, services):
    metrics = services.tmp / "ashvigil.prom"
    services.seed_change(av)
    services.env["ASHVIGIL_FAILURE_ALERT_AFTER"] = "0"  # only the alert waits
    services.bot.set_default(too_many(500))
    assert services.run("once").returncode == 1
    listing = services.run("outbox")
    assert re.fullmatch(
        r"\S+Z, piece 1/1, attempts 1; last error: Too Many Requests: retry after 500\n"
        r"  Owner burn rate changed\n1 alert pieces pending\n",
        listing.stdout,
    )
    assert [services.run("once").returncode for _ in range(2)] == [1, 1]  # tried three times
    time.sleep(0.1)
    env = {"ASHVIGIL_OUTBOX_MAX_AGE_HOURS": "0.00001", "ASHVIGIL_METRICS_PATH": str(metrics)}
    done = services.run("once", env=env)
    assert done.returncode == 0
    assert re.fullmatch(r"\[burn\] alert dropped \(.*\): older than 1e-05 h; .*\n", done.stderr)
    assert 'ashvigil_alerts_dropped_total{destination="telegram"} 1\n' in metrics.read_text()
    assert 'ashvigil_outbox_pending{destination="telegram"} 0\n' in metrics.read_text()
    services.api.set_incentive_burn(3, 0.25)
    assert services.run("once").returncode == 1
    dropped = services.run("outbox", "--drop")
    assert re.fullmatch(r"\[burn\] alert dropped \(.*\): by the operator\n", dropped.stderr)
    assert services.run("outbox").stdout == "0 alert pieces pending\n"


@pytest.mark.parametrize(
    ("age", "attempts", "tried", "dropped"),
    [  # tried: (first, last) failed attempt, seconds ago on the boot clock
        (7200, 3, (7200, 0), True),
        (120, 3, (7200, 0), False),  # younger than the bound (an hour)
        (7200, 2, (7200, 0), False),  # tried too few times
        (7200, 3, (60, 0), False),  # tried over too short a time: the wall clock stepped
        (7200, 3, (7200, 6600), False),  # tried for ten minutes, then the monitor stood still
        (26 * 3600, 0, None, False),  # queued a second before the clock stepped a day ahead
    ],
)
def test_the_age_bound_drops_only_what_was_tried_over_real_time(av, services, age, attempts, tried, dropped):
    services.seed_change(av)
    services.bot.set_default(too_many(500))
    assert services.run("once").returncode == 1
    boot, clock = boot_clock()
    since, last = (None, None) if tried is None else (clock - tried[0], clock - tried[1])
    with contextlib.closing(services.database()) as db:
        db.execute(
            "UPDATE outbox SET queued_at = queued_at - ?, attempts = ?,"
            " tried_since = ?, tried_last = ?, tried_boot = ?",
            (age, attempts, since, last, boot),
        )
    done = services.run("once", env={"ASHVIGIL_OUTBOX_MAX_AGE_HOURS": "1"})
    left = services.run("outbox").stdout.splitlines()[-1]
    assert ("alert dropped" in done.stderr, left) == (dropped, f"{0 if dropped else 1} alert pieces pending")


def test_the_failure_message_arrives_when_the_database_cannot_hold_it(services):
    services.env["ASHVIGIL_FAILURE_ALERT_AFTER"] = "1"
    assert services.run("once").returncode == 0
    services.api.set_default(Reply.json({"message": "Unauthorized"}, status=401))
    with contextlib.closing(services.database()) as db:
        db.execute("CREATE TRIGGER full BEFORE INSERT ON outbox BEGIN SELECT RAISE(ABORT, 'disk full'); END")
    failing = services.run("once")
    assert (failing.returncode, failing.stderr.splitlines()[-1]) == (
        1,
        "[burn] failure message sent unqueued: the database cannot hold it",
    )
    with contextlib.closing(services.database()) as db:
        db.execute("DROP TRIGGER full")
    services.api.set_default(None)
    assert services.run("once").returncode == 0
    told = [text.split(" at ")[0].split(" since ")[0] for text in services.bot.messages()]
    assert told == ["ashvigil: watch cycles failing", "ashvigil: watch cycles recovered"]


def test_a_piece_whose_reply_was_lost_waits_for_the_next_cycle(av, services):
    """Even on the cycle that reaches the failure count, whose message queues behind it."""
    services.seed_change(av)
    services.env["ASHVIGIL_FAILURE_ALERT_AFTER"] = "1"
    services.bot.script(Reply(drop=True))
    lost = services.run("once")
    assert (lost.returncode, len(services.sends())) == (1, 1)
    assert services.run("once").returncode == 0
    firsts = [text.split("\n")[1 if text.startswith("Delayed") else 0] for text in services.bot.messages()]
    assert [line.split(" since ")[0].split(" at ")[0] for line in firsts] == [
        "Owner burn rate changed",
        "ashvigil: watch cycles failing",
        "ashvigil: watch cycles recovered",
    ]


def once_killed_at_random(services, rng, latest):
    """`once`, killed with -9 at a moment up to `latest` seconds in; whether it was still running."""
    process = services.start("once")
    time.sleep(rng.uniform(0.0, latest))
    running = process.poll() is None
    if running:
        process.kill()
    process.communicate()
    return running


def test_each_piece_is_marked_delivered_as_it_goes_not_after_the_last(av, services):
    services.api.rows = make_subnet_rows(600)  # an alert of 600 subnets comes in several pieces
    assert services.run("once").returncode == 0
    services.api.set_incentive_burns(dict.fromkeys(range(600), 0.5))
    services.bot.answer("sendMessage", accepted({"message_id": 1}), accepted({"message_id": 2}, delay=30))
    process = services.start("once")
    wait_until(lambda: len(services.sends()) == 2)  # the first piece delivered, the second in flight
    process.kill()
    process.communicate()
    with contextlib.closing(services.database()) as db:
        assert [row[0] for row in db.execute("SELECT piece FROM outbox ORDER BY id")][:1] == [2]


def test_kill_9_at_random_moments_loses_no_stored_change(av, services):
    services.api.rows = make_subnet_rows(300)
    assert services.run("once").returncode == 0  # first poll
    initial = av.load_burn_state(str(services.state))
    kills = kill_while_moving(services, range(300), 60, random.Random(15))
    done = services.run("once")
    assert done.returncode == 0, done.stderr
    assert_every_stored_rate_told(av, services, initial, services.bot.messages(), kills)
    assert kills >= 10


def kill_while_moving(services, netuids, steps, rng, latest=0.8):
    """`steps` cycles, each moving every subnet and killed at a random moment up to `latest`
    seconds in; the kills."""
    kills = 0
    for step in range(1, steps + 1):
        services.api.set_incentive_burns(dict.fromkeys(netuids, step / 1000))
        kills += once_killed_at_random(services, rng, latest)
    return kills


def assert_every_stored_rate_told(av, services, initial, texts, kills, stored=None):
    """Every rate the state file (or `stored`) holds is reachable from the initial one through the
    moves the texts told, and no piece came more than once per kill."""
    bodies = [DELAYED.sub("", m, count=1) for m in texts]
    assert sum(n - 1 for n in Counter(bodies).values()) <= kills
    moves = defaultdict(set)
    for line in "\n".join(bodies).splitlines():
        if match := re.fullmatch(r"SN(\d+): (\S+) → (\S+)", line):
            moves[match[1]].add((match[2], match[3]))
    for netuid, rate in (stored or av.load_burn_state(str(services.state))).items():
        seen, frontier = set(), {av.format_owner_burn(initial[netuid])}
        while frontier:  # every stored rate is reachable through the alerts that arrived
            seen |= frontier
            frontier = {new for old, new in moves[netuid] if old in frontier} - seen
        assert av.format_owner_burn(rate) in seen, netuid


@pytest.mark.full_run  # 36 cycles killed at random moments: some 20 s
def test_kill_9_across_failure_streaks_never_loses_or_misorders_their_messages(services):
    services.env["ASHVIGIL_FAILURE_ALERT_AFTER"] = "2"
    assert services.run("once").returncode == 0
    rng, kills = random.Random(23), 0
    for step in range(36):  # streaks of four failing cycles, then two good ones
        services.api.set_default(Reply.json({"message": "Unauthorized"}, status=401) if step % 6 < 4 else None)
        kills += once_killed_at_random(services, rng, 0.4)
    services.api.set_default(None)
    assert services.run("once").returncode == 0  # what the kills left pending arrives
    texts = [DELAYED.sub("", m, count=1) for m in services.bot.messages()]
    texts = [m for i, m in enumerate(texts) if i == 0 or m != texts[i - 1]]  # a piece sent again after a kill
    kinds = [m.split(" since ")[0].split(" at ")[0].removeprefix("ashvigil: watch cycles ") for m in texts]
    assert kinds == ["failing", "recovered"] * (len(kinds) // 2) != []  # each streak told once, then its end
    assert kills >= 5


def test_the_command_leaves_the_module_namespace_and_urllib_alone(services):
    script = (
        "import urllib.request, ashvigil\n"
        "from ashvigil_monitor.cli import main\n"
        "before = dict(vars(ashvigil))\n"
        "status = main(['snapshot'])\n"
        "changed = [k for k in before.keys() | vars(ashvigil).keys() if before.get(k) is not vars(ashvigil).get(k)]\n"
        "opener = urllib.request._opener\n"  # built by the module's first urlopen, if not installed
        "print(status, changed, {type(h).__module__ for h in opener.handlers} if opener else None)\n"
    )
    done = subprocess.run([sys.executable, "-c", script], env=services.env, capture_output=True, text=True, timeout=60)
    assert done.stdout == "0 [] {'urllib.request'}\n", done.stderr
    assert len(services.bot.messages()) == 1


def test_outbox_drop_beside_a_running_monitor_asks_it(av, services):
    services.seed_change(av)
    services.env["ASHVIGIL_FAILURE_ALERT_AFTER"] = "0"
    services.bot.set_default(too_many(500))
    assert services.run("once").returncode == 1
    with Running(services, "run", "--no-snapshot") as run:
        assert services.run("outbox", "--drop").returncode == 0
        assert services.run("outbox").stdout == "0 alert pieces pending\n"
    assert re.search(r"^\[burn\] alert dropped \(.*\): by the operator$", run.err, re.M)
