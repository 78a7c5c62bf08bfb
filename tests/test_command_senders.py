"""The senders of Discord, Slack, the JSON webhook and email, against their stand-ins on 127.0.0.1:
what each receiver sees, the waits they honour, lost against unsent, and no URL in their words."""

import contextlib
import json

import pytest

from ashvigil_monitor import egress, posting
from ashvigil_monitor.discord import DiscordSender
from ashvigil_monitor.errors import CheckFailed
from ashvigil_monitor.mail import EmailSender
from ashvigil_monitor.mail_message import MAX_SUBJECT, subject
from ashvigil_monitor.outgoing import Outgoing
from ashvigil_monitor.slack import SlackSender
from ashvigil_monitor.webhook import WebhookSender
from stand_ins.discord import DiscordStandIn
from stand_ins.server import Reply
from stand_ins.slack import SlackStandIn
from stand_ins.smtp import SmtpStandIn, self_signed
from stand_ins.webhook import WebhookStandIn

CYCLE_AT = "2026-03-01T12:00:00Z"
TEXT = f"Owner burn rate changed\n{CYCLE_AT} UTC\n\nSN4: new → 0.6100\nSN9: 0.2500 → gone"
CHANGES = (("4", "new", "0.61"), ("9", "0.25", "gone"))
ALERT = Outgoing(TEXT, "changes", CYCLE_AT, changes=CHANGES)
MARK = f"Delayed: alert of {CYCLE_AT} UTC\n"
SECRET = "receiver-secret"
SENDER, TO = "ashvigil@example.org", ("ops@example.org", "oncall@example.org")
NAMES = {
    "discord": "the Discord webhook",
    "slack": "the Slack webhook",
    "webhook": "the webhook",
    "email": "the mail server",
}


@pytest.fixture(scope="module")
def certificate(tmp_path_factory):
    return self_signed(tmp_path_factory.mktemp("tls"))


@pytest.fixture
def trusted(certificate, monkeypatch):
    """The stand-in's certificate as the one the client trusts: OpenSSL reads SSL_CERT_FILE each
    time a default context loads its verify paths."""
    monkeypatch.setenv("SSL_CERT_FILE", str(certificate[0]))
    return certificate


def http_kind(stand_in, sender):
    def start(stack, _, sleep):
        service = stack.enter_context(stand_in())
        return service, sender(service.url, sleep)

    return start


def mail_kind(tls):
    def start(stack, cert, sleep):
        smtp = stack.enter_context(SmtpStandIn(tls, None if tls == "none" else cert))
        return smtp, EmailSender(smtp.host, smtp.port, tls, smtp.USER, smtp.PASSWORD, SENDER, TO, 10, sleep)

    return start


KINDS = {
    "discord": http_kind(DiscordStandIn, lambda url, sleep: DiscordSender(url, sleep)),
    "slack": http_kind(SlackStandIn, lambda url, sleep: SlackSender(url, sleep)),
    "webhook": http_kind(lambda: WebhookStandIn(SECRET), lambda url, sleep: WebhookSender(url, SECRET, sleep)),
    "email": mail_kind("none"),
    "email-starttls": mail_kind("starttls"),
    "email-implicit": mail_kind("implicit"),
}


@contextlib.contextmanager
def started(kind, cert=None, sleep=lambda _: None):
    with contextlib.ExitStack() as stack:
        yield KINDS[kind](stack, cert, sleep)


def seen(kind, service):
    """What the receiver took, in a form the table of `expected` spells out."""
    if kind in ("discord", "slack"):
        took = [r for r in service.requests if r.reply and 200 <= r.reply.status < 300]
        return [(r.path, r.header("Content-Type"), json.loads(r.body)) for r in took]
    if kind == "webhook":
        return [(r.body.pop("sent_at") == int(r.timestamp), r.body, r.verified) for r in service.received()]
    return [
        (r.mail_from, r.rcpt_tos, r.message["To"], r.message["Subject"], r.message.get_content())
        for r in service.delivered()
    ]


def expected(kind, event, delayed):
    text = (MARK if delayed else "") + TEXT
    if kind == "discord":
        return [(DiscordStandIn.PATH, ["application/json"], {"content": text, "allowed_mentions": {"parse": []}})]
    if kind == "slack":
        return [(SlackStandIn.PATH, ["application/json"], {"text": text, "mrkdwn": False})]
    if kind == "webhook":
        body = {"event": event, "cycle_at": CYCLE_AT, "text": TEXT, "delayed": delayed}
        if event == "changes":
            body["changes"] = [{"netuid": 4, "old": None, "new": "0.61"}, {"netuid": 9, "old": "0.25", "new": None}]
        return [(True, body, True)]
    title = "2 subnets moved (SN4 new → 0.6100, SN9 0.2500 → gone)" if event == "changes" else "daily digest"
    return [(SENDER, list(TO), ", ".join(TO), ("Delayed: " if delayed else "") + "ashvigil: " + title, text + "\n")]


@pytest.mark.parametrize(("event", "delayed"), [("changes", False), ("changes", True), ("digest", False)])
@pytest.mark.parametrize("kind", list(KINDS))
def test_a_piece_arrives_as_its_kind_shows_it(trusted, kind, event, delayed):
    changes = CHANGES if event == "changes" else ()
    with started(kind, trusted) as (service, sender):
        reply = sender.send(Outgoing(TEXT, event, CYCLE_AT, delayed, changes))
        assert (reply.ok, seen(kind, service)) == (True, expected(kind, event, delayed))


