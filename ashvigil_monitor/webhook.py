"""Generic JSON webhooks: each piece one POST of a JSON object a program can read, signed when the
operator gave a secret.

    {"event": "changes", "cycle_at": "...", "text": "...", "delayed": false, "sent_at": 1765200000,
     "changes": [{"netuid": 4, "old": "0", "new": "0.61"}, ...]}

`changes` only for an alert: `old` is null for a new subnet, `new` null for a gone one. `sent_at`
is also the X-Ashvigil-Timestamp header, and the signature (X-Ashvigil-Signature:
sha256=<hex HMAC-SHA256 of the body>) covers the body, so a receiver can refuse a replay. The
receiver must answer 2xx; a 429 waits the Retry-After header."""

from __future__ import annotations

import hashlib
import hmac
import json
import re
import time
from collections.abc import Callable
from typing import Any

from ashvigil_monitor import egress, posting, transport
from ashvigil_monitor.errors import CheckFailed
from ashvigil_monitor.outgoing import Change, Outgoing, Reply

# Ids a JSON reader holds exactly as a number (below 2**53); longer digit strings stay text.
_NUMBER = re.compile(r"[0-9]{1,15}")


def _change(change: Change) -> dict[str, Any]:
    netuid, old, new = change
    return {
        "netuid": int(netuid) if _NUMBER.fullmatch(netuid) else netuid,
        "old": None if old == "new" else old,
        "new": None if new == "gone" else new,
    }


def payload(out: Outgoing, sent_at: int) -> dict[str, Any]:
    body: dict[str, Any] = {
        "event": out.event,
        "cycle_at": out.cycle_at,
        "text": egress.mask(out.text),
        "delayed": out.delayed,
        "sent_at": sent_at,
    }
    if out.event == "changes":
        body["changes"] = [_change(c) for c in out.changes]
    return body


def _delivered(response: transport.Response) -> Reply:
    return Reply(True)


class WebhookSender:
    kind = "webhook"
    limit: int | None = None  # one text, never divided

    def __init__(
        self,
        url: str,
        secret: str | None,
        sleep: Callable[[float], None] = time.sleep,
        cut_at: Callable[[], float] = transport.never,
    ) -> None:
        self._url = url
        self._service = posting.Service(
            self.kind, "the webhook", _delivered, posting.body_text, hidden=posting.url_secrets(url)
        )
        self._secret = secret.encode() if secret else None
        self._sleep = sleep
        self._cut_at = cut_at

    def send(self, out: Outgoing) -> Reply:
        def attempt() -> posting.Attempt:  # signed anew each time: a repeat carries its own moment
            data, headers = self._signed(out)
            return self._service.attempt("POST", self._url, data, headers, self._cut_at)

        return posting.repeated(self.kind, attempt, self._sleep, self._cut_at)

    def check(self) -> str:
        """A HEAD request: any HTTP answer shows the receiver is there (many answer 405 to it)."""
        try:
            response = transport.exchange("HEAD", self._url, None, posting.AGENT, cut_at=self._cut_at)
        except (transport.Unsent, transport.Lost) as e:
            raise CheckFailed(f"the webhook could not be reached: {e}") from None
        return f"reachable (HTTP {response.status} to a HEAD request)"

    def _signed(self, out: Outgoing) -> tuple[bytes, dict[str, str]]:
        sent_at = int(time.time())
        data = json.dumps(payload(out, sent_at), separators=(",", ":")).encode()
        headers = {**posting.JSON, "X-Ashvigil-Timestamp": str(sent_at)}
        if self._secret is not None:
            headers["X-Ashvigil-Signature"] = "sha256=" + hmac.new(self._secret, data, hashlib.sha256).hexdigest()
        return data, headers
