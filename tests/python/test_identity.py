"""stable_file_identity: digests of plain files and containers, record
geometry, key generations, file types, times, change detection and the
binding's argument handling."""
import base64
import os
import pathlib
import struct
import threading
import time

import pytest

from tavolin_testing import KEY, container_writer as cw
from tavolin_testing.container_writer import AESGCM
from tavolin_testing.messages import (AUTH, CHANGED, CHUNK_SIZE, GEOMETRY, HEADER_JSON,
    HEADER_LENGTH, NOT_REGULAR_IDENTITY, NO_KEY, SHORT_READ)
from helpers import raises_exactly, sha

pytestmark = pytest.mark.usefixtures("no_fd_leak")

MIB = 1 << 20
CHUNK_SIZES = [1, 4096, MIB, 64 * MIB]
OTHER_KEY = bytes(range(100, 132))


def write(path, data: bytes):
    path.write_bytes(data)
    return path


def expected(path, content: bytes):
    st = os.stat(path)
    return (st.st_size, st.st_mtime_ns, sha(content))


# ---------------------------------------------------------------- digests

PLAIN_CONTENTS = {
    "empty": b"",
    "five": b"hello",
    "magic-7": cw.MAGIC[:7],
    "eight-not-magic": b"QVENC01\r",
    "odd-pages": os.urandom(3 * 4096 + 1),
    "200k": os.urandom(200_000),
}


@pytest.mark.parametrize("chunk_size", CHUNK_SIZES)
@pytest.mark.parametrize("name", PLAIN_CONTENTS)
def test_plain_digest_is_sha256_of_bytes_for_every_chunk_size(m, tmp_path, name, chunk_size):
    content = PLAIN_CONTENTS[name]
    path = write(tmp_path / "f", content)
    assert m.stable_file_identity(str(path), chunk_size) == expected(path, content)


def test_result_types_and_default_chunk_size(m, tmp_path):
    path = write(tmp_path / "f", b"abc")
    size, mtime_ns, digest = result = m.stable_file_identity(pathlib.Path(path))
    assert type(result) is tuple and type(size) is int and type(mtime_ns) is int
    assert digest == "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
    assert m.stable_file_identity(path, chunk_size=67108864) == result


CONTAINER_PLAINTEXTS = {
    "empty": (b"", 16),
    "one-byte": (b"x", 16),
    "short-last": (os.urandom(3 * 1000 + 7), 1000),
    "exact-multiple": (os.urandom(3 * 1000), 1000),
    "one-full": (os.urandom(4096), 4096),
    # Records whose length field and body fill 16 KiB exactly, and records
    # well beyond that, read partly through a small buffer and partly straight
    # into their slot.
    "records-16k-whole": (os.urandom(5 * 16364 + 9), 16364),
    "records-64k": (os.urandom(3 * 65536 + 100), 65536),
}


@pytest.mark.parametrize("chunk_size", CHUNK_SIZES)
@pytest.mark.parametrize("name", CONTAINER_PLAINTEXTS)
def test_container_digest_is_sha256_of_plaintext(m, tmp_path, name, chunk_size):
    plaintext, record_size = CONTAINER_PLAINTEXTS[name]
    path = tmp_path / "c"
    data = cw.write_container(path, plaintext, KEY, record_size)
    size, mtime_ns, digest = m.stable_file_identity(path, chunk_size, [KEY])
    assert (size, mtime_ns, digest) == (len(data), os.stat(path).st_mtime_ns, sha(plaintext))


def test_container_and_its_plaintext_share_the_digest(m, tmp_path):
    plaintext = os.urandom(10_000)
    plain = write(tmp_path / "plain", plaintext)
    sealed = tmp_path / "sealed"
    cw.write_container(sealed, plaintext, KEY, 4096)
    a = m.stable_file_identity(plain)
    b = m.stable_file_identity(sealed, master_keys=[KEY])
    assert a[2] == b[2] and a[0] != b[0]


# ---------------------------------------------------------------- key generations

@pytest.mark.parametrize("keys", [
    [OTHER_KEY, KEY],
    [KEY, OTHER_KEY],
    [b"0123456789", KEY],          # unusable length: skipped
    [bytearray(KEY)],
    [list(KEY)],
    (KEY,),
])
def test_key_generations_are_tried_in_order_until_one_fits(m, tmp_path, keys):
    path = tmp_path / "c"
    cw.write_container(path, b"payload", KEY, 16)
    assert m.stable_file_identity(path, master_keys=keys)[2] == sha(b"payload")


