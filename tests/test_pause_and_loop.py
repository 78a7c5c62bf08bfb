"""The pause file, the interruptible interval wait and the poll loop (sleeps recorded, not slept)."""

import pytest
from leakcheck import assert_no_leak


@pytest.fixture
def pause(tmp_path):
    return tmp_path / "pause"


@pytest.fixture
def pause_tests(av, monkeypatch):
    """Counts the pause tests made through the module's namespace."""
    calls = []
    real = av._burn_is_paused
    monkeypatch.setattr(av, "_burn_is_paused", lambda p: calls.append(p) or real(p))
    return calls


def test_empty_pause_path_never_consults_the_file_system(av, monkeypatch):
    monkeypatch.setattr(av.os.path, "isfile", lambda p: pytest.fail("consulted"))
    assert av._burn_is_paused("") is False


def test_pause_file_kinds(av, tmp_path):
    regular = tmp_path / "regular"
    regular.write_text("")
    (tmp_path / "link").symlink_to(regular)
    (tmp_path / "dangling").symlink_to(tmp_path / "nowhere")
    assert av._burn_is_paused(str(regular)) is True
    assert av._burn_is_paused(str(tmp_path / "link")) is True
    for path in [str(tmp_path), str(tmp_path / "dangling"), str(tmp_path / "missing"), "a\0b", "x" * 5000]:
        assert av._burn_is_paused(path) is False


@pytest.mark.parametrize("answer", [True, False, None])
def test_pause_test_is_the_hosts_isfile(av, monkeypatch, answer):
    monkeypatch.setattr(av.os.path, "isfile", lambda p: answer)
    assert av._burn_is_paused("p") is answer
    monkeypatch.setattr(av.os.path, "isfile", lambda p: 1)
    with pytest.raises(TypeError, match=r"^Expected bool, got int$"):
        av._burn_is_paused("p")


@pytest.mark.parametrize(
    ("interval", "sleeps"),
    [
        (0, []),
        (-1, []),
        (float("nan"), []),
        (0.4, [0.4]),
        (2.5, [1.0, 1.0, 0.5]),
        (3, [1.0, 1.0, 1.0]),
    ],
)
def test_interval_is_slept_in_one_second_steps(av, clock, pause_tests, pause, interval, sleeps):
    assert av._sleep_until_interval(interval, str(pause)) is True
    assert clock.sleeps == sleeps
    assert len(pause_tests) == len(sleeps) + 1
    assert all(type(s) is float for s in clock.sleeps)


def test_existing_pause_file_ends_the_wait_without_sleeping(av, clock, pause):
    pause.write_text("")
    assert av._sleep_until_interval(30, str(pause)) is False
    assert clock.sleeps == []
    assert av._sleep_until_interval(0, str(pause)) is False


@pytest.mark.parametrize(("created_after", "sleeps"), [(1, [1.0]), (2, [1.0, 1.0]), (3, [1.0, 1.0, 1.0])])
def test_pause_created_during_a_wait_is_found_at_the_next_test(av, clock, pause, created_after, sleeps):
    clock.after_sleep = lambda n: n == created_after and pause.write_text("")
    assert av._sleep_until_interval(3, str(pause)) is False
    assert clock.sleeps == sleeps


def test_sleep_failure_propagates(av, monkeypatch):
    class Interrupting:
        def sleep(self, seconds):
            raise KeyboardInterrupt

    monkeypatch.setattr(av, "time", Interrupting())
    with pytest.raises(KeyboardInterrupt):
        av._sleep_until_interval(5, "")


LOOP_ARGS = dict(state_path="/nonexistent/state.json", threshold=0.01, burn_token="t", burn_chat_id="c")


@pytest.mark.parametrize(
    ("minutes", "seconds"),
    [(1, 60.0), (0.5, 60.0), (0, 60.0), (-3, 60.0), (float("nan"), 60.0), (1.5, 90.0), (5, 300.0), (True, 60.0)],
)
def test_loop_interval(av, monkeypatch, stderr, minutes, seconds):
    waits = []
    monkeypatch.setattr(av, "_sleep_until_interval", lambda i, p: waits.append((i, p)) and False)
    assert av.run_burn_poll_loop(**LOOP_ARGS, interval_minutes=minutes, pause_path="p") is None
    assert waits == [(seconds, "p")]
    assert type(waits[0][0]) is float
    assert stderr.getvalue() == "[burn] monitoring paused\n"


