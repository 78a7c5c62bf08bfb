"""The command's rules for what a poll changed: baselines, watch lists, thresholds, direction,
new and gone subnets, and quiet hours."""

import datetime

import pytest
from hypothesis import given
from hypothesis import strategies as st

from ashvigil_monitor.changes import detect, in_order, order
from ashvigil_monitor.policy import Policy, parse_quiet_hours, parse_subnets, parse_thresholds, parse_timezone
from ashvigil_monitor.store import Subnet

A = {"1": "0.1", "2": "0.2", "3": "0.3"}


def run(policy, polls):
    """The changes each poll reports, polls fed in order as a cycle would."""
    known, previous, reported = {}, {}, []
    for current in polls:
        changes, known = detect(policy, known, previous, current)
        previous = current
        reported.append(changes)
    return reported


@pytest.mark.parametrize(
    ("policy", "polls", "expected"),
    [
        # A drift in small steps: reported once the total move passes the threshold...
        (Policy(threshold=0.05), [{"4": "0.04"}, {"4": "0.08"}, {"4": "0.12"}], [[], [], [("4", "0.04", "0.12")]]),
        # ...and never when each poll is compared with the previous one.
        (Policy(threshold=0.05, compare="last-poll"), [{"4": "0.04"}, {"4": "0.08"}, {"4": "0.12"}], [[], [], []]),
        # A short listing, a move in between, then the full listing: reported, nothing gone.
        (Policy(), [A, {"1": "0.1"}, {**A, "3": "0.9"}], [[], [], [("3", "0.3", "0.9")]]),
        # New subnets; a subnet gone after three polls without it, and back as new.
        (
            Policy(),
            [A, {**A, "130": "0"}, {"1": "0.1", "2": "0.2", "130": "0"}, {"1": "0.1", "2": "0.2"}, {"1": "0.1"}, A],
            [[], [("130", "new", "0")], [], [], [("3", "0.3", "gone")], [("3", "new", "0.3"), ("130", "0", "gone")]],
        ),
        (Policy(report_new_and_gone=False), [A, {"9": "0"}, {"9": "0"}, {"9": "0"}], [[], [], [], []]),
        # Watch and exclude lists with ranges that overlap.
        (
            Policy(subnets=parse_subnets("S", "1-2,2-3"), excluded=parse_subnets("X", "2", everyone=False)),
            [A, {"1": "0.5", "2": "0.5", "3": "0.5"}],
            [[], [("1", "0.1", "0.5"), ("3", "0.3", "0.5")]],
        ),
        # A subnet's own threshold, above and below the global one.
        (
            Policy(threshold=0.05, thresholds=parse_thresholds("T", "1=0.5,2=0.01")),
            [A, {"1": "0.2", "2": "0.22", "3": "0.32"}],
            [[], [("2", "0.2", "0.22")]],
        ),
        # A move of exactly the threshold is not more than it: not reported.
        (
            Policy(threshold=0.5, thresholds=parse_thresholds("T", "2=0.25")),
            [{"1": "0", "2": "0"}, {"1": "0.5", "2": "0.25"}],
            [[], []],
        ),
        # Up and down; a text that is not a number always passes.
        (
            Policy(direction="up"),
            [A, {"1": "0.05", "2": "0.3", "3": "n/a"}],
            [[], [("2", "0.2", "0.3"), ("3", "0.3", "n/a")]],
        ),
        (
            Policy(direction="down"),
            [A, {"1": "0.05", "2": "0.3", "3": "n/a"}],
            [[], [("1", "0.1", "0.05"), ("3", "0.3", "n/a")]],
        ),
        # A subnet back after two short listings starts counting its absence anew.
        (Policy(), [A, {"1": "0.1"}, {"1": "0.1"}, A, {"1": "0.1"}, {"1": "0.1"}], [[]] * 6),
        # A gone subnet is told with the rate it was last listed with, a move under threshold too.
        (Policy(threshold=0.5), [{"4": "0.1"}, {"4": "0.2"}, {}, {}, {}], [[], [], [], [], [("4", "0.2", "gone")]]),
        # Muted from the chat, with every subnet watched.
        (Policy(muted=frozenset({"3"})), [A, {**A, "3": "0.9"}], [[], []]),
    ],
)
def test_what_a_poll_reports(policy, polls, expected):
    assert run(policy, polls) == expected


