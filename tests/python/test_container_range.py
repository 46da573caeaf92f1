"""Byte-range decryption (`decrypt_encrypted_file_range`) over containers
written by the independent test writer, including damaged variants."""
from __future__ import annotations

import base64
import concurrent.futures
import os
import struct
import subprocess
import sys
import textwrap

import pytest

from tavolin_testing import container_writer as w
from tavolin_testing.messages import (AES_KEY_LENGTH, AUTH, FINAL_LENGTH, FINAL_TRUNCATED,
    GEOMETRY, HEADER_CHUNK, HEADER_CONTRACT, HEADER_JSON, HEADER_LENGTH, NOT_CONTAINER,
    NOT_REGULAR_RANGE, SHORT_READ)
from blocking import call_with_deadline

KEY = bytes(range(1, 33))
G = 64  # chunk size of the small containers
PLAIN = bytes((i * 7 + 3) % 256 for i in range(1000))  # 15 full chunks and 40 bytes


def build(plaintext: bytes, key: bytes = KEY, chunk_size: int = G, *, indent=None,
          change_members=None) -> tuple[bytes, list[bytes]]:
    """Header text and records; `change_members` edits the header members
    after the key was wrapped (records are sealed under the final header)."""
    members, dek = w.header_members(key, chunk_size)
    if change_members:
        change_members(members)
    header = w.header_text(members, indent=indent)
    prefix = base64.urlsafe_b64decode(members["nonce_prefix"])
    return header, w.seal_records(plaintext, dek, prefix, chunk_size, header)


def write(path, header: bytes, records: list[bytes]) -> bytes:
    data = w.assemble(header, records)
    path.write_bytes(data)
    return data


def error_of(m, *args) -> str:
    with pytest.raises(ValueError) as info:
        m.decrypt_encrypted_file_range(*args)
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1
    return info.value.args[0]


def exceeds(start, end, size) -> str:
    return f"requested byte range {start}-{end} exceeds plaintext size {size}"


@pytest.fixture
def small(tmp_path):
    path = tmp_path / "small.qvenc"
    w.write_container(path, PLAIN, KEY, G)
    return path


# ---------------------------------------------------------------- correct reads


@pytest.mark.parametrize(
    "start, end",
    [(0, 0), (999, 999), (0, 999), (0, 63), (64, 127), (63, 64), (60, 200), (1, 998),
     (960, 999), (959, 960), (130, 130), (128, 959)],
)
def test_ranges(m, small, start, end):
    result = m.decrypt_encrypted_file_range(small, KEY, start, end)
    assert type(result) is bytes
    assert result == PLAIN[start:end + 1]


class Unsized:
    """A sequence that only indexes: no length to reserve from."""

    def __init__(self, data):
        self.data = data

    def __getitem__(self, i):
        return self.data[i]


def test_key_and_path_forms(m, small):
    expected = PLAIN[10:100]
    assert m.decrypt_encrypted_file_range(str(small), bytearray(KEY), 10, 99) == expected
    assert m.decrypt_encrypted_file_range(small, list(KEY), 10, 99) == expected
    assert m.decrypt_encrypted_file_range(small, tuple(KEY), start=10, end=99) == expected
    # No length to size the buffer from: the bytes arrive one by one.
    assert m.decrypt_encrypted_file_range(small, Unsized(KEY), 10, 99) == expected


def test_long_key_sequence_is_refused_whole(m, small):
    # A sequence longer than any buffer sized up front grows while it is read.
    assert error_of(m, small, Unsized(KEY * 9), 0, 10) == (
        AES_KEY_LENGTH)
    assert error_of(m, small, list(KEY * 9), 0, 10) == (
        AES_KEY_LENGTH)


@pytest.mark.parametrize("key_length", [16, 24, 32])
def test_master_key_lengths(m, tmp_path, key_length):
    key = os.urandom(key_length)
    path = tmp_path / "c"
    w.write_container(path, PLAIN, key, G)
    assert m.decrypt_encrypted_file_range(path, key, 5, 700) == PLAIN[5:701]


