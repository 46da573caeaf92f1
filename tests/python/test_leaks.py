"""Leak checks: every module function and BatchProcessor, called many times on
success and failure paths, must keep memory, descriptors, threads and the
reference counts of its arguments stable.

Counts: 100,000 calls per path for the pure functions; 20,000 for the
functions that open files (each call opens, reads and closes a file, and the
copy also fsyncs), and 4,000 constructions of a BatchProcessor that succeed
(each starts a thread), so that the whole module stays well under a minute.
Under the sanitizers (TAVOLIN_SANITIZED) every count is a tenth of that.

What is measured over the calls that follow a warm-up:
- the native heap (glibc's mallinfo2: bytes in use in every arena and in
  mmap'd blocks) and the resident size (skipped under the sanitizers, whose
  quarantine holds freed memory);
- the number of Python object blocks (sys.getallocatedblocks), and the
  memory that tracemalloc sees over a tenth of the calls (at least 400),
  traced apart because tracing slows every allocation several times;
- the number of open descriptors and of threads;
- sys.getrefcount of every argument object and list element (exactly unchanged for objects of
  the test's own; within a small tolerance for shared singletons, which a
  reference leaked per call would move by the call count).
"""
from __future__ import annotations

import contextlib
import ctypes
import gc
import itertools
import os
import shutil
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

import pytest

from tavolin_testing import KEY, container_writer as cw
from tavolin_testing.messages import AUTH, CHUNK_SIZE, HEADER_JSON, NO_KEY, WORKER_COUNT
from helpers import settle_threads, threads_now as threads

SANITIZED = bool(os.environ.get("TAVOLIN_SANITIZED"))
# A debug interpreter counts every reference it takes (sys.gettotalrefcount).
DEBUG_INTERPRETER = hasattr(sys, "gettotalrefcount")
# The sanitizer build maps and unmaps every large buffer and runs some fifty
# times slower: a tenth of the calls keeps that run within minutes.
SCALE = 10 if SANITIZED else 1
PURE = 100_000 // SCALE
FILES = 20_000 // SCALE
THREAD_STARTS = 4_000 // SCALE

# Growth allowed over the measured calls.
HEAP_SLACK = 64 * 1024      # bytes: a 16-byte block per call over 4,000 calls exceeds it
BLOCK_SLACK = 100           # Python object blocks (sys.getallocatedblocks)
TRACED_SLACK = 16 * 1024    # bytes of Python objects traced over TRACED_CALLS or more calls
TRACED_CALLS = 400
RSS_SLACK = 1024 * 1024


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2


def heap_in_use() -> int:
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def fresh(text: str) -> str:
    """A new, non-interned copy of `text`: its reference count is the test's own."""
    return (text + "\0")[:-1]


def shared(obj) -> bool:
    """Singletons and cached small values, whose counts move with the rest of
    the interpreter."""
    return obj is None or isinstance(obj, (bool, int))


def immortal(obj) -> bool:
    """An immortal object (3.12 on: a count from 2**30 up). The limited build's
    inline reference counting (the stable ABI of 3.10) moves its count either
    way without effect: the interpreter never frees it, so it tells nothing."""
    return sys.getrefcount(obj) >= 1 << 30


@pytest.fixture(scope="module")
def files():
    root = Path(tempfile.mkdtemp(prefix="tavolin-leaks-",
                                 dir="/dev/shm" if os.path.isdir("/dev/shm") else None))
    plain = root / "plain"
    plain.write_bytes(os.urandom(300))
    sealed = root / "sealed"
    cw.write_container(sealed, os.urandom(300), KEY, 128)
    source = os.open(plain, os.O_RDONLY)
    yield {
        "root": root, "plain": plain, "sealed": sealed, "source": source,
        "target": root / "target", "missing": root / "missing",
        "header": cw.header_text(cw.header_members(KEY, 128)[0]),
    }
    os.close(source)
    shutil.rmtree(root, ignore_errors=True)


