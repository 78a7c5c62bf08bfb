"""`ashvigil status` beside a running monitor and without one, in text and JSON."""

import json
import re

import pytest
from command import Running, wait_until
from test_command_delivery import too_many

from stand_ins.server import Reply


def _healthy(av, services):
    assert services.run("once").returncode == 0


def _failing(av, services):
    services.api.set_default(Reply.json({"message": "Unauthorized"}, status=401))
    assert services.run("once").returncode == 1


def _pending(av, services):
    services.seed_change(av)
    services.bot.set_default(too_many(500))
    assert services.run("once").returncode == 1


@pytest.mark.parametrize(
    ("make", "running", "status", "shown"),
    [
        (_healthy, False, 3, r"monitor: not running\nlast cycle: ok at \S+Z UTC, \d+\.\d\d s, 130 subnets, 0 moved"),
        (_healthy, True, 0, r"monitor: running \(pid \d+\)\nlast cycle: ok .*\nnext poll: \S+Z UTC"),
        (_failing, True, 1, r"last cycle: failed .*\nfailing since \S+Z UTC \(1 cycles\): HTTP 401: the API key was"),
        (_pending, True, 1, r"pending: 1 pieces\n  \S+Z piece 1/1, attempts \d+: Owner burn rate changed"),
    ],
)
def test_status_tells_what_the_monitor_does(av, services, make, running, status, shown):
    make(av, services)
    if not running:
        text, raw = services.run("status"), services.run("status", "--format", "json")
    else:
        with Running(services, "run", "--no-snapshot") as run:
            wait_until(lambda: services.run("status").returncode != 3)
            text, raw = services.run("status"), services.run("status", "--format", "json")
        assert json.loads(raw.stdout)["monitor"]["pid"] == run.process.pid
    assert (text.returncode, raw.returncode) == (status, status)
    assert re.search(shown, text.stdout), text.stdout
    report = json.loads(raw.stdout)
    assert report["last_cycle"]["result"] == ("failed" if make is _failing else "ok" if make is _healthy else "failed")
    assert [p["first_line"] for p in report["pending"]] == (["Owner burn rate changed"] if make is _pending else [])
