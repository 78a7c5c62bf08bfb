"""The command's one HTTP client: every call it makes (the Bot API, the heartbeat) is one bounded
exchange.

- A deadline for the whole exchange: connection, request, headers and body. A server that
  trickles a byte every few seconds is cut there, not after each read's time-out.
- A cap on the reply body: a larger one is not read further.
- No redirects: a 3xx is an answer like any other, so a secret in a path stays on its origin.
- A stop request cuts an exchange at the moment `cut_at()` names (the stopper's grace after a
  signal), so a stop never waits behind a slow server.

A socket watcher thread shuts the socket down at the deadline or the cut, which ends any read or
write in progress at once.
"""

from __future__ import annotations

import base64
import errno
import functools
import http.client
import math
import os
import select
import socket
import ssl
import threading
import time
import urllib.parse
import urllib.request
from collections.abc import Callable, Mapping
from dataclasses import dataclass

from ashvigil_monitor import log

DEADLINE = 60.0
MAX_BODY = 1 << 20
WATCH_STEP = 0.1  # seconds between the watcher's looks at the clock and the stop request


def never() -> float:
    return math.inf


class Unsent(Exception):
    """The request did not go out whole: repeating it cannot deliver twice."""


class Lost(Exception):
    """The request went out and no complete reply came back: it may have been carried out."""


@dataclass(frozen=True)
class Response:
    status: int
    reason: str
    headers: http.client.HTTPMessage
    body: bytes


class Watcher:
    """Shuts the exchange's socket down at the deadline or when a stop cuts it (an SMTP session's too)."""

    def __init__(self, seconds: float, cut_at: Callable[[], float]) -> None:
        self.seconds = seconds
        self.end = time.monotonic() + seconds
        self.cut_at = cut_at
        self.why = ""
        self._socket: socket.socket | None = None  # a duplicate: TLS takes over the original's descriptor

    def __enter__(self) -> Watcher:
        _WATCHING.add(self)
        return self

    def __exit__(self, *exc: object) -> None:
        _WATCHING.discard(self)  # no shut comes after it
        if self._socket is not None:
            self._socket.close()

    def watch(self, sock: socket.socket) -> None:
        self._socket = sock.dup()
        if self.why:  # expired while connecting: the watcher may have looked before there was a socket
            self._shut()

    def expired(self) -> bool:
        if self.why:
            return True
        now = time.monotonic()
        if now >= self.cut_at():
            self.why = "stopped"
        elif now >= self.end:
            self.why = "deadline"
        return bool(self.why)

    def _shut(self) -> None:
        if self._socket is not None:
            try:
                self._socket.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass  # not connected yet, or closed already


class _WatchThread(threading.Thread):
    harmless_at_exit = True  # it never enters the module: the interpreter's finalization may stop it


class _Watching:
    """One thread looks at every exchange in progress, every WATCH_STEP while there is one, and
    sleeps while there is none: an alert's pieces do not each start and join a thread of their own."""

    def __init__(self) -> None:
        self._lock = threading.Condition()
        self._watchers: set[Watcher] = set()
        self._thread: threading.Thread | None = None
        self._idle = False  # the thread sleeps until an exchange starts

    def add(self, watcher: Watcher) -> None:
        with self._lock:
            self._watchers.add(watcher)
            if self._thread is None or not self._thread.is_alive():
                self._thread = _WatchThread(target=self._run, name="ashvigil-http-watch", daemon=True)
                self._thread.start()
            elif self._idle:  # else it looks within WATCH_STEP anyway: a burst of pieces wakes it once
                self._idle = False
                self._lock.notify()

    def discard(self, watcher: Watcher) -> None:
        with self._lock:
            self._watchers.discard(watcher)

    def _run(self) -> None:
        with self._lock:
            while True:
                self._idle = not self._watchers
                self._lock.wait(None if self._idle else WATCH_STEP)
                for watcher in self._watchers:  # under the lock: none leaves while it is shut
                    if watcher.expired():
                        watcher._shut()


_WATCHING = _Watching()


def _connect(address: tuple[str, int], watcher: Watcher) -> socket.socket:
    """A TCP connection made in small steps, so that the deadline and a stop end it too."""
    last: OSError = OSError("no address")
    for family, kind, proto, _, target in socket.getaddrinfo(*address, type=socket.SOCK_STREAM):
        sock = socket.socket(family, kind, proto)
        try:
            sock.setblocking(False)
            code = sock.connect_ex(target)
            while code in (errno.EINPROGRESS, errno.EALREADY):
                if watcher.expired():
                    raise TimeoutError(f"connection not made ({watcher.why})")
                _, ready, _ = select.select([], [sock], [], WATCH_STEP)
                if ready:
                    code = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
            if code:
                raise OSError(code, os.strerror(code))
            sock.settimeout(max(watcher.end - time.monotonic(), WATCH_STEP))
            watcher.watch(sock)
            return sock
        except OSError as e:
            sock.close()
            last = e
    raise last


