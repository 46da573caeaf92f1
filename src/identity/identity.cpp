#include "identity/identity.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <stdexcept>
#include <utility>

#include "common/crypto.hpp"
#include "common/messages.hpp"
#include "common/syscall.hpp"
#include "common/text.hpp"
#include "common/unique_fd.hpp"
#include "container/detection.hpp"
#include "container/records.hpp"
#include "identity/read_ahead.hpp"

namespace tavolin::identity {

namespace {

// Hashes every byte the reader has left, a buffer (one read) at a time.
Result<void> hash_plain(sys::Reader& reader, Sha256& sha, Interrupt& interrupt) {
  for (;;) {
    if (interrupt.stop_between_steps()) return std::unexpected(Failure::interrupted());
    const auto block = TAVOLIN_TRY(reader.next_block());
    if (block.empty()) return {};
    TAVOLIN_TRY(sha.update(block));
  }
}

// Hashes the plaintext of the records that `records` walks, on this thread.
Result<void> hash_records(container::RecordReader& records, Sha256& sha,
                            Interrupt& interrupt) {
  SecretBytes record;  // one record at a time, wiped when the walk ends
  for (;;) {
    if (interrupt.stop_between_steps()) return std::unexpected(Failure::interrupted());
    const auto plain = TAVOLIN_TRY(records.next(record));
    if (!plain) return {};  // the payload ends exactly after a record
    TAVOLIN_TRY(sha.update(*plain));
  }
}

// ---------------------------------------------------------------- forks

// Counts the forks of this process in the child: a call that began before a
// fork finds the count changed in the child, never in the parent.
std::atomic<std::uint64_t> g_forks{0};
void count_fork() { g_forks.fetch_add(1, std::memory_order_relaxed); }
[[maybe_unused]] const int g_counting_forks = ::pthread_atfork(nullptr, nullptr, &count_fork);

// The caller's interrupt, which also stops the call in a child that one of
// its signal handlers forked: the child shares the parent's descriptor, and
// with it the file position, so it must not read from it once more.
class ForkAware final : public Interrupt {
 public:
  explicit ForkAware(Interrupt& inner)
      : inner_(&inner), forks_(g_forks.load(std::memory_order_relaxed)) {}
  bool should_stop(InterruptMoment moment) override {
    return inner_->should_stop(moment) || forked();
  }
  [[nodiscard]] bool forked() const { return g_forks.load(std::memory_order_relaxed) != forks_; }

