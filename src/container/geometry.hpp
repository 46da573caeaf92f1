// Record geometry: where a container's records lie and which plaintext each
// holds. Every record but the last is full: a 4-byte length field, chunk_size
// plaintext bytes and the 16-byte tag (kRecordOverhead and the chunk); the
// last may hold fewer. Every sum and product is checked here, with its own
// message: a valid header bounds the chunk size, but a prefix made by hand
// does not, and no offset may wrap.
#pragma once

#include <cstdint>

#include "common/failure.hpp"
#include "container/file_io.hpp"
#include "container/format.hpp"

namespace tavolin::container {

class RecordGeometry {
 public:
  explicit RecordGeometry(const ContainerPrefix& prefix)
      : chunk_(prefix.header.chunk_size), payload_offset_(prefix.payload_offset) {}

  // The plaintext size of a container of `file_size` bytes, from its final
  // record's length field (read from `file`).
  Result<std::uint64_t> plaintext_size(RandomAccessSource& file, std::uint64_t file_size) const;

  // The file offset of record `index` (messages::kRecordOffset on overflow).
  [[nodiscard]] Result<std::uint64_t> record_offset(std::uint64_t index) const;

  // The plaintext of record `index` within a plaintext of `size` bytes:
  // where it starts and how long it is (messages::kPlaintextOffsetOverflow
  // when the start overflows).
  struct Plaintext {
    std::uint64_t start;
    std::uint64_t length;
  };
  [[nodiscard]] Result<Plaintext> plaintext_of(std::uint64_t index, std::uint64_t size) const;

 private:
  std::uint64_t chunk_;
  std::uint64_t payload_offset_;
};

}  // namespace tavolin::container
