"""Sessions of the Python suite, one virtual environment per interpreter.

    nox -s tests-3.12          # pyenv's CPython 3.12: install the module, run the suite
    nox -s tests-system        # Debian's /usr/bin/python3
    nox -s tests-3.14          # where a python3.14 is on PATH (the unstable tree)
    TAVOLIN_NOX_PYTHON=/usr/bin/python3.14d nox -s tests-interpreter
    nox -s tests-3.12 -- -k identity      # arguments after -- go to pytest

Each session's environment (.nox/<session>) holds the test stack pinned in
requirements/test.txt, from the package index, and the module built from this
tree with `pip install .` (default build isolation); the suite then imports the
installed module, never a build folder. Interpreters are looked up as pyenv's
newest release of each version first, then as pythonX.Y on PATH."""
from __future__ import annotations

import os
import pathlib
import shutil
import subprocess

import nox

ROOT = pathlib.Path(__file__).resolve().parent
REQUIREMENTS = ROOT / "requirements" / "test.txt"
VERSIONS = ["3.10", "3.11", "3.12", "3.13", "3.14", "3.15"]

nox.options.default_venv_backend = "venv"
nox.options.download_python = "never"
nox.options.reuse_venv = "yes"
nox.options.sessions = ["tests"]


def pyenv_versions() -> pathlib.Path | None:
    if shutil.which("pyenv"):
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
    else:
        root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    versions = pathlib.Path(root) / "versions"
    return versions if versions.is_dir() else None


def with_pyenv_first() -> None:
    """Puts the bin folder of pyenv's newest release of each version at the
    front of PATH, so that "3.11" means pyenv's 3.11, not Debian's."""
    versions = pyenv_versions()
    if versions is None:
        return
    newest: dict[str, tuple[int, pathlib.Path]] = {}
    for entry in versions.iterdir():
        parts = entry.name.split(".")
        if len(parts) == 3 and all(p.isdigit() for p in parts) and \
                ".".join(parts[:2]) in VERSIONS:
            key, patch = ".".join(parts[:2]), int(parts[2])
            if (entry / "bin" / f"python{key}").exists() and patch >= newest.get(key, (-1,))[0]:
                newest[key] = (patch, entry / "bin")
    folders = [str(folder) for _, folder in newest.values()]
    os.environ["PATH"] = os.pathsep.join(folders + [os.environ.get("PATH", "")])


with_pyenv_first()


def run_suite(session: nox.Session) -> None:
    session.install("-r", str(REQUIREMENTS))
    env = {"PYTHONPATH": "", "TAVOLIN_SOURCE_DIR": str(ROOT)}
    if shutil.which("ccache"):
        env.update(CMAKE_CXX_COMPILER_LAUNCHER="ccache",
                   CCACHE_DIR=os.environ.get("CCACHE_DIR", str(ROOT / "build-interp" / "ccache")))
    session.install(str(ROOT), env=env)
    session.run("python", "-c", "import sys, tavolin_native_backend as m; "
                "assert m.__file__.startswith(sys.prefix), m.__file__; print('testing', m.__file__)",
                env=env)
    session.run("python", "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider",
                str(ROOT / "tests" / "python"), *session.posargs, env=env)


@nox.session(python=VERSIONS)
def tests(session: nox.Session) -> None:
    """The Python suite against the module installed in this interpreter's environment."""
    run_suite(session)


@nox.session(name="tests-system", python="/usr/bin/python3")
def tests_system(session: nox.Session) -> None:
    """The same for Debian's python3."""
    run_suite(session)


@nox.session(name="tests-interpreter", python=os.environ.get("TAVOLIN_NOX_PYTHON", "python3"))
def tests_interpreter(session: nox.Session) -> None:
    """The same for the interpreter at $TAVOLIN_NOX_PYTHON."""
    run_suite(session)
