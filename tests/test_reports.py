"""Alert and snapshot texts, and the division of long texts into pieces."""

import pytest
from hypothesis import given
from hypothesis import strategies as st
from leakcheck import assert_no_leak

T = "2025-01-02T03:04:05Z"
TUN = "T\nU\nN\n\nL1\nL2\nL3\nL4\nL5\nL6\nL7"


@pytest.mark.parametrize(
    ("changes", "tail"),
    [
        ([], "\n"),
        (
            [("7", "0.1", "0.25"), (7, "n/a", "1"), (None, "1", "2")],
            "\n\nSN7: 0.1000 \u2192 0.2500\nSN7: n/a \u2192 1.0000\nSNNone: 1.0000 \u2192 2.0000",
        ),
        ([["3", "1", "2"], iter("123"), "123"], "\n\nSN3: 1.0000 \u2192 2.0000" + "\nSN1: 2.0000 \u2192 3.0000" * 2),
    ],
)
def test_alert_text(av, changes, tail):
    assert av.format_burn_alert(changes, T) == f"Owner burn rate changed\n{T} UTC" + tail


@pytest.mark.parametrize(
    ("change", "error", "message"),
    [
        (("1", "2", "3", "4"), ValueError, "too many values to unpack (expected 3)"),
        (iter("1234"), ValueError, "too many values to unpack (expected 3)"),
        (["1", "2"], ValueError, "need more than 2 values to unpack"),
        (("1",), ValueError, "need more than 1 value to unpack"),
        (iter([]), ValueError, "need more than 0 values to unpack"),
        (5, TypeError, "cannot unpack non-iterable int object"),
    ],
)
def test_alert_unpacking_errors(av, change, error, message):
    with pytest.raises(error) as info:
        av.format_burn_alert([("1", "2", "3"), change], "t")
    assert str(info.value) == message


def test_alert_formats_through_the_namespace(av, monkeypatch):
    seen = []
    monkeypatch.setattr(av, "format_owner_burn", lambda value: seen.append(value) or len(seen) * 10)
    text = av.format_burn_alert([("1", "a", "b"), ("2", "c", "d")], "t")
    assert text.endswith("SN1: 10 \u2192 20\nSN2: 30 \u2192 40")
    assert seen == ["a", "b", "c", "d"]


def test_snapshot_text(av):
    rows = [
        {"netuid": 10, "incentive_burn": 0.5},
        {"netuid": "2", "incentive_burn": "0.25"},
        {"netuid": 1},
        {"incentive_burn": 1},
        {"netuid": 1.9, "incentive_burn": "x"},
    ]
    original = list(rows)
    assert av.format_burn_snapshot(rows, T) == (
        f"Subnet owner burn rates (startup)\n{T} UTC\n5 subnets\n\n"
        "SNNone: 1.0000\nSN1: 0.0000\nSN1.9: x\nSN2: 0.2500\nSN10: 0.5000"
    )
    assert rows == original
    assert av.format_burn_snapshot([], T) == f"Subnet owner burn rates (startup)\n{T} UTC\n0 subnets\n"
    assert av.format_burn_snapshot([{}], T).split("\n")[2] == "1 subnets"


ids = st.integers(-3, 3) | st.integers() | st.integers().map(lambda n: f" {n}\t") | st.floats(-1e9, 1e9)


@given(st.lists(st.tuples(ids, st.floats(0, 1)), max_size=12))
def test_snapshot_order_matches_a_stable_int_sort(entries):
    import ashvigil

    rows = [{"netuid": n, "incentive_burn": burn} for n, burn in entries]
    expected = [
        f"SN{r['netuid']}: {ashvigil.format_owner_burn(ashvigil.owner_burn_from_row(r))}"
        for r in sorted(rows, key=lambda r: int(r["netuid"]))
    ]
    assert ashvigil.format_burn_snapshot(rows, "t").split("\n")[4:] == expected


class RowLike:
    def get(self, key, default=None):
        return {"netuid": 4}.get(key, default)


@pytest.mark.parametrize(
    ("bad", "error"),
    [
        ({"netuid": None}, TypeError),
        ({"netuid": "abc"}, ValueError),
        ({"netuid": [1]}, TypeError),
        (7, AttributeError),
        (RowLike(), TypeError),  # passes the sort through `get`, refused as a row
    ],
)
def test_snapshot_failures_come_before_any_line_is_made(av, monkeypatch, bad, error):
    made = []
    monkeypatch.setattr(av, "format_owner_burn", made.append)
    with pytest.raises(error):
        av.format_burn_snapshot([{"netuid": 1}, bad], "t")
    assert made == ([] if isinstance(bad, (dict, int)) else ["0"])


