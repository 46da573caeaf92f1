"""Writes encrypted containers for the tests with the `cryptography` package,
independently of the module's reader."""
from __future__ import annotations

import base64
import json
import os
import struct

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

MAGIC = b"QVENC01\n"
WRAP_LABEL = b"qv-annotate:dek-wrap:v1"
ALGORITHM = "AESGCM-chunked-v1"


def b64(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).decode("ascii")


def header_members(
    master_key: bytes,
    chunk_size: int,
    *,
    dek: bytes | None = None,
    wrap_nonce: bytes | None = None,
    nonce_prefix: bytes | None = None,
) -> tuple[dict, bytes]:
    """Returns the header members and the data key they wrap."""
    dek = dek if dek is not None else os.urandom(32)
    wrap_nonce = wrap_nonce if wrap_nonce is not None else os.urandom(12)
    nonce_prefix = nonce_prefix if nonce_prefix is not None else os.urandom(8)
    wrapped = AESGCM(master_key).encrypt(wrap_nonce, dek, WRAP_LABEL)
    members = {
        "version": 1,
        "algorithm": ALGORITHM,
        "chunk_size": chunk_size,
        "wrapped_dek": b64(wrapped),
        "wrap_nonce": b64(wrap_nonce),
        "nonce_prefix": b64(nonce_prefix),
    }
    return members, dek


def header_text(members: dict, *, indent: int | None = None) -> bytes:
    return json.dumps(members, indent=indent).encode("utf-8")


def seal_records(plaintext: bytes, dek: bytes, nonce_prefix: bytes, chunk_size: int,
                 header: bytes) -> list[bytes]:
    """One record (length field + sealed chunk) per chunk of `plaintext`."""
    aead = AESGCM(dek)
    records = []
    for index, offset in enumerate(range(0, len(plaintext), chunk_size)):
        chunk = plaintext[offset:offset + chunk_size]
        nonce = nonce_prefix + struct.pack(">I", index)
        sealed = aead.encrypt(nonce, chunk, header)
        records.append(struct.pack(">I", len(sealed)) + sealed)
    return records


def assemble(header: bytes, records: list[bytes]) -> bytes:
    return MAGIC + struct.pack(">I", len(header)) + header + b"".join(records)


def make_container(plaintext: bytes, master_key: bytes, chunk_size: int, **kw) -> bytes:
    """A well-formed container of `plaintext` whose data key is wrapped under
    `master_key` (16, 24 or 32 bytes)."""
    indent = kw.pop("indent", None)
    members, dek = header_members(master_key, chunk_size, **kw)
    header = header_text(members, indent=indent)
    prefix = base64.urlsafe_b64decode(members["nonce_prefix"])
    return assemble(header, seal_records(plaintext, dek, prefix, chunk_size, header))


def write_container(path, plaintext: bytes, master_key: bytes, chunk_size: int, **kw) -> bytes:
    data = make_container(plaintext, master_key, chunk_size, **kw)
    with open(path, "wb") as f:
        f.write(data)
    return data
