"""The command's own Bot API client: its origin, no redirects, no process-wide state; the retries
are posting's (a 429 waits Telegram's retry_after: JSON "parameters", else the Retry-After header).
"""

from __future__ import annotations

import json
import secrets
import time
from collections.abc import Callable, Mapping
from typing import Any

from ashvigil_monitor import egress, posting, transport
from ashvigil_monitor.outgoing import Reply
from ashvigil_monitor.posting import DEADLINE

BOT_API_ORIGIN = "https://api.telegram.org"
_SAFE = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-~"
# Each byte as urllib.parse.urlencode writes it in a form: kept, "+" for a blank, %XX otherwise.
_FORM_BYTES = tuple(chr(b) if b in _SAFE else "+" if b == 0x20 else f"%{b:02X}" for b in range(256))


def form(fields: Mapping[str, str]) -> str:
    """urllib.parse.urlencode(fields), byte for byte, without its loop in Python over every
    byte: an alert's pieces are some 4000 bytes each."""
    return "&".join(f"{_form_text(name)}={_form_text(value)}" for name, value in fields.items())


def _form_text(text: str) -> str:
    return "".join(map(_FORM_BYTES.__getitem__, text.encode()))


def retry_after(response: transport.Response) -> float | None:
    """Telegram's wait for a 429: parameters.retry_after of the JSON reply, else Retry-After."""
    try:
        value: Any = json.loads(response.body)["parameters"]["retry_after"]
    except (ValueError, TypeError, KeyError, RecursionError):
        return posting.header_wait(response)
    return posting.seconds(value)


def _json(body: bytes) -> Any:
    """The reply's JSON; ValueError for anything else, a nesting too deep to read included."""
    try:
        return json.loads(body)
    except RecursionError:
        raise ValueError("nested too deeply") from None


def _error_text(body: bytes, fallback: str) -> str:
    """What went wrong, in Telegram's words where it gave any: its description, else the body."""
    text = body.decode("utf-8", "replace")
    try:
        payload = _json(body)
    except ValueError:
        payload = None
    if isinstance(payload, dict) and payload.get("description"):
        text = str(payload["description"])
    return egress.mask(text or fallback)[:300]  # masked before it is cut: a cut never shows part of a secret


class BotApi:
    def __init__(
        self,
        token: str,
        origin: str | None,
        sleep: Callable[[float], None] = time.sleep,
        cut_at: Callable[[], float] = transport.never,
    ) -> None:
        """`sleep` waits between attempts; `cut_at()` is the moment a stop request ends every
        exchange and wait (infinite while none is)."""
        self._base = f"{origin or BOT_API_ORIGIN}/bot{token}/"
        self._sleep = sleep
        self._cut_at = cut_at
        self._service = posting.Service("telegram", "the Bot API", self._accepted, _error_text, retry_after)

    def send_message(self, chat_id: str, text: str) -> Reply:
        return self.call("sendMessage", {"chat_id": chat_id, "text": text, "disable_web_page_preview": "true"})

    def send_photo(self, chat_id: str, png: bytes, caption: str) -> Reply:
        """sendPhoto as multipart/form-data: the fields, then the image as a file part."""
        boundary = secrets.token_hex(16)
        parts = [
            f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n{value}\r\n'.encode()
            for name, value in (("chat_id", chat_id), ("caption", egress.mask(caption)))
        ]
        parts.append(
            f'--{boundary}\r\nContent-Disposition: form-data; name="photo"; filename="chart.png"\r\n'
            "Content-Type: image/png\r\n\r\n".encode()
            + png
            + f"\r\n--{boundary}--\r\n".encode()
        )
        kind = {"Content-Type": f"multipart/form-data; boundary={boundary}"}
        return self._post("sendPhoto", b"".join(parts), kind, DEADLINE, transport.MAX_BODY)

    def call(
        self,
        method: str,
        fields: Mapping[str, str] | None = None,
        deadline: float = DEADLINE,
        cap: int = transport.MAX_BODY,
    ) -> Reply:
        """Every text a person may read leaves masked: a secret echoed into it never reaches the chat."""
        if fields and "text" in fields:
            fields = {**fields, "text": egress.mask(fields["text"])}
        data = form(fields).encode() if fields else None
        kind = {"Content-Type": "application/x-www-form-urlencoded"} if data else {}
        return self._post(method, data, kind, deadline, cap)

    def _post(self, method: str, data: bytes | None, headers: dict[str, str], deadline: float, cap: int) -> Reply:
        def attempt() -> posting.Attempt:
            return self._service.attempt("POST", self._base + method, data, headers, self._cut_at, deadline, cap)

        return posting.repeated("telegram", attempt, self._sleep, self._cut_at)

    @staticmethod
    def _accepted(response: transport.Response) -> Reply:
        try:
            payload = _json(response.body)
        except ValueError:
            words = "the Bot API answered with a reply that is not JSON"
            return Reply(False, f"HTTP {response.status} with a reply that is not JSON", lost=True, words=words)
        if isinstance(payload, dict) and payload.get("ok"):
            return Reply(True, result=payload.get("result"))
        return Reply(False, egress.mask(str(payload))[:300], words="the Bot API refused the request")
