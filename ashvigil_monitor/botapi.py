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
import http.client
import json
import secrets
import time
import urllib.error
import urllib.parse
import urllib.request
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

from ashvigil_monitor import log

BOT_API_ORIGIN = "https://api.telegram.org"
MAX_RETRIES = 3
MAX_WAIT = 120.0
BACKOFF = (0.5, 1.0, 2.0)  # seconds before the 1st, 2nd, 3rd repeat after a 5xx or connection failure
TIMEOUT = 30.0
MAX_REPLY = 1 << 20  # Bot API replies are small; a larger body is not read further


@dataclass(frozen=True)
class Reply:
    """How a call ended. `ok`: Telegram answered 2xx with "ok": true. `lost`: the request went out
    and no readable reply came back, so it may have been carried out."""

    ok: bool
    error: str = ""
    lost: bool = False
    result: Any = None
    status: int | None = None  # the HTTP status of an error reply


@dataclass(frozen=True)
class _Attempt:
    reply: Reply
    retry: bool = False  # a repeat may help
    asked: float | None = None  # the wait the server asked for; else the backoff
    why: str = ""


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    """A redirect is an answer like any other (a 3xx HTTPError): the token stays on its origin."""

    def redirect_request(self, *args: Any, **kwargs: Any) -> None:
        return None


def retry_after(body: bytes, headers: email.message.Message) -> float | None:
    """Telegram's wait for a 429: parameters.retry_after of the JSON reply, else Retry-After."""
    try:
        value: Any = json.loads(body)["parameters"]["retry_after"]
    except (ValueError, TypeError, KeyError):
        value = headers.get("Retry-After", "")
    try:
        seconds = float(value)
    except (TypeError, ValueError):
        return None
    return seconds if 0 <= seconds < float("inf") else None


def _error_text(body: bytes, fallback: str) -> str:
    """What went wrong, in Telegram's words where it gave any: its description, else the body."""
    text = body.decode("utf-8", "replace")
    try:
        payload = json.loads(text)
    except ValueError:
        return text or fallback
    if isinstance(payload, dict) and payload.get("description"):
        return str(payload["description"])
    return text[:300]


class BotApi:
    def __init__(self, token: str, origin: str | None, sleep: Callable[[float], None] = time.sleep) -> None:
        self._base = f"{origin or BOT_API_ORIGIN}/bot{token}/"
        self._sleep = sleep
        self._opener = urllib.request.build_opener(_NoRedirect())

    def send_message(self, chat_id: str, text: str) -> Reply:
        return self.call("sendMessage", {"chat_id": chat_id, "text": text, "disable_web_page_preview": "true"})

    def send_photo(self, chat_id: str, png: bytes, caption: str) -> Reply:
        """sendPhoto as multipart/form-data: the fields, then the image as a file part."""
        boundary = secrets.token_hex(16)
        parts = [
            f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n{value}\r\n'.encode()
            for name, value in (("chat_id", chat_id), ("caption", caption))
        ]
        parts.append(
            f'--{boundary}\r\nContent-Disposition: form-data; name="photo"; filename="chart.png"\r\n'
            "Content-Type: image/png\r\n\r\n".encode()
            + png
            + f"\r\n--{boundary}--\r\n".encode()
        )
        kind = {"Content-Type": f"multipart/form-data; boundary={boundary}"}
        return self._post("sendPhoto", b"".join(parts), kind, TIMEOUT)

    def call(self, method: str, fields: Mapping[str, str] | None = None, http_timeout: float = TIMEOUT) -> Reply:
        return self._post(method, urllib.parse.urlencode(fields).encode() if fields else None, {}, http_timeout)

    def _post(self, method: str, data: bytes | None, headers: dict[str, str], http_timeout: float) -> Reply:
        waited = 0.0
        for attempt in range(MAX_RETRIES + 1):
            request = urllib.request.Request(self._base + method, data=data, headers=headers)
            outcome = self._attempt(request, http_timeout)
            delay = BACKOFF[min(attempt, len(BACKOFF) - 1)] if outcome.asked is None else outcome.asked
            if not outcome.retry or attempt == MAX_RETRIES or waited + delay > MAX_WAIT:
                return outcome.reply
            log.line(f"telegram retry {attempt + 1}/{MAX_RETRIES} in {delay:g} s: {outcome.why}")
            self._sleep(delay)
            waited += delay
        raise AssertionError("unreachable")

    def _attempt(self, request: urllib.request.Request, timeout: float) -> _Attempt:
        try:
            with self._opener.open(request, timeout=timeout) as response:
                status, body = response.status, response.read(MAX_REPLY)
        except urllib.error.HTTPError as e:
            try:
                body = e.read(MAX_REPLY) if e.fp else b""
            except (OSError, http.client.HTTPException) as lost:
                return _Attempt(Reply(False, f"{e} (reply lost: {lost})", lost=True))
            finally:
                e.close()
            return self._refused(e, body)
        except urllib.error.URLError as e:  # raised before the request was complete
            return _Attempt(Reply(False, str(e)), retry=True, why=str(e.reason))
        except (OSError, http.client.HTTPException) as e:  # the request went out; the reply did not come
            return _Attempt(Reply(False, str(e) or type(e).__name__, lost=True))
        return _Attempt(self._accepted(status, body))

    def _accepted(self, status: int, body: bytes) -> Reply:
        try:
            payload = json.loads(body)
        except ValueError:
            return Reply(False, f"HTTP {status} with a reply that is not JSON", lost=True)
        if isinstance(payload, dict) and payload.get("ok"):
            return Reply(True, result=payload.get("result"))
        return Reply(False, str(payload))

    def _refused(self, e: urllib.error.HTTPError, body: bytes) -> _Attempt:
        reply = Reply(False, _error_text(body, str(e)), status=e.code)
        why = f"HTTP {e.code} {e.reason}"
        if e.code == 429:
            return _Attempt(reply, retry=True, asked=retry_after(body, e.headers), why=why)
        return _Attempt(reply, retry=e.code >= 500, why=why)
