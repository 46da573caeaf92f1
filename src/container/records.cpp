#include "container/records.hpp"

#include <algorithm>
#include <cstring>
#include <array>

#include "common/messages.hpp"

namespace tavolin::container {

Result<std::size_t> RecordSource::read(std::span<std::uint8_t> out) {
  if (out.empty()) return std::size_t{0};
  if (begin_ == end_) {
    // Bytes the reader already holds (peek(0) reads nothing).
    if (!TAVOLIN_TRY(reader_->peek(0)).empty()) return reader_->read(out);
    if (out.size() >= small_size_) return reader_->read_direct(out);
    begin_ = 0;
    end_ = TAVOLIN_TRY(reader_->read_direct(std::span(small_.get(), small_size_)));
    if (end_ == 0) return std::size_t{0};
  }
  const std::size_t n = std::min(out.size(), end_ - begin_);
  std::memcpy(out.data(), small_.get() + begin_, n);
  begin_ += n;
  return n;
}

Result<std::optional<std::span<const std::uint8_t>>> RecordReader::next(SecretBytes& buffer) {
  std::array<std::uint8_t, 4> field{};
  const std::size_t first = TAVOLIN_TRY(source_.read(std::span(field).first(1)));
  if (first == 0) return std::nullopt;  // the payload ends exactly after a record
  TAVOLIN_TRY(read_exact(source_, std::span(field).subspan(1)));
  const std::uint64_t sealed_length = load_be32(field);
  const std::uint64_t full = prefix_.header.chunk_size + kGcmTagLength;
  if (sealed_length <= kGcmTagLength || short_seen_ || sealed_length > full) {
    return std::unexpected(Failure::io(messages::kChunkGeometry));
  }
  short_seen_ = sealed_length < full;
  const std::uint64_t body_offset = offset_ + field.size();
  if (body_offset > file_size_ || sealed_length > file_size_ - body_offset) {
    return std::unexpected(Failure::short_read());
  }
  offset_ = body_offset + sealed_length;

  buffer.resize(static_cast<std::size_t>(sealed_length));
  TAVOLIN_TRY(read_exact(source_, buffer.span()));
  const std::size_t length = static_cast<std::size_t>(sealed_length) - kGcmTagLength;
  const std::span<std::uint8_t> plain = buffer.span().first(length);
  TAVOLIN_TRY(opener_.open_in_place(
      index_++, plain,
      std::span<const std::uint8_t, kGcmTagLength>(buffer.data() + length, kGcmTagLength)));
  return plain;
}

Result<void> IndexedRecords::open_at(std::uint64_t index, std::span<std::uint8_t> body) {
  const std::uint64_t offset = TAVOLIN_TRY(geometry_.record_offset(index));
  std::array<std::uint8_t, 4> field{};
  std::array<std::uint8_t, kGcmTagLength> tag{};
  const std::span<std::uint8_t> parts[3] = {field, body, tag};
  const std::size_t got = TAVOLIN_TRY(file_.read_at(offset, parts));
  // Failures in the order of the record's fields: end of data inside the
  // length field, a length that disagrees, end of data inside the record,
  // then the chunk counter and the tag.
  if (got < field.size()) return std::unexpected(Failure::short_read());
  if (load_be32(field) != body.size() + kGcmTagLength) {
    return std::unexpected(Failure::io(messages::kChunkGeometry));
  }
  if (got != field.size() + body.size() + tag.size()) {
    return std::unexpected(Failure::short_read());
  }
  return opener_.open_in_place(index, body, tag);
}

Result<std::span<std::uint8_t>> IndexedRecords::open_read(std::uint64_t index,
                                                            std::span<std::uint8_t> bytes,
                                                            std::size_t body_length) {
  constexpr std::size_t kField = 4;
  if (bytes.size() < kField) return std::unexpected(Failure::short_read());
  if (load_be32(std::span<const std::uint8_t, kField>(bytes.data(), kField)) !=
      body_length + kGcmTagLength) {
    return std::unexpected(Failure::io(messages::kChunkGeometry));
  }
  if (bytes.size() < kField + body_length + kGcmTagLength) {
    return std::unexpected(Failure::short_read());
  }
  const std::span<std::uint8_t> body = bytes.subspan(kField, body_length);
  TAVOLIN_TRY(opener_.open_in_place(
      index, body,
      std::span<const std::uint8_t, kGcmTagLength>(body.data() + body_length, kGcmTagLength)));
  return body;
}

}  // namespace tavolin::container
