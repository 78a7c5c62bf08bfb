"""The `ashvigil` command: the operator's program around the ashvigil extension module.

It reads and checks the configuration, holds one lock per state file, makes Telegram delivery
survive transient failures, stops gracefully on SIGTERM and SIGINT, and reports its health. It
drives the module only through its public functions and namespace.
"""


def _installed_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("ashvigil")
    except PackageNotFoundError:
        return "unknown"


try:  # written by the build: importlib.metadata alone would cost more than the rest of a start-up
    from ashvigil_monitor import _version  # type: ignore[attr-defined,import-not-found,unused-ignore]

    _built: str = _version.version
except ImportError:  # a source tree: the installed distribution's version, if any
    _built = _installed_version()
__version__: str = _built
