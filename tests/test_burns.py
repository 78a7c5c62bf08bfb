"""Owner burn values and change detection, with Python's own conversions as the oracle."""

import math
import re
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st
from leakcheck import assert_no_leak

json_scalars = st.none() | st.booleans() | st.integers() | st.floats() | st.text()
json_values = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner, max_size=3),
    max_leaves=6,
)
# Texts that are real numbers in many spellings, and texts that are not.
number_texts = st.one_of(
    st.floats().map(repr),
    st.integers().map(str),
    st.floats().map(lambda x: f"  {x!r}\t"),
    st.sampled_from(["5.", ".5", "1_000.5", "-inf", "+NaN", "Infinity", "1e5", "١٢", "0x10", "1__0", "", " ", "n/a"]),
    st.text(max_size=8),
)


def oracle_changed(old, new, threshold):
    try:
        a, b = float(old), float(new)
    except ValueError:
        return old != new
    return abs(a - b) > threshold


@pytest.mark.parametrize("value", [None, False, 0, 0.0, -0.0, "", [], {}])
def test_empty_burn_values_give_zero(av, value):
    assert av.owner_burn_from_row({"incentive_burn": value}) == "0"


@given(json_values)
def test_burn_text_is_the_hosts_text_form(value):
    import ashvigil

    expected = str(value) if value else "0"
    assert ashvigil.owner_burn_from_row({"incentive_burn": value, "netuid": 1}) == expected


def test_missing_burn_gives_zero(av):
    assert av.owner_burn_from_row({"netuid": 3}) == "0"


@given(number_texts)
def test_format_owner_burn_matches_format_spec(text):
    import ashvigil

    try:
        expected = format(float(text), ".4f")
    except ValueError:
        expected = text
    assert ashvigil.format_owner_burn(text) == expected


@pytest.mark.parametrize(
    ("decimals", "value", "expected"),
    [
        (2, "0.125", "0.12"),
        (0, "2.5", "2"),
        ("3", "1", "1.000"),
        (2.5, "1", "1"),
        (-1, "1", "1"),
        (True, "1", "1"),
        (1000, "1", format(1.0, ".1000f")),
    ],
)
def test_decimals_are_read_at_call_time(av, monkeypatch, decimals, value, expected):
    monkeypatch.setattr(av, "OWNER_BURN_DECIMALS", decimals)
    assert av.format_owner_burn(value) == expected


def test_missing_decimals_constant_raises(av, monkeypatch):
    monkeypatch.delattr(av, "OWNER_BURN_DECIMALS")
    with pytest.raises(NameError, match="OWNER_BURN_DECIMALS"):
        av.format_owner_burn("1")
    assert av.format_owner_burn("n/a") == "n/a"


@pytest.mark.parametrize(
    ("old", "new", "threshold", "expected"),
    [
        ("0.1", "0.5", 0.4, False),
        ("0.1", "0.6", 0.4, True),
        ("0", "n/a", 0.0, True),
        ("n/a", "n/a", 0.0, False),
        ("0.5", "nan", 0.0, False),
        ("inf", "inf", 0.0, False),
        ("inf", "1", 1e300, True),
        ("0.5", "0.5000", 0.0, False),
        ("0.12341", "0.12344", 0.00001, True),
        ("1", "1", -1.0, True),
        (" 0.5", "0.5", 0.0, False),
        ("A", "a", 0.0, True),
    ],
)
def test_owner_burn_changed_cases(av, old, new, threshold, expected):
    assert av.owner_burn_changed(old, new, threshold) is expected


@given(number_texts, number_texts, st.floats(allow_nan=False) | st.integers(-3, 3))
def test_owner_burn_changed_matches_python(old, new, threshold):
    import ashvigil

    assert ashvigil.owner_burn_changed(old, new, threshold) is oracle_changed(old, new, threshold)


def test_owner_burn_changed_has_no_default_threshold(av):
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'threshold'"):
        av.owner_burn_changed("1", "2")


ids = st.integers(-50, 2000).flatmap(lambda n: st.sampled_from([str(n), f" {n} ", f"+{n}" if n >= 0 else str(n)]))


@given(
    st.dictionaries(ids, number_texts, max_size=12),
    st.dictionaries(ids, number_texts | st.none(), max_size=12),
    st.floats(0, 1),
)
def test_diff_burns_matches_python(current, prev, threshold):
    import ashvigil

    expected = [
        (k, prev[k], v)
        for k, v in sorted(current.items(), key=lambda kv: int(kv[0]))
        if prev.get(k) is not None and oracle_changed(prev[k], v, threshold)
    ]
    assert ashvigil.diff_burns(prev, current, threshold) == expected


def test_diff_burns_orders_numerically_and_keeps_raw_texts(av):
    prev = {"10": "0.1", "2": "0.1", "1": "0.5", "3": "0.5"}
    current = {"10": "0.9", "2": "0.9", "1": "0.90", "4": "0.9"}
    assert av.diff_burns(prev, current, 0.3) == [("1", "0.5", "0.90"), ("2", "0.1", "0.9"), ("10", "0.1", "0.9")]
    assert av.diff_burns({"1": "0.5"}, {"1": "0.9"}, 0.4) == []


def test_diff_burns_sort_is_stable_for_equal_ids(av):
    current = {" 7": "2", "7": "2", "+7": "2", "1": "2"}
    prev = dict.fromkeys(current, "1")
    assert [c[0] for c in av.diff_burns(prev, current, 0)] == ["1", " 7", "7", "+7"]


