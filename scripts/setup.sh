#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tour need, skipping
# what is already present. Safe to run again.
set -euo pipefail

packages=(
  build-essential g++ cmake pkg-config ccache
  libssl-dev openssl nlohmann-json3-dev libgtest-dev
  python3 python3-dev python3-venv python3-pip
  python3-pytest python3-hypothesis python3-cryptography python3-numpy
  python3-exceptiongroup python3-tomli  # Debian's pytest and hypothesis on CPython 3.10
  python3-mypy mypy
  qpdf poppler-utils strace
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
