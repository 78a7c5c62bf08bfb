"""Every call the command makes is bounded: in time, in the bytes it reads, and by a stop."""

import time

import pytest

from ashvigil_monitor import liveness, transport
from ashvigil_monitor.botapi import BotApi
from stand_ins.server import Reply, StandIn

SLOW_BODY = Reply(body=b" ", repeat=50, pause=0.1)
SLOW_HEADERS = Reply(headers=[("X-Pad", "a")] * 50, header_pause=0.1)
ENDLESS = Reply(body=b"[" * 65536, repeat=1 << 20)


@pytest.mark.parametrize(
    ("reply", "options", "error"),
    [
        (SLOW_BODY, {"deadline": 1}, "no complete reply within 1 s"),
        (SLOW_HEADERS, {"deadline": 1}, "no complete reply within 1 s"),
        (ENDLESS, {}, "a reply larger than 1024 KiB, not read further"),
        (SLOW_BODY, {"cut_in": 0.5}, "no complete reply: stopped"),
        (SLOW_BODY, {"cut_in": -1}, "not sent: stopping"),
    ],
)
def test_an_exchange_ends_at_its_deadline_cap_or_stop(reply, options, error):
    if "cut_in" in options:
        cut = time.monotonic() + options.pop("cut_in")
        options["cut_at"] = lambda: cut
    with StandIn() as server:
        server.script(reply)
        started = time.monotonic()
        with pytest.raises((transport.Lost, transport.Unsent)) as raised:
            transport.exchange("GET", server.origin + "/x", **options)
        took = time.monotonic() - started
    assert str(raised.value) == error
    assert took < 3  # cut where it ends, not when the server is done (5 s of a slow reply)


@pytest.mark.parametrize(
    ("reply", "line"),
    [
        (ENDLESS, "[burn] heartbeat failed: a reply larger than 64 KiB, not read further\n"),
        (Reply(404, reason="Not Found"), "[burn] heartbeat failed: HTTP Error 404: Not Found\n"),
    ],
)
def test_the_heartbeat_is_bounded(capsys, reply, line):
    with StandIn() as server:
        server.script(reply)
        liveness.ping(server.origin + "/ping", "ok")
    assert capsys.readouterr().err == line


@pytest.mark.parametrize("body", [b"[" * (1 << 20) + b"]" * 0, b'{"ok": true, "result": ' + b"[" * 100_000])
def test_a_deeply_nested_bot_api_reply_is_not_json(body):
    with StandIn() as server:
        server.script(Reply.text(body[: transport.MAX_BODY]))
        reply = BotApi("1:a", server.origin).send_message("1", "x")
    assert (reply.ok, reply.lost, reply.words) == (False, True, "the Bot API answered with a reply that is not JSON")
