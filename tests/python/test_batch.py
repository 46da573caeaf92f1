"""BatchProcessor: the type, its constructor, ordered batches on the worker
pool, first failures, concurrent callers, thread names and fork."""
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from tavolin_testing import KEY, container_writer as cw
from tavolin_testing.messages import CHUNK_SIZE, NOT_REGULAR_IDENTITY, WORKER_COUNT

pytestmark = pytest.mark.usefixtures("no_fd_leak")



def write(path, data: bytes):
    path.write_bytes(data)
    return path


def run_python(code: str, timeout=60):
    return subprocess.run([sys.executable, "-W", "error", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout, check=False)


@pytest.fixture
def corpus(tmp_path):
    """Plain files and containers of very different sizes."""
    paths = []
    for i, size in enumerate([0, 1, 4096, 3 << 20, 17, 1 << 20, 9000]):
        paths.append(str(write(tmp_path / f"plain{i}", os.urandom(size))))
    for i, size in enumerate([0, 5000, 2 << 20]):
        path = tmp_path / f"sealed{i}"
        cw.write_container(path, os.urandom(size), KEY, 4096)
        paths.append(str(path))
    return paths


# ---------------------------------------------------------------- the type

def test_type_shape(m):
    cls = m.BatchProcessor
    assert repr(cls) == "<class 'BatchProcessor'>"
    assert cls.__name__ == cls.__qualname__ == "BatchProcessor"
    assert cls.__module__ == "builtins"
    assert cls.__bases__ == (object,)
    assert cls.__text_signature__ == "(worker_count)"
    assert cls.stable_file_identities.__text_signature__ == (
        "($self, paths, chunk_size=..., master_keys=...)")
    assert m.__all__[0] == "BatchProcessor" and m.BatchProcessor is cls


def test_not_subclassable_and_no_instance_dict(m):
    with pytest.raises(TypeError):
        type("Sub", (m.BatchProcessor,), {})
    processor = m.BatchProcessor(1)
    assert not hasattr(processor, "__dict__")
    with pytest.raises(AttributeError):
        processor.extra = 1


def test_import_is_clean_with_warnings_as_errors():
    done = run_python("""
        import tavolin_native_backend as m
        assert repr(m.BatchProcessor) == "<class 'BatchProcessor'>", repr(m.BatchProcessor)
        assert m.BatchProcessor.__module__ == "builtins"
        print("ok")
    """)
    assert (done.returncode, done.stdout, done.stderr) == (0, "ok\n", "")


# ---------------------------------------------------------------- constructor

@pytest.mark.parametrize("args, kwargs, exc_type, message", [
    ((0,), {}, ValueError, WORKER_COUNT),
    ((), {"worker_count": 0}, ValueError, WORKER_COUNT),
    ((), {}, TypeError,
     "BatchProcessor.__new__() missing 1 required positional argument: 'worker_count'"),
    ((1, 2), {}, TypeError, "BatchProcessor.__new__() takes 1 positional arguments but 2 were given"),
    ((1,), {"worker_count": 2}, TypeError,
     "BatchProcessor.__new__() got multiple values for argument 'worker_count'"),
    ((), {"workers": 2}, TypeError, "BatchProcessor.__new__() got an unexpected keyword argument 'workers'"),
    (("2",), {}, TypeError, "argument 'worker_count': 'str' object cannot be interpreted as an integer"),
])
def test_constructor_errors(m, args, kwargs, exc_type, message):
    with pytest.raises(exc_type) as info:
        m.BatchProcessor(*args, **kwargs)
    assert type(info.value) is exc_type and str(info.value) == message


def test_negative_worker_count_overflows(m):
    with pytest.raises(OverflowError):
        m.BatchProcessor(-1)


def test_keyword_worker_count(m, tmp_path):
    path = str(write(tmp_path / "f", b"abc"))
    assert m.BatchProcessor(worker_count=2).stable_file_identities([path]) == [
        m.stable_file_identity(path)]


def test_failed_thread_start_is_a_runtime_error_and_stops_started_threads():
    # Address space for only a handful of thread stacks.
    done = run_python("""
        import os, resource
        import tavolin_native_backend as m

        def tasks():
            return len(os.listdir("/proc/self/task"))

        before = tasks()
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm + (96 << 20), hard))
        try:
            m.BatchProcessor(4096)
        except RuntimeError as e:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            print(type(e).__name__, str(e), sep="|")
            print(tasks() - before)
    """)
    assert done.stderr == ""
    assert done.stdout.splitlines() == [
        "RuntimeError|failed to create Rayon batch processor: "
        "Resource temporarily unavailable (os error 11)",
        "0",
    ]


# ---------------------------------------------------------------- batches

@pytest.mark.parametrize("workers", [1, 2, 5])
def test_results_follow_path_order_and_equal_single_calls(m, corpus, workers):
    rng = random.Random(workers)
    paths = corpus + [corpus[3], corpus[0], corpus[-1]] + rng.sample(corpus, len(corpus))
    processor = m.BatchProcessor(workers)
    for chunk_size in (1 << 20, 4096):
        got = processor.stable_file_identities(paths, chunk_size, [KEY])
        assert got == [m.stable_file_identity(p, chunk_size, [KEY]) for p in paths]


def test_empty_batch_after_the_chunk_size_check(m, tmp_path):
    processor = m.BatchProcessor(2)
    assert processor.stable_file_identities([]) == []
    for chunk_size in (0, 67108865):
        with pytest.raises(ValueError) as info:
            processor.stable_file_identities([str(tmp_path / "missing")], chunk_size)
        assert info.value.args == (CHUNK_SIZE,)
    with pytest.raises(ValueError):
        processor.stable_file_identities([], 0)


@pytest.mark.parametrize("kwargs, message", [
    ({"paths": "abc"}, "argument 'paths': Can't extract `str` to `Vec`"),
    ({"paths": [b"/x"]}, "argument 'paths': 'bytes' object cannot be converted to 'PyString'"),
    ({"paths": [], "master_keys": "abc"}, "argument 'master_keys': Can't extract `str` to `Vec`"),
    ({"paths": [], "master_keys": ["abc"]}, "argument 'master_keys': Can't extract `str` to `Vec`"),
    ({}, "BatchProcessor.stable_file_identities() missing 1 required positional argument: 'paths'"),
])
def test_method_argument_errors(m, kwargs, message):
    with pytest.raises(TypeError) as info:
        m.BatchProcessor(1).stable_file_identities(**kwargs)
    assert str(info.value) == message


def test_a_key_element_out_of_range_of_any_size_is_refused_alike(m):
    processor = m.BatchProcessor(1)
    for element in (256, -1, 2**63, -(2**64)):
        with pytest.raises(OverflowError) as info:
            processor.stable_file_identities([], master_keys=[[1, element]])
        assert info.value.args == ("out of range integral type conversion attempted",), element


def test_directory_fails_the_whole_batch(m, tmp_path, corpus):
    with pytest.raises(OSError) as info:
        m.BatchProcessor(3).stable_file_identities(corpus + [str(tmp_path)] + corpus,
                                                  master_keys=[KEY])
    assert type(info.value) is OSError
    assert info.value.args == (NOT_REGULAR_IDENTITY + str(tmp_path),)


@pytest.mark.parametrize("order, exc_type", [(("dir", "missing"), OSError),
                                             (("missing", "dir"), FileNotFoundError)])
def test_one_worker_raises_the_first_failure_in_path_order(m, tmp_path, order, exc_type):
    good = str(write(tmp_path / "good", b"g"))
    names = {"dir": str(tmp_path), "missing": str(tmp_path / "missing")}
    processor = m.BatchProcessor(1)
    with pytest.raises(OSError) as info:
        processor.stable_file_identities([good] + [names[n] for n in order])
    assert type(info.value) is exc_type
    # The pool stays usable after a failed batch.
    assert processor.stable_file_identities([good]) == [m.stable_file_identity(good)]


def test_one_worker_computes_nothing_after_the_first_failure(m, tmp_path):
    # Under relatime a read moves an access time that is older than the
    # modification time, so an access time left at 0 proves no read happened.
    def stale_atime(name):
        path = write(tmp_path / name, b"content")
        os.utime(path, ns=(0, os.stat(path).st_mtime_ns))
        return str(path)

    probe = stale_atime("probe")
    m.stable_file_identity(probe)
    if os.stat(probe).st_atime_ns == 0:
        pytest.skip("reads do not update access times on this file system")
    good, later = stale_atime("good"), stale_atime("later")
    with pytest.raises(FileNotFoundError):
        m.BatchProcessor(1).stable_file_identities([good, str(tmp_path / "missing"), later])
    assert os.stat(good).st_atime_ns != 0
    assert os.stat(later).st_atime_ns == 0


def test_two_python_threads_share_one_processor(m, corpus):
    processor = m.BatchProcessor(2)
    lists = [corpus * 2, list(reversed(corpus)) + corpus[:3]]
    wanted = [[m.stable_file_identity(p, master_keys=[KEY]) for p in paths] for paths in lists]
    barrier = threading.Barrier(2)
    failures = []

    def caller(which):
        try:
            barrier.wait()
            for _ in range(4):
                got = processor.stable_file_identities(lists[which], master_keys=[KEY])
                if got != wanted[which]:
                    failures.append((which, got))
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append((which, e))

    threads = [threading.Thread(target=caller, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    assert failures == []


# ---------------------------------------------------------------- threads and processes

def test_threads_are_named_and_leave_when_the_processor_goes():
    done = run_python("""
        import gc, os, time
        import tavolin_native_backend as m

        def names():
            out = []
            for task in os.listdir("/proc/self/task"):
                try:
                    with open(f"/proc/self/task/{task}/comm") as f:
                        out.append(f.read().strip())
                except (FileNotFoundError, ProcessLookupError):
                    pass  # the thread left between listing and reading
            return sorted(n for n in out if n.startswith("tavolin"))

        processor = m.BatchProcessor(12)
        print(",".join(names()))
        del processor
        gc.collect()
        deadline = time.monotonic() + 10
        while names() and time.monotonic() < deadline:
            time.sleep(0.01)
        print(",".join(names()))
    """)
    assert done.stderr == ""
    first, after = done.stdout.splitlines()
    expected = sorted([f"tavolin-batch-{i}" for i in range(10)] + ["tavolin-batch-1"] * 2)
    assert first.split(",") == expected
    assert after == ""


def test_processor_created_before_fork_works_in_the_child(m, corpus):
    processor = m.BatchProcessor(2)
    unused_in_child = m.BatchProcessor(3)
    wanted = processor.stable_file_identities(corpus, master_keys=[KEY])
    pid = os.fork()
    if pid == 0:  # child: never returns into pytest
        code = 70
        try:
            got = processor.stable_file_identities(corpus, master_keys=[KEY])
            again = processor.stable_file_identities(corpus[:2])
            del unused_in_child  # the parent's pool: dropped without touching it
            code = 0 if got == wanted and again == wanted[:2] else 71
        finally:
            os._exit(code)
    deadline = time.monotonic() + 30
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail("the batch hung in the forked child")
        time.sleep(0.01)
    assert os.waitstatus_to_exitcode(status) == 0
    assert processor.stable_file_identities(corpus, master_keys=[KEY]) == wanted
    assert unused_in_child.stable_file_identities(corpus[:1]) == wanted[:1]