@pytest.mark.parametrize("length", [16, 24])
def test_shorter_master_keys_wrap_the_data_key(m, tmp_path, length):
    path = tmp_path / "c"
    cw.write_container(path, b"payload", KEY[:length], 16)
    assert m.stable_file_identity(path, master_keys=[KEY[:length]])[2] == sha(b"payload")


@pytest.mark.parametrize("keys", [[], [b"0123456789"], [OTHER_KEY], [KEY[:16]]])
def test_no_fitting_generation_fails_even_for_empty_plaintext(m, tmp_path, keys):
    path = tmp_path / "c"
    cw.write_container(path, b"", KEY, 16)
    raises_exactly(OSError, NO_KEY, m.stable_file_identity, path, master_keys=keys)


# ---------------------------------------------------------------- record geometry and faults

def sealed_record(dek, prefix, header, index, plaintext):
    sealed = AESGCM(dek).encrypt(prefix + struct.pack(">I", index), plaintext, header)
    return struct.pack(">I", len(sealed)) + sealed


def build(records_fn, chunk_size=16):
    """A container whose records come from records_fn(seal) -> list of bytes."""
    members, dek = cw.header_members(KEY, chunk_size)
    header = cw.header_text(members)
    prefix = base64.urlsafe_b64decode(members["nonce_prefix"])
    records = records_fn(lambda index, plaintext: sealed_record(dek, prefix, header, index, plaintext))
    return cw.assemble(header, records)


FULL = b"F" * 16


def tampered(seal):
    record = bytearray(seal(0, FULL))
    record[10] ^= 1
    return [bytes(record)]


RECORD_FAULTS = {
    "short-then-full": (lambda s: [s(0, b"abc"), s(1, FULL)], GEOMETRY),
    "short-then-short": (lambda s: [s(0, b"abc"), s(1, b"de")], GEOMETRY),
    "empty-chunk": (lambda s: [s(0, FULL), s(1, b"")], GEOMETRY),
    "zero-length": (lambda s: [struct.pack(">I", 0)], GEOMETRY),
    "length-five": (lambda s: [struct.pack(">I", 5) + b"x" * 5], GEOMETRY),
    "longer-than-chunk": (lambda s: [struct.pack(">I", 33) + b"x" * 33], GEOMETRY),
    "ends-in-length-field": (lambda s: [s(0, FULL), b"\x00\x00"], SHORT_READ),
    "ends-after-one-length-byte": (lambda s: [s(0, FULL), b"\x00"], SHORT_READ),
    "ends-in-body": (lambda s: [s(0, FULL), struct.pack(">I", 32) + b"x" * 10], SHORT_READ),
    "tampered": (tampered, AUTH),
    "swapped": (lambda s: [s(1, FULL), s(0, FULL)], AUTH),
    "wrong-index": (lambda s: [s(0, FULL), s(2, b"x")], AUTH),
}


@pytest.mark.parametrize("name", RECORD_FAULTS)
def test_record_faults(m, tmp_path, name):
    records_fn, message = RECORD_FAULTS[name]
    path = write(tmp_path / "c", build(records_fn))
    raises_exactly(OSError, message, m.stable_file_identity, path, 1, [KEY])


def test_file_ending_exactly_after_full_records_succeeds(m, tmp_path):
    path = write(tmp_path / "c", build(lambda s: [s(0, FULL), s(1, FULL)]))
    assert m.stable_file_identity(path, master_keys=[KEY])[2] == sha(FULL * 2)


def test_rewritten_header_whitespace_fails_every_record(m, tmp_path):
    members, dek = cw.header_members(KEY, 16)
    header = cw.header_text(members)
    prefix = base64.urlsafe_b64decode(members["nonce_prefix"])
    records = [sealed_record(dek, prefix, header, 0, FULL)]
    path = write(tmp_path / "c", cw.assemble(cw.header_text(members, indent=2), records))
    raises_exactly(OSError, AUTH, m.stable_file_identity, path, master_keys=[KEY])


