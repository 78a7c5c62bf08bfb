"""The taostats client: configuration, one GET, rate-limit retries and the subnet listing.

HTTP goes for real to the stand-in service on 127.0.0.1; retry pauses are recorded, not slept.
"""

import http.client
import json
import os
import sys
import time
import urllib.error
import urllib.request
from decimal import Decimal
from types import MappingProxyType, SimpleNamespace

import pytest
from hypothesis import given
from hypothesis import strategies as st
from leakcheck import assert_no_leak

from stand_ins.server import Reply, closed_port
from stand_ins.taostats import LISTING_PATH, TaostatsStandIn, make_subnet_rows

DEFAULT_AGENT = "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/131.0.0.0 Safari/537.36"
FIXED_HEADERS = [("Accept", "application/json, text/plain, */*"), ("Accept-Language", "en-US,en;q=0.9")]
TRANSPORT_HEADERS = {"Host", "Accept-Encoding", "Connection"}  # urllib's own
LISTING_TARGET = LISTING_PATH + "?limit=1024&order=netuid_asc"
SCHEDULE = [2.0, 3.6, 6.48, 11.664, 20.9952]
LONG_PAGE = "<html>" + "é" * 694  # 700 code points, more bytes


def set_env(monkeypatch, name, value):
    if value is None:
        monkeypatch.delenv(name, raising=False)
    else:
        monkeypatch.setenv(name, value)


def parse_failure(text):
    try:
        json.loads(text)
    except json.JSONDecodeError as exc:
        return {"parse_error": str(exc), "raw": text[:500]}


def limited(n, status=429):
    return Reply.json({"message": "You are Rate Limited", "n": n}, status=status)


def fine(n):
    return Reply.json({"n": n})


# --- configuration -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("base", "expected"),
    [
        (None, "https://api.taostats.io"),
        ("http://h:1///", "http://h:1"),
        ("/", ""),
        ("", ""),
        ("http://h/a//b/ ", "http://h/a//b/ "),
    ],
)
@pytest.mark.parametrize(
    ("key", "auth"),
    [(None, None), ("", None), (" \t\r\n", None), ("\u3000\x1c\x85", None), ("\t k e y\u2003\n", "k e y")],
)
def test_configuration_from_environment(av, monkeypatch, base, expected, key, auth):
    set_env(monkeypatch, "TAOSTATS_API_BASE", base)
    set_env(monkeypatch, "TAOSTATS_API_KEY", key)
    assert (av.api_base(), av.taostats_auth()) == (expected, auth)


@given(
    st.text(st.sampled_from("/ \t\u3000a\x85\ud800") | st.characters(), max_size=8),
    st.text(st.sampled_from(" \t\n\u2028k\x00") | st.characters(), max_size=8),
    st.text(max_size=4),
)
def test_environment_read_through_module_os(av, monkeypatch, base, key, agent):
    environ = MappingProxyType({"TAOSTATS_API_BASE": base, "TAOSTATS_API_KEY": key, "TAOSTATS_USER_AGENT": agent})
    monkeypatch.setattr(av, "os", SimpleNamespace(environ=environ))
    assert (av.api_base(), av.taostats_auth()) == (base.rstrip("/"), key.strip() or None)
    first, second = av.request_headers(" Bearer k "), av.request_headers(auth=" Bearer k ")
    assert (
        list(first.items())
        == list(second.items())
        == [("Authorization", " Bearer k "), ("User-Agent", agent), *FIXED_HEADERS]
    )
    first["Accept"] = "changed"  # a fresh mapping on every call
    assert second["Accept"] == FIXED_HEADERS[0][1]


env_bytes = st.binary(max_size=8).filter(lambda b: b"\0" not in b)


