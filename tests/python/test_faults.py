"""Fault checks of the container reader, identity and copy paths.

Two kinds of faults:
- damaged containers: every single-bit flip and every truncation of a small
  three-record container, read as a whole range, as an inner range and as an
  identity. Each call must either fail with one of the fixed messages of the
  container and range code or return exactly the right bytes / digest;
- I/O failures injected with the LD_PRELOAD shim tests/faults/fault_shim.c
  into a child interpreter (read, pread, preadv, write, fsync,
  copy_file_range, sendfile, splice). Each must surface as the documented exception, leak no
  descriptor, lose nothing, and the shim must report that it really fired.
"""
from __future__ import annotations

import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

from tavolin_testing import KEY, container_writer as cw
from tavolin_testing.messages import (AUTH, FINAL_LENGTH, FINAL_TRUNCATED, GEOMETRY, HEADER_CHUNK,
    HEADER_CONTRACT, HEADER_JSON, HEADER_LENGTH, KEY_MATERIAL, NOT_CONTAINER, NO_KEY, SHORT_READ)
from helpers import os_error_text, sha

SOURCE_DIR = Path(os.environ.get("TAVOLIN_SOURCE_DIR") or Path(__file__).resolve().parents[2])
SHIM_SOURCE = SOURCE_DIR / "tests" / "faults" / "fault_shim.c"

CHUNK = 16
RECORD = CHUNK + 20


class Sample:
    """A small container written with fixed randomness, and the ranges read
    from it."""

    def __init__(self, name: str, size: int, seed: int):
        rng = random.Random(seed)
        self.name = name
        self.plaintext = rng.randbytes(size)
        self.container = cw.make_container(self.plaintext, KEY, CHUNK, dek=rng.randbytes(32),
                                           wrap_nonce=rng.randbytes(12),
                                           nonce_prefix=rng.randbytes(8))
        self.payload = 12 + int.from_bytes(self.container[8:12], "big")
        self.records = -(-size // CHUNK)
        assert len(self.container) == self.payload + self.records * 20 + size
        self.spans = [(0, max(size - 1, 0))]  # the whole plaintext
        if size > 21:
            self.spans.append((10, 21))  # the tail of chunk 0 and the head of chunk 1
        if size > 1:
            self.spans.append((size - 1, size - 1))

    def __repr__(self):
        return self.name


SAMPLES = [
    Sample("three records, the last short", 40, 20240611),
    Sample("three full records", 48, 7),
    Sample("one byte", 1, 8),
    Sample("empty plaintext", 0, 9),
]


# Every message that a damaged file can draw from the container front.
FRONT_MESSAGES = {
    SHORT_READ,
    NOT_CONTAINER,
    HEADER_LENGTH,
    HEADER_JSON,
    HEADER_CONTRACT,
    HEADER_CHUNK,
    "encrypted header base64 is invalid",
    KEY_MATERIAL,
}
# ... from the range reader, besides the plaintext-size message below.
RANGE_MESSAGES = FRONT_MESSAGES | {
    "encrypted payload size is invalid",
    FINAL_TRUNCATED,
    FINAL_LENGTH,
    "encrypted final chunk payload is invalid",
    GEOMETRY,
    AUTH,
}
SIZE_MESSAGE = re.compile(r"requested byte range (\d+)-(\d+) exceeds plaintext size (\d+)")
# ... and from the identity of a file that starts with the magic.
IDENTITY_MESSAGES = (FRONT_MESSAGES - {NOT_CONTAINER}) | {
    NO_KEY,
    GEOMETRY,
    AUTH,
}


def tmpfs_dir() -> str | None:
    shm = "/dev/shm"
    return shm if os.path.isdir(shm) and os.access(shm, os.W_OK) else None


@pytest.fixture(scope="session")
def fault_dir():
    """A directory on tmpfs (when there is one) for the damaged files; its
    path is the prefix the shim restricts its faults to."""
    path = tempfile.mkdtemp(prefix="tavolin-faults-", dir=tmpfs_dir())
    yield Path(path)
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    # A shim built elsewhere, for a machine without a compiler (the wheel checks).
    if os.environ.get("TAVOLIN_FAULT_SHIM"):
        return Path(os.environ["TAVOLIN_FAULT_SHIM"])
    out = tmp_path_factory.mktemp("shim") / "fault_shim.so"
    subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", str(out), str(SHIM_SOURCE), "-ldl"],
                   check=True, capture_output=True, text=True)
    return out


# ---------------------------------------------------------------- damaged containers

