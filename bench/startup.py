#!/usr/bin/env python3
"""How long the command takes to start, beside the interpreter importing the module alone.

    python bench/startup.py              # after `pip install .` into this interpreter
    python bench/startup.py --repeat 30

Wall-clock time, best of --repeat rounds, the three interleaved: `python -c 'import ashvigil'`,
`ashvigil --version`, and `ashvigil check` up to its first connection (to a socket this bench
listens on as the taostats API; the check is stopped there).
"""

import argparse
import os
import signal
import socket
import subprocess
import sys
import sysconfig
import tempfile
import time

COMMAND = os.path.join(sysconfig.get_path("scripts"), "ashvigil")


def wall(argv, env=None):
    start = time.perf_counter()
    subprocess.run(argv, env=env, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def check_start(env, listener):
    """From the spawn of `ashvigil check` to its first connection."""
    start = time.perf_counter()
    process = subprocess.Popen([COMMAND, "check"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    connection, _ = listener.accept()
    seconds = time.perf_counter() - start
    connection.close()
    process.send_signal(signal.SIGKILL)
    process.wait()
    return seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()
    listener = socket.create_server(("127.0.0.1", 0))
    with tempfile.TemporaryDirectory() as directory:
        env = {
            "PATH": os.environ.get("PATH", ""),
            "HOME": directory,
            "TAOSTATS_API_KEY": "bench-key",
            "TAOSTATS_API_BASE": f"http://127.0.0.1:{listener.getsockname()[1]}",
            "ASHVIGIL_BOT_TOKEN": "123:bench-token",
            "ASHVIGIL_CHAT_ID": "-100123",
            "ASHVIGIL_STATE_PATH": os.path.join(directory, "state.json"),
        }
        runs = {
            "python -c 'import ashvigil'": lambda: wall([sys.executable, "-c", "import ashvigil"]),
            "ashvigil --version": lambda: wall([COMMAND, "--version"]),
            "ashvigil check, to its first connection": lambda: check_start(env, listener),
        }
        best = dict.fromkeys(runs, float("inf"))
        for _ in range(args.repeat):
            for name, run in runs.items():
                best[name] = min(best[name], run())
    floor = best["python -c 'import ashvigil'"]
    for name, seconds in best.items():
        print(f"{name:<42} {seconds * 1000:6.1f} ms  {seconds / floor:.2f}x")


if __name__ == "__main__":
    main()
