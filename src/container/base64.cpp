#include "container/base64.hpp"

#include <array>

namespace tavolin::container {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> make_decode_table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = make_decode_table();

}  // namespace

std::optional<std::vector<std::uint8_t>> base64url_decode_strict(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t at = 0; at < text.size(); at += 4) {
    const bool last = at + 4 == text.size();
    std::size_t padding = 0;
    if (last) {
      if (text[at + 3] == '=') padding = (text[at + 2] == '=') ? 2 : 1;
    }
    std::uint32_t quantum = 0;
    for (std::size_t i = 0; i < 4 - padding; ++i) {
      const std::uint8_t value = kDecode[static_cast<unsigned char>(text[at + i])];
      if (value == kInvalid) return std::nullopt;  // also "=" before the padding position
      quantum = (quantum << 6) | value;
    }
    if (padding == 0) {
      out.push_back(static_cast<std::uint8_t>(quantum >> 16));
      out.push_back(static_cast<std::uint8_t>(quantum >> 8));
      out.push_back(static_cast<std::uint8_t>(quantum));
    } else if (padding == 1) {  // 18 bits: 16 used, 2 unused
      if ((quantum & 0x3) != 0) return std::nullopt;
      out.push_back(static_cast<std::uint8_t>(quantum >> 10));
      out.push_back(static_cast<std::uint8_t>(quantum >> 2));
    } else {  // 12 bits: 8 used, 4 unused
      if ((quantum & 0xF) != 0) return std::nullopt;
      out.push_back(static_cast<std::uint8_t>(quantum >> 4));
    }
  }
  return out;
}

}  // namespace tavolin::container