def test_loop_with_an_existing_pause_file_runs_no_cycle(av, clock, stderr, pause, monkeypatch):
    pause.write_text("")
    monkeypatch.setattr(av, "run_ashvigil_once", lambda **kw: pytest.fail("cycle ran"))
    av.run_burn_poll_loop(**LOOP_ARGS, interval_minutes=1, pause_path=str(pause))
    assert clock.sleeps == []
    assert stderr.getvalue() == "[burn] monitoring paused\n"


def scripted_cycles(av, monkeypatch, outcomes):
    """Replaces the cycle with one that plays `outcomes` (results, exceptions or callables) in order."""
    seen = []

    def cycle(**kwargs):
        seen.append(kwargs)
        outcome = outcomes[len(seen) - 1]
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome() if callable(outcome) else outcome

    monkeypatch.setattr(av, "run_ashvigil_once", cycle)
    return seen


def test_loop_logs_failures_and_goes_on_until_paused(av, clock, stderr, pause, monkeypatch):
    seen = scripted_cycles(av, monkeypatch, [ValueError("boom"), 1, RuntimeError(), 0])
    clock.after_sleep = lambda n: n == 8 * 60 + 30 and pause.write_text("")
    av.run_burn_poll_loop(**LOOP_ARGS, interval_minutes=2, pause_path=str(pause))
    assert stderr.getvalue() == "[burn] error: boom\n[burn] error: \n[burn] monitoring paused\n"
    assert len(seen) == 4
    assert len(clock.sleeps) == 8 * 60 + 30
    assert seen[0] == {
        "state_path": "/nonexistent/state.json",
        "threshold": 0.01,
        "burn_token": "t",
        "burn_chat_id": "c",
    }


def test_pause_created_during_a_cycle_ends_the_loop_without_sleeping(av, clock, stderr, pause, monkeypatch):
    seen = scripted_cycles(av, monkeypatch, [lambda: pause.write_text("") and 0])
    av.run_burn_poll_loop(**LOOP_ARGS, interval_minutes=1, pause_path=str(pause))
    assert len(seen) == 1
    assert clock.sleeps == [1.0] * 60
    assert stderr.getvalue() == "[burn] monitoring paused\n"


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3)])
def test_loop_lets_interrupts_through(av, clock, stderr, monkeypatch, error):
    scripted_cycles(av, monkeypatch, [error])
    with pytest.raises(type(error)):
        av.run_burn_poll_loop(**LOOP_ARGS, interval_minutes=1)
    assert stderr.getvalue() == ""


def test_failure_to_log_a_failure_propagates_chained(av, clock, stderr, monkeypatch):
    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError("no text")

    scripted_cycles(av, monkeypatch, [Unprintable()])
    with pytest.raises(RuntimeError, match="no text") as e:
        av.run_burn_poll_loop(**LOOP_ARGS, interval_minutes=1)
    assert isinstance(e.value.__context__, Unprintable)


def test_loop_does_not_catch_pause_test_failures(av, clock, stderr, monkeypatch):
    monkeypatch.setattr(av, "_burn_is_paused", lambda p: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        av.run_burn_poll_loop(**LOOP_ARGS, interval_minutes=1, pause_path="x")


def test_pause_and_loop_do_not_leak(av, clock, stderr, pause, monkeypatch):
    count = [0]

    def cycle(**kwargs):
        count[0] += 1
        if count[0] % 2:
            raise ValueError("x")
        return 0

    monkeypatch.setattr(av, "run_ashvigil_once", cycle)

    def calls():
        pause.unlink(missing_ok=True)
        clock.sleeps.clear()
        clock.after_sleep = lambda n: n % 121 == 0 and pause.write_text("")
        av.run_burn_poll_loop(**LOOP_ARGS, interval_minutes=1, pause_path=str(pause))
        av._sleep_until_interval(2.5, "")
        stderr.writes.clear()

    assert_no_leak(calls, calls=30)
