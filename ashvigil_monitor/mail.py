"""Email over SMTP with the standard library: STARTTLS, implicit TLS or plain; a login when a user
is given; one message per piece.

What a failure means for a repeat:
- before the message's body went out (connection, TLS, login, MAIL, RCPT, the DATA command): not
  delivered, so repeated after a backoff;
- a 4xx reply: the server deferred it, repeated; a 5xx reply: refused, final;
- while the body went out or DATA's reply was awaited: lost, it may have been delivered.
Every wait is bounded: each socket operation by `timeout`, the whole session by DEADLINE and a stop.
"""

from __future__ import annotations

import base64
import re
import smtplib
import socket
import ssl
import time
from collections.abc import Callable
from email.message import EmailMessage

from ashvigil_monitor import egress, mail_message, posting, transport
from ashvigil_monitor.errors import CheckFailed
from ashvigil_monitor.outgoing import Outgoing, Reply

DEADLINE = 60.0  # seconds for one session, connection to QUIT
RETRIES = 2  # a mail server that fails three times in a few seconds will not take it now
TLS = ("starttls", "implicit", "none")
_LINE_START_DOT = re.compile(rb"(?m)^\.")


class _RecipientRefused(smtplib.SMTPResponseException):
    pass


WORDS: tuple[tuple[type[smtplib.SMTPResponseException], str], ...] = (
    (smtplib.SMTPAuthenticationError, "the login"),
    (smtplib.SMTPSenderRefused, "the sender"),
    (_RecipientRefused, "a recipient"),
    (smtplib.SMTPDataError, "the message"),
)


class _Watched(smtplib.SMTP):
    """An SMTP client whose socket the watcher shuts down at the deadline or a stop. It watches the
    plain socket, before any TLS wraps it (a TLS socket cannot be duplicated)."""

    def __init__(self, watcher: transport.Watcher, host: str, port: int, timeout: float) -> None:
        self.watcher = watcher  # before connecting, which the constructor does
        super().__init__(host, port, timeout=timeout)

    def _get_socket(self, host: str, port: int, timeout: float) -> socket.socket:
        sock = socket.create_connection((host, port), timeout, self.source_address)
        self.watcher.watch(sock)
        return sock


class _WatchedSSL(smtplib.SMTP_SSL, _Watched):  # SMTP_SSL wraps what _Watched returns
    def __init__(self, watcher: transport.Watcher, host: str, port: int, timeout: float, context: ssl.SSLContext):
        self.watcher = watcher
        smtplib.SMTP_SSL.__init__(self, host, port, timeout=timeout, context=context)


class _Session:
    """Whether the message's body has begun to go out: from then on a failure is a lost reply."""

    sending = False


