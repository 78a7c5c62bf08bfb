"""The demo (the README's main job) and the example host program, against the local stand-ins."""

import importlib.util
import json
import os
import subprocess
import sys

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


@pytest.mark.full_run  # a minute of real time: the demo's first poll comes one interval after its start
def test_demo_runs_the_installed_command():
    done = subprocess.run(
        [sys.executable, os.path.join(ROOT, "scripts", "demo.py")], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    for expected in [
        "$ ashvigil check",
        "stdout | destination telegram: ok (@",
        "chat   | ashvigil ",
        "stderr | [burn] startup snapshot sent to telegram (300 subnets)",
        "chat   | (1/2)",
        "chat   | (2/2)",
        "stderr | [burn] stopped (SIGTERM)",
        "stderr | [burn] discord failed: HTTP 502",
        "stderr | [burn] alert sent to telegram (3 subnet(s))",
        "stdout | discord: ",
        "stdout | 1 alert pieces pending",
        "stderr | [burn] delayed alert sent to discord (",
        "discord | Delayed: alert of ",
        "stderr | [burn] monitoring paused",
        'file   | ashvigil_cycles_total{result="ok"} 1',
        'file   | ashvigil_owner_burn_rate{netuid="17"} 0.61',
        "Z  SN17    1.0000  0.6100",  # a move in the history
        "Done: 4 Telegram messages, 2 Discord messages",
        "chart written to " if importlib.util.find_spec("matplotlib") else "# skipped: needs ashvigil[charts]",
    ]:
        assert expected in out
    assert "(exit status 1" not in out
    assert "(exit status 2" not in out


@pytest.fixture
def monitor():
    spec = importlib.util.spec_from_file_location("monitor", os.path.join(ROOT, "examples", "monitor.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def configured(api, bot, monkeypatch):
    """The example's environment: a key the stand-in taostats wants, and a bot and chat."""
    api.api_key = "k"
    monkeypatch.setenv("TAOSTATS_API_KEY", "k")
    monkeypatch.setenv("ASHVIGIL_BOT_TOKEN", "123:abc")
    monkeypatch.setenv("ASHVIGIL_CHAT_ID", "42")


@pytest.mark.usefixtures("configured")
def test_monitor_snapshot_then_loop_until_paused(monitor, api, bot, clock, stderr, tmp_path):
    pause = tmp_path / "state" / "pause"

    def operator(n):  # default interval: five minutes of one-second steps
        if n == 30:
            api.set_incentive_burn(3, 0.777)
        if n == 5 * 60 + 30:
            pause.write_text("")

    clock.after_sleep = operator
    assert monitor.main(str(tmp_path / "state")) == 0
    assert stderr.getvalue() == (
        "[burn] startup snapshot sent (130 subnets)\n[burn] alert sent (1 subnet(s))\n[burn] monitoring paused\n"
    )
    assert bot.messages()[1].endswith("→ 0.7770")
    assert len(clock.sleeps) == 5 * 60 + 30
    assert bot.messages()[0].startswith("Subnet owner burn rates (startup)")
    state = json.loads((tmp_path / "state" / "state.json").read_text())
    assert state["owner_burn_rate"]["3"] == "0.777"
