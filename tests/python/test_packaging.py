"""The typing stub matches the module; the project builds and installs the way
Python's packages do: `pip install .`, `pip install -e .` (which picks up a
changed source when rebuilt) and `python -m build` (an sdist, made without git,
and a wheel made from it). The build tests are marked builds_from_source: they
need the source tree and a compiler, which the wheel checks do not have."""
import email.parser
import os
import shutil
import stat
import subprocess
import sys
import sysconfig
import tarfile
import textwrap
import zipfile

import pytest

import tavolin_native_backend

ROOT = os.environ.get("TAVOLIN_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODULE_DIR = os.path.dirname(tavolin_native_backend.__file__)
STUB = os.path.join(MODULE_DIR, "tavolin_native_backend.pyi")
BUILD_TIMEOUT = 900
# The module under test is either installed (a wheel, an environment) or in a
# build folder; type checkers find the stub of the installed one by themselves.
INSTALLED = MODULE_DIR in {sysconfig.get_paths()["purelib"], sysconfig.get_paths()["platlib"]}
builds_from_source = pytest.mark.builds_from_source


def test_stub_is_generated_beside_the_module():
    with open(STUB) as f:
        text = f.read()
    assert "class BatchProcessor:" in text
    assert "def decrypt_encrypted_file_range(path: _Path, master_key: bytes, start: int, " \
           "end: int) -> bytes: ..." in text
    assert "def build_frame_records(paths: Sequence[str], *, relative_to: str | None = ..., " \
           "zero_based: bool = ...) -> list[tuple[int, str]]: ..." in text
    assert '"""Ordered rules shared by native state derivation and SQL aggregation."""' in text


# mypy keeps its cache in files, not in an SQLite database: the stub is
# checked the same on an interpreter built without the sqlite3 module.
NO_SQLITE_CACHE = "[mypy]\nsqlite_cache = False\n"


def mypy_env() -> dict:
    env = dict(os.environ)
    if not INSTALLED:
        env.update(PYTHONPATH=MODULE_DIR, MYPYPATH=MODULE_DIR)
    return env


def test_stubtest_passes_against_the_built_module(tmp_path):
    env = mypy_env()
    config = tmp_path / "mypy.ini"
    config.write_text(NO_SQLITE_CACHE)
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config),
                          "tavolin_native_backend"],
                         capture_output=True, text=True, env=env, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr


def test_mypy_checks_callers_against_the_stub(tmp_path):
    sample = tmp_path / "caller.py"
    sample.write_text(textwrap.dedent("""
        import tavolin_native_backend as m
        state: str = m.transition_service_lifecycle("stopped", "start_requested")
        import pathlib
        size: int = m.stable_file_identity(pathlib.Path("/etc/hostname"))[0]
        sizes = m.BatchProcessor(1).stable_file_identities(["/etc/hostname"], master_keys=[b"k"])
        wrong: int = m.render_single_page_pdf("x")
    """))
    env = mypy_env()
    out = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir=/dev/null",
                          "--no-sqlite-cache", str(sample)],
                         capture_output=True, text=True, env=env, timeout=300)
    assert out.returncode == 1, out.stdout
    errors = [line for line in out.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and "caller.py:7" in errors[0] and '"bytes"' in errors[0], out.stdout


# ---------------------------------------------------------------- building

def pyproject() -> dict:
    try:
        import tomllib
    except ImportError:  # 3.10
        import tomli as tomllib
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        return tomllib.load(f)


def copy_sources(target) -> str:
    """The tracked kinds of files of the tree, without git and build output:
    what a user unpacks from an archive."""
    ignore = shutil.ignore_patterns(".git", "build*", "dist", ".nox", ".venv*", "__pycache__")
    shutil.copytree(ROOT, target, ignore=ignore)
    return str(target)


def clean_env() -> dict:
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    return env


def make_venv(path, see_running_environment=False) -> str:
    """A fresh virtual environment of the running interpreter; optionally one
    that also sees the running environment's packages (the build tools the
    offline route needs), through a .pth file."""
    subprocess.run([sys.executable, "-m", "venv", str(path)], check=True, timeout=300)
    python = os.path.join(str(path), "bin", "python")
    if see_running_environment:
        site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                              check=True, capture_output=True, text=True).stdout.strip()
        paths = {sysconfig.get_paths()["purelib"], sysconfig.get_paths()["platlib"]}
        with open(os.path.join(site, "running_environment.pth"), "w") as f:
            f.write("\n".join(sorted(paths)) + "\n")
    return python


def probe(python, cwd, expression) -> str:
    code = ("import sys, tavolin_native_backend as m; print(m.__file__); print(%s)" % expression)
    out = subprocess.run([python, "-c", code], capture_output=True, text=True, env=clean_env(),
                         cwd=str(cwd), timeout=300)
    assert out.returncode == 0, out.stderr
    return out.stdout


