// The container format: its constants, the header and its validation, the
// front (magic, length field, header text) read from a byte source, and the
// nonce of each chunk.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/failure.hpp"
#include "common/syscall.hpp"

namespace tavolin::container {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::array<std::uint8_t, 8> kContainerMagic = {0x51, 0x56, 0x45, 0x4E,
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

// Fills `buffer` completely; an early end is Failure::short_read().
Result<void> read_exact(ByteSource& source, std::span<std::uint8_t> buffer);

// Validates the header text; failures are I/O failures with the
// program's own message (code os, no errno).
Result<ContainerHeader> parse_header_payload(std::span<const std::uint8_t> text);

// Reads magic, length field and header text; leaves `source` at payload_offset.
Result<ContainerPrefix> read_container_prefix(ByteSource& source);

std::array<std::uint8_t, kNonceLength> chunk_nonce(
    const std::array<std::uint8_t, kNoncePrefixLength>& nonce_prefix, std::uint32_t index);

}  // namespace tavolin::container
