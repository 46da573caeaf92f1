"""Container range decryption benchmarks, measured in one run.

(a) 8 MiB ranges of a page-cached container with 1 MiB chunks, as
    throughput, against `openssl speed -evp aes-256-gcm -decrypt -bytes 16384
    -seconds 2` on this machine (target: at least 0.85x); best of three
    alternating rounds on each side. Its limit: a range has to be copied out
    of the page cache and decrypted, one after the other on the calling
    thread, so no call can beat the serial rate of the cheapest read of the
    same 8 MiB of the file (os.preadv into a reused 1 MiB buffer, measured
    here per CPU second in the same rounds) and of AES-256-GCM decryption
    (`openssl speed`, per CPU second). Writing the plaintext into the new
    result object is left out, so this is a lower bound on the time.
(b) 4 KiB ranges at random offsets of a container with 64 KiB chunks, as
    calls per second, against the pure-Python reader in
    pure_python_range.py (target: at least 1.5x).
(c) The 8 MiB range of a container whose header says chunk_size 1 (8 MiB of
    plaintext in one-byte records, a 176 MB file), against the stable
    identity of the same file, which walks the same records (target: the
    range in under 2x the identity's time); best of three alternating rounds.
"""
from __future__ import annotations

import os
import random
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
sys.path.insert(0, HERE)

import container_writer  # noqa: E402
import limits  # noqa: E402
import pure_python_range  # noqa: E402
import tavolin_native_backend as m  # noqa: E402

MiB = 1024 * 1024


def timed_loop(fn, seconds: float) -> tuple[int, float, float]:
    """Calls fn for `seconds` of wall time; returns the number of calls, the
    wall time and the CPU time (user + system) of this process, which runs
    nothing else meanwhile."""
    calls = 0
    begin = time.perf_counter()
    cpu_begin = time.process_time()
    deadline = begin + seconds
    while True:
        fn()
        calls += 1
        now = time.perf_counter()
        if now >= deadline:
            return calls, now - begin, time.process_time() - cpu_begin


def page_cached_container(directory: str, key: bytes, size: int, name: str):
    path = os.path.join(directory, name)
    plaintext = os.urandom(size)
    container_writer.write_container(path, plaintext, key, MiB)
    with open(path, "rb") as f:  # into the page cache
        while f.read(16 * MiB):
            pass
    span = 8 * MiB
    starts = list(range(0, size, span))
    for s in starts:
        assert m.decrypt_encrypted_file_range(path, key, s, s + span - 1) == plaintext[s:s + span]
    return path, starts


def bench_throughput(directory: str, key: bytes):
    """Best rates of three alternating rounds, so that load from elsewhere on
    the machine hits every side alike: 8 MiB ranges of a 16 MiB container
    (page cache and result fit in the last-level cache, as the buffer of
    `openssl speed` does) and of a 64 MiB container (streamed from memory),
    per CPU second (user + system, so the kernel's page-cache copy counts) and
    per wall second; the page-cache read of the same ranges (per CPU second);
    and `openssl speed` (per user CPU second)."""
    span = 8 * MiB
    containers = [page_cached_container(directory, key, size, f"large{size}.qvenc")
                  for size in (16 * MiB, 64 * MiB)]

    def reader(path, starts):
        position = [0]

        def one():
            s = starts[position[0] % len(starts)]
            position[0] += 1
            m.decrypt_encrypted_file_range(path, key, s, s + span - 1)

        return one

    readers = [reader(path, starts) for path, starts in containers]
    copies = [limits.page_cache_reader(path, [(s, span) for s in starts])
              for path, starts in containers]
    cpu_rates = [[] for _ in readers]
    wall_rates = [[] for _ in readers]
    read_rates = [[] for _ in readers]
    openssl = []
    for _ in range(3):
        for fn, copy, cpu, wall, read in zip(readers, copies, cpu_rates, wall_rates, read_rates):
            calls, wall_time, cpu_time = timed_loop(fn, 1.5)
            cpu.append(calls * span / cpu_time)
            wall.append(calls * span / wall_time)
            calls, _, cpu_time = timed_loop(copy, 0.5)
            read.append(calls * copy() / cpu_time)
        openssl.append(limits.openssl_speed("-evp", "aes-256-gcm", "-decrypt"))
    best = lambda rates: [max(r) for r in rates]  # noqa: E731
    return best(cpu_rates), best(wall_rates), best(read_rates), max(openssl)


