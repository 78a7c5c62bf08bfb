"""The one way out: every text the command lets leave the process (log lines, chat messages and
answers, outbox rows, captions, command output, error messages) is masked here first.

A secret is masked in every form the module masks in its own log lines: each character as
itself, percent-encoded (either case), as a JSON \\u escape with one or two backslashes, "/" also
as "\\/"; and a prefix of at least 8 characters and half the secret where a text was cut (at its
end or at a closing quote). The command adds two rules of its own: whatever follows "/bot" in a
Bot API path, and the password of a URL's user information. Masking always comes before cutting.
"""

from __future__ import annotations

import re
import sys
from typing import Any, TextIO

MASK = "***"
MIN_PREFIX = 8  # a cut prefix shorter than this is a word, not a credential
MAX_LINE = 1000  # characters of a log line's text; the rest is counted, not shown
# A line shows its first 1000 characters: the matcher need not walk the rest of a hostile megabyte.
SCANNED = 200_000
_BOT_PATH = re.compile(r"/bot(?=\d)[^/'\"\s]+")  # a token begins with the bot's numeric id
_USERINFO_PASSWORD = re.compile(r"(\b[A-Za-z][A-Za-z0-9+.-]*://[^/?#@\s:]*:)[^/?#@\s]*@")
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u200b-\u200f\u2028\u2029\u202a-\u202e\u2060-\u2064\u2066-\u2069\ufeff]")
_SHORT = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
_HEX = "0123456789abcdef"

Unit = tuple[str, bool]  # a character that must be there, or (hex=True) a hex digit in either case
Spelling = tuple[Unit, ...]
_WHOLE, _CUT, _NO = 0, 1, 2


def _hex_units(value: int, digits: int) -> list[Unit]:
    return [(_HEX[(value >> shift) & 0xF], True) for shift in range(4 * (digits - 1), -1, -4)]


def _spellings(c: str) -> list[Spelling]:
    """Every way one character of a secret may be written."""
    percent: list[Unit] = []
    for byte in c.encode("utf-8", "surrogatepass"):
        percent += [("%", False), *_hex_units(byte, 2)]
    code = ord(c)
    units = [0xD800 + ((code - 0x10000) >> 10), 0xDC00 + ((code - 0x10000) & 0x3FF)] if code > 0xFFFF else [code]
    found: list[Spelling] = [((c, False),), tuple(percent)]
    for backslashes in (1, 2):
        escaped: list[Unit] = []
        for u in units:
            escaped += [("\\", False)] * backslashes + [("u", False), *_hex_units(u, 4)]
        found.append(tuple(escaped))
        if c == "/":
            found.append((*[("\\", False)] * backslashes, ("/", False)))
    return found


def _spelled_at(text: str, at: int, spelling: Spelling) -> tuple[int, int]:
    """Whether `spelling` is written from `at`: wholly, cut (the text ends, or a closing quote
    comes, after a part of it), or not; and where that ends."""
    for i, (c, hexed) in enumerate(spelling):
        p = at + i
        if p == len(text):
            return (_CUT if i else _NO), p
        t = text[p]
        if not (t == c or (hexed and t == c.upper())):
            return (_CUT if i and t == '"' else _NO), p
    return _WHOLE, at + len(spelling)


def _pattern(spellings: list[Spelling]) -> str:
    """A regular expression of one character in any of its spellings."""
    units = ("".join(f"[{c}{c.upper()}]" if hexed else re.escape(c) for c, hexed in s) for s in spellings)
    return "(?:" + "|".join(units) + ")"


