"""The PostgreSQL server the store's tests run on: its login role, one advisory lock holder at a time,
sessions the tests can end, and data that outlives a restart."""

import pytest

psycopg = pytest.importorskip(
    "psycopg", reason="PostgreSQL tests skipped: psycopg cannot be imported", exc_type=ImportError
)


def test_one_session_holds_the_lock_until_it_is_terminated_and_data_outlives_a_restart(postgres, pg_url, tmp_path):
    password_file = postgres.password_file(tmp_path)
    assert password_file.stat().st_mode & 0o777 == 0o600
    password = password_file.read_text().strip()
    with pytest.raises(psycopg.OperationalError, match="password authentication failed"):
        psycopg.connect(pg_url, password="not " + password, connect_timeout=10)
    first = psycopg.connect(pg_url, password=password, autocommit=True, connect_timeout=10)
    second = psycopg.connect(pg_url, password=password, autocommit=True, connect_timeout=10)
    with first, second:
        first.execute("CREATE TABLE kept AS SELECT 7 AS n")
        assert first.execute("SELECT pg_try_advisory_lock(1)").fetchone() == (True,)
        assert second.execute("SELECT pg_try_advisory_lock(1)").fetchone() == (False,)
        assert postgres.terminate(first.info.backend_pid)
        with pytest.raises(psycopg.OperationalError):
            first.execute("SELECT 1")
        assert second.execute("SELECT pg_try_advisory_lock(1)").fetchone() == (True,)
        postgres.restart()
        with pytest.raises(psycopg.OperationalError):
            second.execute("SELECT 1")
    with psycopg.connect(pg_url, password=password, connect_timeout=10) as again:
        assert again.execute("SELECT n FROM kept").fetchall() == [(7,)]
