"""Watch cycles and the startup snapshot end to end, over real HTTP to the local stand-ins."""

import json
import os
import re
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st
from leakcheck import assert_no_leak
from recorders import FixedClock, StderrRecorder

from stand_ins.server import Reply, closed_port
from stand_ins.taostats import make_subnet_rows
from stand_ins.telegram import refused

KEY = "test-key"
STAMP = "2025-01-02T03:04:05Z"
NO_CREDENTIALS = "[burn] taostats API not available (must be bundled in package defaults)\n"


@pytest.fixture
def api(api, monkeypatch):
    """The stand-in taostats wanting a key, and the module holding it."""
    api.api_key = KEY
    monkeypatch.setenv("TAOSTATS_API_KEY", f"  {KEY}\n")
    return api


@pytest.fixture(autouse=True)
def fixed_time(av, monkeypatch):
    monkeypatch.setattr(av, "datetime", FixedClock)


@pytest.fixture
def state(tmp_path):
    return tmp_path / "state.json"


def cycle(av, state, token="123:abc", chat="42", threshold=0.0001):
    return av.run_ashvigil_once(state_path=str(state), threshold=threshold, burn_token=token, burn_chat_id=chat)


def snapshot(av, state, token="123:abc", chat="42"):
    return av.run_burn_startup_snapshot(state_path=str(state), burn_token=token, burn_chat_id=chat)


def stored(state):
    return json.loads(state.read_text())


def burns_of(rows):
    return {str(r["netuid"]): (str(r["incentive_burn"]) if r["incentive_burn"] else "0") for r in rows}


@pytest.mark.parametrize("existing", [None, "{}", '{"owner_burn_rate": {}}', "garbage", '{"owner_burn_rate": [1]}'])
def test_first_run_stores_and_reports_nothing(av, api, bot, stderr, state, existing):
    if existing is not None:
        state.write_text(existing)
    assert cycle(av, state) == 0
    assert stored(state) == {"owner_burn_rate": burns_of(api.rows), "updated_at_utc": STAMP}
    assert bot.requests == []
    assert stderr.getvalue() == ""
    request = api.requests[0]
    assert (request.path, request.query, request.header("Authorization")) == (
        "/api/subnet/latest/v1",
        "limit=1024&order=netuid_asc",
        [KEY],
    )


def test_quiet_cycle_rewrites_the_state(av, api, bot, stderr, state):
    cycle(av, state)
    FixedClock.moment = FixedClock.moment.replace(minute=9)
    try:
        assert cycle(av, state) == 0
    finally:
        FixedClock.moment = FixedClock.moment.replace(minute=4)
    assert stored(state)["updated_at_utc"] == "2025-01-02T03:09:05Z"
    assert bot.requests == []
    assert stderr.getvalue() == ""


def test_changes_are_alerted_after_they_are_stored(av, api, bot, stderr, state, monkeypatch):
    cycle(av, state)
    api.set_incentive_burns({12: 0.5, 3: 1e-05, 40: "n/a"})
    old = stored(state)["owner_burn_rate"]
    stored_at_delivery = []
    real_send = av.send_burn_telegram_messages
    monkeypatch.setattr(
        av, "send_burn_telegram_messages", lambda *a: stored_at_delivery.append(stored(state)) or real_send(*a)
    )
    assert cycle(av, state) == 0
    assert bot.messages() == [
        f"Owner burn rate changed\n{STAMP} UTC\n\n"
        f"SN3: {av.format_owner_burn(old['3'])} → 0.0000\n"
        f"SN12: {av.format_owner_burn(old['12'])} → 0.5000\n"
        f"SN40: {av.format_owner_burn(old['40'])} → n/a"
    ]
    assert stderr.getvalue() == "[burn] alert sent (3 subnet(s))\n"
    assert stored_at_delivery[0]["owner_burn_rate"]["12"] == "0.5"


def test_failed_delivery_is_not_alerted_again(av, api, bot, stderr, state):
    cycle(av, state)
    api.set_incentive_burn(5, 0.75 if api.rows[5]["incentive_burn"] != 0.75 else 0.2)
    bot.script(refused("Bad Request: chat not found", 400))
    assert cycle(av, state) == 1
    assert stderr.getvalue() == "[burn] telegram failed: Bad Request: chat not found\n"
    assert stored(state)["owner_burn_rate"]["5"] == str(api.rows[5]["incentive_burn"])
    assert cycle(av, state) == 0
    assert len(bot.requests) == 1
    assert len(stderr.writes) == 1