@given(env_bytes, env_bytes | st.none(), env_bytes | st.none())
def test_process_environment_reads_as_os_environ_get(av, monkeypatch, base, key, agent):
    # Bytes that are not UTF-8 reach os.environ as surrogate escapes; the readers must give the same.
    for name, value in (("TAOSTATS_API_BASE", base), ("TAOSTATS_API_KEY", key), ("TAOSTATS_USER_AGENT", agent)):
        if value is None:
            monkeypatch.delitem(os.environb, name.encode(), raising=False)
        else:
            monkeypatch.setitem(os.environb, name.encode(), value)
    get = os.environ.get
    assert av.api_base() == get("TAOSTATS_API_BASE", "https://api.taostats.io").rstrip("/")
    assert av.taostats_auth() == (get("TAOSTATS_API_KEY", "").strip() or None)
    assert av.request_headers("k")["User-Agent"] == get("TAOSTATS_USER_AGENT", DEFAULT_AGENT)


@pytest.mark.parametrize(
    "patch",
    [
        lambda mp: mp.setattr(type(os.environ), "get", lambda self, k, d=None: "from get"),
        lambda mp: mp.setattr(type(os.environ), "__getitem__", lambda self, k: "from get"),
        lambda mp: mp.setattr(os.environ, "decodevalue", lambda v: "from get"),
        lambda mp: mp.setattr(os.environ, "get", lambda k, d=None: "from get"),
        lambda mp: mp.setattr(os, "environ", {"TAOSTATS_API_BASE": "from get"}),
    ],
)
def test_changed_os_environ_is_asked(av, monkeypatch, patch):
    monkeypatch.setenv("TAOSTATS_API_BASE", "http://h")
    patch(monkeypatch)
    assert av.api_base() == "from get"


# --- one GET: what the server receives -----------------------------------------------------------------


@pytest.mark.parametrize(("agent", "prefix"), [(None, ""), ("", ""), ("custom agent ", "/prefix//")])
def test_listing_request_on_the_wire(av, api, monkeypatch, agent, prefix):
    set_env(monkeypatch, "TAOSTATS_USER_AGENT", agent)
    monkeypatch.setenv("TAOSTATS_API_BASE", api.origin + prefix)
    if prefix:
        api.set_default(Reply.json({"data": api.rows}))
    assert av.fetch_all_subnets_latest("tao-key ") == api.rows
    (request,) = api.requests
    assert (request.method, request.target, request.body) == ("GET", prefix.rstrip("/") + LISTING_TARGET, b"")
    assert [(k, v) for k, v in request.headers if k not in TRANSPORT_HEADERS] == [
        ("Authorization", "tao-key "),
        ("User-Agent", DEFAULT_AGENT if agent is None else agent),
        *FIXED_HEADERS,
    ]


@pytest.mark.parametrize(
    ("params", "target"),
    [
        ({}, "/p"),
        ({"a": None, "b": ""}, "/p"),
        ({"a": 0, "b": False, "c": [], "d": None, "e": ""}, "/p?a=0&b=False&c=[]"),
        ({"q": "a&b=c", "n": -5}, "/p?q=a&b=c&n=-5"),
    ],
)
def test_query_text_on_the_wire(av, api, params, target):
    api.set_default(Reply.json({}))
    assert av.http_get_json("/p", params, "k") == {}
    assert api.requests[0].target == target


class FakeResponse:
    def __init__(self, body=b"{}", read_error=None, close_error=None):
        self.body, self.read_error, self.close_error, self.closed = body, read_error, close_error, 0

    def read(self):
        if self.read_error:
            raise self.read_error
        return self.body

    def close(self):
        self.closed += 1
        if self.close_error:
            raise self.close_error


def install_urlopen(av, monkeypatch, outcome):
    """The module's urllib replaced by one whose Request and urlopen record what they are given."""
    calls = []

    def urlopen(request, **kwargs):
        calls.append((request, kwargs))
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    request = SimpleNamespace(Request=lambda url, **kw: SimpleNamespace(url=url, **kw), urlopen=urlopen)
    monkeypatch.setattr(av, "urllib", SimpleNamespace(request=request, error=urllib.error))
    return calls