def test_plaintext_of_whole_chunks_has_no_short_record(m, tmp_path, no_fd_leak):
    plain = PLAIN[:3 * G]
    path = tmp_path / "c"
    header, records = build(plain)
    data = write(path, header, records)
    assert len(records) == 3
    assert len(data) == 12 + len(header) + 3 * (G + 20)
    assert m.decrypt_encrypted_file_range(path, KEY, 0, 3 * G - 1) == plain
    assert m.decrypt_encrypted_file_range(path, KEY, 3 * G - 1, 3 * G - 1) == plain[-1:]
    assert error_of(m, path, KEY, 0, 3 * G) == exceeds(0, 3 * G, 3 * G)


def test_empty_plaintext(m, tmp_path, no_fd_leak):
    path = tmp_path / "c"
    header, records = build(b"")
    data = write(path, header, records)
    assert records == [] and len(data) == 12 + len(header)
    assert error_of(m, path, KEY, 0, 0) == exceeds(0, 0, 0)


def test_chunk_size_of_one_and_of_the_maximum(m, tmp_path):
    path = tmp_path / "c"
    w.write_container(path, PLAIN[:50], KEY, 1)
    assert m.decrypt_encrypted_file_range(path, KEY, 3, 41) == PLAIN[3:42]
    w.write_container(path, PLAIN, KEY, 67108864)
    assert m.decrypt_encrypted_file_range(path, KEY, 0, 999) == PLAIN


def test_largest_range_is_served(m, tmp_path):
    plain = os.urandom(8 * 1024 * 1024 + 100)
    path = tmp_path / "big"
    w.write_container(path, plain, KEY, 1024 * 1024)
    result = m.decrypt_encrypted_file_range(path, KEY, 50, 50 + 8388608 - 1)
    assert result == plain[50:50 + 8388608]


def test_parallel_calls(m, small):
    def read(i):
        start = (i * 37) % 900
        return m.decrypt_encrypted_file_range(small, KEY, start, start + 99) == PLAIN[start:start + 100]

    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        assert all(pool.map(read, range(200)))


# ---------------------------------------------------------------- argument checks


@pytest.mark.parametrize(
    "start, end, message",
    [
        (5, 4, "encrypted byte range end precedes start"),
        (2**64 - 1, 0, "encrypted byte range end precedes start"),
        (0, 2**64 - 1, "encrypted byte range length overflowed"),
        (0, 8388608, "native encrypted byte range exceeds 8388608 bytes"),
        (1, 2**64 - 1, "native encrypted byte range exceeds 8388608 bytes"),
    ],
)
def test_range_is_checked_before_the_file(m, tmp_path, no_fd_leak, start, end, message):
    assert error_of(m, tmp_path / "missing", KEY, start, end) == message
    assert error_of(m, tmp_path / "missing", b"short", start, end) == message


def test_range_beyond_plaintext(m, small, no_fd_leak):
    assert error_of(m, small, KEY, 0, 1000) == exceeds(0, 1000, 1000)
    assert error_of(m, small, KEY, 2**64 - 1, 2**64 - 1) == exceeds(2**64 - 1, 2**64 - 1, 1000)
    # The range message comes before any key problem.
    assert error_of(m, small, bytes(32), 1000, 1000) == exceeds(1000, 1000, 1000)
    assert error_of(m, small, b"x" * 20, 1000, 1000) == exceeds(1000, 1000, 1000)


