"""A stand-in for the taostats HTTP API on 127.0.0.1.

It serves the subnet listing (``GET /api/subnet/latest/v1``) from a table of realistic subnet rows
unless scripted otherwise (see stand_ins.server):

    with TaostatsStandIn() as api:
        os.environ["TAOSTATS_API_BASE"] = api.origin
        api.script(Reply(429), Reply(429))          # then the listing again
        api.set_incentive_burn(7, 0.25)             # a rate moves between polls
        ...
        api.requests[-1].query  ->  "limit=1024&order=netuid_asc"
"""

from __future__ import annotations

import random
from collections.abc import Iterable, Mapping
from typing import Any

from stand_ins.server import Reply, Request, StandIn

LISTING_PATH = "/api/subnet/latest/v1"
PAGE_LIMIT = 1024
DEFAULT_SUBNET_COUNT = 130


_NAMES = [
    "apex",
    "omron",
    "templar",
    "targon",
    "kaito",
    "sturdy",
    "subvortex",
    "dojo",
    "bitagent",
    "dataverse",
    "compute",
    "chutes",
    "gradients",
    "nineteen",
    "hivetrain",
    "zeus",
    "nuance",
    "sn-taoshi",
    "infinite",
    "score",
    "vision",
    "readyai",
    "ridges",
    "oracle",
    "synth",
    "bitmind",
    "gaia",
    "nous",
    "affine",
    "coldint",
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
        rows.append(
            {
                "netuid": netuid,
                "name": "root" if netuid == 0 else f"{_NAMES[netuid % len(_NAMES)]}-{netuid}",
                "symbol": chr(0x3B1 + netuid % 24),
                "block_number": block,
                "timestamp": "2025-06-01T12:00:00Z",
                "owner": {
                    "ss58": "5"
                    + "".join(
                        rng.choice("ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz123456789") for _ in range(47)
                    ),
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
            }
        )
    return rows


class TaostatsStandIn(StandIn):
    """Unscripted, ``GET /api/subnet/latest/v1`` answers {"pagination": ..., "data": rows},
    honouring "limit" (capped at 1024) and "order" (netuid_asc or netuid_desc); other paths
    answer 404. When ``api_key`` is given, requests whose Authorization differs get 401.
    """

    def __init__(
        self, rows: Iterable[Mapping[str, Any]] | None = None, api_key: str | None = None, record: bool = True
    ):
        super().__init__(record)
        self._rows = [dict(r) for r in (make_subnet_rows() if rows is None else rows)]
        self.api_key = api_key

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

    def _own_reply(self, request: Request) -> Reply:
        if request.path != LISTING_PATH or request.method != "GET":
            return Reply.json({"message": "Not Found"}, status=404)
        if self.api_key is not None and request.header("Authorization")[:1] != [self.api_key]:
            return Reply.json({"message": "Unauthorized"}, status=401)
        params = dict(p.partition("=")[::2] for p in request.query.split("&") if p)
        try:
            limit = min(int(params.get("limit", "50")), PAGE_LIMIT)
        except ValueError:
            return Reply.json({"message": f"invalid limit: {params['limit']}"}, status=400)
        rows = self.rows
        rows.sort(key=lambda r: r["netuid"], reverse=params.get("order") == "netuid_desc")
        page = rows[: max(limit, 0)]
        pagination = {
            "current_page": 1,
            "per_page": limit,
            "total_items": len(rows),
            "total_pages": 1 if len(rows) <= limit else -(-len(rows) // max(limit, 1)),
            "next_page": None if len(rows) <= limit else 2,
            "prev_page": None,
        }
        return Reply.json({"pagination": pagination, "data": page})
