"""A straightforward pure-Python identity of a container on `cryptography`
and `hashlib`: the SHA-256 of the plaintext of every record, in order, the
comparison point of bench_identity.py's container figure."""
from __future__ import annotations

import hashlib
import json
import os
import struct

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

from pure_python_range import MAGIC, WRAP_LABEL, _b64


def container_identity(path, master_key: bytes) -> tuple[int, int, str]:
    with open(path, "rb") as f:
        st = os.fstat(f.fileno())
        if f.read(8) != MAGIC:
            raise ValueError("unsupported encrypted file format")
        (header_length,) = struct.unpack(">I", f.read(4))
        header_bytes = f.read(header_length)
        header = json.loads(header_bytes)
        chunk_size = header["chunk_size"]
        dek = AESGCM(master_key).decrypt(_b64(header["wrap_nonce"], 12),
                                         _b64(header["wrapped_dek"], 48), WRAP_LABEL)
        aead = AESGCM(dek)
        nonce_prefix = _b64(header["nonce_prefix"], 8)
        digest = hashlib.sha256()
        index = 0
        while length := f.read(4):
            (sealed_length,) = struct.unpack(">I", length)
            if not 16 < sealed_length <= chunk_size + 16:
                raise ValueError("encrypted chunk length does not match chunk geometry")
            sealed = f.read(sealed_length)
            digest.update(aead.decrypt(nonce_prefix + struct.pack(">I", index), sealed,
                                       header_bytes))
            index += 1
        return st.st_size, st.st_mtime_ns, digest.hexdigest()
