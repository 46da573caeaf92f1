"""Benchmark of the frame, PDF and copy functions against idiomatic pure-Python
equivalents (pure_python_files.py), measured in one run.

Run: PYTHONPATH=<build>/python /usr/bin/python3 bench/bench_files.py [--rows PATH]
Prints, per case, the best time of each side over interleaved rounds and
the ratio (pure Python time / native time) with its target. The frame
records and the copies are also reported as a fraction of their limit
(limit time / native time), a lower bound measured in the same rounds:

- frame records: allocating the same Python objects (a list of n fresh
  (int, str) tuples, strs of the same lengths) and nothing else, by the
  faster of two ways that build them in C: `marshal.loads` of an equal list,
  and `list(zip(range, map(str.lower, repeat(...))))`, where each
  `str.lower` returns a new str. Both pay, as the functions do, the first
  write to every fresh page the objects land on.
- copies: the kernel's own copy of the same data into a new target
  (`os.copy_file_range` from the regular file, `os.splice` from the pipe
  grown to 1 MiB, in a Python loop of 8 MiB requests) and one fsync of the
  target; the faster of that loop alone and of the same loop starting
  writeback of every 8 MiB as it lands (sync_file_range, through ctypes), so
  that the disk may work during the copy as it does for the native call.
  The disk is shared with the rest of the machine: these vary the most.
"""
import ctypes
import fcntl
import itertools
import marshal
import mmap
import os
import stat
import tempfile

import harness
import pure_python_files as py
import tavolin_native_backend as m

GIB = 1 << 30
MIB = 1 << 20
BENCHMARK = "files"


def figure(label, native, python, target, limit=None):
    """A row of the native time against pure Python's, per call; `limit` is
    (limit time, what it is), or None."""
    values = f"native {native * 1e3:.3f} ms, python {python * 1e3:.3f} ms"
    of_limit, limit_name = (None, None) if limit is None else (limit[0] / native, limit[1])
    return harness.result(BENCHMARK, label, values, python / native, at_least=target,
                          ratio_means="faster than pure Python", of_limit=of_limit,
                          limit=limit_name)


def allocations(records):
    """Two ways of building, in C, a list like `records` (fresh (int, str)
    tuples whose strs all have the length of the first) and nothing else."""
    n, first, template = len(records), records[0][0], records[0][1].upper()
    assert all(len(name) == len(template) for _, name in records)
    table = marshal.dumps(records)
    assert marshal.loads(table) == records
    return [lambda: marshal.loads(table),
            lambda: list(zip(range(first, first + n), map(str.lower,
                                                          itertools.repeat(template, n))))]


ALLOCATION = "allocating the same objects"


def bench_against_allocation(label, native_call, python_call, target):
    """A records call against its pure-Python peer and the allocation of the
    same objects (its limit)."""
    records = native_call()
    assert records == python_call()
    limit_sides = allocations(records)
    del records
    native, python, *alloc = harness.best_times([native_call, python_call, *limit_sides], 5)
    return [figure(label, native, python, target, (min(alloc), ALLOCATION))]


def bench_expected():
    n = 1_000_000
    return bench_against_allocation("build_expected_frame_records(1_000_000)",
                                    lambda: m.build_expected_frame_records(n),
                                    lambda: py.build_expected_frame_records(n), 3.0)


def bench_records():
    paths = [f"/data/videos/0042/frames/frame_{i:07d}.jpg" for i in range(1, 1_000_001)]
    return bench_against_allocation("build_frame_records(1_000_000 paths)",
                                    lambda: m.build_frame_records(paths),
                                    lambda: py.build_frame_records(paths), None)


def bench_expected_reused_memory():
    """The same work in calls small enough to reuse freed memory: shows the
    cost of the computation itself, without first-touch page faults."""
    calls, n = 1000, 1000

    def many(fn):
        def go():
            for _ in range(calls):
                fn(n)
        return go

    native, python = harness.best_times([many(m.build_expected_frame_records),
                                         many(py.build_expected_frame_records)], 5)
    return [figure("(info) build_expected_frame_records(1_000) x 1_000", native, python, None)]


