"""The `ashvigil` command: the operator's program around the ashvigil extension module.

It reads and checks the configuration, holds one lock per state file, makes Telegram delivery
survive transient failures, stops gracefully on SIGTERM and SIGINT, and reports its health. It
drives the module only through its public functions and namespace.
"""

from importlib.metadata import PackageNotFoundError
from importlib.metadata import version as _version

try:
    __version__: str = _version("ashvigil")
except PackageNotFoundError:  # a source tree that was never installed
    __version__ = "unknown"
