// The one system-call layer of the cores: the EINTR-retrying call, the
// opener, fstat/lstat, positional vectored reads, and the buffered reader.
// Every failure comes back as a Failure carrying the errno (or the
// interruption); nothing here throws except std::bad_alloc.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <type_traits>

#include "common/failure.hpp"
#include "common/interrupt.hpp"
#include "common/unique_fd.hpp"

namespace tavolin {

// A readable byte source. `read` returns the number of bytes read (0 at the
// end of data); it retries reads interrupted by a signal itself.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual Result<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
};

// Reads at absolute offsets, independent of any file position.
class RandomAccessSource {
 public:
  virtual ~RandomAccessSource() = default;
  // Reads up to the total size of `parts` at `offset`, filling the parts in
  // order; returns the number of bytes read, short only at the end of data.
  virtual Result<std::size_t> read_at(std::uint64_t offset,
                                        std::span<const std::span<std::uint8_t>> parts) = 0;
};

namespace sys {

// Runs `call` (a system call that returns a negative value with errno set on
// failure) until it is not interrupted by a signal. After every EINTR the
// interrupt is asked `stop_after_eintr()`; when it asks to stop, the result
// is Failure::interrupted(). Any other failure is Failure::from_errno.
template <class Call>
auto retry(Interrupt& interrupt, Call&& call) -> Result<std::invoke_result_t<Call&>> {
  for (;;) {
    const auto result = call();
    if (result >= 0) return result;
    const int err = errno;
    if (err != EINTR) return std::unexpected(Failure::from_errno(err));
    if (interrupt.stop_after_eintr()) return std::unexpected(Failure::interrupted());
  }
}

// open(2) with O_CLOEXEC added to `flags`, retried after EINTR (see retry).
// A path holding a NUL byte is refused (invalid input, messages::kPathNul)
// instead of being cut short at it.
Result<UniqueFd> open(const std::string& path, int flags, Interrupt& interrupt,
                        mode_t mode = 0);

Result<struct ::stat> fstat(int fd);
// lstat(2) of a path the caller has already opened (so known to be NUL-free).
Result<struct ::stat> lstat(const std::string& path);

// Reads up to the total size of `parts` at `offset` with preadv, filling the
// parts in order and going on after short reads; returns the number of bytes
// read, short only at the end of data.
Result<std::size_t> read_at(int fd, std::uint64_t offset,
                              std::span<const std::span<std::uint8_t>> parts,
                              Interrupt& interrupt);

// A buffered reader over a descriptor it does not own: sequential (read(2)
// from the descriptor's position) or positional (pread(2) from an offset it
// keeps itself, leaving the descriptor's position alone).
//
// When its buffer is empty, a request at least as large as the buffer goes
// straight to the descriptor. Once told the size the file had when it was
// opened (`expect_size`), it reports the end of data without a further read
// when exactly that many bytes came in and the last read returned fewer than
// it asked for: that read already met the end. A file reporting size 0
// (procfs) is read until a read returns 0, as is one that gave more bytes
// than its size.
//
// It also reads at any offset (read_at), unbuffered and apart from its own
// position, for a caller that reads a file's front and then its records.
class Reader final : public ByteSource, public RandomAccessSource {
 public:
  enum class Source : std::uint8_t { sequential, positional };

  Reader(int fd, std::size_t capacity, Interrupt& interrupt, Source source = Source::sequential,
         std::uint64_t offset = 0);

  void expect_size(std::uint64_t size) { expected_ = size; }
  // The interrupt asked from now on (when the reader moves to another thread).
  void set_interrupt(Interrupt& interrupt) { interrupt_ = &interrupt; }

  Result<std::size_t> read(std::span<std::uint8_t> out) override;
  Result<std::size_t> read_at(std::uint64_t offset,
                                std::span<const std::span<std::uint8_t>> parts) override {
    return sys::read_at(fd_, offset, parts, *interrupt_);
  }

  // At least `count` (<= capacity) bytes buffered, fewer only at the end of
  // data; returns the buffered bytes without consuming them.
  Result<std::span<const std::uint8_t>> peek(std::size_t count);

  // The buffered bytes, or the next read's worth when none is buffered, all
  // consumed; empty at the end of data.
  Result<std::span<const std::uint8_t>> next_block();

  // One read straight into `out` (0 at the end of data), for a caller that
  // keeps its own buffers; only while nothing is buffered.
  Result<std::size_t> read_direct(std::span<std::uint8_t> out) { return fetch(out); }

  // Bytes taken from the descriptor so far.
  [[nodiscard]] std::uint64_t fetched() const { return fetched_; }

 private:
  // One read into `out` (0 at the end of data).
  Result<std::size_t> fetch(std::span<std::uint8_t> out);
  [[nodiscard]] bool known_end() const {
    return last_short_ && expected_ != 0 && fetched_ == expected_;
  }

  int fd_;
  Interrupt* interrupt_;
  Source source_;
  std::uint64_t offset_;  // positional source: where the next read starts
  std::size_t capacity_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::uint64_t fetched_ = 0;
  std::uint64_t expected_ = 0;
  bool last_short_ = false;
};

}  // namespace sys
}  // namespace tavolin