def _connection(url: urllib.parse.SplitResult, watcher: Watcher) -> tuple[http.client.HTTPConnection, str]:
    """A connection to the URL's origin (through the environment's proxy, if any), and the target
    to request."""
    host, port = url.hostname or "", url.port or (443 if url.scheme == "https" else 80)
    target = urllib.parse.urlunsplit(("", "", url.path or "/", url.query, ""))
    proxy = _proxies().get(url.scheme)
    via = None
    if proxy and not urllib.request.proxy_bypass(host):
        via = urllib.parse.urlsplit(proxy if "://" in proxy else f"http://{proxy}")
    connect_to = (host, port) if via is None else (via.hostname or "", via.port or 80)
    seconds = max(0.0, watcher.end - time.monotonic())
    conn: http.client.HTTPConnection
    if url.scheme == "https":
        conn = http.client.HTTPSConnection(*connect_to, timeout=seconds, context=ssl.create_default_context())
        if via is not None:
            conn.set_tunnel(host, port, _proxy_headers(via))
    else:
        conn = http.client.HTTPConnection(*connect_to, timeout=seconds)
        if via is not None:
            target = urllib.parse.urlunsplit(url._replace(fragment=""))
    conn._create_connection = lambda address, *_: _connect(address, watcher)  # type: ignore[attr-defined]
    return conn, target


@functools.cache
def _proxies() -> dict[str, str]:
    """The environment's proxies, read once per process as urlopen's own opener reads them: the
    environment is walked whole, which an alert's every piece paid for."""
    return urllib.request.getproxies()


def _proxy_headers(via: urllib.parse.SplitResult) -> dict[str, str]:
    if via.username is None:
        return {}
    user = f"{urllib.parse.unquote(via.username)}:{urllib.parse.unquote(via.password or '')}"
    return {"Proxy-Authorization": "Basic " + base64.b64encode(user.encode()).decode()}


def exchange(
    method: str,
    url: str,
    body: bytes | None = None,
    headers: Mapping[str, str] | None = None,
    *,
    deadline: float = DEADLINE,
    cap: int = MAX_BODY,
    cut_at: Callable[[], float] = never,
) -> Response:
    """One request and its whole reply. Unsent or Lost, each with words that quote no URL."""
    parts, started = urllib.parse.urlsplit(url), time.monotonic()
    with Watcher(deadline, cut_at) as watcher:
        if watcher.expired():
            raise Unsent("not sent: stopping" if watcher.why == "stopped" else "not sent: no time left")
        try:
            conn, target = _connection(parts, watcher)
        except (ValueError, UnicodeError) as e:  # a port or host name no connection can have
            raise Unsent(f"not sent: {type(e).__name__} in the address") from None
        try:
            try:
                conn.request(method, target, body=body, headers=dict(headers or {}))
            except (OSError, http.client.HTTPException, ValueError, UnicodeError) as e:
                raise Unsent(_why(watcher, e, "could not connect")) from None
            try:
                response = conn.getresponse()
                data = response.read(cap + 1)
            except (OSError, http.client.HTTPException) as e:
                raise Lost(_why(watcher, e, "no complete reply")) from None
            if watcher.why:  # a shut socket reads as the end of the body
                raise Lost(_why(watcher, EOFError(), "no complete reply"))
        finally:
            conn.close()
    seconds = time.monotonic() - started
    log.debug(f"{method} {parts.hostname}{parts.path}: HTTP {response.status} ({seconds:.2f} s)", seconds=seconds)
    if len(data) > cap:
        raise Lost(f"a reply larger than {cap // 1024} KiB, not read further")
    return Response(response.status, response.reason, response.headers, data)


def _why(watcher: Watcher, error: BaseException, what: str) -> str:
    if watcher.why == "deadline":
        return f"{what} within {watcher.seconds:g} s"
    if watcher.why == "stopped":
        return f"{what}: stopped"
    return f"{what}: {error_words(error)}"


def error_words(error: BaseException) -> str:
    if isinstance(error, ssl.SSLError):
        return f"TLS failed ({error.reason or type(error).__name__})"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__