def test_a_watch_list_change_keeps_the_baselines():
    """Unwatched, a baseline follows the polls; watched again, it is compared from there on. A
    watched move under its threshold keeps its baseline, so a later, lower threshold reports it."""
    only_1 = Policy(subnets=parse_subnets("S", "1"), threshold=0.5)
    changes, known = detect(only_1, {}, {}, A)
    changes, known = detect(only_1, known, A, {"1": "0.2", "2": "0.6", "3": "0.3"})
    assert changes == []
    assert known["2"].baseline == "0.6"
    assert known["1"].baseline == "0.1"
    changes, _ = detect(Policy(threshold=0.05), known, {}, {"1": "0.2", "2": "0.6", "3": "0.3"})
    assert changes == [("1", "0.1", "0.2")]


BERLIN = parse_timezone("Z", "Europe/Berlin")


@pytest.mark.parametrize(
    ("window", "timezone", "utc", "quiet"),
    [
        ("22:00-07:00", None, "2026-12-08T22:00", True),  # from its first minute
        ("22:00-07:00", None, "2026-12-08T23:30", True),
        ("22:00-07:00", None, "2026-12-08T06:59", True),
        ("22:00-07:00", None, "2026-12-08T07:00", False),
        ("22:00-07:00", None, "2026-12-08T21:59", False),
        ("09:00-17:00", None, "2026-12-08T12:00", True),
        # Daylight saving starts in Berlin on 2026-03-29 at 02:00 local (01:00 UTC).
        ("01:30-03:30", BERLIN, "2026-03-29T00:45", True),  # 01:45 CET
        ("01:30-03:30", BERLIN, "2026-03-29T01:15", True),  # 03:15 CEST
        ("01:30-03:30", BERLIN, "2026-03-29T01:45", False),  # 03:45 CEST
        ("22:00-07:00", BERLIN, "2026-10-25T05:30", True),  # 06:30 CET, after the clocks went back
        ("22:00-07:00", BERLIN, "2026-10-25T06:30", False),
    ],
)
def test_quiet_hours_across_midnight_and_daylight_saving(window, timezone, utc, quiet):
    policy = Policy(quiet_hours=parse_quiet_hours("Q", window), **({"timezone": timezone} if timezone else {}))
    moment = datetime.datetime.fromisoformat(utc).replace(tzinfo=datetime.timezone.utc)
    assert policy.quiet(moment) is quiet


RATES = st.sampled_from(["0.1", "0.1001", "0.10", "0.2", "1e-1", "n/a", "", "0", "-0.5", "nan", "inf"])
IDS = st.sampled_from(["1", "2", "3", "12", "0", "x", "7a"])
records = st.builds(lambda b, r, m, g: Subnet(b, r, m, g), RATES, RATES, st.integers(0, 3), st.booleans())


@given(
    st.builds(
        Policy,
        threshold=st.sampled_from([0.0, 0.0001, 0.05, 0.5]),
        compare=st.sampled_from(["last-alert", "last-poll"]),
        report_new_and_gone=st.booleans(),
        subnets=st.sampled_from([parse_subnets("S", ""), parse_subnets("S", "1-3")]),
    ),
    st.dictionaries(IDS, records),
    st.dictionaries(IDS, RATES),
    st.dictionaries(IDS, RATES),
)
def test_one_call_of_the_module_finds_what_the_per_subnet_rules_find(policy, known, previous, current):
    per_subnet = policy._replace(thresholds={10**6: policy.threshold})  # a rule of its own: no shortcut
    assert detect(policy, known, previous, current) == detect(per_subnet, known, previous, current)


@given(st.lists(st.tuples(st.from_regex(r"[ +-]?[0-9_]{1,3}|0[0-9]|[a-z]", fullmatch=True), st.text(max_size=1))))
def test_changes_come_in_subnet_order_ties_as_found(changes):
    changes = [(netuid, str(k), new) for k, (netuid, new) in enumerate(changes)]
    assert in_order(changes) == sorted(changes, key=lambda c: order(c[0]))
