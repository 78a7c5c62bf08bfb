#!/usr/bin/env python3
"""Watch subnet owner burn rates unattended and report their changes to a Telegram chat.

Sends the startup snapshot, then polls until the pause file appears. Configuration comes from
the environment:

  TAOSTATS_API_KEY            taostats API key (required)
  ASHVIGIL_BOT_TOKEN          Telegram bot token (required)
  ASHVIGIL_CHAT_ID            Telegram chat id (required)
  ASHVIGIL_STATE_PATH         burn state file
                              (default: $XDG_STATE_HOME/ashvigil/state.json, else ~/.local/state/...)
  ASHVIGIL_THRESHOLD          smallest move that is reported, in burn-rate units (default 0.0001)
  ASHVIGIL_INTERVAL_MINUTES   wait between polls; one minute at the least (default 5)
  ASHVIGIL_PAUSE_PATH         a regular file at this path stops the loop (default: pause file
                              beside the state file)
  TAOSTATS_API_BASE, TAOSTATS_USER_AGENT   optional, read by ashvigil itself

Exit status: 0 after a pause, 2 when the configuration is incomplete or invalid.
"""
import argparse
import os
import sys

import ashvigil

REQUIRED = ("TAOSTATS_API_KEY", "ASHVIGIL_BOT_TOKEN", "ASHVIGIL_CHAT_ID")


class ConfigError(Exception):
    pass


def default_state_path(env):
    base = env.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(base, "ashvigil", "state.json")


def number(env, name, default):
    text = env.get(name, "").strip() or default
    try:
        return float(text)
    except ValueError:
        raise ConfigError(f"{name} must be a number, got {text!r}") from None


def load_config(env):
    missing = [name for name in REQUIRED if not env.get(name, "").strip()]
    if missing:
        raise ConfigError("missing required environment variable(s): " + ", ".join(missing))
    state_path = env.get("ASHVIGIL_STATE_PATH") or default_state_path(env)
    return {
        "state_path": state_path,
        "threshold": number(env, "ASHVIGIL_THRESHOLD", "0.0001"),
        "interval_minutes": number(env, "ASHVIGIL_INTERVAL_MINUTES", "5"),
        "burn_token": env["ASHVIGIL_BOT_TOKEN"].strip(),
        "burn_chat_id": env["ASHVIGIL_CHAT_ID"].strip(),
        "pause_path": env.get("ASHVIGIL_PAUSE_PATH", os.path.join(os.path.dirname(state_path), "pause")),
    }


def main(argv=None, env=None):
    parser = argparse.ArgumentParser(description="Report subnet owner burn rate changes to Telegram.")
    parser.add_argument("--once", action="store_true", help="run one watch cycle and exit with its status")
    parser.add_argument("--no-snapshot", action="store_true", help="skip the startup snapshot")
    args = parser.parse_args(argv)
    try:
        config = load_config(os.environ if env is None else env)
    except ConfigError as e:
        print(f"ashvigil: {e}", file=sys.stderr)
        return 2
    os.makedirs(os.path.dirname(os.path.abspath(config["state_path"])), exist_ok=True)
    delivery = {k: config[k] for k in ("state_path", "burn_token", "burn_chat_id")}
    if args.once:
        return ashvigil.run_ashvigil_once(threshold=config["threshold"], **delivery)
    if not args.no_snapshot:
        # A failed snapshot is logged by ashvigil; monitoring goes on regardless.
        ashvigil.run_burn_startup_snapshot(**delivery)
    ashvigil.run_burn_poll_loop(threshold=config["threshold"], interval_minutes=config["interval_minutes"],
                                pause_path=config["pause_path"], **delivery)
    return 0


if __name__ == "__main__":
    sys.exit(main())
