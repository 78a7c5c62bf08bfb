"""Several destinations from the config file: each told what its own filters pass, compared with
what it was told, delivered on its own."""

import json
import pathlib
import random
import re
from types import SimpleNamespace

import pytest
from command import CHAT, Running, wait_until
from test_command_delivery import too_many
from test_command_outbox import assert_every_stored_rate_told, kill_while_moving

from stand_ins.discord import TOKEN, DiscordStandIn
from stand_ins.server import Reply
from stand_ins.slack import SlackStandIn
from stand_ins.smtp import SmtpStandIn
from stand_ins.taostats import make_subnet_rows
from stand_ins.webhook import WebhookStandIn

HOOK_SECRET = "stand-in hook secret"

CHATS = {"all": "-1001", "mine": "-1002", "team": CHAT}


def use_destinations(services, tables):
    """The command's config file: `tables`, TOML text of [destinations.NAME] tables."""
    path = services.tmp / "ashvigil.toml"
    path.write_text(tables)
    services.env["ASHVIGIL_CONFIG"] = str(path)


def telegram(name, *rules):
    return "\n".join([f"[destinations.{name}]", 'kind = "telegram"', f'chat_id = "{CHATS[name]}"', *rules, ""])


def told(services, chat):
    """The subnet lines each alert to `chat` held, alert by alert."""
    texts = [r.fields["text"] for r in services.sends() if r.fields["chat_id"] == chat]
    return [re.findall(r"^SN\d+: .*$", text, re.M) for text in texts]


@pytest.mark.parametrize(
    ("rule", "first", "second"),
    [
        # a subnet only one destination watches
        ("subnets = [5]", ["SN5: 0.5000 → 0.4500"], ["SN5: 0.4500 → 0.1500"]),
        # a threshold only one destination passes: the small move accumulates against its own baseline
        ("threshold = 0.3", ["SN3: 0.2000 → 0.9000"], ["SN5: 0.5000 → 0.1500"]),
        ('direction = "down"', ["SN5: 0.5000 → 0.4500"], ["SN5: 0.4500 → 0.1500"]),
    ],
)
def test_each_destination_is_told_what_its_filters_pass_against_its_own_baseline(av, services, rule, first, second):
    use_destinations(services, telegram("all") + telegram("mine", rule))
    services.api.set_incentive_burns({3: 0.2, 5: 0.5})
    assert services.run("once").returncode == 0  # the first poll: the baselines
    services.api.set_incentive_burns({3: 0.9, 5: 0.45})
    assert services.run("once").returncode == 0
    services.api.set_incentive_burns({5: 0.15})
    done = services.run("once")
    assert done.returncode == 0, done.stderr
    assert told(services, CHATS["all"]) == [["SN3: 0.2000 → 0.9000", "SN5: 0.5000 → 0.4500"], ["SN5: 0.4500 → 0.1500"]]
    assert told(services, CHATS["mine"]) == [first, second]


@pytest.mark.parametrize(
    ("table", "error"),
    [
        ('kind = "pager"', "line 2: destination d, kind: kind must be one of telegram, discord, slack, webhook, email"),
        ('kind = "telegram"\nchat_id = "-1"\ncolour = "red"', "line 4: destination d, colour: not a key of a telegram"),
        ('kind = "webhook"', "line 1: destination d: url is missing (a webhook destination needs it)"),
        (
            'kind = "telegram"\nchat_id = "-1"\nthreshold = [1]',
            "line 4: destination d, threshold: a number, got an array",
        ),
        ('kind = "webhook"\nurl = "http://hooks.example.org/x"', "line 3: destination d, url: an https:// URL"),
        ('kind = "discord"\nwebhook_url = "https://discord.com/api/webhooks/1/s3cret"', "webhook_url: not a key"),
        ('kind = "slack"\n"https://hooks.slack.com/T/B/s3cret" = 1', "destination d: a key that is not one of a slack"),
        ('kind = "email"\nhost = "h"\nfrom = "a@b"\nto = ["c@d"]\ntls = "none"', 'line 6: destination d, tls: "none"'),
    ],
)
def test_a_wrong_destination_table_exits_2_naming_it_the_key_and_its_line(services, table, error):
    use_destinations(services, f"[destinations.d]\n{table}\n")
    done = services.run("check")
    assert (done.returncode, done.stdout) == (2, "")
    assert error in done.stderr
    assert "s3cret" not in done.stderr


