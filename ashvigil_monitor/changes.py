"""What a poll changed, by the command's rules: each rate is compared with its subnet's baseline
(the rate last reported, under "last-alert") or with the previous poll (under "last-poll"),
against its own threshold and direction; new subnets and subnets missing from several polls in
a row are changes too. Only watched subnets are reported, but every subnet keeps a baseline.
"""

from __future__ import annotations

import operator
from collections.abc import Mapping, Sequence

import ashvigil
from ashvigil_monitor.policy import Policy, rate
from ashvigil_monitor.store import Change, Move, Subnet

NEW, GONE = "new", "gone"
MISSING_POLLS = 3  # one short listing is not a deregistration


def order(netuid: str) -> tuple[int, int, str]:
    try:  # subnet_number's int(), inline: the changes of 10 000 subnets are sorted by it
        return (0, int(netuid), "")
    except ValueError:
        return (1, 0, netuid)


def _change_order(change: Change) -> tuple[int, int, str]:
    return order(change[0])


def in_order(changes: list[Change]) -> list[Change]:
    """The changes in subnet order; where every id is a number (as taostats lists them), their
    numbers are read and sorted without a call in Python per change."""
    try:
        numbers = list(map(int, map(operator.itemgetter(0), changes)))
    except ValueError:
        return sorted(changes, key=_change_order)
    return [changes[i] for i in sorted(range(len(numbers)), key=numbers.__getitem__)]


def detect(
    policy: Policy, known: Mapping[str, Subnet], previous: Mapping[str, str], current: Mapping[str, str]
) -> tuple[list[Change], dict[str, Subnet]]:
    """The changes to report, in subnet order, and every subnet's record after this poll. With
    nothing known (a first poll), nothing is reported."""
    if not known:
        known = {netuid: Subnet(rate, rate) for netuid, rate in previous.items()}
    first_poll = not known
    shared = _moved_past_shared_threshold(policy, known, previous, current)
    changes: list[Change] = []
    records: dict[str, Subnet] = {}
    last_alert, either_way = policy.compare == "last-alert", policy.direction == "both"
    for netuid in current:  # in listing order: only the changes are sorted, once
        rate, record = current[netuid], known.get(netuid)
        told = policy.watched(netuid)
        if record is None or record.gone:  # a subnet reported gone comes back as new
            records[netuid] = Subnet(rate, rate)
            if told and policy.report_new_and_gone and not first_poll:
                changes.append((netuid, NEW, rate))
            continue
        base = record.baseline if last_alert else previous.get(netuid)
        if base is None:
            moved = False
        elif shared is not None:
            moved = netuid in shared
        else:
            moved = ashvigil.owner_burn_changed(base, rate, policy.threshold_of(netuid))
        if told and moved and base is not None and (either_way or policy.in_direction(base, rate)):
            changes.append((netuid, base, rate))
        keep = told and not moved and last_alert  # a move under threshold accumulates
        baseline = record.baseline if keep else rate
        unchanged = record.baseline == baseline and record.last_rate == rate and not record.missing
        records[netuid] = record if unchanged else Subnet(baseline, rate)  # most records stay as they are
    for netuid in sorted(set(known) - set(current), key=order):
        record = known[netuid]
        missing = record.missing + 1
        told = missing >= MISSING_POLLS and policy.watched(netuid) and policy.report_new_and_gone
        if told and not record.gone:
            changes.append((netuid, record.last_rate, GONE))
        records[netuid] = Subnet(record.baseline, record.last_rate, missing, record.gone or told)
    return in_order(changes), records


def _moved_past_shared_threshold(
    policy: Policy, known: Mapping[str, Subnet], previous: Mapping[str, str], current: Mapping[str, str]
) -> set[str] | None:
    """The subnets whose rate moved past the threshold, from one call of the module, when every
    subnet shares the global threshold and either direction counts; None where per-subnet rules
    apply, or where the module cannot order the ids (it sorts them as numbers). The module skips
    subnets missing from either map, as the per-subnet comparison never reaches them."""
    if policy.thresholds or policy.direction != "both":
        return None
    bases = {n: s.baseline for n, s in known.items()} if policy.compare == "last-alert" else dict(previous)
    try:
        return {netuid for netuid, _, _ in ashvigil.diff_burns(bases, dict(current), policy.threshold)}
    except ValueError:
        return None


def merge(held: Sequence[Change]) -> list[Change]:
    """One change per subnet: its first old rate and its last new rate, in subnet order."""
    first: dict[str, str] = {}
    last: dict[str, str] = {}
    for netuid, old, new in held:
        first.setdefault(netuid, old)
        last[netuid] = new
    return [(netuid, first[netuid], last[netuid]) for netuid in sorted(first, key=order)]


def biggest(changes: Sequence[tuple[str, str | None, str | None]], count: int) -> list[str]:
    """The subnets of the largest numeric moves first, then those that are not numbers, at most
    `count`, each once."""
    sizes: dict[str, float] = {}
    for netuid, old, new in changes:
        a, b = rate(old), rate(new)
        size = abs(b - a) if a is not None and b is not None else -1.0
        sizes[netuid] = max(size, sizes.get(netuid, -1.0))
    return sorted(sizes, key=lambda n: -sizes[n])[:count]


def largest(moves: Sequence[Move], count: int) -> list[Move]:
    """At most `count` moves, the largest numeric ones first, then those that are not numbers,
    each size in time order."""

    def size(move: Move) -> float:
        a, b = rate(move.old), rate(move.new)
        return abs(b - a) if a is not None and b is not None else -1.0

    return sorted(moves, key=lambda m: -size(m))[:count]
