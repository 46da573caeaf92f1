"""copy_file_descriptor_to_path: what is copied, from where, what the caller's
descriptor looks like afterwards, and every failure."""

import faulthandler
import os
import socket
import threading

import pytest

from helpers import raises_exactly
from tavolin_testing.messages import CHUNK_SIZE

pytestmark = pytest.mark.usefixtures("no_fd_leak")

DATA = bytes((i * 131 + i // 251) & 0xFF for i in range(1000))


@pytest.fixture
def source(tmp_path):
    """A read-only descriptor of a 1000-byte file, closed afterwards."""
    path = tmp_path / "source.bin"
    path.write_bytes(DATA)
    fd = os.open(path, os.O_RDONLY)
    yield fd
    os.close(fd)


def closed_descriptor() -> int:
    fd = os.open("/dev/null", os.O_RDONLY)
    os.close(fd)
    return fd


def feed(write_end, data: bytes) -> threading.Thread:
    """Writes `data` to `write_end` from a thread, then closes it."""

    def run():
        try:
            if isinstance(write_end, socket.socket):
                write_end.sendall(data)
            else:
                view = memoryview(data)
                while view:
                    view = view[os.write(write_end, view):]
        finally:
            if isinstance(write_end, socket.socket):
                write_end.close()
            else:
                os.close(write_end)

    thread = threading.Thread(target=run)
    thread.start()
    return thread


def test_copies_from_the_current_offset_and_advances_it(m, source, tmp_path):
    target = tmp_path / "target.bin"
    os.lseek(source, 100, os.SEEK_SET)
    copied = m.copy_file_descriptor_to_path(source, target)
    assert copied == 900 and type(copied) is int
    assert target.read_bytes() == DATA[100:]
    assert os.lseek(source, 0, os.SEEK_CUR) == 1000
    # The caller's descriptor is still open and usable.
    os.lseek(source, 0, os.SEEK_SET)
    assert os.read(source, 5) == DATA[:5]


def test_end_of_file_truncates_an_existing_target(m, source, tmp_path):
    target = tmp_path / "target.bin"
    target.write_bytes(b"previous content")
    os.lseek(source, 0, os.SEEK_END)
    assert m.copy_file_descriptor_to_path(source, str(target)) == 0
    assert target.read_bytes() == b""


def test_pipe_source(m, tmp_path):
    read_end, write_end = os.pipe()
    writer = feed(write_end, b"abc")
    try:
        assert m.copy_file_descriptor_to_path(read_end, tmp_path / "t") == 3
    finally:
        writer.join()
        os.close(read_end)
    assert (tmp_path / "t").read_bytes() == b"abc"


def test_large_pipe_source_while_the_lock_is_released(m, tmp_path):
    # The writer is a Python thread: the copy only finishes if it runs
    # without the interpreter lock (otherwise the watchdog ends the run).
    data = os.urandom(3 << 20)
    read_end, write_end = os.pipe()
    writer = feed(write_end, data)
    faulthandler.dump_traceback_later(60, exit=True)
    try:
        assert m.copy_file_descriptor_to_path(read_end, tmp_path / "t", 4096) == len(data)
    finally:
        faulthandler.cancel_dump_traceback_later()
        writer.join()
        os.close(read_end)
    assert (tmp_path / "t").read_bytes() == data


def test_pipe_capacity_is_left_as_it_was(m, tmp_path):
    import fcntl

    read_end, write_end = os.pipe()
    capacity = fcntl.fcntl(read_end, fcntl.F_GETPIPE_SZ)
    writer = feed(write_end, os.urandom(300_000))
    try:
        assert m.copy_file_descriptor_to_path(read_end, tmp_path / "t") == 300_000
        assert fcntl.fcntl(read_end, fcntl.F_GETPIPE_SZ) == capacity
    finally:
        writer.join()
        os.close(read_end)


@pytest.mark.parametrize("chunk_size", [1, 8192, 67108865])
def test_socket_source_for_any_chunk_size(m, tmp_path, chunk_size):
    left, right = socket.socketpair()
    data = os.urandom(200_000)
    writer = feed(right, data)
    try:
        copied = m.copy_file_descriptor_to_path(left.fileno(), tmp_path / "t", chunk_size)
    finally:
        writer.join()
        left.close()
    assert copied == len(data)
    assert (tmp_path / "t").read_bytes() == data


def test_proc_file_source(m, tmp_path):
    # procfs files report size 0 and end of data to the kernel routes.
    fd = os.open("/proc/self/mountinfo", os.O_RDONLY)
    try:
        copied = m.copy_file_descriptor_to_path(fd, tmp_path / "t", 1)
    finally:
        os.close(fd)
    text = (tmp_path / "t").read_text()
    assert copied == len(text.encode()) > 0
    assert " / " in text


def test_character_device_and_pipe_targets_complete(m, source, tmp_path):
    assert m.copy_file_descriptor_to_path(source, "/dev/null") == 1000
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()))
    reader.start()
    os.lseek(source, 0, os.SEEK_SET)
    try:
        assert m.copy_file_descriptor_to_path(source, fifo) == 1000
    finally:
        reader.join()
    assert received == [DATA]