@given(
    st.dictionaries(
        st.text(max_size=4), st.none() | st.text(max_size=4) | st.integers() | st.booleans() | st.floats(), max_size=5
    )
)
def test_url_matches_host_formatting(av, monkeypatch, params):
    monkeypatch.setenv("TAOSTATS_API_BASE", "http://h/")
    calls = install_urlopen(av, monkeypatch, FakeResponse())
    av.http_get_json("/p", params, "k")
    query = "&".join(f"{k}={v}" for k, v in params.items() if v is not None and v != "")
    ((request, kwargs),) = calls
    assert request.url == "http://h/p" + ("?" + query if query else "")
    assert kwargs == {"timeout": 60}
    assert request.headers == av.request_headers("k")


@pytest.mark.parametrize(
    ("response", "as_error", "outcome"),
    [
        (FakeResponse(b'{"a": 1}'), False, {"a": 1}),
        (FakeResponse(b"\xff{}"), False, UnicodeDecodeError),
        (FakeResponse(b"[1]"), False, TypeError),
        (FakeResponse(read_error=ConnectionResetError()), False, ConnectionResetError),
        (FakeResponse(read_error=ConnectionResetError(), close_error=OSError()), False, OSError),
        (FakeResponse(b""), True, {"status_code": 503, "message": "Busy", "http_status": 503}),
        (FakeResponse(b"repair"), True, {"status_code": 503, "message": "repair", "http_status": 503}),
        (FakeResponse(read_error=ConnectionResetError()), True, ConnectionResetError),
    ],
)
def test_responses_closed_on_every_path(av, monkeypatch, response, as_error, outcome):
    install_urlopen(
        av, monkeypatch, urllib.error.HTTPError("http://h/p", 503, "Busy", {}, response) if as_error else response
    )
    if isinstance(outcome, dict):
        assert av.http_get_json("/p", {}, "k") == outcome
    else:
        with pytest.raises(outcome) as caught:
            av.http_get_json("/p", {}, "k")
        if response.close_error:  # chained as a finally clause chains them
            assert caught.value is response.close_error
            assert caught.value.__context__ is response.read_error
    assert response.closed == 1


def test_host_facilities_and_siblings_looked_up_at_call_time(av, api, monkeypatch):
    monkeypatch.setattr(av, "api_base", lambda: api.origin + "/v2")
    monkeypatch.setattr(av, "request_headers", lambda auth: {"X-Key": auth})
    monkeypatch.setattr(
        av,
        "json",
        SimpleNamespace(loads=lambda s: json.loads(s, parse_float=Decimal), JSONDecodeError=json.JSONDecodeError),
    )
    api.script(Reply(200, b'{"rate": 0.18}'))
    assert av.http_get_json("/x", {}, "abc") == {"rate": Decimal("0.18")}
    (request,) = api.requests
    assert (request.target, request.header("X-Key"), request.header("Authorization")) == ("/v2/x", ["abc"], [])


# --- one GET: answers ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("answer", "expected"),
    [
        (Reply(200, b"{}"), {}),
        (Reply(201, b'{"b": 1, "a": [2], "c": null}'), {"b": 1, "a": [2], "c": None}),
        (Reply(200, b"null"), None),
        (Reply(200, b""), parse_failure("")),
        (Reply(204), parse_failure("")),
        (Reply.text(LONG_PAGE), parse_failure(LONG_PAGE)),
        (
            Reply.json({"message": "boom", "http_status": 1, "x": 2}, status=500),
            {"message": "boom", "http_status": 500, "x": 2},
        ),
        (Reply.json({"detail": "no"}, status=401), {"detail": "no", "http_status": 401}),
        (Reply(429), {"status_code": 429, "message": "Too Many Requests", "http_status": 429}),
        (Reply(404, reason="Nothing Here"), {"status_code": 404, "message": "Nothing Here", "http_status": 404}),
        (Reply.text(LONG_PAGE, status=502), {"status_code": 502, "message": LONG_PAGE, "http_status": 502}),
    ],
)
def test_payloads(av, api, answer, expected):
    api.script(answer)
    payload = av.http_get_json(LISTING_PATH, {}, "k")
    assert payload == expected
    assert list(payload or ()) == list(expected or ())