class EmailSender:
    kind = "email"
    limit: int | None = None  # one message, never divided

    def __init__(
        self,
        host: str,
        port: int,
        tls: str,
        username: str | None,
        password: str | None,
        sender: str,
        to: tuple[str, ...],
        timeout: float = 30.0,
        sleep: Callable[[float], None] = time.sleep,
        cut_at: Callable[[], float] = transport.never,
    ) -> None:
        if tls not in TLS:
            raise ValueError(f"tls must be one of {', '.join(TLS)}")
        self._host, self._port, self._tls = host, port, tls
        self._username, self._password = username, password or ""
        self._sender, self._to = sender, to
        self._timeout = timeout
        self._sleep, self._cut_at = sleep, cut_at
        self._secrets = _login_secrets(username or "", self._password)

    def send(self, out: Outgoing) -> Reply:
        data = _wire(mail_message.compose(out, self._sender, self._to))
        return posting.repeated(self.kind, lambda: self._attempt(data), self._sleep, self._cut_at, RETRIES)

    def check(self) -> str:
        try:
            with transport.Watcher(DEADLINE, self._cut_at) as watcher:
                smtp = self._open(watcher)
                try:
                    smtp.quit()
                finally:
                    smtp.close()
        except smtplib.SMTPResponseException as e:
            raise CheckFailed(f"{_refused_words(e)}: {self._clean(_reply_text(e))}") from None
        except (OSError, smtplib.SMTPException) as e:
            raise CheckFailed(f"the mail server could not be reached: {self._failure(watcher, e)}") from None
        return f"{self._host}: login accepted" if self._username else f"{self._host}: connected"

    def _attempt(self, data: bytes) -> posting.Attempt:
        session = _Session()
        with transport.Watcher(DEADLINE, self._cut_at) as watcher:
            try:
                self._deliver(data, watcher, session)
            except smtplib.SMTPResponseException as e:
                words = f"{_refused_words(e)} ({e.smtp_code})"
                reply = Reply(False, self._clean(_reply_text(e)), words=words)
                return posting.Attempt(reply, retry=400 <= e.smtp_code < 500, why=f"SMTP {e.smtp_code}")
            except smtplib.SMTPNotSupportedError as e:  # no STARTTLS or AUTH offered: a repeat cannot help
                return posting.Attempt(Reply(False, str(e), words="the mail server does not offer STARTTLS or a login"))
            except (OSError, smtplib.SMTPException) as e:
                why = self._failure(watcher, e)
                if session.sending:
                    return posting.Attempt(Reply(False, why, lost=True, words="no complete reply from the mail server"))
                reply = Reply(False, why, words="the mail server could not be reached")
                return posting.Attempt(reply, retry=True, why=why)
        return posting.Attempt(Reply(True))

    def _deliver(self, data: bytes, watcher: transport.Watcher, session: _Session) -> None:
        smtp = self._open(watcher)
        try:
            code, text = smtp.mail(self._sender)
            if code != 250:
                raise smtplib.SMTPSenderRefused(code, text, self._sender)
            for rcpt in self._to:
                code, text = smtp.rcpt(rcpt)
                if code not in (250, 251):
                    raise _RecipientRefused(code, text)
            _data(smtp, data, session)
            try:
                smtp.quit()
            except (OSError, smtplib.SMTPException):
                pass  # delivered: a QUIT that fails changes nothing
        finally:
            smtp.close()

    def _open(self, watcher: transport.Watcher) -> smtplib.SMTP:
        """A session ready for MAIL: connected, TLS as configured, logged in."""
        timeout = min(self._timeout, watcher.end - time.monotonic(), self._cut_at() - time.monotonic())
        if timeout <= 0:
            raise TimeoutError("no time left")
        context = ssl.create_default_context()
        smtp: _Watched
        if self._tls == "implicit":
            smtp = _WatchedSSL(watcher, self._host, self._port, timeout, context)
        else:
            smtp = _Watched(watcher, self._host, self._port, timeout)
        try:
            smtp.ehlo()
            if self._tls == "starttls":
                smtp.starttls(context=context)
                smtp.ehlo()
            if self._username:
                smtp.login(self._username, self._password)
        except BaseException:
            smtp.close()
            raise
        return smtp

    def _failure(self, watcher: transport.Watcher, error: BaseException) -> str:
        if watcher.why == "deadline":
            return f"no complete session within {DEADLINE:g} s"
        if watcher.why == "stopped":
            return "stopped"
        return self._clean(transport.error_words(error))

    def _clean(self, text: str) -> str:
        """Masked for the log: the process's secrets, and the password in every form a login sends."""
        return self._secrets.mask(egress.mask(text))[:300]


def _login_secrets(username: str, password: str) -> egress.Secrets:
    """The password as itself and as AUTH PLAIN and LOGIN send it (base64), should a server echo it."""
    found = egress.Secrets()
    if password:
        for form in (password.encode(), f"\0{username}\0{password}".encode()):
            found.add(form.decode())
            found.add(base64.b64encode(form).decode())
    return found


def _wire(message: EmailMessage) -> bytes:
    """The message as DATA sends it: CRLF lines, a leading dot doubled, ending in a line break."""
    data = _LINE_START_DOT.sub(b"..", message.as_bytes())
    return data if data.endswith(b"\r\n") else data + b"\r\n"


def _data(smtp: smtplib.SMTP, data: bytes, session: _Session) -> None:
    """DATA in its steps (smtplib's data() would hide when the body began to go out)."""
    code, text = smtp.docmd("DATA")
    if code != 354:
        raise smtplib.SMTPDataError(code, text)
    session.sending = True
    smtp.send(data + b".\r\n")
    code, text = smtp.getreply()
    if code != 250:
        raise smtplib.SMTPDataError(code, text)


def _refused_words(error: smtplib.SMTPResponseException) -> str:
    what = next((what for kind, what in WORDS if isinstance(error, kind)), "the connection")
    return f"the mail server {'deferred' if 400 <= error.smtp_code < 500 else 'refused'} {what}"


def _reply_text(error: smtplib.SMTPResponseException) -> str:
    text = error.smtp_error.decode("utf-8", "replace") if isinstance(error.smtp_error, bytes) else error.smtp_error
    return f"SMTP {error.smtp_code} {text}"
