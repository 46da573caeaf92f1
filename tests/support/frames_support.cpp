#include "support/frames_support.hpp"

namespace tavolin::frames {

std::string canonical_frame_name(std::uint64_t index, std::string_view ext) {
  const std::string digits = std::to_string(index);
  std::string name(kFrameNamePrefix);
  if (digits.size() < kFrameIndexDigits) name.append(kFrameIndexDigits - digits.size(), '0');
  name.append(digits).append(".").append(ext);
  return name;
}

std::vector<FrameRecord> records_of(const ExpectedFrameRecords& expected) {
  std::vector<FrameRecord> out;
  out.reserve(static_cast<std::size_t>(expected.size()));
  expected.for_each([&](std::uint64_t index, std::string_view name) {
    out.emplace_back(index, std::string(name));
    return true;
  });
  return out;
}

}  // namespace tavolin::frames
