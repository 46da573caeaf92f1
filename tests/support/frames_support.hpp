// Frame helpers the native tests and the fuzz replays use and the module
// does not.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "frames/frames.hpp"

namespace tavolin::frames {

// "frame_" + index zero-padded to at least 7 digits + "." + ext.
std::string canonical_frame_name(std::uint64_t index, std::string_view ext);

// Owned copies of the records.
std::vector<FrameRecord> records_of(const ExpectedFrameRecords& expected);

}  // namespace tavolin::frames
