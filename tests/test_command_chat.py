"""Commands in the chat, answered by the installed command while `run` runs."""

import importlib.util
import os
import re
import select
import signal
import time

import pytest
from command import API_KEY, CHAT, TOKEN, Running, wait_until

from ashvigil_monitor.budget import ALERT_RESERVE, GROUP_LIMIT
from stand_ins.server import Reply
from stand_ins.taostats import TaostatsStandIn
from stand_ins.telegram import accepted

ADMIN, SOMEONE = 42, 7
COMMANDS_ON = {"ASHVIGIL_BOT_COMMANDS": "1", "ASHVIGIL_ADMIN_IDS": str(ADMIN)}


CHARTS = importlib.util.find_spec("matplotlib") is not None
needs_charts = pytest.mark.skipif(not CHARTS, reason="the charts extra is not installed")


def answers(services):
    return [
        m for m in services.bot.messages() if not m.startswith(("Subnet owner burn rates", "Owner burn rate changed"))
    ]


def test_commands_are_answered_once_admins_mute_and_strangers_are_ignored(services):
    services.env.update(COMMANDS_ON)
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
    before_restart = len(polls(services))
    with Running(services, "run", "--no-snapshot"):
        wait_until(lambda: len(polls(services)) > before_restart + 1)
    assert polls(services)[before_restart:][:2] == ["1011", "1011"]  # 11 messages said, ids 1000 to 1010
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


def polls(services):
    return [r.fields.get("offset") for r in services.bot.requests if r.path.endswith("/getUpdates")]


def ask(services, text, user=SOMEONE):
    """Says `text` in the chat; the answer."""
    before = len(answers(services))
    services.bot.say(text, chat_id=int(CHAT), user_id=user)
    wait_until(lambda: len(answers(services)) > before)
    return answers(services)[before]


def listing(rows):
    return Reply.json({"pagination": {"total_items": len(rows), "next_page": None}, "data": rows})


def test_a_bad_argument_a_failure_or_a_long_answer_is_one_message_in_words(services):
    """Arguments are ASCII decimal; a failure is told in words, never with a server's body, a URL
    or a secret; a command that raises is one line; an answer is cut to one message."""
    assert services.run("once").returncode == 0  # the subnets are known
    services.api.script(
        Reply.json({"message": f"Unauthorized key {API_KEY}"}, 401),
        listing([{"netuid": None}]),  # the snapshot cannot be written
    )
    services.bot.answer("sendPhoto", Reply.json({"ok": False, "description": f"Not Found: /bot{TOKEN}/sendPhoto"}, 404))
    chart = "The chart could not be sent: HTTP 404 from the Bot API" if CHARTS else "Charts are not installed.*"
    rows = [
        ("/burn ²", SOMEONE, re.escape("Usage: /burn N [N...]")),
        ("/top ²", SOMEONE, re.escape("Usage: /top [K]")),
        ("/changes ١٢", SOMEONE, re.escape("Usage: /changes [hours]")),
        ("/mute 5 1_0", ADMIN, re.escape("Usage: /mute N [hours]")),
        (
            "/burn " + " ".join(map(str, range(1500))),
            SOMEONE,
            r"SN0: (?s:.*)\nSN\d+: .*\n… \(answer cut at 4096 characters\)",
        ),
        ("/snapshot", ADMIN, "The listing failed: HTTP 401: the API key was refused"),
        ("/snapshot", ADMIN, re.escape("That command failed.")),
        ("/chart 3", SOMEONE, chart),
        ("/status", SOMEONE, r"ashvigil (?s:.*)"),  # the commands are still on
    ]
    with Running(services, "run", "--no-snapshot", env=COMMANDS_ON) as run:
        got = [ask(services, text, user) for text, user, _ in rows]
    for (text, _, expected), answer in zip(rows, got, strict=True):
        assert re.fullmatch(expected, answer), (text[:20], answer[:200])
        assert len(answer.encode("utf-16-le")) <= 2 * 4096
    assert [line.split(":")[0] for line in run.err.splitlines() if "chat command" in line] == [
        "[burn] chat command /snapshot failed"
    ]


@pytest.mark.parametrize(
    "updates",
    [
        [{"update_id": "1000"}],
        [{"update_id": True, "message": {"chat": {"id": int(CHAT)}, "text": "/help"}}],
        [{"update_id": 1000.5}],
        [{"update_id": -1}],
        [{"update_id": 1001}, {"update_id": 1001}],
        [["update_id", 1000]],
        {"update_id": 1000},
    ],
)
def test_a_getupdates_reply_of_the_wrong_shape_backs_off(services, updates):
    services.bot.answer("getUpdates", accepted(updates))
    with Running(services, "run", "--no-snapshot", env=COMMANDS_ON) as run:
        wait_until(lambda: len(polls(services)) >= 2)
    assert (
        run.err.splitlines()[0] == "[burn] chat commands: getUpdates failed, again in 1 s: a reply of the wrong shape"
    )
    assert polls(services)[:2] == ["0", "0"]


