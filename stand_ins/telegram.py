"""A stand-in for the Telegram Bot API, and the routing that sends Bot API requests to it.

`TelegramStandIn` records every request and answers as scripted (see stand_ins.server), then as
scripted for one method (`answer`); unscripted, it accepts the message with {"ok": true,
"result": {...}} (getMe and getChat get a bot and a chat; getUpdates the messages `say` wrote,
at most its "limit" of them). `accepted` and `refused` build the Bot API's two reply shapes.

`route_telegram(target)` installs a urllib opener that sends every request for
https://api.telegram.org/... to the stand-in over plain HTTP instead, keeping the method,
the headers and the body; error statuses still arrive as `urllib.error.HTTPError` through
the opener's ordinary processing. The previous opener is restored on exit.

    with TelegramStandIn() as bot, route_telegram(bot):
        bot.script(refused("Bad Request: chat not found", 400))
        ashvigil.send_burn_telegram("hello", "123:abc", "42")
        bot.requests[0].form   # [("chat_id", "42"), ("text", "hello"), ...]
"""

from __future__ import annotations

import json
import threading
import urllib.request
from collections import defaultdict, deque

from stand_ins.server import Reply, Request, StandIn

BOT_API_ORIGIN = "https://api.telegram.org"


def accepted(result=None, delay=0.0) -> Reply:
    """A 200 reply {"ok": true, "result": result}."""
    return Reply.json({"ok": True, "result": result if result is not None else {}}, delay=delay)


def refused(description, status=200) -> Reply:
    """Telegram's error shape: "ok" false, the status as "error_code" and a description."""
    return Reply.json({"ok": False, "error_code": status, "description": description}, status)


class TelegramStandIn(StandIn):
    """A local Bot API. Use as a context manager."""

    HOLD = 0.3  # seconds an empty getUpdates is held open (Telegram holds it up to its timeout)

    def __init__(self, record=True):
        super().__init__(record)
        self._next_message_id = 1
        self._updates = []
        self._arrived = threading.Condition(self._lock)
        self.conflict = False  # getUpdates answers 409, as when another process polls the bot
        self._by_method = defaultdict(deque)

    def answer(self, method, *replies):
        """Replies for the next requests of one Bot API method ("sendPhoto"), one each, in order."""
        with self._lock:
            self._by_method[method].extend(replies)

    def say(self, text, chat_id=-1001234567890, user_id=42):
        """A message someone writes in a chat, for the bot's next getUpdates."""
        with self._arrived:
            update_id = 1000 + len(self._updates)
            message = {"message_id": update_id, "from": {"id": user_id}, "chat": {"id": chat_id}, "text": text}
            self._updates.append({"update_id": update_id, "message": message})
            self._arrived.notify_all()

    def messages(self):
        """The texts the chat received: those of sendMessage requests answered with ok true."""
        with self._lock:
            return [
                r.fields.get("text")
                for r in self.requests
                if r.path.endswith("/sendMessage")
                and r.reply is not None
                and r.reply.status == 200
                and _is_ok(r.reply.body)
            ]

    def photos(self):
        """(caption, PNG bytes) of the sendPhoto requests answered with ok true."""
        with self._lock:
            return [
                (r.fields.get("caption"), r.files["photo"][2])
                for r in self.requests
                if r.path.endswith("/sendPhoto")
                and r.reply is not None
                and r.reply.status == 200
                and _is_ok(r.reply.body)
            ]

    def _own_reply(self, request: Request) -> Reply:
        with self._lock:
            scripted = self._by_method[request.path.rpartition("/")[2]]
            if scripted:
                return scripted.popleft()
        fields = request.fields
        if request.path.endswith("/getMe"):
            return accepted(
                {"id": 123456, "is_bot": True, "first_name": "ashvigil", "username": "ashvigil_stand_in_bot"}
            )
        if request.path.endswith("/getUpdates"):
            if self.conflict:
                return refused("Conflict: terminated by other getUpdates request", 409)
            offset, limit = int(fields.get("offset") or 0), int(fields.get("limit") or 100)
            with self._arrived:
                self._arrived.wait_for(lambda: any(u["update_id"] >= offset for u in self._updates), self.HOLD)
                return accepted([u for u in self._updates if u["update_id"] >= offset][:limit])
        if request.path.endswith("/setMyCommands"):
            return Reply.json({"ok": True, "result": True})
        if request.path.endswith("/getChat"):
            return accepted({"id": fields.get("chat_id"), "type": "supergroup", "title": "stand-in chat"})
        with self._lock:
            message_id = self._next_message_id
            self._next_message_id += 1
        return accepted({"message_id": message_id, "chat": {"id": fields.get("chat_id")}, "text": fields.get("text")})


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
        local = urllib.request.Request(
            self.target_origin + url[len(BOT_API_ORIGIN) :],
            data=req.data,
            headers=dict(req.header_items()),
            method=req.get_method(),
        )
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
