"""The wheel file-list check of the distribution checks refuses what a wheel must not hold."""

import pytest

from scripts.check_wheel import LAYOUT, problems

GOOD = [
    "ashvigil.cpython-310-x86_64-linux-gnu.so",
    "ashvigil-stubs/__init__.pyi",
    "ashvigil-0.1.0.dist-info/METADATA",
    "ashvigil-0.1.0.dist-info/WHEEL",
    "ashvigil-0.1.0.dist-info/RECORD",
    "ashvigil-0.1.0.dist-info/entry_points.txt",
    "ashvigil-0.1.0.dist-info/licenses/LICENSE",
]
GOOD += [f"ashvigil_monitor/{name}" for name in LAYOUT["ashvigil_monitor"]]


def test_the_expected_layout_passes():
    assert list(problems(GOOD)) == []


@pytest.mark.parametrize(
    ("names", "complaint"),
    [
        ([*GOOD, "ashvigil/function.cpp", "tests/conftest.py"], "unexpected file tests/conftest.py"),
        ([*GOOD, "ashvigil-stubs/extra.pyi"], "ashvigil-stubs/: expected ['__init__.pyi']"),
        ([n for n in GOOD if "stubs" not in n], "ashvigil-stubs/: expected ['__init__.pyi'], found []"),
        ([n for n in GOOD if "LICENSE" not in n], "ashvigil-*.dist-info/: expected"),
        ([*GOOD, "ashvigil.cpython-311-x86_64-linux-gnu.so"], "expected one file"),
    ],
)
def test_strays_and_missing_files_are_reported(names, complaint):
    assert any(complaint in p for p in problems(names)), list(problems(names))
