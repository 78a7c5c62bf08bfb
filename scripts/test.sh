#!/usr/bin/env bash
# Checks the style (scripts/lint.sh), then builds ashvigil into fresh virtual environments, with
# compiler warnings as errors, and runs the whole test suite under the reference interpreter (3.10),
# then the module's tests and the command's tests that reach into it (scripts/lib.sh: subset_tests)
# under the newest interpreter on the machine and under 3.10 with an AddressSanitizer +
# UndefinedBehaviorSanitizer build; mypy --strict over the command's package after the first suite;
# then the distribution checks (scripts/check_dist.sh). Each step's duration is printed, and the
# slowest tests of the whole suite are listed. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

run_suite() {  # name python [pip install options...]; runs TESTS (every test when empty)
    local name=$1 python=$2
    shift 2
    local venv=.venv/$name
    echo "== $name: $("$python" --version 2>&1)"
    make_venv "$venv" "$python" pytest hypothesis prometheus_client aiosmtpd tomli tzdata "psycopg[binary]" \
        "${CHARTS[@]}"
    "$venv/bin/pip" install -q --no-build-isolation --force-reinstall --no-deps \
        --config-settings=cmake.define.ASHVIGIL_WERROR=ON "$@" .
    (cd tests && "${RUNNER[@]}" "../$venv/bin/python" -m pytest -q -p no:cacheprovider "${TESTS[@]}" \
        "${PYTEST_ARGS[@]}")
}

# The shipped systemd unit is checked with systemd-analyze when it can be had (Debian: systemd).
if ! command -v systemd-analyze >/dev/null && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    { apt-get install -y -q --no-install-recommends systemd >/dev/null 2>&1 ||
      { apt-get update -q >/dev/null 2>&1 && apt-get install -y -q --no-install-recommends systemd >/dev/null 2>&1; }; } ||
        echo "systemd-analyze not installable: the unit check is skipped"
fi
# The store's PostgreSQL tests run a real server from Debian's postgresql (stand_ins/postgres.py).
if ! compgen -G "/usr/lib/postgresql/*/bin/initdb" >/dev/null; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        { apt-get install -y -q --no-install-recommends postgresql >/dev/null 2>&1 ||
          { apt-get update -q >/dev/null 2>&1 && apt-get install -y -q --no-install-recommends postgresql >/dev/null 2>&1; }; } ||
            echo "postgresql not installable: the PostgreSQL tests will be skipped"
    else
        echo "no PostgreSQL server in /usr/lib/postgresql (Debian's postgresql): the PostgreSQL tests will be skipped"
    fi
fi

step lint ./scripts/lint.sh

PYTEST_ARGS=("$@")
TESTS=(--durations=15)
reference=$(find_python 3.10) || { echo "CPython 3.10 not found" >&2; exit 1; }
newest=$(find_newest_python)

# The charts extra (matplotlib) where it can run: its C++ extensions throw exceptions that the
# preloaded sanitizer runtime cannot intercept, so the sanitizer suite runs without it (and checks
# the command's install hint instead).
CHARTS=("matplotlib>=3.7")
# Tests that take minutes of real time (marked full_run) run once, under the reference interpreter.
RUNNER=(env ASHVIGIL_FULL_RUN=1)
step "suite py310 (every test)" run_suite py310 "$reference"
# The command's package type-checks strictly against the module's installed stubs.
echo "== mypy --strict ashvigil_monitor"
.venv/py310/bin/pip install -q --disable-pip-version-check mypy
step mypy .venv/py310/bin/python -m mypy --strict ashvigil_monitor
RUNNER=(env)
mapfile -t TESTS < <(subset_tests)
if [ "$newest" != "$reference" ]; then step "suite newest (module and crossing tests)" run_suite newest "$newest"; fi

asan=$(gcc -print-file-name=libasan.so)
CHARTS=()
RUNNER=(env LD_PRELOAD="$asan" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASHVIGIL_SANITIZED=1)
step "suite sanitize (module and crossing tests)" run_suite sanitize "$reference" \
    --config-settings=cmake.define.ASHVIGIL_SANITIZE=ON --config-settings=cmake.build-type=Debug
step "distribution checks" ./scripts/check_dist.sh
echo "== all suites passed"
