// Helpers shared by the cores: text rendering for messages, trimming.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/text.hpp"

using namespace tavolin;

TEST(RenderPath, ReplacesEachMaximalInvalidSubpartOnce) {
  const std::string r = "\xEF\xBF\xBD";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/tmp/plain", "/tmp/plain"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},         // four-byte form
      {"a\xFF" "b", "a" + r + "b"},                      // never a lead byte
      {"\xE2\x82", r},                                   // truncated at the end
      {"\xE2\x82x", r + "x"},                            // truncated in the middle
      {"\xF0\x9F\x98", r},
      {"\xC0\xAF", r + r},                               // overlong
      {"\xE0\x80\x80", r + r + r},                       // overlong three-byte
      {"\xED\xA0\x80", r + r + r},                       // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},               // above U+10FFFF
      {"\x80\x80", r + r},                               // stray continuations
  };
  for (const auto& [raw, rendered] : cases) EXPECT_EQ(render_path(raw), rendered) << raw;
}

TEST(TrimUnicodeWhitespace, BothEndsOnly) {
  EXPECT_EQ(trim_unicode_whitespace("\u3000 a b \u00a0"), "a b");
  EXPECT_EQ(trim_unicode_whitespace(" \u2029 "), "");
}
