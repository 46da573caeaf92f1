"""The typing stub matches the module, and `pip install .` works offline."""
import runpy
import os
import subprocess
import sys
import textwrap

import pytest

import tavolin_native_backend

ROOT = os.environ.get("TAVOLIN_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODULE_DIR = os.path.dirname(tavolin_native_backend.__file__)
STUB = os.path.join(MODULE_DIR, "tavolin_native_backend.pyi")
needs_mypy = pytest.mark.skipif(
    not any(os.path.isdir(os.path.join(p, "mypy")) for p in sys.path if p),
    reason="mypy is not installed for this interpreter (Debian's mypy is built for its python3 only)")


def test_stub_is_generated_beside_the_module():
    with open(STUB) as f:
        text = f.read()
    assert "class BatchProcessor:" in text
    assert "def decrypt_encrypted_file_range(path: _Path, master_key: bytes, start: int, " \
           "end: int) -> bytes: ..." in text
    assert "def build_frame_records(paths: Sequence[str], *, relative_to: str | None = ..., " \
           "zero_based: bool = ...) -> list[tuple[int, str]]: ..." in text
    assert '"""Ordered rules shared by native state derivation and SQL aggregation."""' in text


@needs_mypy
def test_stubtest_passes_against_the_built_module():
    env = dict(os.environ, PYTHONPATH=MODULE_DIR, MYPYPATH=MODULE_DIR)
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tavolin_native_backend"],
                         capture_output=True, text=True, env=env, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr


@needs_mypy
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
    env = dict(os.environ, MYPYPATH=MODULE_DIR)
    out = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir=/dev/null",
                          str(sample)], capture_output=True, text=True, env=env, timeout=300)
    assert out.returncode == 1, out.stdout
    errors = [line for line in out.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and "caller.py:7" in errors[0] and '"bytes"' in errors[0], out.stdout


@pytest.mark.skipif(not os.path.exists(os.path.join(ROOT, "pyproject.toml")),
                    reason="needs the source tree")
def test_pip_install_into_a_virtual_environment(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    env["TAVOLIN_WHEEL_BUILD_DIR"] = str(tmp_path / "build")
    out = subprocess.run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index",
                          "-q", ROOT], capture_output=True, text=True, env=env, timeout=900)
    assert out.returncode == 0, out.stdout + out.stderr
    probe = ("import os, tavolin_native_backend as m; "
             "d = os.path.dirname(m.__file__); "
             "print(d); print(os.path.exists(os.path.join(d, 'tavolin_native_backend.pyi'))); "
             "print(m.transition_operation_lifecycle('queued', 'claim'))")
    out = subprocess.run([python, "-c", probe], capture_output=True, text=True, env=env,
                         cwd=str(tmp_path), timeout=60)
    assert out.returncode == 0, out.stderr
    where, has_stub, token = out.stdout.split()
    assert where.startswith(str(venv)) and has_stub == "True" and token == "claimed"


@pytest.mark.skipif(not os.path.exists(os.path.join(ROOT, "pyproject.toml")),
                    reason="needs the source tree")
def test_wheel_metadata_declares_what_pyproject_declares():
    try:
        import tomllib
    except ImportError:  # 3.10: Debian's tomli comes with the test packages
        import tomli as tomllib
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    backend = runpy.run_path(os.path.join(ROOT, "tools", "tavolin_build.py"))
    lines = backend["METADATA"].splitlines()
    assert f"Version: {project['version']}" in lines
    assert f"Requires-Python: {project['requires-python']}" in lines
    assert [line[len("Classifier: "):] for line in lines if line.startswith("Classifier: ")] \
        == project["classifiers"]
    assert "Programming Language :: Python :: %d.%d" % sys.version_info[:2] \
        in project["classifiers"]
