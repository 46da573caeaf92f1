# Sourced by the scripts that build for several interpreters (build_wheels.py,
# and build_wheels.sh for the former wheel that CI still checks).

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

# The cores do not depend on the interpreter: with ccache, every build after
# the first (another interpreter's, or a wheel's) compiles little more than
# the binding layer. CMake reads the launcher from the environment when it
# configures a new build directory.
use_build_cache() {
  if command -v ccache >/dev/null 2>&1; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR="$1/build-interp/ccache"
  fi
}
