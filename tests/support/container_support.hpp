// Container helpers the native tests and the fuzz replays use and the module
// does not: encoding key material, opening one chunk by itself and a range
// decryption into a new buffer.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "container/gcm.hpp"

namespace tavolin::container {

// Encodes with the URL-safe alphabet and "=" padding.
std::string base64url_encode(std::span<const std::uint8_t> bytes);

// Opens one sealed chunk (ciphertext followed by the 16-byte tag) of the
// container `prefix` starts: the same result as ChunkOpener, re-keyed.
Result<SecretBytes> open_chunk(const DataEncryptionKey& data_key, const ContainerPrefix& prefix,
                                 std::uint64_t index, std::span<const std::uint8_t> sealed);

// The whole operation: checks, then decryption into a new buffer.
Result<Bytes> decrypt_file_range(const std::string& path, std::span<const std::uint8_t> master_key,
                                   std::uint64_t start, std::uint64_t end);

}  // namespace tavolin::container
