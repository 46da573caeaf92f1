// Strict URL-safe base64 with required "=" padding, as the container header
// uses it for its key material.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tavolin::container {

// Decodes `text`; std::nullopt for a character outside the URL-safe
// alphabet, missing or surplus padding, or non-zero unused bits.
std::optional<std::vector<std::uint8_t>> base64url_decode_strict(std::string_view text);

}  // namespace tavolin::container