def test_a_batch_of_updates_too_large_to_read_is_read_in_smaller_ones(services):
    for _ in range(25):  # 60 kB each as JSON: 20 of them are more than the 1 MiB a reply may have
        services.bot.say("\u00e9" * 10_000, chat_id=int(CHAT))
    with Running(services, "run", "--no-snapshot", env=COMMANDS_ON):
        assert ask(services, "/status").startswith("ashvigil ")


@pytest.mark.parametrize(
    ("before", "after", "text", "expected"),
    [
        ("ASHVIGIL_ADMIN_IDS=42", "ASHVIGIL_ADMIN_IDS=99", "/mute 5", "Only the admins may /mute."),
        ("ASHVIGIL_BOT_COMMANDS=0", "ASHVIGIL_BOT_COMMANDS=1", "/unmute 5", "SN5 unmuted"),
    ],
)
def test_sighup_gives_the_chat_its_new_settings(services, before, after, text, expected):
    env_file = services.tmp / "ashvigil.env"
    env_file.write_text(f"ASHVIGIL_BOT_COMMANDS=1\nASHVIGIL_ADMIN_IDS=42\n{before}\n")  # the last line wins
    with Running(services, "--env-file", str(env_file), "run", "--no-snapshot") as run:
        env_file.write_text(f"ASHVIGIL_BOT_COMMANDS=1\nASHVIGIL_ADMIN_IDS=42\n{after}\n")
        run.process.send_signal(signal.SIGHUP)
        read_until(run.process, b"[burn] configuration reloaded\n")
        assert ask(services, text, ADMIN) == expected
    assert run.err == "[burn] stopped (SIGTERM)\n"


def test_a_storm_of_sighups_is_merged_into_a_reload_a_second(services):
    with Running(services, "run", "--no-snapshot") as run:
        for _ in range(200):
            run.process.send_signal(signal.SIGHUP)
            time.sleep(0.005)  # each signal its own, not merged by the kernel
    reloads = [line for line in run.err.splitlines() if "configuration reloaded" in line]
    assert len(reloads) < 50
    assert any(re.fullmatch(r"\[burn\] configuration reloaded \(\d+ requests merged\)", line) for line in reloads)


@pytest.mark.parametrize(("admins", "sender"), [("", ADMIN), (str(ADMIN), SOMEONE)])
def test_only_admins_change_anything_and_no_admins_means_nobody(services, admins, sender):
    env = {"ASHVIGIL_BOT_COMMANDS": "1", "ASHVIGIL_ADMIN_IDS": admins}
    with Running(services, "run", "--no-snapshot", env=env):
        got = [ask(services, text, sender) for text in ("/mute 5", "/unmute 5", "/snapshot")]
    assert got == ["Only the admins may /mute.", "Only the admins may /unmute.", "Only the admins may /snapshot."]


def test_answers_leave_the_alerts_their_share_of_a_group_budget(services):
    """The startup snapshot is noted in the budget, never held; the answers beyond what is left
    are dropped and counted."""
    metrics = services.tmp / "ashvigil.prom"
    assert services.run("snapshot").returncode == 0
    snapshot = len(services.bot.messages())
    asked = 12
    with Running(services, "run", env={**COMMANDS_ON, "ASHVIGIL_METRICS_PATH": str(metrics)}):
        wait_until(lambda: len(services.bot.messages()) == 2 * snapshot)
        for _ in range(asked):
            services.bot.say("/help", chat_id=int(CHAT), user_id=SOMEONE)
        wait_until(lambda: str(1000 + asked) in polls(services))  # every one taken
    answered = len(answers(services))
    assert answered + snapshot == GROUP_LIMIT - ALERT_RESERVE
    assert f"ashvigil_bot_answers_dropped_total {asked - answered}\n" in metrics.read_text()


@needs_charts
def test_a_mute_never_waits_behind_a_chart(services):
    assert services.run("once").returncode == 0
    services.bot.answer("sendPhoto", accepted(delay=60))  # held until the stand-in stops
    with Running(services, "run", "--no-snapshot", env=COMMANDS_ON):
        services.bot.say("/chart 3", chat_id=int(CHAT), user_id=SOMEONE)
        wait_until(lambda: any(r.path.endswith("/sendPhoto") for r in services.bot.requests))
        assert re.fullmatch(r"SN5 muted until \S+Z UTC", ask(services, "/mute 5", ADMIN))


