"""The documentation: the settings page matches the settings table."""

import importlib.util
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def test_configuration_page_is_current():
    spec = importlib.util.spec_from_file_location("configuration_doc", ROOT / "scripts" / "configuration_doc.py")
    generator = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(generator)
    assert generator.main(["--check"]) == 0, "run python scripts/configuration_doc.py"