def test_argument_conversions(m, small):
    with pytest.raises(TypeError) as info:
        m.decrypt_encrypted_file_range(small, "key", 0, 1)
    assert str(info.value) == "argument 'master_key': Can't extract `str` to `Vec`"
    # Every element outside 0 ... 255 gets the same text, whatever its size.
    for element in (256, -1, 2**63 - 1, 2**63, -(2**63) - 1, 2**64, -(2**200)):
        with pytest.raises(OverflowError) as info:
            m.decrypt_encrypted_file_range(small, [1, element], 0, 1)
        assert str(info.value) == "out of range integral type conversion attempted", element
    with pytest.raises(OverflowError):
        m.decrypt_encrypted_file_range(small, KEY, -1, 1)
    with pytest.raises(OverflowError):
        m.decrypt_encrypted_file_range(small, KEY, 0, 2**64)
    with pytest.raises(TypeError):
        m.decrypt_encrypted_file_range(small, KEY, 0.0, 1)
    with pytest.raises(TypeError) as info:
        m.decrypt_encrypted_file_range(small, 5, 0, 1)
    assert str(info.value) == "argument 'master_key': 'int' object cannot be converted to 'Sequence'"
    with pytest.raises(TypeError) as info:
        m.decrypt_encrypted_file_range(bytes(small), KEY, 0, 1)
    assert str(info.value) == "argument 'path': 'bytes' object cannot be converted to 'PyString'"


# ---------------------------------------------------------------- keys


@pytest.mark.parametrize(
    "key, message",
    [
        (bytes(32), AUTH),
        (KEY[:16], AUTH),
        (KEY[:24], AUTH),
        (KEY[:20], AES_KEY_LENGTH),
        (b"", AES_KEY_LENGTH),
        (KEY + b"\x00", AES_KEY_LENGTH),
    ],
)
def test_wrong_master_keys(m, small, no_fd_leak, key, message):
    assert error_of(m, small, key, 0, 10) == message


@pytest.mark.parametrize("member", ["wrap_nonce", "wrapped_dek"])
def test_damaged_key_wrap(m, tmp_path, no_fd_leak, member):
    def damage(members):
        raw = bytearray(base64.urlsafe_b64decode(members[member]))
        raw[0] ^= 1
        members[member] = base64.urlsafe_b64encode(bytes(raw)).decode()

    path = tmp_path / "c"
    write(path, *build(PLAIN, change_members=damage))
    assert error_of(m, path, KEY, 0, 10) == AUTH


# ---------------------------------------------------------------- damaged records


def test_reserialised_header_unwraps_but_no_chunk_opens(m, tmp_path, no_fd_leak):
    members, dek = w.header_members(KEY, G)
    compact = w.header_text(members)
    records = w.seal_records(PLAIN, dek, base64.urlsafe_b64decode(members["nonce_prefix"]), G, compact)
    path = tmp_path / "c"
    write(path, compact, records)
    assert m.decrypt_encrypted_file_range(path, KEY, 0, 999) == PLAIN
    for spaced in (w.header_text(members, indent=2), compact + b" ", b"\n" + compact):
        write(path, spaced, records)
        # geometry and key unwrapping still work; every record fails
        assert error_of(m, path, KEY, 0, 1000) == exceeds(0, 1000, 1000)
        assert error_of(m, path, KEY, 0, 0) == AUTH
        assert error_of(m, path, KEY, 999, 999) == AUTH


def test_swapped_records(m, tmp_path, no_fd_leak):
    header, records = build(PLAIN)
    records[1], records[2] = records[2], records[1]
    path = tmp_path / "c"
    write(path, header, records)
    assert error_of(m, path, KEY, 64, 64) == AUTH
    assert error_of(m, path, KEY, 130, 140) == AUTH
    assert m.decrypt_encrypted_file_range(path, KEY, 0, 63) == PLAIN[:64]
    assert m.decrypt_encrypted_file_range(path, KEY, 192, 999) == PLAIN[192:]


