"""Writes encrypted containers for the tests, independently of the module's
reader, sealing with the `cryptography` package. A second sealer through
libcrypto's EVP interface (ctypes) cross-checks it in test_container_writer."""
from __future__ import annotations

import base64
import ctypes
import ctypes.util
import json
import os
import struct


class EvpAESGCM:
    """AES-GCM sealing (96-bit nonce, 128-bit tag appended) through libcrypto's
    EVP calls; the same `encrypt` as `cryptography`'s AESGCM."""

    _lib = None
    _SET_IVLEN, _GET_TAG = 0x9, 0x10

    def __init__(self, key: bytes):
        if len(key) not in (16, 24, 32):
            raise ValueError("AESGCM key must be 128, 192, or 256 bits.")
        self._key = bytes(key)

    @classmethod
    def _crypto(cls):
        if cls._lib is None:
            lib = ctypes.CDLL(ctypes.util.find_library("crypto") or "libcrypto.so.3")
            for name in ("EVP_aes_128_gcm", "EVP_aes_192_gcm", "EVP_aes_256_gcm",
                         "EVP_CIPHER_CTX_new"):
                getattr(lib, name).restype = ctypes.c_void_p
            lib.EVP_CIPHER_CTX_free.argtypes = [ctypes.c_void_p]
            lib.EVP_CIPHER_CTX_ctrl.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                                ctypes.c_void_p]
            lib.EVP_EncryptInit_ex.argtypes = [ctypes.c_void_p] * 5
            lib.EVP_EncryptUpdate.argtypes = [ctypes.c_void_p, ctypes.c_void_p,
                                              ctypes.POINTER(ctypes.c_int), ctypes.c_char_p,
                                              ctypes.c_int]
            lib.EVP_EncryptFinal_ex.argtypes = [ctypes.c_void_p, ctypes.c_void_p,
                                                ctypes.POINTER(ctypes.c_int)]
            cls._lib = lib
        return cls._lib

    def encrypt(self, nonce: bytes, data: bytes, associated_data: bytes | None) -> bytes:
        lib = self._crypto()
        cipher = getattr(lib, f"EVP_aes_{len(self._key) * 8}_gcm")()
        aad = associated_data or b""
        out = ctypes.create_string_buffer(len(data) + 16)
        tag = ctypes.create_string_buffer(16)
        n = ctypes.c_int(0)
        ctx = lib.EVP_CIPHER_CTX_new()
        try:
            ok = (lib.EVP_EncryptInit_ex(ctx, cipher, None, None, None) == 1
                  and lib.EVP_CIPHER_CTX_ctrl(ctx, self._SET_IVLEN, len(nonce), None) == 1
                  and lib.EVP_EncryptInit_ex(ctx, None, None, self._key, bytes(nonce)) == 1
                  and lib.EVP_EncryptUpdate(ctx, None, ctypes.byref(n), aad, len(aad)) == 1
                  and lib.EVP_EncryptUpdate(ctx, out, ctypes.byref(n), bytes(data),
                                            len(data)) == 1
                  and n.value == len(data)
                  and lib.EVP_EncryptFinal_ex(ctx, None, ctypes.byref(n)) == 1
                  and lib.EVP_CIPHER_CTX_ctrl(ctx, self._GET_TAG, 16, tag) == 1)
        finally:
            lib.EVP_CIPHER_CTX_free(ctx)
        if not ok:
            raise RuntimeError("libcrypto AES-GCM sealing failed")
        return out.raw[:len(data)] + tag.raw


from cryptography.hazmat.primitives.ciphers.aead import AESGCM  # noqa: E402

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
