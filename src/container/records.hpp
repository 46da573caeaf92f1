// The records of a container: the length field, its check against the chunk
// geometry, the read and the opening in place, either one after the other
// (RecordReader, over a RecordSource) or by index (IndexedRecords).
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <cstdint>
#include <optional>
#include <span>

#include "common/failure.hpp"
#include "common/messages.hpp"
#include "common/secret.hpp"
#include "common/syscall.hpp"
#include "container/gcm.hpp"
#include "container/file_io.hpp"
#include "container/geometry.hpp"

namespace tavolin::container {

// The records of a container as a byte source over a sequential reader
// that copies nothing it need not copy. The reader's own buffer holds a
// whole chunk's worth of the file's front; once that is used up, a record
// body is read straight into its slot, and the length field in front of it
// comes, with the first bytes of the body, from a small buffer of its own
// (ciphertext only: nothing there is wiped).
// (Through the reader's buffer every byte of the file would be read into it
// and then copied once more into the record's slot.)
class RecordSource final : public ByteSource {
 public:
  // `reader_capacity`: the size of the reader's buffer; the small buffer is
  // never larger.
  RecordSource(sys::Reader& reader, std::size_t reader_capacity)
      : reader_(&reader),
        small_size_(std::clamp<std::size_t>(reader_capacity, 1, kSmall)),
        small_(std::make_unique_for_overwrite<std::uint8_t[]>(small_size_)) {}

  Result<std::size_t> read(std::span<std::uint8_t> out) override;

 private:
  // Records smaller than this come through it several at a time; of a
  // larger one, only what shares the read with its length field is copied.
  static constexpr std::size_t kSmall = 16384;
  sys::Reader* reader_;
  std::size_t small_size_;
  std::unique_ptr<std::uint8_t[]> small_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

// The sequential walk of stable identity: the records of a container one
// after the other from a byte source.
class RecordReader {
 public:
  // `source` stands at the first record of the container whose front is
  // `prefix`, `file_size` bytes in all; `opener` is keyed with its data key.
  // The source, the prefix and the opener must outlive the reader.
  RecordReader(ByteSource& source, const ContainerPrefix& prefix, ChunkOpener& opener,
               std::uint64_t file_size)
      : source_(source), prefix_(prefix), opener_(opener), file_size_(file_size),
        offset_(prefix.payload_offset) {}

  // The next record as its length field declares it, opened into `buffer`:
  // its plaintext, or no value at the end of the payload. A length that is
  // not above the tag length, above a full record, or follows a short record
  // fails with messages::kChunkGeometry; a length beyond the end of the file
  // fails as the short read would (unexpected end of data) before `buffer`
  // is sized.
  Result<std::optional<std::span<const std::uint8_t>>> next(SecretBytes& buffer);

 private:
  ByteSource& source_;
  const ContainerPrefix& prefix_;
  ChunkOpener& opener_;
  std::uint64_t file_size_;
  std::uint64_t index_ = 0;  // the next record's index and offset
  std::uint64_t offset_;
  bool short_seen_ = false;
};

// The random access of range reads: a record by its index, at the offset the
// chunk geometry gives it.
class IndexedRecords {
 public:
  // `opener` is keyed with the data key of the container whose records
  // `geometry` places; the file and the opener must outlive the object.
  IndexedRecords(RandomAccessSource& file, const RecordGeometry& geometry, ChunkOpener& opener)
      : file_(file), geometry_(geometry), opener_(opener) {}

  // Record `index`, whose plaintext the geometry says is `body.size()`
  // bytes, read with its length field and tag in one positioned read and
  // opened in place in `body`.
  Result<void> open_at(std::uint64_t index, std::span<std::uint8_t> body);

  // Record `index`, whose plaintext the geometry says is `body_length` bytes,
  // from `bytes`: what a read at its offset returned, cut to the record's
  // size (shorter only at the end of the data). Checked in the order of
  // open_at and opened in place; returns the plaintext, inside `bytes`.
  Result<std::span<std::uint8_t>> open_read(std::uint64_t index, std::span<std::uint8_t> bytes,
                                              std::size_t body_length);

 private:
  RandomAccessSource& file_;
  RecordGeometry geometry_;
  ChunkOpener& opener_;
};

}  // namespace tavolin::container