def range_outcome(m, path, span):
    try:
        return ("ok", m.decrypt_encrypted_file_range(path, KEY, *span))
    except Exception as e:  # noqa: BLE001 - every exception is judged below
        assert type(e) is ValueError, (type(e), e)
        assert len(e.args) == 1 and type(e.args[0]) is str
        return ("error", e.args[0])


def identity_outcome(m, path):
    try:
        return ("ok", m.stable_file_identity(path, master_keys=[KEY]))
    except Exception as e:  # noqa: BLE001
        assert type(e) is OSError and e.errno is None, (type(e), e)
        assert len(e.args) == 1 and type(e.args[0]) is str
        return ("error", e.args[0])


def check_range(outcome, span, plaintext):
    kind, value = outcome
    if kind == "ok":
        assert value == plaintext[span[0]:span[1] + 1]
        return
    size = SIZE_MESSAGE.fullmatch(value)
    if size:
        assert (int(size[1]), int(size[2])) == span and int(size[3]) <= span[1]
    else:
        assert value in RANGE_MESSAGES, value


def check_identity(outcome, path, data, good_digests):
    kind, value = outcome
    if data[:8] != cw.MAGIC:
        # Not a container any more: hashed as the plain bytes it holds.
        assert outcome == ("ok", (len(data), os.stat(path).st_mtime_ns, sha(data)))
        return
    if kind == "ok":
        assert value[0] == len(data) and value[1] == os.stat(path).st_mtime_ns
        assert value[2] in good_digests
    else:
        assert value in IDENTITY_MESSAGES, value


def region(sample: Sample, offset: int) -> tuple[str, int | None]:
    """Which part of the container a byte belongs to, and its record index."""
    if offset < 8:
        return "magic", None
    if offset < sample.payload:
        return "front", None
    index, within = divmod(offset - sample.payload, RECORD)
    return ("length" if within < 4 else "sealed"), index


