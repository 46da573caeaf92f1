"""In-tree build backend: `pip install .` drives the project's CMake build and
packs the extension module and its typing stub into a wheel. It needs nothing
beyond the standard library and the build tools installed by scripts/setup.sh,
so it works offline with `--no-build-isolation`."""
from __future__ import annotations

import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile

NAME = "tavolin_native_backend"
DIST = "tavolin_native_backend"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _project_version() -> str:
    """`version` in the [project] table of pyproject.toml, the one place the
    version is written (CMake reads it from there too)."""
    with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as f:
        text = f.read()
    try:
        import tomllib
    except ModuleNotFoundError:  # Python 3.10: the table by hand
        table = re.search(r"^\[project\][ \t]*$(.*?)(?=^[ \t]*\[|\Z)", text, re.M | re.S)
        version = table and re.search(r'^[ \t]*version[ \t]*=[ \t]*"([^"]+)"', table.group(1),
                                      re.M)
        if not version:
            raise RuntimeError("pyproject.toml: no version in the [project] table")
        return version.group(1)
    return tomllib.loads(text)["project"]["version"]


VERSION = _project_version()
# Kept in step with [project] in pyproject.toml (a test compares them).
REQUIRES_PYTHON = ">=3.10"
CLASSIFIERS = [
    "Programming Language :: C++",
    "Programming Language :: Python :: 3",
    "Programming Language :: Python :: 3 :: Only",
    "Programming Language :: Python :: 3.10",
    "Programming Language :: Python :: 3.11",
    "Programming Language :: Python :: 3.12",
    "Programming Language :: Python :: 3.13",
    "Programming Language :: Python :: 3.14",
    "Programming Language :: Python :: 3.15",
    "Programming Language :: Python :: Implementation :: CPython",
    "Operating System :: POSIX :: Linux",
]

METADATA = f"""Metadata-Version: 2.1
Name: tavolin-native-backend
Version: {VERSION}
Summary: Native backend of the video and report application
Requires-Python: {REQUIRES_PYTHON}
""" + "".join(f"Classifier: {c}\n" for c in CLASSIFIERS)


def _tag() -> str:
    impl = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{impl}-{impl}-{platform}"


def _build(build_dir: str) -> tuple[str, str]:
    """Configures and builds the module for the running interpreter; returns
    the paths of the module and of its stub."""
    subprocess.run(
        ["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
         f"-DPython3_EXECUTABLE={sys.executable}", "-DTAVOLIN_TESTS=OFF"],
        check=True, stdout=sys.stderr)
    subprocess.run(
        ["cmake", "--build", build_dir, "-j", str(os.cpu_count() or 1),
         "--target", NAME, "tavolin_stub"],
        check=True, stdout=sys.stderr)
    out = os.path.join(build_dir, "python")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    return os.path.join(out, NAME + suffix), os.path.join(out, NAME + ".pyi")


def _record_line(arcname: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{arcname},sha256={digest},{len(data)}"


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    build_dir = os.environ.get("TAVOLIN_WHEEL_BUILD_DIR") or os.path.join(
        ROOT, f"build-wheel-{sys.version_info.major}{sys.version_info.minor}")
    module, stub = _build(build_dir)
    tag = _tag()
    wheel_name = f"{DIST}-{VERSION}-{tag}.whl"
    dist_info = f"{DIST}-{VERSION}.dist-info"
    files = {
        os.path.basename(module): open(module, "rb").read(),
        os.path.basename(stub): open(stub, "rb").read(),
        f"{dist_info}/METADATA": METADATA.encode(),
        f"{dist_info}/WHEEL": (f"Wheel-Version: 1.0\nGenerator: tavolin_build\n"
                               f"Root-Is-Purelib: false\nTag: {tag}\n").encode(),
    }
    record = [_record_line(name, data) for name, data in files.items()]
    record.append(f"{dist_info}/RECORD,,")
    files[f"{dist_info}/RECORD"] = ("\n".join(record) + "\n").encode()
    path = os.path.join(wheel_directory, wheel_name)
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files.items():
            wheel.writestr(name, data)
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    base = f"{DIST}-{VERSION}"
    path = os.path.join(sdist_directory, base + ".tar.gz")
    tracked = subprocess.run(["git", "-C", ROOT, "ls-files"], check=True, capture_output=True,
                             text=True).stdout.split()
    with tarfile.open(path, "w:gz") as tar:
        for name in tracked:
            tar.add(os.path.join(ROOT, name), arcname=f"{base}/{name}")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = METADATA.encode()
        info.size = len(data)
        with tempfile.TemporaryFile() as f:
            f.write(data)
            f.seek(0)
            tar.addfile(info, f)
    return os.path.basename(path)
