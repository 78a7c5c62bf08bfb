"""The rates' history: recording, pruning, `history`, `chart`, charts after alerts, the daily
digest and the per-subnet gauge."""

import csv
import datetime
import functools
import importlib.util
import io
import json
import pathlib
import re
import subprocess

import pytest
from command import CHAT, COMMAND_PYTHON
from prometheus_client.parser import text_string_to_metric_families
from test_command_delivery import too_many

from ashvigil_monitor import digest, history
from ashvigil_monitor.charts import chart_data
from ashvigil_monitor.store import DAY, Gap, Queued, Store
from ashvigil_monitor.times import stamp
from stand_ins.server import Reply
from stand_ins.taostats import make_subnet_rows
from stand_ins.telegram import refused

T = 1_800_000_000  # the first poll, once the test has moved the recorded times
needs_charts = pytest.mark.skipif(
    importlib.util.find_spec("matplotlib") is None, reason="the charts extra is not installed (the sanitizer run)"
)
ROOT = pathlib.Path(__file__).resolve().parent.parent
INSTALL = f"charts need matplotlib: {COMMAND_PYTHON} -m pip install 'ashvigil[charts]'"  # its own pip
UNAUTHORIZED = Reply.json({"message": "Unauthorized"}, status=401)


def utc(at):
    return stamp(at)


@pytest.fixture
def recorded(services):
    """Four cycles: the first poll, an unchanged one, a failed one, then SN3 moves, SN129 leaves
    and SN130 arrives; recorded times moved to T, T+300, T+600 and T+1800 (a gap)."""
    rows = make_subnet_rows(131)
    services.api.rows = rows[:130]
    for _ in range(2):
        assert services.run("once").returncode == 0
    services.api.set_default(UNAUTHORIZED)
    assert services.run("once").returncode == 1
    services.api.set_default(None)
    services.api.rows = [*rows[:129], rows[130]]
    services.api.set_incentive_burn(3, 0.5)
    assert services.run("once").returncode == 0
    with services.database() as db:
        assert db.execute("SELECT ok, subnets FROM polls ORDER BY rowid").fetchall() == [
            (1, 130),
            (1, 130),
            (0, None),
            (1, 130),
        ]
        for rowid, at in enumerate((T, T + 300, T + 600, T + 1800), 1):
            db.execute("UPDATE polls SET at = ? WHERE rowid = ?", (at, rowid))
        first = "SELECT at, seq, netuid FROM moves ORDER BY at, seq, netuid LIMIT 130"  # the first poll's
        db.execute(f"UPDATE moves SET at = CASE WHEN (at, seq, netuid) IN ({first}) THEN ? ELSE ? END", (T, T + 1800))
    return {str(r["netuid"]): str(r["incentive_burn"]) for r in rows}


def expected_entries(burns, since):
    b3, b129, b130 = burns["3"], burns["129"], burns["130"]
    entries = [
        ("move", utc(T), "3", None, b3),
        ("move", utc(T), "129", None, b129),
        ("gap", utc(T + 300), utc(T + 1800), 1),
        ("move", utc(T + 1800), "3", b3, "0.5"),
        ("move", utc(T + 1800), "130", None, b130),
        ("move", utc(T + 1800), "129", b129, None),
    ]
    return entries if since is None else entries[3:]


def parse(output, form, av):
    """The entries of `history` output, with the texts as each format shows them."""
    if form == "json":
        return [
            ("gap", e["time"], e["until"], e["failed_cycles"])
            if e["kind"] == "gap"
            else ("move", e["time"], str(e["netuid"]) if isinstance(e["netuid"], int) else None, e["old"], e["new"])
            for e in json.loads(output)
        ]
    if form == "csv":
        return [
            ("gap", e["time"], e["until"], int(e["failed_cycles"]))
            if e["kind"] == "gap"
            else ("move", e["time"], e["netuid"], e["old"] or None, e["new"] or None)
            for e in csv.DictReader(io.StringIO(output))
        ]
    lines = output.splitlines()
    assert lines[0].split() == ["time", "(UTC)", "subnet", "old", "new"]
    entries = []
    for line in lines[1:]:
        if line.startswith("-- no good poll from "):
            words = line.split()
            entries.append(("gap", words[5], words[7], int(words[8].strip("("))))
        else:
            at, subnet, old, new = line.split()
            entries.append(("move", at, subnet.removeprefix("SN"), old, new))
    return entries


