"""The command's own Bot API client: its origin, its retries, no redirects, no process-wide state.

Each call is repeated only when its request certainly did not deliver:
- a 429 reply, after its retry_after (JSON "parameters", else the Retry-After header);
- a 5xx reply, or a connection that could not be made or could not take the request, after a
  short backoff.
At most MAX_RETRIES repeats and MAX_WAIT seconds of waiting per call. A 2xx or any other reply is
final, and so is a failure while waiting for the reply: the request went out and may have been
carried out, so the caller decides what to do with it (the outbox sends it again next cycle,
marked, rather than twice within seconds).
"""

from __future__ import annotations

import email.message
import json
import secrets
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

from ashvigil_monitor import egress, log, transport
from ashvigil_monitor.outgoing import Reply

BOT_API_ORIGIN = "https://api.telegram.org"
MAX_RETRIES = 3
MAX_WAIT = 120.0
BACKOFF = (0.5, 1.0, 2.0)  # seconds before the 1st, 2nd, 3rd repeat after a 5xx or connection failure
DEADLINE = 60.0  # seconds for one exchange, connection to the last byte of the reply
_SAFE = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-~"
# Each byte as urllib.parse.urlencode writes it in a form: kept, "+" for a blank, %XX otherwise.
_FORM_BYTES = tuple(chr(b) if b in _SAFE else "+" if b == 0x20 else f"%{b:02X}" for b in range(256))


def form(fields: Mapping[str, str]) -> str:
    """urllib.parse.urlencode(fields), byte for byte, without its loop in Python over every
    byte: an alert's pieces are some 4000 bytes each."""
    return "&".join(f"{_form_text(name)}={_form_text(value)}" for name, value in fields.items())


def _form_text(text: str) -> str:
    return "".join(map(_FORM_BYTES.__getitem__, text.encode()))


@dataclass(frozen=True)
class _Attempt:
    reply: Reply
    retry: bool = False  # a repeat may help
    asked: float | None = None  # the wait the server asked for; else the backoff
    why: str = ""


def retry_after(body: bytes, headers: email.message.Message) -> float | None:
    """Telegram's wait for a 429: parameters.retry_after of the JSON reply, else Retry-After."""
    try:
        value: Any = json.loads(body)["parameters"]["retry_after"]
    except (ValueError, TypeError, KeyError, RecursionError):
        value = headers.get("Retry-After", "")
    try:
        seconds = float(value)
    except (TypeError, ValueError):
        return None
    return seconds if 0 <= seconds < float("inf") else None


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
        waited = 0.0
        for attempt in range(MAX_RETRIES + 1):
            outcome = self._attempt(method, data, headers, deadline, cap)
            delay = BACKOFF[min(attempt, len(BACKOFF) - 1)] if outcome.asked is None else outcome.asked
            cut = time.monotonic() + delay > self._cut_at()  # a stop does not wait out a retry
            if not outcome.retry or attempt == MAX_RETRIES or waited + delay > MAX_WAIT or cut:
                return outcome.reply
            log.line(f"telegram retry {attempt + 1}/{MAX_RETRIES} in {delay:g} s: {outcome.why}")
            self._sleep(delay)
            if time.monotonic() >= self._cut_at():  # stopped while waiting: the last answer stands
                return outcome.reply
            waited += delay
        raise AssertionError("unreachable")

    def _attempt(self, method: str, data: bytes | None, headers: dict[str, str], deadline: float, cap: int) -> _Attempt:
        try:
            response = transport.exchange(
                "POST", self._base + method, data, headers, deadline=deadline, cap=cap, cut_at=self._cut_at
            )
        except transport.Unsent as e:
            return _Attempt(Reply(False, str(e), words="the Bot API could not be reached"), retry=True, why=str(e))
        except transport.Lost as e:
            return _Attempt(Reply(False, str(e), lost=True, words="no complete reply from the Bot API"))
        if 200 <= response.status < 300:
            return _Attempt(self._accepted(response.status, response.body))
        return self._refused(response)

    def _accepted(self, status: int, body: bytes) -> Reply:
        try:
            payload = _json(body)
        except ValueError:
            words = "the Bot API answered with a reply that is not JSON"
            return Reply(False, f"HTTP {status} with a reply that is not JSON", lost=True, words=words)
        if isinstance(payload, dict) and payload.get("ok"):
            return Reply(True, result=payload.get("result"))
        return Reply(False, egress.mask(str(payload))[:300], words="the Bot API refused the request")

    def _refused(self, response: transport.Response) -> _Attempt:
        status = response.status
        words = f"HTTP {status} from the Bot API"
        reply = Reply(False, _error_text(response.body, f"HTTP {status} {response.reason}"), status=status, words=words)
        why = f"HTTP {status} {response.reason}"
        if status == 429:
            return _Attempt(reply, retry=True, asked=retry_after(response.body, response.headers), why=why)
        return _Attempt(reply, retry=status >= 500, why=why)
