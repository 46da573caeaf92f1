// Whole positional reads of container files (the positional source is
// common/syscall.hpp's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/failure.hpp"
#include "common/interrupt.hpp"
#include "container/format.hpp"

namespace tavolin::container {

// Fills `buffer` from `offset`; an early end is Failure::short_read().
Result<void> read_exact_at(RandomAccessSource& source, std::uint64_t offset,
                             std::span<std::uint8_t> buffer);

}  // namespace tavolin::container
