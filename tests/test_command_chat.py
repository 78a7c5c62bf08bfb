"""Commands in the chat, answered by the installed command while `run` runs."""

import re
import signal

from command import CHAT, NotifySocket, stop, wait_until

ADMIN, SOMEONE = 42, 7


def answers(services):
    return [m for m in services.bot.messages() if not m.startswith("Subnet owner burn rates")]


def _run_until(services, tmp_path, env, done):
    notify = NotifySocket(tmp_path / f"notify-{len(list(tmp_path.iterdir()))}")
    try:
        process = services.start("run", "--no-snapshot", env={**env, "NOTIFY_SOCKET": notify.path})
        notify.wait_for("READY=1")
        yield
        wait_until(done)
        status, _, err = stop(process, timeout=5)  # ends the long poll at once
    finally:
        notify.close()
    assert (status, err) == (0, "[burn] stopped (SIGTERM)\n")


def test_commands_are_answered_once_admins_mute_and_strangers_are_ignored(services, tmp_path):
    services.env.update(ASHVIGIL_BOT_COMMANDS="1", ASHVIGIL_ADMIN_IDS=str(ADMIN))
    metrics = services.tmp / "ashvigil.prom"
    assert services.run("once").returncode == 0  # rates to answer with
    env = {"ASHVIGIL_METRICS_PATH": str(metrics)}
    for _ in _run_until(services, tmp_path, env, lambda: len(answers(services)) == 7):
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
        ]:
            services.bot.say(text, chat_id=int(CHAT), user_id=user)
    burn, top, refused, muted, usage, unknown, state = answers(services)
    assert re.fullmatch(r"SN3: \d\.\d{4}\nSN999: not in the last poll", burn)
    assert len(top.split("\n")) == 2 and refused == "Only the admins may /mute."
    assert re.fullmatch(r"SN5 muted until \S+Z UTC", muted)
    assert (usage, unknown) == ("Usage: /top [K]", "Unknown command. /help lists the commands.")
    assert state.startswith("ashvigil ") and re.search(r"^muted: SN5 until \S+ UTC$", state, re.M)
    assert "ashvigil_bot_updates_ignored_total 1\n" in metrics.read_text()
    assert "SN5 until" in services.run("config").stdout
    # A muted subnet is not alerted.
    services.api.set_incentive_burns({5: 0.5, 6: 0.5})
    assert services.run("once").returncode == 0
    assert [line.split(":")[0] for line in services.bot.messages()[-1].split("\n")[3:]] == ["SN6"]
    # Restarted, the command asks for the updates after the last one it took: none is answered twice.
    before = len(services.bot.messages())
    polls = [r for r in services.bot.requests if r.path.endswith("/getUpdates")]
    for _ in _run_until(services, tmp_path, {}, lambda: len(services.bot.requests) > len(polls) + 4):
        pass
    assert [r for r in services.bot.requests if r.path.endswith("/getUpdates")][len(polls)].fields["offset"] == "1009"
    assert len(services.bot.messages()) == before


def test_a_conflict_turns_commands_off_and_monitoring_goes_on(services, tmp_path):
    services.bot.conflict = True
    notify = NotifySocket(tmp_path / "notify")
    try:
        process = services.start(
            "run", "--no-snapshot", env={"NOTIFY_SOCKET": notify.path, "ASHVIGIL_BOT_COMMANDS": "1"}
        )
        notify.wait_for("READY=1")
        wait_until(lambda: any(r.path.endswith("/getUpdates") for r in services.bot.requests))
        wait_until(lambda: notify.messages.count("WATCHDOG=1") >= 2)
        status, _, err = stop(process, signal.SIGTERM, timeout=5)
    finally:
        notify.close()
    assert status == 0
    assert err.splitlines() == [
        "[burn] chat commands off: Conflict: terminated by other getUpdates request",
        "[burn] stopped (SIGTERM)",
    ]
    assert len([r for r in services.bot.requests if r.path.endswith("/getUpdates")]) == 1