@pytest.fixture(scope="module")
def processor(m):
    return m.BatchProcessor(2)


def copy_from_start(m):
    """The copy reads from the descriptor's offset: rewind it before each call."""
    def call(fd, target, *rest):
        os.lseek(fd, 0, os.SEEK_SET)
        return m.copy_file_descriptor_to_path(fd, target, *rest)
    return call


class quiet_stderr:
    """Sends descriptor 2 to /dev/null: an internal fault writes a diagnostic
    there on every call."""

    def __enter__(self):
        sys.stderr.flush()
        self.saved = os.dup(2)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 2)
        os.close(null)

    def __exit__(self, *exc):
        os.dup2(self.saved, 2)
        os.close(self.saved)


def panic_type(m):
    with quiet_stderr():
        try:
            m.build_expected_frame_records(2**60)
        except BaseException as e:  # noqa: BLE001
            return type(e)
    raise AssertionError("no internal fault")


def scenarios(m, files, processor):
    """(id, function, args, kwargs, exception type or None, expected message
    or None, count)."""
    f = files
    plain, sealed, missing = str(f["plain"]), str(f["sealed"]), str(f["missing"])
    root = str(f["root"])
    rows = [
        ("header ok", m.parse_encrypted_header, (bytes(f["header"]),), {}, None, None, PURE),
        ("header invalid", m.parse_encrypted_header, (b"{" + bytes(10),), {}, ValueError,
         HEADER_JSON, PURE),
        ("header bytearray", m.parse_encrypted_header, (bytearray(f["header"]),), {}, TypeError,
         "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'", PURE),
        ("capabilities ok", m.native_capabilities, (), {}, None, None, PURE),
        ("capabilities surplus", m.native_capabilities, ([1],), {}, TypeError, None, PURE),
        ("status ok", m.encryption_status, (fresh(sealed),), {}, None, None, FILES),
        ("status missing", m.encryption_status, (fresh(missing),), {}, FileNotFoundError,
         "No such file or directory (os error 2)", FILES),
        ("status dir", m.encryption_status, (fresh(root),), {}, OSError,
         "Encryption probes require a regular file", FILES),
        ("is_qv ok", m.is_qv_encrypted_file, (Path(plain),), {}, None, None, FILES),
        ("is_qv bytes path", m.is_qv_encrypted_file, (plain.encode(),), {}, TypeError,
         "argument 'path': 'bytes' object cannot be converted to 'PyString'", PURE),
        ("range ok", m.decrypt_encrypted_file_range, (fresh(sealed), bytearray(KEY), 5, 290),
         {}, None, None, FILES),
        ("range wrong key", m.decrypt_encrypted_file_range,
         (fresh(sealed), bytes(32), 0, 10), {}, ValueError, AUTH,
         FILES),
        ("range missing", m.decrypt_encrypted_file_range, (fresh(missing), KEY, 0, 10), {},
         ValueError, "No such file or directory (os error 2)", FILES),
        ("range too long", m.decrypt_encrypted_file_range, (fresh(missing), KEY, 0, 1 << 23),
         {}, ValueError, "native encrypted byte range exceeds 8388608 bytes", PURE),
        ("range key str", m.decrypt_encrypted_file_range, (fresh(sealed), fresh("k" * 32), 0, 1),
         {}, TypeError, "argument 'master_key': Can't extract `str` to `Vec`", PURE),
        ("copy ok", copy_from_start(m), (f["source"], fresh(str(f["target"])), 4096), {}, None,
         None, FILES),
        ("copy closed fd", m.copy_file_descriptor_to_path, (1000, fresh(str(f["target"]))), {},
         OSError, "Bad file descriptor (os error 9)", FILES),
        ("copy missing dir", copy_from_start(m), (f["source"], fresh(missing + "/t")), {},
         FileNotFoundError, "No such file or directory (os error 2)", FILES),
        ("copy zero chunk", m.copy_file_descriptor_to_path,
         (f["source"], fresh(str(f["target"])), 0), {}, ValueError,
         CHUNK_SIZE, PURE),
        ("identity plain", m.stable_file_identity, (fresh(plain),), {}, None, None, FILES),
        ("identity sealed kw", m.stable_file_identity, (),
         {"path": Path(sealed), "chunk_size": 4096, "master_keys": [bytes(KEY)]}, None, None,
         FILES),
        ("identity no key", m.stable_file_identity, (fresh(sealed),),
         {"master_keys": [bytes(16), [7] * 32]}, OSError,
         NO_KEY, FILES),
        ("identity missing", m.stable_file_identity, (fresh(missing),), {}, FileNotFoundError,
         "No such file or directory (os error 2)", FILES),
        ("identity zero chunk", m.stable_file_identity, (fresh(plain), 0), {}, ValueError,
         CHUNK_SIZE, PURE),
        ("identity key str", m.stable_file_identity, (fresh(plain),),
         {"master_keys": [b"k", fresh("key")]}, TypeError,
         "argument 'master_keys': Can't extract `str` to `Vec`", PURE),
        ("reservation ok", m.derive_hls_reservation_action,
         (fresh("validated"), True, False, False), {}, None, None, PURE),
        ("reservation bad", m.derive_hls_reservation_action,
         (fresh("bogus"), False, False, True), {}, ValueError,
         "unsupported HLS in-flight status: bogus", PURE),
        ("reservation int", m.derive_hls_reservation_action, (fresh("queued"), 1, False, False),
         {}, TypeError, "argument 'active_is_stale': 'int' object cannot be converted to 'PyBool'",
         PURE),
        ("publication ok", m.derive_hls_publication_action, (),
         {"attempt_status": fresh("validated"), "owner_matches": True,
          "has_active_lease": False, "has_ready_generation": True}, None, None, PURE),
        ("publication bad", m.derive_hls_publication_action, (fresh("x"), True, True, True), {},
         ValueError, "unsupported HLS in-flight status: x", PURE),
        ("reconciliation ok", m.derive_hls_reconciliation_action, (fresh("materializing"), True),
         {}, None, None, PURE),
        ("reconciliation bad", m.derive_hls_reconciliation_action, (fresh("Queued"), True), {},
         ValueError, "unsupported HLS in-flight status: Queued", PURE),
        ("pdf ok", m.render_single_page_pdf, (fresh("Hello (world)\n\\ line two"),), {}, None,
         None, PURE),
        ("pdf none", m.render_single_page_pdf, (None,), {}, TypeError,
         "argument 'text': 'NoneType' object cannot be converted to 'PyString'", PURE),
        ("numbers ok", m.parse_extracted_frame_numbers,
         ([fresh("/a/frame_0000003.jpg"), fresh("frame_7.png")],), {}, None, None, PURE),
        ("numbers bad", m.parse_extracted_frame_numbers, ([fresh("frame_1.jpg"), fresh("nope")],),
         {}, ValueError, None, PURE),
        ("numbers str", m.parse_extracted_frame_numbers, (fresh("frame_1.jpg"),), {}, TypeError,
         "argument 'paths': Can't extract `str` to `Vec`", PURE),
        ("records ok", m.build_frame_records, ([fresh("/d/sub/frame_5.jpg")],),
         {"relative_to": fresh("/d"), "zero_based": True}, None, None, PURE),
        ("records bad", m.build_frame_records, ([fresh("/d/x.jpg")],),
         {"relative_to": fresh("/d")}, ValueError, None, PURE),
        ("records unknown kw", m.build_frame_records, ([fresh("a_1.jpg")],),
         {"relative": fresh("/d")}, TypeError,
         "build_frame_records() got an unexpected keyword argument 'relative'", PURE),
        ("expected ok", m.build_expected_frame_records, (3, fresh("png")), {}, None, None, PURE),
        ("expected panic", m.build_expected_frame_records, (2**60,), {}, panic_type(m), None,
         FILES),
        ("expected empty ext", m.build_expected_frame_records, (3,), {"ext": fresh("")},
         ValueError, "ext must not be empty", PURE),
        ("rules ok", m.anonymization_status_rules, (True,), {}, None, None, PURE),
        ("rules int", m.anonymization_status_rules, (0,), {}, TypeError,
         "argument 'report': 'int' object cannot be converted to 'PyBool'", PURE),
        ("anonymisation ok", m.derive_anonymization_status,
         (False, False, True, True, False, True, True), {}, None, None, PURE),
        ("anonymisation missing", m.derive_anonymization_status, (False,) * 6, {}, TypeError,
         None, PURE),
        ("report status ok", m.derive_report_anonymization_status, (False,) * 5, {}, None, None,
         PURE),
        ("report status none", m.derive_report_anonymization_status, (False,) * 4 + (None,),
         {}, TypeError, None, PURE),
        ("service ok", m.transition_service_lifecycle, (fresh("failed"), fresh("start_requested")),
         {}, None, None, PURE),
        ("service bad", m.transition_service_lifecycle, (fresh("stopped"), fresh("stop_requested")),
         {}, ValueError, "invalid service lifecycle transition: stopped --stop_requested-->",
         PURE),
        ("service twice", m.transition_service_lifecycle, (fresh("stopped"),),
         {"current_state": fresh("x"), "event": fresh("y")}, TypeError,
         "transition_service_lifecycle() got multiple values for argument 'current_state'", PURE),
        ("operation ok", m.transition_operation_lifecycle, (fresh("queued"), fresh("claim")), {},
         None, None, PURE),
        ("operation bad", m.transition_operation_lifecycle, (fresh("bogus"), fresh("claim")), {},
         ValueError, "unsupported operation lifecycle state: bogus", PURE),
        ("segment ok", m.derive_segment_annotation_status, (True, True, False), {}, None, None,
         PURE),
        ("segment extra", m.derive_segment_annotation_status, (True, True, False, True), {},
         TypeError, None, PURE),
        ("frame status ok", m.derive_frame_annotation_status, (True, True, True, False, False),
         {}, None, None, PURE),
        ("frame status int", m.derive_frame_annotation_status, (True, 1, True, False, False),
         {}, TypeError, None, PURE),
        ("task mode ok", m.normalize_frame_task_mode_token, (fresh("  FILTERED "),), {}, None,
         None, PURE),
        ("task mode bytes", m.normalize_frame_task_mode_token, (b"random",), {}, TypeError, None,
         PURE),
        ("sampling ok", m.normalize_frame_sampling_strategy_token, (fresh(" Segments"),), {},
         None, None, PURE),
        ("sampling surrogate", m.normalize_frame_sampling_strategy_token, (fresh("\udc80"),), {},
         UnicodeEncodeError, None, PURE),
        ("policy ok", m.storage_profile_policy_rows, (), {}, None, None, PURE),
        ("policy surplus", m.storage_profile_policy_rows, (fresh("x"),), {}, TypeError, None,
         PURE),
        ("processor ok", m.BatchProcessor, (1,), {}, None, None, THREAD_STARTS),
        ("processor kw ok", m.BatchProcessor, (), {"worker_count": 2}, None, None, THREAD_STARTS),
        ("processor zero", m.BatchProcessor, (0,), {}, ValueError,
         WORKER_COUNT, PURE),
        ("processor bad kw", m.BatchProcessor, (), {"workers": 2}, TypeError,
         "BatchProcessor.__new__() got an unexpected keyword argument 'workers'", PURE),
        ("batch ok", processor.stable_file_identities,
         ([fresh(plain), Path(sealed), fresh(plain)],), {"master_keys": [bytes(KEY)]}, None,
         None, FILES),
        ("batch missing", processor.stable_file_identities,
         ([fresh(plain), fresh(missing)], 4096), {}, FileNotFoundError,
         "No such file or directory (os error 2)", FILES),
        ("batch zero chunk", processor.stable_file_identities, ([fresh(plain)], 0), {}, ValueError,
         CHUNK_SIZE, PURE),
        ("batch str", processor.stable_file_identities, (fresh(plain),), {}, TypeError,
         "argument 'paths': Can't extract `str` to `Vec`", PURE),
    ]
    return rows


