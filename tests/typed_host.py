"""A typed host program, checked (never run) by test_stubs.py with mypy and pyright.

Lines marked `# expect: <case>` must be reported as that case; every other line must pass.
"""

import urllib.request

import ashvigil

status: int = ashvigil.run_ashvigil_once(state_path="state.json", threshold=0.0001, burn_token="t", burn_chat_id="c")
ashvigil.run_burn_poll_loop(
    state_path="state.json", threshold=1e-4, interval_minutes=5, burn_token="t", burn_chat_id="c"
)
rows = ashvigil.fetch_all_subnets_latest("key")
if isinstance(rows, list):
    current: dict[str, str] = {str(row["netuid"]): ashvigil.owner_burn_from_row(row) for row in rows}
    changes: list[tuple[str, str, str]] = ashvigil.diff_burns(ashvigil.load_burn_state("s"), current, 0.0)
    ok, err = ashvigil.send_burn_telegram_messages(ashvigil.format_burn_alert(changes, "t"), "t", "c")
    sent: bool = ok and not err
pieces: list[str] = ashvigil._chunk_text("text", 100)
payload = ashvigil.with_retries("/api", {"limit": 1}, "key", max_retries=3)
key: str | None = ashvigil.taostats_auth()
opener: urllib.request.OpenerDirector = ashvigil.urllib.request.build_opener()
ashvigil.OWNER_BURN_DECIMALS = 6
stamp = ashvigil.datetime.now(ashvigil.timezone.utc)

ashvigil.run_ashvigil_once(state_path=1, threshold=0.1, burn_token="t", burn_chat_id="c")  # expect: wrong type
ashvigil.run_burn_startup_snapshot(state_path="s", burn_token="t")  # expect: missing keyword
ashvigil.no_such_function()  # expect: unknown name
text: str = ashvigil.run_burn_startup_snapshot(state_path="s", burn_token="t", burn_chat_id="c")  # expect: result
ashvigil.with_retries("/api", {}, "key", 6)  # expect: positional
