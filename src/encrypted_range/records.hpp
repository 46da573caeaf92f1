// The records of a container: the length field, its check against the chunk
// geometry, the read and the opening in place. One cursor serves both the
// sequential walk of stable identity and the random access of range reads.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "common/secret.hpp"
#include "encrypted_range/gcm.hpp"
#include "encrypted_range/file_io.hpp"

namespace tavolin::encrypted_range {

class RecordCursor {
 public:
  // A sequential walk over `source`, which stands at the first record of the
  // container whose front is `prefix`, `file_size` bytes in all.
  RecordCursor(ByteSource& source, const ContainerPrefix& prefix, ChunkOpener& opener,
               std::uint64_t file_size)
      : RecordCursor(&source, nullptr, prefix, opener, file_size) {}
  // Random access to the records of `file`.
  RecordCursor(RandomAccessSource& file, const ContainerPrefix& prefix, ChunkOpener& opener,
               std::uint64_t file_size)
      : RecordCursor(nullptr, &file, prefix, opener, file_size) {}
  // (`opener` is keyed with the container's data key; the source, the prefix
  // and the opener must outlive the cursor.)

  // Sequential walk: the next record as its length field declares it,
  // opened into `buffer`:
  // its plaintext, or no value at the end of the payload. A length that is
  // not above the tag length, above a full record, or follows a short record
  // fails with messages::CHUNK_GEOMETRY; a length beyond the end of the file fails as
  // the short read would (unexpected end of data) before `buffer` is sized.
  IoResult<std::optional<std::span<const std::uint8_t>>> next(SecretBytes& buffer);

  // Random access: record `index`, whose plaintext the geometry says is
  // `body.size()` bytes,
  // read with its length field and tag in one positioned read and opened in
  // place in `body`.
  IoResult<void> open_at(std::uint64_t index, std::span<std::uint8_t> body);

  // Random access to records read together: the file offset of record
  // `index` (overflow fails with messages::RECORD_OFFSET).
  [[nodiscard]] IoResult<std::uint64_t> record_offset(std::uint64_t index) const;
  // Record `index`, whose plaintext the geometry says is `body_length` bytes,
  // from `bytes`: what a read at its offset returned, cut to the record's
  // size (shorter only at the end of the data). Checked in the order of
  // open_at and opened in place; returns the plaintext, inside `bytes`.
  IoResult<std::span<std::uint8_t>> open_read(std::uint64_t index, std::span<std::uint8_t> bytes,
                                              std::size_t body_length);

 private:
  RecordCursor(ByteSource* source, RandomAccessSource* file, const ContainerPrefix& prefix,
               ChunkOpener& opener, std::uint64_t file_size);

  ByteSource* source_ = nullptr;
  RandomAccessSource* file_ = nullptr;
  const ContainerPrefix* prefix_;
  ChunkOpener* opener_;
  std::uint64_t file_size_;
  // Sequential walk: the next record's index and offset.
  std::uint64_t index_ = 0;
  std::uint64_t offset_;
  bool short_seen_ = false;
};

}  // namespace tavolin::encrypted_range
