"""When a large identity reads ahead on a helper thread, it must never cost
more than the serial walk: on a host where the process may use one CPU only
(a pod or container limited to one CPU looks like that), with small reads or
small records, and with many callers at once.

Rows (each side timed in a child process of its own, the sides in turn):
- pinned to one CPU, each input: `stable_file_identity` against the same
  identity through `BatchProcessor(1)`, whose worker reads serially; target:
  at most 1.5 times the serial time;
- 16 threads, each hashing its own 64 MiB file with `stable_file_identity`,
  against `BatchProcessor(16)` on the same files; target: at least 0.8 of
  its throughput;
- CPU seconds per GB of a large plain identity, with the helper (a single
  call) and without (`BatchProcessor(1)`), for information.

Usage: PYTHONPATH=build/python python bench/bench_read_ahead.py [--rows PATH]
(TAVOLIN_BENCH_ROUNDS rounds, 3 by default; a side still running after
TAVOLIN_BENCH_TIMEOUT seconds, 300 by default, is stopped and its row says so)."""
from __future__ import annotations

import functools
import json
import os
import subprocess
import sys
import tempfile
import textwrap

import harness
from bench_identity import KEY, warm, write_container_streaming, write_random

MIB = 1 << 20
BENCHMARK = "read-ahead"
# Fewer rounds for a build whose one-CPU figures run to minutes (today's
# figures against an older build's, say).
ROUNDS = int(os.environ.get("TAVOLIN_BENCH_ROUNDS", "3"))
# A side still running after this many seconds is stopped and reported so.
TIMEOUT = float(os.environ.get("TAVOLIN_BENCH_TIMEOUT", "300"))

# The child: times one side on one input, pinned to one CPU when asked;
# prints its wall and CPU seconds and the digest.
CHILD = textwrap.dedent("""
    import json, os, sys, time
    import tavolin_native_backend as m
    case = json.loads(sys.argv[1])
    if case["pin"]:
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    keys = [bytes.fromhex(case["key"])]
    path, chunk = case["path"], case["chunk"]
    serial = m.BatchProcessor(1)
    side = {
        "identity": lambda: m.stable_file_identity(path, chunk, master_keys=keys),
        "serial": lambda: serial.stable_file_identities([path], chunk, master_keys=keys)[0],
    }[case["side"]]
    wall, used = time.perf_counter(), time.process_time()
    result = side()
    print(json.dumps({"wall": time.perf_counter() - wall, "cpu": time.process_time() - used,
                      "digest": result[2]}))
""")

CONCURRENT = textwrap.dedent("""
    import json, sys, threading, time
    import tavolin_native_backend as m
    paths = json.loads(sys.argv[1])
    def threads():
        out = [None] * len(paths)
        def one(i):
            out[i] = m.stable_file_identity(paths[i])
        workers = [threading.Thread(target=one, args=(i,)) for i in range(len(paths))]
        for w in workers: w.start()
        for w in workers: w.join()
        return out
    pool = m.BatchProcessor(len(paths))
    sides = {"threads": threads, "pool": lambda: pool.stable_file_identities(paths)}
    best = {name: float("inf") for name in sides}
    cpu = {}
    for _ in range(int(sys.argv[2])):
        for name, side in sides.items():
            wall, used = time.perf_counter(), time.process_time()
            result = side()
            cpu[name] = time.process_time() - used
            best[name] = min(best[name], time.perf_counter() - wall)
    print(json.dumps({"best": best, "cpu": cpu}))
""")


def child(code: str, argument, *extra: str) -> dict | None:
    """The report of a child, or None when it ran out of time."""
    try:
        done = subprocess.run([sys.executable, "-c", code, json.dumps(argument), *extra],
                              capture_output=True, text=True, timeout=TIMEOUT, check=True)
    except subprocess.TimeoutExpired:
        return None
    return json.loads(done.stdout)


def sides(case: dict) -> dict[str, dict | None]:
    """Each side's best wall time and the CPU seconds of that run, the sides
    in turn in children of their own; None for a side that ran out of time
    (it is not run again)."""
    best: dict[str, dict | None] = {"identity": {"wall": float("inf")},
                                    "serial": {"wall": float("inf")}}
    digests = set()
    for _ in range(ROUNDS):
        for name in best:
            if best[name] is None:
                continue
            out = child(CHILD, dict(case, side=name))
            if out is None:
                best[name] = None
                continue
            digests.add(out["digest"])
            if out["wall"] < best[name]["wall"]:
                best[name] = out
    assert len(digests) <= 1, digests
    return best


