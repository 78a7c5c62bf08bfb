"""The one retry loop of every destination kind, and the shape of one HTTP attempt.

A delivery is repeated only when its request certainly did not deliver:
- a 429 reply, after the wait the service asked for (each kind reads it its own way);
- a 5xx reply, or a connection that could not be made or could not take the request (for mail: a
  failure before the message went out, or a temporary refusal), after a short backoff.
At most MAX_RETRIES repeats and MAX_WAIT seconds of waiting per delivery, and no wait that a stop
would cut. Any other answer is final, and so is a failure while waiting for the reply: the request
went out and may have been carried out, so the outbox sends it again next cycle, marked, rather
than twice within seconds.
"""

from __future__ import annotations

import time
import urllib.parse
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field

from ashvigil_monitor import __version__, egress, log, messages, transport
from ashvigil_monitor.errors import CheckFailed
from ashvigil_monitor.outgoing import Outgoing, Reply

MAX_RETRIES = 3
MAX_WAIT = 120.0
BACKOFF = (0.5, 1.0, 2.0)  # seconds before the 1st, 2nd, 3rd repeat after a 5xx or connection failure
DEADLINE = 60.0  # seconds for one exchange, connection to the last byte of the reply
MIN_TOKEN = 16  # characters of a URL's last segment that make it a credential rather than a word
USER_AGENT = f"ashvigil/{__version__}"  # some webhook hosts refuse a request without one
AGENT = {"User-Agent": USER_AGENT}
JSON = {**AGENT, "Content-Type": "application/json"}


@dataclass(frozen=True)
class Attempt:
    reply: Reply
    retry: bool = False  # a repeat may help
    asked: float | None = None  # the wait the server asked for; else the backoff
    why: str = ""  # for the retry's log line


def repeated(
    kind: str,
    attempt: Callable[[], Attempt],
    sleep: Callable[[float], None],
    cut_at: Callable[[], float],
    retries: int = MAX_RETRIES,
) -> Reply:
    """`attempt()` until one is final or the budget is spent; the last answer stands."""
    waited = 0.0
    for n in range(retries + 1):
        outcome = attempt()
        delay = BACKOFF[min(n, len(BACKOFF) - 1)] if outcome.asked is None else outcome.asked
        cut = time.monotonic() + delay > cut_at()  # a stop does not wait out a retry
        if not outcome.retry or n == retries or waited + delay > MAX_WAIT or cut:
            return outcome.reply
        log.line(f"{kind} retry {n + 1}/{retries} in {delay:g} s: {outcome.why}")
        sleep(delay)
        if time.monotonic() >= cut_at():  # stopped while waiting: the last answer stands
            return outcome.reply
        waited += delay
    raise AssertionError("unreachable")


def seconds(value: object) -> float | None:
    """A wait a server asked for, in seconds; None when it is no usable number."""
    try:
        wait = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return None
    return wait if 0 <= wait < float("inf") else None


def header_wait(response: transport.Response) -> float | None:
    """The Retry-After header in seconds (an HTTP date is not honoured: the backoff applies)."""
    return seconds(response.headers.get("Retry-After", ""))


def body_text(body: bytes, fallback: str) -> str:
    """A reply's body as the service's words (Service masks and cuts them)."""
    return body.decode("utf-8", "replace").strip() or fallback


def url_forms(url: str) -> tuple[str, ...]:
    """A webhook URL in each form a text may quote it: whole, as host and path (the transport's
    debug line), the path alone (what the server saw), and a last segment long enough to be its
    token. The configuration registers each with the process's secrets."""
    parts = urllib.parse.urlsplit(url)
    token = parts.path.rstrip("/").rpartition("/")[2]
    forms = (url, f"{parts.hostname}{parts.path}", parts.path, token if len(token) >= MIN_TOKEN else "")
    return tuple(form for form in forms if len(form) > 1)  # "/" alone is no secret


def url_secrets(url: str) -> egress.Secrets:
    """The URL's forms as a sender's own secrets, masked in what its server answers whether or not
    the process's secrets hold them."""
    found = egress.Secrets()
    for form in url_forms(url):
        found.add(form)
    return found


@dataclass(frozen=True)
class Service:
    """How one kind reads the HTTP replies of its service."""

    kind: str  # in log lines: "telegram retry 1/3 ..."
    name: str  # in words for the chat: "HTTP 404 from the Discord webhook"
    accepted: Callable[[transport.Response], Reply]  # a 2xx
    error: Callable[[bytes, str], str]  # the log's detail of any other status, from its body
    asked: Callable[[transport.Response], float | None] = header_wait  # a 429's wait
    hidden: egress.Secrets = field(default_factory=egress.Secrets)  # the URL, should a server echo it

    def attempt(
        self,
        method: str,
        url: str,
        data: bytes | None,
        headers: Mapping[str, str],
        cut_at: Callable[[], float],
        deadline: float = DEADLINE,
        cap: int = transport.MAX_BODY,
    ) -> Attempt:
        try:
            response = transport.exchange(method, url, data, headers, deadline=deadline, cap=cap, cut_at=cut_at)
        except transport.Unsent as e:
            return Attempt(Reply(False, str(e), words=f"{self.name} could not be reached"), retry=True, why=str(e))
        except transport.Lost as e:
            return Attempt(Reply(False, str(e), lost=True, words=f"no complete reply from {self.name}"))
        if 200 <= response.status < 300:
            return Attempt(self.accepted(response))
        return self.refused(response)

    def refused(self, response: transport.Response) -> Attempt:
        status = response.status
        why = f"HTTP {status} {response.reason}"
        # Masked before it is cut: a cut never shows part of a secret.
        error = self.hidden.mask(egress.mask(self.error(response.body, why)))[:300]
        reply = Reply(False, error, status=status, words=f"HTTP {status} from {self.name}")
        if status == 429:
            return Attempt(reply, retry=True, asked=self.asked(response), why=why)
        return Attempt(reply, retry=status >= 500, why=why)


def chat_text(out: Outgoing, limit: int) -> str:
    """A piece as a chat shows it: the Delayed mark on a first line of its own, masked, and cut to
    the kind's limit (the outbox divides by Telegram's, which may be longer)."""
    text = messages.delayed(out.cycle_at, out.text) if out.delayed else out.text
    return messages.cut(egress.mask(text), limit)


def check_failed(reply: Reply) -> CheckFailed:
    """A failed check's words, with the service's own detail (masked) when it gave one."""
    detail = f": {reply.error}" if reply.error and reply.error != reply.words else ""
    return CheckFailed(reply.words + detail)
