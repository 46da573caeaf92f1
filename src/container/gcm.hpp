// AES-GCM over libcrypto for the container: one-shot opening, the data key
// and its unwrapping, a decryptor keyed once and the chunk opener over it.
#pragma once

#include <cstdint>
#include <span>

#include "common/failure.hpp"
#include "common/openssl.hpp"
#include "common/secret.hpp"
#include "container/format.hpp"

namespace tavolin::container {

// The 32-byte per-file key, as unwrapping returns it.
using DataEncryptionKey = SecretBytes;

// Opens `sealed` (ciphertext followed by the 16-byte tag) and returns the
// plaintext; nothing of a failed opening is kept.
Result<SecretBytes> aes_gcm_open(std::span<const std::uint8_t> key,
                                   std::span<const std::uint8_t> nonce,
                                   std::span<const std::uint8_t> sealed,
                                   std::span<const std::uint8_t> associated_data);

// The data key of `header` opened with `master_key` (32 bytes), or with the
// first of `master_keys` that opens it.
Result<DataEncryptionKey> unwrap_data_key(std::span<const std::uint8_t> master_key,
                                            const ContainerHeader& header);
Result<DataEncryptionKey> unwrap_data_key_any(std::span<const SecretBytes> master_keys,
                                                const ContainerHeader& header);

// An AES-GCM decryption context keyed once (16, 24 or 32 bytes) and reused for
// many openings. Move-only; the key schedule is cleansed when released.
class GcmDecryptor {
 public:
  static Result<GcmDecryptor> create(std::span<const std::uint8_t> key);

  // Decrypts `data` in place and verifies `tag` (constant time). On failure
  // `data` is wiped and "AES-GCM authentication failed" is returned.
  Result<void> open_in_place(std::span<const std::uint8_t, kNonceLength> nonce,
                               std::span<std::uint8_t> data,
                               std::span<const std::uint8_t, kGcmTagLength> tag,
                               std::span<const std::uint8_t> associated_data);

 private:
  Result<void> begin(std::span<const std::uint8_t, kNonceLength> nonce,
                       std::span<const std::uint8_t> associated_data);
  Result<void> update_in_place(std::span<std::uint8_t> data);
  Result<void> finish(std::span<const std::uint8_t, kGcmTagLength> tag);

  GcmDecryptor() = default;
  OpenSslPtr<EVP_CIPHER_CTX> ctx_;
};

// Opens the chunks of one container under its data key without re-keying per
// chunk: the plaintext aes_gcm_open gives for the chunk's nonce, in place. `prefix` must outlive it.
class ChunkOpener {
 public:
  static Result<ChunkOpener> create(const DataEncryptionKey& data_key,
                                      const ContainerPrefix& prefix);

  // `ciphertext` is the record body without its tag; decrypted in place.
  // Fails with "encrypted chunk counter overflowed" above index 2^32-1.
  Result<void> open_in_place(std::uint64_t index, std::span<std::uint8_t> ciphertext,
                               std::span<const std::uint8_t, kGcmTagLength> tag);

 private:
  ChunkOpener(GcmDecryptor decryptor, const ContainerPrefix& prefix)
      : decryptor_(std::move(decryptor)), prefix_(&prefix) {}
  GcmDecryptor decryptor_;
  const ContainerPrefix* prefix_;
};

}  // namespace tavolin::container
