"""The installed wheel's range read, measured in one run.

The wheel (TAVOLIN_BENCH_WHEEL, by default the newest wheel in dist/ for this
interpreter and machine) is installed into a virtual environment of this
interpreter; the module this run imports (PYTHONPATH=build/python: the
system's libcrypto, or an unpacked older wheel) is the other side. Each side
reads 8 MiB ranges of a page-cached 16 MiB container with 1 MiB chunks in a
process of its own (CPU time per call is that process's), in three
alternating rounds; best rate of each.

(a) The wheel, per CPU second, against its limit (target: at least 0.85x):
    the page-cache read of the same ranges and AES-256-GCM at the rate of
    `openssl speed -evp aes-256-gcm -decrypt -bytes 16384 -seconds 2` of the
    OpenSSL version the wheel links in, one after the other (see
    bench_container.py (a)). That `openssl` is the local one when its
    version is the wheel's, else the `openssl` of the Debian tree
    TAVOLIN_BENCH_OPENSSL_TREE (by default the Debian 13 tree of
    scripts/debian_tree.sh, run there with chroot).
(b) The wheel against the module of this run, per CPU second (no target: the
    figures say what the wheel's toolchain and libcrypto change).
"""
from __future__ import annotations

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
import harness
import limits

MiB = 1024 * 1024
SPAN = 8 * MiB
BENCHMARK = "wheel"
CHILD = r'''
import json, sys, time
sys.path.insert(0, sys.argv[1])
import harness
import tavolin_native_backend as m
path, key, starts = sys.argv[2], bytes.fromhex(sys.argv[3]), json.loads(sys.argv[4])
span = int(sys.argv[5])
assert m.decrypt_encrypted_file_range(path, key, 0, span - 1)
position = [0]
def one():
    s = starts[position[0] % len(starts)]
    position[0] += 1
    m.decrypt_encrypted_file_range(path, key, s, s + span - 1)
calls, wall, cpu = harness.calls_in(one, 1.5)
print(json.dumps({"file": m.__file__, "rate": calls * span / cpu}))
'''


def wheel_path() -> pathlib.Path | None:
    given = os.environ.get("TAVOLIN_BENCH_WHEEL")
    if given:
        return pathlib.Path(given)
    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    found = sorted((ROOT / "dist").glob(f"tavolin_native_backend-*-{tag}-*{os.uname().machine}.whl"),
                   key=lambda p: p.stat().st_mtime)
    return found[-1] if found else None


def install(wheel: pathlib.Path, directory: str) -> pathlib.Path:
    venv = pathlib.Path(directory) / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(venv)], check=True)
    purelib = subprocess.run([str(venv / "bin" / "python"), "-c",
                              "import sysconfig; print(sysconfig.get_paths()['platlib'])"],
                             capture_output=True, text=True, check=True).stdout.strip()
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--no-index",
                    "--disable-pip-version-check", "--target", purelib, str(wheel)], check=True)
    return venv / "bin" / "python"


def linked_openssl(python: pathlib.Path) -> str:
    """The OpenSSL version inside the installed module ("3.5.9")."""
    file = subprocess.run([str(python), "-c", "import tavolin_native_backend as m; print(m.__file__)"],
                          capture_output=True, text=True, check=True, env=clean_env()).stdout.strip()
    # libcrypto's providers carry its version as a string of its own.
    found = set(re.findall(rb"\0([3-9]\.\d+\.\d+)\0", pathlib.Path(file).read_bytes()))
    if len(found) != 1:
        raise SystemExit(f"{file}: not one OpenSSL version inside ({found}; not a static build?)")
    return found.pop().decode()


def clean_env() -> dict:
    return {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}


def openssl_command(version: str) -> list[str]:
    """An `openssl` of the given version (major.minor): the local one or the
    Debian tree's, run there."""
    local = shutil.which("openssl")
    if local:
        out = subprocess.run([local, "version"], capture_output=True, text=True).stdout
        if out.split()[1].rsplit(".", 1)[0] == version.rsplit(".", 1)[0]:
            return [local]
    tree = os.environ.get("TAVOLIN_BENCH_OPENSSL_TREE") or os.path.join(
        os.environ.get("TAVOLIN_TREE_CACHE", "/var/cache/tavolin-trees"), "wheel-debian13")
    command = ["chroot", tree, "/usr/bin/openssl"]
    out = subprocess.run(command + ["version"], capture_output=True, text=True).stdout
    if not out or out.split()[1].rsplit(".", 1)[0] != version.rsplit(".", 1)[0]:
        raise SystemExit(f"no openssl {version} here or in {tree} ({out.strip() or 'none'}); "
                         "scripts/build_wheels.py installs it in the Debian 13 tree")
    return command


