"""Every task a developer or CI runs. `nox -l` lists them; arguments after --
go to the session's tool (pytest, the fuzz time, scripts/build_wheels.py).

    nox -s tests-3.12                     # pyenv's CPython 3.12: install the module, run the suite
    nox -s tests-3.12 -- -k identity      # arguments after -- go to pytest
    nox -s tests-system                   # Debian's /usr/bin/python3
    TAVOLIN_NOX_PYTHON=/usr/bin/python3.14d nox -s tests-interpreter
    TAVOLIN_NOX_ABI3=1 nox -s tests-3.10  # the limited build (.abi3.so) instead
    nox -s asan tsan fuzz                 # sanitizer builds and fuzzing (fuzz -- 10: ten seconds)
    nox -s unstable debian13              # the Debian unstable and Debian 13 trees
    nox -s wheels -- cp313                # the wheels (scripts/build_wheels.py)

The supported CPython versions are the classifiers of pyproject.toml; the
pytest options are its [tool.pytest.ini_options].

Each tests-* session's environment (.nox/<session>) holds the test stack pinned
in requirements/test.txt, from the package index, and the module built from
this tree with `pip install .` (default build isolation); the suite then
imports the installed module, never a build folder. Each version's interpreter
is pyenv's newest release of it where pyenv has one, else pythonX.Y on PATH.
With TAVOLIN_NOX_ABI3=1 the module installed is the limited build, the one of
the cp310-abi3 wheel, which every version loads, built from this tree; with
TAVOLIN_NOX_ABI3=<path of such a wheel>, that wheel, the same in every
session. The session checks that the module it imports is the limited one.

The other sessions run in the environment nox itself runs in (.venv, made by
scripts/setup.sh, the first of the README's commands)."""
from __future__ import annotations

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tomllib

import nox

ROOT = pathlib.Path(__file__).resolve().parent
REQUIREMENTS = ROOT / "requirements" / "test.txt"
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())
VERSIONS = [c.rsplit(" :: ", 1)[1] for c in PYPROJECT["project"]["classifiers"]
            if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)]

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


def pyenv_interpreters() -> dict[str, str]:
    """pyenv's newest release of each supported version it has."""
    found: dict[str, str] = {}
    newest: dict[str, int] = {}
    versions = pyenv_versions()
    for entry in versions.iterdir() if versions else ():
        parts = entry.name.split(".")
        if len(parts) != 3 or not all(p.isdigit() for p in parts):
            continue
        version, patch = ".".join(parts[:2]), int(parts[2])
        python = entry / "bin" / f"python{version}"
        if version in VERSIONS and python.exists() and patch > newest.get(version, -1):
            newest[version] = patch
            found[version] = str(python)
    return found


PYENV = pyenv_interpreters()
# With ccache, every build keeps its compilations in ccache's own cache outside
# the clone (as scripts/build.sh does): the cores, the same for every
# interpreter, are compiled once; paths below the clone are hashed relative to it.
CCACHE = ({"CMAKE_CXX_COMPILER_LAUNCHER": "ccache", "CCACHE_BASEDIR": str(ROOT),
           "CCACHE_NOHASHDIR": "1"} if shutil.which("ccache") else {})
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
    env.update(CCACHE)
    session.install(*module_to_install(), env=env)
    suffix = "'.abi3.so'" if ABI3 else "sysconfig.get_config_var('EXT_SUFFIX')"
    session.run("python", "-c", "import sys, sysconfig, tavolin_native_backend as m; "
                "assert m.__file__.startswith(sys.prefix), m.__file__; "
                f"assert m.__file__.endswith({suffix}), m.__file__; "
                "print('testing', m.__file__)",
                env=env)
    session.run("python", "-m", "pytest", str(ROOT / "tests" / "python"), *session.posargs,
                env=env)


