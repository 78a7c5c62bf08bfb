"""Several destinations from the config file: each told what its own filters pass, compared with
what it was told, delivered on its own."""

import re

import pytest
from command import CHAT
from test_command_delivery import too_many

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
