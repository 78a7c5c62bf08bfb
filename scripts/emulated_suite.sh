#!/usr/bin/env bash
# Runs the test suite against a wheel of another architecture under qemu-user, with that
# architecture's CPython from Debian's packages, unpacked into build/sysroot-<arch> (never
# installed on the machine):
#
#   scripts/emulated_suite.sh ARCH PYTHON_VERSION WHEEL CC
#
# CC is a C compiler aimed at ARCH, for the tests' own shim. Installs Debian's qemu-user-static
# when it is missing. The Debian release decides the CPython version; the wheel must match it.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."
source scripts/lib.sh

arch=$1 v=$2 wheel=$(realpath "$3") cc=$4
case $arch in
    aarch64) deb=arm64 ;;
    *) echo "no emulation set up for $arch" >&2; exit 2 ;;
esac
ROOT=$PWD
sysroot=$ROOT/build/sysroot-$deb
site=$ROOT/build/emulated-$arch-$v
qemu=qemu-$arch-static
# The interpreter and the libraries its modules and the tests load.
PACKAGES=(python$v-minimal libpython$v-minimal libpython$v-stdlib libc6 libgcc-s1 libstdc++6 zlib1g
    libexpat1 libssl3 libffi8 libbz2-1.0 liblzma5 libuuid1 libsqlite3-0 libncursesw6 libtinfo6
    libreadline8 libcrypt1 libnsl2 libtirpc3 libgssapi-krb5-2 libkrb5-3 libk5crypto3 libkrb5support0
    libcom-err2 libkeyutils1 libdb5.3)

apt_ready() {
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
        echo "emulation needs root and apt-get, for qemu-user and Debian's $deb packages" >&2
        return 1
    fi
}

if ! command -v "$qemu" >/dev/null; then
    apt_ready
    apt-get update -q >/dev/null
    apt-get install -y -q --no-install-recommends qemu-user-static >/dev/null
fi
if [ ! -x "$sysroot/usr/bin/python$v" ]; then
    apt_ready
    if ! dpkg --print-foreign-architectures | grep -qx "$deb"; then dpkg --add-architecture "$deb"; fi
    apt-get update -q >/dev/null
    rm -rf "$ROOT/build/debs-$deb" "$sysroot"
    mkdir -p "$ROOT/build/debs-$deb"
    (cd "$ROOT/build/debs-$deb" && apt-get download -q "${PACKAGES[@]/%/:$deb}" >/dev/null)
    for f in "$ROOT/build/debs-$deb"/*.deb; do dpkg-deb -x "$f" "$sysroot"; done
fi

# A venv of the emulated interpreter, filled by the emulated interpreter running the tools' own
# pip. The interpreter is a script that passes on the name it was called by: the venv's links,
# the command's shebang and the tests' child processes (sys.executable) all run emulated.
rm -rf "$site"
mkdir -p "$site/pip"
tools=.venv/wheel-tools
make_venv "$tools" "$(find_python 3.10 || find_newest_python)"
ln -s "$("$tools/bin/python" -c 'import os, pip; print(os.path.dirname(pip.__file__))')" "$site/pip/pip"
printf '#!/bin/sh\nexec %s -L "%s" -0 "$0" "%s" "$@"\n' "$qemu" "$sysroot" "$sysroot/usr/bin/python$v" >"$site/python"
chmod +x "$site/python"
"$site/python" -m venv --without-pip "$site/venv"
PYTHONPATH=$site/pip "$site/venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary :all: \
    pytest hypothesis aiosmtpd "$wheel"

cd tests
# qemu-user does not pass an address-space limit on to the emulated process, so the allocation
# failure cannot be provoked there.
export ASHVIGIL_TEST_CC=$cc ASHVIGIL_EMULATED=1
python=$site/venv/bin/python
start=$SECONDS
echo "== emulated $arch: $("$python" -c 'import platform, sys; print(platform.machine(), sys.version.split()[0])')"
"$python" -m pytest -q -p no:cacheprovider -rs
echo "emulated $arch suite: $((SECONDS - start)) s"
