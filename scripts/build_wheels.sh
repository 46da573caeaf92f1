#!/usr/bin/env bash
# Builds the manylinux wheels into dist/ and checks each one installed in a
# place without a compiler. Usage:
#
#   ./scripts/build_wheels.sh [--no-check] [cp310 cp311 cp312 cp313 cp314 cp315]
#
# (all six by default). Every wheel is built on this machine (the oldest
# base, Debian 12) with `pip wheel` (scikit-build-core, default build
# isolation), then repaired by auditwheel to the manylinux tag its content
# needs, which vendors libcrypto (as tavolin_native_backend.libs/libcrypto-*);
# `auditwheel show` must then name that same tag and no library outside the
# policy. (-Ccmake.define.TAVOLIN_STATIC_LIBCRYPTO=ON links it statically
# instead: measured, not used; see the README.)
# - cp310 to cp313: built by pyenv's newest release of the version (Debian's
#   python3 for 3.11 when pyenv has none).
# - cp314, cp315: no such interpreter runs on Debian 12. The module is built
#   with the host toolchain against that version's headers, unpacked from
#   Debian unstable's libpython3.X-dev (downloaded in the tree below), by the
#   build of pyenv's 3.13 with the headers and extension tag swapped in; the
#   wheel is then retagged (`wheel tags`). Metadata and stub are the same for
#   every version.
# Checks (skipped with --no-check): a fresh virtual environment of the
# wheel's interpreter gets the wheel and requirements/test.txt from the
# index; the module is imported from there, the tour runs, and the Python
# suite runs against the installed wheel (all but the build-from-source
# tests), from a copy of the tests and their data outside the source tree,
# with the fault shim built here.
# - cp310, cp311, cp312: pyenv's interpreter on this machine;
# - cp313: a Debian 13 tree (wheel-debian13), no C or C++ compiler;
# - cp314, cp315: a Debian unstable tree (wheel-unstable), no compiler.
# Trees live in the cache of scripts/debian_tree.sh. Exits non-zero on the
# first failure; prints name, size and tag of every wheel at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/interpreters.sh
source "$root/scripts/interpreters.sh"
# shellcheck source=scripts/debian_tree.sh
source "$root/scripts/debian_tree.sh"

check=1
if [[ "${1:-}" == --no-check ]]; then
  check=0
  shift