def test_symlink_target_writes_the_linked_file(m, source, tmp_path):
    real = tmp_path / "real.bin"
    real.write_bytes(b"x" * 5000)
    link = tmp_path / "link.bin"
    link.symlink_to(real)
    assert m.copy_file_descriptor_to_path(source, link) == 1000
    assert link.is_symlink()
    assert real.read_bytes() == DATA


def test_surrogate_escaped_target_name(m, source, tmp_path):
    target = os.path.join(str(tmp_path), "caf\udcff.bin")
    assert m.copy_file_descriptor_to_path(source, target) == 1000
    assert b"caf\xff.bin" in os.listdir(bytes(tmp_path))


@pytest.mark.parametrize("name", ["source.bin", "hard.bin", "link.bin"])
def test_same_file_is_refused_and_left_intact(m, source, tmp_path, name):
    os.link(tmp_path / "source.bin", tmp_path / "hard.bin")
    (tmp_path / "link.bin").symlink_to(tmp_path / "source.bin")
    target = str(tmp_path / name)
    with pytest.raises(OSError) as info:
        m.copy_file_descriptor_to_path(source, target)
    assert type(info.value) is OSError
    assert info.value.args == (f"copy source and target are the same file: {target}",)
    assert info.value.errno is None
    assert (tmp_path / "source.bin").read_bytes() == DATA


def test_bad_descriptors_leave_the_target_uncreated(m, tmp_path):
    target = tmp_path / "t"
    with pytest.raises(ValueError) as info:
        m.copy_file_descriptor_to_path(-1, target, 0)
    assert info.value.args == ("source_fd must be non-negative",)
    with pytest.raises(OSError) as info:
        m.copy_file_descriptor_to_path(closed_descriptor(), target)
    assert type(info.value) is OSError
    assert info.value.args == ("Bad file descriptor (os error 9)",)
    assert info.value.errno is None
    assert not target.exists()


def test_chunk_size_zero(m, source, tmp_path):
    with pytest.raises(ValueError) as info:
        m.copy_file_descriptor_to_path(source, tmp_path / "t", 0)
    assert info.value.args == (CHUNK_SIZE,)
    assert not (tmp_path / "t").exists()


def test_target_failures_keep_the_source_offset(m, source, tmp_path):
    with pytest.raises(FileNotFoundError) as info:
        m.copy_file_descriptor_to_path(source, tmp_path / "missing" / "t")
    assert info.value.args == ("No such file or directory (os error 2)",)
    assert os.lseek(source, 0, os.SEEK_CUR) == 0
    with pytest.raises(OSError) as info:
        m.copy_file_descriptor_to_path(source, tmp_path)
    assert type(info.value) is OSError  # not refined to IsADirectoryError
    assert info.value.args == ("Is a directory (os error 21)",)
    # A regular file named as a directory: the creating open's error, the file kept.
    (tmp_path / "file").write_bytes(b"keep")
    raises_exactly(OSError, "Is a directory (os error 21)",
                   m.copy_file_descriptor_to_path, source, f"{tmp_path}/file/")
    assert (tmp_path / "file").read_bytes() == b"keep"
    assert os.lseek(source, 0, os.SEEK_CUR) == 0


@pytest.mark.skipif(os.geteuid() == 0, reason="root ignores permission bits")
def test_unwritable_target(m, source, tmp_path):
    target = tmp_path / "ro"
    target.write_bytes(b"keep")
    target.chmod(0o444)
    with pytest.raises(PermissionError):
        m.copy_file_descriptor_to_path(source, target)
    assert target.read_bytes() == b"keep"


def test_write_failure_reports_the_error(m, source):
    # /dev/full refuses every write with ENOSPC.
    with pytest.raises(OSError) as info:
        m.copy_file_descriptor_to_path(source, "/dev/full")
    assert info.value.args == ("No space left on device (os error 28)",)