def page_touch_cost():
    """Microseconds per first write to a fresh 4 KiB page on this machine."""
    size = 64 * MIB
    regions = []

    def fresh():  # a new mapping, none of whose pages has been written yet
        for region in regions:
            region.close()
        regions[:] = [mmap.mmap(-1, size)]

    def touch():
        region = regions[0]
        for offset in range(0, size, 4096):
            region[offset] = 1

    (best,) = harness.best_times([touch], 3, setup=fresh)
    regions[0].close()
    return best / (size // 4096) * 1e6


def bench_parse():
    paths = [name for _, name in m.build_expected_frame_records(1_000_000)]
    assert m.parse_extracted_frame_numbers(paths) == py.parse_extracted_frame_numbers(paths)
    native, python = harness.best_times([lambda: m.parse_extracted_frame_numbers(paths),
                                         lambda: py.parse_extracted_frame_numbers(paths)], 5)
    return [figure("parse_extracted_frame_numbers(1_000_000 paths)", native, python, 3.0)]


def bench_pdf():
    line = "Befund (Seite 1): Polyp 4 mm, Sigma \\ Kontrolle in 3 Jahren empfohlen - ok."
    text = "\n".join(f"{i:02d} {line}" for i in range(65))
    assert m.render_single_page_pdf(text) == py.render_single_page_pdf(text)
    calls = 2000

    def many(fn):
        return lambda: [fn(text) for _ in range(calls)]

    native, python = harness.best_times([many(m.render_single_page_pdf),
                                         many(py.render_single_page_pdf)], 5)
    return [figure("render_single_page_pdf(65 lines)", native / calls, python / calls, 3.0)]


SYNC_FILE_RANGE_WRITE = 2  # from <fcntl.h>


def kernel_copy(writeback):
    """The kernel's own copy of everything left in a descriptor into a new
    target, and one fsync: the limit of a durable copy. With `writeback`,
    writeback is started for every 8 MiB as soon as it is in the target, so
    that the disk works during the copy (as the native call does)."""
    start_writeback = None
    if writeback:
        start_writeback = ctypes.CDLL(None, use_errno=True).sync_file_range
        start_writeback.argtypes = [ctypes.c_int, ctypes.c_int64, ctypes.c_int64, ctypes.c_uint]

    def copy(source_fd, target_path):
        target = os.open(target_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        try:
            pipe = stat.S_ISFIFO(os.fstat(source_fd).st_mode)
            if pipe:  # room for whole 1 MiB writes, as the native call makes
                fcntl.fcntl(source_fd, fcntl.F_SETPIPE_SZ, MIB)
            move = os.splice if pipe else os.copy_file_range
            copied = started = 0
            while moved := move(source_fd, target, 8 * MIB):
                copied += moved
                if start_writeback is not None and copied - started >= 8 * MIB:
                    start_writeback(target, started, copied - started, SYNC_FILE_RANGE_WRITE)
                    started = copied
            os.fsync(target)
            return copied
        finally:
            os.close(target)

    return copy


def write_file(path, size):
    block = os.urandom(8 * MIB)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        for _ in range(size // len(block)):
            os.write(fd, block)
    finally:
        os.close(fd)
    with open(path, "rb") as f:  # make sure every page is cached
        while f.read(64 * MIB):
            pass


def bench_copy_regular(workdir):
    source = os.path.join(workdir, "source.bin")
    target = os.path.join(workdir, "target.bin")
    write_file(source, GIB)

    def run(copy):
        def go():
            fd = os.open(source, os.O_RDONLY)
            try:
                copied = copy(fd, target)
            finally:
                os.close(fd)
            assert copied == GIB
            return copied
        return go

    rows = race_copies("copy_file_descriptor_to_path(1 GiB cached file)", run, target, 1.0,
                       "os.copy_file_range loop + fsync")
    os.unlink(source)
    return rows


def race_copies(label, run, target, goal, limit_name):
    """The native copy, the pure-Python one and the kernel's own (with and
    without early writeback: the faster is the limit), each to a new target;
    `run(copy)` makes one round of a copy function."""
    def remove_target():
        if os.path.exists(target):
            os.unlink(target)

    native, python, *kernel = harness.best_times([run(m.copy_file_descriptor_to_path),
                                                  run(py.copy_file_descriptor_to_path),
                                                  run(kernel_copy(False)), run(kernel_copy(True))],
                                                 5, setup=remove_target)
    remove_target()
    return [figure(label, native, python, goal, (min(kernel), limit_name))]


def bench_copy_pipe(workdir):
    target = os.path.join(workdir, "target.bin")
    size = 256 * MIB
    block = os.urandom(MIB)

    def run(copy):
        def go():
            read_end, write_end = os.pipe()
            pid = os.fork()
            if pid == 0:  # the writer
                os.close(read_end)
                try:
                    for _ in range(size // len(block)):
                        os.write(write_end, block)
                finally:
                    os._exit(0)
            os.close(write_end)
            try:
                copied = copy(read_end, target)
            finally:
                os.close(read_end)
                os.waitpid(pid, 0)
            assert copied == size
            return copied
        return go

    return race_copies("copy_file_descriptor_to_path(256 MiB pipe)", run, target, 1.5,
                       "os.splice loop + fsync")


def main():
    _, rows_path = harness.arguments()
    print(f"first write to a fresh 4 KiB page costs {page_touch_cost():.2f} us here "
          "(both sides pay it for every result object)", flush=True)
    with tempfile.TemporaryDirectory(dir="/tmp", prefix="bench_files_") as workdir:
        harness.run([bench_expected, bench_expected_reused_memory, bench_records, bench_parse,
                     bench_pdf, lambda: bench_copy_regular(workdir),
                     lambda: bench_copy_pipe(workdir)], rows_path)


if __name__ == "__main__":
    main()
