"""Header validation (`parse_encrypted_header`) and detection
(`encryption_status`, `is_qv_encrypted_file`)."""
from __future__ import annotations

import base64
import json
import os
import pathlib

import pytest

from tavolin_testing import KEY, container_writer as w
from tavolin_testing.messages import (HEADER_CHUNK, HEADER_CONTRACT, HEADER_JSON, HEADER_LENGTH,
    KEY_MATERIAL)
from blocking import call_with_deadline

# The public JSON parsing suite (MIT licence), kept in the test data.
JSON_SUITE = pathlib.Path(__file__).resolve().parents[1] / "data" / "json-test-suite" / "test_parsing"

B64 = "encrypted header base64 is invalid"
ORDER = ["version", "algorithm", "chunk_size", "wrapped_dek", "wrap_nonce", "nonce_prefix"]


def members(**changes) -> dict:
    m, _ = w.header_members(KEY, 4096)
    m.update(changes)
    return m


def encoded(m: dict, **kw) -> bytes:
    return json.dumps(m, **kw).encode("utf-8")


def raw_object(pairs: list[tuple[str, str]]) -> bytes:
    """An object written member by member (values as raw JSON text)."""
    return ("{" + ",".join(f'"{k}":{v}' for k, v in pairs) + "}").encode("utf-8")


def raw_pairs(m: dict) -> list[tuple[str, str]]:
    return [(k, json.dumps(v)) for k, v in m.items()]


def refused(m, data: bytes) -> str:
    with pytest.raises(ValueError) as info:
        m.parse_encrypted_header(data)
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1
    return info.value.args[0]


# ---------------------------------------------------------------- accepted headers


def test_valid_header_returns_the_decoded_tuple(m):
    mem = members(chunk_size=12345)
    result = m.parse_encrypted_header(encoded(mem))
    assert result == (
        1,
        "AESGCM-chunked-v1",
        12345,
        base64.urlsafe_b64decode(mem["wrapped_dek"]),
        base64.urlsafe_b64decode(mem["wrap_nonce"]),
        base64.urlsafe_b64decode(mem["nonce_prefix"]),
    )
    assert [type(x) for x in result] == [int, str, int, bytes, bytes, bytes]
    assert [len(x) for x in result[3:]] == [48, 12, 8]


def escaped(text: str) -> str:
    """A JSON string with every character written as a \\u escape."""
    return '"' + "".join(f"\\u{ord(c):04x}" for c in text) + '"'


def with_raw(mem: dict, member: str, raw: str) -> bytes:
    return raw_object([(k, raw if k == member else v) for k, v in raw_pairs(mem)])


@pytest.mark.parametrize(
    "form",
    [
        lambda mem: encoded(mem),
        lambda mem: encoded(mem, indent=4),
        lambda mem: b" \t\r\n" + encoded(mem) + b"\n\r\t ",
        lambda mem: encoded(dict(reversed(list(mem.items())))),
        lambda mem: encoded([mem[k] for k in ORDER]),
        lambda mem: b"\n[ " + encoded([mem[k] for k in ORDER])[1:-1] + b" ]\n",
        # escapes are resolved before the values are checked
        lambda mem: with_raw(mem, "algorithm", escaped(mem["algorithm"])),
        lambda mem: with_raw(mem, "nonce_prefix", escaped(mem["nonce_prefix"])),
        lambda mem: encoded(mem).replace(b'"version"', b'"vers\\u0069on"'),
    ],
    ids=["compact", "indented", "surrounding-whitespace", "reordered", "positional",
         "positional-spaced", "escaped-algorithm", "escaped-base64", "escaped-name"],
)
def test_accepted_document_forms(m, form):
    mem = members()
    assert m.parse_encrypted_header(form(mem)) == m.parse_encrypted_header(encoded(mem))


def test_bytes_subclass_is_accepted(m):
    class Sub(bytes):
        pass

    assert m.parse_encrypted_header(Sub(encoded(members())))[2] == 4096


@pytest.mark.parametrize("value", [bytearray(b"{}"), memoryview(b"{}"), "{}", None, 1])
def test_only_bytes_objects_are_accepted(m, value):
    with pytest.raises(TypeError) as info:
        m.parse_encrypted_header(value)
    assert str(info.value) == (
        f"argument 'data': '{type(value).__name__}' object cannot be converted to 'PyBytes'"
    )


