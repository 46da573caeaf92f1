// Frame records: frame numbers read from frame file names, and the canonical
// names of a complete extraction ("frame_" + 7-digit index + "." + ext).
// Pure text work: nothing here touches the file system.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "frames/bulk_storage.hpp"
#include "common/failure.hpp"

namespace tavolin::frames {

// (frame number, path text)
using FrameRecord = std::tuple<std::uint64_t, std::string>;

// The largest record count whose allocation request can be expressed.
inline constexpr std::uint64_t kMaxExpectedFrameCount = (std::uint64_t{1} << 59) - 1;

// ------------------------------------------------------------ name grammar

// The last component of `path` under POSIX rules when it is a name; nullopt
// for "", "/", "." alone or a path ending in "..".
std::optional<std::string_view> file_name(std::string_view path);

// The file name without its extension (the whole name when it has no "." or
// only a leading one).
std::string_view file_stem(std::string_view name);

// An unsigned 64-bit decimal: optional single "+", then one or more digits.
std::optional<std::uint64_t> parse_frame_number_text(std::string_view text);

// The frame number encoded in `path`, or the value failure naming why not.
Result<std::uint64_t> frame_number(std::string_view path);

// What is left of `path` after removing `base` component by component (with
// leading and trailing separators and "." components dropped), or nullopt
// when `base` is not a component prefix of `path`. Backslashes untouched.
std::optional<std::string_view> strip_base(std::string_view path, std::string_view base);

// ------------------------------------------------------------ operations

Result<BulkVector<std::uint64_t>> parse_extracted_frame_numbers(const TextList& paths);

Result<std::vector<FrameRecord>> build_frame_records(const TextList& paths,
                                                     const std::optional<std::string>& relative_to,
                                                     bool zero_based);

inline constexpr std::string_view kFrameNamePrefix = "frame_";
inline constexpr std::size_t kFrameIndexDigits = 7;  // minimum width of the index

// The records (i, canonical name) of a complete extraction, held compactly:
// the names laid end to end in one buffer, the numbers given by position.
class ExpectedFrameRecords {
 public:
  [[nodiscard]] std::uint64_t size() const noexcept { return count_; }

  // Calls visit(index, name) for each record in order while it returns true;
  // returns whether every record was visited.
  template <class Visit>
  bool for_each(Visit&& visit) const {
    const char* at = names_.data();
    std::size_t length = fixed_length_ + kFrameIndexDigits;
    std::uint64_t wider_from = 10'000'000;  // first index with 8 digits
    for (std::uint64_t i = 0; i < count_; ++i) {
      if (i == wider_from) {
        ++length;
        wider_from *= 10;
      }
      if (!visit(i, std::string_view(at, length))) return false;
      at += length;
    }
    return true;
  }

 private:
  friend Result<ExpectedFrameRecords> build_expected_frame_records(std::uint64_t,
                                                                   std::string_view);
  BulkVector<char> names_;
  std::uint64_t count_ = 0;
  std::size_t fixed_length_ = 0;  // "frame_" + "." + ext
};

// The records for indices 0 .. frame_count-1. A count above
// kMaxExpectedFrameCount is an internal fault; a count whose records (with
// the host objects made from them) cannot be held in memory throws
// std::bad_alloc before anything is built.
Result<ExpectedFrameRecords> build_expected_frame_records(std::uint64_t frame_count,
                                                          std::string_view ext);

}  // namespace tavolin::frames
