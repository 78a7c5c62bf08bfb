"""How the history stores subnet ids and burn texts: small numbers where the text can be given
back exactly, the text itself where it cannot.

A subnet id of plain digits is its integer. A burn text of plain decimals ("0.18", "-0.0", "1")
is its digits as an integer times ten plus the count of its decimals (up to 9), negated for a
minus sign; another text that is exactly the shortest text of a double ("1e-05") is that REAL;
any other text stays text. The database's migration codes the older rows the same way (in SQL,
without the REAL step), so every coded value reads back as the text that was recorded.
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable

_ID = re.compile(r"0|[1-9][0-9]{0,17}")
_DECIMAL = re.compile(r"-?(0|[1-9][0-9]*)(?:\.([0-9]{1,9}))?")
MAX_DIGITS = 17  # the digits of a coded decimal, times ten, within SQLite's 64-bit integer

Id = int | str
Burn = int | float | str | None


def id_code(netuid: str) -> Id:
    return int(netuid) if _ID.fullmatch(netuid) else netuid


def id_text(code: Id) -> str:
    return code if isinstance(code, str) else str(code)


def id_order(code: Id) -> tuple[bool, Id]:
    """SQLite's order of the coded ids: integers first, by value, then texts."""
    return isinstance(code, str), code


def burn_code(text: str | None) -> Burn:
    if text is None:
        return None
    match = _DECIMAL.fullmatch(text)
    if match and text != "-0" and len(match[1]) + len(match[2] or "") <= MAX_DIGITS:
        fraction = match[2] or ""
        value = int(match[1] + fraction) * 10 + len(fraction)
        return -value if text.startswith("-") else value
    try:
        number = float(text)
    except ValueError:
        return text
    return number if math.isfinite(number) and repr(number) == text else text


def burn_text(code: Burn) -> str | None:
    if code is None or isinstance(code, str):
        return code
    if isinstance(code, float):
        return repr(code)
    digits, decimals = divmod(abs(code), 10)
    sign = "-" if code < 0 else ""
    if not decimals:
        return f"{sign}{digits}"
    padded = str(digits).rjust(decimals + 1, "0")
    return f"{sign}{padded[:-decimals]}.{padded[-decimals:]}"


def poll_rows(
    at: int, seq: int, moved: Iterable[tuple[str, str | None]], plain: bool = False
) -> list[tuple[int, int, Id, Burn]]:
    """A poll's moves as rows in the order given: `seq` starts there and steps up wherever an id
    does not follow the one before it in the database's order, so that (at, seq, netuid) keeps it.
    `plain` keeps the texts as they are, ordered as texts (a database that orders them bytewise)."""
    rows: list[tuple[int, int, Id, Burn]] = []
    for netuid, burn in moved:
        code = netuid if plain else id_code(netuid)
        if rows and id_order(code) <= id_order(rows[-1][2]):
            seq += 1
        rows.append((at, seq, code, burn if plain else burn_code(burn)))
    return rows
