// Container helpers the native tests and the fuzz replays use and the module
// does not: encoding key material, opening one chunk by itself, a range
// decryption into a new buffer, and containers made for the tests.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/interrupt.hpp"
#include "common/secret.hpp"
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

// Key lists, hexadecimal and text as bytes, joined bytes, a big-endian u32.
std::vector<SecretBytes> secrets(const std::vector<Bytes>& keys);
Bytes hex(std::string_view text);
Bytes bytes_of(std::string_view text);
Bytes concat(Bytes a, const Bytes& b);
Bytes be32(std::uint32_t v);
// Bytes that differ from their neighbours at every position.
Bytes counting(std::size_t n);

struct TestContainer {
  Bytes master_key;
  Bytes data_key;
  Bytes nonce_prefix;
  Bytes header;
  Bytes file;
};

// A container of `plaintext` in records of `chunk_size` bytes, sealed
// with a master key of `master_length` bytes.
TestContainer make_container(const Bytes& plaintext, std::uint64_t chunk_size,
                             std::size_t master_length = 32);

// Answers "stop" from its `stop_at`-th question on.
class StopAfter final : public tavolin::Interrupt {
 public:
  explicit StopAfter(std::size_t stop_at) : stop_at_(stop_at) {}
  bool should_stop(InterruptMoment) override { return ++asked >= stop_at_; }
  std::size_t asked = 0;

 private:
  std::size_t stop_at_;
};

}  // namespace tavolin::container
