"""The command's rooms stand on the floors docs/architecture.md gives them: each file imports
only files on lower floors (no circle, nothing upward), and the table lists its imports as they are."""

import ast
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "ashvigil_monitor"
ROW = re.compile(r"^\| (\d+) \| `(\w+)\.py` \| .* \| (.*) \|$", re.M)


def imports(path):
    """The package's files a file imports, at the top or inside a function."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and node.module == "ashvigil_monitor":
            found |= {a.name for a in node.names if (PACKAGE / f"{a.name}.py").exists()}
        elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith("ashvigil_monitor."):
            found.add(node.module.split(".")[1])
        elif isinstance(node, ast.Import):
            found |= {a.name.split(".")[1] for a in node.names if a.name.startswith("ashvigil_monitor.")}
    return found


def test_every_import_runs_down_the_documented_floors():
    rows = ROW.finditer((ROOT / "docs/architecture.md").read_text())
    table = {m[2]: (int(m[1]), set(re.findall(r"`(\w+)`", m[3]))) for m in rows}
    actual = {path.stem: imports(path) for path in PACKAGE.glob("*.py")}
    assert {name: deps for name, (_, deps) in table.items()} == actual
    upward = [(a, b) for a, deps in actual.items() for b in deps if table[b][0] >= table[a][0]]
    assert upward == []


SQL = re.compile(r"^\s*(SELECT|INSERT|UPDATE|DELETE|CREATE|ALTER|DROP|PRAGMA|BEGIN)\s+[\w(*]", re.I)
OUTBOX_WRITES = {"queue", "delivered", "failed", "drop"}


def test_only_the_store_and_its_engines_hold_sql_and_only_the_outbox_writes_its_rows():
    found = set()
    for path in PACKAGE.glob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Constant) and isinstance(node.value, str) and SQL.match(node.value):
                found.add((path.name, "SQL"))
            elif isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute):
                if node.func.attr in OUTBOX_WRITES and ast.unparse(node.func.value).endswith("store"):
                    found.add((path.name, node.func.attr))
    assert {place for place in found if place not in {("store.py", "SQL"), ("engines.py", "SQL")}} <= {
        ("outbox.py", name) for name in OUTBOX_WRITES
    }