@pytest.mark.parametrize(("token", "chat"), [("", "42"), ("123:abc", "")])
def test_unconfigured_bot(av, api, bot, stderr, state, token, chat):
    cycle(av, state, token, chat)
    assert cycle(av, state, token, chat) == 0  # nothing changed, nothing to send
    api.set_incentive_burn(1, 0.123)
    assert cycle(av, state, token, chat) == 1
    assert stderr.getvalue() == "[burn] telegram failed: burn telegram not configured\n"
    assert bot.requests == []
    assert stored(state)["owner_burn_rate"]["1"] == "0.123"


@pytest.mark.parametrize("key", [None, "", "  \t\n"])
@pytest.mark.parametrize("run", [cycle, snapshot])
def test_missing_key_makes_no_request(av, api, bot, stderr, state, monkeypatch, key, run):
    if key is None:
        monkeypatch.delenv("TAOSTATS_API_KEY")
    else:
        monkeypatch.setenv("TAOSTATS_API_KEY", key)
    assert run(av, state) == 1
    assert stderr.getvalue() == NO_CREDENTIALS
    assert api.requests == []
    assert bot.requests == []
    assert not state.exists()


@pytest.mark.parametrize(
    ("run", "prefix"), [(cycle, "[burn] fetch failed: "), (snapshot, "[burn] startup fetch failed: ")]
)
def test_listing_failure_leaves_the_state_untouched(av, api, bot, stderr, state, run, prefix):
    state.write_bytes(b'{"owner_burn_rate": {"1": "0.5"}}')
    api.set_default(Reply.json({"message": "Unauthorized \u2192"}, status=401))
    assert run(av, state) == 1
    payload = {"error": "no_subnet_rows", "response": {"message": "Unauthorized \u2192", "http_status": 401}}
    assert stderr.getvalue() == prefix + json.dumps(payload) + "\n"
    assert "\\u2192" in stderr.getvalue()
    assert state.read_bytes() == b'{"owner_burn_rate": {"1": "0.5"}}'
    assert bot.requests == []


@pytest.mark.parametrize("run", [cycle, snapshot])
@pytest.mark.parametrize(
    ("listing", "kind"), [({"data": [1]}, "dict"), ({"error": ""}, "dict"), (None, "NoneType"), ((), "tuple")]
)
def test_listing_that_is_not_a_list(av, api, bot, stderr, state, monkeypatch, run, listing, kind):
    monkeypatch.setattr(av, "fetch_all_subnets_latest", lambda auth: listing)
    with pytest.raises(TypeError, match=f"^Expected list, got {kind}$"):
        run(av, state)
    assert not state.exists()
    assert stderr.getvalue() == ""


def test_rows_without_netuid_and_duplicates(av, api, bot, stderr, state):
    api.set_default(
        Reply.json(
            {
                "data": [
                    {"netuid": 7, "incentive_burn": 0.1},
                    {"name": "no id", "incentive_burn": 0.9},
                    {"netuid": "7", "incentive_burn": 0.2},
                    {"netuid": 12, "incentive_burn": None},
                ]
            }
        )
    )
    assert cycle(av, state) == 0
    assert stored(state)["owner_burn_rate"] == {"7": "0.2", "12": "0"}


def test_a_row_that_is_not_a_mapping_is_refused_by_the_burn_reader(av, api, bot, stderr, state):
    api.set_default(Reply.json({"data": [["netuid"]]}))
    with pytest.raises(TypeError, match=r"^Argument 'row' has incorrect type \(expected dict, got list\)$"):
        cycle(av, state)


def test_transport_failure_propagates(av, api, bot, stderr, state, monkeypatch):
    monkeypatch.setenv("TAOSTATS_API_BASE", f"http://127.0.0.1:{closed_port()}")
    with pytest.raises(av.urllib.error.URLError):
        cycle(av, state)
    assert not state.exists()


