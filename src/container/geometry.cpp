#include "container/geometry.hpp"

#include <algorithm>

#include "common/messages.hpp"

namespace tavolin::container {

Result<std::uint64_t> RecordGeometry::plaintext_size(RandomAccessSource& file,
                                                     std::uint64_t file_size) const {
  if (file_size < payload_offset_) return std::unexpected(Failure::io(messages::kPayloadSize));
  const std::uint64_t payload = file_size - payload_offset_;
  if (payload == 0) return 0;
  std::uint64_t sealed_size = 0;
  std::uint64_t record_size = 0;
  if (__builtin_add_overflow(chunk_, kGcmTagLength, &sealed_size)) {
    return std::unexpected(Failure::io(messages::kChunkGeometryOverflow));
  }
  if (__builtin_add_overflow(chunk_, kRecordOverhead, &record_size)) {
    return std::unexpected(Failure::io(messages::kRecordGeometryOverflow));
  }
  const std::uint64_t full_records = payload / record_size;
  const std::uint64_t remainder = payload % record_size;
  std::uint64_t size = 0;
  if (__builtin_mul_overflow(full_records, chunk_, &size)) {
    return std::unexpected(Failure::io(messages::kPlaintextSizeOverflow));
  }
  if (remainder == 0) return size;
  if (remainder <= kRecordOverhead) {
    return std::unexpected(Failure::io(messages::kFinalRecordTruncated));
  }
  std::uint8_t field[4];
  TAVOLIN_TRY(read_exact_at(file, TAVOLIN_TRY(record_offset(full_records)), field));
  const std::uint64_t sealed_length = load_be32(field);
  if (sealed_length + 4 != remainder) {
    return std::unexpected(Failure::io(messages::kFinalLength));
  }
  if (sealed_length - kGcmTagLength > chunk_) {
    return std::unexpected(Failure::io(messages::kFinalPayload));
  }
  if (__builtin_add_overflow(size, sealed_length - kGcmTagLength, &size)) {
    return std::unexpected(Failure::io(messages::kPlaintextSizeOverflow));
  }
  return size;
}

Result<std::uint64_t> RecordGeometry::record_offset(std::uint64_t index) const {
  std::uint64_t offset = 0;
  if (__builtin_add_overflow(chunk_, kRecordOverhead, &offset) ||
      __builtin_mul_overflow(index, offset, &offset) ||
      __builtin_add_overflow(offset, payload_offset_, &offset)) {
    return std::unexpected(Failure::io(messages::kRecordOffset));
  }
  return offset;
}

Result<RecordGeometry::Plaintext> RecordGeometry::plaintext_of(std::uint64_t index,
                                                               std::uint64_t size) const {
  std::uint64_t start = 0;
  if (__builtin_mul_overflow(index, chunk_, &start)) {
    return std::unexpected(Failure::io(messages::kPlaintextOffsetOverflow));
  }
  return Plaintext{start, std::min(size - start, chunk_)};
}

}  // namespace tavolin::container
