"""Slack incoming webhooks: each piece one message, as plain text (no mrkdwn: a listing's text
formats nothing). Any 2xx delivered (Slack answers 200 "ok"); errors are a status and a short
word in the body ("invalid_payload", "channel_not_found"); a 429 waits the Retry-After header."""

from __future__ import annotations

import json
import time
from collections.abc import Callable

from ashvigil_monitor import posting, transport
from ashvigil_monitor.errors import CheckFailed
from ashvigil_monitor.outgoing import Outgoing, Reply

LIMIT = 3000  # characters of one message: Slack shows longer texts cut or folded
GONE = (403, 404, 410)  # a revoked token, a removed hook or channel, an archived channel


def _delivered(response: transport.Response) -> Reply:
    return Reply(True)


class SlackSender:
    kind = "slack"
    limit: int | None = LIMIT

    def __init__(
        self,
        url: str,
        sleep: Callable[[float], None] = time.sleep,
        cut_at: Callable[[], float] = transport.never,
    ) -> None:
        self._url = url
        self._service = posting.Service(
            self.kind, "the Slack webhook", _delivered, posting.body_text, hidden=posting.url_secrets(url)
        )
        self._sleep = sleep
        self._cut_at = cut_at

    def send(self, out: Outgoing) -> Reply:
        return self._post({"text": posting.chat_text(out, LIMIT), "mrkdwn": False})

    def check(self) -> str:
        """A post with no text, which Slack cannot show: a live hook refuses it with 400
        (no_text, invalid_payload), a dead one answers 403, 404 or 410."""
        reply = self._post({})
        if reply.status == 400:
            return "webhook found (an empty test post was refused, as it should be)"
        if reply.ok:
            return "webhook found"
        if reply.status in GONE:
            raise CheckFailed(f"{reply.words}: the webhook is gone or revoked ({reply.error})")
        raise posting.check_failed(reply)

    def _post(self, payload: dict[str, object]) -> Reply:
        data = json.dumps(payload).encode()

        def attempt() -> posting.Attempt:
            return self._service.attempt("POST", self._url, data, posting.JSON, self._cut_at)

        return posting.repeated(self.kind, attempt, self._sleep, self._cut_at)
