#!/usr/bin/env bash
# Distribution checks: builds the sdist, and the wheel from that sdist alone; checks the wheel's
# file list; installs the sdist into fresh environments under CPython 3.10 and the newest
# interpreter, and there checks the type stubs against the built module (stubtest) and runs the
# stub tests, which type-check an example host with mypy and pyright.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

CHECKERS=(mypy pyright)
DIST=build/dist
ROOT=$PWD

fresh_venv() {  # dir python
    rm -rf "$1"
    "$2" -m venv "$1"
}

check_installed() {  # name python
    local venv=.venv/dist-$1
    echo "== dist-$1: install the sdist alone ($("$2" --version 2>&1))"
    fresh_venv "$venv" "$2"
    "$venv/bin/pip" install -q --disable-pip-version-check pytest hypothesis aiosmtpd "${CHECKERS[@]}" "$DIST"/ashvigil-*.tar.gz
    # Outside the repository, so that nothing but the installed package can be found.
    (cd "$venv" && bin/python -c "import ashvigil" &&
        bin/python -m mypy.stubtest --allowlist "$ROOT/scripts/stubtest-allowlist.txt" ashvigil)
    (cd tests && "../$venv/bin/python" -m pytest -q -rs -p no:cacheprovider test_stubs.py)
}

reference=$(find_python 3.10) || { echo "CPython 3.10 not found" >&2; exit 1; }
newest=$(find_newest_python)

echo "== dist: build the sdist, and the wheel from it"
rm -rf "$DIST"
fresh_venv .venv/dist-build "$reference"
.venv/dist-build/bin/pip install -q --disable-pip-version-check build
.venv/dist-build/bin/python -m build --outdir "$DIST" . >/dev/null
.venv/dist-build/bin/python scripts/check_wheel.py "$DIST"/ashvigil-*.whl

check_installed py310 "$reference"
if [ "$newest" != "$reference" ]; then check_installed newest "$newest"; fi
