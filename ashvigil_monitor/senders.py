"""One sender per destination, built from its kind, all on the command's bounded HTTP client (or
SMTP), with the stop's grace."""

from __future__ import annotations

from collections.abc import Callable

from ashvigil_monitor import messages
from ashvigil_monitor.botapi import BotApi
from ashvigil_monitor.destinations import Destination
from ashvigil_monitor.discord import DiscordSender
from ashvigil_monitor.errors import CheckFailed
from ashvigil_monitor.mail import EmailSender
from ashvigil_monitor.outgoing import Outgoing, Reply, Sender
from ashvigil_monitor.slack import SlackSender
from ashvigil_monitor.webhook import WebhookSender


class TelegramSender:
    kind = "telegram"
    limit: int | None = messages.MAX_MESSAGE

    def __init__(self, bot: BotApi, chat_id: str) -> None:
        self.bot = bot
        self.chat_id = chat_id

    def send(self, out: Outgoing) -> Reply:
        text = messages.delayed(out.cycle_at, out.text) if out.delayed else messages.fit(out.text)
        return self.bot.send_message(self.chat_id, text)

    def check(self) -> str:
        me = self._call("getMe")
        chat = self._call("getChat", chat_id=self.chat_id)
        name = f"@{me.get('username')}" if isinstance(me, dict) and me.get("username") else "the bot"
        title = chat.get("title") or chat.get("username") or chat.get("type") if isinstance(chat, dict) else None
        return f"{name} reaches {title or 'the chat'}"

    def _call(self, method: str, **fields: str) -> object:
        reply = self.bot.call(method, fields)
        if not reply.ok:
            raise CheckFailed(reply.error)
        return reply.result


def build(
    place: Destination,
    telegram_api: str | None,
    pause: Callable[[float], None],
    cut_at: Callable[[], float],
    bot: BotApi | None = None,
) -> Sender:
    """The destination's sender; `bot` is the Bot API client to use for a Telegram one (the chat's
    own, which notes what it sends), else one of its own."""
    if place.kind == "telegram":
        return TelegramSender(bot or BotApi(place.bot_token, telegram_api, pause, cut_at), place.chat_id)
    if place.kind == "discord":
        return DiscordSender(place.url, pause, cut_at)
    if place.kind == "slack":
        return SlackSender(place.url, pause, cut_at)
    if place.kind == "webhook":
        return WebhookSender(place.url, place.secret or None, pause, cut_at)
    return EmailSender(
        place.host,
        place.port,
        place.tls,
        place.username or None,
        place.password or None,
        place.sender,
        place.to,
        sleep=pause,
        cut_at=cut_at,
    )
