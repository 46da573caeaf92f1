#include "file_identity/identity.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cxxabi.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>

#include "common/crypto.hpp"
#include "common/forced_unwind.hpp"
#include "common/messages.hpp"
#include "common/openssl.hpp"
#include "common/text.hpp"
#include "common/syscall.hpp"
#include "common/unique_fd.hpp"
#include "encrypted_range/records.hpp"

namespace tavolin::file_identity {

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

// The records of a container as a byte source over the identity's reader
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

  Result<std::size_t> read(std::span<std::uint8_t> out) override {
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

// Hashes the plaintext of the records that `records` walks, on this thread.
Result<void> hash_records(encrypted_range::RecordReader& records, Sha256& sha,
                            Interrupt& interrupt) {
  SecretBytes record;  // one record at a time, wiped when the walk ends
  for (;;) {
    if (interrupt.stop_between_steps()) return std::unexpected(Failure::interrupted());
    const auto plain = TAVOLIN_TRY(records.next(record));
    if (!plain) return {};  // the payload ends exactly after a record
    TAVOLIN_TRY(sha.update(*plain));
  }
}

// Hashes the plaintext of every record; `reader` is at the start of the
// file, which held `file_size` bytes when it was opened.
Result<void> hash_container(sys::Reader& reader, std::size_t reader_capacity,
                              std::uint64_t file_size,
                              std::span<const SecretBytes> master_keys, Sha256& sha,
                              Interrupt& interrupt) {
  const auto prefix = TAVOLIN_TRY(encrypted_range::read_container_prefix(reader));
  const auto key = TAVOLIN_TRY(encrypted_range::unwrap_data_key_any(master_keys, prefix.header));
  auto opener = TAVOLIN_TRY(encrypted_range::ChunkOpener::create(key, prefix));  // once per file
  RecordSource source(reader, reader_capacity);
  encrypted_range::RecordReader records(source, prefix, opener, file_size);
  return hash_records(records, sha, interrupt);
}


// ---------------------------------------------------------------- the helper thread

int start_thread(pthread_t* thread, void* (*entry)(void*), void* arg) {
  return ::pthread_create(thread, nullptr, entry, arg);
}
std::atomic<HelperStarter> g_helper_starter{&start_thread};

// Fills one slot with the next chunk: its bytes (inside the slot), or no
// value at the end of the data.
using Produce = std::function<Result<std::optional<std::span<const std::uint8_t>>>(SecretBytes&)>;

// Waits for `ready()` by spinning, for at most kHelperSpin; true once ready.
// The two threads hand every slot over this way before they sleep on the
// condition variable: a sleep and a wake-up on every hand-over cost a fifth
// of the throughput in a measurement on two virtual cores.
template <class Ready>
bool spin_until(Ready ready) {
  const auto until = std::chrono::steady_clock::now() + kHelperSpin;
  for (unsigned i = 1;; ++i) {
    if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
    if (i % 64 == 0 && std::chrono::steady_clock::now() >= until) return false;
  }
}

// What the calling thread and its helper share. The helper fills the slots in
// order, at most `depth` (2 or 3) ahead of the hashing; the calling thread hashes
// them in the same order.
struct PipelineState {
  PipelineState(Produce p, std::size_t slots_in_flight)
      : depth(slots_in_flight), produce(std::move(p)) {}

  std::mutex mutex;
  std::condition_variable changed;
  const std::size_t depth;  // slots in use, at most kHelperSlots
  std::array<SecretBytes, kHelperSlots> slots;  // wiped when the state is released
  std::array<std::span<const std::uint8_t>, kHelperSlots> filled{};
  // Changed with the mutex held; read without it only while spinning.
  std::atomic<std::size_t> produced{0};
  std::atomic<std::size_t> consumed{0};
  std::atomic<bool> finished{false};
  // Guarded by mutex, as is everything below.
  std::optional<Failure> failure;
  std::exception_ptr exception;
  std::atomic<bool> stop{false};
  Produce produce;

  // The helper's interrupt: the calling thread's stop, never Python.
  struct StopFlag final : Interrupt {
    explicit StopFlag(const std::atomic<bool>& flag) : flag_(&flag) {}
    bool should_stop(InterruptMoment) override { return flag_->load(std::memory_order_acquire); }
    const std::atomic<bool>* flag_;
  } stop_flag{stop};

  void run_helper() {
    std::unique_lock lock(mutex);
    const auto slot_free = [&] { return produced - consumed < depth || stop.load(); };
    for (;;) {
      if (!slot_free()) {
        lock.unlock();
        spin_until(slot_free);
        lock.lock();
      }
      changed.wait(lock, slot_free);
      if (stop.load()) break;
      SecretBytes& slot = slots[produced % depth];
      lock.unlock();
      Result<std::optional<std::span<const std::uint8_t>>> next;
      try {
        next = produce(slot);
      } catch (const abi::__forced_unwind&) {
        throw;
      } catch (...) {
        lock.lock();
        exception = std::current_exception();
        break;
      }
      lock.lock();
      if (!next) {
        failure = std::move(next.error());
        break;
      }
      if (!*next) break;
      filled[produced % depth] = **next;
      produced.fetch_add(1, std::memory_order_release);
      changed.notify_all();
    }
    finished = true;
    changed.notify_all();
  }

  static void* entry(void* raw) {
    static_cast<PipelineState*>(raw)->run_helper();
    return nullptr;
  }
};

// Owns the helper thread of one call: joined when this goes out of scope, on
// every path. In a child forked meanwhile (by a signal handler the interrupt
// ran) the helper does not exist and the state may be locked: both are left
// alone and the state is let go.
class Pipeline {
 public:
  Pipeline(Produce produce, std::size_t depth)
      : state_(std::make_unique<PipelineState>(std::move(produce), depth)), pid_(::getpid()) {}
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;
  ~Pipeline() {
    if (!started_) return;
    if (::getpid() != pid_) {
      (void)state_.release();
      return;
    }
    {
      const std::lock_guard lock(state_->mutex);
      state_->stop.store(true, std::memory_order_release);
    }
    state_->changed.notify_all();
    ::pthread_join(thread_, nullptr);
  }

  // Starts the helper with asynchronous signals blocked (they are for the
  // calling thread). False when it cannot be started.
  bool start() {
    sigset_t blocked;
    sigset_t previous;
    sigfillset(&blocked);
    for (int sync : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&blocked, sync);
    pthread_sigmask(SIG_SETMASK, &blocked, &previous);
    const int error = g_helper_starter.load()(&thread_, &PipelineState::entry, state_.get());
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    started_ = error == 0;
    return started_;
  }

  [[nodiscard]] Interrupt& helper_interrupt() { return state_->stop_flag; }

  // Hashes the helper's chunks in order until the end of the data or the
  // first failure. `forked` is set when the interrupt forked and this runs
  // in the child: nothing more is done then.
  Result<void> hash(Sha256& sha, Interrupt& interrupt, bool& forked) {
    PipelineState& st = *state_;
    constexpr auto kPollInterval = std::chrono::milliseconds(50);
    std::unique_lock lock(st.mutex);
    for (;;) {
      if (st.consumed < st.produced) {
        const auto data = st.filled[st.consumed % st.depth];
        lock.unlock();
        auto updated = sha.update(data);
        const bool stop = interrupt.stop_between_steps();
        if (::getpid() != pid_) {
          forked = true;
          return {};
        }
        lock.lock();
        st.consumed.fetch_add(1, std::memory_order_release);
        st.changed.notify_all();
        if (!updated) return std::unexpected(std::move(updated.error()));
        if (stop) return std::unexpected(Failure::interrupted());
        continue;
      }
      if (st.finished) {
        if (st.exception) std::rethrow_exception(st.exception);
        if (st.failure) return std::unexpected(*st.failure);
        return {};
      }
      const std::size_t hashed = st.consumed;
      lock.unlock();
      // The helper's end counts too: no spinning on after its last chunk.
      spin_until([&] {
        return st.produced.load(std::memory_order_acquire) > hashed ||
               st.finished.load(std::memory_order_acquire);
      });
      lock.lock();
      if (st.changed.wait_for(lock, kPollInterval,
                              [&] { return st.consumed < st.produced || st.finished; })) {
        continue;
      }
      lock.unlock();
      const bool stop = interrupt.stop_between_steps();
      if (::getpid() != pid_) {
        forked = true;
        return {};
      }
      lock.lock();
      if (stop) return std::unexpected(Failure::interrupted());
    }
  }

 private:
  std::unique_ptr<PipelineState> state_;
  pid_t pid_;
  pthread_t thread_{};
  bool started_ = false;
};

// The outcome of hashing with a helper (serially, when it could not be
// started); `forked` when a handler forked this process meanwhile.
struct Piped {
  Result<void> result;
  bool forked = false;
};

Piped hash_container_piped(sys::Reader& reader, std::size_t reader_capacity,
                                          std::uint64_t file_size,
                                          std::span<const SecretBytes> master_keys, Sha256& sha,
                                          Interrupt& interrupt) {
  auto front = encrypted_range::read_container_prefix(reader);
  if (!front) return Piped{std::unexpected(std::move(front.error()))};
  const auto& prefix = *front;
  auto key = encrypted_range::unwrap_data_key_any(master_keys, prefix.header);
  if (!key) return Piped{std::unexpected(std::move(key.error()))};
  auto opener = encrypted_range::ChunkOpener::create(*key, prefix);  // once per file
  if (!opener) return Piped{std::unexpected(std::move(opener.error()))};
  RecordSource source(reader, reader_capacity);
  encrypted_range::RecordReader records(source, prefix, *opener, file_size);
  Pipeline pipeline([&records](SecretBytes& slot) { return records.next(slot); },
                    kHelperRecordsInFlight);
  // The helper pays from a few records on (measured: kHelperMinRecords).
  const bool large = file_size / (prefix.header.chunk_size + encrypted_range::kRecordOverhead) >=
                     kHelperMinRecords;
  if (large) reader.set_interrupt(pipeline.helper_interrupt());
  if (!large || !pipeline.start()) {
    reader.set_interrupt(interrupt);
    return Piped{hash_records(records, sha, interrupt)};
  }
  Piped out;
  out.result = pipeline.hash(sha, interrupt, out.forked);
  return out;
}

// Hashes a plain file's bytes with the reading on a helper: the calling
// thread hashes what the first read left in the reader's buffer, then the
// chunks the helper reads straight into its slots, in file order.
Piped hash_plain_piped(sys::Reader& reader, std::size_t chunk, Sha256& sha,
                       Interrupt& interrupt) {
  if (interrupt.stop_between_steps()) return Piped{std::unexpected(Failure::interrupted())};
  auto front = reader.next_block();  // the buffered first read: no system call
  if (!front) return Piped{std::unexpected(std::move(front.error()))};
  if (front->empty()) return Piped{};
  if (auto updated = sha.update(*front); !updated) return Piped{std::move(updated)};
  Pipeline pipeline([&reader, chunk](SecretBytes& slot)
                        -> Result<std::optional<std::span<const std::uint8_t>>> {
    if (slot.size() != chunk) slot.resize(chunk);
    const std::size_t n = TAVOLIN_TRY(reader.read_direct(slot.span()));
    if (n == 0) return std::nullopt;
    return std::span<const std::uint8_t>(slot.data(), n);
  }, kHelperSlots);
  reader.set_interrupt(pipeline.helper_interrupt());
  if (!pipeline.start()) {
    reader.set_interrupt(interrupt);
    return Piped{hash_plain(reader, sha, interrupt)};
  }
  Piped out;
  out.result = pipeline.hash(sha, interrupt, out.forked);
  return out;
}

}  // namespace

void set_helper_starter(HelperStarter starter) { g_helper_starter.store(starter); }

IdentitySnapshot IdentitySnapshot::of(const struct ::stat& st) {
  return IdentitySnapshot{
      static_cast<std::uint64_t>(st.st_dev),
      static_cast<std::uint64_t>(st.st_ino),
      static_cast<std::uint64_t>(st.st_size),
      static_cast<__int128>(st.st_mtim.tv_sec) * 1'000'000'000 +
          static_cast<__int128>(st.st_mtim.tv_nsec),
  };
}

Result<StableIdentity> derive_stable_identity(std::string_view path, std::uint64_t chunk_size,
                                                std::span<const SecretBytes> master_keys,
                                                Interrupt& interrupt, Helper helper) {
  if (!chunk_size_accepted(chunk_size)) {
    throw std::invalid_argument("stable identity chunk_size outside 1..64 MiB");  // precondition
  }
  const std::string c_path(path);

  // O_NONBLOCK keeps the open from waiting for a writer on a FIFO (the
  // regular-file check then refuses it); reads of a regular file ignore it.
  const UniqueFd fd =
      TAVOLIN_TRY(sys::open(c_path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, interrupt));
  // One fstat: the regular-file check and the opening snapshot.
  const auto opening_status = TAVOLIN_TRY(sys::fstat(fd.get()));
  if (!S_ISREG(opening_status.st_mode)) {
    return std::unexpected(
        Failure::io(messages::identity_not_regular(render_path(path))));
  }
  const IdentitySnapshot opening = IdentitySnapshot::of(opening_status);

  // The magic comes from the first read of the content, which stays in the
  // buffer for the hashing: every byte is read once.
  // A file smaller than a chunk gets a buffer one byte larger than its size:
  // the first read takes it whole and, coming back short, ends it.
  std::uint64_t capacity = chunk_size;
  if (opening.size != 0 && opening.size < capacity) capacity = opening.size + 1;
  const std::size_t reader_capacity = std::max<std::size_t>(
      static_cast<std::size_t>(capacity), encrypted_range::kContainerMagic.size());
  sys::Reader reader(fd.get(), reader_capacity, interrupt);
  reader.expect_size(opening.size);
  auto sha = TAVOLIN_TRY(Sha256::create());
  const auto front = TAVOLIN_TRY(reader.peek(encrypted_range::kContainerMagic.size()));
  const auto& magic = encrypted_range::kContainerMagic;
  const bool is_container = front.size() >= magic.size() &&
                            std::equal(magic.begin(), magic.end(), front.begin());
  // A plain file the first read took whole has nothing left to hand over.
  const bool piped = helper == Helper::allowed && opening.size >= kHelperMinBytes &&
                     (is_container || opening.size >= reader_capacity);
  Result<void> hashed;
  if (piped) {
    auto outcome = is_container ? hash_container_piped(reader, reader_capacity, opening.size,
                                                       master_keys, sha, interrupt)
                                : hash_plain_piped(reader, std::min(reader_capacity, kHelperPlainSlot), sha,
                                                   interrupt);
    if (outcome.forked) {
      // This is a child forked by a handler the interrupt ran: the helper is
      // the parent's. The identity is computed anew, on this thread alone.
      return derive_stable_identity(path, chunk_size, master_keys, interrupt, Helper::serial);
    }
    hashed = std::move(outcome.result);
  } else {
    hashed = is_container ? hash_container(reader, reader_capacity, opening.size, master_keys,
                                           sha, interrupt)
                          : hash_plain(reader, sha, interrupt);
  }
  if (!hashed) {
    // A record that reaches past the size seen at open is refused before any
    // buffer is sized by it. If the file has grown since, a writer appended
    // to it meanwhile: that is a change, not a damaged container.
    if (hashed.error().is_short_read()) {
      const auto now = sys::fstat(fd.get());
      if (now && static_cast<std::uint64_t>(now->st_size) > opening.size) {
        return std::unexpected(
            Failure::io(messages::identity_changed(render_path(path))));
      }
    }
    return std::unexpected(std::move(hashed.error()));
  }

  const auto closing_fd = TAVOLIN_TRY(sys::fstat(fd.get()));
  const auto closing_path = TAVOLIN_TRY(sys::lstat(c_path));
  if (!S_ISREG(closing_path.st_mode) || IdentitySnapshot::of(closing_fd) != opening ||
      IdentitySnapshot::of(closing_path) != opening) {
    return std::unexpected(Failure::io(messages::identity_changed(render_path(path))));
  }
  return StableIdentity{opening.size, opening.mtime_ns, TAVOLIN_TRY(sha.hex_digest())};
}

}  // namespace tavolin::file_identity