# ---------------------------------------------------------------- refused headers


def test_length_bounds(m):
    text = encoded(members())
    at_limit = text + b" " * (65536 - len(text))
    assert m.parse_encrypted_header(at_limit)[2] == 4096
    assert refused(m, at_limit + b" ") == HEADER_LENGTH
    assert refused(m, b"") == HEADER_LENGTH


@pytest.mark.parametrize(
    "chunk_size, message",
    [(1, None), (67108864, None), (0, HEADER_CHUNK), (67108865, HEADER_CHUNK),
     (2**64 - 1, HEADER_CHUNK)],
)
def test_chunk_size_bounds(m, chunk_size, message):
    data = encoded(members(chunk_size=chunk_size))
    if message is None:
        assert m.parse_encrypted_header(data)[2] == chunk_size
    else:
        assert refused(m, data) == message


@pytest.mark.parametrize(
    "member, raw, message",
    [
        ("version", "2", HEADER_CONTRACT),
        ("version", "0", HEADER_CONTRACT),
        ("version", "18446744073709551615", HEADER_CONTRACT),
        ("version", "18446744073709551616", HEADER_JSON),
        ("version", "1.0", HEADER_JSON),
        ("version", "1e0", HEADER_JSON),
        ("version", "1E0", HEADER_JSON),
        ("version", '"1"', HEADER_JSON),
        ("version", "-0", HEADER_JSON),
        ("version", "-1", HEADER_JSON),
        ("version", "01", HEADER_JSON),
        ("version", "+1", HEADER_JSON),
        ("version", "true", HEADER_JSON),
        ("version", "null", HEADER_JSON),
        ("version", "[1]", HEADER_JSON),
        ("version", '{"v": 1}', HEADER_JSON),
        ("algorithm", '"aesgcm-chunked-v1"', HEADER_CONTRACT),
        ("algorithm", '"AESGCM-chunked-v1 "', HEADER_CONTRACT),
        ("algorithm", '"AESGCM-chunked-v2"', HEADER_CONTRACT),
        ("algorithm", "17", HEADER_JSON),
        ("algorithm", "null", HEADER_JSON),
        ("algorithm", '["AESGCM-chunked-v1"]', HEADER_JSON),
        ("chunk_size", "4096.0", HEADER_JSON),
        ("chunk_size", "4.096e3", HEADER_JSON),
        ("chunk_size", '"4096"', HEADER_JSON),
        ("chunk_size", "-4096", HEADER_JSON),
        ("chunk_size", "99999999999999999999999", HEADER_JSON),
        ("wrapped_dek", "null", HEADER_JSON),
        ("wrap_nonce", "12", HEADER_JSON),
        ("nonce_prefix", '{"a": "b"}', HEADER_JSON),
    ],
)
def test_member_values(m, member, raw, message):
    pairs = [(k, raw if k == member else v) for k, v in raw_pairs(members())]
    assert refused(m, raw_object(pairs)) == message


def test_contract_is_checked_before_chunk_size_and_base64(m):
    assert refused(m, encoded(members(version=2, chunk_size=0, wrapped_dek="!"))) == HEADER_CONTRACT
    assert refused(m, encoded(members(chunk_size=0, wrapped_dek="!"))) == HEADER_CHUNK


def test_object_membership(m):
    pairs = raw_pairs(members())
    for index in range(6):
        assert refused(m, raw_object(pairs[:index] + pairs[index + 1:])) == HEADER_JSON
        assert refused(m, raw_object(pairs + [pairs[index]])) == HEADER_JSON
    for extra in ["extra", "Version", "version ", ""]:
        assert refused(m, raw_object(pairs + [(extra, "1")])) == HEADER_JSON
    assert refused(m, raw_object([("VERSION", "1")] + pairs[1:])) == HEADER_JSON


def test_positional_form_needs_exactly_six_elements_in_order(m):
    mem = members()
    values = [mem[k] for k in ORDER]
    assert refused(m, encoded(values[:5])) == HEADER_JSON
    assert refused(m, encoded(values + [1])) == HEADER_JSON
    assert refused(m, encoded(values[1:] + values[:1])) == HEADER_JSON
    assert refused(m, encoded([values])) == HEADER_JSON
    assert refused(m, encoded({"header": mem})) == HEADER_JSON


