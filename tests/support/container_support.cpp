#include "support/container_support.hpp"

#include <cstdint>
#include <string>
#include <string_view>

#include "common/interrupt.hpp"
#include "common/messages.hpp"
#include "container/range.hpp"

namespace tavolin::container {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

}  // namespace

std::string base64url_encode(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t at = 0;
  for (; at + 3 <= bytes.size(); at += 3) {
    const std::uint32_t q = (std::uint32_t{bytes[at]} << 16) | (std::uint32_t{bytes[at + 1]} << 8) |
                            bytes[at + 2];
    out.push_back(kAlphabet[(q >> 18) & 0x3F]);
    out.push_back(kAlphabet[(q >> 12) & 0x3F]);
    out.push_back(kAlphabet[(q >> 6) & 0x3F]);
    out.push_back(kAlphabet[q & 0x3F]);
  }
  const std::size_t rest = bytes.size() - at;
  if (rest == 1) {
    const std::uint32_t q = std::uint32_t{bytes[at]} << 16;
    out.push_back(kAlphabet[(q >> 18) & 0x3F]);
    out.push_back(kAlphabet[(q >> 12) & 0x3F]);
    out.append("==");
  } else if (rest == 2) {
    const std::uint32_t q = (std::uint32_t{bytes[at]} << 16) | (std::uint32_t{bytes[at + 1]} << 8);
    out.push_back(kAlphabet[(q >> 18) & 0x3F]);
    out.push_back(kAlphabet[(q >> 12) & 0x3F]);
    out.push_back(kAlphabet[(q >> 6) & 0x3F]);
    out.push_back('=');
  }
  return out;
}

Result<SecretBytes> open_chunk(const DataEncryptionKey& data_key, const ContainerPrefix& prefix,
                                 std::uint64_t index, std::span<const std::uint8_t> sealed) {
  if (index > UINT32_MAX) {
    return std::unexpected(Failure::io(messages::kChunkCounter));
  }
  const auto nonce = chunk_nonce(prefix.header.nonce_prefix, static_cast<std::uint32_t>(index));
  return aes_gcm_open(data_key, nonce, sealed, prefix.header_bytes);
}

Result<Bytes> decrypt_file_range(const std::string& path, std::span<const std::uint8_t> master_key,
                                   std::uint64_t start, std::uint64_t end) {
  const auto range = TAVOLIN_TRY(check_byte_range(start, end));
  Bytes out(static_cast<std::size_t>(range.length));
  NoInterrupt never;
  TAVOLIN_TRY(decrypt_file_range_into(path, master_key, range, out, never));
  return out;
}

}  // namespace tavolin::container
