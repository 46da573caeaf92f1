"""Concurrency checks: Python threads mixing every kind of call, processors
destroyed while others run, and fork while a batch runs in another thread.
Every result is compared with an expectation computed beforehand on one
thread (or from the test's own data)."""
from __future__ import annotations

import os
import random
import shutil
import signal
import tempfile
import threading
import time
from pathlib import Path

import pytest

from tavolin_testing import KEY, container_writer as cw
from tavolin_testing.messages import AUTH, HEADER_JSON, NO_KEY
from helpers import settle_threads, sha, threads_now

pytestmark = pytest.mark.usefixtures("no_fd_leak")

OLD_KEY = bytes(range(100, 116))
MIX_SECONDS = 4.0
THREADS = 8


@pytest.fixture(scope="module")
def corpus():
    """Plain files and containers of several sizes, with their contents."""
    root = Path(tempfile.mkdtemp(prefix="tavolin-concurrency-",
                                 dir="/dev/shm" if os.path.isdir("/dev/shm") else None))
    rng = random.Random(11)
    plain, sealed = {}, {}
    for i, size in enumerate([0, 5, 4096, 70_000, 300_000]):
        path = root / f"plain{i}"
        data = rng.randbytes(size)
        path.write_bytes(data)
        plain[str(path)] = data
    for i, (size, chunk) in enumerate([(1, 16), (10_000, 4096), (200_000, 65536), (50_000, 1000)]):
        path = root / f"sealed{i}"
        data = rng.randbytes(size)
        cw.write_container(path, data, KEY, chunk)
        sealed[str(path)] = data
    yield {"root": root, "plain": plain, "sealed": sealed}
    shutil.rmtree(root, ignore_errors=True)


def identities(m, corpus):
    """Expected identity of every file, computed on this thread."""
    out = {}
    for path, data in corpus["plain"].items():
        st = os.stat(path)
        out[path] = (st.st_size, st.st_mtime_ns, sha(data))
    for path, data in corpus["sealed"].items():
        st = os.stat(path)
        out[path] = (st.st_size, st.st_mtime_ns, sha(data))
    return out


# Decisions with their expected results, and failures with their exceptions.
DECISIONS = [
    (lambda m: m.transition_operation_lifecycle("queued", "claim"), "claimed"),
    (lambda m: m.transition_service_lifecycle("failed", "start_requested"), "starting"),
    (lambda m: m.derive_hls_reservation_action("queued", True, False, False), "queue"),
    (lambda m: m.derive_hls_reservation_action("queued", False, False, False),
     "already_in_flight"),
    (lambda m: m.derive_hls_publication_action("validated", True, False, True), "replace_ready"),
    (lambda m: m.derive_hls_reconciliation_action("materializing", True), "fail_and_cleanup"),
    (lambda m: m.derive_segment_annotation_status(False, False, False), "not_started"),
    (lambda m: m.normalize_frame_task_mode_token("  FILTERED "), "filtered"),
    (lambda m: m.normalize_frame_sampling_strategy_token(" NONE"), "none"),
    (lambda m: m.parse_extracted_frame_numbers(["/x/frame_0000012.jpg", "a_3.png"]), [12, 3]),
    (lambda m: m.build_frame_records(["/d/s/frame_2.jpg"], relative_to="/d", zero_based=True),
     [(1, "s/frame_2.jpg")]),
    (lambda m: m.build_expected_frame_records(2, "png"),
     [(0, "frame_0000000.png"), (1, "frame_0000001.png")]),
]
# Calls whose expected results are taken from one call on the main thread.
REFERENCE_CALLS = [
    lambda m: m.native_capabilities(),
    lambda m: m.parse_encrypted_header(cw.header_text(cw.header_members(
        KEY, 4096, dek=bytes(32), wrap_nonce=bytes(12), nonce_prefix=bytes(8))[0])),
    lambda m: m.derive_anonymization_status(False, False, True, True, False, True, True),
    lambda m: m.derive_anonymization_status(False, True, True, True, True, True, True),
    lambda m: m.derive_report_anonymization_status(False, False, True, False, True),
    lambda m: m.derive_frame_annotation_status(True, True, True, False, False),
    lambda m: m.derive_frame_annotation_status(True, True, True, True, True),
    lambda m: m.anonymization_status_rules(True),
]
FAILURES = [
    (lambda m: m.transition_operation_lifecycle("queued", "start"), ValueError,
     "invalid operation lifecycle transition: queued --start-->"),
    (lambda m: m.derive_hls_reconciliation_action("bogus", False), ValueError,
     "unsupported HLS in-flight status: bogus"),
    (lambda m: m.build_expected_frame_records(1, ""), ValueError, "ext must not be empty"),
    (lambda m: m.parse_encrypted_header(b"[1]"), ValueError, HEADER_JSON),
]


