"""A stand-in for a Discord webhook (https://discord.com/api/webhooks/<id>/<token>).

Unscripted, a POST to the webhook's path is a message (204, as Discord answers without
`?wait=true`), a GET answers the webhook object, any other path Discord's "Unknown Webhook" 404.

    with DiscordStandIn() as discord:
        discord.rate_limit(0.3)           # the next request: Discord's 429
        DiscordSender(discord.url).send(...)
        discord.messages()                # the contents it took
"""

from __future__ import annotations

import json

from stand_ins.server import Reply, Request, StandIn

WEBHOOK_ID = "1234567890"
TOKEN = "stand-in-webhook-token"
UNKNOWN = {"message": "Unknown Webhook", "code": 10015}


class DiscordStandIn(StandIn):
    PATH = f"/api/webhooks/{WEBHOOK_ID}/{TOKEN}"
    NAME = "ashvigil alerts"

    @property
    def url(self) -> str:
        return self.origin + self.PATH

    def messages(self) -> list[str]:
        """The contents of the messages it took (POSTs answered 2xx), oldest first."""
        return [json.loads(r.body)["content"] for r in self.accepted_posts()]

    def rate_limit(self, retry_after: float = 0.3, header: str | None = None) -> None:
        """The next request gets Discord's 429: the wait in the JSON body, and a Retry-After header
        (rounded up, as Discord sends it, unless `header` says otherwise)."""
        body = {"message": "You are being rate limited.", "retry_after": retry_after, "global": False}
        self.script(Reply.json(body, 429, headers=[("Retry-After", header or str(-int(-retry_after // 1)))]))

    def fail(self, status: int = 500, body: dict[str, object] | None = None) -> None:
        """The next request fails with `status` and a Discord error body."""
        self.script(Reply.json(body or {"message": "500: Internal Server Error", "code": 0}, status))

    def _own_reply(self, request: Request) -> Reply:
        if request.path != self.PATH:
            return Reply.json(UNKNOWN, 404)
        if request.method == "GET":
            hook = {"type": 1, "id": WEBHOOK_ID, "name": self.NAME, "channel_id": "42", "token": TOKEN}
            return Reply.json(hook)
        return Reply(204)