@pytest.mark.parametrize(
    ("text", "max_len", "pieces"),
    [
        (TUN, 15, ["T\nU\nN\n\nL1\nL2\nL3", "T\nU\nN\n\nL4\nL5\nL6", "T\nU\nN\n\nL7"]),
        (TUN, 20, ["T\nU\nN\n\nL1\nL2\nL3\nL4", "T\nU\nN\n\nL5\nL6\nL7"]),
        (TUN, 10, [f"T\nU\nN\n\nL{i}" for i in range(1, 8)]),
        (TUN, 27, [TUN]),
        (TUN, 26, ["T\nU\nN\n\nL1\nL2\nL3\nL4\nL5\nL6", "T\nU\nN\n\nL7"]),
        ("T\nU\nN\n\nA\n\nB\n", 9, ["T\nU\nN\n\nA\n", "T\nU\nN\n\nB\n"]),
        ("T\nU\nN\n\nA\n" + "z" * 50 + "\nB", 9, ["T\nU\nN\n\nA", "T\nU\nN\n\n" + "z" * 50, "T\nU\nN\n\nB"]),
        ("T\nU\nN\n", 3, ["T\nU\nN"]),
        # No blank among the first four lines: the fourth is a body line, not lost.
        ("T\nU\nN\nfirst\nsecond", 12, ["T\nU\nN\n\nfirst", "T\nU\nN\n\nsecond"]),
        ("A\n\nB\nC\nD", 4, ["A\n\nB", "A\n\nC", "A\n\nD"]),
        ("\nB\nC\nD", 2, ["\nB", "\nC", "\nD"]),
        ("", 3900, [""]),
        ("x" * 5000, 3900, ["x" * 5000]),
        ("a\n" + "b" * 50, 5, ["a\n" + "b" * 50]),
        ("a\nb\n", 1, ["a\nb\n"]),
        ("\n\n" + "d" * 50, 5, ["\n\n" + "d" * 50]),
        (TUN, 15.99, ["T\nU\nN\n\nL1\nL2\nL3", "T\nU\nN\n\nL4\nL5\nL6", "T\nU\nN\n\nL7"]),
        (TUN, True, [f"T\nU\nN\n\nL{i}" for i in range(1, 8)]),
        (TUN, 10**40, [TUN]),
    ],
)
def test_chunk_pieces(av, text, max_len, pieces):
    assert av._chunk_text(text, max_len) == pieces


def test_default_limit_and_an_over_long_alert(av):
    text = av.format_burn_alert([(str(n), "0.1", "0.2") for n in range(400)], T)
    assert av._chunk_text(text) == av._chunk_text(text, 3900) == av._chunk_text(text, max_len=3900.9)
    pieces = av._chunk_text(text)
    header = f"Owner burn rate changed\n{T} UTC\n\n"
    assert len(pieces) == 3
    assert all(p.startswith(header) and p[len(header)] == "S" for p in pieces)
    assert [line for p in pieces for line in p[len(header) :].split("\n")] == text.split("\n")[3:]
    assert all(len(p) <= 3900 for p in pieces)


line = st.text(st.characters(blacklist_characters="\n"), max_size=12)


@given(
    header=st.lists(line.filter(bool), max_size=3),
    body=st.lists(line, min_size=1, max_size=30),
    max_len=st.integers(0, 80),
)
def test_pieces_hold_every_body_line_once_in_order(header, body, max_len):
    import ashvigil

    head = "\n".join(header) + "\n\n" if header else "\n"
    text = head + "\n".join(body)
    pieces = ashvigil._chunk_text(text, max_len)
    if len(text) <= max_len or text.count("\n") <= 2:
        assert pieces == [text]
        return
    assert all(p.startswith(head) for p in pieces)
    bodies = [p[len(head) :].split("\n") for p in pieces]
    assert [line for b in bodies for line in b] == body
    for piece, lines, following in zip(pieces, bodies, [*bodies[1:], None], strict=True):
        assert len(piece) <= max_len or len(lines) == 1
        # A piece closes only when the next line would not fit.
        assert following is None or len(piece) + 1 + len(following[0]) > max_len


def test_reports_do_not_leak(av):
    rows = [{"netuid": n, "incentive_burn": n / 7} for n in (5, 1, 3)]
    text = av.format_burn_snapshot(rows * 30, T)

    def calls():
        av.format_burn_alert([("1", "0.5", "0.25"), iter(["2", "x", "y"])], T)
        av.format_burn_snapshot(rows, T)
        av._chunk_text(text, 300)
        for bad in (
            lambda: av.format_burn_alert([("1", "2")], T),
            lambda: av.format_burn_alert([5], T),
            lambda: av.format_burn_snapshot([RowLike()], T),
            lambda: av.format_burn_snapshot([{"netuid": "x"}], T),
        ):
            with pytest.raises((TypeError, ValueError)):
                bad()

    assert_no_leak(calls)


def python_format_burn(value):
    try:
        return format(float(value), ".4f")
    except ValueError:
        return value


@given(
    st.lists(
        st.tuples(
            st.text(max_size=3) | st.integers(-(10**20), 10**20),
            st.text(max_size=5) | st.just("0.25"),
            st.text(max_size=5),
        )
    ),
    st.text(max_size=5),
)
def test_alert_text_of_any_characters(changes, updated_at):
    import ashvigil

    lines = ["Owner burn rate changed", f"{updated_at} UTC", ""]
    lines += [f"SN{i}: {python_format_burn(old)} \u2192 {python_format_burn(new)}" for i, old, new in changes]
    # Equal strs have equal storage kinds, so this also holds the result to the host's own layout.
    assert ashvigil.format_burn_alert(changes, updated_at) == "\n".join(lines)