def test_threads_mixing_every_call_get_the_expected_results(m, corpus):
    expected_ids = identities(m, corpus)
    paths = sorted(expected_ids)
    sealed = sorted(corpus["sealed"])
    missing = str(corpus["root"] / "missing")
    pdf = m.render_single_page_pdf("concurrent page")
    rules = m.anonymization_status_rules(False)
    policy = m.storage_profile_policy_rows()
    references = [(call, call(m)) for call in REFERENCE_CALLS]
    statuses = {p: ("encrypted" if p in corpus["sealed"] else "plaintext") for p in paths}
    baseline = threads_now()
    processor = m.BatchProcessor(3)  # shared by every thread
    errors: list[str] = []
    done_kinds: list[set[str]] = [set() for _ in range(THREADS)]
    deadline = time.monotonic() + MIX_SECONDS
    start = threading.Barrier(THREADS)

    def worker(index: int):
        rng = random.Random(index)
        target = corpus["root"] / f"copy-target-{index}"
        kinds = done_kinds[index]

        def check(kind, got, want):
            kinds.add(kind)
            if got != want:
                errors.append(f"thread {index} {kind}: {got!r:.200} != {want!r:.200}")

        def check_raises(kind, fn, exc_type, message):
            kinds.add(kind)
            try:
                fn()
            except BaseException as e:  # noqa: BLE001
                if type(e) is not exc_type or e.args != (message,):
                    errors.append(f"thread {index} {kind}: {type(e).__name__}{e.args}")
            else:
                errors.append(f"thread {index} {kind}: no exception")

        start.wait()
        while time.monotonic() < deadline:
            choice = rng.randrange(10)
            try:
                if choice == 0:
                    path = rng.choice(paths)
                    keys = [OLD_KEY, KEY] if rng.random() < 0.5 else [KEY]
                    check("identity", m.stable_file_identity(path, rng.choice([1000, 4096, 1 << 20]),
                                                             keys), expected_ids[path])
                elif choice == 1:
                    path = rng.choice(sealed)
                    data = corpus["sealed"][path]
                    first = rng.randrange(len(data))
                    last = min(len(data) - 1, first + rng.randrange(70_000))
                    check("range", m.decrypt_encrypted_file_range(path, KEY, first, last),
                          data[first:last + 1])
                elif choice == 2:
                    batch = [rng.choice(paths) for _ in range(rng.randrange(1, 12))]
                    check("batch", processor.stable_file_identities(batch, 4096, [KEY]),
                          [expected_ids[p] for p in batch])
                elif choice == 3:
                    batch = [rng.choice(paths) for _ in range(4)] + [missing]
                    rng.shuffle(batch)
                    check_raises("batch failure",
                                 lambda: processor.stable_file_identities(batch, 4096, [KEY]),
                                 FileNotFoundError, "No such file or directory (os error 2)")
                elif choice == 4:
                    path = rng.choice(list(corpus["plain"]))
                    data = corpus["plain"][path]
                    fd = os.open(path, os.O_RDONLY)
                    try:
                        check("copy", m.copy_file_descriptor_to_path(fd, target, 4096), len(data))
                    finally:
                        os.close(fd)
                    check("copy content", target.read_bytes(), data)
                elif choice == 5:
                    path = rng.choice(paths)
                    check("status", m.encryption_status(path), statuses[path])
                    check("is_qv", m.is_qv_encrypted_file(path), statuses[path] == "encrypted")
                elif choice == 6:
                    check_raises("range failure",
                                 lambda: m.decrypt_encrypted_file_range(rng.choice(sealed),
                                                                        bytes(32), 0, 0),
                                 ValueError, AUTH)
                    check_raises("identity failure",
                                 lambda: m.stable_file_identity(rng.choice(sealed),
                                                                master_keys=[OLD_KEY]),
                                 OSError, NO_KEY)
                elif choice == 7:
                    check("pdf", m.render_single_page_pdf("concurrent page"), pdf)
                    check("rules", m.anonymization_status_rules(False), rules)
                    check("policy", m.storage_profile_policy_rows(), policy)
                else:
                    for call, want in DECISIONS + references:
                        check("decision", call(m), want)
                    for call, exc_type, message in FAILURES:
                        check_raises("decision failure", lambda: call(m), exc_type, message)
            except BaseException as e:  # noqa: BLE001
                errors.append(f"thread {index}: unexpected {type(e).__name__}: {e}")

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in workers:
        t.start()
    for t in workers:
        t.join(timeout=MIX_SECONDS + 60)
    assert not any(t.is_alive() for t in workers), "a thread is stuck"
    assert not errors, "\n".join(errors[:20])
    every_kind = {"identity", "range", "batch", "batch failure", "copy", "copy content", "status",
                  "is_qv", "range failure", "identity failure", "pdf", "rules", "policy",
                  "decision", "decision failure"}
    assert set().union(*done_kinds) == every_kind
    assert all(len(kinds) >= 8 for kinds in done_kinds), done_kinds
    del processor
    # Its pool threads are gone (threads of earlier tests may leave meanwhile).
    assert settle_threads(baseline) <= baseline


