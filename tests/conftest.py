import itertools
import os
import re
import types
import urllib.request

import pytest
from command import API_KEY, Services
from hypothesis import HealthCheck, settings
from recorders import FakeTime, StderrRecorder

from stand_ins.postgres import PostgresServer, find_binaries
from stand_ins.taostats import TaostatsStandIn
from stand_ins.telegram import TelegramStandIn, route_telegram

# Sanitizer builds are several times slower; examples must not fail on time.
settings.register_profile(
    "ashvigil",
    deadline=None,
    max_examples=200 if not os.environ.get("ASHVIGIL_SANITIZED") else 60,
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)
settings.load_profile("ashvigil")


def pytest_collection_modifyitems(config, items):
    if os.environ.get("ASHVIGIL_FULL_RUN"):
        return
    skip = pytest.mark.skip(reason="minutes of real time: set ASHVIGIL_FULL_RUN=1 (scripts/test.sh does)")
    for item in items:
        if "full_run" in item.keywords:
            item.add_marker(skip)


@pytest.fixture
def av():
    import ashvigil

    return ashvigil


# --- the host facilities the module reaches through its globals ---


@pytest.fixture
def clock(av, monkeypatch):
    fake = FakeTime()
    monkeypatch.setattr(av, "time", fake)
    return fake


@pytest.fixture
def sleeps(clock):
    """The pauses the module asked for, recorded instead of slept."""
    return clock.sleeps


@pytest.fixture
def stderr(av, monkeypatch):
    recorder = StderrRecorder()
    monkeypatch.setattr(av, "sys", types.SimpleNamespace(stderr=recorder))
    return recorder


# --- the stand-in services ---


@pytest.fixture
def api(monkeypatch):
    """The stand-in taostats, where the module's environment points."""
    with TaostatsStandIn() as service:
        monkeypatch.setenv("TAOSTATS_API_BASE", service.origin)
        monkeypatch.delenv("TAOSTATS_USER_AGENT", raising=False)
        yield service


@pytest.fixture
def bot():
    """The stand-in Bot API with the Bot API origin routed to it; `bot.route` is the route."""
    before = urllib.request._opener
    with TelegramStandIn() as service, route_telegram(service) as route:
        service.route = route
        yield service
    assert urllib.request._opener is before


@pytest.fixture
def services(tmp_path):
    """Both stand-ins and the environment that points the `ashvigil` command at them."""
    with TaostatsStandIn(api_key=API_KEY) as api, TelegramStandIn() as bot:
        yield Services(api, bot, tmp_path)


# --- a real PostgreSQL server (stand_ins/postgres.py) ---


@pytest.fixture(scope="session")
def postgres():
    """One server for the whole session. Where it cannot be had, its tests are skipped, saying why."""
    if find_binaries() is None:
        pytest.skip("PostgreSQL tests skipped: no server in /usr/lib/postgresql/*/bin (Debian's postgresql)")
    try:
        import psycopg  # noqa: F401
    except ImportError as e:
        pytest.skip(f"PostgreSQL tests skipped: psycopg cannot be imported ({e}); pip install 'psycopg[binary]'")
    with PostgresServer() as server:
        yield server


_databases = itertools.count()


@pytest.fixture
def pg_url(postgres, request):
    """A fresh database for this test, owned by `ashvigil`; its URL has no password (`postgres.password`)."""
    name = f"t{next(_databases)}_" + re.sub(r"[^a-z0-9_]", "_", request.node.name.lower())[:40]
    yield postgres.create_database(name)
    postgres.admin(f"DROP DATABASE {name} WITH (FORCE)")