def test_delivery_result_must_unpack_into_two(av, api, bot, stderr, state, monkeypatch):
    cycle(av, state)
    api.set_incentive_burn(2, 0.31415)
    monkeypatch.setattr(av, "send_burn_telegram_messages", lambda *a: (True,))
    with pytest.raises(ValueError, match="need more than 1 value to unpack"):
        cycle(av, state)
    assert stored(state)["owner_burn_rate"]["2"] == "0.31415"  # stored before delivery


def test_startup_snapshot_stores_and_sends_every_row(av, api, bot, stderr, state):
    state.write_text('{"owner_burn_rate": {"1": "0.99", "999": "1"}}')
    rows = [{"netuid": 2, "incentive_burn": 0.18}, {"name": "x"}, {"netuid": 1, "incentive_burn": 1.0}]
    api.set_default(Reply.json({"data": rows}))
    assert snapshot(av, state) == 0
    assert stored(state) == {"owner_burn_rate": {"2": "0.18", "1": "1.0"}, "updated_at_utc": STAMP}
    assert bot.messages() == [
        f"Subnet owner burn rates (startup)\n{STAMP} UTC\n3 subnets\n\nSNNone: 0.0000\nSN1: 1.0000\nSN2: 0.1800"
    ]
    assert stderr.getvalue() == "[burn] startup snapshot sent (3 subnets)\n"
    assert cycle(av, state) == 0
    assert len(bot.requests) == 1


def test_startup_snapshot_of_a_full_network_is_numbered(av, api, bot, stderr, state, clock):
    api.rows = make_subnet_rows(400)
    assert snapshot(av, state) == 0
    messages = bot.messages()
    assert len(messages) == 2
    assert clock.sleeps == [0.4]
    assert [m.split("\n", 1)[0] for m in messages] == ["(1/2)", "(2/2)"]
    body_lines = [line for m in messages for line in m.split("\n")[5:]]
    assert len(body_lines) == 400
    assert body_lines[0].startswith("SN0: ")
    assert body_lines[-1].startswith("SN399: ")
    assert stderr.getvalue() == "[burn] startup snapshot sent (400 subnets)\n"


def test_startup_delivery_failure_keeps_the_new_map(av, api, bot, stderr, state):
    bot.script(Reply.text("bad gateway", status=502))
    assert snapshot(av, state) == 1
    assert stderr.getvalue() == "[burn] startup telegram failed: bad gateway\n"
    assert stored(state)["owner_burn_rate"] == burns_of(api.rows)
    assert snapshot(av, state, token="") == 1
    assert stderr.writes[-1] == "[burn] startup telegram failed: burn telegram not configured\n"


def test_poll_loop_end_to_end(av, api, bot, stderr, state, clock, tmp_path):
    pause = tmp_path / "pause"
    snapshot(av, state)
    old = stored(state)["owner_burn_rate"]["9"]

    def operator(n):  # one minute per wait: move a rate after the first poll, pause after the second
        if n == 90:
            api.set_incentive_burn(9, 0.4242)
        if n == 150:
            pause.write_text("")

    clock.after_sleep = operator
    av.run_burn_poll_loop(
        state_path=str(state),
        threshold=0.0001,
        interval_minutes=1,
        burn_token="123:abc",
        burn_chat_id="42",
        pause_path=str(pause),
    )
    assert stderr.getvalue().splitlines() == [
        "[burn] startup snapshot sent (130 subnets)",
        "[burn] alert sent (1 subnet(s))",
        "[burn] monitoring paused",
    ]
    assert bot.messages()[-1] == f"Owner burn rate changed\n{STAMP} UTC\n\nSN9: {av.format_owner_burn(old)} → 0.4242"
    assert len(api.requests) == 3


