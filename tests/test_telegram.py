"""Telegram delivery over real HTTP to the local stand-in Bot API."""

import http.client
import io
import json
import socket
import types
import urllib.error
import urllib.parse
import urllib.request

import pytest
from hypothesis import given
from hypothesis import strategies as st
from leakcheck import assert_no_leak

from stand_ins.server import Reply
from stand_ins.telegram import TelegramStandIn, accepted, refused, route_telegram

TOKEN = "123456:ABC-def_%41/x"  # goes into the path verbatim
CHAT = "-100987"
NOT_CONFIGURED = (False, "burn telegram not configured")


def form(text, chat_id=CHAT):
    return urllib.parse.urlencode({"chat_id": chat_id, "text": text, "disable_web_page_preview": "true"}).encode()


@pytest.mark.parametrize(("token", "chat_id"), [("", CHAT), (TOKEN, ""), ("", "")])
def test_unconfigured_bot_makes_no_request(av, bot, sleeps, token, chat_id):
    assert av.send_burn_telegram("hi", token, chat_id) == NOT_CONFIGURED
    assert av.send_burn_telegram_messages("x\n" * 5000, token, chat_id) == NOT_CONFIGURED
    assert bot.requests == []
    assert sleeps == []


def test_request_on_the_wire(av, bot):
    assert av.send_burn_telegram("Owner burn\nSN7: 1 \u2192 2 ~a_b.c-d", TOKEN, CHAT) == (True, "")
    [request] = bot.requests
    assert (request.method, request.path) == ("POST", f"/bot{TOKEN}/sendMessage")
    assert request.header("Content-Type") == ["application/x-www-form-urlencoded"]
    assert request.header("Host") == ["api.telegram.org"]
    assert request.body == (
        b"chat_id=-100987&text=Owner+burn%0ASN7%3A+1+%E2%86%92+2+~a_b.c-d&disable_web_page_preview=true"
    )
    assert bot.route.timeouts == [30]


form_texts = st.text(st.characters(blacklist_categories=("Cs",)) | st.sampled_from(" \n\x00~+&=%\u2192\U0001f600"))


def test_form_body_matches_urlencode(av):
    # One server and route for every example: building an opener is slow on newer hosts.
    with TelegramStandIn() as server, route_telegram(server):

        @given(text=form_texts, chat_id=form_texts.filter(bool))
        def check(text, chat_id):
            server.requests.clear()
            assert av.send_burn_telegram(text, TOKEN, chat_id) == (True, "")
            assert server.requests[0].body == form(text, chat_id)
            assert server.messages() == [text]

        check()


def test_lone_surrogates_fail_like_urlencode(av, bot):
    with pytest.raises(UnicodeEncodeError) as expected:
        form("a\ud800", "\ud83d\ude00\udfff")  # chat_id is encoded first
    with pytest.raises(UnicodeEncodeError) as info:
        av.send_burn_telegram("a\ud800", TOKEN, "\ud83d\ude00\udfff")
    assert str(info.value) == str(expected.value)
    assert bot.requests == []


LONG = json.dumps({"ok": False, "note": "\U0001f600" * 400}, ensure_ascii=False)


@pytest.mark.parametrize(
    ("reply", "expected"),
    [
        (accepted(), (True, "")),
        (refused("no"), (False, "{'ok': False, 'error_code': 200, 'description': 'no'}")),
        (Reply.json({"result": []}), (False, "{'result': []}")),
        (refused("Bad Request: chat not found", 400), (False, "Bad Request: chat not found")),
        (Reply.json({"description": 42}, 403), (False, 42)),
        (Reply.json({"description": ""}, 500), (False, '{"description": ""}')),
        (Reply.text(LONG, 502), (False, LONG[:300])),
        (Reply.text("Bad Gateway " * 100, 502), (False, "Bad Gateway " * 100)),
        (Reply(500), (False, "HTTP Error 500: Internal Server Error")),
        (Reply.text("<html>ok</html>"), json.JSONDecodeError),
        (Reply.text(b"\xff{}"), UnicodeDecodeError),
        (Reply.json([True]), AttributeError),
        (Reply.text(b"\x80 broken", 500), UnicodeDecodeError),
    ],
)
def test_replies(av, bot, reply, expected):
    bot.script(reply)
    if isinstance(expected, tuple):
        assert av.send_burn_telegram("hello", TOKEN, CHAT) == expected
    else:
        with pytest.raises(expected):
            av.send_burn_telegram("hello", TOKEN, CHAT)
    assert len(bot.requests) == 1