@pytest.mark.parametrize("offset_in_record", [4, 4 + 30, 4 + G, 4 + G + 15])
def test_flipped_bit_only_affects_its_chunk(m, tmp_path, no_fd_leak, offset_in_record):
    header, records = build(PLAIN)
    damaged = bytearray(records[5])
    damaged[offset_in_record] ^= 0x10
    records[5] = bytes(damaged)
    path = tmp_path / "c"
    write(path, header, records)
    assert m.decrypt_encrypted_file_range(path, KEY, 0, 5 * G - 1) == PLAIN[:5 * G]
    assert m.decrypt_encrypted_file_range(path, KEY, 6 * G, 999) == PLAIN[6 * G:]
    for start, end in [(5 * G, 5 * G), (5 * G - 1, 5 * G), (6 * G - 1, 6 * G), (0, 999)]:
        assert error_of(m, path, KEY, start, end) == AUTH


def test_record_length_fields_must_match_geometry(m, tmp_path, no_fd_leak):
    header, records = build(PLAIN)
    full = bytearray(records[3])
    full[0:4] = struct.pack(">I", G + 15)
    records[3] = bytes(full)
    path = tmp_path / "c"
    write(path, header, records)
    assert error_of(m, path, KEY, 3 * G, 3 * G) == GEOMETRY
    assert m.decrypt_encrypted_file_range(path, KEY, 0, 3 * G - 1) == PLAIN[:3 * G]

    header, records = build(PLAIN)
    records[-1] = struct.pack(">I", 0xFFFFFFFF) + records[-1][4:]
    write(path, header, records)
    assert error_of(m, path, KEY, 0, 0) == FINAL_LENGTH


def expected_after_cut(cut: int, header_length: int):
    """What a range read of a container cut to `cut` bytes gives: the
    readable plaintext size, or the error message."""
    offset = 12 + header_length
    if cut < offset:
        return SHORT_READ
    full, rest = divmod(cut - offset, G + 20)
    if rest == 0:
        return full * G
    if rest <= 20:
        return FINAL_TRUNCATED
    return FINAL_LENGTH


def test_truncation_at_every_length(m, tmp_path, no_fd_leak):
    plain = PLAIN[:300]  # 4 full chunks and 44 bytes
    header, records = build(plain)
    data = w.assemble(header, records)
    path = tmp_path / "c"
    for cut in range(len(data) + 1):
        path.write_bytes(data[:cut])
        expected = expected_after_cut(cut, len(header))
        if cut == len(data):
            expected = len(plain)
        if isinstance(expected, str):
            assert error_of(m, path, KEY, 0, 0) == expected, cut
        elif expected == 0:
            assert error_of(m, path, KEY, 0, 0) == exceeds(0, 0, 0), cut
        else:
            assert m.decrypt_encrypted_file_range(path, KEY, 0, expected - 1) == plain[:expected], cut
            assert error_of(m, path, KEY, expected - 1, expected) == exceeds(expected - 1, expected, expected)


def test_trailing_bytes_after_the_last_record(m, tmp_path, no_fd_leak):
    header, records = build(PLAIN[:3 * G])
    path = tmp_path / "c"
    for extra in (b"\x00", b"\x00" * 20, b"\x00" * 21, b"\x00" * (G + 19)):
        path.write_bytes(w.assemble(header, records) + extra)
        message = error_of(m, path, KEY, 0, 0)
        assert message in (FINAL_TRUNCATED,
                           FINAL_LENGTH)
        assert message == (FINAL_TRUNCATED if len(extra) <= 20
                           else FINAL_LENGTH)