def suite_session(version: str, python: str) -> None:
    def tests(session: nox.Session) -> None:
        run_suite(session)
    tests.__doc__ = f"The Python suite against the module installed in {version}'s environment."
    # Tagged "pyenv" where pyenv has the version: `nox -t pyenv` runs those.
    nox.session(name=f"tests-{version}", python=python,
                tags=["pyenv"] if version in PYENV else [])(tests)


for _version in VERSIONS:
    suite_session(_version, PYENV.get(_version, _version))


@nox.session(name="tests-system", python="/usr/bin/python3")
def tests_system(session: nox.Session) -> None:
    """The same for Debian's python3."""
    run_suite(session)


@nox.session(name="tests-interpreter", python=os.environ.get("TAVOLIN_NOX_PYTHON", "python3"))
def tests_interpreter(session: nox.Session) -> None:
    """The same for the interpreter at $TAVOLIN_NOX_PYTHON."""
    run_suite(session)


def cmake_build(session: nox.Session, build: pathlib.Path, *defines: str,
                target: str | None = None) -> None:
    session.run("cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                f"-DPython3_EXECUTABLE={sys.executable}", *defines, external=True, silent=True,
                env=CCACHE)
    session.run("cmake", "--build", str(build), f"-j{os.cpu_count()}",
                *(["--target", target] if target else []), external=True, env=CCACHE)


@nox.session(python=False)
def asan(session: nox.Session) -> None:
    """Every native test and the Python suite under ASan and UBSan.

    The module and the native tests are built with AddressSanitizer and
    UndefinedBehaviorSanitizer; the Python suite runs with their runtime
    preloaded, leak detection off for the interpreter itself."""
    build = ROOT / "build-asan"
    cmake_build(session, build, "-DTAVOLIN_SANITIZE=address,undefined")
    ubsan = "print_stacktrace=1:halt_on_error=1"
    session.log("native tests under ASan+UBSan")
    session.run(str(build / "native_tests"), "--gtest_brief=1", external=True,
                env={"ASAN_OPTIONS": "detect_leaks=1", "UBSAN_OPTIONS": ubsan})
    session.log("python tests under ASan+UBSan")
    runtimes = [subprocess.run(["g++", f"-print-file-name={name}"], capture_output=True,
                               text=True, check=True).stdout.strip()
                for name in ("libasan.so", "libubsan.so")]
    session.run(sys.executable, "-m", "pytest", str(ROOT / "tests" / "python"),
                "-m", "not builds_from_source", "-k", "not stubtest and not mypy",
                *session.posargs, external=True,
                env={"LD_PRELOAD": ":".join(runtimes), "UBSAN_OPTIONS": ubsan,
                     "ASAN_OPTIONS": "detect_leaks=0:allocator_may_return_null=1",
                     "PYTHONPATH": str(build / "python"), "TAVOLIN_SOURCE_DIR": str(ROOT),
                     "TAVOLIN_SANITIZED": "1"})


# The native tests of the worker pool, concurrent identities, the read-ahead
# and stopping calls.
TSAN_FILTER = ("BatchPool*:StableIdentity*:Reader*:Retry*:Snapshot*:Interrupt*:IdentityHelper*:"
               "IdentityReadAhead*:ReadAhead*")


@nox.session(python=False)
def tsan(session: nox.Session) -> None:
    """The threaded native tests under ThreadSanitizer (-- FILTER: another).

    A gtest filter after -- replaces the default one."""
    build = ROOT / "build-tsan"
    cmake_build(session, build, "-DTAVOLIN_SANITIZE=thread", target="native_tests")
    session.run(str(build / "native_tests"), "--gtest_brief=1",
                f"--gtest_filter={session.posargs[0] if session.posargs else TSAN_FILTER}",
                external=True, env={"TSAN_OPTIONS": "halt_on_error=1 second_deadlock_stack=1"})


