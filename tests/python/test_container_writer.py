"""The tests' two AES-GCM sealers, `cryptography`'s and the ctypes one over
libcrypto, give the published answers and agree with each other."""
import os

import pytest

from tavolin_testing import container_writer as cw

# The published GCM test cases 2 (AES-128) and 14 (AES-256): zero key,
# zero 96-bit nonce, one zero block, no associated data; ciphertext then tag.
KNOWN_ANSWERS = [
    (bytes(16), "0388dace60b6a392f328c2b971b2fe78ab6e47d42cec13bdf53a67b21257bddf"),
    (bytes(32), "cea7403d4d606b6e074ec5d3baf39d18d0d1c8a799996bf0265b98b5d48ab919"),
]


@pytest.mark.parametrize("key, sealed", KNOWN_ANSWERS)
def test_libcrypto_sealing_gives_the_known_answers(key, sealed):
    assert cw.EvpAESGCM(key).encrypt(bytes(12), bytes(16), None).hex() == sealed


def test_libcrypto_sealing_matches_the_cryptography_package():
    from cryptography.hazmat.primitives.ciphers import aead
    for key_size in (16, 24, 32):
        for length in (0, 1, 16, 1000):
            key, nonce = os.urandom(key_size), os.urandom(12)
            data, associated = os.urandom(length), os.urandom(length % 23)
            assert cw.EvpAESGCM(key).encrypt(nonce, data, associated) == \
                aead.AESGCM(key).encrypt(nonce, data, associated)
