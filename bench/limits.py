"""Helpers shared by the benchmarks for measuring what bounds a figure on
this machine, in the same run as the figure (a row of harness.py carries
the figure as a fraction of that limit).

A limit is a lower bound on the time of the measured work: the cost of what
no implementation of it can skip (copying bytes out of the page cache,
hashing or decrypting them, allocating the result objects, the kernel's own
copy). A fraction near 1 means the figure is at the machine's limit."""
from __future__ import annotations

import os
import subprocess

MIB = 1 << 20


def page_cache_reader(path, spans=None, piece=MIB):
    """A function that reads `spans` ((offset, length) pairs; by default the
    whole file) of `path`, which should be in the page cache, with
    os.preadv into one reused buffer of `piece` bytes, and returns the number
    of bytes read: the kernel's copy out of the page cache and nothing else.
    The buffer stays in the CPU cache, so this is the cheapest read of those
    bytes through read(2)."""
    buffer = bytearray(piece)
    view = memoryview(buffer)
    if spans is None:
        spans = [(0, os.path.getsize(path))]

    def read():
        total = 0
        fd = os.open(path, os.O_RDONLY)
        try:
            for offset, length in spans:
                end = offset + length
                while offset < end:
                    got = os.preadv(fd, [view[:min(piece, end - offset)]], offset)
                    if got == 0:
                        break
                    offset += got
                    total += got
        finally:
            os.close(fd)
        return total

    return read


def openssl_speed(*args, seconds=2, elapsed=False) -> float:
    """Bytes per second of `openssl speed -evp ...` on 16 KiB blocks, per user
    CPU second of openssl (or per wall second with `elapsed`)."""
    command = ["openssl", "speed", "-mr", "-seconds", str(seconds), "-bytes", "16384", *args]
    if elapsed:
        command.insert(2, "-elapsed")
    out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    line = next((l for l in out.splitlines() if l.startswith("+F:")), None)
    if line is None:
        raise SystemExit(f"cannot parse openssl speed output:\n{out}")
    return float(line.split(":")[3])


def serial_rate(*rates: float) -> float:
    """The rate of doing every step, one after the other, on each byte."""
    return 1.0 / sum(1.0 / rate for rate in rates)