def openssl_speed(command: list[str]) -> float:
    out = subprocess.run(command + ["speed", "-mr", "-seconds", "2", "-bytes", "16384", "-evp",
                                    "aes-256-gcm", "-decrypt"],
                         capture_output=True, text=True, check=True).stdout
    line = next(l for l in out.splitlines() if l.startswith("+F:"))
    return float(line.split(":")[3])


def bench_wheel(directory: str) -> list[harness.Row]:
    wheel = wheel_path()
    if wheel is None or not wheel.exists():
        return [harness.Row(BENCHMARK, "(a) the wheel's 8 MiB ranges",
                            "no wheel for this interpreter in dist/ (scripts/build_wheels.py)",
                            status=harness.NO_TARGET)]
    from tavolin_testing import container_writer
    key = bytes(range(32))
    path = os.path.join(directory, "large.qvenc")
    plaintext = os.urandom(16 * MiB)
    container_writer.write_container(path, plaintext, key, MiB)
    with open(path, "rb") as f:
        while f.read(16 * MiB):
            pass
    starts = [0, SPAN]
    wheel_python = install(wheel, directory)
    version = linked_openssl(wheel_python)
    openssl = openssl_command(version)
    sides = {"wheel": (wheel_python, clean_env()), "this run": (pathlib.Path(sys.executable), os.environ)}
    rates: dict[str, list[float]] = {name: [] for name in sides}
    files = {}
    read = limits.page_cache_reader(path, [(s, SPAN) for s in starts])
    read_rates, speeds = [], []
    for _ in range(3):
        for name, (python, env) in sides.items():
            out = subprocess.run([str(python), "-c", CHILD, str(HERE), path, key.hex(),
                                  json.dumps(starts), str(SPAN)], capture_output=True, text=True,
                                 check=True, env=env).stdout
            figures = json.loads(out)
            rates[name].append(figures["rate"])
            file = pathlib.Path(figures["file"])  # named from the clone when it is in it
            files[name] = file.relative_to(ROOT) if file.is_relative_to(ROOT) else file
        calls, _, cpu_time = harness.calls_in(read, 0.5)
        read_rates.append(calls * read() / cpu_time)
        speeds.append(openssl_speed(openssl))
    wheel_bps, other_bps = max(rates["wheel"]), max(rates["this run"])
    speed, read_bps = max(speeds), max(read_rates)
    limit = limits.serial_rate(read_bps, speed)
    return [
        harness.result(
            BENCHMARK, f"(a) {wheel.name}: 8 MiB ranges, 1 MiB chunks, 16 MiB container",
            f"{wheel_bps / 1e9:.3f} GB/s per CPU second; openssl {version} speed "
            f"{speed / 1e9:.3f} GB/s per user CPU second ({' '.join(openssl)}); page-cache read "
            f"{read_bps / 1e9:.2f} GB/s per CPU second, with AES-256-GCM {limit / 1e9:.3f} GB/s; "
            f"{wheel_bps / speed:.2f}x the rate of openssl speed",
            wheel_bps / limit, at_least=0.85,
            ratio_means="its limit's rate (page-cache read + AES-256-GCM decrypt), per CPU second",
            of_limit=wheel_bps / limit,
            limit=f"page-cache read + AES-256-GCM decrypt (OpenSSL {version}), per CPU second"),
        harness.result(
            BENCHMARK, "(b) the wheel against this run's module, same ranges",
            f"wheel {wheel_bps / 1e9:.3f} GB/s, this run's module ({files['this run']}) "
            f"{other_bps / 1e9:.3f} GB/s per CPU second", wheel_bps / other_bps,
            ratio_means="the rate of this run's module"),
    ]


def main() -> int:
    _, rows_path = harness.arguments()
    with tempfile.TemporaryDirectory(prefix="bench_wheel_") as directory:
        harness.run([lambda: bench_wheel(directory)], rows_path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