def shown(entry, form, av):
    if form != "table" or entry[0] == "gap":
        return entry
    kind, at, netuid, old, new = entry
    return kind, at, netuid, "-" if old is None else av.format_owner_burn(old), av.format_owner_burn(new or "(gone)")


@pytest.mark.parametrize(
    ("text", "since"),
    [
        ("7d", T - 7 * 86400),
        ("12h", T - 12 * 3600),
        ("30m", T - 1800),
        ("2026-12-01", 1796083200),
        ("2026-12-01T06:30", 1796083200 + 6 * 3600 + 1800),
    ],
)
def test_since_takes_days_hours_minutes_or_a_utc_date(monkeypatch, text, since):
    monkeypatch.setattr(history.time, "time", lambda: T)
    assert history.since_argument(text) == since


@pytest.mark.parametrize("form", ["table", "csv", "json"])
@pytest.mark.parametrize("since", [None, T + 900])
def test_history_lists_moves_and_gaps_in_every_format(av, services, recorded, form, since):
    args = ["history", "3", "129", "130", "--format", form] + (["--since", utc(since)[:16]] if since else [])
    done = services.run(*args)
    assert done.returncode == 0, done.stderr
    assert parse(done.stdout, form, av) == [shown(e, form, av) for e in expected_entries(recorded, since)]


@pytest.mark.parametrize(
    ("options", "kept"),
    [
        (["--moves-only"], lambda entries: [e for e in entries if e[0] == "gap" or e[3] is not None]),
        (["--limit", "2"], lambda entries: entries[-2:]),
    ],
)
def test_history_leaves_out_first_sightings_or_all_but_the_last(av, services, recorded, options, kept):
    everything = parse(services.run("history", "--format", "json").stdout, "json", av)
    listed = parse(services.run("history", "--format", "json", *options).stdout, "json", av)
    assert listed == kept(everything) != everything


def test_history_keeps_unchanged_subnets_out(services, recorded):
    with services.database() as db:
        assert db.execute("SELECT count(*) FROM moves WHERE at = ?", (T + 1800,)).fetchone() == (3,)
        assert db.execute("SELECT count(DISTINCT netuid) FROM moves").fetchone() == (131,)


def test_retention_prunes_once_a_day_and_keeps_each_subnets_latest(services):
    env = {"ASHVIGIL_HISTORY_DAYS": "1"}
    assert services.run("once", env=env).returncode == 0
    services.api.set_incentive_burn(3, 0.5)
    assert services.run("once", env=env).returncode == 0  # pruned an instant ago: not again
    counts = (
        "SELECT (SELECT count(*) FROM polls), (SELECT count(*) FROM moves),"
        " (SELECT count(*) FROM moves WHERE netuid = 3)"
    )
    for days_back, after in [(0.5, (3, 131, 2)), (2, (1, 130, 1)), (3, (2, 130, 1))]:
        with services.database() as db:
            for table in ("polls", "moves"):
                db.execute(f"UPDATE {table} SET at = at - ?", (days_back * 86400,))
            if days_back == 3:  # the last pruning is recent: the old polls stay until a day has passed
                db.execute("UPDATE settings SET value = value + 86400 * 3 WHERE key = 'history_pruned_at'")
            db.execute("UPDATE settings SET value = value - ? WHERE key = 'history_pruned_at'", (days_back * 86400,))
        assert services.run("once", env=env).returncode == 0
        with services.database() as db:
            assert db.execute(counts).fetchone() == after, days_back


def test_retention_is_counted_in_days(tmp_path):
    store, t = Store(str(tmp_path / "h.db")), 1_800_000_000
    for at in (t, t + DAY - 7200, t + DAY + 1):  # the last prunes what is older than one day
        store.record_poll({"1": str(at)}, at, keep_days=1)
    assert [at for at, _ in store.polls()] == [t + DAY - 7200, t + DAY + 1]
    store.close()


