// Frame records: frame numbers read from frame file names, and the canonical
// names of a complete extraction ("frame_" + 7-digit index + "." + ext).
// Pure text work: nothing here touches the file system.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "module/failure.hpp"

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

// The frame number encoded in `path`, or the ValidationFailure naming why not.
Result<std::uint64_t> frame_number(std::string_view path);

// What is left of `path` after removing `base` component by component (with
// leading and trailing separators and "." components dropped), or nullopt
// when `base` is not a component prefix of `path`. Backslashes untouched.
std::optional<std::string_view> strip_base(std::string_view path, std::string_view base);

// ------------------------------------------------------------ operations

Result<std::vector<std::uint64_t>> parse_extracted_frame_numbers(
    std::span<const std::string> paths);

Result<std::vector<FrameRecord>> build_frame_records(std::span<const std::string> paths,
                                                     const std::optional<std::string>& relative_to,
                                                     bool zero_based);

// "frame_" + index zero-padded to at least 7 digits + "." + ext.
std::string canonical_frame_name(std::uint64_t index, std::string_view ext);

// Records (i, canonical name) for i in 0 .. frame_count-1. A count above
// kMaxExpectedFrameCount is an internal fault; a count that cannot be held in
// memory throws std::bad_alloc before anything is built.
Result<std::vector<FrameRecord>> build_expected_frame_records(std::uint64_t frame_count,
                                                              std::string_view ext);

}  // namespace tavolin::frames