@nox.session(python=False)
def fuzz(session: nox.Session) -> None:
    """Each libFuzzer target, ASan+UBSan, for 60 s (-- N: N seconds).

    New corpus entries go to build-fuzz/corpus/<target>, crashing inputs to
    build-fuzz/artifacts/<target>/; a finding fails the session."""
    seconds = session.posargs[0] if session.posargs else "60"
    build = ROOT / "build-fuzz"
    cmake_build(session, build, "-DTAVOLIN_FUZZ=ON", "-DTAVOLIN_TESTS=OFF",
                "-DTAVOLIN_SANITIZE=address,undefined", target="fuzzers")
    # The public JSON parsing suite kept in the test data: extra header inputs.
    json_suite = ROOT / "tests" / "data" / "json-test-suite" / "test_parsing"
    failed = []
    for source in sorted((ROOT / "fuzz").glob("*_fuzz.cpp")):
        target = source.stem.removesuffix("_fuzz")
        corpus, artifacts = build / "corpus" / target, build / "artifacts" / target
        corpus.mkdir(parents=True, exist_ok=True)
        artifacts.mkdir(parents=True, exist_ok=True)
        extra = [str(json_suite)] if target == "header" and json_suite.is_dir() else []
        session.log(f"fuzzing {target} for {seconds}s")
        log = build / f"{target}.log"
        with log.open("w") as out:
            code = subprocess.run(
                [build / "fuzz" / f"{target}_fuzzer", f"-max_total_time={seconds}", "-timeout=10",
                 "-rss_limit_mb=2048", "-max_len=200000", "-print_final_stats=1",
                 f"-dict={ROOT / 'fuzz' / f'{target}.dict'}", f"-artifact_prefix={artifacts}/",
                 corpus, ROOT / "fuzz" / "seeds" / target, *extra],
                stderr=out, env={**os.environ, "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1",
                                 "ASAN_OPTIONS": "allocator_may_return_null=1:detect_leaks=1"}
            ).returncode
        stats = [line for line in log.read_text(errors="replace").splitlines()
                 if line.startswith(("stat::number_of_executed_units", "stat::new_units_added"))]
        session.log(" ".join(stats))
        if code:
            failed.append(f"{target} (see {log} and {artifacts})")
    if failed:
        session.error(f"found a problem: {', '.join(failed)}")


@nox.session(python=False)
def unstable(session: nox.Session) -> None:
    """The suite in a Debian unstable tree, for the versions pyenv lacks.

    Those are 3.14 and 3.15 today, plus the debug build of the oldest of
    them (scripts/run_unstable_tests.sh)."""
    session.run(str(ROOT / "scripts" / "run_unstable_tests.sh"),
                *[v for v in VERSIONS if v not in PYENV], external=True)


@nox.session(python=False)
def debian13(session: nox.Session) -> None:
    """The README's two commands from a clean clone in a Debian 13 tree.

    scripts/run_debian13_check.sh; -- --fresh starts from a bare tree."""
    session.run(str(ROOT / "scripts" / "run_debian13_check.sh"), *session.posargs, external=True)


@nox.session(python=False)
def wheels(session: nox.Session) -> None:
    """The wheels into dist/, each checked installed where it runs.

    Arguments after -- go to scripts/build_wheels.py, e.g. -- --arch aarch64
    cp313."""
    session.run(sys.executable, str(ROOT / "scripts" / "build_wheels.py"), *session.posargs,
                external=True, env={"TAVOLIN_PYENV": os.pathsep.join(
                    f"{v}={p}" for v, p in PYENV.items())})


@nox.session(python=False)
def bench(session: nox.Session) -> None:
    """Every benchmark, with its table (bench/run_all.py; -- --quick: fewer)."""
    session.run(str(ROOT / "scripts" / "build.sh"), external=True)
    session.run(sys.executable, str(ROOT / "bench" / "run_all.py"), *session.posargs,
                external=True, env={"PYTHONPATH": str(ROOT / "build" / "python")})
