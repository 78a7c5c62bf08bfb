"""Discord webhooks: each piece one message, posted to the webhook's URL as given (a `?wait=true`
or `?thread_id=` the operator added stays). Any 2xx delivered: Discord answers 204, or 200 with
the message under `wait=true`. A 429 waits the JSON `retry_after` (seconds, fractional), else the
Retry-After header."""

from __future__ import annotations

import json
import time
from collections.abc import Callable
from typing import Any

from ashvigil_monitor import posting, transport
from ashvigil_monitor.errors import CheckFailed
from ashvigil_monitor.outgoing import Outgoing, Reply

LIMIT = 2000  # characters of a message's content
NAME = "the Discord webhook"


def _payload(body: bytes) -> Any:
    try:
        return json.loads(body)
    except (ValueError, RecursionError):
        return None


def retry_after(response: transport.Response) -> float | None:
    payload = _payload(response.body)
    if isinstance(payload, dict) and "retry_after" in payload:
        return posting.seconds(payload["retry_after"])
    return posting.header_wait(response)


def _error(body: bytes, fallback: str) -> str:
    payload = _payload(body)
    if isinstance(payload, dict) and payload.get("message"):
        return str(payload["message"])
    return posting.body_text(body, fallback)


def _delivered(response: transport.Response) -> Reply:
    return Reply(True)


def _webhook(response: transport.Response) -> Reply:
    payload = _payload(response.body)
    if isinstance(payload, dict):
        return Reply(True, result=payload)
    return Reply(False, "a reply that is not a webhook object", words=f"{NAME} answered with no webhook")


class DiscordSender:
    kind = "discord"
    limit: int | None = LIMIT

    def __init__(
        self,
        url: str,
        sleep: Callable[[float], None] = time.sleep,
        cut_at: Callable[[], float] = transport.never,
    ) -> None:
        self._url = url
        self._hidden = posting.url_secrets(url)
        self._sleep = sleep
        self._cut_at = cut_at

    def send(self, out: Outgoing) -> Reply:
        # No mention in an alert pings anyone, whatever a listing's text holds.
        data = json.dumps({"content": posting.chat_text(out, LIMIT), "allowed_mentions": {"parse": []}}).encode()
        return self._repeated("POST", data, _delivered)

    def check(self) -> str:
        reply = self._repeated("GET", None, _webhook)
        if reply.ok:
            return f"webhook {reply.result['name']!r}" if reply.result.get("name") else "webhook found"
        if reply.status in (401, 404):
            raise CheckFailed(f"{reply.words}: no such webhook (deleted, or a wrong URL)")
        raise posting.check_failed(reply)

    def _repeated(self, method: str, data: bytes | None, accepted: Callable[[transport.Response], Reply]) -> Reply:
        service = posting.Service(self.kind, NAME, accepted, _error, retry_after, self._hidden)

        def attempt() -> posting.Attempt:
            return service.attempt(method, self._url, data, posting.JSON if data else posting.AGENT, self._cut_at)

        return posting.repeated(self.kind, attempt, self._sleep, self._cut_at)
