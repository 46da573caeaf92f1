"""A/B of two builds of the module on one interpreter: the per-version build
(the interpreter's own extension tag, with its inline macros) against the
limited build (`-DTAVOLIN_LIMITED_API=ON`, `tavolin_native_backend.abi3.so`,
the stable ABI only), over the calls of the decision, frame and identity
benchmarks.

Both shared objects are loaded into this one process (each is its own
module object with its own state) and every case times the two in
alternating rounds (A B, B A, A B, ...), best round of each: a change of
load elsewhere on the machine hits both alike. The decision and frame cases
run in the calling thread and are timed in its CPU time (time.thread_time),
which time spent waiting for a core on a loaded machine does not inflate;
the identity cases use a helper thread or the pool and are timed in wall
time. Each row's ratio is the limited build's time over the per-version
build's (lower is better); the target is < 1.1x, within 10%. The decision
cases are bench_decisions.py's, per call; the frame cases bench_files.py's
frame records and frame numbers; the identity cases bench_identity.py's
4 KiB files one by one and in batches, and a plain and a container file
large enough that the binding's share is nil (page-cached files under /tmp,
removed afterwards).

Run: <python> bench/ab_builds.py PER_VERSION_DIR LIMITED_DIR [--rounds N]
[--only decisions,frames,identity] [--rows PATH], each DIR holding one
tavolin_native_backend*.so (a build's python/ folder, or an unpacked wheel),
e.g.

    cmake -S . -B build-ab-ver -DPython3_EXECUTABLE=$PY -DTAVOLIN_TESTS=OFF
    cmake -S . -B build-ab-abi3 -DPython3_EXECUTABLE=$PY -DTAVOLIN_TESTS=OFF \\
        -DTAVOLIN_LIMITED_API=ON
    cmake --build build-ab-ver -j2 && cmake --build build-ab-abi3 -j2
    $PY bench/ab_builds.py build-ab-ver/python build-ab-abi3/python

The interpreter needs the test stack (cryptography, for the container)."""
from __future__ import annotations

import functools
import gc
import glob
import importlib.machinery
import importlib.util
import os
import pathlib
import shutil
import sys
import tempfile
import time
import timeit

HERE = pathlib.Path(__file__).resolve().parent
import harness

NAME = "tavolin_native_backend"
TARGET = 1.1


def load(directory: str):
    """The module of the one tavolin_native_backend*.so in `directory`."""
    found = sorted(glob.glob(os.path.join(directory, f"{NAME}*.so")))
    if len(found) != 1:
        raise SystemExit(f"{directory}: expected one {NAME}*.so, found {found}")
    loader = importlib.machinery.ExtensionFileLoader(NAME, found[0])
    origin = importlib.util.spec_from_file_location(NAME, found[0], loader=loader)
    module = importlib.util.module_from_spec(origin)
    loader.exec_module(module)
    return module


def order(count: int, round_number: int) -> list[int]:
    """The sides in turn, first to last in even rounds and last to first in
    odd ones, so that neither build always runs right after the other."""
    sides = list(range(count))
    return sides if round_number % 2 == 0 else sides[::-1]


def cpu_per_call(sides, number: int, rounds: int) -> list[float]:
    """Best CPU seconds of the calling thread per call of each (function,
    arguments) side, `number` calls a round, the sides alternating."""
    timers = [timeit.Timer("f(*a)", globals={"f": fn, "a": args}, timer=time.thread_time)
              for fn, args in sides]
    best = [float("inf")] * len(sides)
    for r in range(rounds):
        for i in order(len(sides), r):
            best[i] = min(best[i], timers[i].timeit(number) / number)
    return best


def cpu_times(sides, rounds: int) -> list[float]:
    """Best CPU seconds of the calling thread of one call of each side (work
    of a millisecond or more), the sides alternating; as harness.best_times,
    a full collection before each call and the result freed after."""
    best = [float("inf")] * len(sides)
    for r in range(rounds):
        for i in order(len(sides), r):
            fn = sides[i]
            gc.collect()
            start = time.thread_time()
            result = fn()
            elapsed = time.thread_time() - start
            del result
            best[i] = min(best[i], elapsed)
    return best


def row(benchmark: str, label: str, unit: str, scale: float, t_a: float, t_b: float):
    values = f"per-version {t_a * scale:.1f} {unit}, abi3 {t_b * scale:.1f} {unit}"
    return harness.result(benchmark, label, values, t_b / t_a, under=TARGET,
                          ratio_means="the abi3 build's time over the per-version build's")


# -------------------------------------------------------------- decisions
def decisions(a, b, rounds: int, number: int = 100_000) -> list[harness.Row]:
    import bench_decisions
    rows = []
    for name, native, _python, args in bench_decisions.CASES:
        fa, fb = getattr(a, name), getattr(b, name)
        assert fa(*args) == fb(*args) == native(*args), name
        t_a, t_b = cpu_per_call([(fa, args), (fb, args)], number, rounds)
        rows.append(row("decisions", name, "ns/call (CPU)", 1e9, t_a, t_b))
    return rows


