"""What every stand-in shares: an HTTP server on 127.0.0.1, scripted replies and recorded requests.

A stand-in answers each request from its script (one reply per request, in order), then from its
default reply when one is set, and otherwise as the service it stands in for would. Every request
is recorded as it arrived on the wire, with the reply it got.

    with SomeStandIn() as service:
        service.script(Reply(429), Reply.json({"ok": True}))   # the next two requests
        service.set_default(Reply(500))                          # every request after them
        ...
        service.requests[-1].header("Authorization")  ->  ["key"]
"""

from __future__ import annotations

import email
import email.policy
import json
import socket
import sys
import threading
import urllib.parse
from collections import deque
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any


@dataclass
class Reply:
    """One scripted reply.

    ``body`` is sent byte for byte; a Content-Length header is added unless ``headers`` has one
    (give a larger one than the body to cut the reply short). ``reason`` replaces the standard
    phrase of the status line. ``delay`` holds the reply back that many seconds (it ends early
    when the server stops). ``drop`` closes the connection without answering at all. ``repeat``
    sends the body that many times, ``pause`` seconds apart (ending early when the client goes or
    the server stops): a long or a slow body. ``header_pause`` sends the headers one at a time,
    that many seconds apart: slow headers.
    """

    status: int = 200
    body: bytes = b""
    headers: list[tuple[str, str]] = field(default_factory=list)
    reason: str | None = None
    delay: float = 0.0
    drop: bool = False
    repeat: int = 1
    pause: float = 0.0
    header_pause: float = 0.0

    @classmethod
    def json(cls, value: Any, status: int = 200, **kwargs: Any) -> Reply:
        """A reply whose body is ``value`` written as JSON."""
        headers = [("Content-Type", "application/json"), *kwargs.pop("headers", [])]
        return cls(status, json.dumps(value).encode(), headers, **kwargs)

    @classmethod
    def text(
        cls, body: str | bytes, status: int = 200, content_type: str = "text/plain; charset=utf-8", **kwargs: Any
    ) -> Reply:
        """A body that is not JSON: text is encoded as UTF-8, bytes go unchanged."""
        data = body.encode() if isinstance(body, str) else body
        headers = [("Content-Type", content_type), *kwargs.pop("headers", [])]
        return cls(status, data, headers, **kwargs)

    @classmethod
    def redirect(cls, location: str, status: int = 302) -> Reply:
        return cls(status, b"", [("Location", location)])


@dataclass
class Request:
    """One request as the stand-in received it, and the reply it got (None until chosen)."""

    method: str
    target: str  # the raw request target: path and query, nothing decoded
    headers: list[tuple[str, str]]  # in the order sent, duplicates kept
    body: bytes
    reply: Reply | None = None

    @property
    def path(self) -> str:
        return self.target.partition("?")[0]

    @property
    def query(self) -> str:
        """The raw query text after "?", "" without one."""
        return self.target.partition("?")[2]

    def header(self, name: str) -> list[str]:
        """Every value of the header ``name`` (matched without regard to case), in order."""
        return [value for key, value in self.headers if key.lower() == name.lower()]

    @property
    def form(self) -> list[tuple[str, str]]:
        """The form fields of an urlencoded or a multipart/form-data body, in order (file parts
        left out: see ``files``); [] when the body is neither."""
        if self._parts() is not None:
            return [(name, data.decode()) for name, filename, _, data in self._parts() or [] if filename is None]
        try:
            return urllib.parse.parse_qsl(self.body.decode("ascii"), keep_blank_values=True)
        except (UnicodeDecodeError, ValueError):
            return []

    @property
    def files(self) -> dict[str, tuple[str, str, bytes]]:
        """The file parts of a multipart/form-data body: field name -> (file name, type, bytes)."""
        return {name: (filename, kind, data) for name, filename, kind, data in self._parts() or [] if filename}

    def _parts(self) -> list[tuple[str, str | None, str, bytes]] | None:
        """(name, file name, content type, bytes) of each part; None when the body is not multipart."""
        kind = (self.header("Content-Type") or [""])[0]
        if not kind.lower().startswith("multipart/form-data"):
            return None
        message = email.message_from_bytes(
            f"Content-Type: {kind}\r\n\r\n".encode() + self.body, policy=email.policy.HTTP
        )
        if not message.is_multipart():
            return None
        return [
            (
                str(part.get_param("name", header="content-disposition")),
                part.get_filename(),
                part.get_content_type(),
                part.get_payload(decode=True),
            )
            for part in message.iter_parts()
        ]

    @property
    def fields(self) -> dict[str, str]:
        """The form as a dict (the last value of a repeated field wins)."""
        return dict(self.form)


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, stand_in: StandIn):
        self.stand_in = stand_in
        super().__init__(("127.0.0.1", 0), _Handler)

    def handle_error(self, request: Any, client_address: Any) -> None:
        if isinstance(sys.exc_info()[1], ConnectionError):
            return  # a client that stopped reading (a cap, a deadline, a stop) is not an error here
        super().handle_error(request, client_address)


