// Opening container files and the raw-descriptor readers of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "encrypted_range/container.hpp"
#include "common/failure.hpp"
#include "common/interrupt.hpp"
#include "common/unique_fd.hpp"

namespace tavolin::encrypted_range {

// open(2) with O_CLOEXEC added to `flags`. A path holding a NUL byte is
// refused (invalid input) instead of being cut short at it.
IoResult<UniqueFd> open_file(const std::string& path, int flags);

// Sequential reads from a descriptor's current position; reads interrupted
// by a signal are retried.
class FdSource final : public ByteSource {
 public:
  explicit FdSource(int fd) : fd_(fd) {}
  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;

 private:
  int fd_;
};

// Reads at absolute offsets, independent of any file position.
class RandomAccessSource {
 public:
  virtual ~RandomAccessSource() = default;
  // Reads up to the total size of `parts` at `offset`, filling the parts in
  // order; returns the number of bytes read, short only at the end of data.
  virtual IoResult<std::size_t> read_at(std::uint64_t offset,
                                        std::span<const std::span<std::uint8_t>> parts) = 0;
};

// Reads interrupted by a signal are retried unless `interrupt` (when given)
// asks to stop.
class FdRandomAccess final : public RandomAccessSource {
 public:
  explicit FdRandomAccess(int fd, Interrupt* interrupt = nullptr)
      : fd_(fd), interrupt_(interrupt) {}
  IoResult<std::size_t> read_at(std::uint64_t offset,
                                std::span<const std::span<std::uint8_t>> parts) override;

 private:
  int fd_;
  Interrupt* interrupt_;
};

// Fills `buffer` from `offset`; an early end is IoFailure::unexpected_eof().
IoResult<void> read_exact_at(RandomAccessSource& source, std::uint64_t offset,
                             std::span<std::uint8_t> buffer);

}  // namespace tavolin::encrypted_range