def all_objects(args, kwargs):
    """The argument objects and, one level down, the elements of list
    arguments: everything whose count a call could move."""
    out = list(args) + list(kwargs.values()) + list(kwargs.keys())
    for obj in list(out):
        if isinstance(obj, list):
            out.extend(obj)
    return out


def repeat(fn, args, kwargs, exc_type, count):
    if exc_type is None:
        for _ in itertools.repeat(None, count):
            fn(*args, **kwargs)
    else:
        for _ in itertools.repeat(None, count):
            try:
                fn(*args, **kwargs)
            except exc_type:
                pass


def _counts_of_a_python_result() -> tuple[int, int]:
    """What sys.getrefcount reports for a result held by one local, and for
    one of its items during a loop over it, when Python made them: the
    interpreter decides whether the argument passed to getrefcount counts
    (3.14 lends locals to calls without a reference of their own)."""
    result = [(0, str(os.getpid())), (1, str(os.getppid()))]
    alone = sys.getrefcount(result)
    for item in result:
        in_loop = sys.getrefcount(item)
    return alone, in_loop


RESULT_ALONE, ITEM_IN_LOOP = _counts_of_a_python_result()


def first_call(fn, args, kwargs, exc_type, message):
    """One call that shows the path is the intended one, and that the result
    and the exception carry no extra references."""
    if exc_type is None:
        result = fn(*args, **kwargs)
        if isinstance(result, (list, tuple, str, bytes)) and len(result) > 1:
            assert sys.getrefcount(result) == RESULT_ALONE
        if isinstance(result, list):
            for item in result:
                if isinstance(item, (tuple, str)) and len(item) > 1:
                    assert sys.getrefcount(item) == ITEM_IN_LOOP, item  # list, loop name
        return
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, info.value
    if message is not None:
        assert info.value.args == (message,)


