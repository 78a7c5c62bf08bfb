"""One piece as an email: its subject (what moved, at a glance in an inbox), a plain UTF-8 body,
the Delayed mark on both."""

from __future__ import annotations

import email.policy
import email.utils
import re
from email.message import EmailMessage

import ashvigil
from ashvigil_monitor import egress, messages
from ashvigil_monitor.outgoing import Change, Outgoing

MAX_SUBJECT = 120  # characters; inboxes cut longer ones anyway
SUBJECTS = {
    "digest": "daily digest",
    "failing": "watch cycles failing",
    "recovered": "watch cycles recovered",
    "snapshot": "snapshot",
    "test": "test message",
}
_CONTROL = re.compile(r"[\x00-\x1f\x7f-\x9f\u2028\u2029]+")  # a listing's text never breaks a header


def _rate(text: str) -> str:
    return text if text in ("new", "gone") else ashvigil.format_owner_burn(text)


def _moved(changes: tuple[Change, ...], room: int) -> str:
    """ "N subnets moved (SN4 0.0000 → 0.6100, …)": as many changes as fit in `room` characters."""
    head = f"{len(changes)} subnet{'' if len(changes) == 1 else 's'} moved"
    items = [f"SN{netuid} {_rate(old)} → {_rate(new)}" for netuid, old, new in changes]
    for shown in range(len(items), 0, -1):
        more = ", …" if shown < len(items) else ""
        text = f"{head} ({', '.join(items[:shown])}{more})"
        if len(text) <= room:
            return text
    return head


def subject(out: Outgoing) -> str:
    prefix = "Delayed: ashvigil: " if out.delayed else "ashvigil: "
    room = MAX_SUBJECT - len(prefix)
    what = _moved(out.changes, room) if out.event == "changes" else SUBJECTS.get(out.event, out.event)
    return messages.cut(_CONTROL.sub(" ", egress.mask(prefix + what)), MAX_SUBJECT)


def compose(out: Outgoing, sender: str, to: tuple[str, ...]) -> EmailMessage:
    # messages.delayed of an empty body is the mark's line alone: the body is not cut to a chat's size.
    body = (messages.delayed(out.cycle_at, "") if out.delayed else "") + out.text
    message = EmailMessage(policy=email.policy.SMTP)
    message["From"] = sender
    message["To"] = ", ".join(to)
    message["Date"] = email.utils.formatdate(usegmt=True)
    # The sender's domain: make_msgid's own default asks the resolver for this host's name.
    domain = email.utils.parseaddr(sender)[1].rpartition("@")[2] or "ashvigil.invalid"
    message["Message-ID"] = email.utils.make_msgid(domain=domain)
    message["Subject"] = subject(out)
    # Quoted-printable: 7-bit on the wire, so no server's missing 8BITMIME can mangle it.
    message.set_content(egress.mask(body), charset="utf-8", cte="quoted-printable")
    return message
