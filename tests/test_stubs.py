"""The type stubs: they describe the installed module, and type checkers find and apply them."""

import ast
import importlib.metadata
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).with_name("typed_host.py")

# What each checker must say on the lines of the example marked with the case.
EXPECTED = {
    "mypy": {
        "wrong type": r'Argument "state_path" .* incompatible type "int"; expected "str"  \[arg-type\]',
        "missing keyword": r'Missing named argument "burn_chat_id" .*  \[call-arg\]',
        "unknown name": r'Module has no attribute "no_such_function"  \[attr-defined\]',
        "result": r'expression has type "int", variable has type "str"\)  \[assignment\]',
        "positional": r'Too many positional arguments for "with_retries"  \[call-arg\]',
    },
    "pyright": {
        "wrong type": r'reportArgumentType: .*parameter "state_path" of type "str"',
        "missing keyword": r'reportCallIssue: Argument missing for parameter "burn_chat_id"',
        "unknown name": r'reportAttributeAccessIssue: "no_such_function" is not a known attribute of module "ashvigil"',
        "result": r'reportAssignmentType: Type "int" is not assignable to declared type "str"',
        "positional": r"reportCallIssue: Expected 3 positional arguments",
    },
}


def stub_tree():
    files = importlib.metadata.files("ashvigil") or []
    [stub] = [f for f in files if str(f).replace(os.sep, "/") == "ashvigil-stubs/__init__.pyi"]
    return ast.parse(Path(stub.locate()).read_text(encoding="utf-8"))


def bound_names(node):
    if isinstance(node, ast.Import):
        return [alias.asname or alias.name.split(".")[0] for alias in node.names]
    if isinstance(node, ast.ImportFrom):
        return [alias.asname or alias.name for alias in node.names]
    if isinstance(node, ast.AnnAssign):
        return [node.target.id]
    if isinstance(node, ast.FunctionDef):
        return [node.name]
    return []


def test_stub_names_are_the_module_namespace(av):
    tree = stub_tree()
    assert ast.get_docstring(tree, clean=False) == av.__doc__
    names = {name for node in tree.body for name in bound_names(node)}
    assert names == {k for k in vars(av) if not k.startswith("__")}
    [exported] = [n.value for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
    assert sorted(ast.literal_eval(exported)) == sorted(k for k in vars(av) if not k.startswith("_"))


def test_stub_annotations_and_docs_are_the_modules(av):
    # stubtest compares names, kinds and defaults, but neither types nor docstrings.
    defs = [n for n in stub_tree().body if isinstance(n, ast.FunctionDef)]
    assert defs
    for node in defs:
        fn = getattr(av, node.name)
        args = node.args.posonlyargs + node.args.args + node.args.kwonlyargs
        annotations = {a.arg: ast.unparse(a.annotation) for a in args}
        annotations["return"] = ast.unparse(node.returns)
        assert annotations == fn.__annotations__, node.name
        assert ast.get_docstring(node, clean=False) == fn.__doc__, node.name


def run_mypy(path):
    pytest.importorskip("mypy", reason="mypy is not installed (the distribution check installs it)")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(path.parent / ".mypy_cache"), path.name],
        cwd=path.parent,
        capture_output=True,
        text=True,
    )
    assert done.returncode in (0, 1), done.stdout + done.stderr
    found = re.findall(r"^[^:\n]+:(\d+): error: (.*)$", done.stdout, re.MULTILINE)
    return [(int(line), message) for line, message in found]


def run_pyright(path):
    pytest.importorskip("pyright", reason="pyright is not installed (the distribution check installs it)")
    if not shutil.which("node"):
        pytest.skip("pyright needs node, which is not on PATH")
    # As in an activated environment: pyright asks the first python on PATH for its packages.
    env = {**os.environ, "PATH": os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", "")}
    done = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", path.name],
        cwd=path.parent,
        capture_output=True,
        text=True,
        env=env,
    )
    assert done.returncode in (0, 1), done.stdout + done.stderr
    found = json.loads(done.stdout)["generalDiagnostics"]
    return [
        (d["range"]["start"]["line"] + 1, f"{d.get('rule')}: {d['message']}") for d in found if d["severity"] == "error"
    ]


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_checkers_apply_the_stubs_without_configuration(checker, tmp_path):
    example = tmp_path / EXAMPLE.name
    shutil.copy(EXAMPLE, example)
    errors = run_mypy(example) if checker == "mypy" else run_pyright(example)
    expected = {}
    for number, line in enumerate(EXAMPLE.read_text(encoding="utf-8").splitlines(), 1):
        marker = re.search(r"  # expect: (.+)$", line)
        if marker:
            expected[number] = EXPECTED[checker][marker[1]]
    assert {number for number, _ in errors} == set(expected), errors
    for number, message in errors:
        assert re.search(expected[number], message), (number, message)
