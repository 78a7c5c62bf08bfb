"""A stand-in for the Telegram Bot API, and the routing that sends Bot API requests to it.

`TelegramStandIn` is a real HTTP server on 127.0.0.1 (an ephemeral port). It records every
request and answers from a queue of scripted `Reply` objects; when the queue is empty it
accepts the message with {"ok": true, "result": {...}} (getMe and getChat get a bot and a chat).

`route_telegram(target)` installs a urllib opener that sends every request for
https://api.telegram.org/... to the stand-in over plain HTTP instead, keeping the method,
the headers and the body; error statuses still arrive as `urllib.error.HTTPError` through
the opener's ordinary processing. The previous opener is restored on exit.

    with TelegramStandIn() as bot, route_telegram(bot):
        bot.script(Reply.error(400, "Bad Request: chat not found"))
        ashvigil.send_burn_telegram("hello", "123:abc", "42")
        bot.requests[0].form   # [("chat_id", "42"), ("text", "hello"), ...]
"""
from __future__ import annotations

import collections
import json
import threading
import urllib.parse
import urllib.request
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BOT_API_ORIGIN = "https://api.telegram.org"


@dataclass
class Reply:
    """One scripted answer: status, body bytes, content type, a delay before answering and extra
    headers (name, value) pairs."""

    status: int = 200
    body: bytes = b""
    content_type: str = "application/json"
    delay: float = 0.0
    headers: tuple = ()

    @classmethod
    def json(cls, value, status=200, delay=0.0):
        """Any JSON value as the body."""
        return cls(status, json.dumps(value).encode("utf-8"), "application/json", delay)

    @classmethod
    def ok(cls, result=None, delay=0.0):
        """A 200 answer {"ok": true, "result": result}."""
        return cls.json({"ok": True, "result": result if result is not None else {}}, 200, delay)

    @classmethod
    def refused(cls, description, status=200):
        """A JSON answer with "ok" false and a description (Telegram's error shape)."""
        return cls.json({"ok": False, "error_code": status, "description": description}, status)

    @classmethod
    def error(cls, status, description):
        """An error status with Telegram's JSON error body."""
        return cls.refused(description, status)

    @classmethod
    def text(cls, body, status=200, content_type="text/plain; charset=utf-8"):
        """A body that is not JSON (text is encoded as UTF-8; bytes go unchanged)."""
        data = body.encode("utf-8") if isinstance(body, str) else body
        return cls(status, data, content_type)

    @classmethod
    def empty(cls, status):
        """A status with an empty body."""
        return cls(status, b"", "text/plain")


@dataclass
class Request:
    """One request as the stand-in received it."""

    method: str
    path: str
    headers: list  # (name, value) pairs in the order they arrived
    body: bytes
    form: list = field(default_factory=list)  # decoded form fields in order
    reply: Reply | None = None

    def header(self, name):
        """Every value of the header `name` (case-insensitive), in order."""
        return [v for k, v in self.headers if k.lower() == name.lower()]

    @property
    def fields(self):
        """The form as a dict (the last value of a repeated field wins)."""
        return dict(self.form)


