# Sourced by the scripts that build or test for several interpreters.
# Supported: CPython 3.10 to 3.13.

# Prints one line "label path" per supported interpreter the machine has:
# pyenv's 3.10-3.13 (found with `pyenv root`, else $PYENV_ROOT or
# $HOME/.pyenv), and, with the argument "system", Debian's /usr/bin/python3.
supported_interpreters() {
  local pyenv_root version python
  if command -v pyenv >/dev/null 2>&1; then
    pyenv_root=$(pyenv root)
  else
    pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
  fi
  if [[ -d "$pyenv_root/versions" ]]; then
    for version in $(ls "$pyenv_root/versions" | sort -V); do
      [[ "$version" =~ ^3\.(1[0-3])\.[0-9]+$ ]] || continue
      python="$pyenv_root/versions/$version/bin/python3.${BASH_REMATCH[1]}"
      [[ -x "$python" ]] && echo "pyenv-$version $python"
    done
  fi
  if [[ "${1:-}" == system && -x /usr/bin/python3 ]] &&
      /usr/bin/python3 -c 'import sys; sys.exit(not (3, 10) <= sys.version_info[:2] <= (3, 13))'; then
    echo "system-$(/usr/bin/python3 -c 'import platform; print(platform.python_version())') /usr/bin/python3"
  fi
}

# The "3.X" version of an interpreter.
minor_version() {
  "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'
}

# Fills directory $2 with links to Debian's pure-Python test packages (pytest,
# hypothesis and what they import), so that interpreter $1 can run the suite
# with only that directory added to its path. Debian's compiled modules are
# built for its own python3 alone, so the rest of dist-packages stays out.
make_test_path() {
  local python=$1 dir=$2 package entry
  local packages=(python3-pytest python3-pluggy python3-iniconfig python3-packaging
                  python3-attr python3-hypothesis python3-sortedcontainers)
  if "$python" -c 'import sys; sys.exit(sys.version_info >= (3, 11))'; then
    packages+=(python3-exceptiongroup python3-tomli)
  fi
  rm -rf "$dir"
  mkdir -p "$dir"
  for package in "${packages[@]}"; do
    dpkg -L "$package" | grep -E '^/usr/lib/python3/dist-packages/[^/]+$' |
      while read -r entry; do ln -s "$entry" "$dir/"; done
  done
}

# The cores do not depend on the interpreter: with ccache, every build after
# the first (another interpreter's, or the one that the pip install test
# makes) compiles little more than the binding layer. CMake reads the
# launcher from the environment when it configures a new build directory.
use_build_cache() {
  if command -v ccache >/dev/null 2>&1; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR="$1/build-interp/ccache"
  fi
}
