// Fuzz target: the frame-name grammar and the removal of a base directory.
// Input: lines; the first is the base directory, the rest are paths.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "frames/frames.hpp"
#include "support/frames_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavolin::frames;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= input.size()) {
    const std::size_t end = input.find('\n', start);
    lines.emplace_back(input.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  const std::string base = lines.front();
  TextList paths;
  for (std::size_t i = 1; i < lines.size(); ++i) paths.push_back(lines[i]);

  const auto numbers = parse_extracted_frame_numbers(paths);
  const auto plain = build_frame_records(paths, std::nullopt, false);
  if (numbers.has_value() != plain.has_value()) std::abort();
  if (numbers) {
    for (std::size_t i = 0; i < paths.size(); ++i) {
      if (std::get<0>((*plain)[i]) != (*numbers)[i]) std::abort();
      // The canonical name of every number reads back to it.
      const auto again = frame_number(canonical_frame_name((*numbers)[i], "jpg"));
      if (!again || *again != (*numbers)[i]) std::abort();
    }
  }
  (void)build_frame_records(paths, base, true);
  for (std::size_t i = 0; i < paths.size(); ++i) (void)strip_base(paths[i], base);
  return 0;
}