def test_transport_failures(av):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with route_telegram(f"http://127.0.0.1:{port}"):
        result = av.send_burn_telegram("hello", TOKEN, CHAT)
        with pytest.raises(urllib.error.URLError) as direct:
            urllib.request.urlopen(f"https://api.telegram.org/bot{TOKEN}/sendMessage", data=b"x", timeout=30)
    assert result == (False, str(direct.value))
    assert "refused" in result[1]
    with TelegramStandIn() as server, route_telegram(server, timeout=0.1):
        server.script(accepted(delay=0.5))
        assert av.send_burn_telegram("hello", TOKEN, CHAT) == (False, "timed out")
        with pytest.raises(http.client.InvalidURL):  # not of the OSError family: not caught
            av.send_burn_telegram("hello", "bad\ntoken", CHAT)


class Body(io.BytesIO):
    closes = 0

    def close(self):
        Body.closes += 1
        super().close()


class FailingRead(Body):
    def read(self, *args):
        raise ConnectionResetError(104, "reset while reading")


def http_error(body):
    return urllib.error.HTTPError("https://api.telegram.org/x", 400, "Bad Request", {}, body)


@pytest.fixture
def fake_urlopen(av, monkeypatch):
    """urlopen answering in-process from `state.outcomes`: body streams or exceptions."""
    state = types.SimpleNamespace(outcomes=iter(()), seen=[])
    Body.closes = 0

    def urlopen(req, timeout):
        state.seen.append((req.full_url, req.get_method(), req.header_items(), timeout))
        outcome = next(state.outcomes)()
        if isinstance(outcome, Exception):
            raise outcome
        return outcome

    monkeypatch.setattr(
        av,
        "urllib",
        types.SimpleNamespace(
            request=types.SimpleNamespace(Request=urllib.request.Request, urlopen=urlopen),
            error=urllib.error,
            parse=urllib.parse,
        ),
    )
    return state


@pytest.mark.parametrize(
    ("outcome", "expected"),
    [
        (lambda: Body(b'{"ok": true}'), (True, "")),
        (lambda: Body(b"not json"), json.JSONDecodeError),
        (lambda: FailingRead(), (False, "[Errno 104] reset while reading")),
        (lambda: http_error(Body(b'{"description": "no"}')), (False, "no")),
        (lambda: http_error(Body(b"\xff")), UnicodeDecodeError),
        (lambda: http_error(FailingRead()), ConnectionResetError),  # raised inside the HTTPError branch
    ],
)
def test_bodies_are_closed_on_every_path(av, fake_urlopen, outcome, expected):
    fake_urlopen.outcomes = iter([outcome])
    if isinstance(expected, tuple):
        assert av.send_burn_telegram("x", "T", "1") == expected
    else:
        with pytest.raises(expected):
            av.send_burn_telegram("x", "T", "1")
    assert Body.closes == 1
    assert fake_urlopen.seen == [
        (
            "https://api.telegram.org/botT/sendMessage",
            "POST",
            [("Content-type", "application/x-www-form-urlencoded")],
            30,
        )
    ]


@pytest.mark.parametrize(("body", "error"), [(b"\xff", UnicodeDecodeError), (b"[1]", AttributeError)])
def test_failures_in_the_error_branch_chain_to_the_http_error(av, fake_urlopen, body, error):
    fake_urlopen.outcomes = iter([lambda: http_error(Body(body))])
    with pytest.raises(error) as e:
        av.send_burn_telegram("x", "T", "1")
    assert isinstance(e.value.__context__, urllib.error.HTTPError)