@pytest.mark.parametrize(
    ("answer", "error", "text"),
    [
        (Reply(200, b"[1, 2]"), TypeError, "Expected dict, got list"),
        (Reply(200, b"7"), TypeError, "Expected dict, got int"),
        (Reply(200, b'"text"'), TypeError, "Expected dict, got str"),
        (Reply(503, b"[1]"), TypeError, None),
        (Reply(500, b"null"), TypeError, None),
        (Reply(200, b'{"a": "\xff"}'), UnicodeDecodeError, None),
        (Reply(500, b"\xfe down"), UnicodeDecodeError, None),
        (Reply(200, b"{}", headers=[("Content-Length", "50")]), http.client.IncompleteRead, None),
        (Reply(drop=True), http.client.RemoteDisconnected, None),
    ],
)
def test_raised_failures(av, api, answer, error, text):
    api.script(answer)
    with pytest.raises(error) as caught:
        av.http_get_json(LISTING_PATH, {}, "k")
    assert text is None or str(caught.value) == text


@pytest.mark.parametrize(
    ("final", "expected"),
    [
        (Reply.json({"data": [1]}), {"data": [1]}),
        (Reply(404, reason="Gone Away"), {"status_code": 404, "message": "Gone Away", "http_status": 404}),
    ],
)
def test_redirect_followed(av, api, final, expected):
    api.script(Reply.redirect("/moved?x=1"), final)
    assert av.http_get_json("/start", {"a": 1}, "k") == expected
    assert [r.target for r in api.requests] == ["/start?a=1", "/moved?x=1"]


@pytest.fixture(params=["default opener", "installed opener"])
def opener(request):
    """urlopen's own opener, or one the host installed."""
    if request.param == "default opener":
        yield
        return
    before = urllib.request._opener
    urllib.request.install_opener(urllib.request.build_opener(urllib.request.HTTPHandler()))
    yield
    urllib.request.install_opener(before)


@pytest.mark.parametrize("code", [301, 302, 303, 307, 308])
@pytest.mark.parametrize("place", ["same origin", "same host in capitals", "other port", "other host"])
def test_api_key_goes_only_to_the_api_origin(av, api, opener, monkeypatch, code, place):
    with TaostatsStandIn() as other:
        if place == "same host in capitals":
            monkeypatch.setenv("TAOSTATS_API_BASE", f"http://LocalHost:{api.port}")
        to = {"other port": other.origin, "other host": f"http://localhost:{other.port}"}.get(place, api.origin)
        to = to.replace("127.0.0.1", "localhost") if place == "same host in capitals" else to
        api.script(Reply.redirect(to + "/next?b=2", code))
        (other if place.startswith("other") else api).script(Reply.json({"ok": 1}))
        payload = av.http_get_json("/start", {}, "the-key")
        followed = code != 308 or sys.version_info >= (3, 11)  # urllib follows 308 from 3.11 on
        permanent = {"status_code": 308, "message": "Permanent Redirect", "http_status": 308}
        assert payload == ({"ok": 1} if followed else permanent)
        arrived = [r.header("Authorization") for r in api.requests + other.requests if r.target == "/next?b=2"]
        assert arrived == ([["the-key"]] if place.startswith("same") else [[]])[: int(followed)]
        assert api.requests[0].header("Authorization") == ["the-key"]


