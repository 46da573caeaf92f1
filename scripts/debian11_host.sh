#!/usr/bin/env bash
# Shell, because it makes and enters a Debian tree (debootstrap + chroot, see
# scripts/debian_tree.sh) before any Python of its own exists.
#
# An old glibc host for the wheels: a Debian 11 tree (wheel-debian11, glibc
# 2.31) with a CPython 3.11 built inside it from Debian's source package of
# python3.11 (Debian 12's, from the main pool; Debian 11's own interpreter is
# 3.9, which the module does not support). The upstream source is built as it
# comes (`dpkg-source --skip-patches`): Debian's patches fit the interpreter
# to Debian's layout (dist-packages, multiarch paths), which an interpreter in
# /opt/python3.11 does not want. Plain `./configure && make && make install`
# against the tree's -dev packages, so venv, pip, ssl, sqlite3 and the rest
# work.
#
#   ./scripts/debian11_host.sh          # prints the tree's path
#   ./scripts/debian11_host.sh --check  # and checks the cp311 x86_64 wheel there
#
# The interpreter lives in the tree as /opt/python3.11/bin/python3.11 and is
# kept: a later run only checks it (it is built again when the tree or the
# interpreter is absent). With --check, the manylinux wheel of CPython 3.11 is
# built (scripts/build_wheels.py --no-check: the glibc floor is the wheels'
# own, 2.28) and checked in the tree as the wheel builder checks a wheel in
# the other trees (its stage() and check script): a venv of that interpreter
# gets the wheel and requirements/test.txt from the index; import, the tour
# and the Python suite (all but the build-from-source tests), from a copy of
# the tests outside the source tree, with the fault shim built for the
# wheels' target. Exits non-zero on failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/debian_tree.sh
source "$root/scripts/debian_tree.sh"

name=wheel-debian11
source_suite=bookworm
source_package=python3.11
prefix=/opt/python3.11
start=$SECONDS
check=0
[[ "${1:-}" == --check ]] && check=1

staged=""
if ((check)); then
  [[ -x "$root/.venv/bin/python" ]] || "$root/scripts/setup.sh" >&2
  "$root/.venv/bin/python" "$root/scripts/build_wheels.py" --arch x86_64 --no-check cp311 >&2
  whl=$(ls "$root"/dist/tavolin_native_backend-*-cp311-cp311-manylinux_*_x86_64.whl)
  staged=$("$root/.venv/bin/python" -c 'import pathlib, sys
sys.path.insert(0, sys.argv[1])
import build_wheels
print(build_wheels.stage(pathlib.Path(sys.argv[2]), build_wheels.TARGETS["x86_64"]))' \
    "$root/scripts" "$whl")
fi

tree=$(tree_make "$name" bullseye)
trap tree_unmount EXIT
tree_mount "$tree" ${staged:+"$staged:/check"}

if [[ ! -f "$tree$prefix/.tavolin-built" ]]; then
  echo "debian11: building CPython from $source_suite's $source_package source package" >&2
  echo "deb-src http://deb.debian.org/debian $source_suite main" \
    >"$tree/etc/apt/sources.list.d/tavolin-source.list"
  tree_install "$tree" dpkg-dev build-essential ca-certificates xz-utils \
    libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev \
    libreadline-dev libncurses-dev libgdbm-dev uuid-dev
  tree_run "$tree" apt-get update -qq
  tree_run "$tree" bash -euc "
    rm -rf /root/cpython-src && mkdir -p /root/cpython-src && cd /root/cpython-src
    apt-get source -qq --download-only $source_package/$source_suite
    dpkg-source --skip-patches -x ${source_package}_*.dsc src >/dev/null
    cd src
    ./configure -q --prefix=$prefix >/root/cpython-src/configure.log 2>&1
    make -j2 >/root/cpython-src/make.log 2>&1 || { tail -n 30 /root/cpython-src/make.log; exit 1; }
    make install >/root/cpython-src/install.log 2>&1 || { tail -n 30 /root/cpython-src/install.log; exit 1; }
    cd / && rm -rf /root/cpython-src/src
  "
  touch "$tree$prefix/.tavolin-built"
fi

# The interpreter's own check: the modules a venv, pip and the tests need.
tree_run "$tree" "$prefix/bin/python3.11" -c '
import ssl, sqlite3, ctypes, lzma, bz2, zlib, readline, venv, ensurepip, hashlib, uuid, platform
print("debian11:", platform.python_version(), "glibc", platform.libc_ver()[1], ssl.OPENSSL_VERSION)' >&2
echo "debian11: ready in $((SECONDS - start)) s" >&2
if ((check)); then
  # What the suite runs besides the interpreter (build_wheels.TREE_PACKAGES).
  tree_install "$tree" ca-certificates openssl strace qpdf poppler-utils binutils
  echo "== cp311 x86_64: check in $name ($prefix/bin/python3.11)" >&2
  tree_run "$tree" /check/check.sh "$prefix/bin/python3.11" /root/venv-cp311 >&2
  echo "debian11: $(basename "$whl") checked in $((SECONDS - start)) s" >&2
fi
echo "$tree"
