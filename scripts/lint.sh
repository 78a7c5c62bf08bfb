#!/usr/bin/env bash
# Style checks: ruff (lint and format) over the Python files and clang-format over the C++ sources,
# with the settings in ruff.toml and .clang-format. Fails on any difference; fix with
#   .venv/lint/bin/ruff format . && .venv/lint/bin/clang-format -i ashvigil/*.cpp ashvigil/*.hpp
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

venv=.venv/lint
if [ ! -x "$venv/bin/python" ]; then "$(find_python 3.10 || find_newest_python)" -m venv "$venv"; fi
"$venv/bin/pip" install -q --disable-pip-version-check ruff clang-format
echo "== lint: ruff check, ruff format --check, clang-format"
"$venv/bin/ruff" check --quiet .
"$venv/bin/ruff" format --check --quiet .
"$venv/bin/clang-format" --dry-run --Werror ashvigil/*.cpp ashvigil/*.hpp
