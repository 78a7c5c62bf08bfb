"""Local stand-ins for the taostats API and the Telegram Bot API.

Real HTTP servers on 127.0.0.1 that answer as a test (or the demo, or a benchmark) scripts them
and record every request they receive. Nothing here talks to the real services.
"""
