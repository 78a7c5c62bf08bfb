#!/usr/bin/env bash
# Installs ashvigil into .venv/demo and runs the installed `ashvigil` command against the local
# stand-in services (no credentials, no network).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
python=$(find_python 3.10 || find_newest_python)
make_venv .venv/demo "$python" tomli tzdata "matplotlib>=3.7"  # with the charts extra
.venv/demo/bin/pip install -q --no-build-isolation --force-reinstall --no-deps .
exec .venv/demo/bin/python scripts/demo.py
