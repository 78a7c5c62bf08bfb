"""A stand-in for a Slack incoming webhook (https://hooks.slack.com/services/T.../B.../...).

Unscripted, a POST to the hook's path with a "text" is a message (200 "ok"); without one, 400
"no_text"; a body that is not JSON, 400 "invalid_payload"; any other path, 404 "no_service".

    with SlackStandIn() as slack:
        slack.rate_limit(2)
        SlackSender(slack.url).send(...)
        slack.messages()
"""

from __future__ import annotations

import json

from stand_ins.server import Reply, Request, StandIn


class SlackStandIn(StandIn):
    PATH = "/services/T0000STAND/B0000INTS/standinwebhooksecret"

    @property
    def url(self) -> str:
        return self.origin + self.PATH

    def messages(self) -> list[str]:
        """The texts of the messages it took (POSTs answered 2xx), oldest first."""
        return [json.loads(r.body)["text"] for r in self.accepted_posts()]

    def rate_limit(self, retry_after: int = 1) -> None:
        """The next request gets Slack's 429 with a Retry-After header."""
        self.script(Reply.text("rate_limited", 429, headers=[("Retry-After", str(retry_after))]))

    def fail(self, status: int = 500, word: str = "rollup_error") -> None:
        """The next request fails with `status` and Slack's short error word."""
        self.script(Reply.text(word, status))

    def _own_reply(self, request: Request) -> Reply:
        if request.path != self.PATH:
            return Reply.text("no_service", 404)
        try:
            payload = json.loads(request.body)
        except ValueError:
            return Reply.text("invalid_payload", 400)
        if not isinstance(payload, dict) or not payload.get("text"):
            return Reply.text("no_text", 400)
        return Reply.text("ok")