 private:
  Interrupt* inner_;
  std::uint64_t forks_;
};

// ---------------------------------------------------------------- read-ahead

// Hashes what the read-ahead produces.
Result<void> drained(ReadAhead& ahead, Sha256& sha, Interrupt& interrupt) {
  return ahead.drain([&sha](std::span<const std::uint8_t> piece) { return sha.update(piece); },
                     interrupt);
}

// Hashes the plaintext of every record; `reader` is at the start of the
// file, which held `file_size` bytes when it was opened. With the read-ahead
// allowed, a container of enough large records is read ahead.
Result<void> hash_container(sys::Reader& reader, std::size_t reader_capacity,
                            std::uint64_t file_size, std::span<const SecretBytes> master_keys,
                            Sha256& sha, Interrupt& interrupt, ReadAheadUse use) {
  const auto prefix = TAVOLIN_TRY(container::read_container_prefix(reader));
  const auto key = TAVOLIN_TRY(container::unwrap_data_key_any(master_keys, prefix.header));
  auto opener = TAVOLIN_TRY(container::ChunkOpener::create(key, prefix));  // once per file
  container::RecordSource source(reader, reader_capacity);
  container::RecordReader records(source, prefix, opener, file_size);
  // A hand-over pays for records of some size, and from a few of them on;
  // smaller or fewer are walked on this thread.
  const std::uint64_t chunk = prefix.header.chunk_size;
  const bool large = use == ReadAheadUse::allowed && file_size >= kReadAheadMinBytes &&
                     chunk >= kReadAheadMinRecordBytes &&
                     file_size / (chunk + container::kRecordOverhead) >= kReadAheadMinRecords;
  if (!large) return hash_records(records, sha, interrupt);
  ReadAhead ahead([&records](SecretBytes& slot) { return records.next(slot); },
                  kReadAheadRecordsInFlight);
  if (!ahead.start(reader, interrupt)) return hash_records(records, sha, interrupt);
  return drained(ahead, sha, interrupt);
}

// Hashes a plain file's bytes read ahead on a helper: the calling
// thread hashes what the first read left in the reader's buffer, then the
// pieces the helper fills, in file order. A piece is kReadAheadPiece bytes
// gathered from reads of `read_size` each, whatever that is.
Result<void> hash_plain_ahead(sys::Reader& reader, std::size_t read_size, Sha256& sha,
                              Interrupt& interrupt) {
  if (interrupt.stop_between_steps()) return std::unexpected(Failure::interrupted());
  const auto front = TAVOLIN_TRY(reader.next_block());  // the buffered first read: no system call
  if (front.empty()) return {};
  TAVOLIN_TRY(sha.update(front));
  ReadAhead ahead([&reader, read_size](SecretBytes& slot)
                      -> Result<std::optional<std::span<const std::uint8_t>>> {
    if (slot.size() != kReadAheadPiece) slot.resize(kReadAheadPiece);
    std::size_t filled = 0;
    while (filled < slot.size()) {
      const std::size_t want = std::min(read_size, slot.size() - filled);
      const std::size_t n = TAVOLIN_TRY(reader.read_direct(slot.span().subspan(filled, want)));
      if (n == 0) break;
      filled += n;
    }
    if (filled == 0) return std::nullopt;
    return std::span<const std::uint8_t>(slot.data(), filled);
  }, kReadAheadSlots);
  if (!ahead.start(reader, interrupt)) return hash_plain(reader, sha, interrupt);
  return drained(ahead, sha, interrupt);
}

}  // namespace

IdentitySnapshot IdentitySnapshot::of(const struct ::stat& st) {
  return IdentitySnapshot{
      static_cast<std::uint64_t>(st.st_dev),
      static_cast<std::uint64_t>(st.st_ino),
      static_cast<std::uint64_t>(st.st_size),
      static_cast<__int128>(st.st_mtim.tv_sec) * 1'000'000'000 +
          static_cast<__int128>(st.st_mtim.tv_nsec),
  };
}

namespace {

// The identity of an opened regular file: its content hashed, then the
// change check. Stops in a child forked meanwhile (`interrupt` tells).
Result<StableIdentity> identity_of_open_file(std::string_view path, const std::string& c_path,
                                             int fd, const IdentitySnapshot& opening,
                                             std::uint64_t chunk_size,
                                             std::span<const SecretBytes> master_keys,
                                             Interrupt& interrupt, ReadAheadUse use) {
  auto sha = TAVOLIN_TRY(Sha256::create());
  const auto content = [&]() -> Result<void> {
    // The magic comes from the first read of the content, which stays in
    // the buffer for the hashing: every byte is read once.
    // A file smaller than a chunk gets a buffer one byte larger than its
    // size: the first read takes it whole and, coming back short, ends it.
    std::uint64_t capacity = chunk_size;
    if (opening.size != 0 && opening.size < capacity) capacity = opening.size + 1;
    const std::size_t reader_capacity = std::max<std::size_t>(
        static_cast<std::size_t>(capacity), container::kContainerMagic.size());
    sys::Reader reader(fd, reader_capacity, interrupt);
    reader.expect_size(opening.size);
    const bool is_container = container::has_container_magic(
        TAVOLIN_TRY(reader.peek(container::kContainerMagic.size())));
    if (is_container) {
      return hash_container(reader, reader_capacity, opening.size, master_keys, sha, interrupt,
                            use);
    }
    // A plain file the first read took whole has nothing left to hand over.
    const bool ahead = use == ReadAheadUse::allowed && opening.size >= kReadAheadMinBytes &&
                       opening.size >= reader_capacity;
    return ahead ? hash_plain_ahead(reader, std::min(reader_capacity, kReadAheadPiece), sha,
                                    interrupt)
                 : hash_plain(reader, sha, interrupt);
  };
  if (auto hashed = content(); !hashed) {
    // Whatever went wrong while the content was read (a short read, a record
    // that fails to open, a length that does not fit), a file that is no
    // longer what was opened changed under the call: a writer raced it.
    // Otherwise the fault stands as found. A stop that was asked for stays one.
    if (!hashed.error().is_interruption()) {
      const auto now = sys::fstat(fd);
      if (now && IdentitySnapshot::of(*now) != opening) {
        return std::unexpected(Failure::io(messages::identity_changed(render_path(path))));
      }
    }
    return std::unexpected(std::move(hashed.error()));
  }

  const auto closing_fd = TAVOLIN_TRY(sys::fstat(fd));
  const auto closing_path = TAVOLIN_TRY(sys::lstat(c_path));
  if (!S_ISREG(closing_path.st_mode) || IdentitySnapshot::of(closing_fd) != opening ||
      IdentitySnapshot::of(closing_path) != opening) {
    return std::unexpected(Failure::io(messages::identity_changed(render_path(path))));
  }
  return StableIdentity{opening.size, opening.mtime_ns, TAVOLIN_TRY(sha.hex_digest())};
}

}  // namespace

Result<StableIdentity> derive_stable_identity(std::string_view path, std::uint64_t chunk_size,
                                                std::span<const SecretBytes> master_keys,
                                                Interrupt& caller_interrupt, ReadAheadUse use) {
  if (!chunk_size_accepted(chunk_size)) {
    throw std::invalid_argument("stable identity chunk_size outside 1..64 MiB");  // precondition
  }
  const std::string c_path(path);
  ForkAware interrupt(caller_interrupt);
  const auto identity = [&]() -> Result<StableIdentity> {
    // O_NONBLOCK keeps the open from waiting for a writer on a FIFO (the
    // regular-file check then refuses it); reads of a regular file ignore it.
    const UniqueFd fd =
        TAVOLIN_TRY(sys::open(c_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, interrupt));
    // One fstat: the regular-file check and the opening snapshot.
    const auto opening_status = TAVOLIN_TRY(sys::fstat(fd.get()));
    if (!S_ISREG(opening_status.st_mode)) {
      return std::unexpected(Failure::io(messages::identity_not_regular(render_path(path))));
    }
    return identity_of_open_file(path, c_path, fd.get(), IdentitySnapshot::of(opening_status),
                                 chunk_size, master_keys, interrupt, use);
  };
  auto result = identity();
  if (!result && interrupt.forked()) {
    // This is a child forked by a handler the interrupt ran, and the call
    // stopped at once: the descriptor's position is shared with the parent
    // and a helper would be the parent's. The identity is computed anew, on
    // this thread alone.
    return derive_stable_identity(path, chunk_size, master_keys, caller_interrupt,
                                  ReadAheadUse::serial);
  }
  return result;
}

}  // namespace tavolin::identity