@pytest.mark.parametrize(
    ("start", "end", "sn1", "gaps"),
    [
        (T + 100, T + 3000, [(T + 100, 0.5), (T + 2400, 0.7), (T + 3000, 0.7)], [Gap(T + 300, T + 2400, 4)]),
        (T - 500, T + 2400, [(T, 0.5), (T + 2400, 0.7)], [Gap(T + 300, T + 2400, 4)]),
        (T + 2500, T + 2600, [(T + 2500, 0.7), (T + 2600, 0.7)], []),
    ],
)
def test_chart_series_steps_from_the_rate_before_the_window_and_marks_missing_polls(tmp_path, start, end, sn1, gaps):
    store = Store(str(tmp_path / "h.db"))
    store.record_poll({"1": "0.5", "2": "n/a"}, T, 365)
    store.record_poll({"1": "0.5", "2": "n/a"}, T + 300, 365)
    for k in range(4):
        store.record_failed_poll(T + 600 + 300 * k)
    store.record_poll({"1": "0.7"}, T + 2400, 365)
    chart = chart_data(store, ["1", "2", "9"], start, end, 300)
    store.close()
    assert (chart.start, chart.series["1"]) == (max(start, T), sn1)  # the window starts at the first poll
    assert chart.gaps == gaps
    assert chart.series["9"] == []
    assert all(value is None for _, value in chart.series["2"])  # not a number, then gone


@needs_charts
def test_chart_writes_an_800_by_450_png(av, services, tmp_path):
    import matplotlib.image

    assert services.run("once").returncode == 0
    services.api.set_incentive_burn(3, 0.5)
    assert services.run("once").returncode == 0
    done = services.run("chart", "3", "4", "--since", "1h", "--output", str(tmp_path / "c.png"))
    assert done.returncode == 0
    assert done.stdout.startswith(f"chart written to {tmp_path / 'c.png'} (2 subnets")
    assert matplotlib.image.imread(str(tmp_path / "c.png")).shape[:2] == (450, 800)


@needs_charts
def test_charts_skip_matplotlibs_set_signatures_on_the_version_pinned():
    """The hook that makes them is private: a moved pin fails here until it is read again."""
    pinned = re.search(r"^matplotlib==(\S+)$", (ROOT / "constraints.txt").read_text(), re.MULTILINE)[1]
    program = (
        "from ashvigil_monitor.charts import CHECKED_MATPLOTLIB, Chart, render\n"
        "render(Chart(0, 3600, {'3': [(0, 0.5), (3600, 0.5)]}, []))\n"
        "import matplotlib, matplotlib.lines\n"
        "print(matplotlib.__version__, CHECKED_MATPLOTLIB, hasattr(matplotlib.lines.Line2D.set, '__signature__'))\n"
    )
    done = subprocess.run([COMMAND_PYTHON, "-c", program], capture_output=True, text=True, timeout=60)
    assert done.stdout == f"{pinned} {pinned} False\n", done.stderr


def test_chart_without_the_extra_says_how_to_install_it(services, tmp_path):
    assert services.run("once").returncode == 0
    done = services.run("chart", "3", "--output", str(tmp_path / "d.png"), env=without_charts(tmp_path))
    assert (done.returncode, done.stderr) == (2, f"ashvigil: {INSTALL}\n")
    assert not (tmp_path / "d.png").exists()


def without_charts(tmp_path):
    """An environment in which matplotlib cannot be imported."""
    hidden = tmp_path / "no-charts" / "matplotlib"
    hidden.mkdir(parents=True, exist_ok=True)
    (hidden / "__init__.py").write_text("raise ImportError('hidden by the test')\n")
    return {"PYTHONPATH": str(hidden.parent)}


