#include "copy/copy.hpp"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <utility>

#include "common/messages.hpp"
#include "common/syscall.hpp"
#include "common/unique_fd.hpp"

namespace tavolin::copy {

namespace {

// The most one kernel-route call is asked to move. Kept moderate so that
// writeback of what was copied can start while the copy goes on.
constexpr std::size_t kKernelChunk = std::size_t{8} << 20;

// Starts writeback of a regular target every kWritebackStep bytes, so that
// the disk works while the copy goes on and the final fsync finds little left
// to write. Advice only: durability still comes from that one fsync.
constexpr std::uint64_t kWritebackStep = std::uint64_t{8} << 20;

class Writeback {
 public:
  Writeback(int target, bool regular) noexcept : target_(target), enabled_(regular) {}

  // `written` bytes now lie in the target from offset 0.
  void advance(std::uint64_t written) noexcept {
    if (!enabled_ || written - started_ < kWritebackStep) return;
    if (::sync_file_range(target_, static_cast<off_t>(started_),
                          static_cast<off_t>(written - started_), SYNC_FILE_RANGE_WRITE) != 0) {
      enabled_ = false;  // not supported here: leave it all to fsync
      return;
    }
    started_ = written;
  }

 private:
  int target_;
  bool enabled_;
  std::uint64_t started_ = 0;
};

enum class RouteEnd : std::uint8_t {
  finished,   // the source reported end of data after bytes were moved
  hand_over,  // refused before moving a byte, or stopped by an offset overflow
};

struct RouteOutcome {
  RouteEnd end;
  std::uint64_t moved;
};

// Errors with which a kernel route declines these descriptors.
bool declines(int err) {
  switch (err) {
    case ENOSYS:      // not provided by this kernel
    case EOPNOTSUPP:  // not supported by the file system
    case EXDEV:       // different file systems (older kernels)
    case EINVAL:      // not usable with these descriptor kinds
    case EPERM:       // blocked (seccomp) or immutable file
    case EBADF:       // descriptor mode not usable by this route
      return true;
    default:
      return false;
  }
}

// Runs one kernel route until end of data. `step(max)` performs one call and
// returns its result with errno set on failure.
// `progress(moved)` is told the route's running total after each step.
// A stop asked by `interrupt` ends the route with Failure::interrupted(); the
// bytes moved so far stay counted by `progress`.
template <class Step, class Progress>
Result<RouteOutcome> run_route(Step&& step, Progress&& progress, Interrupt& interrupt) {
  std::uint64_t moved = 0;
  for (;;) {
    if (interrupt.stop_between_steps()) return std::unexpected(Failure::interrupted());
    // EINTR comes only when nothing moved in this call: it is repeated.
    const auto n = sys::retry(interrupt, [&] { return step(kKernelChunk); });
    if (!n) {
      const int err = n.error().os_error;
      if (err == EOVERFLOW) return RouteOutcome{RouteEnd::hand_over, moved};
      if (moved == 0 && declines(err)) return RouteOutcome{RouteEnd::hand_over, 0};
      return std::unexpected(n.error());
    }
    if (*n == 0) {
      // End of data at once (as procfs and sysfs files report it) hands over.
      return RouteOutcome{moved == 0 ? RouteEnd::hand_over : RouteEnd::finished, moved};
    }
    moved += static_cast<std::uint64_t>(*n);
    progress(moved);
  }
}

Result<void> write_all(int fd, const char* data, std::size_t size,
                                   Interrupt& interrupt) {
  while (size > 0) {
    const auto n = TAVOLIN_TRY(sys::retry(interrupt, [&] { return ::write(fd, data, size); }));
    if (n == 0) return std::unexpected(Failure::io(messages::kShortWrite));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

// The staging buffer of the generic loop: max(chunk_size, kMinReadSize)
// bytes, allocated without initialising (a large buffer is only touched as
// far as reads fill it). A size that cannot be had throws std::bad_alloc.
class StagingBuffer {
 public:
  explicit StagingBuffer(std::uint64_t chunk_size) : request_(std::max(chunk_size, kMinReadSize)) {}

  // Allocates now (before the target is opened, so that a failure leaves it
  // untouched). False when the size cannot be had.
  bool try_allocate() {
    if (data_) return true;
    if (request_ > static_cast<std::uint64_t>(PTRDIFF_MAX)) return false;
    data_.reset(new (std::nothrow) char[static_cast<std::size_t>(request_)]);
    return data_ != nullptr;
  }
  void allocate() {
    if (!try_allocate()) throw std::bad_alloc();
  }
  // The buffer, allocated on first use. Only a source that the kernel routes
  // were found to carry gets here without one, after the target was
  // truncated: a MemoryError then would leave the target changed, so a
  // buffer that cannot be had at its full size is taken smaller.
  std::span<char> get() {
    if (!try_allocate()) {
      for (std::uint64_t smaller : {std::uint64_t{kKernelChunk}, kMinReadSize}) {
        if (smaller >= request_) continue;
        request_ = smaller;
        if (try_allocate()) break;
      }
      allocate();
    }
    return {data_.get(), static_cast<std::size_t>(request_)};
  }

 private:
  std::uint64_t request_;
  std::unique_ptr<char[]> data_;
};

// Whether the kernel routes will carry a regular, non-empty source from its
// current offset: a byte there can be moved by sendfile (the route that
// takes over whatever copy_file_range declines). Moves one byte into a pipe
// of the call's own at an explicit offset, so the source's offset stays
// where it is and the target is not touched. False when that byte cannot be
// moved: the source stands at its end, or serves its content only through
// read (procfs and sysfs files report a size), so the generic loop would
// run. An error of the probe itself is that error.
Result<bool> kernel_routes_carry(int source) {
  const off_t offset = ::lseek(source, 0, SEEK_CUR);
  if (offset < 0) return false;  // not seekable after all: the loop may run
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    return std::unexpected(Failure::from_errno(errno));
  }
  const UniqueFd read_end(pipe_fds[0]);
  const UniqueFd write_end(pipe_fds[1]);
  NoInterrupt retry_always;  // one byte into an empty pipe of its own: never waits
  const auto n = sys::retry(retry_always, [&] {
    off_t at = offset;
    return ::sendfile(write_end.get(), source, &at, 1);
  });
  return n && *n == 1;
}

// The generic loop: read up to max(chunk_size, kMinReadSize) bytes, write
// all of it, until a read returns 0.
Result<std::uint64_t> read_write_loop(int source, int target, StagingBuffer& staging,
                                        Writeback& writeback, std::uint64_t before,
                                        Interrupt& interrupt) {
  const std::span<char> buffer = staging.get();
  std::uint64_t copied = 0;
  for (;;) {
    if (interrupt.stop_between_steps()) return std::unexpected(Failure::interrupted());
    const auto n = TAVOLIN_TRY(
        sys::retry(interrupt, [&] { return ::read(source, buffer.data(), buffer.size()); }));
    if (n == 0) return copied;
    TAVOLIN_TRY(write_all(target, buffer.data(), static_cast<std::size_t>(n), interrupt));
    copied += static_cast<std::uint64_t>(n);
    writeback.advance(before + copied);
  }
}

// While a pipe source is drained, its writer may run ahead by up to this much
// (fewer wake-ups of writer and copy); the pipe's own capacity is put back
// when the copy ends. Best effort: a pipe that cannot grow stays as it is.
constexpr int kDrainPipeCapacity = 1 << 20;

class PipeCapacityDuringCopy {
 public:
  PipeCapacityDuringCopy(int fd, const struct stat& st) noexcept : fd_(fd) {
    if (!S_ISFIFO(st.st_mode)) return;
    const int current = ::fcntl(fd, F_GETPIPE_SZ);
    if (current <= 0 || current >= kDrainPipeCapacity) return;
    if (::fcntl(fd, F_SETPIPE_SZ, kDrainPipeCapacity) >= 0) original_ = current;
  }
  ~PipeCapacityDuringCopy() {
    // Fails (and is left) only while the pipe still holds more than that.
    if (original_ > 0) (void)::fcntl(fd_, F_SETPIPE_SZ, original_);
  }
  PipeCapacityDuringCopy(const PipeCapacityDuringCopy&) = delete;
  PipeCapacityDuringCopy& operator=(const PipeCapacityDuringCopy&) = delete;

 private:
  int fd_;
  int original_ = 0;
};

bool is_pipe_or_socket(const struct stat& st) {
  return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

// Moves every byte from `source` to `target` by the first route that takes
// the descriptors.
Result<std::uint64_t> move_bytes(int source, int target, const struct stat& from,
                                   const struct stat& to, StagingBuffer& staging,
                                   Interrupt& interrupt) {
  std::uint64_t copied = 0;
  const bool source_has_size = S_ISREG(from.st_mode) && from.st_size > 0;
  Writeback writeback(target, S_ISREG(to.st_mode));
  const PipeCapacityDuringCopy capacity(source, from);
  const auto progress = [&](std::uint64_t moved) { writeback.advance(copied + moved); };

  const auto take = [&](const Result<RouteOutcome>& outcome) -> Result<bool> {
    if (!outcome) return std::unexpected(outcome.error());
    copied += outcome->moved;
    return outcome->end == RouteEnd::finished;
  };

  if (source_has_size && S_ISREG(to.st_mode)) {
    auto done = take(run_route([&](std::size_t max) {
      return ::copy_file_range(source, nullptr, target, nullptr, max, 0);
    }, progress, interrupt));
    if (!done) return std::unexpected(done.error());
    if (*done) return copied;
  }
  if (source_has_size || S_ISBLK(from.st_mode)) {
    auto done = take(run_route([&](std::size_t max) {
      return ::sendfile(target, source, nullptr, max);
    }, progress, interrupt));
    if (!done) return std::unexpected(done.error());
    if (*done) return copied;
  }
  if (is_pipe_or_socket(from) || is_pipe_or_socket(to)) {
    auto done = take(run_route([&](std::size_t max) {
      return ::splice(source, nullptr, target, nullptr, max, 0);
    }, progress, interrupt));
    if (!done) return std::unexpected(done.error());
    if (*done) return copied;
  }
  auto rest = TAVOLIN_TRY(read_write_loop(source, target, staging, writeback, copied, interrupt));
  return copied + rest;
}

Result<void> sync_target(int target, const struct stat& to, Interrupt& interrupt) {
  const auto synced = sys::retry(interrupt, [&] { return ::fsync(target); });
  if (synced) return {};
  // Pipes, sockets and character devices have nothing to make durable.
  if (synced.error().os_error == EINVAL && !S_ISREG(to.st_mode) && !S_ISBLK(to.st_mode)) {
    return {};
  }
  return std::unexpected(synced.error());
}

// Refuses a source that cannot be read at all, with the error a read of it
// would give, before the target is opened: an O_PATH or write-only
// descriptor (EBADF), a directory (EISDIR).
Result<void> check_readable(int source, const struct stat& from) {
  const int flags = ::fcntl(source, F_GETFL);
  if (flags < 0) return std::unexpected(Failure::from_errno(errno));
  if ((flags & O_PATH) != 0 || (flags & O_ACCMODE) == O_WRONLY) {
    return std::unexpected(Failure::from_errno(EBADF));
  }
  if (S_ISDIR(from.st_mode)) return std::unexpected(Failure::from_errno(EISDIR));
  return {};
}

struct OpenedTarget {
  UniqueFd fd;
  bool created;  // this call created the file
  // Where the created file's directory entry is, when not beside the path's
  // own last component (a dangling symbolic link was followed).
  std::optional<std::string> entry_path;
};

// The path the descriptor's file was opened at (the target of every symbolic
// link on the way), or none when the system does not tell.
std::optional<std::string> opened_path(int fd) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  std::string out(4096, '\0');
  const ssize_t n = ::readlink(link.c_str(), out.data(), out.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= out.size() || out[0] != '/') return std::nullopt;
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// Opens the target for writing, creating it (0666 & ~umask) if missing, and
// tells whether this call created it. Opens interrupted by a signal (a FIFO
// target waits for its reader) are retried unless `interrupt` asks to stop.
Result<OpenedTarget> open_target(const std::string& path, Interrupt& interrupt) {
  // Not truncated here: that waits until the target is known not to be the
  // source itself.
  auto existing = sys::open(path, O_WRONLY, interrupt);
  if (existing) return OpenedTarget{std::move(*existing), false, {}};
  // ENOTDIR: a regular file named with a trailing slash ("file/"), which a
  // creating open refuses as a directory; the creating open below gives the
  // error that a single create-and-truncate open would.
  const int first_error = existing.error().os_error;
  if (first_error != ENOENT && first_error != ENOTDIR) return std::unexpected(existing.error());
  auto created = sys::open(path, O_WRONLY | O_CREAT | O_EXCL, interrupt, 0666);
  if (created) return OpenedTarget{std::move(*created), true, {}};
  if (created.error().os_error != EEXIST) return std::unexpected(created.error());
  // Created meanwhile, or a dangling symbolic link (which O_EXCL does not
  // follow): open as a plain create does, and count it as created. The new
  // entry is then wherever the link led.
  auto plain = TAVOLIN_TRY(sys::open(path, O_WRONLY | O_CREAT, interrupt, 0666));
  auto entry = opened_path(plain.get());
  return OpenedTarget{std::move(plain), true, std::move(entry)};
}

// Makes the new directory entry of a created target durable. A directory that
// cannot be opened for reading, or whose file system answers fsync with
// EINVAL, has nothing more that this call can do.
Result<void> sync_parent_directory(const std::string& target_path,
                                               Interrupt& interrupt) {
  const std::size_t slash = target_path.find_last_of('/');
  const std::string directory = slash == std::string::npos ? std::string(".")
                                : slash == 0             ? std::string("/")
                                                         : target_path.substr(0, slash);
  auto dir = sys::open(directory, O_RDONLY | O_DIRECTORY, interrupt);
  if (!dir) {
    const int err = dir.error().os_error;
    if (err == EACCES || err == EPERM) return {};
    return std::unexpected(dir.error());
  }
  const auto synced = sys::retry(interrupt, [&] { return ::fsync(dir->get()); });
  if (synced || synced.error().os_error == EINVAL) return {};
  return std::unexpected(synced.error());
}

}  // namespace

Result<void> check_copy_arguments(std::int32_t source_fd, std::uint64_t chunk_size) {
  if (source_fd < 0) return std::unexpected(Failure::value(messages::kSourceFd));
  if (chunk_size == 0) return std::unexpected(Failure::value(messages::kChunkSize));
  return {};
}

Result<std::uint64_t> copy_descriptor_to_path(int source_fd, const std::string& target_path,
                                                std::uint64_t chunk_size, Interrupt& interrupt) {
  UniqueFd source(::fcntl(source_fd, F_DUPFD_CLOEXEC, 3));
  if (source.get() < 0) return std::unexpected(Failure::from_errno(errno));

  const auto from = TAVOLIN_TRY(sys::fstat(source.get()));
  TAVOLIN_TRY(check_readable(source.get(), from));
  // The generic loop's buffer is allocated before the target is opened, so
  // that a size that cannot be had leaves the target as it was. A non-empty
  // regular source goes by the kernel routes, which need none: when its
  // buffer cannot be had, the copy goes on only if those routes are seen to
  // carry the source; otherwise (at its end, or content served only through
  // read) it ends here with MemoryError, the target untouched.
  StagingBuffer staging(chunk_size);
  if (!staging.try_allocate()) {
    if (!(S_ISREG(from.st_mode) && from.st_size > 0)) throw std::bad_alloc();
    if (!TAVOLIN_TRY(kernel_routes_carry(source.get()))) throw std::bad_alloc();
  }

  auto opened = TAVOLIN_TRY(open_target(target_path, interrupt));
  UniqueFd target = std::move(opened.fd);
  const auto to = TAVOLIN_TRY(sys::fstat(target.get()));
  if (from.st_dev == to.st_dev && from.st_ino == to.st_ino && !S_ISCHR(to.st_mode)) {
    return std::unexpected(Failure::io(messages::copy_same_file(target_path)));
  }
  if (S_ISREG(to.st_mode)) {
    TAVOLIN_TRY(sys::retry(interrupt, [&] { return ::ftruncate(target.get(), 0); }));
  }

  auto copied = move_bytes(source.get(), target.get(), from, to, staging, interrupt);
  if (!copied) return std::unexpected(copied.error());
  auto synced = sync_target(target.get(), to, interrupt);
  if (!synced) return std::unexpected(synced.error());
  target.close();  // after fsync a close error adds nothing to report
  if (opened.created) {
    auto entry = sync_parent_directory(opened.entry_path.value_or(target_path), interrupt);
    if (!entry) return std::unexpected(entry.error());
  }
  return *copied;
}

}  // namespace tavolin::copy
