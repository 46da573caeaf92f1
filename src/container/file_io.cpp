#include "container/file_io.hpp"

namespace tavolin::container {

Result<void> read_exact_at(RandomAccessSource& source, std::uint64_t offset,
                             std::span<std::uint8_t> buffer) {
  const std::span<std::uint8_t> parts[1] = {buffer};
  const auto got = TAVOLIN_TRY(source.read_at(offset, parts));
  if (got != buffer.size()) return std::unexpected(Failure::short_read());
  return {};
}

}  // namespace tavolin::container