HEADER_FAULTS = {
    "magic-only": (cw.MAGIC, SHORT_READ),
    "magic-then-garbage": (cw.MAGIC + b"garbage that is no header", HEADER_LENGTH),
    "zero-header-length": (cw.MAGIC + b"\x00\x00\x00\x00", HEADER_LENGTH),
    "header-cut-short": (cw.MAGIC + b"\x00\x00\x00\x10{}", SHORT_READ),
    "invalid-json": (cw.MAGIC + b"\x00\x00\x00\x02{]", HEADER_JSON),
}


@pytest.mark.parametrize("name", HEADER_FAULTS)
def test_magic_followed_by_a_bad_front_is_never_hashed_as_plain(m, tmp_path, name):
    data, message = HEADER_FAULTS[name]
    path = write(tmp_path / "c", data)
    raises_exactly(OSError, message, m.stable_file_identity, path, master_keys=[KEY])


# ---------------------------------------------------------------- file types and paths

def test_missing_path(m, tmp_path):
    raises_exactly(FileNotFoundError, "No such file or directory (os error 2)",
                   m.stable_file_identity, tmp_path / "missing")


def test_final_symlink_is_refused_but_directory_links_are_followed(m, tmp_path):
    real_dir = tmp_path / "real"
    real_dir.mkdir()
    target = write(real_dir / "f", b"data")
    (tmp_path / "link").symlink_to(target)
    (tmp_path / "dirlink").symlink_to(real_dir)
    raises_exactly(OSError, "Too many levels of symbolic links (os error 40)",
                   m.stable_file_identity, tmp_path / "link")
    assert m.stable_file_identity(tmp_path / "dirlink" / "f") == expected(target, b"data")


def test_directory_is_not_a_regular_file(m, tmp_path):
    raises_exactly(OSError, NOT_REGULAR_IDENTITY + str(tmp_path),
                   m.stable_file_identity, str(tmp_path))