@pytest.mark.parametrize(
    "before, after, message",
    [
        (b"", b" \n\t\r", None),
        (b"", b"x", HEADER_JSON),
        (b"", b"\f", HEADER_JSON),
        (b"", b"\x00", HEADER_JSON),
        (b"", b"\x00{}", HEADER_JSON),
        (b"", b"\xc2\xa0", HEADER_JSON),  # no-break space is not JSON whitespace
        (b"", b"{}", HEADER_JSON),
        (b"", b",", HEADER_JSON),
        (b"", b"//", HEADER_JSON),
        (b"", b"/* */", HEADER_JSON),
        (b"\xef\xbb\xbf", b"", HEADER_JSON),  # byte order mark
        (b"\f", b"", HEADER_JSON),
        (b"\x00", b"", HEADER_JSON),
    ],
)
def test_text_around_the_document(m, before, after, message):
    data = before + encoded(members()) + after
    if message is None:
        assert m.parse_encrypted_header(data)[0] == 1
    else:
        assert refused(m, data) == message


@pytest.mark.parametrize(
    "bad",
    [b"\xff", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82", b"\t", b"\x7f\x01"],
    ids=["ff", "overlong", "surrogate", "above-unicode", "cut-sequence", "raw-tab", "control"],
)
def test_algorithm_text_must_be_valid_json_string(m, bad):
    data = encoded(members()).replace(b"chunked-v1", b"chunked-v1" + bad)
    # "\x7f" is a valid (unescaped) character; the control "\x01" is not.
    assert refused(m, data) == HEADER_JSON


def test_escaped_lone_surrogate_is_invalid_json(m):
    text = encoded(members()).replace(b"chunked-v1", b"chunked-v1\\ud800")
    assert refused(m, text) == HEADER_JSON


@pytest.mark.parametrize(
    "member, value, message",
    [
        ("wrapped_dek", "A" * 64, None),
        ("wrapped_dek", "A" * 62 + "=", B64),
        ("wrapped_dek", "A" * 63 + "=", KEY_MATERIAL),  # 47 bytes
        ("wrapped_dek", "A" * 43 + "=", KEY_MATERIAL),  # 32 bytes
        ("wrapped_dek", "A" * 60 + "AAA" + "B", None),
        ("wrapped_dek", "A" * 60 + "+AAA", B64),
        ("wrapped_dek", "A" * 60 + "/AAA", B64),
        ("wrapped_dek", "A" * 60 + " AAA", B64),
        ("wrapped_dek", "A" * 60 + "AA\nA", B64),
        ("wrapped_dek", "A" * 64 + "====", B64),
        ("wrap_nonce", "A" * 16, None),
        ("wrap_nonce", "A" * 22 + "==", KEY_MATERIAL),  # 16 bytes
        ("wrap_nonce", "A" * 15, B64),
        ("wrap_nonce", "A" * 15 + "=", KEY_MATERIAL),   # 11 bytes
        ("wrap_nonce", "", KEY_MATERIAL),
        ("nonce_prefix", "AAAAAAAAAAA=", None),
        ("nonce_prefix", "AAAAAAAAAAA", B64),         # padding missing
        ("nonce_prefix", "AAAAAAAAAAB=", B64),        # non-zero unused bits
        ("nonce_prefix", "AAAAAAAAAA==", KEY_MATERIAL),  # 7 bytes
        ("nonce_prefix", "AAAAAAAAAAA==", B64),
        ("nonce_prefix", "AAAAAAAAAAA=\n", B64),
        ("nonce_prefix", "AAAAAAAAAAAAAAA=", KEY_MATERIAL),
    ],
)
def test_base64_members(m, member, value, message):
    data = encoded(members(**{member: value}))
    if message is None:
        result = m.parse_encrypted_header(data)
        assert result[ORDER.index(member)] == base64.urlsafe_b64decode(value)
    else:
        assert refused(m, data) == message


def test_base64_members_are_checked_in_order_each_completely(m):
    short_key = "A" * 43 + "="
    assert refused(m, encoded(members(wrapped_dek=short_key, wrap_nonce="!"))) == KEY_MATERIAL
    assert refused(m, encoded(members(wrapped_dek="!", wrap_nonce="A" * 22 + "=="))) == B64
    assert refused(m, encoded(members(wrap_nonce="AAAA", nonce_prefix="!"))) == KEY_MATERIAL


def test_escaped_slash_is_not_base64(m):
    data = encoded(members(nonce_prefix="AAAAAAAAAA/=")).replace(b"/=", b"\\/=")
    assert refused(m, data) == B64


def suite_files():
    return sorted(JSON_SUITE.iterdir())


def test_json_parsing_suite_gives_only_the_contract_messages(m):
    files = suite_files()
    assert len(files) > 300
    for path in files:
        data = path.read_bytes()
        expected = HEADER_LENGTH if not data or len(data) > 65536 else HEADER_JSON
        with pytest.raises(ValueError) as info:
            m.parse_encrypted_header(data)
        assert info.value.args == (expected,), path.name


# ---------------------------------------------------------------- detection

MAGIC = b"QVENC01\n"


@pytest.mark.parametrize(
    "content, encrypted",
    [
        (b"", False),
        (MAGIC[:7], False),
        (MAGIC, True),
        (MAGIC[:7] + b"\r", False),
        (MAGIC[:7] + b"\r\n", False),
        (b"qvenc01\n", False),
        (MAGIC + b"\x00\x00\x00\x00garbage", True),
        (b"plain text that is long enough", False),
        (w.make_container(b"payload", KEY, 4), True),
    ],
)
def test_probe_outcomes(m, tmp_path, no_fd_leak, content, encrypted):
    path = tmp_path / "f"
    path.write_bytes(content)
    assert m.encryption_status(path) == ("encrypted" if encrypted else "plaintext")
    assert m.encryption_status(str(path)) == ("encrypted" if encrypted else "plaintext")
    assert m.is_qv_encrypted_file(path) is encrypted


def test_symlink_is_followed(m, tmp_path, no_fd_leak):
    target = tmp_path / "target"
    target.write_bytes(MAGIC)
    link = tmp_path / "link"
    link.symlink_to(target)
    assert m.encryption_status(link) == "encrypted"
    dangling = tmp_path / "dangling"
    dangling.symlink_to(tmp_path / "nowhere")
    with pytest.raises(FileNotFoundError):
        m.is_qv_encrypted_file(dangling)


@pytest.mark.parametrize("fn", ["encryption_status", "is_qv_encrypted_file"])
def test_missing_path_is_file_not_found(m, tmp_path, no_fd_leak, fn):
    with pytest.raises(FileNotFoundError) as info:
        getattr(m, fn)(tmp_path / "missing")
    assert info.value.args == ("No such file or directory (os error 2)",)
    assert info.value.errno is None
    assert info.value.filename is None


def expect_not_regular(m, fn, path):
    with pytest.raises(OSError) as info:
        getattr(m, fn)(path)
    assert type(info.value) is OSError
    assert info.value.args == ("Encryption probes require a regular file",)
    assert info.value.errno is None


@pytest.mark.parametrize("fn", ["encryption_status", "is_qv_encrypted_file"])
def test_directory_and_device_are_refused(m, tmp_path, no_fd_leak, fn):
    expect_not_regular(m, fn, tmp_path)
    expect_not_regular(m, fn, "/dev/null")


@pytest.mark.parametrize("fn", ["encryption_status", "is_qv_encrypted_file"])
def test_fifo_is_refused_without_blocking(m, tmp_path, no_fd_leak, fn):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    outcome = call_with_deadline(lambda: getattr(m, fn)(fifo), fifo)
    error = outcome.get("error")
    assert type(error) is OSError
    assert error.args == ("Encryption probes require a regular file",)


def test_path_conversion(m):
    with pytest.raises(TypeError) as info:
        m.encryption_status(b"/tmp/x")
    assert str(info.value) == "argument 'path': 'bytes' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError):
        m.is_qv_encrypted_file(3)


def test_path_with_nul_byte_is_refused_not_truncated(m, tmp_path, no_fd_leak):
    (tmp_path / "a").write_bytes(MAGIC)
    for call in (m.encryption_status, m.is_qv_encrypted_file, m.stable_file_identity,
                 lambda p: m.decrypt_encrypted_file_range(p, bytes(32), 0, 0),
                 lambda p: m.copy_file_descriptor_to_path(0, p),
                 lambda p: m.BatchProcessor(1).stable_file_identities([p])):
        with pytest.raises(ValueError) as info:
            call(str(tmp_path / "a") + "\0ignored")
        assert type(info.value) is ValueError and info.value.args == ("embedded null byte",)
