"""The systemd notify protocol, without a dependency: datagrams to $NOTIFY_SOCKET. Never fatal."""

from __future__ import annotations

import socket
import time
from collections.abc import Mapping


class Notifier:
    WATCHDOG_EVERY = 1.0  # seconds; the loop sleeps in one-second steps, no need to say it more often

    def __init__(self, env: Mapping[str, str]) -> None:
        address = env.get("NOTIFY_SOCKET", "")
        self._address = "\0" + address[1:] if address.startswith("@") else address  # "@": abstract socket
        self._last_watchdog = float("-inf")

    def send(self, *fields: str) -> None:
        if not self._address:
            return
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_CLOEXEC) as s:
                s.setblocking(False)  # a supervisor that does not read must not stall monitoring
                s.sendto("\n".join(fields).encode(), self._address)
        except OSError:
            pass  # a monitor without its supervisor still monitors

    def watchdog(self, force: bool = False) -> None:
        now = time.monotonic()
        if force or now - self._last_watchdog >= self.WATCHDOG_EVERY:
            self._last_watchdog = now
            self.send("WATCHDOG=1")
