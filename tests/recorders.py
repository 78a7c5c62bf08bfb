"""Stand-ins for the host facilities the module reaches through its globals."""

import datetime


class FakeTime:
    """Stands in for the module's `time`: records sleeps and runs a hook after each one."""

    def __init__(self, after_sleep=None):
        self.sleeps = []
        self.after_sleep = after_sleep

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        if self.after_sleep:
            self.after_sleep(len(self.sleeps))


class StderrRecorder:
    """Records each write; a log line must arrive in one write and never be flushed."""

    def __init__(self):
        self.writes = []
        self.flushes = 0

    def write(self, text):
        self.writes.append(text)
        return len(text)

    def flush(self):
        self.flushes += 1

    def getvalue(self):
        assert all(w.endswith("\n") and w.count("\n") == 1 for w in self.writes)
        assert self.flushes == 0
        return "".join(self.writes)


class FixedClock(datetime.datetime):
    """A datetime whose now() is settable; the module reads `datetime.now(timezone.utc)`."""

    moment = datetime.datetime(2025, 1, 2, 3, 4, 5, 678, tzinfo=datetime.timezone.utc)

    @classmethod
    def now(cls, tz=None):
        assert tz is datetime.timezone.utc
        return cls.moment