@builds_from_source
def test_pip_install_with_build_isolation(tmp_path):
    python = make_venv(tmp_path / "venv")
    out = subprocess.run([python, "-m", "pip", "install", "-q", ROOT], capture_output=True,
                         text=True, env=clean_env(), timeout=BUILD_TIMEOUT)
    assert out.returncode == 0, out.stdout + out.stderr
    where, token = probe(python, tmp_path, "m.transition_operation_lifecycle('queued', 'claim')").split()
    assert where.startswith(str(tmp_path / "venv") + os.sep) and token == "claimed"
    site = os.path.dirname(where)
    assert os.path.isfile(os.path.join(site, "tavolin_native_backend.pyi"))
    assert os.path.isfile(os.path.join(site, "tavolin_native_backend-stubs", "__init__.pyi"))


@builds_from_source
def test_editable_install_offline_picks_up_a_changed_source(tmp_path):
    """The offline route (the build tools already installed, no index), in
    editable mode: after a source file changes, installing again rebuilds the
    module in its build folder and the environment imports the new one."""
    src = copy_sources(tmp_path / "src")
    python = make_venv(tmp_path / "venv", see_running_environment=True)
    install = [python, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-index",
               "--no-deps", "--config-settings=build-dir=build/editable", "-e", src]
    code = ("import tavolin_native_backend as m\ntry:\n    m.transition_service_lifecycle("
            "'nowhere', 'start_requested')\nexcept ValueError as e:\n    print(e)")

    def installed_message() -> tuple[str, str]:
        out = subprocess.run(install, capture_output=True, text=True, env=clean_env(),
                             timeout=BUILD_TIMEOUT)
        assert out.returncode == 0, out.stdout + out.stderr
        ran = subprocess.run([python, "-c", "import tavolin_native_backend as m; print(m.__file__)\n"
                              + code], capture_output=True, text=True, env=clean_env(),
                             cwd=str(tmp_path), timeout=300)
        assert ran.returncode == 0, ran.stderr
        where, text = ran.stdout.splitlines()
        return where, text

    where, before = installed_message()
    assert before == "unsupported service lifecycle state: nowhere"
    messages = os.path.join(src, "src", "common", "messages.hpp")
    with open(messages) as f:
        text = f.read()
    assert '" lifecycle state: "' in text
    with open(messages, "w") as f:
        f.write(text.replace('" lifecycle state: "', '" lifecycle state (changed): "'))
    where_after, after = installed_message()
    assert after == "unsupported service lifecycle state (changed): nowhere"
    assert where_after == where and not where.startswith(MODULE_DIR + os.sep)


@builds_from_source
def test_python_m_build_makes_an_sdist_without_git_and_a_wheel_from_it(tmp_path):
    src = copy_sources(tmp_path / "src")
    assert not os.path.exists(os.path.join(src, ".git"))
    out = subprocess.run([sys.executable, "-m", "build", "--outdir", str(tmp_path / "dist"), src],
                         capture_output=True, text=True, env=clean_env(), timeout=BUILD_TIMEOUT)
    assert out.returncode == 0, out.stdout[-4000:] + out.stderr[-4000:]
    project = pyproject()["project"]
    version = project["version"]
    built = sorted(os.listdir(tmp_path / "dist"), key=lambda name: name.endswith(".whl"))
    tag = "cp%d%d" % sys.version_info[:2]
    assert len(built) == 2 and built[0] == f"tavolin_native_backend-{version}.tar.gz", built
    assert built[1].startswith(f"tavolin_native_backend-{version}-{tag}-{tag}-"), built

    with tarfile.open(tmp_path / "dist" / built[0]) as sdist:
        names = {n.split("/", 1)[1] for n in sdist.getnames() if "/" in n}
        metadata = sdist.extractfile(f"tavolin_native_backend-{version}/PKG-INFO").read()
    assert {"pyproject.toml", "CMakeLists.txt", "src/module/module.cpp", "tools/stubgen.cpp",
            "tests/python/test_packaging.py"} <= names
    assert not [n for n in names if n.startswith(("build", "dist/", ".nox/", ".git/"))]

    with zipfile.ZipFile(tmp_path / "dist" / built[1]) as wheel:
        infos = wheel.infolist()
        dist_info = f"tavolin_native_backend-{version}.dist-info"
        wheel_metadata = wheel.read(f"{dist_info}/METADATA")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert {i.filename for i in infos} == {
        "tavolin_native_backend" + suffix, "tavolin_native_backend.pyi",
        "tavolin_native_backend-stubs/__init__.pyi",
        f"{dist_info}/METADATA", f"{dist_info}/WHEEL", f"{dist_info}/RECORD"}
    for info in infos:
        mode = stat.S_IMODE(info.external_attr >> 16)
        assert mode & 0o644 == 0o644 and not mode & 0o002, (info.filename, oct(mode))

    for raw in (metadata, wheel_metadata):
        fields = email.parser.BytesParser().parsebytes(raw)
        assert fields["Name"] == project["name"] and fields["Version"] == version
        assert fields["Requires-Python"] == project["requires-python"]
        assert fields.get_all("Classifier") == project["classifiers"]
    assert "Programming Language :: Python :: %d.%d" % sys.version_info[:2] in project["classifiers"]