class _Handler(BaseHTTPRequestHandler):
    server: _Server
    # Status line, headers and body leave in one write: no small-segment delays.
    wbufsize = -1
    disable_nagle_algorithm = True

    def _serve(self) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        if len(body) < length:  # the client went before its request was whole: no service acts on half of one
            self.close_connection = True
            return
        reply = self.server.stand_in._reply_to(Request(self.command, self.path, list(self.headers.items()), body))
        if reply.delay and self.server.stand_in._stopping.wait(reply.delay):
            return
        if reply.drop:
            self.close_connection = True
            return
        self.send_response(reply.status, reply.reason)
        for name, value in reply.headers:
            self.send_header(name, value)
            if reply.header_pause and not self._trickled(reply.header_pause):
                return
        if all(name.lower() != "content-length" for name, _ in reply.headers):
            self.send_header("Content-Length", str(len(reply.body) * reply.repeat))
        self.end_headers()
        if self.command == "HEAD":
            return
        try:
            for i in range(reply.repeat):
                if i and reply.pause and self.server.stand_in._stopping.wait(reply.pause):
                    return
                self.wfile.write(reply.body)
                self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):  # the client stopped reading
            self.close_connection = True

    def _trickled(self, pause: float) -> bool:
        """Sends the headers so far, then waits; False when the client went or the server stops."""
        try:
            self.flush_headers()
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
            return False
        return not self.server.stand_in._stopping.wait(pause)

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = _serve

    def log_message(self, format: str, *args: Any) -> None:  # tests stay quiet
        pass


class StandIn:
    """The server and its script. Use it as a context manager, or call start() and stop().

    Subclasses answer unscripted requests in ``_own_reply``; ``requests`` lists what arrived,
    oldest first, unless ``record`` is false (a leak check's long loops keep nothing).
    """

    def __init__(self, record: bool = True):
        self.requests: list[Request] = []
        self.record = record
        self._lock = threading.Lock()
        self._script: deque[Reply] = deque()
        self._default: Reply | None = None
        self._stopping = threading.Event()
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None

    # --- life cycle ---

    def start(self):
        self._stopping.clear()
        self._server = _Server(self)
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, name=type(self).__name__, daemon=True
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._server is None:
            return
        self._stopping.set()  # ends any delayed reply at once
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()
        self._server = self._thread = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    @property
    def port(self) -> int:
        assert self._server is not None, "the stand-in is not running"
        return self._server.server_address[1]

    def accepted_posts(self) -> list[Request]:
        """The POSTs it answered 2xx, oldest first: what a webhook took."""
        with self._lock:
            return [r for r in self.requests if r.method == "POST" and r.reply and 200 <= r.reply.status < 300]

    def drop(self) -> None:
        """The next request gets no reply: the connection closes."""
        self.script(Reply(drop=True))

    @property
    def origin(self) -> str:
        """The local origin, http://127.0.0.1:<port>."""
        return f"http://127.0.0.1:{self.port}"

    # --- scripting ---

    def script(self, *replies: Reply) -> None:
        """Replies for the next requests, one each, in order."""
        with self._lock:
            self._script.extend(replies)

    def set_default(self, reply: Reply | None) -> None:
        """The reply to every request once the script is used up; None restores the service's own."""
        with self._lock:
            self._default = reply

    # --- answering ---

    def _reply_to(self, request: Request) -> Reply:
        with self._lock:
            if self.record:
                self.requests.append(request)
            reply = self._script.popleft() if self._script else self._default
        request.reply = reply if reply is not None else self._own_reply(request)
        return request.reply

    def _own_reply(self, request: Request) -> Reply:
        """The service's reply to an unscripted request."""
        return Reply(404)


def closed_port() -> int:
    """A port on 127.0.0.1 with nothing listening (it was free a moment ago), for refused connections."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
