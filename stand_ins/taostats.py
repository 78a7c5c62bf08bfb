"""A stand-in for the taostats HTTP API on 127.0.0.1.

It serves the subnet listing (``GET /api/subnet/latest/v1``) from a table of realistic subnet rows,
and it answers exactly as scripted when told to: a queue of answers consumed one per request (for
retry and redirect sequences), or a default answer that replaces the listing. Every request is
recorded as it arrived on the wire.

    with TaostatsStandIn() as api:
        os.environ["TAOSTATS_API_BASE"] = api.base_url
        api.queue(Answer.rate_limited(), Answer.rate_limited())   # then the listing again
        api.set_incentive_burn(7, 0.25)                           # a rate moves between polls
        ...
        api.requests[-1].query  ->  "limit=1024&order=netuid_asc"
"""
from __future__ import annotations

import json
import random
import socket
import threading
from collections import deque
from dataclasses import dataclass, field
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Iterable, Mapping

LISTING_PATH = "/api/subnet/latest/v1"
PAGE_LIMIT = 1024
DEFAULT_SUBNET_COUNT = 130

__all__ = [
    "Answer", "LISTING_PATH", "PAGE_LIMIT", "Recorded", "TaostatsStandIn", "closed_port", "make_subnet_rows",
    "reason_phrase",
]


@dataclass
class Answer:
    """One scripted answer.

    ``body`` is sent byte for byte; a Content-Length header is added unless ``headers`` has one
    (give a larger one than the body to cut the answer short). ``reason`` replaces the standard
    phrase of the status line. ``delay`` holds the answer back that many seconds (it ends early
    when the server stops). ``drop`` closes the connection without answering at all.
    """

    status: int = 200
    body: bytes = b""
    headers: list[tuple[str, str]] = field(default_factory=list)
    reason: str | None = None
    delay: float = 0.0
    drop: bool = False

    @classmethod
    def json(cls, value: Any, status: int = 200, **kwargs: Any) -> "Answer":
        """An answer whose body is ``value`` written as JSON."""
        headers = [("Content-Type", "application/json")] + list(kwargs.pop("headers", []))
        return cls(status, json.dumps(value).encode(), headers, **kwargs)

    @classmethod
    def text(cls, text: str, status: int = 200, **kwargs: Any) -> "Answer":
        """An answer whose body is ``text`` in UTF-8, served as text/html."""
        headers = [("Content-Type", "text/html; charset=utf-8")] + list(kwargs.pop("headers", []))
        return cls(status, text.encode(), headers, **kwargs)

    @classmethod
    def rate_limited(cls, message: str | None = None) -> "Answer":
        """Status 429: an empty body, or a JSON body {"message": message} when one is given."""
        if message is None:
            return cls(429)
        return cls.json({"message": message}, status=429)

    @classmethod
    def redirect(cls, location: str, status: int = 302) -> "Answer":
        return cls(status, b"", [("Location", location)])


@dataclass(frozen=True)
class Recorded:
    """One request as the server received it."""

    method: str
    target: str  # the raw request target: path and query, nothing decoded
    path: str
    query: str  # raw query text after "?", "" without one
    headers: tuple[tuple[str, str], ...]  # in the order sent, duplicates kept
    body: bytes

    def header(self, name: str) -> str | None:
        """The first value of a header, matched without regard to case."""
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None


_NAMES = [
    "apex", "omron", "templar", "targon", "kaito", "sturdy", "subvortex", "dojo", "bitagent", "dataverse",
    "compute", "chutes", "gradients", "nineteen", "hivetrain", "zeus", "nuance", "sn-taoshi", "infinite",
    "score", "vision", "readyai", "ridges", "oracle", "synth", "bitmind", "gaia", "nous", "affine", "coldint",
]