def test_api_key_not_sent_to_another_scheme(av, api):
    seen = []

    class RecordingHTTPS(urllib.request.HTTPSHandler):
        def https_open(self, req):
            seen.append(req.header_items())
            raise urllib.error.URLError("recorded")

    before = urllib.request._opener
    urllib.request.install_opener(urllib.request.build_opener(RecordingHTTPS()))
    try:
        api.script(Reply.redirect(f"https://127.0.0.1:{api.port}/next"))
        with pytest.raises(urllib.error.URLError, match="recorded"):
            av.http_get_json("/start", {}, "the-key")
    finally:
        urllib.request.install_opener(before)
    assert len(seen) == 1
    assert "Authorization" not in dict(seen[0])


def test_redirect_limits_of_the_opener_still_apply(av, api):
    api.set_default(Reply.redirect("/loop"))
    payload = av.http_get_json("/loop", {}, "k")
    assert payload["http_status"] == 302
    assert "infinite loop" in payload["message"]
    assert [r.header("Authorization") for r in api.requests] == [["k"]] * 5


MiB = 1024 * 1024


@pytest.mark.parametrize(
    "answer",
    [
        lambda: Reply(200, b" " * (32 * MiB - 2) + b"{}"),  # exactly the bound
        lambda: Reply(200, b" " * (32 * MiB - 1) + b"{}"),
        lambda: Reply(200, b"\0" * MiB, repeat=64, headers=[("Content-Length", str(1 << 40))]),  # endless
        lambda: Reply(500, b"\0" * MiB, repeat=64),
    ],
)
def test_reply_bodies_are_bounded(av, api, answer):
    reply = answer()
    api.script(reply)
    if len(reply.body) * reply.repeat <= 32 * MiB:
        assert av.http_get_json("/p", {}, "k") == {}
        return
    with pytest.raises(OSError, match="33554432 bytes") as caught:
        av.http_get_json("/p", {}, "k")
    assert type(caught.value) is OSError


@pytest.mark.full_run
def test_exchange_abandoned_after_two_minutes(av, api):
    api.script(Reply(200, b" ", repeat=130, pause=1.0))  # a body that would take 130 s
    started = time.monotonic()
    with pytest.raises(TimeoutError, match="120 seconds"):
        av.fetch_all_subnets_latest("k")
    assert len(api.requests) == 1
    assert time.monotonic() - started < 129


@pytest.mark.parametrize(
    "call",
    [
        lambda av: av.http_get_json("/p", {}, "k"),
        lambda av: av.with_retries("/p", {}, "k"),
        lambda av: av.fetch_all_subnets_latest("k"),
    ],
)
def test_transport_failures_raised_as_host_reports_them(av, monkeypatch, sleeps, call):
    monkeypatch.setenv("TAOSTATS_API_BASE", f"http://127.0.0.1:{closed_port()}")
    with pytest.raises(urllib.error.URLError) as caught:
        call(av)
    assert type(caught.value) is urllib.error.URLError
    assert isinstance(caught.value.reason, ConnectionRefusedError)
    for base in ["", "127.0.0.1/x"]:
        monkeypatch.setenv("TAOSTATS_API_BASE", base)
        with pytest.raises(ValueError, match="unknown url type"):
            call(av)
    assert sleeps == []


# --- rate limits and retries -----------------------------------------------------------------------------


class Int(int):
    pass


@pytest.mark.parametrize(
    ("payload", "expected"),
    [
        ({}, False),
        ({"status_code": 429}, True),
        ({"status_code": 429.0}, True),
        ({"status_code": Int(429)}, True),
        ({"status_code": "429"}, False),
        ({"status_code": True}, False),
        ({"status_code": None, "message": None}, False),
        ({"status_code": 428}, False),
        ({"status_code": 429.5}, False),
        ({"status_code": 2**80 + 429}, False),
        ({"http_status": 429}, False),
        ({"message": "Rate Limited"}, True),
        ({"message": "API Rate Limited!"}, True),
        ({"message": "rate limited"}, False),
        ({"message": "RATE LIMITED"}, False),
        ({"message": ["Rate Limited"]}, True),
        ({"status_code": 500, "message": "Rate Limited"}, True),
    ],
)
def test_is_rate_limited(av, payload, expected):
    assert av.is_rate_limited(payload) is expected