def pinned_inputs(folder: str) -> list[tuple[str, str, int]]:
    inputs = []

    def plain(name, size, chunk):
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            write_random(path, size)
        inputs.append((f"plain {size // MIB} MiB, chunk_size {chunk}", path, chunk))

    def sealed(name, size, record):
        path = os.path.join(folder, name)
        write_container_streaming(path, size, record)
        on_disk = os.path.getsize(path) / 1e6
        inputs.append((f"container {on_disk:.3g} MB of {record}-byte records", path, MIB))

    plain("plain64", 64 * MIB, MIB)
    plain("plain64", 64 * MIB, 65536)
    plain("plain6", 6 * MIB, 512)
    sealed("records4k", 16 * MIB, 4096)
    sealed("records1000", 16 * MIB, 1000)
    sealed("records1", 330_000, 1)  # about 7 MB on disk
    return inputs


def pinned_row(label: str, path: str, chunk: int) -> list[harness.Row]:
    warm(path)
    best = sides({"path": path, "chunk": chunk, "key": KEY.hex(), "pin": True})
    if best["serial"] is None:
        return [harness.Row(BENCHMARK, f"one CPU: {label}",
                            f"the serial walk ran over {TIMEOUT:g} s", status=harness.FAILED)]
    serial = best["serial"]["wall"]
    if best["identity"] is None:
        values, ratio = f"identity over {TIMEOUT:g} s (stopped), serial {serial * 1e3:.1f} ms", \
            TIMEOUT / serial
    else:
        identity = best["identity"]["wall"]
        values, ratio = f"identity {identity * 1e3:.1f} ms, serial {serial * 1e3:.1f} ms", \
            identity / serial
    return [harness.result(BENCHMARK, f"one CPU: {label}", values, ratio, under=1.5,
                           ratio_means="identity time / serial time")]


def concurrent_rows(folder: str) -> list[harness.Row]:
    paths = []
    for i in range(16):
        path = os.path.join(folder, f"own{i}")
        write_random(path, 64 * MIB)
        warm(path)
        paths.append(path)
    out = child(CONCURRENT, paths, str(ROUNDS))
    if out is None:
        return [harness.Row(BENCHMARK, "16 concurrent callers vs BatchProcessor(16)",
                            f"ran over {TIMEOUT:g} s", status=harness.FAILED)]
    best = out["best"]
    gb = 16 * 64 * MIB / 1e9
    values = (f"16 threads {gb / best['threads']:.2f} GB/s ({out['cpu']['threads']:.2f} CPU s), "
              f"BatchProcessor(16) {gb / best['pool']:.2f} GB/s ({out['cpu']['pool']:.2f} CPU s)")
    return [harness.result(BENCHMARK, "16 concurrent callers vs BatchProcessor(16)", values,
                           best["pool"] / best["threads"], at_least=0.8,
                           ratio_means="throughput of the threads / of the pool")]


def cpu_rows(folder: str) -> list[harness.Row]:
    path = os.path.join(folder, "large")
    write_random(path, 256 * MIB)
    warm(path)
    best = sides({"path": path, "chunk": MIB, "key": KEY.hex(), "pin": False})
    gb = 256 * MIB / 1e9
    per_gb = {name: best[name]["cpu"] / gb for name in best}
    values = (f"with the helper {per_gb['identity']:.2f} CPU s/GB "
              f"({gb / best['identity']['wall']:.2f} GB/s), serial {per_gb['serial']:.2f} CPU s/GB "
              f"({gb / best['serial']['wall']:.2f} GB/s)")
    return [harness.result(BENCHMARK, "CPU per GB, plain 256 MiB", values,
                           per_gb["identity"] / per_gb["serial"],
                           ratio_means="CPU with the helper / serial")]


def main() -> None:
    _, rows_path = harness.arguments()
    with tempfile.TemporaryDirectory(prefix="bench_read_ahead_", dir="/var/tmp") as folder:
        steps = [functools.partial(pinned_row, *case) for case in pinned_inputs(folder)]
        harness.run(steps + [lambda: concurrent_rows(folder), lambda: cpu_rows(folder)],
                    rows_path)


if __name__ == "__main__":
    main()
