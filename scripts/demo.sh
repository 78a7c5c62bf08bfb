#!/usr/bin/env bash
# Builds ashvigil into .venv/demo and runs its main job against the local stand-in services.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
python=$(find_python 3.10 || find_newest_python)
make_venv .venv/demo "$python"
.venv/demo/bin/pip install -q --no-build-isolation --force-reinstall --no-deps .
exec .venv/demo/bin/python scripts/demo.py