fi
tags=("$@")
((${#tags[@]})) || tags=(cp310 cp311 cp312 cp313 cp314 cp315)

"$root/scripts/setup.sh"
tools="$root/.venv/bin"
export PATH="$tools:$PATH" PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
use_build_cache "$root"
work="$root/build-wheels"
dist="$root/dist"
mkdir -p "$work" "$dist"
trap 'tree_unmount' EXIT

# pyenv's newest release of version $1 (3.X), else Debian's for its version.
host_python() {
  local entry python=""
  while read -r entry; do
    [[ "$(minor_version "${entry#* }")" == "$1" ]] && python=${entry#* }
  done < <(supported_interpreters)
  if [[ -z "$python" && -x /usr/bin/python3 && "$(minor_version /usr/bin/python3)" == "$1" ]]; then
    python=/usr/bin/python3
  fi
  [[ -n "$python" ]] || { echo "wheels: no CPython $1 on this machine" >&2; return 1; }
  echo "$python"
}

unstable_tree() {
  local dir
  dir=$(tree_make wheel-unstable unstable)
  tree_install "$dir" ca-certificates python3.14 python3.14-venv python3.15 python3.15-venv \
    strace qpdf poppler-utils binutils >&2
  echo "$dir"
}

# Headers of CPython $1 (3.X) from Debian unstable's libpython3.X-dev,
# unpacked into build-wheels/headers/3.X. Prints that folder.
headers_of() {
  local version=$1 out="$work/headers/$1" dir deb
  if [[ ! -f "$out/usr/include/python$version/Python.h" ]]; then
    dir=$(unstable_tree)
    tree_run "$dir" sh -c "mkdir -p /tmp/debs && cd /tmp/debs && rm -f ./*.deb &&
      apt-get download -q libpython$version-dev >/dev/null" >&2
    deb=$(ls "$dir"/tmp/debs/libpython"$version"-dev_*.deb)
    rm -rf "$out"
    mkdir -p "$out"
    dpkg-deb -x "$deb" "$out"
    echo "wheels: headers of $version from $(basename "$deb")" >&2
  fi
  echo "$out"
}

build_wheel() {
  local tag=$1 version="3.${1#cp3}" raw="$work/raw/$1" python headers soabi
  rm -rf "$raw"
  mkdir -p "$raw"
  local settings=(--config-settings=build-dir="$work/build/$tag")
  if [[ "$tag" == cp314 || "$tag" == cp315 ]]; then
    python=$(host_python 3.13)
    headers=$(headers_of "$version")
    soabi="cpython-${tag#cp}-x86_64-linux-gnu"
    settings+=(--config-settings="cmake.define.TAVOLIN_PYTHON_INCLUDE_DIRS=$headers/usr/include/python$version;$headers/usr/include"
               --config-settings=cmake.define.TAVOLIN_PYTHON_SOABI="$soabi")
  else
    python=$(host_python "$version")
  fi
  echo "== $tag: build with $python"
  "$python" -m pip wheel -q --no-deps -w "$raw" "${settings[@]}" "$root"
  if [[ "$tag" == cp314 || "$tag" == cp315 ]]; then
    wheel tags --remove --python-tag "$tag" --abi-tag "$tag" "$raw"/*.whl >/dev/null
  fi
  rm -f "$dist"/tavolin_native_backend-*-"$tag"-"$tag"-*.whl
  auditwheel repair -w "$dist" "$raw"/*.whl 2>&1 | grep -E "^Fixed-up|error" || true
  local whl
  whl=$(ls "$dist"/tavolin_native_backend-*-"$tag"-"$tag"-manylinux*.whl)
  local shown platform
  shown=$(auditwheel show "$whl" 2>&1)
  platform=$(basename "$whl" .whl)
  platform=${platform##*-}
  if ! grep -q "consistent with the following platform tag: \"${platform%%.*}\"" <<<"$shown" ||
      grep -q "external shared libraries" <<<"$shown"; then
    echo "$shown" >&2
    echo "wheels: auditwheel show does not confirm $(basename "$whl")" >&2
    return 1
  fi
  echo "$tag: $(basename "$whl"), auditwheel show: ${platform%%.*}, nothing outside the policy"
}

# The files a check needs, outside the source tree: the wheel, the tests, the
# tour, the pins, the fault shim (the check has no compiler) and this
# machine's certificate bundle.
stage() {
  local tag=$1 out="$work/check/$1"
  rm -rf "$out"
  mkdir -p "$out/tests"
  cp -r "$root/tests/python" "$root/tests/data" "$out/tests/"
  cp -r "$root/examples" "$root/requirements" "$out/"
  cp "$dist"/tavolin_native_backend-*-"$tag"-"$tag"-manylinux*.whl "$out/"
  cc -shared -fPIC -O2 -o "$out/fault_shim.so" "$root/tests/faults/fault_shim.c" -ldl
  # The check's pip trusts what this machine's pip trusts (a proxy's CA, say).
  cp "${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" "$out/ca-certificates.crt"
  cat >"$out/check.sh" <<'EOF'
#!/bin/sh
# Runs inside the check's place: $1 is the interpreter, $2 the venv to make.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$2"
"$1" -m venv "$2"
export PIP_CERT="$here/ca-certificates.crt"
"$2/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: \
  -r "$here/requirements/test.txt" "$here"/tavolin_native_backend-*.whl
cd "$here"
unset PYTHONPATH
"$2/bin/python" -c 'import sys, tavolin_native_backend as m
assert m.__file__.startswith(sys.prefix + "/"), m.__file__
print("imported", m.__file__)'
"$2/bin/python" examples/tour.py >tour.log
echo "tour: $(tail -n 1 tour.log)"
TAVOLIN_FAULT_SHIM="$here/fault_shim.so" "$2/bin/python" -m pytest -q -rs -p no:cacheprovider \
  --rootdir "$here" -m "not builds_from_source" tests/python
EOF
  chmod +x "$out/check.sh"
  echo "$out"
}

check_wheel() {
  local tag=$1 version="3.${1#cp3}" staged dir
  staged=$(stage "$tag")
  case $tag in
    cp313 | cp314 | cp315)
      if [[ "$tag" == cp313 ]]; then
        dir=$(tree_make wheel-debian13 trixie)
        tree_install "$dir" ca-certificates python3 python3-venv strace qpdf poppler-utils binutils
      else
        dir=$(unstable_tree)
      fi
      if tree_run "$dir" sh -c 'command -v cc || command -v gcc || command -v g++'; then
        echo "wheels: the tree $dir has a compiler; the check needs one without" >&2
        return 1
      fi
      tree_mount "$dir" "$staged:/check"
      echo "== $tag: check in $(basename "$dir") (python$version, no compiler)"
      tree_run "$dir" /check/check.sh "/usr/bin/python$version" "/root/venv-$tag"
      tree_unmount
      ;;
    *)
      echo "== $tag: check with $(host_python "$version")"
      "$staged/check.sh" "$(host_python "$version")" "$work/venv-$tag"
      ;;
  esac
}

for tag in "${tags[@]}"; do
  build_wheel "$tag"
  ((check)) && check_wheel "$tag"
done

echo "== wheels in dist/"
for tag in "${tags[@]}"; do
  for whl in "$dist"/tavolin_native_backend-*-"$tag"-"$tag"-manylinux*.whl; do
    printf '%s  %s bytes\n' "$(basename "$whl")" "$(stat -c %s "$whl")"
  done
done
