"""Files the operator names: they must be regular files (or absent, where that is allowed), and
small ones are read with a bound, so that a FIFO, a device or /dev/zero never hangs the command
or fills its memory."""

from __future__ import annotations

import os
import stat

from ashvigil_monitor.errors import ConfigError

SMALL_FILE_LIMIT = 64 * 1024


def require_regular_or_absent(path: str, name: str) -> None:
    """ConfigError naming `name` unless `path` is missing or (after links) a regular file."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return
    except OSError as e:
        raise ConfigError(f"{name}: cannot examine {path} ({e.strerror})", name) from None
    if not stat.S_ISREG(mode):
        raise ConfigError(f"{name}: {path} is not a regular file", name)


def read_bounded(path: str, limit: int) -> bytes:
    """The bytes of a regular file of at most `limit` bytes. OSError for anything else: opening
    never blocks (O_NONBLOCK), and the kind is checked on the open file itself."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    with os.fdopen(fd, "rb") as f:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise _refused(path, "not a regular file")
        data = f.read(limit + 1)
    if len(data) > limit:
        raise _refused(path, f"larger than {limit // 1024} KiB")
    return data


def _refused(path: str, reason: str) -> OSError:
    """As the system's own errors: `strerror` says why without the path."""
    error = OSError(f"{path} is {reason}")
    error.strerror = reason
    return error


def read_small_text(path: str, name: str, path_is_secret: bool = False) -> str:
    """A small UTF-8 file the operator named (an env file, a secret); ConfigError naming `name`.
    `path_is_secret`: a secret's own text may have been set where its file was meant, so the
    path is never shown."""
    shown = "the file it names" if path_is_secret else path
    try:
        return read_bounded(path, SMALL_FILE_LIMIT).decode("utf-8")
    except OSError as e:
        raise ConfigError(f"{name}: cannot read {shown} ({e.strerror or 'unreadable'})", name) from None
    except UnicodeDecodeError:
        raise ConfigError(f"{name}: {shown} is not UTF-8 text", name) from None
