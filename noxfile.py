"""Sessions of the Python suite, one virtual environment per interpreter.

    nox -s tests-3.12          # pyenv's CPython 3.12: install the module, run the suite
    nox -s tests-system        # Debian's /usr/bin/python3
    nox -s tests-3.14          # where a python3.14 is on PATH (the unstable tree)
    TAVOLIN_NOX_PYTHON=/usr/bin/python3.14d nox -s tests-interpreter
    nox -s tests-3.12 -- -k identity      # arguments after -- go to pytest
    TAVOLIN_NOX_ABI3=1 nox -s tests-3.10  # the limited build (.abi3.so) instead
    TAVOLIN_NOX_ABI3=dist/tavolin_native_backend-0.1.1-cp310-abi3-linux_x86_64.whl nox
    nox -s wheels                         # the wheels (scripts/build_wheels.py)

Each session's environment (.nox/<session>) holds the test stack pinned in
requirements/test.txt, from the package index, and the module built from this
tree with `pip install .` (default build isolation); the suite then imports the
installed module, never a build folder. Each version's interpreter is pyenv's
newest release of it where pyenv has one, else pythonX.Y on PATH. With
TAVOLIN_NOX_ABI3=1 the module installed is the limited build, the one of the
cp310-abi3 wheel, which every version loads, built from this tree; with
TAVOLIN_NOX_ABI3=<path of such a wheel>, that wheel, the same in every
session. The session checks that the module it imports is the limited one."""
from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import sys

import nox

ROOT = pathlib.Path(__file__).resolve().parent
REQUIREMENTS = ROOT / "requirements" / "test.txt"
VERSIONS = ["3.10", "3.11", "3.12", "3.13", "3.14", "3.15"]

nox.options.default_venv_backend = "venv"
nox.options.download_python = "never"
nox.options.reuse_venv = "yes"
nox.options.sessions = [f"tests-{version}" for version in VERSIONS]


def pyenv_versions() -> pathlib.Path | None:
    if shutil.which("pyenv"):
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
    else:
        root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    versions = pathlib.Path(root) / "versions"
    return versions if versions.is_dir() else None


def interpreters() -> dict[str, str]:
    """The interpreter of each version: the absolute path of pyenv's newest
    release where pyenv has one, else the version itself (nox then looks for
    pythonX.Y on PATH)."""
    found = {version: version for version in VERSIONS}
    versions = pyenv_versions()
    newest: dict[str, int] = {}
    for entry in versions.iterdir() if versions else ():
        parts = entry.name.split(".")
        if len(parts) != 3 or not all(p.isdigit() for p in parts):
            continue
        version, patch = ".".join(parts[:2]), int(parts[2])
        python = entry / "bin" / f"python{version}"
        if version in found and python.exists() and patch > newest.get(version, -1):
            newest[version] = patch
            found[version] = str(python)
    return found


ABI3 = os.environ.get("TAVOLIN_NOX_ABI3", "")
ABI3 = "" if ABI3 == "0" else ABI3
# What pip passes scikit-build-core for the limited build: the wheel's tag
# (cp310-abi3), which also turns TAVOLIN_LIMITED_API on.
ABI3_SETTINGS = ["--config-settings=wheel.py-api=cp310",
                 "--config-settings=cmake.define.TAVOLIN_LIMITED_API=ON"]


def module_to_install() -> list[str]:
    """pip's arguments for the module: this tree (per-version or limited
    build), or the wheel TAVOLIN_NOX_ABI3 names."""
    if ABI3.endswith(".whl"):
        return ["--force-reinstall", "--no-deps", str(pathlib.Path(ABI3).resolve())]
    return [str(ROOT), *(ABI3_SETTINGS if ABI3 else [])]


def run_suite(session: nox.Session) -> None:
    session.install("-r", str(REQUIREMENTS))
    env = {"PYTHONPATH": "", "TAVOLIN_SOURCE_DIR": str(ROOT)}
    if shutil.which("ccache"):
        env.update(CMAKE_CXX_COMPILER_LAUNCHER="ccache",
                   CCACHE_DIR=os.environ.get("CCACHE_DIR", str(ROOT / "build-interp" / "ccache")))
    session.install(*module_to_install(), env=env)
    suffix = "'.abi3.so'" if ABI3 else "sysconfig.get_config_var('EXT_SUFFIX')"
    session.run("python", "-c", "import sys, sysconfig, tavolin_native_backend as m; "
                "assert m.__file__.startswith(sys.prefix), m.__file__; "
                f"assert m.__file__.endswith({suffix}), m.__file__; "
                "print('testing', m.__file__)",
                env=env)
    session.run("python", "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider",
                str(ROOT / "tests" / "python"), *session.posargs, env=env)


def suite_session(version: str, python: str) -> None:
    def tests(session: nox.Session) -> None:
        run_suite(session)
    tests.__doc__ = f"The Python suite against the module installed in {version}'s environment."
    nox.session(name=f"tests-{version}", python=python)(tests)


for _version, _python in interpreters().items():
    suite_session(_version, _python)


@nox.session(name="tests-system", python="/usr/bin/python3")
def tests_system(session: nox.Session) -> None:
    """The same for Debian's python3."""
    run_suite(session)


@nox.session(name="tests-interpreter", python=os.environ.get("TAVOLIN_NOX_PYTHON", "python3"))
def tests_interpreter(session: nox.Session) -> None:
    """The same for the interpreter at $TAVOLIN_NOX_PYTHON."""
    run_suite(session)


@nox.session(name="wheels", python=False)
def wheels(session: nox.Session) -> None:
    """The wheels into dist/, each checked installed (scripts/build_wheels.py:
    arguments after -- go to it, e.g. `-- --arch aarch64 cp313`)."""
    session.run(sys.executable, str(ROOT / "scripts" / "build_wheels.py"), *session.posargs,
                external=True)
