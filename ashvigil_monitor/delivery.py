"""Telegram requests that survive transient failures, and another Bot API origin.

The command installs a urllib opener whose handler takes every request for the Bot API origin.
The module's sendMessage (and the command's getMe/getChat) go through it unchanged, so the
module keeps its own result pairs and log lines; the handler only repeats a request that
certainly did not deliver:

- a 429 reply, after its retry_after (JSON "parameters", else the Retry-After header);
- a 5xx reply or a connection that could not be made or could not take the request, after a
  short backoff.

At most MAX_RETRIES repeats and MAX_WAIT seconds of waiting per request; then the last reply (or
failure) goes to the caller as if there had been no retry. A 2xx or any other reply is final, and
so is a failure while waiting for the reply: the message may have arrived, and an alert twice is
worse than a delayed one.
"""

from __future__ import annotations

import email.message
import io
import json
import sys
import urllib.error
import urllib.request
import urllib.response
from collections.abc import Callable
from http.client import HTTPResponse
from typing import Any

BOT_API_ORIGIN = "https://api.telegram.org"
MAX_RETRIES = 3
MAX_WAIT = 120.0
BACKOFF = (0.5, 1.0, 2.0)  # seconds before the 1st, 2nd, 3rd repeat after a 5xx or connection failure


class _Replayed(urllib.response.addinfourl):
    """A reply whose body was already read to decide on a retry, handed on as if unread."""

    def __init__(self, body: bytes, response: HTTPResponse, url: str) -> None:
        super().__init__(io.BytesIO(body), response.headers, url, response.status)
        self.msg = response.reason


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


class TelegramHandler(urllib.request.BaseHandler):
    handler_order = 450  # after the proxy handler, before the standard HTTPS handler

    def __init__(self, origin: str | None, sleep: Callable[[float], None]) -> None:
        self.origin = origin  # None: the real Bot API
        self.sleep = sleep
        self._http = urllib.request.HTTPHandler()
        self._https = urllib.request.HTTPSHandler()

    def https_open(self, req: urllib.request.Request) -> Any:
        if not req.full_url.startswith(BOT_API_ORIGIN + "/"):
            return None  # not ours: the next handler opens it
        waited = 0.0
        for attempt in range(MAX_RETRIES + 1):
            failure: Any
            try:
                response = self._open_once(req)
            except urllib.error.URLError as e:  # raised before the request was complete
                failure, delay, why = e, BACKOFF[min(attempt, len(BACKOFF) - 1)], str(e.reason)
            else:
                if response.status != 429 and response.status < 500:
                    return response
                body = response.read()
                response.close()
                failure = _Replayed(body, response, req.full_url)
                asked = retry_after(body, response.headers) if response.status == 429 else None
                delay = BACKOFF[min(attempt, len(BACKOFF) - 1)] if asked is None else asked
                why = f"HTTP {response.status} {response.reason}"
            if attempt == MAX_RETRIES or waited + delay > MAX_WAIT:
                break
            sys.stderr.write(f"[burn] telegram retry {attempt + 1}/{MAX_RETRIES} in {delay:g} s: {why}\n")
            self.sleep(delay)
            waited += delay
        if isinstance(failure, BaseException):
            raise failure
        return failure

    def _open_once(self, req: urllib.request.Request) -> HTTPResponse:
        if self.origin is None:
            return self._https.https_open(req)
        url = self.origin + req.full_url[len(BOT_API_ORIGIN) :]
        # The Host header names the real origin; http.client sets the right one when it is absent.
        headers = {k: v for k, v in req.header_items() if k.lower() != "host"}
        routed = urllib.request.Request(url, data=req.data, headers=headers, method=req.get_method())
        routed.timeout = req.timeout  # type: ignore[attr-defined,unused-ignore]
        if url.startswith("https:"):
            return self._https.https_open(routed)
        return self._http.http_open(routed)


def install(origin: str | None, sleep: Callable[[float], None]) -> TelegramHandler:
    """Installs the opener every urlopen of the process uses (the module's included)."""
    handler = TelegramHandler(origin, sleep)
    urllib.request.install_opener(urllib.request.build_opener(handler))
    return handler