def test_long_snapshot_arrives_as_numbered_pieces(av, bot, sleeps):
    text = av.format_burn_snapshot([{"netuid": n, "incentive_burn": n / 997} for n in range(600)], "t")
    pieces = av._chunk_text(text)
    assert av.send_burn_telegram_messages(text, TOKEN, CHAT) == (True, "")
    assert len(pieces) == 3
    assert bot.messages() == [f"({i}/3)\n{p}" for i, p in enumerate(pieces, 1)]
    assert sleeps == [0.4, 0.4]


@pytest.mark.parametrize("pieces", [["only one"], [""], [f"p{i}" for i in range(12)]])
def test_pieces_are_numbered_only_when_several(av, bot, sleeps, monkeypatch, pieces):
    calls = []
    monkeypatch.setattr(av, "_chunk_text", lambda *a, **k: calls.append((a, k)) or pieces)
    assert av.send_burn_telegram_messages("whole", TOKEN, CHAT) == (True, "")
    assert calls == [(("whole",), {})]
    n = len(pieces)
    assert bot.messages() == (pieces if n == 1 else [f"({i}/{n})\n{p}" for i, p in enumerate(pieces, 1)])
    assert sleeps == [0.4] * (n - 1)


def test_delivery_stops_at_the_failed_piece(av, bot, sleeps, monkeypatch):
    monkeypatch.setattr(av, "_chunk_text", lambda text: ["a", "b", "c"])
    bot.script(accepted(), refused("Too Many Requests: retry after 5", 429))
    assert av.send_burn_telegram_messages("abc", TOKEN, CHAT) == (False, "Too Many Requests: retry after 5")
    assert [r.fields["text"] for r in bot.requests] == ["(1/3)\na", "(2/3)\nb"]
    assert sleeps == [0.4]


@pytest.mark.parametrize(
    ("answer", "expected"),
    [
        ((0, "zero"), (False, "zero")),
        ([None, ["why"]], (False, ["why"])),
        (iter([1, "ignored"]), (True, "")),
        ((True,), "need more than 1 value to unpack"),
        ((True, "", ""), "too many values to unpack (expected 2)"),
    ],
)
def test_sender_is_looked_up_in_the_namespace(av, sleeps, monkeypatch, answer, expected):
    sent = []
    monkeypatch.setattr(av, "send_burn_telegram", lambda *args: sent.append(args) or answer)
    try:
        result = av.send_burn_telegram_messages("t", "tok", "chat")
    except ValueError as error:
        result = str(error)
    assert result == expected
    assert sent == [("t", "tok", "chat")]


def test_telegram_does_not_leak(av, fake_urlopen, sleeps):
    # In-process replies: a local server's threads add the host's own allocation noise.
    outcomes = [
        lambda: Body(b'{"ok": true}'),
        lambda: Body(b'{"ok": false}'),
        lambda: Body(b"[]"),
        lambda: Body(b"<html>"),
        lambda: FailingRead(),
        lambda: http_error(Body(b'{"description": "d"}')),
        lambda: http_error(Body(b'{"x": 1}')),
        lambda: http_error(Body(b"plain")),
        lambda: http_error(Body(b"")),
        lambda: http_error(None),
        lambda: http_error(Body(b"\xff")),
        lambda: ConnectionRefusedError(111, "Connection refused"),
    ]
    long_text = "T\nU\nN\n\n" + ("line " * 100 + "\n") * 20

    def calls():
        sleeps.clear()
        fake_urlopen.seen.clear()
        fake_urlopen.outcomes = iter([*outcomes, outcomes[0], outcomes[5]])
        for _ in outcomes:
            try:
                av.send_burn_telegram("hello \u2192", TOKEN, CHAT)
            except (ValueError, AttributeError):
                pass
        assert av.send_burn_telegram_messages(long_text, TOKEN, CHAT) == (False, "d")
        av.send_burn_telegram_messages("x", "", CHAT)
        with pytest.raises(UnicodeEncodeError):
            av.send_burn_telegram("x", TOKEN, "\ud800")

    assert_no_leak(calls)