@pytest.mark.parametrize(
    ("kind", "chat", "sent", "delay"),
    [
        ("telegram", "42", [99.5], 0.5),  # one a second per chat
        ("telegram", "42", [float(t) for t in range(41, 100)], 0.0),  # a private chat has no minute's limit
        ("telegram", "-1001", [float(t) for t in range(81, 101)], 41.0),  # a group: 20 a minute
        ("discord", "", [float(t) for t in range(71, 101)], 31.0),  # 30 a minute, no gap
        ("discord", "", [100.0], 0.0),
        ("slack", "", [99.75], 0.75),  # one a second
        ("webhook", "", [100.0] * 50, 0.0),
    ],
)
def test_each_kind_keeps_its_service_pace(kind, chat, sent, delay):
    from ashvigil_monitor.destinations import Destination
    from ashvigil_monitor.pace import Pace
    from ashvigil_monitor.policy import Policy

    pace = Pace.of(Destination("d", kind, Policy(), chat_id=chat))
    pace._sent.extend(sent)
    assert pace._delay(100.0) == pytest.approx(delay)


def test_a_chat_named_anew_in_the_config_file_takes_its_pending_pieces_and_baselines(av, services):
    services.seed_change(av)
    services.bot.script(too_many(500))
    assert services.run("once").returncode == 1  # the alert waits, for the destination "telegram"
    use_destinations(services, telegram("team"))
    done = services.run("once")
    assert done.returncode == 0, done.stderr
    assert "the database's chat is now destination team, its pieces and baselines with it" in done.stderr
    assert services.bot.messages()[-1].startswith("Delayed: alert of ")
    assert services.run("once").returncode == 0
    assert len(services.sends()) == 2  # nothing again


def test_a_destination_added_first_leaves_the_others_their_missing_subnets(services):
    services.api.set_incentive_burn(3, 0.25)
    assert services.run("once").returncode == 0  # the first poll, for the one chat, "telegram"
    services.api.rows = [r for r in services.api.rows if r["netuid"] != 3]
    assert services.run("once").returncode == 0  # SN3 missing once
    chat = telegram("team").replace("[destinations.team]", "[destinations.telegram]")
    use_destinations(services, telegram("mine") + chat)
    for _ in range(2):
        assert services.run("once").returncode == 0
    assert told(services, CHAT) == [["SN3: 0.2500 → gone"]]
    assert told(services, CHATS["mine"]) == []  # it never knew SN3


@pytest.fixture
def places(services):
    """Every kind's stand-in, and a config file with a destination of each kind."""
    with (
        DiscordStandIn() as discord,
        SlackStandIn() as slack,
        WebhookStandIn(secret=HOOK_SECRET) as hook,
        SmtpStandIn() as smtp,
    ):
        secrets = {"discord": discord.url, "slack": slack.url, "hook": HOOK_SECRET, "mail": smtp.PASSWORD}
        for name, value in secrets.items():
            (services.tmp / name).write_text(value + "\n")
        tables = [
            telegram("all"),
            f'[destinations.discord]\nkind = "discord"\nwebhook_url_file = "{services.tmp / "discord"}"\n',
            f'[destinations.slack]\nkind = "slack"\nwebhook_url_file = "{services.tmp / "slack"}"\n',
            f'[destinations.hook]\nkind = "webhook"\nurl = "{hook.url}"\nsecret_file = "{services.tmp / "hook"}"\n',
            '[destinations.mail]\nkind = "email"\nhost = "127.0.0.1"\n'
            f'port = {smtp.port}\ntls = "none"\nallow_plaintext = true\nusername = "{smtp.USER}"\n'
            f'password_file = "{services.tmp / "mail"}"\nfrom = "ashvigil@example.org"\nto = ["ops@example.org"]\n',
        ]
        use_destinations(services, "\n".join(tables))
        yield SimpleNamespace(discord=discord, slack=slack, hook=hook, smtp=smtp)


def test_one_alert_reaches_every_kind_as_its_receiver_takes_it(av, services, places):
    services.seed_change(av, 3, 0.777)
    done = services.run("once")
    assert done.returncode == 0, done.stderr
    text = services.bot.messages()[0]
    assert text.endswith("→ 0.7770")
    assert places.discord.messages() == [text]
    slack = json.loads(places.slack.requests[-1].body)
    assert slack == {"text": text, "mrkdwn": False}
    [hook] = places.hook.received()
    old = av.format_owner_burn(services.state_rates["3"])
    assert (hook.verified, hook.timestamp) == (True, str(hook.body["sent_at"]))
    assert {k: v for k, v in hook.body.items() if k != "sent_at"} == {
        "event": "changes",
        "cycle_at": hook.body["cycle_at"],
        "changes": [{"netuid": 3, "old": services.state_rates["3"], "new": "0.777"}],
        "text": text,
        "delayed": False,
    }
    [mail] = places.smtp.delivered()
    assert mail.message["Subject"] == f"ashvigil: 1 subnet moved (SN3 {old} → 0.7770)"
    assert mail.message.get_content().rstrip("\n") == text
    assert places.smtp.logins == [places.smtp.USER]


