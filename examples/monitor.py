#!/usr/bin/env python3
"""Driving the ashvigil module from your own host program.

Operators run the installed `ashvigil` command instead: it adds configuration checks, delivery
retries, a graceful stop, a state lock and health reporting. This is the smallest host that uses
the module directly: the startup snapshot, then the poll loop until the pause file appears.

    TAOSTATS_API_KEY=... ASHVIGIL_BOT_TOKEN=... ASHVIGIL_CHAT_ID=... python examples/monitor.py STATE_DIR
"""

import os
import sys

import ashvigil


def main(state_dir: str) -> int:
    os.makedirs(state_dir, mode=0o700, exist_ok=True)
    delivery = {  # the module reads TAOSTATS_API_KEY (and TAOSTATS_API_BASE) itself
        "state_path": os.path.join(state_dir, "state.json"),
        "burn_token": os.environ["ASHVIGIL_BOT_TOKEN"],
        "burn_chat_id": os.environ["ASHVIGIL_CHAT_ID"],
    }
    ashvigil.run_burn_startup_snapshot(**delivery)  # logs its own failure; monitoring goes on
    ashvigil.run_burn_poll_loop(
        threshold=0.0001, interval_minutes=5, pause_path=os.path.join(state_dir, "pause"), **delivery
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "ashvigil-state"))
