// Text helpers shared by the cores: path rendering for messages, hexadecimal
// digests and Unicode white-space trimming.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tavolin {

// The path bytes as UTF-8 text, each maximal invalid subsequence replaced by
// U+FFFD (the rendering used in messages).
std::string render_path(std::string_view path);

// Lowercase hexadecimal of `bytes`.
std::string to_hex(std::span<const std::uint8_t> bytes);

// Trims Unicode white space at both ends (UTF-8 input).
std::string_view trim_unicode_whitespace(std::string_view text);

}  // namespace tavolin
