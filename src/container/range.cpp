#include "container/range.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "common/messages.hpp"
#include "container/geometry.hpp"
#include "container/records.hpp"

namespace tavolin::container {
namespace {

// Records of at least this size are read one at a time, straight into the
// result; smaller ones are fetched up to kRecordReadBytes at a time.
constexpr std::uint64_t kRecordReadAlone = std::uint64_t{16} << 10;
constexpr std::uint64_t kRecordReadBytes = std::uint64_t{1} << 20;
// The container front is read in pieces of this size.
constexpr std::size_t kFrontRead = 4096;

}  // namespace

Result<ByteRange> check_byte_range(std::uint64_t start, std::uint64_t end) {
  if (end < start) return std::unexpected(Failure::io(messages::kRangeEndBeforeStart));
  const std::uint64_t length = end - start + 1;
  if (length == 0) return std::unexpected(Failure::io(messages::kRangeLengthOverflow));
  if (length > kMaxRangeLength) {
    const std::string message = messages::range_too_long(kMaxRangeLength);
    return std::unexpected(Failure::io(message));
  }
  return ByteRange{start, end, length};
}

namespace {

Result<void> decrypt_records_unwiped(RandomAccessSource& file, const ContainerPrefix& prefix,
                                       std::uint64_t file_size,
                                       std::span<const std::uint8_t> master_key,
                                       const ByteRange& range, std::span<std::uint8_t> out,
                                       Interrupt& interrupt) {
  const RecordGeometry geometry(prefix);
  const auto size = TAVOLIN_TRY(geometry.plaintext_size(file, file_size));
  if (range.end >= size) {
    const std::string message = messages::range_beyond_plaintext(range.start, range.end, size);
    return std::unexpected(Failure::io(message));
  }

  const auto data_key = TAVOLIN_TRY(unwrap_data_key(master_key, prefix.header));
  auto opener = TAVOLIN_TRY(ChunkOpener::create(data_key, prefix));
  IndexedRecords records(file, geometry, opener);

  const std::uint64_t chunk = prefix.header.chunk_size;
  const std::uint64_t first = range.start / chunk;
  const std::uint64_t last = range.end / chunk;
  if (out.size() != range.length) {
    return std::unexpected(Failure::io(messages::kRangeLengthInconsistent));
  }

  // What the range takes of chunk `index`: its plaintext length and the
  // bytes [local_start, local_start + take) of it.
  struct Slice {
    std::uint64_t length;
    std::uint64_t local_start;
    std::size_t take;
  };
  std::size_t written = 0;
  const auto slice_of = [&](std::uint64_t index) -> Result<Slice> {
    const auto [chunk_start, length] = TAVOLIN_TRY(geometry.plaintext_of(index, size));
    const std::uint64_t local_start = range.start >= chunk_start ? range.start - chunk_start : 0;
    const std::uint64_t local_end = std::min(length, range.end + 1 - chunk_start);
    const std::size_t take = static_cast<std::size_t>(local_end - local_start);
    if (take > out.size() - written) {
      return std::unexpected(Failure::io(messages::kRangeLengthInconsistent));
    }
    return Slice{length, local_start, take};
  };

  const std::uint64_t record_size = chunk + kRecordOverhead;
  if (record_size >= kRecordReadAlone) {
    SecretBytes partial;  // a record the range covers only partly
    for (std::uint64_t index = first; index <= last; ++index) {
      if (interrupt.stop_between_steps()) return std::unexpected(Failure::interrupted());
      const Slice s = TAVOLIN_TRY(slice_of(index));
      // A chunk inside the range is read and decrypted in place in the
      // result; one the range covers partly goes through `partial`, wiped
      // once copied.
      const bool whole = s.local_start == 0 && s.take == s.length;
      if (!whole) partial.resize(static_cast<std::size_t>(s.length));
      const std::span<std::uint8_t> body =
          whole ? out.subspan(written, static_cast<std::size_t>(s.length)) : partial.span();
      TAVOLIN_TRY(records.open_at(index, body));
      if (!whole) {
        std::memcpy(out.data() + written, body.data() + s.local_start, s.take);
        partial.clear();
      }
      written += s.take;
    }
  } else {
    // Small records are fetched together, up to kRecordReadBytes of them per
    // read, and opened in memory: one read per record would cost more than
    // opening it.
    const std::uint64_t per_read = std::max<std::uint64_t>(1, kRecordReadBytes / record_size);
    SecretBytes fetched;  // wiped once its records are copied out
    for (std::uint64_t index = first; index <= last;) {
      if (interrupt.stop_between_steps()) return std::unexpected(Failure::interrupted());
      const std::uint64_t count = std::min(last - index + 1, per_read);
      // Every record is full except perhaps the container's final one.
      const Slice final_slice = TAVOLIN_TRY(slice_of(index + count - 1));
      const std::uint64_t total = (count - 1) * record_size + kRecordOverhead + final_slice.length;
      const std::uint64_t offset = TAVOLIN_TRY(geometry.record_offset(index));
      fetched.resize(static_cast<std::size_t>(total));
      const std::span<std::uint8_t> parts[1] = {fetched.span()};
      const std::size_t got = TAVOLIN_TRY(file.read_at(offset, parts));
      for (std::uint64_t j = 0; j < count; ++j, ++index) {
        const Slice s = TAVOLIN_TRY(slice_of(index));
        const std::size_t at = static_cast<std::size_t>(j * record_size);
        const std::size_t whole = static_cast<std::size_t>(kRecordOverhead + s.length);
        const std::span<std::uint8_t> bytes =
            at < got ? fetched.span().subspan(at, std::min(got - at, whole))
                     : std::span<std::uint8_t>();
        const auto body =
            TAVOLIN_TRY(records.open_read(index, bytes, static_cast<std::size_t>(s.length)));
        std::memcpy(out.data() + written, body.data() + s.local_start, s.take);
        written += s.take;
      }
      fetched.clear();
    }
  }
  if (written != range.length) {
    return std::unexpected(Failure::io(messages::kRangeLengthInconsistent));
  }
  return {};
}

}  // namespace

Result<void> decrypt_records(RandomAccessSource& file, const ContainerPrefix& prefix,
                               std::uint64_t file_size, std::span<const std::uint8_t> master_key,
                               const ByteRange& range, std::span<std::uint8_t> out,
                               Interrupt& interrupt) {
  auto result = decrypt_records_unwiped(file, prefix, file_size, master_key, range, out, interrupt);
  if (!result) wipe(out);  // no plaintext of a failed call is released
  return result;
}

Result<void> decrypt_file_range_into(const std::string& path,
                                       std::span<const std::uint8_t> master_key,
                                       const ByteRange& range, std::span<std::uint8_t> out,
                                       Interrupt& interrupt) {
  // Non-blocking open: a FIFO path is not waited on; regular files are
  // unaffected.
  const auto file = TAVOLIN_TRY(sys::open(path, O_RDONLY | O_NONBLOCK, interrupt));
  const auto st = TAVOLIN_TRY(sys::fstat(file.get()));
  // Nothing is read from what is not a regular file: a read would consume a
  // FIFO writer's or a terminal's bytes. A directory fails as its read would.
  if (S_ISDIR(st.st_mode)) return std::unexpected(Failure::from_errno(EISDIR));
  if (!S_ISREG(st.st_mode)) return std::unexpected(Failure::io(messages::kRangeNotRegular));
  // The front in one positional read of up to kFrontRead bytes (a longer
  // header takes more); the records then by their offsets.
  sys::Reader reader(file.get(), kFrontRead, interrupt, sys::Reader::Source::positional, 0);
  reader.expect_size(static_cast<std::uint64_t>(st.st_size));
  const auto prefix = TAVOLIN_TRY(read_container_prefix(reader));
  // The records are judged by the size the file has once its front is read,
  // not at the open: a writer may have cut or extended it in between.
  const auto after_front = TAVOLIN_TRY(sys::fstat(file.get()));
  return decrypt_records(reader, prefix, static_cast<std::uint64_t>(after_front.st_size),
                         master_key, range, out, interrupt);
}

}  // namespace tavolin::container