# ----------------------------------------------------------------- frames
def frames(a, b, rounds: int) -> list[harness.Row]:
    n = 1_000_000
    paths = [f"/data/videos/0042/frames/frame_{i:07d}.jpg" for i in range(1, n + 1)]
    names = [name for _, name in a.build_expected_frame_records(n)]

    def many(module, calls=1000, size=1000):
        def go():
            for _ in range(calls):
                module.build_expected_frame_records(size)
        return go

    cases = [
        ("build_expected_frame_records(1_000_000)",
         lambda m: functools.partial(m.build_expected_frame_records, n)),
        ("build_frame_records(1_000_000 paths)",
         lambda m: functools.partial(m.build_frame_records, paths)),
        ("parse_extracted_frame_numbers(1_000_000)",
         lambda m: functools.partial(m.parse_extracted_frame_numbers, names)),
        ("build_expected_frame_records(1_000) x 1_000", many),
    ]
    rows = []
    for label, side in cases:
        assert side(a)() == side(b)(), label
        t_a, t_b = cpu_times([side(a), side(b)], rounds)
        rows.append(row("frames", label, "ms (CPU)", 1e3, t_a, t_b))
    return rows


# --------------------------------------------------------------- identity
def identity(a, b, rounds: int) -> list[harness.Row]:
    import bench_identity as bi
    mib = bi.MIB
    root = tempfile.mkdtemp(prefix="ab_identity_", dir="/tmp")
    try:
        folder = os.path.join(root, "small")
        os.mkdir(folder)
        small = []
        for i in range(bi.SMALL_FILES):
            path = os.path.join(folder, f"f{i:05d}")
            with open(path, "wb") as f:
                f.write(os.urandom(4096))
            small.append(path)
        plain = os.path.join(root, "plain.bin")
        bi.write_random(plain, 256 * mib)
        sealed = os.path.join(root, "sealed.bin")
        bi.write_container_streaming(sealed, 128 * mib, mib)
        for path in [*small, plain, sealed]:
            bi.warm(path)
        pools = {id(m): (m.BatchProcessor(1), m.BatchProcessor(2)) for m in (a, b)}
        per_file = 1e6 / len(small)
        cases = [
            ("(c) stable_file_identity, 10,000 x 4 KiB one by one", "us a file", per_file,
             lambda m: lambda: [m.stable_file_identity(p) for p in small]),
            ("(c) BatchProcessor(1), 10,000 x 4 KiB", "us a file", per_file,
             lambda m: functools.partial(pools[id(m)][0].stable_file_identities, small)),
            ("(c) BatchProcessor(2), 10,000 x 4 KiB", "us a file", per_file,
             lambda m: functools.partial(pools[id(m)][1].stable_file_identities, small)),
            ("(a) plain identity, 256 MiB file", "ms", 1e3,
             lambda m: functools.partial(m.stable_file_identity, plain)),
            ("(b) container identity, 128 MiB plaintext", "ms", 1e3,
             lambda m: functools.partial(m.stable_file_identity, sealed, master_keys=[bi.KEY])),
        ]
        rows = []
        for label, unit, scale, side in cases:
            assert side(a)() == side(b)(), label
            t_a, t_b = harness.best_times([side(a), side(b)], rounds)
            rows.append(row("identity", label, unit, scale, t_a, t_b))
        return rows
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main() -> int:
    args, rows_path = harness.arguments()
    rounds = 7
    if "--rounds" in args:
        at = args.index("--rounds")
        rounds = int(args[at + 1])
        del args[at:at + 2]
    steps = {"decisions": functools.partial(decisions, rounds=3 * rounds),
             "frames": functools.partial(frames, rounds=rounds),
             "identity": functools.partial(identity, rounds=rounds)}
    if "--only" in args:
        at = args.index("--only")
        steps = {name: steps[name] for name in args[at + 1].split(",")}
        del args[at:at + 2]
    if len(args) != 2:
        raise SystemExit(__doc__)
    a, b = load(args[0]), load(args[1])
    if not b.__file__.endswith(".abi3.so") or a.__file__.endswith(".abi3.so"):
        raise SystemExit(f"expected a per-version build, then a limited one: {a.__file__}, "
                         f"{b.__file__}")
    # The benchmark scripts import the module by name: they get A.
    sys.modules[NAME] = a
    load_at_start = os.getloadavg()[0]
    print(f"{sys.version.split()[0]}: A {a.__file__}\n    B {b.__file__}\n"
          f"load average {load_at_start:.2f} on {os.cpu_count()} CPUs",
          flush=True)
    rows = harness.run([functools.partial(step, a, b) for step in steps.values()], rows_path)
    intro = (f"A/B of the two builds on CPython {sys.version.split()[0]} in one process "
             f"(`bench/ab_builds.py`, alternating rounds, best of each: {3 * rounds} of "
             f"100,000 calls a decision, {rounds} a frame or identity case). Load "
             f"average {load_at_start:.2f} at the start and {os.getloadavg()[0]:.2f} at the end, "
             f"on {os.cpu_count()} CPUs.")
    print("\n" + harness.markdown(rows, intro))
    return 0


if __name__ == "__main__":
    sys.exit(main())