@pytest.mark.parametrize(
    ("extra", "replies", "photos", "line"),
    [
        pytest.param(True, [], 1, "", marks=needs_charts),
        pytest.param(
            True,
            [refused("Bad Request: PHOTO_INVALID_DIMENSIONS", 400)],
            0,
            "[burn] chart not sent: Bad Request: PHOTO_INVALID_DIMENSIONS\n",
            marks=needs_charts,
        ),
        pytest.param(
            True, [too_many(0)] * 4, 0, "[burn] chart not sent: Too Many Requests: retry after 0\n", marks=needs_charts
        ),
        (False, [], 0, f"[burn] chart not sent: {INSTALL}\n"),
    ],
)
def test_a_chart_follows_a_delivered_alert_and_a_failed_one_is_one_line(
    av, services, tmp_path, extra, replies, photos, line
):
    services.api.set_incentive_burns(dict.fromkeys(range(3, 10), 0.0))
    services.seed_change(av, 3, 0.9)
    services.api.set_incentive_burns({4: 0.1, 5: 0.2, 6: 0.3, 7: 0.4, 8: 0.5, 9: 0.6})  # SN4 moves least
    services.bot.script(Reply.json({"ok": True, "result": {}}), *replies)
    env = {"ASHVIGIL_ALERT_CHARTS": "1", **({} if extra else without_charts(tmp_path))}
    done = services.run("once", env=env)
    assert done.returncode == 0
    assert done.stderr.startswith("[burn] alert sent (7 subnet(s))\n")
    assert done.stderr.endswith(line)
    requests = services.bot.requests
    tries = max(len(replies), 1) if extra else 0
    assert [r.path.rsplit("/", 1)[1] for r in requests] == ["sendMessage"] + ["sendPhoto"] * tries
    if extra:
        caption = "SN3, SN9, SN8, SN7, SN6, SN5: owner burn rate, last 7 days"
        assert requests[1].fields == {"chat_id": CHAT, "caption": caption}
    assert len(services.bot.photos()) == photos
    assert services.run("outbox").stdout == "0 alert pieces pending\n"
    assert services.run("once", env={"ASHVIGIL_ALERT_CHARTS": "1"}).returncode == 0
    assert len(services.bot.requests) == len(requests)  # nothing queued, nothing sent again


@pytest.mark.parametrize(
    ("zone", "at", "checks"),
    [  # (UTC time of a check, digest queued?); a restart before each check
        (
            "UTC",
            "09:00",
            [("08:59:30", False), ("09:00:10", True), ("09:05", False), ("+1 08:59", False), ("+1 09:01", True)],
        ),
        ("Pacific/Auckland", "09:00", [("19:59", False), ("20:01", True), ("+1 19:00", False)]),  # a day ahead
        ("Asia/Kolkata", "09:00", [("03:29", False), ("03:31", True), ("09:01", False)]),
        ("UTC", "09:00", [("15:00", False), ("+1 08:00", False), ("+1 09:30", True), ("+1 23:59", False)]),
    ],
)
def test_the_digest_is_queued_once_at_its_time_across_restarts(tmp_path, zone, at, checks):
    import zoneinfo

    path, day = str(tmp_path / "d.db"), datetime.datetime(2026, 12, 1, tzinfo=datetime.timezone.utc)
    for when, queued in checks:
        plus, _, clock = when.rpartition(" ")
        moment = (
            day
            + datetime.timedelta(days=int(plus or 0))
            + datetime.timedelta(**dict(zip(("hours", "minutes", "seconds"), map(int, clock.split(":")), strict=False)))
        )
        store = Store(path)
        done, _ = digest.queue(
            store,
            functools.partial(enqueue, store, moment.timestamp()),
            [("telegram", lambda netuid: True)],
            datetime.time.fromisoformat(at),
            zoneinfo.ZoneInfo(zone),
            now=moment.timestamp(),
        )
        assert (done, len(store.pending())) == (queued, int(queued)), when
        store.drop(store.pending())
        store.close()


def enqueue(store, at, name, cycle_at, text):
    store.queue(Queued(name, cycle_at, "digest"), [text], at)


