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