def make_subnet_rows(count: int = DEFAULT_SUBNET_COUNT, seed: int = 7) -> list[dict[str, Any]]:
    """``count`` subnet rows with netuid 0..count-1, the same for the same ``seed``.

    Rows carry the fields a listing row has (ids, names, block numbers, time stamps, emissions,
    prices, pool sizes, owner keys); "incentive_burn" is a real such as 0.0, 0.18 or 1.0.
    """
    rng = random.Random(seed)
    block = 6_200_000
    burns = [0.0, 0.0, 0.0, 0.18, 1.0, 1.0, 0.5, 0.25, 0.9, 0.05, 0.333333, 0.75]
    rows = []
    for netuid in range(count):
        price = 0.0 if netuid == 0 else round(rng.uniform(0.002, 0.3), 9)
        tao_in = rng.randrange(10_000, 200_000) * 10**9
        registered = rng.randrange(1_000_000, block - 10_000)
        rows.append({
            "netuid": netuid,
            "name": "root" if netuid == 0 else f"{_NAMES[netuid % len(_NAMES)]}-{netuid}",
            "symbol": chr(0x3B1 + netuid % 24),
            "block_number": block,
            "timestamp": "2025-06-01T12:00:00Z",
            "owner": {
                "ss58": "5" + "".join(rng.choice("ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz123456789")
                                      for _ in range(47)),
                "hex": "0x" + "".join(rng.choice("0123456789abcdef") for _ in range(64)),
            },
            "registration_block_number": registered,
            "registration_timestamp": "2024-02-13T10:21:00Z",
            "registration_cost": str(rng.randrange(100, 3000) * 10**9),
            "tempo": 360,
            "max_neurons": 256,
            "active_keys": rng.randrange(20, 256),
            "validators": 64,
            "emission": str(rng.randrange(0, 60_000_000)),
            "price": price,
            "tao_in": str(tao_in),
            "alpha_in": str(int(tao_in / price) if price else 0),
            "alpha_out": str(rng.randrange(1_000_000, 9_000_000) * 10**9),
            "fee_rate": 0.05,
            "incentive_burn": rng.choice(burns) if netuid else 0.0,
        })
    return rows


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, owner: "TaostatsStandIn", address: tuple[str, int]):
        self.owner = owner
        super().__init__(address, _Handler)