@pytest.mark.parametrize("bad", ["1.5", "abc", ""])
def test_diff_burns_refuses_ids_that_are_not_integers(av, bad):
    with pytest.raises(ValueError, match=f"^{re.escape(f'invalid literal for int() with base 10: {bad!r}')}$"):
        av.diff_burns({}, {"1": "0", bad: "0"}, 0)


def test_diff_burns_compares_through_the_namespace(av, monkeypatch):
    seen = []
    monkeypatch.setattr(av, "owner_burn_changed", lambda old, new, t: seen.append((old, new, t)) or len(seen) == 2)
    assert av.diff_burns({"1": "a", "2": "b", "3": "c"}, {"3": "z", "1": "x", "2": "y"}, 1) == [("2", "b", "y")]
    assert seen == [("a", "x", 1.0), ("b", "y", 1.0), ("c", "z", 1.0)]


def test_diff_burns_refuses_non_text_previous_values(av):
    with pytest.raises(TypeError, match=r"Argument 'old' has incorrect type \(expected str, got float\)"):
        av.diff_burns({"1": 0.5}, {"1": "0.9"}, 0.1)


def test_huge_ids_sort_by_value(av):
    big = str(2**70)
    assert [
        c[0] for c in av.diff_burns({big: "1", "-" + big: "1", "0": "1"}, {big: "2", "0": "2", "-" + big: "2"}, 0)
    ] == ["-" + big, "0", big]


def test_burn_functions_do_not_leak(av):
    def calls():
        av.owner_burn_from_row({"incentive_burn": 0.25})
        av.owner_burn_from_row({"incentive_burn": [1, {"a": None}]})
        av.format_owner_burn("0.123456")
        av.format_owner_burn("n/a")
        av.owner_burn_changed("1", "x", 0.1)
        av.diff_burns({"1": "0.5", "2": "x"}, {"2": "y", "1": "0.9", "3": "1"}, 0.1)
        for bad in (
            lambda: av.diff_burns({}, {"x": "1"}, 0),
            lambda: av.format_owner_burn(None),
            lambda: av.owner_burn_changed("1", "2", "x"),
            lambda: av.diff_burns({"1": 1}, {"1": "1"}, 0),
        ):
            try:
                bad()
            except (TypeError, ValueError):
                pass

    assert_no_leak(calls)


def test_nan_text_formats_as_nan(av):
    assert av.format_owner_burn("nan") == "nan"
    assert av.format_owner_burn("-inf") == "-inf"
    assert math.isnan(float(av.format_owner_burn("NaN")))


# --- the native readings and writings of plain number texts, held to the host's ------------------

plain_decimals = st.from_regex(r"\A[0-9]{0,30}(\.[0-9]{0,30})?([eE][+-]?[0-9]{1,5})?\Z", fullmatch=True)
any_double = st.integers(0, 2**64 - 1).map(lambda bits: struct.unpack("<d", bits.to_bytes(8, "little"))[0])
edge_doubles = st.sampled_from(
    [
        0.0,
        -0.0,
        5e-324,
        -5e-324,
        2.2250738585072014e-308,
        1.7976931348623157e308,
        1e-5,
        9.999999999999999e-05,
        1e-4,
        1e15,
        9999999999999998.0,
        1e16,
        1.5e16,
        0.1,
        1 / 3,
        123.0,
        2.5,
        0.125,
        1e22,
        1e23,
        float("inf"),
        float("-inf"),
        float("nan"),
    ]
)


@given(
    plain_decimals
    | st.sampled_from(
        [
            "5.",
            ".5",
            "1e400",
            "1e-400",
            "0e99999",
            "00.000",
            "+1.5",
            "-0.5",
            " 1",
            "1_0",
            "inf",
            "1e",
            "1e+",
            ".",
            "e5",
            "1.e5",
            "١٢",
            "1.5E-3",
        ]
    )
)
def test_plain_decimal_texts_read_as_float_reads_them(text):
    import ashvigil

    try:
        exact = repr(float(text))
    except ValueError:
        assert ashvigil.owner_burn_changed(text, text + " ", 0.0) is True  # compared as texts
        return
    # Any difference in the last bit would be a change at threshold 0.
    assert ashvigil.owner_burn_changed(text, exact, 0.0) is (exact == "nan")
    assert ashvigil.format_owner_burn(text) == format(float(text), ".4f")


@given(
    any_double | edge_doubles | st.integers(-(2**20), 2**20).map(lambda k: k / 1024),
    st.integers(0, 24) | st.sampled_from([100, 101, -1]),
)
def test_fixed_decimals_match_the_format_spec(av, monkeypatch, x, decimals):
    monkeypatch.setattr(av, "OWNER_BURN_DECIMALS", decimals)
    try:
        expected = format(x, f".{decimals}f")
    except ValueError:
        expected = repr(x)
    assert av.format_owner_burn(repr(x)) == expected


@given(any_double | edge_doubles)
def test_real_burn_text_is_str_of_the_float(x):
    import ashvigil

    # Twice: the second answer may come from the texts kept for repeated rates.
    assert (
        ashvigil.owner_burn_from_row({"incentive_burn": x})
        == ashvigil.owner_burn_from_row({"incentive_burn": x})
        == (str(x) if x else "0")
    )


@given(
    st.lists(
        st.from_regex(r"\A0{0,3}[0-9]{1,21}\Z", fullmatch=True) | st.integers(-(10**20), 10**20).map(str),
        max_size=20,
        unique=True,
    )
)
def test_id_texts_sort_as_int_reads_them(id_texts):
    import ashvigil

    current = dict.fromkeys(id_texts, "2")
    assert [c[0] for c in ashvigil.diff_burns(dict.fromkeys(id_texts, "1"), current, 0)] == sorted(id_texts, key=int)