class TelegramStandIn:
    """A local Bot API: records requests and answers as scripted. Use as a context manager."""

    def __init__(self):
        self.requests: list[Request] = []
        self._replies = collections.deque()
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._next_message_id = 1
        self._server = None
        self._thread = None

    # -- lifecycle --------------------------------------------------------------------------

    def start(self):
        stand_in = self

        class Handler(BaseHTTPRequestHandler):
            # Status line, headers and body leave in one write: no small-segment delays.
            wbufsize = -1
            disable_nagle_algorithm = True

            def do_POST(self):
                stand_in._handle(self)

            do_GET = do_POST

            def log_message(self, format, *args):  # keep test output clean
                pass

        self._server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
                                        daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._server is None:
            return
        self._stopping.set()  # ends any scripted delay at once
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()
        self._server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def port(self):
        return self._server.server_address[1]

    @property
    def origin(self):
        """The local origin, http://127.0.0.1:<port>."""
        return f"http://127.0.0.1:{self.port}"

    # -- scripting and inspection -------------------------------------------------------------

    def script(self, *replies: Reply):
        """Queues answers for the next requests, in order."""
        with self._lock:
            self._replies.extend(replies)

    def messages(self):
        """The texts the chat received: those of sendMessage requests answered with ok true."""
        with self._lock:
            return [r.fields.get("text") for r in self.requests
                    if r.path.endswith("/sendMessage") and r.reply is not None and r.reply.status == 200
                    and _is_ok(r.reply.body)]

    # -- serving ----------------------------------------------------------------------------

    def _handle(self, handler):
        length = int(handler.headers.get("Content-Length") or 0)
        body = handler.rfile.read(length) if length else b""
        try:
            form = urllib.parse.parse_qsl(body.decode("ascii"), keep_blank_values=True)
        except (UnicodeDecodeError, ValueError):
            form = []
        request = Request(handler.command, handler.path, list(handler.headers.items()), body, form)
        with self._lock:
            reply = self._replies.popleft() if self._replies else self._accept(request)
            request.reply = reply
            self.requests.append(request)
        if reply.delay and self._stopping.wait(reply.delay):
            return
        handler.send_response(reply.status)
        handler.send_header("Content-Type", reply.content_type)
        handler.send_header("Content-Length", str(len(reply.body)))
        for name, value in reply.headers:
            handler.send_header(name, value)
        handler.end_headers()
        handler.wfile.write(reply.body)

    def _accept(self, request):
        fields = request.fields
        if request.path.endswith("/getMe"):
            return Reply.ok({"id": 123456, "is_bot": True, "first_name": "ashvigil", "username": "ashvigil_stand_in_bot"})
        if request.path.endswith("/getChat"):
            return Reply.ok({"id": fields.get("chat_id"), "type": "supergroup", "title": "stand-in chat"})
        message_id = self._next_message_id
        self._next_message_id += 1
        return Reply.ok({"message_id": message_id, "chat": {"id": fields.get("chat_id")},
                         "text": fields.get("text")})


def _is_ok(body):
    try:
        return json.loads(body).get("ok") is True
    except (ValueError, AttributeError):
        return False


class _RouteHandler(urllib.request.BaseHandler):
    """Serves https://api.telegram.org/... from a local http origin; other URLs pass on."""

    handler_order = 100  # ahead of the default HTTPS handler

    def __init__(self, target_origin, timeout=None):
        self.target_origin = target_origin
        self.timeout = timeout
        self.timeouts = []  # the time-out of every routed request, as the caller gave it
        self._http = urllib.request.HTTPHandler()

    def https_open(self, req):
        url = req.full_url
        if not url.startswith(BOT_API_ORIGIN + "/"):
            return None
        self.timeouts.append(req.timeout)
        local = urllib.request.Request(self.target_origin + url[len(BOT_API_ORIGIN):], data=req.data,
                                       headers=dict(req.header_items()), method=req.get_method())
        local.timeout = self.timeout if self.timeout is not None else req.timeout
        return self._http.http_open(local)


class route_telegram:
    """Context manager: routes the Bot API origin to `target` (a stand-in or an http origin).

    `timeout`, when given, replaces the caller's time-out for the routed requests, so a test can
    see a time-out without waiting for the real one. `timeouts` lists the callers' time-outs.
    """

    def __init__(self, target, timeout=None):
        origin = target if isinstance(target, str) else target.origin
        self._handler = _RouteHandler(origin.rstrip("/"), timeout)
        self._previous = None

    @property
    def timeouts(self):
        return self._handler.timeouts

    def __enter__(self):
        self._previous = getattr(urllib.request, "_opener", None)
        # An empty ProxyHandler: proxy settings of the environment must not divert the route.
        urllib.request.install_opener(urllib.request.build_opener(urllib.request.ProxyHandler({}), self._handler))
        return self

    def __exit__(self, *exc):
        urllib.request.install_opener(self._previous)