# ---------------------------------------------------------------- container front


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", SHORT_READ),
        (b"QVENC01", SHORT_READ),
        (b"QVENC01\n\x00\x00", SHORT_READ),
        (b"plain text, not a container", NOT_CONTAINER),
        (b"QVENC01\r" + bytes(100), NOT_CONTAINER),
        (b"QVENC01\n" + struct.pack(">I", 0), HEADER_LENGTH),
        (b"QVENC01\n" + struct.pack(">I", 65537) + bytes(70000), HEADER_LENGTH),
        (b"QVENC01\n" + struct.pack(">I", 0xFFFFFFFF), HEADER_LENGTH),
        (b"QVENC01\n" + struct.pack(">I", 65536) + b"{}", SHORT_READ),
        (b"QVENC01\n" + struct.pack(">I", 2) + b"{}", HEADER_JSON),
        (b"QVENC01\n" + struct.pack(">I", 3) + b"{}\x00", HEADER_JSON),
    ],
)
def test_bad_fronts(m, tmp_path, no_fd_leak, data, message):
    path = tmp_path / "f"
    path.write_bytes(data)
    assert error_of(m, path, KEY, 0, 0) == message


def test_header_rules_apply_to_the_stored_header(m, tmp_path, no_fd_leak):
    path = tmp_path / "c"
    write(path, *build(PLAIN, change_members=lambda mm: mm.update(version=2)))
    assert error_of(m, path, KEY, 0, 0) == HEADER_CONTRACT
    write(path, *build(PLAIN, change_members=lambda mm: mm.update(chunk_size=0)))
    assert error_of(m, path, KEY, 0, 0) == HEADER_CHUNK


# ---------------------------------------------------------------- paths


def test_missing_path_is_a_value_error(m, tmp_path, no_fd_leak):
    assert error_of(m, tmp_path / "missing", KEY, 0, 0) == "No such file or directory (os error 2)"




def test_directory_and_devices(m, tmp_path, no_fd_leak):
    assert error_of(m, tmp_path, KEY, 0, 0) == "Is a directory (os error 21)"
    assert error_of(m, "/dev/null", KEY, 0, 0) == NOT_REGULAR_RANGE
    assert error_of(m, "/dev/zero", KEY, 0, 0) == NOT_REGULAR_RANGE


def test_fifo_is_refused_without_waiting_or_reading(m, tmp_path, no_fd_leak):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    outcome = call_with_deadline(lambda: m.decrypt_encrypted_file_range(fifo, KEY, 0, 0), fifo)
    assert type(outcome.get("error")) is ValueError
    assert outcome["error"].args == (NOT_REGULAR_RANGE,)

    writer = os.open(fifo, os.O_RDWR)  # a writer whose bytes must stay in the pipe
    try:
        os.write(writer, b"QVENC01\n")
        outcome = call_with_deadline(lambda: m.decrypt_encrypted_file_range(fifo, KEY, 0, 0), fifo)
        assert os.read(writer, 64) == b"QVENC01\n"
    finally:
        os.close(writer)
    assert type(outcome.get("error")) is ValueError
    assert outcome["error"].args == (NOT_REGULAR_RANGE,)


def test_hostile_lengths_stay_within_bounds(tmp_path):
    """Under an address-space limit far below the lengths the fields claim,
    the calls fail with their messages, not with MemoryError."""
    path = tmp_path / "c"
    members, dek = w.header_members(KEY, 67108864)
    header = w.header_text(members)
    # A final record claiming 4 GiB, and a front claiming a 4 GiB header.
    path.write_bytes(w.assemble(header, [struct.pack(">I", 0xFFFFFFFF) + bytes(40)]))
    hostile_header = tmp_path / "h"
    hostile_header.write_bytes(b"QVENC01\n" + struct.pack(">I", 0xFFFFFFFF) + bytes(100))
    script = textwrap.dedent(f"""
        import resource, sys
        import tavolin_native_backend as m
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        limit = size + 48 * 1024 * 1024
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        for path in ({str(path)!r}, {str(hostile_header)!r}):
            try:
                m.decrypt_encrypted_file_range(path, {KEY!r}, 0, 0)
            except ValueError as e:
                print(e.args[0])
        try:
            m.parse_encrypted_header(b"[" * 65536)
        except ValueError as e:
            print(e.args[0])
    """)
    env = dict(os.environ)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=env, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        FINAL_LENGTH,
        HEADER_LENGTH,
        HEADER_JSON,
    ]
