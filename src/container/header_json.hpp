// The header document read from JSON, before its values are checked: the six
// members exactly as the document gives them (escapes resolved).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tavolin::container {

struct HeaderDocument {
  std::uint64_t version = 0;
  std::string algorithm;
  std::uint64_t chunk_size = 0;
  std::string wrapped_dek;
  std::string wrap_nonce;
  std::string nonce_prefix;
};

// Reads the header document: an object with exactly the six members in any
// order, or the six-element array in member order; integers without fraction
// or exponent in 0..2^64-1; only JSON whitespace around it; strict UTF-8.
// std::nullopt for any defect.
std::optional<HeaderDocument> read_header_document(std::span<const std::uint8_t> text);

}  // namespace tavolin::container
