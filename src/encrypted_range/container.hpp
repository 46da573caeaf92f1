// The encrypted container: format constants, header validation, reading the
// container front from a byte source, AES-GCM opening, data key unwrapping
// and chunk opening. Shared by range decryption and stable identity.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/failure.hpp"
#include "common/openssl.hpp"
#include "common/secret.hpp"
#include "common/syscall.hpp"

namespace tavolin::encrypted_range {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::array<std::uint8_t, 8> CONTAINER_MAGIC = {0x51, 0x56, 0x45, 0x4E,
                                                                0x43, 0x30, 0x31, 0x0A};
inline constexpr std::uint32_t kMaxHeaderLength = 65536;
inline constexpr std::uint64_t kMaxChunkSize = 67108864;
inline constexpr std::size_t kGcmTagLength = 16;
inline constexpr std::size_t kRecordOverhead = 20;  // 4-byte length + 16-byte tag
inline constexpr std::size_t kNonceLength = 12;
inline constexpr std::size_t kNoncePrefixLength = 8;
inline constexpr std::size_t kWrappedKeyLength = 48;
inline constexpr std::size_t kDataKeyLength = 32;

// Big-endian u32 of a record's or the header's length field.
constexpr std::uint32_t load_be32(std::span<const std::uint8_t, 4> field) {
  return (std::uint32_t{field[0]} << 24) | (std::uint32_t{field[1]} << 16) |
         (std::uint32_t{field[2]} << 8) | std::uint32_t{field[3]};
}

struct ContainerHeader {
  std::uint64_t chunk_size = 0;
  std::array<std::uint8_t, kWrappedKeyLength> wrapped_dek{};
  std::array<std::uint8_t, kNonceLength> wrap_nonce{};
  std::array<std::uint8_t, kNoncePrefixLength> nonce_prefix{};
};

struct ContainerPrefix {
  ContainerHeader header;
  Bytes header_bytes;  // the header text exactly as stored: every chunk's associated data
  std::uint64_t payload_offset = 0;
};

using ::tavolin::ByteSource;

// Fills `buffer` completely; an early end is IoFailure::unexpected_eof().
IoResult<void> read_exact(ByteSource& source, std::span<std::uint8_t> buffer);

// Validates the header text; failures are invalid-data IoFailures.
IoResult<ContainerHeader> parse_header_payload(std::span<const std::uint8_t> text);

// Reads magic, length field and header text; leaves `source` at payload_offset.
IoResult<ContainerPrefix> read_container_prefix(ByteSource& source);

std::array<std::uint8_t, kNonceLength> chunk_nonce(
    const std::array<std::uint8_t, kNoncePrefixLength>& nonce_prefix, std::uint32_t index);

// The 32-byte per-file key, as unwrapping returns it.
using DataEncryptionKey = SecretBytes;

// Opens `sealed` (ciphertext followed by the 16-byte tag) and returns the
// plaintext; nothing of a failed opening is kept.
IoResult<SecretBytes> aes_gcm_open(std::span<const std::uint8_t> key,
                                   std::span<const std::uint8_t> nonce,
                                   std::span<const std::uint8_t> sealed,
                                   std::span<const std::uint8_t> associated_data);

// The data key of `header` opened with `master_key` (32 bytes), or with the
// first of `master_keys` that opens it.
IoResult<DataEncryptionKey> unwrap_data_key(std::span<const std::uint8_t> master_key,
                                            const ContainerHeader& header);
IoResult<DataEncryptionKey> unwrap_data_key_any(std::span<const SecretBytes> master_keys,
                                                const ContainerHeader& header);

// Fetches the libcrypto algorithms the module uses (AES-GCM for 16, 24 and
// 32-byte keys, SHA-256) once per process. Called at module initialisation,
// with the interpreter lock held, and by the native test and fuzz set-ups:
// no call ever fetches lazily, so a fork by another thread never meets a
// fetch in progress. Until it has run, and for an algorithm libcrypto does
// not provide, the operations that need it fail ("... is unavailable").
void load_algorithms();

// The SHA-256 digest loaded by load_algorithms() (nullptr before, or if
// libcrypto has none).
const EVP_MD* sha256_algorithm();

// An AES-GCM decryption context keyed once (16, 24 or 32 bytes) and reused for
// many openings. Move-only; the key schedule is cleansed when released.
class GcmDecryptor {
 public:
  static IoResult<GcmDecryptor> create(std::span<const std::uint8_t> key);

  // Decrypts `data` in place and verifies `tag` (constant time). On failure
  // `data` is wiped and "AES-GCM authentication failed" is returned.
  IoResult<void> open_in_place(std::span<const std::uint8_t, kNonceLength> nonce,
                               std::span<std::uint8_t> data,
                               std::span<const std::uint8_t, kGcmTagLength> tag,
                               std::span<const std::uint8_t> associated_data);

 private:
  IoResult<void> begin(std::span<const std::uint8_t, kNonceLength> nonce,
                       std::span<const std::uint8_t> associated_data);
  IoResult<void> update_in_place(std::span<std::uint8_t> data);
  IoResult<void> finish(std::span<const std::uint8_t, kGcmTagLength> tag);

  GcmDecryptor() = default;
  OpenSslPtr<EVP_CIPHER_CTX> ctx_;
};

// Opens the chunks of one container under its data key without re-keying per
// chunk: the plaintext aes_gcm_open gives for the chunk's nonce, in place. `prefix` must outlive it.
class ChunkOpener {
 public:
  static IoResult<ChunkOpener> create(const DataEncryptionKey& data_key,
                                      const ContainerPrefix& prefix);

  // `ciphertext` is the record body without its tag; decrypted in place.
  // Fails with "encrypted chunk counter overflowed" above index 2^32-1.
  IoResult<void> open_in_place(std::uint64_t index, std::span<std::uint8_t> ciphertext,
                               std::span<const std::uint8_t, kGcmTagLength> tag);

 private:
  ChunkOpener(GcmDecryptor decryptor, const ContainerPrefix& prefix)
      : decryptor_(std::move(decryptor)), prefix_(&prefix) {}
  GcmDecryptor decryptor_;
  const ContainerPrefix* prefix_;
};

}  // namespace tavolin::encrypted_range
