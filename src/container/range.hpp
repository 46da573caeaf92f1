// Decryption of inclusive plaintext byte ranges of a container.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "container/gcm.hpp"
#include "container/file_io.hpp"
#include "common/failure.hpp"
#include "common/interrupt.hpp"

namespace tavolin::container {

inline constexpr std::uint64_t kMaxRangeLength = 8388608;

// An inclusive range [start, end] that passed the argument checks.
struct ByteRange {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::uint64_t length = 0;  // end - start + 1, at most kMaxRangeLength
};

// Order, length overflow and the range limit.
Result<ByteRange> check_byte_range(std::uint64_t start, std::uint64_t end);

// Reads, authenticates and decrypts the records overlapping `range` into
// `out` (exactly range.length bytes). `prefix` has been read from `file`,
// whose size is `file_size`. `interrupt` is asked between reads. On failure
// `out` is wiped.
Result<void> decrypt_records(RandomAccessSource& file, const ContainerPrefix& prefix,
                               std::uint64_t file_size, std::span<const std::uint8_t> master_key,
                               const ByteRange& range, std::span<std::uint8_t> out,
                               Interrupt& interrupt);
inline Result<void> decrypt_records(RandomAccessSource& file, const ContainerPrefix& prefix,
                                      std::uint64_t file_size,
                                      std::span<const std::uint8_t> master_key,
                                      const ByteRange& range, std::span<std::uint8_t> out) {
  NoInterrupt never;
  return decrypt_records(file, prefix, file_size, master_key, range, out, never);
}

// Opens `path` and decrypts `range` into `out` (exactly range.length bytes),
// asking `interrupt` between reads and after a read a signal interrupted.
// On failure `out` is wiped.
Result<void> decrypt_file_range_into(const std::string& path,
                                       std::span<const std::uint8_t> master_key,
                                       const ByteRange& range, std::span<std::uint8_t> out,
                                       Interrupt& interrupt);

}  // namespace tavolin::container