def traced_growth(fn, args, kwargs, exc_type, count, quiet) -> int:
    """Growth of the memory that tracemalloc sees over `count` calls (traced
    apart from the main run, which it would slow several times)."""
    tracemalloc.start()
    try:
        with quiet:
            repeat(fn, args, kwargs, exc_type, 50)
            gc.collect()
            before = tracemalloc.get_traced_memory()[0]
            repeat(fn, args, kwargs, exc_type, count)
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


def test_calls_leak_nothing(m, files, processor):
    problems = []
    base_threads = threads()
    for name, fn, args, kwargs, exc_type, message, count in scenarios(m, files, processor):
        quiet = quiet_stderr() if name.endswith("panic") else contextlib.nullcontext()
        with quiet:
            first_call(fn, args, kwargs, exc_type, message)
            repeat(fn, args, kwargs, exc_type, max(200, count // 10))  # warm up
        objects = all_objects(args, kwargs)
        gc.collect()
        settle_threads(base_threads)
        refs = [sys.getrefcount(o) for o in objects]
        fds, heap, rss = open_fds(), heap_in_use(), rss_bytes()
        blocks = sys.getallocatedblocks()

        started = time.perf_counter()
        with quiet:
            repeat(fn, args, kwargs, exc_type, count)
        elapsed = time.perf_counter() - started

        gc.collect()
        thread_count = settle_threads(base_threads)
        block_growth = sys.getallocatedblocks() - blocks
        heap_growth = heap_in_use() - heap
        rss_growth = rss_bytes() - rss
        refs_after = [sys.getrefcount(o) for o in objects]  # counted as before
        for obj, before, after in zip(objects, refs, refs_after):
            if immortal(obj):
                continue
            limit = count // 100 if shared(obj) else 0
            if abs(after - before) > limit:
                problems.append(f"{name}: refcount of {obj!r} {before} -> {after}")
        if open_fds() != fds:
            problems.append(f"{name}: descriptors {fds} -> {open_fds()}")
        if thread_count != base_threads:
            problems.append(f"{name}: threads {base_threads} -> {thread_count}")
        if block_growth > BLOCK_SLACK:
            problems.append(f"{name}: {block_growth} more Python object blocks")
        if heap_growth > HEAP_SLACK:
            problems.append(f"{name}: native heap grew by {heap_growth} bytes")
        if not SANITIZED and rss_growth > RSS_SLACK:
            problems.append(f"{name}: resident size grew by {rss_growth} bytes")
        traced = traced_growth(fn, args, kwargs, exc_type, max(TRACED_CALLS, count // 10), quiet)
        if traced > TRACED_SLACK:
            problems.append(f"{name}: traced Python memory grew by {traced} bytes")
        if os.environ.get("TAVOLIN_LEAK_REPORT"):
            print(f"{name:24s} heap {heap_growth:+8d} blocks {block_growth:+5d} "
                  f"traced {traced:+7d} rss {rss_growth:+9d} {elapsed:6.2f} s")
    assert not problems, "\n".join(problems)


# The debug interpreter's own measures: its total of references held and its
# count of live object blocks, over DEBUG_CALLS calls of every path. A build
# whose reference counting disagrees with the interpreter's moves the total by
# at least one a call; DEBUG_SLACK absorbs caches the interpreter fills once.
DEBUG_CALLS = 2_000
DEBUG_SLACK = 40


def reference_totals() -> tuple[int, int]:
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


@pytest.mark.skipif(not DEBUG_INTERPRETER, reason="needs a debug interpreter (sys.gettotalrefcount)")
def test_reference_total_and_live_objects_stay_flat(m, files, processor):
    problems = []
    for name, fn, args, kwargs, exc_type, message, _ in scenarios(m, files, processor):
        quiet = quiet_stderr() if name.endswith("panic") else contextlib.nullcontext()
        with quiet:
            first_call(fn, args, kwargs, exc_type, message)
            repeat(fn, args, kwargs, exc_type, 100)
            refs, blocks = reference_totals()
            repeat(fn, args, kwargs, exc_type, DEBUG_CALLS)
            refs_after, blocks_after = reference_totals()
        if abs(refs_after - refs) > DEBUG_SLACK:
            problems.append(f"{name}: reference total {refs} -> {refs_after}")
        if abs(blocks_after - blocks) > DEBUG_SLACK:
            problems.append(f"{name}: live object blocks {blocks} -> {blocks_after}")
    assert not problems, "\n".join(problems)


def test_the_leak_checks_notice_a_leak(m):
    """The measures are sharp enough: holding on to one result per call (what
    a leaked reference does) and one 16-byte native block per call are both
    caught at the smallest of the counts used; so is one object per call by
    the block count."""
    blocks = sys.getallocatedblocks()
    kept = [m.transition_operation_lifecycle("queued", "claim") for _ in range(THREAD_STARTS)]
    assert sys.getallocatedblocks() - blocks > BLOCK_SLACK
    del kept
    kept = []
    tracemalloc.start()
    try:
        traced = tracemalloc.get_traced_memory()[0]
        for _ in range(TRACED_CALLS):
            kept.append(m.transition_operation_lifecycle("queued", "claim"))
        assert tracemalloc.get_traced_memory()[0] - traced > TRACED_SLACK
    finally:
        tracemalloc.stop()
    if _mallinfo2 is None or SANITIZED:
        return
    _libc.malloc.restype = ctypes.c_void_p
    _libc.malloc.argtypes = [ctypes.c_size_t]
    _libc.free.argtypes = [ctypes.c_void_p]
    heap = heap_in_use()
    blocks = [_libc.malloc(16) for _ in range(THREAD_STARTS)]
    try:
        assert heap_in_use() - heap > HEAP_SLACK
    finally:
        for block in blocks:
            _libc.free(block)