def touched(span) -> set[int]:
    return set(range(span[0] // CHUNK, span[1] // CHUNK + 1))


def write_over(path: Path, data: bytes):
    with open(path, "wb") as f:
        f.write(data)


@pytest.mark.parametrize("sample", SAMPLES, ids=repr)
def test_every_single_bit_flip_fails_with_a_known_message_or_reads_right(m, fault_dir, sample):
    path = fault_dir / "flipped"
    # The range reader sizes the plaintext from the final record's length
    # field only when that record is short (the file size tells the rest).
    short_final = sample.records - 1 if len(sample.plaintext) % CHUNK else None
    counts = {"ok": 0, "error": 0}
    for byte in range(len(sample.container)):
        place, index = region(sample, byte)
        for bit in range(8):
            data = bytearray(sample.container)
            data[byte] ^= 1 << bit
            data = bytes(data)
            write_over(path, data)
            for span in sample.spans:
                outcome = range_outcome(m, path, span)
                check_range(outcome, span, sample.plaintext)
                counts[outcome[0]] += 1
                where = f"bit {bit} of byte {byte} ({place}), range {span}"
                # What the format guarantees for each part of the file.
                if place == "magic":
                    assert outcome == ("error", NOT_CONTAINER), where
                elif place == "front":
                    assert outcome[0] == "error", where
                elif place == "sealed" and index in touched(span):
                    assert outcome == ("error", AUTH), where
                elif place == "sealed":
                    assert outcome[0] == "ok", where
                elif index in touched(span) or index == short_final:
                    assert outcome[0] == "error", where
                else:
                    assert outcome[0] == "ok", where
            outcome = identity_outcome(m, path)
            check_identity(outcome, path, data, {sha(sample.plaintext)})
            where = f"bit {bit} of byte {byte} ({place})"
            if place == "sealed":
                assert outcome == ("error", AUTH), where
            elif place == "length" or (place == "front" and sample.records > 0):
                # Every record authenticates the header text; without records
                # a header that still validates and unwraps hashes as empty.
                assert outcome[0] == "error", where
    # The checks above were not vacuous: files that read (when a range leaves
    # a record untouched) and files that fail.
    assert counts["error"] > 0
    assert (counts["ok"] > 0) == (sample.records > 1)


@pytest.mark.parametrize("sample", SAMPLES, ids=repr)
def test_every_truncation_fails_with_a_known_message_or_reads_a_record_prefix(m, fault_dir,
                                                                              sample):
    path = fault_dir / "truncated"
    boundaries = {sample.payload + k * RECORD: k * CHUNK for k in range(sample.records)}
    for length in range(len(sample.container)):
        data = sample.container[:length]
        write_over(path, data)
        plain_size = boundaries.get(length)
        for span in sample.spans:
            outcome = range_outcome(m, path, span)
            check_range(outcome, span, sample.plaintext)
            if length < sample.payload:
                assert outcome == ("error", SHORT_READ), length
            elif plain_size is None:
                assert outcome[0] == "error" and not SIZE_MESSAGE.fullmatch(outcome[1]), length
            elif span[1] < plain_size:
                assert outcome[0] == "ok", length  # a cut at a record boundary
            else:
                assert outcome == ("error", f"requested byte range {span[0]}-{span[1]} exceeds "
                                            f"plaintext size {plain_size}"), length
        good = {sha(sample.plaintext[:plain_size])} if plain_size is not None else set()
        outcome = identity_outcome(m, path)
        check_identity(outcome, path, data, good)
        if length >= 8:
            assert (outcome[0] == "ok") == (plain_size is not None), length
    # The whole file itself reads back completely.
    write_over(path, sample.container)
    for span in sample.spans:
        expected = sample.plaintext[span[0]:span[1] + 1]
        if expected:
            assert range_outcome(m, path, span) == ("ok", expected)
    assert identity_outcome(m, path)[1][2] == sha(sample.plaintext)


# ---------------------------------------------------------------- injected I/O failures

PRELUDE = r'''
import json, os, sys
import tavolin_native_backend as m

def _fds():
    return {fd for fd in os.listdir("/proc/self/fd") if os.path.exists(f"/proc/self/fd/{fd}")}

def run(label, fn):
    before = _fds()
    try:
        value = fn()
        out = {"ok": True, "value": value.hex() if isinstance(value, bytes) else value}
    except BaseException as e:
        out = {"ok": False, "type": type(e).__name__, "args": [str(a) for a in e.args],
               "errno": getattr(e, "errno", None)}
    out["leaked"] = sorted(_fds() - before)
    print("RESULT " + label + " " + json.dumps(out), flush=True)
'''


class Child:
    def __init__(self, results, injected, traced, stderr):
        self.results = results
        self.injected = injected
        self.traced = traced
        self.stderr = stderr


def run_with_faults(shim, fault_dir, code, faults, trace=False, timeout=60) -> Child:
    env = dict(os.environ)
    if shim is not None:
        preload = [p for p in env.get("LD_PRELOAD", "").split(":") if p]
        env["LD_PRELOAD"] = ":".join(preload + [str(shim)])  # a sanitizer runtime stays first
    env["TAVOLIN_FAULT"] = ",".join(faults)
    env["TAVOLIN_FAULT_PATH"] = str(fault_dir) + "/"
    if trace:
        env["TAVOLIN_FAULT_TRACE"] = "1"
    else:
        env.pop("TAVOLIN_FAULT_TRACE", None)
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout, check=False)
    assert done.returncode == 0, done.stderr
    results = {}
    for line in done.stdout.splitlines():
        if line.startswith("RESULT "):
            _, label, payload = line.split(" ", 2)
            results[label] = json.loads(payload)
    injected = [l.split()[1:3] for l in done.stderr.splitlines()
                if l.startswith("tavolin-fault: ")]
    traced = [l.split()[1] for l in done.stderr.splitlines()
              if l.startswith("tavolin-fault-trace: ")]
    for result in results.values():
        assert result["leaked"] == [], result
    return Child(results, injected, traced, done.stderr)


def failed(result, type_name, message):
    assert result["ok"] is False, result
    assert (result["type"], result["args"], result["errno"]) == (type_name, [message], None)


def test_shim_refuses_a_malformed_rule(shim, fault_dir):
    # A typo in a rule must not turn a fault test into a silent no-op.
    env = dict(os.environ, LD_PRELOAD=str(shim), TAVOLIN_FAULT="read:nonsense",
               TAVOLIN_FAULT_PATH=str(fault_dir) + "/")
    done = subprocess.run([sys.executable, "-c", "pass"], env=env, capture_output=True,
                          text=True, check=False)
    assert done.returncode == 97 and "bad TAVOLIN_FAULT rule: nonsense" in done.stderr


# Data-moving calls of the C library; the shim must interpose every one of
# them that the module imports, or faults would silently miss a path.
IO_CALLS = {"read", "pread", "pread64", "preadv", "preadv64", "preadv2", "preadv64v2", "readv",
            "write", "pwrite", "pwrite64", "pwritev", "pwritev2", "writev", "fsync", "fdatasync",
            "copy_file_range", "sendfile", "sendfile64", "splice", "tee", "vmsplice",
            "fread", "fwrite_unlocked", "recv", "recvmsg", "send", "sendmsg"}
SHIM_CALLS = {"read", "pread", "pread64", "preadv", "preadv64", "write", "fsync", "fdatasync",
              "copy_file_range", "sendfile", "sendfile64", "splice"}


def test_shim_covers_every_io_call_the_module_imports(m, shim):
    def undefined(path):
        out = subprocess.run(["nm", "-D", "--undefined-only", str(path)], check=True,
                             capture_output=True, text=True).stdout
        return {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}

    def defined(path):
        out = subprocess.run(["nm", "-D", "--defined-only", str(path)], check=True,
                             capture_output=True, text=True).stdout
        return {line.split()[-1].split("@")[0] for line in out.splitlines() if line.strip()}

    # The module's own code: a module with libcrypto linked in (the wheels)
    # also imports libcrypto's calls (fread, recvmsg, sendmsg, ...), which no
    # path of the module reaches with a file; its build lists the imports of
    # the module's own object files, and those must be imports of the module.
    imports = undefined(m.__file__)
    if "EVP_CIPHER_CTX_new" in imports:  # libcrypto is a library of its own
        own = imports
    else:
        listed = os.environ.get("TAVOLIN_MODULE_IMPORTS")
        assert listed, "libcrypto is inside the module: TAVOLIN_MODULE_IMPORTS lists its own imports"
        own = set(Path(listed).read_text().split())
        assert own & IO_CALLS <= imports, "the list is not of this module"
    used = own & IO_CALLS
    assert {"read", "preadv", "write", "fsync", "copy_file_range", "sendfile", "splice"} <= used
    assert used <= SHIM_CALLS, f"the shim does not interpose {sorted(used - SHIM_CALLS)}"
    assert SHIM_CALLS <= defined(shim)


@pytest.fixture(scope="module")
def sealed(fault_dir):
    """A five-record container of chunk size 4096 and its plaintext."""
    plaintext = random.Random(5).randbytes(4 * 4096 + 1000)
    path = fault_dir / "sealed"
    cw.write_container(path, plaintext, KEY, 4096)
    return path, plaintext


@pytest.fixture(scope="module")
def plain(fault_dir):
    data = random.Random(6).randbytes(50_000)
    path = fault_dir / "plain"
    path.write_bytes(data)
    return path, data


RANGE_CALL = "lambda: m.decrypt_encrypted_file_range({path!r}, {key!r}, {start}, {end})"


def range_code(path, start, end):
    call = RANGE_CALL.format(path=str(path), key=KEY, start=start, end=end)
    # The second call finds the faults used up: nothing of the first remains.
    return f"run('faulted', {call})\nrun('again', {call})\n"


@pytest.mark.parametrize("faults, errno_name, fired", [
    (["pread:eio"], "eio", 1),                   # the front, in one read
    (["pread:short:len=10", "pread:eio:after=1"], "eio", 2),  # a later read of the front
    (["pread:eagain"], "eagain", 1),
    (["preadv:eio"], "eio", 1),                  # the final record's length field
    (["preadv:eio:after=1"], "eio", 1),          # the records, fetched in one read
    (["preadv:enospc:after=1"], "enospc", 1),
])
def test_range_read_io_failures_are_value_errors(shim, fault_dir, sealed, faults, errno_name,
                                                 fired):
    path, plaintext = sealed
    child = run_with_faults(shim, fault_dir, range_code(path, 0, len(plaintext) - 1), faults)
    failed(child.results["faulted"], "ValueError", os_error_text(errno_name))
    assert child.results["again"] == {"ok": True, "value": plaintext.hex(), "leaked": []}
    assert len(child.injected) == fired


@pytest.mark.parametrize("faults, fired", [
    (["pread:eintr:count=3"], 3),
    (["preadv:eintr:count=4"], 4),
    (["pread:eintr:count=2", "preadv:eintr:after=1:count=2"], 4),
    (["pread:short:len=1:count=0"], None),       # the front one byte at a time
    (["preadv:short:len=7:count=0"], None),      # records in pieces of 7 bytes
    (["preadv:short:len=4:count=0", "pread:short:len=3:count=0"], None),
])
def test_range_read_survives_interrupted_and_short_reads(shim, fault_dir, sealed, faults, fired):
    path, plaintext = sealed
    start, end = 4000, 4 * 4096 + 10  # five records, two of them partly
    child = run_with_faults(shim, fault_dir, range_code(path, start, end), faults)
    expected = {"ok": True, "value": plaintext[start:end + 1].hex(), "leaked": []}
    assert child.results["faulted"] == expected
    assert child.results["again"] == expected
    if fired is not None:
        assert len(child.injected) == fired
    else:
        assert len(child.injected) > 20


def test_range_read_early_end_of_data_is_reported(shim, fault_dir, sealed):
    path, plaintext = sealed
    # Inside the front (after its first 10 bytes), and inside the records.
    for faults in [["pread:short:len=10", "pread:zero:after=1"], ["preadv:zero:after=1"]]:
        child = run_with_faults(shim, fault_dir, range_code(path, 0, 9000), faults)
        failed(child.results["faulted"], "ValueError", SHORT_READ)
        assert child.results["again"]["value"] == plaintext[:9001].hex()
        assert len(child.injected) == len(faults)


@pytest.mark.parametrize("change, outcome", [
    ("cut", "serves"),        # at a record boundary: the records that are left
    ("append", "refuses"),    # seven bytes: the final record no longer fits
])
def test_range_read_judges_the_size_the_file_has_after_its_front(shim, fault_dir, sealed,
                                                                 change, outcome):
    # A writer cuts or extends the container while its front is being read.
    data = sealed[0].read_bytes()
    path = fault_dir / f"raced-{change}"
    path.write_bytes(data)
    payload = 12 + int.from_bytes(data[8:12], "big")
    size = payload + 3 * (4096 + 20) if change == "cut" else len(data) + 7
    child = run_with_faults(shim, fault_dir, range_code(path, 0, 100),
                            [f"pread:resize:len={size}"])
    assert child.injected == [["pread", "resize"]]
    assert path.stat().st_size == size
    for label in ("faulted", "again"):
        if outcome == "serves":
            assert child.results[label]["value"] == sealed[1][:101].hex()
        else:
            failed(child.results[label], "ValueError",
                   FINAL_LENGTH)


def identity_code(path, keys=True):
    extra = ", master_keys=[%r]" % KEY if keys else ""
    call = f"lambda: m.stable_file_identity({str(path)!r}, chunk_size=4096{extra})"
    batch = (f"lambda: m.BatchProcessor(2).stable_file_identities([{str(path)!r}] * 3, 4096"
             f"{extra})")
    return (f"run('faulted', {call})\nrun('again', {call})\n"
            f"run('batch_again', {batch})\n")


def identity_expected(path, data_digest):
    st = os.stat(path)
    return [st.st_size, st.st_mtime_ns, data_digest]


@pytest.mark.parametrize("errno_name, type_name", [
    ("eio", "OSError"),
    ("enospc", "OSError"),
    ("eagain", "BlockingIOError"),
    ("eperm", "PermissionError"),
])
@pytest.mark.parametrize("which, after", [
    ("plain", 0), ("plain", 5),                 # the first block (and magic), a later one
    ("sealed", 0), ("sealed", 1), ("sealed", 4),  # magic, front and first record; records
])
def test_identity_io_failures_follow_the_errno(shim, fault_dir, plain, sealed, errno_name,
                                               type_name, which, after):
    path, data = plain if which == "plain" else sealed
    child = run_with_faults(shim, fault_dir, identity_code(path),
                            [f"read:{errno_name}:after={after}"])
    failed(child.results["faulted"], type_name, os_error_text(errno_name))
    expected = identity_expected(path, sha(data))
    assert child.results["again"] == {"ok": True, "value": expected, "leaked": []}
    assert child.results["batch_again"]["value"] == [expected] * 3
    assert child.injected == [["read", errno_name]]


def test_batch_io_failure_is_raised_from_the_pool(shim, fault_dir, plain):
    path, data = plain
    code = f"""
        p = m.BatchProcessor(2)
        run('faulted', lambda: p.stable_file_identities([{str(path)!r}] * 6, 4096))
        run('again', lambda: p.stable_file_identities([{str(path)!r}] * 6, 4096))
    """
    child = run_with_faults(shim, fault_dir, code, ["read:eio:after=7"])
    failed(child.results["faulted"], "OSError", os_error_text("eio"))
    assert child.results["again"]["value"] == [identity_expected(path, sha(data))] * 6
    assert child.injected == [["read", "eio"]]


@pytest.mark.parametrize("faults", [
    ["read:eintr:count=5"],
    ["read:eintr:after=3:count=2"],
    ["read:short:len=7:count=0"],
    ["read:short:len=1000:count=0"],
    ["read:eintr:after=3:count=3", "read:short:len=333:count=0"],
])
@pytest.mark.parametrize("which", ["plain", "sealed"])
def test_identity_survives_interrupted_and_short_reads(shim, fault_dir, plain, sealed, faults,
                                                       which):
    path, data = plain if which == "plain" else sealed
    child = run_with_faults(shim, fault_dir, identity_code(path), faults)
    expected = {"ok": True, "value": identity_expected(path, sha(data)), "leaked": []}
    assert child.results["faulted"] == expected
    assert child.results["again"] == expected
    assert child.injected, "no fault was injected"


def test_identity_early_end_of_data_inside_a_container(shim, fault_dir, sealed):
    path, data = sealed
    # Five reads of 4096 bytes hold the file: the fifth, short, completes the
    # size seen at open, so no sixth read looks for the end.
    for after in (1, 2, 3, 4):
        child = run_with_faults(shim, fault_dir, identity_code(path), [f"read:zero:after={after}"])
        failed(child.results["faulted"], "OSError", SHORT_READ)
        assert child.results["again"]["value"] == identity_expected(path, sha(data))
        assert len(child.injected) == 1


@pytest.mark.parametrize("faults, outcome", [
    (["read:eio"], ("OSError", os_error_text("eio"))),
    (["read:eagain"], ("BlockingIOError", os_error_text("eagain"))),
    (["read:eintr:count=4"], None),
    (["read:short:len=1:count=0"], None),
])
def test_detection_io_failures(shim, fault_dir, sealed, faults, outcome):
    path, _ = sealed
    code = (f"run('status', lambda: m.encryption_status({str(path)!r}))\n"
            f"run('is_qv', lambda: m.is_qv_encrypted_file({str(path)!r}))\n")
    child = run_with_faults(shim, fault_dir, code, faults)
    if outcome is None:
        assert child.results["status"]["value"] == "encrypted"
        assert child.results["is_qv"]["value"] is True
    else:
        failed(child.results["status"], *outcome)
        assert child.results["is_qv"]["value"] is True  # the fault was used up
    assert child.injected


# ---------------------------------------------------------------- descriptor copy

def copy_code(source, target, chunk_size=4096, pipe_data=None):
    """Copies `source` (a file, or a pipe fed with `pipe_data`) to `target` and
    reports the outcome, the caller's offset afterwards and that the caller's
    descriptor is still open."""
    if pipe_data is None:
        open_source = f"fd = os.open({str(source)!r}, os.O_RDONLY)"
    else:
        open_source = textwrap.dedent(f"""
            fd, w = os.pipe()
            os.write(w, bytes.fromhex({pipe_data.hex()!r}))
            os.close(w)
        """)
    return textwrap.dedent(f"""
{open_source}
run('copy', lambda: m.copy_file_descriptor_to_path(fd, {str(target)!r}, {chunk_size}))
run('offset', lambda: os.lseek(fd, 0, os.SEEK_CUR) if {pipe_data is None} else -1)
os.close(fd)
""")


@pytest.fixture
def copy_pair(fault_dir):
    data = random.Random(9).randbytes(100_000)
    source = fault_dir / "copy-source"
    target = fault_dir / "copy-target"
    source.write_bytes(data)
    if target.exists():
        target.unlink()
    yield source, target, data
    for p in (source, target):
        if p.exists():
            p.unlink()


# Errors with which a kernel route declines before moving a byte.
DECLINES = ["enosys", "exdev", "eopnotsupp", "einval", "eperm", "ebadf"]


@pytest.mark.parametrize("faults, routes", [
    ([], {"copy_file_range"}),
    *[([f"copy_file_range:{e}"], {"copy_file_range", "sendfile"}) for e in DECLINES],
    (["copy_file_range:zero"], {"copy_file_range", "sendfile"}),
    (["copy_file_range:enosys", "sendfile:enosys"],
     {"copy_file_range", "sendfile", "read", "write"}),
    (["copy_file_range:exdev", "sendfile:einval", "read:eintr:count=2", "write:eintr:count=2"],
     {"copy_file_range", "sendfile", "read", "write"}),
    (["copy_file_range:enosys", "sendfile:enosys", "write:short:len=999:count=0"],
     {"copy_file_range", "sendfile", "read", "write"}),
    (["copy_file_range:enosys", "sendfile:enosys", "read:short:len=10:count=0"],
     {"copy_file_range", "sendfile", "read", "write"}),
    (["copy_file_range:short:len=3000:count=0", "copy_file_range:eintr:after=5:count=3"],
     {"copy_file_range"}),
    (["copy_file_range:short:len=3000:count=0", "copy_file_range:eoverflow:after=5"],
     {"copy_file_range", "sendfile"}),   # an offset overflow after some bytes hands over
    (["copy_file_range:enosys", "sendfile:short:len=5000:count=0",
      "sendfile:eintr:after=3:count=2"], {"copy_file_range", "sendfile"}),
    (["fsync:eintr:count=2"], {"copy_file_range", "fsync"}),
])
def test_copy_hands_over_and_retries_without_losing_bytes(shim, fault_dir, copy_pair, faults,
                                                          routes):
    source, target, data = copy_pair
    child = run_with_faults(shim, fault_dir, copy_code(source, target), faults, trace=True)
    assert child.results["copy"] == {"ok": True, "value": len(data), "leaked": []}
    assert child.results["offset"]["value"] == len(data)
    assert target.read_bytes() == data
    assert routes <= set(child.traced), child.traced
    assert len(child.injected) >= len(faults)
    if "sendfile" not in routes:
        assert "sendfile" not in child.traced


@pytest.mark.parametrize("faults, errno_name, kept", [
    (["copy_file_range:eio"], "eio", 0),
    (["copy_file_range:short:len=4096:count=0", "copy_file_range:eio:after=2"], "eio", 8192),
    (["copy_file_range:short:len=4096:count=0", "copy_file_range:enosys:after=2"],
     "enosys", 8192),  # a refusal after bytes moved is a failure, not a hand-over
    (["copy_file_range:short:len=4096:count=0", "copy_file_range:enospc:after=1"],
     "enospc", 4096),
    (["copy_file_range:enosys", "sendfile:eio"], "eio", 0),
    (["copy_file_range:enosys", "sendfile:short:len=1000:count=0", "sendfile:eio:after=3"],
     "eio", 3000),
    (["copy_file_range:enosys", "sendfile:enosys", "read:eio:after=2"], "eio", 2 * 8192),
    (["copy_file_range:enosys", "sendfile:enosys", "write:enospc:after=1"], "enospc", 8192),
    (["copy_file_range:enosys", "sendfile:enosys", "write:eio"], "eio", 0),
])
def test_copy_failures_surface_by_errno_and_keep_what_was_written(shim, fault_dir, copy_pair,
                                                                  faults, errno_name, kept):
    source, target, data = copy_pair
    child = run_with_faults(shim, fault_dir, copy_code(source, target), faults)
    failed(child.results["copy"], "OSError", os_error_text(errno_name))
    assert target.read_bytes() == data[:kept]
    # The caller's descriptor is still open; its offset went as far as was read.
    offset = child.results["offset"]["value"]
    assert kept <= offset <= len(data)
    assert len(child.injected) >= 1


def test_copy_write_that_accepts_nothing(shim, fault_dir, copy_pair):
    source, target, data = copy_pair
    child = run_with_faults(shim, fault_dir, copy_code(source, target),
                            ["copy_file_range:enosys", "sendfile:enosys", "write:zero:after=2"])
    failed(child.results["copy"], "OSError", "failed to write whole buffer")
    assert target.read_bytes() == data[:2 * 8192]
    assert ["write", "zero"] in child.injected


@pytest.mark.parametrize("fault", ["fsync:eio", "fsync:enospc"])
def test_copy_fsync_failure(shim, fault_dir, copy_pair, fault):
    source, target, data = copy_pair
    child = run_with_faults(shim, fault_dir, copy_code(source, target), [fault])
    failed(child.results["copy"], "OSError", os_error_text(fault.split(":")[1]))
    assert target.read_bytes() == data  # written, just not known to be durable
    assert child.injected == [["fsync", fault.split(":")[1]]]


@pytest.mark.parametrize("faults, outcome, kept", [
    ([], "ok", None),
    (["splice:enosys"], "ok", None),             # hands over to the read/write loop
    (["splice:einval", "write:short:len=77:count=0"], "ok", None),
    (["splice:short:len=512:count=0", "splice:eintr:after=2:count=3"], "ok", None),
    (["splice:eio"], "eio", 0),
    (["splice:short:len=512:count=0", "splice:eio:after=4"], "eio", 2048),
    (["splice:enosys", "write:enospc:after=1"], "enospc", 8192),
])
def test_copy_from_a_pipe(shim, fault_dir, copy_pair, faults, outcome, kept):
    _, target, _ = copy_pair
    data = random.Random(3).randbytes(30_000)  # fits the pipe's buffer
    child = run_with_faults(shim, fault_dir, copy_code(None, target, pipe_data=data), faults,
                            trace=True)
    if outcome == "ok":
        assert child.results["copy"] == {"ok": True, "value": len(data), "leaked": []}
        assert target.read_bytes() == data
    else:
        failed(child.results["copy"], "OSError", os_error_text(outcome))
        assert target.read_bytes() == data[:kept]
    assert "splice" in child.traced
    assert len(child.injected) >= len(faults)


# ---------------------------------------------------------------- exhausted memory

@pytest.mark.skipif(bool(os.environ.get("TAVOLIN_SANITIZED")),
                    reason="the sanitizer runtime reserves its shadow memory beyond any "
                           "address-space limit")
def test_exhausted_memory_ends_the_call_not_the_process(fault_dir, plain):
    """With 32 MiB of address space left, calls that need more end with
    MemoryError, release their descriptors, and the next call works."""
    path, data = plain
    code = f"""
        import resource
        processor = m.BatchProcessor(1)  # its thread is started before the limit
        big = {str(path)!r} + ".big"  # holes: a buffer of a whole chunk is needed
        os.close(os.open(big, os.O_CREAT | os.O_WRONLY))
        os.truncate(big, 65 << 20)
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm + (32 << 20), hard))
        text = "x" * (12 << 20)
        run('identity', lambda: m.stable_file_identity(big, 64 << 20))
        run('batch', lambda: processor.stable_file_identities([big], 64 << 20))
        run('frames', lambda: m.build_expected_frame_records(10 ** 8))
        run('pdf', lambda: m.render_single_page_pdf(text))
        run('after', lambda: m.stable_file_identity({str(path)!r}, 4096))
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    """
    child = run_with_faults(None, fault_dir, code, [])
    for label in ("identity", "batch", "frames", "pdf"):
        result = child.results[label]
        assert result["ok"] is False and result["type"] == "MemoryError", (label, result)
    assert child.results["after"]["value"][2] == sha(data)


# ---------------------------------------------------------------- each byte read once

def test_small_files_are_read_once(shim, fault_dir, sealed):
    """A file that fits one buffer costs one read: the magic comes from it, and
    the end of the file is known from the size seen at open."""
    small = fault_dir / "small-plain"
    small.write_bytes(random.Random(11).randbytes(4096))
    path, _ = sealed
    code = textwrap.dedent(f"""
        import sys
        for label, call in [
            ("plain", lambda: m.stable_file_identity({str(small)!r})),
            ("sealed", lambda: m.stable_file_identity({str(path)!r}, master_keys=[{KEY!r}])),
            ("probe", lambda: m.encryption_status({str(path)!r})),
            ("range", lambda: m.decrypt_encrypted_file_range({str(path)!r}, {KEY!r}, 0, 10)),
        ]:
            sys.stderr.write("tavolin-fault-trace: mark\\n")
            run(label, call)
    """)
    child = run_with_faults(shim, fault_dir, code, [], trace=True)
    assert all(result["ok"] for result in child.results.values()), child.results
    calls = " ".join(child.traced).split("mark")[1:]
    # The range: its front, the final record's length field, the records.
    assert [c.split() for c in calls] == [["read"], ["read"], ["read"],
                                          ["pread", "preadv", "preadv"]]


@pytest.mark.parametrize("which", ["plain", "sealed"])
@pytest.mark.parametrize("fault, outcome", [
    ("read:eio:after=3", ("OSError", os_error_text("eio"))),
    ("read:eagain:after=5", ("BlockingIOError", os_error_text("eagain"))),
    ("read:zero:after=2", None),   # plain: shorter content, sealed: a cut record
    ("read:eintr:after=2:count=3", "ok"),
    ("read:short:len=70000:count=0", "ok"),
])
def test_large_files_read_on_the_helper_thread_fail_and_retry_alike(shim, fault_dir, which,
                                                                    fault, outcome):
    data = random.Random(12).randbytes(6 << 20)  # above the helper's threshold
    path = fault_dir / f"large-{which}"
    if which == "plain":
        path.write_bytes(data)
    else:
        cw.write_container(path, data, KEY, 1 << 20)
    call = f"lambda: m.stable_file_identity({str(path)!r}, 1 << 20, master_keys=[{KEY!r}])"
    child = run_with_faults(shim, fault_dir, f"run('faulted', {call})\nrun('again', {call})\n",
                            [fault])
    expected = identity_expected(path, sha(data))
    if outcome == "ok":
        assert child.results["faulted"] == {"ok": True, "value": expected, "leaked": []}
    elif outcome is None and which == "plain":
        # An early end of a plain file hashes what came, as the serial walk does.
        assert child.results["faulted"]["ok"] is True
        assert child.results["faulted"]["value"][2] != expected[2]
    elif outcome is None:
        failed(child.results["faulted"], "OSError", SHORT_READ)
    else:
        failed(child.results["faulted"], *outcome)
    assert child.results["again"]["value"] == expected
    assert child.injected
    path.unlink()
