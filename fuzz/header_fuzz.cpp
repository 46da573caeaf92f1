// Fuzz target: the container header validator.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "container/format.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavolin::container;
  const auto header = parse_header_payload(std::span<const std::uint8_t>(data, size));
  if (header) {
    // What passes must satisfy the header contract.
    if (size == 0 || size > kMaxHeaderLength) std::abort();
    if (header->chunk_size == 0 || header->chunk_size > kMaxChunkSize) std::abort();
  } else if (header.error().message.empty()) {
    std::abort();  // every refusal carries its message
  }
  return 0;
}
