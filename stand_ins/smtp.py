"""A stand-in mail server: aiosmtpd on 127.0.0.1, with AUTH (PLAIN and LOGIN) for one user,
STARTTLS or implicit TLS with a certificate made for the occasion, and answers to DATA as scripted.

    cert = self_signed(tmp_path)                     # cert.pem and key.pem for 127.0.0.1
    with SmtpStandIn("starttls", cert) as smtp:      # the client trusts cert.pem through SSL_CERT_FILE
        smtp.script(DEFER)                           # the next message: 451
        EmailSender(smtp.host, smtp.port, "starttls", smtp.USER, smtp.PASSWORD, ...).send(...)
        smtp.delivered()                             # the messages answered 250, parsed
"""

from __future__ import annotations

import asyncio
import email
import email.policy
import logging
import pathlib
import ssl
import subprocess
import threading
from collections import deque
from dataclasses import dataclass
from email.message import EmailMessage

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

from stand_ins.server import closed_port

ACCEPT = "250 OK"
DEFER = "451 4.3.0 Try again later"
REFUSE = "550 5.7.1 Message refused"
DROP = "drop"  # the connection closes after the body, before any answer
TLS = ("none", "starttls", "implicit")
logging.getLogger("mail.log").setLevel(logging.ERROR)  # aiosmtpd's notes on every session: tests stay quiet


def self_signed(directory: pathlib.Path) -> tuple[pathlib.Path, pathlib.Path]:
    """A certificate for 127.0.0.1 and its key, made by the openssl command (valid for a day)."""
    cert, key = directory / "cert.pem", directory / "key.pem"
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-keyout", str(key), "-out", str(cert), "-days", "1", "-subj", "/CN=127.0.0.1",
         "-addext", "subjectAltName=IP:127.0.0.1", "-addext", "keyUsage=critical,digitalSignature,keyCertSign"],
        check=True, capture_output=True, timeout=60,
    )  # fmt: skip
    return cert, key


@dataclass(frozen=True)
class Received:
    mail_from: str
    rcpt_tos: list[str]
    message: EmailMessage
    answer: str  # what the stand-in answered to it (DROP: nothing)


class SmtpStandIn:
    """Use as a context manager. Every message is recorded in `received` with its answer."""

    USER = "alerts@example.org"
    PASSWORD = "stand-in smtp password"

    def __init__(self, tls: str = "none", cert: tuple[pathlib.Path, pathlib.Path] | None = None):
        if tls not in TLS or (tls != "none" and cert is None):
            raise ValueError(f"tls {tls!r}: one of {TLS}, with a certificate unless none")
        self.tls = tls
        self.received: list[Received] = []
        self.logins: list[str] = []  # the user names of accepted logins
        self._lock = threading.Lock()
        self._script: deque[str] = deque()
        self._running = False
        context = None
        if cert is not None:
            context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            context.load_cert_chain(*cert)
        self._controller = Controller(
            _Handler(self),
            hostname="127.0.0.1",
            port=closed_port(),
            ssl_context=context if tls == "implicit" else None,
            tls_context=context if tls == "starttls" else None,
            require_starttls=tls == "starttls",
            authenticator=self._authenticate,
            # aiosmtpd requires a login itself only after STARTTLS (it warns of AUTH without TLS
            # otherwise, and implicit TLS is not STARTTLS to it): MAIL asks for the login instead.
            auth_required=tls == "starttls",
            auth_require_tls=tls == "starttls",
        )

    def __enter__(self) -> SmtpStandIn:
        self._controller.start()
        self._running = True
        return self

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def stop(self) -> None:
        """Stops listening (again: nothing); connections to the port are refused from then on."""
        if self._running:
            self._controller.stop()
            self._running = False

    host = "127.0.0.1"

    @property
    def port(self) -> int:
        return self._controller.port

    @property
    def url(self) -> str:
        return f"smtp://{self.host}:{self.port}"

    def script(self, *answers: str) -> None:
        """Answers to the next messages' DATA, one each, in order (ACCEPT, DEFER, REFUSE, DROP or
        any "<code> <text>"); then ACCEPT."""
        with self._lock:
            self._script.extend(answers)

    def defer(self) -> None:
        """The next message gets a temporary 451."""
        self.script(DEFER)

    def refuse(self) -> None:
        """The next message gets a permanent 550."""
        self.script(REFUSE)

    def drop(self) -> None:
        """The next message gets no answer: the connection closes once its body is in."""
        self.script(DROP)

    def delivered(self) -> list[Received]:
        with self._lock:
            return [r for r in self.received if r.answer.startswith("250")]

    def _next(self) -> str:
        with self._lock:
            return self._script.popleft() if self._script else ACCEPT

    def _authenticate(self, server, session, envelope, mechanism, auth_data) -> AuthResult:
        ok = isinstance(auth_data, LoginPassword) and (auth_data.login, auth_data.password) == (
            self.USER.encode(),
            self.PASSWORD.encode(),
        )
        if ok:
            with self._lock:
                self.logins.append(self.USER)
        return AuthResult(success=ok, handled=False)  # unhandled: aiosmtpd answers 535 itself


class _Handler:
    def __init__(self, stand_in: SmtpStandIn):
        self.stand_in = stand_in

    async def handle_MAIL(self, server, session, envelope, address, mail_options) -> str:
        if not session.authenticated:
            return "530 5.7.0 Authentication required"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope) -> str:
        answer = self.stand_in._next()
        # Line ends as a mailbox stores them: the wire's CRLF would stay in a decoded body.
        data = envelope.original_content.replace(b"\r\n", b"\n")
        message = email.message_from_bytes(data, policy=email.policy.default)
        with self.stand_in._lock:
            self.stand_in.received.append(Received(envelope.mail_from, list(envelope.rcpt_tos), message, answer))
        if answer == DROP:
            server.transport.abort()
            await asyncio.sleep(30)  # ended at once: the lost connection cancels this handler
        return answer