class _Handler(BaseHTTPRequestHandler):
    server: _Server

    def _serve(self) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        path, _, query = self.path.partition("?")
        record = Recorded(self.command, self.path, path, query, tuple(self.headers.items()), body)
        answer = self.server.owner._answer_for(record)
        if answer.delay and self.server.owner._stopping.wait(answer.delay):
            return
        if answer.drop:
            self.close_connection = True
            return
        self.send_response(answer.status, answer.reason)
        names = {name.lower() for name, _ in answer.headers}
        for name, value in answer.headers:
            self.send_header(name, value)
        if "content-length" not in names:
            self.send_header("Content-Length", str(len(answer.body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(answer.body)

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = _serve

    def log_message(self, format: str, *args: Any) -> None:  # tests stay quiet
        pass


class TaostatsStandIn:
    """The stand-in service. Use it as a context manager, or call start() and stop().

    Without scripting, ``GET /api/subnet/latest/v1`` answers {"pagination": ..., "data": rows},
    honouring "limit" (capped at 1024) and "order" (netuid_asc or netuid_desc); other paths
    answer 404. When ``api_key`` is given, requests whose Authorization differs get 401.
    """

    def __init__(self, rows: Iterable[Mapping[str, Any]] | None = None, api_key: str | None = None,
                 record: bool = True):
        self._lock = threading.Lock()
        self._rows = [dict(r) for r in (make_subnet_rows() if rows is None else rows)]
        self._queue: deque[Answer] = deque()
        self._default: Answer | None = None
        self._requests: list[Recorded] = []
        self._stopping = threading.Event()
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None
        self.api_key = api_key
        self.record = record

    # --- life cycle ---

    def start(self) -> "TaostatsStandIn":
        self._stopping.clear()
        self._server = _Server(self, ("127.0.0.1", 0))
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
                                        name="taostats-stand-in", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._server is None:
            return
        self._stopping.set()  # ends any delayed answer
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()
        self._server = self._thread = None

    def __enter__(self) -> "TaostatsStandIn":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    @property
    def port(self) -> int:
        assert self._server is not None, "the stand-in is not running"
        return self._server.server_address[1]

    @property
    def base_url(self) -> str:
        """The value for TAOSTATS_API_BASE."""
        return f"http://127.0.0.1:{self.port}"

    # --- scripting ---

    def queue(self, *answers: Answer) -> None:
        """Answers for the next requests, one each, before the default applies again."""
        with self._lock:
            self._queue.extend(answers)

    def set_default(self, answer: Answer | None) -> None:
        """The answer to every request once the queue is empty; None restores the listing."""
        with self._lock:
            self._default = answer

    @property
    def pending(self) -> int:
        """Queued answers not yet used."""
        with self._lock:
            return len(self._queue)

    @property
    def rows(self) -> list[dict[str, Any]]:
        """A copy of the current rows."""
        with self._lock:
            return [dict(r) for r in self._rows]

    @rows.setter
    def rows(self, rows: Iterable[Mapping[str, Any]]) -> None:
        with self._lock:
            self._rows = [dict(r) for r in rows]

    def set_incentive_burn(self, netuid: int, value: Any) -> None:
        """Changes one subnet's "incentive_burn"; KeyError for an unknown netuid."""
        self.set_incentive_burns({netuid: value})

    def set_incentive_burns(self, burns: Mapping[int, Any]) -> None:
        """Changes the "incentive_burn" of several subnets at once."""
        with self._lock:
            by_id = {row["netuid"]: row for row in self._rows}
            missing = [n for n in burns if n not in by_id]
            if missing:
                raise KeyError(f"no subnet rows for netuid {missing}")
            for netuid, value in burns.items():
                by_id[netuid]["incentive_burn"] = value

    # --- what arrived ---

    @property
    def requests(self) -> list[Recorded]:
        """The requests received so far, oldest first."""
        with self._lock:
            return list(self._requests)

    def clear(self) -> None:
        """Forgets the recorded requests."""
        with self._lock:
            self._requests.clear()

    # --- answering ---

    def _answer_for(self, request: Recorded) -> Answer:
        with self._lock:
            if self.record:
                self._requests.append(request)
            if self._queue:
                return self._queue.popleft()
            if self._default is not None:
                return self._default
            rows = [dict(r) for r in self._rows]
        return self._listing(request, rows)

    def _listing(self, request: Recorded, rows: list[dict[str, Any]]) -> Answer:
        if request.path != LISTING_PATH or request.method != "GET":
            return Answer.json({"message": "Not Found"}, status=404)
        if self.api_key is not None and request.header("Authorization") != self.api_key:
            return Answer.json({"message": "Unauthorized"}, status=401)
        params = dict(p.partition("=")[::2] for p in request.query.split("&") if p)
        try:
            limit = min(int(params.get("limit", "50")), PAGE_LIMIT)
        except ValueError:
            return Answer.json({"message": f"invalid limit: {params['limit']}"}, status=400)
        rows.sort(key=lambda r: r["netuid"], reverse=params.get("order") == "netuid_desc")
        page = rows[:max(limit, 0)]
        pagination = {"current_page": 1, "per_page": limit, "total_items": len(rows),
                      "total_pages": 1 if len(rows) <= limit else -(-len(rows) // max(limit, 1)),
                      "next_page": None if len(rows) <= limit else 2, "prev_page": None}
        return Answer.json({"pagination": pagination, "data": page})


def closed_port() -> int:
    """A port on 127.0.0.1 with nothing listening (it was free a moment ago), for refused connections."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def reason_phrase(status: int) -> str:
    """The standard phrase the stand-in puts on a status line unless an answer gives its own."""
    return HTTPStatus(status).phrase