def bench_small_ranges(directory: str, key: bytes) -> tuple[float, float]:
    path = os.path.join(directory, "small.qvenc")
    plaintext = os.urandom(16 * MiB)
    container_writer.write_container(path, plaintext, key, 64 * 1024)
    rng = random.Random(7)
    offsets = [rng.randrange(0, len(plaintext) - 4096) for _ in range(4096)]
    for s in offsets[:50]:
        expected = plaintext[s:s + 4096]
        assert m.decrypt_encrypted_file_range(path, key, s, s + 4095) == expected
        assert pure_python_range.decrypt_range(path, key, s, s + 4095) == expected

    def runner(fn):
        position = [0]

        def one():
            s = offsets[position[0] % len(offsets)]
            position[0] += 1
            fn(path, key, s, s + 4095)

        return one

    # Alternating rounds, per CPU second; the best round of each side counts.
    native, python = [], []
    for _ in range(4):
        calls, _, cpu_time = timed_loop(runner(m.decrypt_encrypted_file_range), 0.75)
        native.append(calls / cpu_time)
        calls, _, cpu_time = timed_loop(runner(pure_python_range.decrypt_range), 0.75)
        python.append(calls / cpu_time)
    return max(native), max(python)


def bench_tiny_records(directory: str, key: bytes) -> tuple[float, float]:
    path = os.path.join(directory, "tiny.qvenc")
    plaintext = os.urandom(8 * MiB)
    container_writer.write_container(path, plaintext, key, 1)
    end = len(plaintext) - 1
    assert m.decrypt_encrypted_file_range(path, key, 0, end) == plaintext
    ranges, identities = [], []
    for _ in range(3):
        begin = time.perf_counter()
        m.decrypt_encrypted_file_range(path, key, 0, end)
        ranges.append(time.perf_counter() - begin)
        begin = time.perf_counter()
        m.stable_file_identity(path, master_keys=[key])
        identities.append(time.perf_counter() - begin)
    os.unlink(path)
    return min(ranges), min(identities)


def main() -> None:
    key = os.urandom(32)
    with tempfile.TemporaryDirectory() as directory:
        cpu_bps, wall_bps, read_bps, openssl_bps = bench_throughput(directory, key)
        native_cps, python_cps = bench_small_ranges(directory, key)
        tiny_range, tiny_identity = bench_tiny_records(directory, key)
    print(f"openssl speed -evp aes-256-gcm -decrypt -bytes 16384: {openssl_bps / 1e9:.3f} GB/s "
          f"per user CPU second")
    for label, cpu, wall, read in zip(("16 MiB container (cache-resident)",
                                       "64 MiB container (from memory)   "),
                                      cpu_bps, wall_bps, read_bps):
        limit = limits.serial_rate(read, openssl_bps)
        print(f"    page-cache read of the same ranges, {label.strip()}: {read / 1e9:.2f} GB/s "
              f"per CPU second; with AES-256-GCM {limit / 1e9:.3f} GB/s")
        print(f"(a) 8 MiB ranges, 1 MiB chunks, {label}: {cpu / 1e9:.3f} GB/s per CPU second, "
              f"ratio {cpu / openssl_bps:.3f} (target >= 0.85); "
              f"{wall / 1e9:.3f} GB/s per wall second, ratio {wall / openssl_bps:.3f}; "
              + limits.of_limit(cpu / limit, "page-cache read + AES-256-GCM decrypt, per CPU "
                                "second"))
    print(f"(b) 4 KiB ranges, 64 KiB chunks: native {native_cps:,.0f} calls/s; "
          f"pure Python {python_cps:,.0f} calls/s; ratio {native_cps / python_cps:.2f} "
          f"(target >= 1.5)")
    print(f"(c) 8 MiB range, chunk_size 1 (176 MB file): range {tiny_range:.3f} s, identity of "
          f"the same file {tiny_identity:.3f} s, ratio {tiny_range / tiny_identity:.2f} "
          f"(target < 2)")


if __name__ == "__main__":
    main()