def test_a_destination_down_holds_no_other_and_then_gets_its_pieces_delayed_in_order(av, services, places):
    places.discord.set_default(Reply.json({"message": f"no such hook {places.discord.url}"}, 500))
    services.env["ASHVIGIL_FAILURE_ALERT_AFTER"] = "0"
    services.seed_change(av, 3, 0.5)
    results = []
    for rate in (0.6, 0.7, 0.8):
        services.api.set_incentive_burn(3, rate)
        done = services.run("once")
        results.append(done.returncode)
        assert "cycle failed: discord: HTTP 500 from the Discord webhook" in done.raw_stderr
        assert TOKEN not in done.raw_stderr + services.run("outbox").stdout + services.run("status").stdout
    assert results == [1, 1, 1]
    assert [m.splitlines()[-1][-6:] for m in services.bot.messages()] == ["0.6000", "0.7000", "0.8000"]
    assert len(places.hook.received()) == len(places.smtp.delivered()) == 3  # on time, each cycle
    places.discord.set_default(None)
    assert services.run("once").returncode == 0
    late = places.discord.messages()
    assert [m.split("\n")[0].startswith("Delayed: alert of ") for m in late] == [True] * 3
    assert [m.splitlines()[-1][-6:] for m in late] == ["0.6000", "0.7000", "0.8000"]
    assert services.run("once").returncode == 0
    assert len(places.discord.messages()) == 3


def test_check_and_test_message_reach_each_destination_or_the_one_named(services, places):
    shown = services.run("config").stdout
    assert "destination discord = discord (config file)\ndestination slack = slack (config file)" in shown
    check = services.run("check")
    assert check.returncode == 0, check.stdout
    assert [line.split(": ok")[0] for line in check.stdout.splitlines() if line.startswith("destination ")] == [
        "destination all", "destination discord", "destination slack", "destination hook", "destination mail"
    ]  # fmt: skip
    assert (services.bot.messages(), places.discord.messages(), places.smtp.delivered()) == ([], [], [])
    sent = services.run("test-message", "--to", "discord", "hello")
    assert (sent.returncode, sent.stdout, places.discord.messages()) == (0, "test message sent to discord\n", ["hello"])
    assert (services.bot.messages(), places.hook.received()) == ([], [])
    wrong = services.run("test-message", "--to", "nowhere")
    assert (wrong.returncode, wrong.stderr.split(" (")[0]) == (2, "ashvigil: --to nowhere: no such destination")


def test_kill_9_with_three_destinations_loses_nothing_for_any(av, services, places):
    services.api.rows = make_subnet_rows(150)
    kept = ("[destinations.all]", "[destinations.discord]", "[destinations.hook]")
    tables = pathlib.Path(services.env["ASHVIGIL_CONFIG"]).read_text().split("\n\n")
    use_destinations(services, "\n".join(t for t in tables if t.startswith(kept)))
    assert services.run("once").returncode == 0  # first poll
    initial = av.load_burn_state(str(services.state))
    kills = kill_while_moving(services, range(150), 24, random.Random(5), latest=0.5)
    done = services.run("once")
    assert done.returncode == 0, done.stderr
    hook_texts = [r.body["text"] for r in places.hook.received()]
    for texts in (services.bot.messages(), places.discord.messages(), hook_texts):
        assert_every_stored_rate_told(av, services, initial, texts, kills)
    assert kills >= 5


def test_the_chat_shows_on_request_what_its_destination_watches(services):
    use_destinations(services, telegram("team", "subnets = [3, 5]"))
    services.env.update(ASHVIGIL_BOT_COMMANDS="1", ASHVIGIL_ADMIN_IDS="42")
    assert services.run("once").returncode == 0
    with Running(services, "run", "--no-snapshot"):
        services.bot.say("/snapshot", chat_id=int(CHAT), user_id=42)
        wait_until(lambda: len(services.bot.messages()) == 1)
    lines = services.bot.messages()[0].split("\n")
    assert (lines[2].split(" of ")[0], [line.split(":")[0] for line in lines[4:]]) == ("2", ["SN3", "SN5"])
