"""Commands in the chat, answered by the installed command while `run` runs."""

import importlib.util
import re

from command import CHAT, Running, wait_until

ADMIN, SOMEONE = 42, 7


CHARTS = importlib.util.find_spec("matplotlib") is not None


def answers(services):
    return [
        m for m in services.bot.messages() if not m.startswith(("Subnet owner burn rates", "Owner burn rate changed"))
    ]


def test_commands_are_answered_once_admins_mute_and_strangers_are_ignored(services):
    services.env.update(ASHVIGIL_BOT_COMMANDS="1", ASHVIGIL_ADMIN_IDS=str(ADMIN))
    metrics = services.tmp / "ashvigil.prom"
    assert services.run("once").returncode == 0  # rates to answer with
    services.api.set_incentive_burn(3, 0.42)
    assert services.run("once").returncode == 0  # and a move in the history
    env = {"ASHVIGIL_METRICS_PATH": str(metrics)}
    with Running(services, "run", "--no-snapshot", env=env) as run:
        services.bot.say("/status@someotherbot")  # for another bot: ignored
        services.bot.say("/status", chat_id=-100999)  # another chat: ignored, counted
        for text, user in [
            ("/burn 3 999", SOMEONE),
            ("/top 2", SOMEONE),
            ("/mute 5 2", SOMEONE),
            ("/mute 5 2", ADMIN),
            ("/top many", SOMEONE),
            ("/nope", SOMEONE),
            ("/status@ashvigil_stand_in_bot", SOMEONE),
            ("/changes 1", SOMEONE),
            ("/chart 3", SOMEONE),
        ]:
            services.bot.say(text, chat_id=int(CHAT), user_id=user)
        wait_until(lambda: len(answers(services)) + len(services.bot.photos()) == 9)
    assert (run.status, run.err) == (0, "[burn] stopped (SIGTERM)\n")  # the long poll ends at once
    burn, top, refused, muted, usage, unknown, state, changes, *chart = answers(services)
    assert re.fullmatch(r"SN3: 0\.4200, last changed \S+Z UTC\nSN999: not in the last poll", burn)
    assert re.search(r"^SN3: \d\.\d{4} → 0\.4200 at \S+Z$", changes, re.M)
    if CHARTS:
        assert [caption for caption, _ in services.bot.photos()] == ["SN3, last 7 days"]
    else:
        assert chart == ["Charts are not installed here: pip install 'ashvigil[charts]'"]
    assert len(top.split("\n")) == 2
    assert refused == "Only the admins may /mute."
    assert re.fullmatch(r"SN5 muted until \S+Z UTC", muted)
    assert (usage, unknown) == ("Usage: /top [K]", "Unknown command. /help lists the commands.")
    assert state.startswith("ashvigil ")
    assert re.search(r"^muted: SN5 until \S+ UTC$", state, re.M)
    assert "ashvigil_bot_updates_ignored_total 1\n" in metrics.read_text()
    assert "SN5 until" in services.run("config").stdout
    # A muted subnet is not alerted.
    services.api.set_incentive_burns({5: 0.5, 6: 0.5})
    assert services.run("once").returncode == 0
    assert [line.split(":")[0] for line in services.bot.messages()[-1].split("\n")[3:]] == ["SN6"]
    # Restarted, the command asks for the updates after the last one it took: none is answered twice.
    before = len(services.bot.messages())

    def polls():
        return [r.fields["offset"] for r in services.bot.requests if r.path.endswith("/getUpdates")]

    before_restart = len(polls())
    with Running(services, "run", "--no-snapshot"):
        wait_until(lambda: len(polls()) > before_restart + 1)
    assert polls()[before_restart:][:2] == ["1011", "1011"]  # 11 messages said, ids 1000 to 1010
    assert len(services.bot.messages()) == before


def test_a_conflict_turns_commands_off_and_monitoring_goes_on(services):
    services.bot.conflict = True
    with Running(services, "run", "--no-snapshot", env={"ASHVIGIL_BOT_COMMANDS": "1"}) as run:
        wait_until(lambda: any(r.path.endswith("/getUpdates") for r in services.bot.requests))
        wait_until(lambda: run.notify.messages.count("WATCHDOG=1") >= 2)
    assert run.status == 0
    assert run.err.splitlines() == [
        "[burn] chat commands off: Conflict: terminated by other getUpdates request",
        "[burn] stopped (SIGTERM)",
    ]
    assert len([r for r in services.bot.requests if r.path.endswith("/getUpdates")]) == 1
