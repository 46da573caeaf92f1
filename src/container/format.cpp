// Container front: exact reads, header validation, the prefix reader and the
// chunk nonce.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "common/messages.hpp"
#include "container/base64.hpp"
#include "container/format.hpp"
#include "container/header_json.hpp"

namespace tavolin::container {
namespace {

constexpr std::string_view kAlgorithm = "AESGCM-chunked-v1";

// Strict decode (which admits only the canonical form: unused bits zero,
// padding only at the end), then the expected length.
template <std::size_t N>
Result<void> decode_member(const std::string& text, std::array<std::uint8_t, N>& out) {
  const auto decoded = base64url_decode_strict(text);
  if (!decoded) return std::unexpected(Failure::io(messages::kHeaderBase64));
  if (decoded->size() != N) {
    return std::unexpected(Failure::io(messages::kHeaderKeyMaterial));
  }
  std::copy(decoded->begin(), decoded->end(), out.begin());
  return {};
}

}  // namespace

Result<void> read_exact(ByteSource& source, std::span<std::uint8_t> buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const auto got = TAVOLIN_TRY(source.read(buffer.subspan(done)));
    if (got == 0) return std::unexpected(Failure::short_read());
    done += got;
  }
  return {};
}

Result<ContainerHeader> parse_header_payload(std::span<const std::uint8_t> text) {
  if (text.empty() || text.size() > kMaxHeaderLength) {
    return std::unexpected(Failure::io(messages::kHeaderLength));
  }
  auto doc = read_header_document(text);
  if (!doc) return std::unexpected(Failure::io(messages::kHeaderJson));
  if (doc->version != 1 || doc->algorithm != kAlgorithm) {
    return std::unexpected(Failure::io(messages::kHeaderContract));
  }
  if (doc->chunk_size == 0 || doc->chunk_size > kMaxChunkSize) {
    return std::unexpected(Failure::io(messages::kHeaderChunkSize));
  }
  ContainerHeader header;
  header.chunk_size = doc->chunk_size;
  TAVOLIN_TRY(decode_member(doc->wrapped_dek, header.wrapped_dek));
  TAVOLIN_TRY(decode_member(doc->wrap_nonce, header.wrap_nonce));
  TAVOLIN_TRY(decode_member(doc->nonce_prefix, header.nonce_prefix));
  return header;
}

Result<ContainerPrefix> read_container_prefix(ByteSource& source) {
  std::array<std::uint8_t, kContainerMagic.size()> magic{};
  TAVOLIN_TRY(read_exact(source, magic));
  if (magic != kContainerMagic) return std::unexpected(Failure::io(messages::kFormatUnsupported));

  std::array<std::uint8_t, 4> length_field{};
  TAVOLIN_TRY(read_exact(source, length_field));
  const std::uint32_t length = load_be32(length_field);
  if (length == 0 || length > kMaxHeaderLength) {
    return std::unexpected(Failure::io(messages::kHeaderLength));
  }

  ContainerPrefix prefix;
  prefix.header_bytes.resize(length);  // bounded by the check above
  TAVOLIN_TRY(read_exact(source, prefix.header_bytes));
  auto header = TAVOLIN_TRY(parse_header_payload(prefix.header_bytes));
  prefix.header = header;
  prefix.payload_offset = kContainerMagic.size() + 4 + std::uint64_t{length};
  return prefix;
}

std::array<std::uint8_t, kNonceLength> chunk_nonce(
    const std::array<std::uint8_t, kNoncePrefixLength>& nonce_prefix, std::uint32_t index) {
  std::array<std::uint8_t, kNonceLength> nonce{};
  std::copy(nonce_prefix.begin(), nonce_prefix.end(), nonce.begin());
  nonce[8] = static_cast<std::uint8_t>(index >> 24);
  nonce[9] = static_cast<std::uint8_t>(index >> 16);
  nonce[10] = static_cast<std::uint8_t>(index >> 8);
  nonce[11] = static_cast<std::uint8_t>(index);
  return nonce;
}

}  // namespace tavolin::container