@pytest.mark.parametrize(("kind", "limit"), [("discord", 2000), ("slack", 3000)])
def test_a_piece_longer_than_a_chat_takes_is_cut_to_its_limit(kind, limit):
    with started(kind) as (service, sender):
        sender.send(Outgoing("x" * 5000, "snapshot", CYCLE_AT))
        assert service.messages() == ["x" * (limit - 1) + "…"]


@pytest.mark.parametrize(
    ("kind", "ask", "waits"),
    [
        ("discord", lambda s: s.rate_limit(0.3, header="7"), [0.3]),  # its JSON before the header
        ("discord", lambda s: s.script(Reply.text("slow down", 429, headers=[("Retry-After", "4")])), [4.0]),
        ("slack", lambda s: s.rate_limit(2), [2.0]),
        ("webhook", lambda s: s.rate_limit(3), [3.0]),
        ("email", lambda s: s.defer(), [posting.BACKOFF[0]]),  # a 451 asks for no wait: the backoff
    ],
)
def test_a_refusal_for_now_is_repeated_after_the_wait_asked(kind, ask, waits):
    sleeps = []
    with started(kind, sleep=sleeps.append) as (service, sender):
        ask(service)
        reply = sender.send(ALERT)
        assert (reply.ok, sleeps, len(seen(kind, service))) == (True, waits, 1)


@pytest.mark.parametrize("failure", ["dropped", "refused"])
@pytest.mark.parametrize("kind", ["discord", "slack", "webhook", "email"])
def test_a_lost_reply_is_final_and_a_connection_refused_is_repeated(kind, failure):
    sleeps = []
    with started(kind, sleep=sleeps.append) as (service, sender):
        if failure == "dropped":
            service.drop()
        else:
            service.stop()
        reply = sender.send(ALERT)
    if failure == "dropped":
        want = (True, f"no complete reply from {NAMES[kind]}", [])
    else:
        want = (False, f"{NAMES[kind]} could not be reached", [0.5, 1.0] if kind == "email" else [0.5, 1.0, 2.0])
    assert (reply.ok, reply.lost, reply.words, sleeps) == (False, *want)


@pytest.mark.parametrize("echoed", ["url", "path"])
@pytest.mark.parametrize(
    ("kind", "refusal"),
    [
        ("discord", lambda s, echo: s.fail(400, {"message": f"Unknown Webhook {echo}", "code": 10015})),
        ("slack", lambda s, echo: s.fail(400, f"no_service: {echo}")),
    ],
)
def test_a_server_echoing_the_url_shows_none_of_it(monkeypatch, kind, refusal, echoed):
    monkeypatch.setattr(egress, "SECRETS", egress.Secrets())
    with started(kind) as (service, sender):
        egress.SECRETS.add(service.url)  # as the configuration registers a webhook's URL
        parts = (service.url, service.PATH, service.PATH.rpartition("/")[2])
        refusal(service, service.url if echoed == "url" else service.PATH)
        reply = sender.send(ALERT)
    shown = egress.mask(reply.error) + "\n" + reply.words
    assert ([p for p in parts if p in shown], reply.words) == ([], f"HTTP 400 from {NAMES[kind]}")


MANY = tuple((str(n), "0.1", "0.25") for n in range(1, 20))


@pytest.mark.parametrize(
    ("out", "title"),
    [
        (
            Outgoing("", "changes", CYCLE_AT, changes=(("4", "0", "0.61"),)),
            "ashvigil: 1 subnet moved (SN4 0.0000 → 0.6100)",
        ),
        (
            Outgoing("", "changes", CYCLE_AT, changes=(("7", "0.5", "gone"),)),
            "ashvigil: 1 subnet moved (SN7 0.5000 → gone)",
        ),
        (
            Outgoing("", "changes", CYCLE_AT, changes=MANY),
            "ashvigil: 19 subnets moved (SN1 0.1000 → 0.2500, SN2 0.1000 → 0.2500, SN3 0.1000 → 0.2500, "
            "SN4 0.1000 → 0.2500, …)",
        ),
        (Outgoing("", "digest", CYCLE_AT, delayed=True), "Delayed: ashvigil: daily digest"),
        (Outgoing("", "recovered", CYCLE_AT), "ashvigil: watch cycles recovered"),
    ],
)
def test_a_mail_subject_says_what_moved_within_its_length(out, title):
    assert (subject(out), len(subject(out)) <= MAX_SUBJECT) == (title, True)


def stopped(service):
    service.stop()


@pytest.mark.parametrize(
    ("kind", "spoil", "said"),
    [
        ("discord", None, "webhook 'ashvigil alerts'"),
        (
            "discord",
            lambda s: s.fail(404, {"message": "Unknown Webhook", "code": 10015}),
            "HTTP 404 from the Discord webhook: no such webhook (deleted, or a wrong URL)",
        ),
        ("slack", None, "webhook found (an empty test post was refused, as it should be)"),
        (
            "slack",
            lambda s: s.fail(404, "no_service"),
            "HTTP 404 from the Slack webhook: the webhook is gone or revoked (no_service)",
        ),
        ("webhook", None, "reachable (HTTP 204 to a HEAD request)"),
        ("webhook", stopped, "the webhook could not be reached: could not connect: Connection refused"),
        ("email-starttls", None, "127.0.0.1: login accepted"),
        ("email", stopped, "the mail server could not be reached: Connection refused"),
    ],
)
def test_a_check_tells_a_live_destination_from_a_dead_one(trusted, kind, spoil, said):
    with started(kind, trusted) as (service, sender):
        if spoil:
            spoil(service)
        try:
            answer = sender.check()
        except CheckFailed as e:
            answer = str(e)
    assert answer == said