def test_processors_destroyed_while_others_run(m, corpus):
    expected_ids = identities(m, corpus)
    paths = sorted(expected_ids) * 3
    want = [expected_ids[p] for p in paths]
    baseline = threads_now()
    errors: list[str] = []
    stop = threading.Event()
    runs = [0, 0]

    def runner(slot: int):
        processor = m.BatchProcessor(2)
        while not stop.is_set():
            got = processor.stable_file_identities(paths, 65536, [KEY])
            if got != want:
                errors.append(f"runner {slot}: wrong batch result")
            runs[slot] += 1

    runners = [threading.Thread(target=runner, args=(i,)) for i in range(2)]
    for t in runners:
        t.start()
    try:
        rng = random.Random(3)
        for _ in range(200):
            short_lived = m.BatchProcessor(rng.randrange(1, 6))
            if rng.random() < 0.5:
                batch = [rng.choice(paths) for _ in range(5)]
                assert short_lived.stable_file_identities(batch, 4096, [KEY]) == [
                    expected_ids[p] for p in batch]
            del short_lived  # its threads are told to stop while the runners go on
    finally:
        stop.set()
        for t in runners:
            t.join(timeout=60)
    assert not any(t.is_alive() for t in runners)
    assert not errors, errors
    assert min(runs) > 0
    assert settle_threads(baseline) <= baseline


FORKS = 16
FORK_CHILD_OK = 0
FORK_CHILD_WRONG = 3
FORK_CHILD_RAISED = 4


@pytest.mark.skipif(bool(os.environ.get("TAVOLIN_SANITIZED")),
                    reason="this toolchain's address sanitizer does not guard its allocator locks "
                           "across fork: a child forked while a thread allocates can hang in it")
def test_fork_while_a_batch_runs_in_another_thread(m, corpus):
    """The child uses the processor created before the fork (it must start
    its own threads) and a fresh one; it exits with a code the parent checks,
    and a child that hangs is killed and fails the test."""
    expected_ids = identities(m, corpus)
    paths = sorted(expected_ids)
    big = paths * 8
    want_big = [expected_ids[p] for p in big]
    processor = m.BatchProcessor(4)
    stop = threading.Event()
    in_batch = threading.Event()
    batches = [0]
    errors: list[str] = []

    def busy():
        while not stop.is_set():
            in_batch.set()
            got = processor.stable_file_identities(big, 4096, [KEY])
            in_batch.clear()
            if got != want_big:
                errors.append("parent batch wrong")
            batches[0] += 1

    thread = threading.Thread(target=busy)
    thread.start()
    outcomes = []
    inside = 0
    try:
        rng = random.Random(8)
        while batches[0] == 0:
            time.sleep(0.001)
        for _ in range(FORKS):
            time.sleep(rng.uniform(0.0, 0.02))  # land somewhere inside a batch
            inside += in_batch.is_set()
            pid = os.fork()
            if pid == 0:  # the child: no pytest code runs here, it leaves by os._exit
                code = FORK_CHILD_RAISED
                try:
                    before = len(os.listdir("/proc/self/task"))
                    ok = processor.stable_file_identities(paths, 4096, [KEY]) == [
                        expected_ids[p] for p in paths]
                    ok = ok and len(os.listdir("/proc/self/task")) == before + 4
                    ok = ok and m.BatchProcessor(2).stable_file_identities(paths[:3]) == [
                        m.stable_file_identity(p) for p in paths[:3]]
                    ok = ok and m.decrypt_encrypted_file_range(
                        paths[-1], KEY, 0, 9) == corpus["sealed"][paths[-1]][:10]
                    code = FORK_CHILD_OK if ok else FORK_CHILD_WRONG
                finally:
                    os._exit(code)
            outcomes.append(wait_for(pid, timeout=30))
    finally:
        stop.set()
        thread.join(timeout=60)
    assert not thread.is_alive()
    assert not errors
    assert outcomes == [("exit", FORK_CHILD_OK)] * FORKS, outcomes
    assert inside >= FORKS // 2, inside  # most forks hit a running batch
    # The parent's processor still works after the forks.
    assert processor.stable_file_identities(paths, 4096, [KEY]) == [expected_ids[p] for p in paths]


def wait_for(pid: int, timeout: float):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done == pid:
            if os.WIFEXITED(status):
                return ("exit", os.WEXITSTATUS(status))
            return ("signal", os.WTERMSIG(status))
        time.sleep(0.005)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return ("hung", None)
