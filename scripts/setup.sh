#!/usr/bin/env bash
# Shell, because it runs before Python has a virtual environment here: it
# installs the Debian packages the build, the tests and the tour need, skipping
# what is already present, and makes .venv, the virtual environment of
# Debian's python3 with the test stack, the build tools and the session runner
# pinned in requirements/ (from the package index; remade only when those
# files change). Safe to run again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

packages=(
  build-essential g++ cmake pkg-config ccache
  libssl-dev openssl nlohmann-json3-dev libgtest-dev
  python3 python3-dev python3-venv python3-pip
  qpdf poppler-utils strace
  libclang-rt-dev  # libFuzzer's engine, for nox -s fuzz
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "setup: all packages present"
fi

venv="$root/.venv"
stamp=$(cat "$root"/requirements/*.txt | sha256sum | cut -d' ' -f1)
if [[ "$(cat "$venv/.tavolin-requirements" 2>/dev/null)" != "$stamp" ]]; then
  echo "setup: making $venv (requirements/tools.txt)"
  rm -rf "$venv"
  /usr/bin/python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$root/requirements/tools.txt"
  echo "$stamp" >"$venv/.tavolin-requirements"
else
  echo "setup: $venv is up to date"
fi
# The tests' shared tooling (tavolin_testing), importable by every script that
# runs with .venv's interpreter: the tour, the benchmarks, the fuzz seeds.
echo "$root/tests/tooling" >"$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/tavolin-testing.pth"