@needs_charts
def test_matplotlib_warnings_are_one_log_line_each(services):
    assert services.run("once").returncode == 0
    rc = services.tmp / "matplotlibrc"
    rc.write_text("toolbar: toolmanager\nno_such_key: 1\n")  # a UserWarning, a logged warning
    done = services.run("chart", "3", "--output", str(services.tmp / "c.png"), env={"MATPLOTLIBRC": str(rc)})
    assert done.returncode == 0, done.stderr
    lines = done.stderr.splitlines()
    assert [line[:26] for line in lines] == ["[burn] UserWarning: Treat ", "[burn] matplotlib: Bad key"]


def test_a_listing_that_ends_as_the_command_exits_never_aborts_it(services):
    """Fifty runs stopped with an admin's /snapshot waiting for its listing, which ends as the
    command exits: the interpreter never finalizes under the chat inside the module."""
    endings = [stopped_during_a_listing(services) for _ in range(50)]
    assert [ending for ending in endings if ending != (0, b"[burn] stopped (SIGTERM)\n")] == []


def stopped_during_a_listing(services):
    """(exit status, standard error) of a run stopped while /snapshot waits for its listing,
    which ends once the run has logged its stop."""
    with TaostatsStandIn(api_key=API_KEY) as api:
        api.set_default(Reply(200, delay=60))  # ends when the stand-in stops
        process = services.start("run", "--no-snapshot", env={**COMMANDS_ON, "TAOSTATS_API_BASE": api.origin})
        try:
            services.bot.say("/snapshot", chat_id=int(CHAT), user_id=ADMIN)
            wait_until(lambda: api.requests)
            process.send_signal(signal.SIGTERM)
            stopped = read_until(process, b"[burn] stopped (SIGTERM)\n")
        except BaseException:
            process.kill()
            process.communicate()
            raise
    _, err = process.communicate(timeout=30)
    return process.returncode, stopped + err.encode()


def read_until(process, end, timeout=30.0):
    """Standard error up to `end` (or the end of it)."""
    deadline, got = time.monotonic() + timeout, b""
    while not got.endswith(end):
        assert select.select([process.stderr], [], [], deadline - time.monotonic())[0], got
        more = os.read(process.stderr.fileno(), 4096)
        if not more:
            break
        got += more
    return got


@pytest.mark.parametrize(
    ("text", "answer"),
    [
        ("/chart 999", "SN999 has never been listed"),
        ("/mute 999", "SN999 has never been listed"),
        ("/snapshot", "Subnet owner burn rates (on request)"),
    ],
)
def test_answers_about_subnets_never_listed_and_a_snapshot_on_request(services, text, answer):
    services.env.update(ASHVIGIL_BOT_COMMANDS="1", ASHVIGIL_ADMIN_IDS=str(ADMIN))
    assert services.run("once").returncode == 0
    with Running(services, "run", "--no-snapshot"):
        services.bot.say(text, chat_id=int(CHAT), user_id=ADMIN)
        wait_until(lambda: services.bot.messages())  # --no-snapshot: the answer is the only message
    assert services.bot.messages()[0].split("\n")[0] == answer


@pytest.mark.parametrize(
    ("moved", "asked", "last"),
    [
        (3, "/changes", "SN1: 0.0000 → 0.0100 at .*"),
        (25, "/changes", "and 5 more: ashvigil history --since 24h"),
        (25, "/changes 1.5", "and 5 more: ashvigil history --since 90m"),
    ],
)
def test_changes_lists_the_largest_moves_and_how_to_see_the_rest(services, moved, asked, last):
    services.api.set_incentive_burns(dict.fromkeys(range(1, moved + 1), 0.0))
    assert services.run("once").returncode == 0
    services.api.set_incentive_burns({n: n / 100 for n in range(1, moved + 1)})  # SN<moved> moves most
    assert services.run("once").returncode == 0
    with Running(services, "run", "--no-snapshot", env=COMMANDS_ON):
        heading, listed = ask(services, asked).split("\n\n")
    lines = listed.split("\n")
    assert heading.endswith(f"\n{moved} moves")
    assert [line.split(":")[0] for line in lines[:-1]] == [f"SN{n}" for n in range(moved, 0, -1)][: len(lines) - 1]
    assert len(lines) == min(moved, 21)
    assert re.fullmatch(last, lines[-1])