def test_fifo_is_refused_without_waiting_for_a_writer(m, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    outcome = {}

    def probe():
        try:
            m.stable_file_identity(fifo)
        except OSError as e:
            outcome["error"] = e

    thread = threading.Thread(target=probe)
    thread.start()
    thread.join(10)
    if thread.is_alive():  # unblock the stuck open before failing
        os.close(os.open(fifo, os.O_WRONLY))
        thread.join()
        pytest.fail("opening a FIFO blocked")
    assert type(outcome["error"]) is OSError
    assert outcome["error"].args == (NOT_REGULAR_IDENTITY + str(fifo),)


def test_undecodable_path_bytes_are_rendered_as_replacement_characters(m, tmp_path):
    raw = os.fsencode(tmp_path) + b"/dir-\xff\xe2\x82-end"
    os.mkdir(raw)
    rendered = raw.decode("utf-8", "replace")
    assert rendered.endswith("/dir-\ufffd\ufffd-end")
    raises_exactly(OSError, NOT_REGULAR_IDENTITY + rendered,
                   m.stable_file_identity, os.fsdecode(raw))


@pytest.mark.parametrize("mtime_ns", [
    -1_500_000_000_123_456_789,    # before 1970
    -1,
    1_700_000_000_123_456_789,     # all nine nanosecond digits
    13_000_000_000_987_654_321,    # beyond the signed 64-bit nanosecond range
])
def test_modification_time_in_nanoseconds(m, tmp_path, mtime_ns):
    path = write(tmp_path / "f", b"x")
    os.utime(path, ns=(0, mtime_ns))
    if os.stat(path).st_mtime_ns != mtime_ns:
        pytest.skip("the file system cannot store this time")
    assert m.stable_file_identity(path)[1] == mtime_ns


# ---------------------------------------------------------------- change detection

def reading_offset(path):
    """The offset of a descriptor of this process open on `path`, or None."""
    target = os.path.realpath(path)
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") != target:
                continue
            with open(f"/proc/self/fdinfo/{fd}") as info:
                for line in info:
                    if line.startswith("pos:"):
                        return int(line.split()[1])
        except OSError:
            continue
    return None


def identity_disturbed(m, path, disturb):
    """Runs the identity of `path` byte by byte and calls disturb() once the
    content is being hashed (after the opening snapshot)."""
    outcome = {}

    def run():
        try:
            outcome["result"] = m.stable_file_identity(path, 1)
        except BaseException as e:  # noqa: BLE001 - handed to the test
            outcome["error"] = e

    thread = threading.Thread(target=run)
    thread.start()
    deadline = time.monotonic() + 30
    while (reading_offset(path) or 0) < 64:
        assert thread.is_alive(), "identity finished before the file could be changed"
        assert time.monotonic() < deadline
        time.sleep(0.001)
    disturb()
    thread.join()
    return outcome


def big_file(tmp_path):
    # Large enough that a run of the smallest reads (a read fills at least the
    # container magic's 8 bytes) lasts about half a second: on a loaded machine
    # the change must still fall inside the run, after the poll above saw it.
    return write(tmp_path / "f", os.urandom(8 * 1024 * 1024))


def test_append_during_the_run_is_detected(m, tmp_path):
    path = big_file(tmp_path)

    def append():
        with open(path, "ab") as f:
            f.write(b"more")

    outcome = identity_disturbed(m, path, append)
    assert type(outcome["error"]) is OSError
    assert outcome["error"].args == (CHANGED + str(path),)


def test_new_modification_time_during_the_run_is_detected(m, tmp_path):
    path = big_file(tmp_path)
    before = os.stat(path).st_mtime_ns
    outcome = identity_disturbed(m, path, lambda: os.utime(path, ns=(before, before + 1)))
    assert outcome["error"].args == (CHANGED + str(path),)


def test_file_renamed_over_the_path_during_the_run_is_detected(m, tmp_path):
    path = big_file(tmp_path)
    other = write(tmp_path / "other", path.read_bytes())
    os.utime(other, ns=(0, os.stat(path).st_mtime_ns))
    outcome = identity_disturbed(m, path, lambda: os.replace(other, path))
    assert outcome["error"].args == (CHANGED + str(path),)


def test_path_deleted_during_the_run_is_not_found(m, tmp_path):
    path = big_file(tmp_path)
    outcome = identity_disturbed(m, path, lambda: os.unlink(path))
    assert type(outcome["error"]) is FileNotFoundError
    assert outcome["error"].args == ("No such file or directory (os error 2)",)


def test_undisturbed_byte_by_byte_run_succeeds(m, tmp_path):
    path = big_file(tmp_path)
    assert identity_disturbed(m, path, lambda: None)["result"] == expected(path, path.read_bytes())


# ---------------------------------------------------------------- arguments

@pytest.mark.parametrize("chunk_size", [0, 67108865, 2**64 - 1])
def test_chunk_size_is_checked_before_the_path_is_touched(m, tmp_path, chunk_size):
    raises_exactly(ValueError, CHUNK_SIZE,
                   m.stable_file_identity, tmp_path / "missing", chunk_size)


@pytest.mark.parametrize("kwargs, message", [
    ({"path": b"/tmp/x"}, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    ({"path": "/x", "master_keys": "abc"}, "argument 'master_keys': Can't extract `str` to `Vec`"),
    ({"path": "/x", "master_keys": ["abc"]}, "argument 'master_keys': Can't extract `str` to `Vec`"),
    ({"path": "/x", "master_keys": None},
     "argument 'master_keys': 'NoneType' object cannot be converted to 'Sequence'"),
    ({"path": "/x", "chunk_size": None}, None),
    ({"path": "/x", "colour": 1}, "stable_file_identity() got an unexpected keyword argument 'colour'"),
])
def test_argument_errors(m, kwargs, message):
    with pytest.raises(TypeError) as info:
        m.stable_file_identity(**kwargs)
    if message is None:
        assert str(info.value).startswith("argument 'chunk_size': ")
    else:
        assert str(info.value) == message


def test_positional_bytes_path_and_negative_chunk_size(m):
    with pytest.raises(TypeError, match="^argument 'path': 'bytes' object cannot be converted to 'PyString'$"):
        m.stable_file_identity(b"/tmp/x")
    with pytest.raises(OverflowError):
        m.stable_file_identity("/tmp/x", -1)
    for element in (256, 2**63, -(2**64)):
        raises_exactly(OverflowError, "out of range integral type conversion attempted",
                       m.stable_file_identity, "/tmp/x", master_keys=[[1, element]])


def test_interior_nul_in_path_is_refused_by_the_conversion(m):
    raises_exactly(ValueError, "embedded null byte", m.stable_file_identity, "/tmp/a\0b")
