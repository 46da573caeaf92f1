#include "common/text.hpp"

namespace tavolin {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

std::string render_path(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  const auto* s = reinterpret_cast<const std::uint8_t*>(path.data());
  const std::size_t n = path.size();
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t lead = s[i];
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    // Length and the allowed range of the second byte (excludes overlong
    // forms, surrogates and values above U+10FFFF).
    std::size_t need = 0;
    std::uint8_t lo = 0x80;
    std::uint8_t hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      need = 1;
    } else if (lead == 0xE0) {
      need = 2, lo = 0xA0;
    } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
      need = 2;
    } else if (lead == 0xED) {
      need = 2, hi = 0x9F;
    } else if (lead == 0xF0) {
      need = 3, lo = 0x90;
    } else if (lead >= 0xF1 && lead <= 0xF3) {
      need = 3;
    } else if (lead == 0xF4) {
      need = 3, hi = 0x8F;
    } else {
      out.append(kReplacement);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    std::size_t got = 0;
    while (got < need && j < n) {
      const std::uint8_t c = s[j];
      if (c < (got == 0 ? lo : 0x80) || c > (got == 0 ? hi : 0xBF)) break;
      ++j;
      ++got;
    }
    if (got == need) {
      out.append(path.substr(i, j - i));
    } else {
      out.append(kReplacement);  // one replacement per maximal invalid subpart
    }
    i = j;
  }
  return out;
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(bytes.size() * 2, '0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return out;
}

namespace {

// Length in bytes of a Unicode White_Space character starting at `p`, or 0.
std::size_t leading_space(std::string_view s) {
  if (s.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 == 0x20 || (b0 >= 0x09 && b0 <= 0x0D)) return 1;
  if (b0 == 0xC2 && s.size() >= 2) {
    const auto b1 = static_cast<unsigned char>(s[1]);
    return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
  }
  if (s.size() < 3) return 0;
  const auto b1 = static_cast<unsigned char>(s[1]);
  const auto b2 = static_cast<unsigned char>(s[2]);
  if (b0 == 0xE1) return (b1 == 0x9A && b2 == 0x80) ? 3 : 0;  // U+1680
  if (b0 == 0xE2 && b1 == 0x80) {
    // U+2000..U+200A, U+2028, U+2029, U+202F
    return ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) ? 3 : 0;
  }
  if (b0 == 0xE2 && b1 == 0x81) return b2 == 0x9F ? 3 : 0;  // U+205F
  if (b0 == 0xE3) return (b1 == 0x80 && b2 == 0x80) ? 3 : 0;  // U+3000
  return 0;
}

// Length of a White_Space character ending at the end of `s`, or 0.
std::size_t trailing_space(std::string_view s) {
  for (std::size_t len = 1; len <= 3 && len <= s.size(); ++len) {
    const std::string_view tail = s.substr(s.size() - len);
    if (leading_space(tail) == len) return len;
  }
  return 0;
}

}  // namespace

std::string_view trim_unicode_whitespace(std::string_view text) {
  while (std::size_t n = leading_space(text)) text.remove_prefix(n);
  while (std::size_t n = trailing_space(text)) text.remove_suffix(n);
  return text;
}


}  // namespace tavolin
