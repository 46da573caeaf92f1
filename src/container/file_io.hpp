// Positional access to container files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/failure.hpp"
#include "common/interrupt.hpp"
#include "container/format.hpp"

namespace tavolin::container {

// Reads at absolute offsets, independent of any file position.
class RandomAccessSource {
 public:
  virtual ~RandomAccessSource() = default;
  // Reads up to the total size of `parts` at `offset`, filling the parts in
  // order; returns the number of bytes read, short only at the end of data.
  virtual Result<std::size_t> read_at(std::uint64_t offset,
                                        std::span<const std::span<std::uint8_t>> parts) = 0;
};

// A descriptor read with sys::read_at: reads interrupted by a signal are
// retried unless `interrupt` asks to stop.
class FdRandomAccess final : public RandomAccessSource {
 public:
  FdRandomAccess(int fd, Interrupt& interrupt) : fd_(fd), interrupt_(&interrupt) {}
  Result<std::size_t> read_at(std::uint64_t offset,
                                std::span<const std::span<std::uint8_t>> parts) override {
    return sys::read_at(fd_, offset, parts, *interrupt_);
  }

 private:
  int fd_;
  Interrupt* interrupt_;
};

// Fills `buffer` from `offset`; an early end is Failure::short_read().
Result<void> read_exact_at(RandomAccessSource& source, std::uint64_t offset,
                             std::span<std::uint8_t> buffer);

}  // namespace tavolin::container