def test_unallocatable_chunk_size_is_a_memory_error(m, tmp_path):
    fd = os.open("/proc/self/stat", os.O_RDONLY)
    try:
        for chunk_size in (2**62, 2**64 - 1):
            with pytest.raises(MemoryError):
                m.copy_file_descriptor_to_path(fd, tmp_path / "t", chunk_size)
    finally:
        os.close(fd)


def open_regular_at(where):
    def open_source(tmp_path):
        path = tmp_path / "source.bin"
        path.write_bytes(DATA)
        fd = os.open(path, os.O_RDONLY)
        os.lseek(fd, {"start": 0, "middle": 400, "end": len(DATA)}[where], os.SEEK_SET)
        return fd
    return open_source


def open_pipe(tmp_path):
    read_end, write_end = os.pipe()
    os.write(write_end, b"bytes in the pipe")
    os.close(write_end)
    return read_end


# What each source gives with an unallocatable chunk_size: the bytes a copy
# moves (the kernel routes carry it, no buffer needed), or MemoryError.
@pytest.mark.parametrize("open_source, copied", [
    pytest.param(open_regular_at("start"), DATA, id="regular file at offset 0"),
    pytest.param(open_regular_at("middle"), DATA[400:], id="regular file in the middle"),
    pytest.param(open_regular_at("end"), None, id="regular file at its end"),
    pytest.param(lambda tmp: os.open("/sys/power/state", os.O_RDONLY), None, id="sysfs file",
                 marks=pytest.mark.skipif(not os.access("/sys/power/state", os.R_OK),
                                          reason="no readable /sys/power/state")),
    pytest.param(open_pipe, None, id="pipe"),
    pytest.param(lambda tmp: os.open("/dev/zero", os.O_RDONLY), None, id="character device"),
])
def test_a_memory_error_leaves_the_target_as_it_was(m, tmp_path, open_source, copied):
    target = tmp_path / "target"
    target.write_bytes(b"precious")
    fd = open_source(tmp_path)
    try:
        offset = os.lseek(fd, 0, os.SEEK_CUR) if os.path.isfile(f"/proc/self/fd/{fd}") else None
        if copied is None:
            with pytest.raises(MemoryError) as info:
                m.copy_file_descriptor_to_path(fd, target, 2**62)
            assert type(info.value) is MemoryError
            assert target.read_bytes() == b"precious"
            if offset is not None:  # nothing was read either
                assert os.lseek(fd, 0, os.SEEK_CUR) == offset
        else:
            assert m.copy_file_descriptor_to_path(fd, target, 2**62) == len(copied)
            assert target.read_bytes() == copied
            assert os.lseek(fd, 0, os.SEEK_CUR) == len(DATA)
    finally:
        os.close(fd)


@pytest.mark.parametrize("call, error, message", [
    (lambda m: m.copy_file_descriptor_to_path(3, "/tmp/x", None), TypeError,
     "argument 'chunk_size': 'NoneType' object cannot be interpreted as an integer"),
    (lambda m: m.copy_file_descriptor_to_path(3, "/tmp/x", -1), OverflowError,
     "can't convert negative int to unsigned"),
    (lambda m: m.copy_file_descriptor_to_path(2**40, "/tmp/x"), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda m: m.copy_file_descriptor_to_path(-2**31 - 1, "/tmp/x"), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda m: m.copy_file_descriptor_to_path(1.0, "/tmp/x"), TypeError,
     "argument 'source_fd': 'float' object cannot be interpreted as an integer"),
    (lambda m: m.copy_file_descriptor_to_path(-1, b"/tmp/x"), TypeError,
     "argument 'target_path': 'bytes' object cannot be converted to 'PyString'"),
    (lambda m: m.copy_file_descriptor_to_path(-1, None), TypeError,
     "argument 'target_path': expected str, bytes or os.PathLike object, not NoneType"),
    (lambda m: m.copy_file_descriptor_to_path(-1, "/tmp/x", chunk_size=0), ValueError,
     "source_fd must be non-negative"),
    (lambda m: m.copy_file_descriptor_to_path(0, "/tmp/x", 1, 2), TypeError,
     "copy_file_descriptor_to_path() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda m: m.copy_file_descriptor_to_path(0), TypeError,
     "copy_file_descriptor_to_path() missing 1 required positional argument: 'target_path'"),
    (lambda m: m.copy_file_descriptor_to_path(0, "/tmp/x", size=1), TypeError,
     "copy_file_descriptor_to_path() got an unexpected keyword argument 'size'"),
])
def test_argument_failures(m, call, error, message):
    raises_exactly(error, message, call, m)
