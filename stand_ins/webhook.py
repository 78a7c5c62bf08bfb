"""A stand-in for a receiver of the command's JSON webhook: it checks each POST's
X-Ashvigil-Signature with its own secret and records what it got.

    with WebhookStandIn(secret="s3cret") as hook:
        WebhookSender(hook.url, "s3cret").send(...)
        hook.received()   # [Received(body={...}, verified=True, timestamp="1765...")]
"""

from __future__ import annotations

import hashlib
import hmac
import json
from dataclasses import dataclass
from typing import Any

from stand_ins.server import Reply, StandIn


@dataclass(frozen=True)
class Received:
    body: Any  # the JSON body, parsed
    verified: bool  # its signature is the HMAC-SHA256 of the body's bytes with the secret
    timestamp: str | None  # the X-Ashvigil-Timestamp header


class WebhookStandIn(StandIn):
    PATH = "/hooks/ashvigil"

    def __init__(self, secret: str | None = None, record: bool = True):
        super().__init__(record)
        self.secret = secret

    @property
    def url(self) -> str:
        return self.origin + self.PATH

    def received(self) -> list[Received]:
        """Every POST answered 2xx, oldest first."""
        return [
            Received(json.loads(r.body), self._verified(r), next(iter(r.header("X-Ashvigil-Timestamp")), None))
            for r in self.accepted_posts()
        ]

    def _verified(self, request) -> bool:
        if self.secret is None:
            return False
        expected = "sha256=" + hmac.new(self.secret.encode(), request.body, hashlib.sha256).hexdigest()
        return any(hmac.compare_digest(expected, value) for value in request.header("X-Ashvigil-Signature"))

    def rate_limit(self, retry_after: int = 1) -> None:
        """The next request gets a 429 with a Retry-After header."""
        self.script(Reply.text("slow down", 429, headers=[("Retry-After", str(retry_after))]))

    def fail(self, status: int = 500, body: str = "receiver failed") -> None:
        self.script(Reply.text(body, status))

    def _own_reply(self, request) -> Reply:
        return Reply(204) if request.path == self.PATH else Reply(404)