@pytest.mark.parametrize("lost", [True, False])
def test_the_digest_covers_the_day_and_arrives_at_least_once(av, services, lost):
    def clock(minutes):
        return (datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(minutes=minutes)).strftime("%H:%M")

    assert services.run("once", env={"ASHVIGIL_DIGEST_AT": clock(30)}).returncode == 0  # before its time
    services.api.set_default(UNAUTHORIZED)
    assert services.run("once").returncode == 1
    services.api.set_default(None)
    services.api.set_incentive_burn(3, 0.5)
    if lost:
        services.bot.script(Reply.json({"ok": True, "result": {}}), Reply(drop=True))  # the alert, then the digest
    # As if the time had come: the moment passed two minutes ago.
    env = {"ASHVIGIL_DIGEST_AT": clock(-2)}
    first = services.run("once", env=env)
    assert first.returncode == 0
    assert first.stderr.endswith("it is sent again next cycle, marked Delayed\n" if lost else "[burn] digest sent\n")
    second = services.run("once", env=env)
    assert second.returncode == 0
    assert second.stderr.startswith("[burn] delayed alert sent (") if lost else second.stderr == ""
    assert services.run("once", env=env).stderr == ""  # queued once only
    texts = services.bot.messages()
    assert len(texts) == 2
    lines = texts[1].split("\n")[1:] if lost else texts[1].split("\n")
    assert texts[1].startswith("Delayed: alert of " if lost else "Daily digest: ")
    assert lines[0].startswith("Daily digest: ")
    assert lines[0].endswith(" (UTC)")
    assert lines[1:-1] == ["Polls: 3, 1 failed", "Subnets moved: 1", "Biggest moves:", "SN3: 0.9000 → 0.5000"]
    assert re.fullmatch(r"Failed cycles: \S+Z", lines[-1])
    charts = not lost and importlib.util.find_spec("matplotlib") is not None  # only after a digest sent on time
    assert [caption for caption, _ in services.bot.photos()] == ["SN3: biggest moves of the day, last 7 days"] * charts


def test_a_digest_due_in_quiet_hours_waits_for_their_end(services):
    now = datetime.datetime.now(datetime.timezone.utc)
    due, ago = (now + datetime.timedelta(minutes=30)).strftime("%H:%M"), (now - datetime.timedelta(minutes=2))
    assert services.run("once", env={"ASHVIGIL_DIGEST_AT": due}).returncode == 0  # notes the moment
    quiet = f"{ago - datetime.timedelta(hours=1):%H:%M}-{now + datetime.timedelta(hours=1):%H:%M}"
    held = services.run("once", env={"ASHVIGIL_DIGEST_AT": f"{ago:%H:%M}", "ASHVIGIL_QUIET_HOURS": quiet})
    assert (held.returncode, held.stderr, services.bot.requests) == (0, "", [])
    sent = services.run("once", env={"ASHVIGIL_DIGEST_AT": f"{ago:%H:%M}"})
    assert (sent.returncode, [text.split("\n")[1][:13] for text in services.bot.messages()]) == (0, ["Daily digest:"])


@pytest.mark.parametrize(
    ("burns", "watched", "shown"),
    [
        ({}, "", set(range(130))),
        ({5: "n/a", 6: "1e999", 7: None}, "", set(range(130)) - {5, 6}),
        ({}, "3-8,120", {3, 4, 5, 6, 7, 8, 120}),  # the watch list
    ],
)
def test_the_gauge_carries_each_numeric_rate(av, services, burns, watched, shown):
    metrics = services.tmp / "ashvigil.prom"
    services.api.set_incentive_burns(burns)
    env = {"ASHVIGIL_METRICS_PATH": str(metrics), "ASHVIGIL_SUBNETS": watched}
    assert services.run("once", env=env).returncode == 0
    families = {f.name: f for f in text_string_to_metric_families(metrics.read_text())}
    gauge = families["ashvigil_owner_burn_rate"]
    assert gauge.type == "gauge"
    rates = {s.labels["netuid"]: s.value for s in gauge.samples}
    expected = {str(r["netuid"]): float(av.owner_burn_from_row(r)) for r in services.api.rows if r["netuid"] in shown}
    assert rates == expected
    dashboard = (pathlib.Path(__file__).parent.parent / "contrib" / "grafana-dashboard.json").read_text()
    used = set(
        re.findall(r"ashvigil_[a-z_]+", "\n".join(re.findall(r'"(?:expr|query|definition)": "([^"]*)"', dashboard)))
    )
    assert used
    assert used <= {s.name for f in families.values() for s in f.samples}
