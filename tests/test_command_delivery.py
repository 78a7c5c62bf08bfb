"""The command's Telegram retries and the stop that waits for a delivery, as real processes."""

import signal
import subprocess
import urllib.parse

import pytest
from command import stop, wait_until
from hypothesis import given
from hypothesis import strategies as st

from ashvigil_monitor.botapi import form
from stand_ins.server import Reply, closed_port
from stand_ins.taostats import make_subnet_rows
from stand_ins.telegram import accepted, refused

ALERT_SENT = "[burn] alert sent (1 subnet(s))\n"


def too_many(retry_after):
    return Reply.json(
        {
            "ok": False,
            "error_code": 429,
            "description": f"Too Many Requests: retry after {retry_after}",
            "parameters": {"retry_after": retry_after},
        },
        429,
    )


@pytest.mark.parametrize(
    ("replies", "waits"),
    [
        ([too_many(1)], ["in 1 s: HTTP 429"]),
        # No JSON parameters: the Retry-After header says how long.
        ([Reply.text("busy", 429, content_type="text/plain", headers=[("Retry-After", "1")])], ["in 1 s: HTTP 429"]),
        ([Reply(502), refused("Service Unavailable", 503)], ["in 0.5 s: HTTP 502", "in 1 s: HTTP 503"]),
    ],
)
def test_transient_failures_are_retried_and_the_alert_arrives_once(av, services, replies, waits):
    services.seed_change(av)
    services.bot.script(*replies)
    done = services.run("once")
    assert done.returncode == 0, done.stderr
    retries = done.stderr.splitlines()[:-1]
    assert len(retries) == len(waits)
    assert all(w in line for w, line in zip(waits, retries, strict=True))
    assert done.stderr.endswith(ALERT_SENT)
    assert len(services.sends()) == len(replies) + 1
    assert len(services.bot.messages()) == 1


@pytest.mark.parametrize(
    ("reply", "line"),
    [
        (refused("Bad Request: message text is empty"), "[burn] telegram failed: {'ok': False, "),  # a 2xx
        (refused("Bad Request: chat not found", 400), "[burn] telegram failed: Bad Request: chat not found\n"),
        (refused("Forbidden: bot was blocked by the user", 403), "[burn] telegram failed: Forbidden: bot was"),
    ],
)
def test_final_replies_are_never_sent_again(av, services, reply, line):
    services.seed_change(av)
    services.bot.script(reply)
    done = services.run("once")
    assert (done.returncode, done.stderr[: len(line)]) == (1, line)
    assert len(services.sends()) == 1


@pytest.mark.parametrize(("retry_after", "requests"), [(0, 4), (121, 1)])
def test_retry_budget_exhausted_leaves_the_modules_failure(av, services, retry_after, requests):
    """Three repeats at most; a wait beyond the 120 s budget is not started at all."""
    services.seed_change(av)
    services.bot.script(*[too_many(retry_after)] * 4)
    done = services.run("once")
    assert done.returncode == 1
    assert done.stderr.endswith(f"[burn] telegram failed: Too Many Requests: retry after {retry_after}\n")
    assert done.stderr.count("[burn] telegram retry") == requests - 1
    assert len(services.sends()) == requests
    assert services.bot.messages() == []


def test_refused_connection_is_retried_then_fails(av, services):
    services.seed_change(av)
    done = services.run("once", env={"ASHVIGIL_TELEGRAM_API": f"http://127.0.0.1:{closed_port()}"})
    assert done.returncode == 1
    assert [line.split(" in ")[0] for line in done.stderr.splitlines()[:3]] == [
        f"[burn] telegram retry {n}/3" for n in (1, 2, 3)
    ]
    assert done.stderr.splitlines()[3] == "[burn] telegram failed: could not connect: Connection refused"


TRICKLE = Reply(body=b" ", repeat=10_000, pause=1.0)


@pytest.mark.parametrize(
    ("args", "reply", "status", "last"),
    [
        (["once"], too_many(1), 0, ALERT_SENT),  # a short retry wait ends within the grace
        (["run"], too_many(1), 0, "[burn] startup snapshot sent (130 subnets)\n"),
        (["once"], too_many(60), 1, "[burn] telegram failed: Too Many Requests: retry after 60\n"),
        (
            ["once"],
            TRICKLE,
            1,
            "[burn] telegram failed: no complete reply: stopped; it is sent again next cycle, marked Delayed\n",
        ),
    ],
)
def test_sigterm_ends_a_delivery_within_its_grace(av, services, args, reply, status, last):
    services.seed_change(av)
    services.bot.script(reply)
    process = services.start(*args)
    wait_until(lambda: len(services.sends()) == 1)  # the first reply is under way
    done, _out, err = stop(process, timeout=5)
    assert (done, err.splitlines(keepends=True)[-2:]) == (status, [last, "[burn] stopped (SIGTERM)\n"])


def test_second_sigint_stops_at_once(av, services):
    services.seed_change(av)
    services.bot.script(too_many(100))
    process = services.start("once")
    for _ in range(20):  # the retry's wait has begun: a stop before it would skip the retry and end
        if " retry 1/" in process.stderr.readline():
            break
    for _ in range(100):  # the first is taken as a graceful stop, a later one forces it
        process.send_signal(signal.SIGINT)
        try:
            process.wait(timeout=0.1)
            break
        except subprocess.TimeoutExpired:
            pass
    status, _out, err = stop(process, signal.SIGINT, timeout=10)
    assert status == 130
    assert "Traceback" not in err
    assert err.endswith("[burn] stopped at once (SIGINT)\n")
    assert services.bot.messages() == []


def test_only_the_piece_that_failed_is_sent_again(services):
    """A two-piece snapshot: the first piece got its 2xx, the second a 429; the repeat is the second."""
    services.api.rows = make_subnet_rows(300)
    services.bot.script(accepted(), too_many(0))
    done = services.run("snapshot")
    assert (done.returncode, done.stderr.splitlines()[-1]) == (0, "[burn] startup snapshot sent (300 subnets)")
    bodies = [r.fields["text"].split("\n")[0] for r in services.sends()]
    assert bodies == ["(1/2)", "(2/2)", "(2/2)"]
    assert len(services.bot.messages()) == 2


texts = st.text(st.characters(blacklist_categories=("Cs",)))


@given(st.dictionaries(texts, texts, max_size=3))
def test_a_form_is_encoded_byte_for_byte_as_urllib_encodes_it(fields):
    assert form(fields) == urllib.parse.urlencode(fields)
