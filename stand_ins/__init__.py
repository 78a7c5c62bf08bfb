"""Local stand-ins for the taostats API, the Telegram Bot API, and the other destinations: a Discord
webhook, a Slack incoming webhook, a JSON webhook receiver and a mail server (aiosmtpd).

Real servers on 127.0.0.1 that answer as a test (or the demo, or a benchmark) scripts them
and record every request they receive. Nothing here talks to the real services.
"""