@pytest.mark.parametrize(
    ("answers", "max_retries", "requests", "expected_pauses"),
    [
        ([fine(1)], 6, 1, []),
        ([limited(1), fine(2)], 6, 2, [2.0]),
        ([Reply(429), fine(2)], 6, 2, [2.0]),
        ([limited(1, status=200), fine(2)], 6, 2, [2.0]),
        ([Reply.json({"status_code": 429.0, "n": 1}), fine(2)], 6, 2, [2.0]),
        ([Reply.json({"detail": "slow down", "n": 1}, status=429), fine(2)], 6, 1, []),
        ([limited(n) for n in range(1, 7)] + [fine(7)], 6, 6, SCHEDULE),
        ([limited(1), fine(2)], 1, 1, []),
        ([limited(1), limited(2), fine(3)], 2.9, 2, [2.0]),
        ([limited(n) for n in range(1, 11)], 10, 10, [*SCHEDULE, 37.79136, 68.024448, 120.0, 120.0]),
    ],
)
def test_retry_schedule(av, api, sleeps, answers, max_retries, requests, expected_pauses):
    api.script(*answers)
    payload = av.with_retries(LISTING_PATH, {"limit": 1}, "k", max_retries=max_retries)
    assert payload.get("n", 1) == requests == len(api.requests)
    assert sleeps == pytest.approx(expected_pauses)
    assert all(type(p) is float for p in sleeps)
    assert {r.target for r in api.requests} == {LISTING_PATH + "?limit=1"}


def test_raised_failures_end_the_retries(av, api, sleeps, monkeypatch):
    api.script(limited(1), limited(2), Reply(drop=True), Reply(200, b"null"))
    with pytest.raises(http.client.RemoteDisconnected):  # at the third attempt: no fourth request
        av.with_retries(LISTING_PATH, {}, "k")
    assert sleeps == pytest.approx([2.0, 3.6])
    assert len(api.requests) == 3
    with pytest.raises(TypeError, match="'payload'"):  # a null payload is refused by is_rate_limited
        av.with_retries(LISTING_PATH, {}, "k")
    api.script(limited(5), fine(6))
    monkeypatch.setattr(av, "time", SimpleNamespace(sleep=lambda s: sleeps.append(s) or 1 / 0))
    with pytest.raises(ZeroDivisionError):  # a new call starts its back-off afresh
        av.with_retries(LISTING_PATH, {}, "k")
    assert sleeps[2:] == [2.0]
    assert len(api.requests) == 5


@pytest.mark.parametrize("max_retries", [0, -1, -(2**70), 0.9])
def test_no_attempt_at_all(av, api, max_retries):
    with pytest.raises(ValueError, match="max_retries must be at least 1"):
        av.with_retries(LISTING_PATH, {}, "k", max_retries=max_retries)
    assert api.requests == []


def test_callers_go_through_the_module_namespace(av, monkeypatch, sleeps):
    calls, answers, params = [], iter([{"a": 1}, {"a": 2}, {"a": 3}]), {"x": 1}
    monkeypatch.setattr(av, "http_get_json", lambda *args: calls.append(args) or next(answers))
    monkeypatch.setattr(av, "is_rate_limited", lambda payload: payload["a"] < 3)
    assert av.with_retries("/p", params, "k") == {"a": 3}
    assert sleeps == pytest.approx([2.0, 3.6])
    assert calls == [("/p", params, "k")] * 3
    assert all(c[1] is params for c in calls)
    seen, payload = [], {"data": [{"netuid": 1}]}
    monkeypatch.setattr(av, "with_retries", lambda *args, **kw: seen.append((args, kw)) or payload)
    assert av.fetch_all_subnets_latest("k") is payload["data"]
    ((args, kw),) = seen
    assert (args[0], list(args[1].items()), args[2], kw) == (
        LISTING_PATH,
        [("limit", 1024), ("order", "netuid_asc")],
        "k",
        {},
    )
    empty = MappingProxyType({"data": []})  # not a dict: read through .get
    monkeypatch.setattr(av, "with_retries", lambda *args: empty)
    assert av.fetch_all_subnets_latest("k") == {"error": "no_subnet_rows", "response": empty}