class _Matcher:
    def __init__(self, secret: str) -> None:
        self.length = len(secret)
        self.chars = [_spellings(c) for c in secret]
        # Where a match may begin: nothing shorter than MIN_PREFIX whole characters (or the whole
        # secret) is ever masked, so only those, in any spelling, are worth the walk in Python.
        self.starts = re.compile("".join(_pattern(spellings) for spellings in self.chars[:MIN_PREFIX]))

    def match(self, text: str, at: int, cut: bool = False) -> int:
        """The end of the secret, or of a long enough prefix cut where the text was cut, written
        from `at`; 0 when neither is. `cut`: the text is known to be cut short, so any prefix of
        MIN_PREFIX characters at its end is the secret's."""
        ends, cut_end = [at], 0
        for k in range(self.length):
            long_prefix = k >= MIN_PREFIX and (cut or 2 * k >= self.length)
            following: set[int] = set()
            for e in ends:
                if long_prefix and (e == len(text) or text[e] == '"'):
                    cut_end = max(cut_end, e)
                for spelling in self.chars[k]:
                    how, end = _spelled_at(text, e, spelling)
                    if how == _WHOLE:
                        following.add(end)
                    elif how == _CUT and long_prefix:
                        cut_end = max(cut_end, end)
            if not following:
                return cut_end
            ends = sorted(following)
        return ends[-1]

    def mask(self, text: str, cut: bool = False) -> str:
        out: list[str] = []
        copied = at = 0
        while (found := self.starts.search(text, at)) is not None:
            at = found.start()
            end = self.match(text, at, cut)
            if end == 0:
                at += 1
                continue
            out += [text[copied:at], MASK]
            copied = at = end
        return "".join(out) + text[copied:] if out else text


class Secrets:
    """The texts to mask, with the forms a request or a repr gives them."""

    def __init__(self) -> None:
        self._matchers: dict[str, _Matcher] = {}

    def add(self, secret: str) -> None:
        if not secret.strip():
            return  # blanks hide nothing and would mangle every line
        # Percent and JSON spellings are matched character by character; a form-encoded blank
        # ("+") is the one spelling that needs a form of its own.
        for form in (secret, secret.strip(), secret.replace(" ", "+"), repr(secret)[1:-1]):
            if form and form not in self._matchers:
                self._matchers[form] = _Matcher(form)

    def mask(self, text: str, cut: bool = False) -> str:
        for matcher in list(self._matchers.values()):  # in the order told, as the module masks them
            text = matcher.mask(text, cut)
        # A message may quote a Bot API path cut short, which no form of the token matches:
        # whatever follows /bot there is the token.
        if "/bot" in text:
            text = _BOT_PATH.sub("/bot" + MASK, text)
        # A text without "://" holds no URL: the pattern's scheme would be tried at every word.
        return _USERINFO_PASSWORD.sub(r"\1" + MASK + "@", text) if "://" in text else text


SECRETS = Secrets()  # the process's secrets, told by the configuration as soon as it reads them


def mask(text: str) -> str:
    """A text for a person (a chat message, a caption, an outbox row): every secret masked, line
    breaks kept."""
    return SECRETS.mask(text)


def mask_cut(value: Any) -> Any:
    """A reply as the module hands it over, whose texts it may have cut short: each text masked,
    with any prefix of a secret of at least MIN_PREFIX characters where it ends."""
    if isinstance(value, str):
        return SECRETS.mask(value, cut=True)
    if isinstance(value, dict):
        return {mask_cut(k): mask_cut(v) for k, v in value.items()}
    if isinstance(value, list):
        return [mask_cut(v) for v in value]
    return value


def _escape(match: re.Match[str]) -> str:
    c = match.group()
    if c in _SHORT:
        return _SHORT[c]
    return f"\\x{ord(c):02x}" if ord(c) <= 0xFF else f"\\u{ord(c):04x}"


def safe(text: str, limit: int = MAX_LINE) -> str:
    """A text for one line (a log line, command output): masked, escaped so that it cannot forge
    or hide a line, then cut at `limit` characters."""
    unseen = max(0, len(text) - SCANNED)
    text = _UNSAFE.sub(_escape, mask(text[:SCANNED]))
    if len(text) + unseen > limit:
        text = text[:limit] + f" ... ({len(text) + unseen - limit} more characters)"
    return text


class MaskingStream:
    """Standard output or error with every secret masked, flushed at each write: lines must not
    wait in a buffer while the journal and the demo interleave both streams."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        self._stream.write(mask(text))
        self._stream.flush()
        return len(text)

    def flush(self) -> None:
        self._stream.flush()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


def install() -> None:
    sys.stdout = MaskingStream(sys.stdout)  # type: ignore[assignment,unused-ignore]
    sys.stderr = MaskingStream(sys.stderr)  # type: ignore[assignment,unused-ignore]
