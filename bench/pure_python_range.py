"""A straightforward pure-Python reader of container byte ranges on
`cryptography` and `os`, the comparison point of bench_container.py."""
from __future__ import annotations

import base64
import json
import os
import struct

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

MAGIC = b"QVENC01\n"
WRAP_LABEL = b"qv-annotate:dek-wrap:v1"
MAX_RANGE_LENGTH = 8 * 1024 * 1024


def _b64(text: str, length: int) -> bytes:
    raw = base64.urlsafe_b64decode(text.encode("ascii"))
    if base64.urlsafe_b64encode(raw).decode("ascii") != text or len(raw) != length:
        raise ValueError("encrypted header base64 is invalid")
    return raw


def decrypt_range(path, master_key: bytes, start: int, end: int) -> bytes:
    if end < start:
        raise ValueError("encrypted byte range end precedes start")
    if end - start + 1 > MAX_RANGE_LENGTH:
        raise ValueError(f"native encrypted byte range exceeds {MAX_RANGE_LENGTH} bytes")
    with open(path, "rb") as f:
        if f.read(8) != MAGIC:
            raise ValueError("unsupported encrypted file format")
        (header_length,) = struct.unpack(">I", f.read(4))
        if not 1 <= header_length <= 65536:
            raise ValueError("encrypted header length is invalid")
        header_bytes = f.read(header_length)
        header = json.loads(header_bytes)
        if header["version"] != 1 or header["algorithm"] != "AESGCM-chunked-v1":
            raise ValueError("unsupported encrypted header contract")
        chunk_size = header["chunk_size"]
        wrapped = _b64(header["wrapped_dek"], 48)
        wrap_nonce = _b64(header["wrap_nonce"], 12)
        nonce_prefix = _b64(header["nonce_prefix"], 8)
        payload_offset = 12 + header_length

        payload = os.fstat(f.fileno()).st_size - payload_offset
        record_size = chunk_size + 20
        full, rest = divmod(payload, record_size)
        size = full * chunk_size
        if rest:
            f.seek(payload_offset + full * record_size)
            (sealed_length,) = struct.unpack(">I", f.read(4))
            if sealed_length + 4 != rest:
                raise ValueError("encrypted final chunk length does not match file size")
            size += sealed_length - 16
        if end >= size:
            raise ValueError(f"requested byte range {start}-{end} exceeds plaintext size {size}")

        dek = AESGCM(master_key).decrypt(wrap_nonce, wrapped, WRAP_LABEL)
        aead = AESGCM(dek)
        out = bytearray()
        for index in range(start // chunk_size, end // chunk_size + 1):
            chunk_start = index * chunk_size
            f.seek(payload_offset + index * record_size)
            (sealed_length,) = struct.unpack(">I", f.read(4))
            if sealed_length != min(size - chunk_start, chunk_size) + 16:
                raise ValueError("encrypted chunk length does not match chunk geometry")
            sealed = f.read(sealed_length)
            nonce = nonce_prefix + struct.pack(">I", index)
            plain = aead.decrypt(nonce, sealed, header_bytes)
            out += plain[max(start - chunk_start, 0):end + 1 - chunk_start]
        return bytes(out)