# --- subnet listing ----------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("answer", "response"),
    [
        *[
            (Reply.json(p), p)
            for p in [{"data": []}, {}, {"data": None}, {"data": 0}, {"data": ""}, {"data": {}}, {"data": False}]
        ],
        (Reply.json({"message": "Unauthorized"}, status=401), {"message": "Unauthorized", "http_status": 401}),
        (Reply.text("<html>down</html>"), parse_failure("<html>down</html>")),
        (Reply(500), {"status_code": 500, "message": "Internal Server Error", "http_status": 500}),
        ([limited(n) for n in range(1, 7)], {"message": "You are Rate Limited", "n": 6, "http_status": 429}),
    ],
)
def test_no_rows(av, api, sleeps, answer, response):
    api.script(*answer) if isinstance(answer, list) else api.script(answer)
    result = av.fetch_all_subnets_latest("k")
    assert result == {"error": "no_subnet_rows", "response": response}
    assert list(result) == ["error", "response"]
    assert sum(sleeps) == pytest.approx(44.7392 if isinstance(answer, list) else 0)


@pytest.mark.parametrize(
    ("answer", "rows"),
    [
        (Reply.json({"data": {"netuid": 1}}), {"netuid": 1}),
        (Reply.json({"data": "x"}), "x"),
        (Reply.json({"data": [{"netuid": 3}]}, status=403), [{"netuid": 3}]),
    ],
)
def test_truthy_data_returned_whatever_its_kind(av, api, answer, rows):
    api.script(answer)
    assert av.fetch_all_subnets_latest("k") == rows


# --- references --------------------------------------------------------------------------------------------


def test_no_reference_leaks(av, monkeypatch):
    monkeypatch.setattr(av, "time", SimpleNamespace(sleep=lambda seconds: None))
    with TaostatsStandIn(rows=make_subnet_rows(3), record=False) as server:
        monkeypatch.setenv("TAOSTATS_API_BASE", server.origin)
        monkeypatch.setenv("TAOSTATS_API_KEY", " key ")

        def call():
            # The host's attribute cache keeps the names that urllib and the server build afresh for
            # each request and fills up only after thousands of them; emptied here, it holds the same
            # small set at every count.
            sys._clear_type_cache()
            av.api_base(), av.taostats_auth(), av.request_headers("k")
            av.is_rate_limited({"status_code": 429.0}), av.is_rate_limited({"message": 5})
            av.fetch_all_subnets_latest("k")
            server.script(Reply(429), Reply.json({"a": 1}, status=500), Reply(200, b"nope"), Reply(200, b"[1]"))
            av.with_retries(LISTING_PATH, {"limit": 2, "x": None}, "k", max_retries=2)
            av.http_get_json(LISTING_PATH, {}, "k")
            for failing, error in [
                (lambda: av.http_get_json("/", {}, "k"), TypeError),
                (lambda: av.with_retries("/", {}, "k", max_retries=0), ValueError),
            ]:
                with pytest.raises(error):
                    failing()
            server.script(Reply.redirect("/moved"), Reply.json({}), Reply.redirect("http://localhost:1/x"))
            av.http_get_json(LISTING_PATH, {}, "k")
            with pytest.raises(urllib.error.URLError):
                av.http_get_json(LISTING_PATH, {}, "k")

        assert_no_leak(call, calls=60, rounds=4)
