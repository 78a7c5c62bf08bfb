# Shared by the scripts: finding interpreters and making virtual environments.

# Every tool the scripts install comes in the version that constraints.txt pins.
export PIP_CONSTRAINT="$PWD/constraints.txt"

find_python() {  # version -> path of a working interpreter of that version
    local v=$1 c
    for c in "python$v" /usr/local/bin/python$v /usr/bin/python$v "${PYENV_ROOT:-$HOME/.pyenv}"/versions/$v*/bin/python$v; do
        if "$c" -c 'import venv, sys' >/dev/null 2>&1; then command -v "$c"; return 0; fi
    done
    return 1
}

find_newest_python() {
    local v
    for v in 3.14 3.13 3.12 3.11 3.10; do
        if find_python "$v"; then return 0; fi
    done
    return 1
}

make_venv() {  # dir python [extra packages...]; builds go through the venv's own tools
    local dir=$1 python=$2
    shift 2
    if [ ! -x "$dir/bin/python" ]; then "$python" -m venv "$dir"; fi
    "$dir/bin/pip" install -q --disable-pip-version-check scikit-build-core cmake ninja "$@"
}

# The tests a second interpreter, the sanitizer build and the release wheels run: the module's own,
# and the command's that reach into it (its masking held to the module's, change detection, whole
# runs and deliveries). The reference suite runs every test; each runs once per CI run at least.
subset_tests() {
    (cd tests && ls test_*.py | grep -v -e '^test_command_' -e '^test_examples.py$' -e '^test_docs.py$' \
        -e '^test_architecture.py$' -e '^test_postgres_stand_in.py$' -e '^test_contrib.py$'; printf '%s\n' \
        test_command_egress.py test_command_changes.py test_command_run.py test_command_delivery.py)
}

step() {  # name command...: runs it and says how long it took
    local name=$1 start=$SECONDS
    shift
    "$@"
    echo "== $name: $((SECONDS - start)) s"
}