def written_forms(secret):
    """A regex for the secret as the log masks it: each character as itself, %-encoded or a JSON
    escape (either case), "/" also as "\\/"; or a long enough prefix where the text was cut."""

    def hexes(value, digits):
        return "".join(f"[{d}{d.upper()}]" for d in f"{value:0{digits}x}")

    def spelled(c):
        pct = "".join("%" + hexes(b, 2) for b in c.encode("utf-8", "surrogatepass"))
        units = c.encode("utf-16-be", "surrogatepass")
        units = [int.from_bytes(units[i : i + 2], "big") for i in range(0, len(units), 2)]
        json_forms = ["".join("\\\\" * n + "u" + hexes(u, 4) for u in units) for n in (1, 2)]
        solidus = [r"\\{1,2}/"] if c == "/" else []
        return "(?:" + "|".join([*json_forms[::-1], pct, *solidus, re.escape(c)]) + ")"  # the longest first

    chars = [spelled(c) for c in secret]
    shortest = max(8, (len(secret) + 1) // 2)
    cut = ["".join(chars[:k]) + r'(?=\Z|")' for k in range(len(secret) - 1, shortest - 1, -1)]
    return re.compile("|".join(["".join(chars), *cut]))


INVISIBLE = {0x2028, 0x2029, 0xFEFF, *range(0x200B, 0x2010), *range(0x202A, 0x202F), *range(0x2060, 0x2065)}
INVISIBLE |= set(range(0x2066, 0x206A))


def escaped(c):
    named = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
    if c in named:
        return named[c]
    if ord(c) < 0x20 or 0x7F <= ord(c) <= 0x9F:
        return f"\\x{ord(c):02x}"
    return f"\\u{ord(c):04x}" if ord(c) in INVISIBLE else c


def safe_text(text, token, key):
    """What a log line's text becomes: secrets masked, control characters escaped, then cut."""
    for secret in (token, key.strip() if isinstance(key, str) else None):
        if secret is not None and len(secret) >= 8:
            for form in (secret, repr(secret)[1:-1]):
                text = written_forms(form).sub("***", text)
    text = "".join(escaped(c) for c in text)
    return text if len(text) <= 1000 else text[:1000] + f" ... ({len(text) - 1000} more characters)"


def loop_error_line(av, monkeypatch, message, token, environ):
    """The line the poll loop writes for a cycle that raised Exception(message)."""
    recorder = StderrRecorder()
    waits = iter([True, False])
    with monkeypatch.context() as m:
        m.setattr(av, "sys", types.SimpleNamespace(stderr=recorder))
        m.setattr(av, "os", types.SimpleNamespace(environ=environ))
        m.setattr(av, "_sleep_until_interval", lambda seconds, pause_path: next(waits))
        m.setattr(av, "run_ashvigil_once", lambda **kw: (_ for _ in ()).throw(Exception(message)))
        av.run_burn_poll_loop(state_path="s", threshold=0.1, interval_minutes=1, burn_token=token, burn_chat_id="1")
    recorder.getvalue()  # one write a line, each ending the line
    assert recorder.writes[1] == "[burn] monitoring paused\n"
    return recorder.writes[0]


secretish = st.text(st.sampled_from("ab/\n\x1b\x85'\"\\ \u2192\ud800"), max_size=10)


def percent(text, upper=True):
    hexed = "".join(f"%{b:02X}" for b in text.encode("utf-8", "surrogatepass"))
    return hexed if upper else hexed.lower()


def json_escaped(text, backslashes="\\"):
    return "".join(f"{backslashes}u{ord(c):04x}" for c in text)


@given(
    pieces=st.lists(
        st.one_of(
            st.text(max_size=30), st.sampled_from(["T", "T!", "K", "K!", "T%", "K%", "T\\u", "T<", "K<", "LONG"])
        ),
        max_size=8,
    ),
    token=secretish,
    key=st.one_of(st.none(), secretish),
)
def test_log_text_matches_the_model(av, monkeypatch, pieces, token, key):
    # Messages mixing any text with the secrets as they are (T, K), escaped (T!, K!), encoded
    # (T%, K%, T\u), and cut (T<, K<).
    key = key or ""
    shown = {"T": token, "T!": repr(token)[1:-1], "K": key, "K!": repr(key)[1:-1], "LONG": "x" * 990}
    shown |= {"T%": percent(token), "K%": percent(key, upper=False), "T\\u": json_escaped(token)}
    shown |= {"T<": token[: len(token) * 4 // 5], "K<": key[: len(key) * 4 // 5]}
    message = "".join(shown.get(p, p) for p in pieces)
    line = loop_error_line(av, monkeypatch, message, token, {"TAOSTATS_API_KEY": key})
    assert line == "[burn] error: " + safe_text(message, token, key) + "\n"


def test_key_is_read_from_the_environment_when_the_line_is_written(av, monkeypatch):
    message = "a key sk-12345678 and a token 1234:bot-token"
    assert (
        loop_error_line(av, monkeypatch, message, "1234:bot-token", {"TAOSTATS_API_KEY": " sk-12345678\n"})
        == "[burn] error: a key *** and a token ***\n"
    )
    assert (
        loop_error_line(av, monkeypatch, message, "1234:bot-token", {})
        == "[burn] error: a key sk-12345678 and a token ***\n"
    )
    with pytest.raises(AttributeError):  # a broken host is not hidden
        loop_error_line(av, monkeypatch, message, "1234:bot-token", None)


def test_safe_lines_do_not_leak(av, monkeypatch):
    message = "line\n" * 300 + "key sk-12345678 token 1234:bot-token"
    assert_no_leak(
        lambda: loop_error_line(av, monkeypatch, message, "1234:bot-token", {"TAOSTATS_API_KEY": "sk-12345678"}),
        calls=50,
    )


def assert_safe(stderr, *secrets):
    text = stderr.getvalue()  # one write a line, each ending the line
    assert all(w.startswith("[burn] ") for w in stderr.writes)
    for secret in secrets:
        assert secret not in text
        assert repr(secret)[1:-1] not in text


@pytest.mark.parametrize(
    ("token", "key", "line"),
    [
        # A blank in the token makes the request URL invalid; the host's message quotes the path.
        (
            "123456:secret token",
            KEY,
            "[burn] error: URL can't contain control characters. '/bot***/sendMessage' (found at least ' ')",
        ),
        # A line break in the key makes the header invalid; the message shows it escaped.
        ("123:abc", "key-1234\r\nX-Forged: 1", "[burn] error: Invalid header value b'***'"),
    ],
)
def test_failures_raised_with_a_secret_are_masked_in_the_loop(
    av, api, bot, stderr, state, monkeypatch, token, key, line
):
    cycle(av, state, token=token)
    api.set_incentive_burn(1, 0.123)
    monkeypatch.setenv("TAOSTATS_API_KEY", f" {key} ")
    waits = iter([True, False])
    monkeypatch.setattr(av, "_sleep_until_interval", lambda seconds, pause_path: next(waits))
    av.run_burn_poll_loop(
        state_path=str(state), threshold=0.0001, interval_minutes=1, burn_token=token, burn_chat_id="42"
    )
    assert stderr.writes == [line + "\n", "[burn] monitoring paused\n"]
    assert_safe(stderr, token, key)


@pytest.mark.parametrize(("token", "shown"), [("123:abcdefgh", "***"), ("1:abcde", "1:abcde")])
def test_bot_page_echoing_the_token(av, api, bot, stderr, state, token, shown):
    cycle(av, state, token=token)
    api.set_incentive_burn(1, 0.123)
    bot.script(Reply.text(f"404 page not found: /bot{token}/sendMessage", status=404))
    assert cycle(av, state, token=token) == 1
    assert stderr.getvalue() == f"[burn] telegram failed: 404 page not found: /bot{shown}/sendMessage\n"


@pytest.mark.parametrize(
    ("run", "prefix"), [(cycle, "[burn] fetch failed: "), (snapshot, "[burn] startup fetch failed: ")]
)
def test_api_page_echoing_the_key(av, api, bot, stderr, state, run, prefix):
    api.set_default(Reply.text(f"Unauthorized: key {KEY}\x1b[2J", status=401))
    assert run(av, state) == 1
    assert stderr.getvalue().startswith(prefix)
    assert "Unauthorized: key ***\\u001b[2J" in stderr.getvalue()
    assert_safe(stderr, KEY)


SLASHED_KEY = "sk/Live-Az09+key"  # 16 characters, one of them "/"


@pytest.mark.parametrize("route", ["api page", "bot page"])
@pytest.mark.parametrize(
    "echo",
    [
        percent(SLASHED_KEY, upper=False),
        percent(SLASHED_KEY[:5]) + SLASHED_KEY[5:],
        json_escaped(SLASHED_KEY),
        json_escaped(SLASHED_KEY).upper().replace("\\U", "\\u"),
        SLASHED_KEY.replace("/", "\\/"),
    ],
)
def test_encoded_echoes_of_the_key_are_masked(av, api, bot, stderr, state, monkeypatch, route, echo):
    monkeypatch.setenv("TAOSTATS_API_KEY", SLASHED_KEY)
    api.api_key = SLASHED_KEY
    page = Reply.text(f"Unauthorized: key {echo}!", status=401)
    if route == "api page":  # shown as JSON: each backslash doubled
        api.set_default(page)
        message = {"status_code": 401, "message": "Unauthorized: key ***!", "http_status": 401}
        expected = "[burn] fetch failed: " + json.dumps({"error": "no_subnet_rows", "response": message}) + "\n"
    else:  # shown as it is
        cycle(av, state)
        api.set_incentive_burn(1, 0.123)
        bot.script(page)
        expected = "[burn] telegram failed: Unauthorized: key ***!\n"
    assert cycle(av, state) == 1
    assert stderr.getvalue() == expected


@pytest.mark.parametrize("kept", [8, 12, 15])
def test_a_key_cut_with_the_raw_text_is_masked(av, api, bot, stderr, state, monkeypatch, kept):
    monkeypatch.setenv("TAOSTATS_API_KEY", SLASHED_KEY)
    api.set_default(Reply.text("<p>" + "x" * (497 - kept) + SLASHED_KEY + "</p>"))
    assert cycle(av, state) == 1
    raw = "<p>" + "x" * (497 - kept) + "***"
    assert stderr.getvalue().endswith(f'"raw": "{raw}"}}}}\n')


@pytest.mark.parametrize(
    ("token", "kept", "masked"),
    [
        ("123456:Bot-token_Of-24ch", 11, False),  # under half the token
        ("123456:Bot-token_Of-24ch", 12, True),
        ("1:abcdefghij", 7, False),  # under eight characters
        ("1:abcdefghij", 8, True),
    ],
)
def test_a_token_cut_with_the_error_text_is_masked(av, api, bot, stderr, state, token, kept, masked):
    cycle(av, state, token=token)
    api.set_incentive_burn(1, 0.123)
    body = '{"ok": false, "error": "' + "e" * (300 - 24 - kept) + token + '"}'
    bot.script(Reply.text(body, status=400, content_type="application/json"))
    assert cycle(av, state, token=token) == 1
    shown = "***" if masked else token[:kept]
    assert stderr.getvalue() == "[burn] telegram failed: " + body[: 300 - kept] + shown + "\n"


def test_invisible_and_line_ending_characters_are_escaped(av, api, bot, stderr, state):
    invisible = sorted(INVISIBLE)
    page = "".join(chr(c) + "[burn] alert sent (1 subnet(s))" for c in invisible)
    snapshot(av, state)
    bot.script(Reply.text(page + "\u2027\u206a", status=502))
    assert snapshot(av, state) == 1
    shown = "".join(f"\\u{c:04x}[burn] alert sent (1 subnet(s))" for c in invisible)
    assert stderr.writes[1] == "[burn] startup telegram failed: " + shown + "\u2027\u206a\n"
    assert len(stderr.writes[1].splitlines()) == 1


def test_server_pages_stay_one_bounded_line(av, api, bot, stderr, state):
    page = "<html>\r\n<body>\n[burn] alert sent (99 subnet(s))\n\x1b]0;x\x07</body>\n</html>"
    snapshot(av, state)
    bot.script(Reply.text(page, status=502), Reply.text("y" * 10000, status=502))
    assert snapshot(av, state) == 1
    assert snapshot(av, state) == 1
    assert stderr.writes[1:] == [
        "[burn] startup telegram failed: <html>\\r\\n<body>\\n[burn] alert sent (99 subnet(s))\\n"
        "\\x1b]0;x\\x07</body>\\n</html>\n",
        "[burn] startup telegram failed: " + "y" * 1000 + " ... (9000 more characters)\n",
    ]
    assert_safe(stderr)


def test_cycle_does_not_leak(av, api, bot, stderr, state):
    api.record = False

    def calls():
        cycle(av, state)
        api.set_incentive_burn(1, 0.5 if stored(state)["owner_burn_rate"]["1"] != "0.5" else 0.25)
        cycle(av, state)
        bot.requests.clear()
        stderr.writes.clear()
        os.environ["TAOSTATS_API_KEY"] = ""
        cycle(av, state)
        os.environ["TAOSTATS_API_KEY"] = KEY

    assert_no_leak(calls, calls=25, warmup=300)
