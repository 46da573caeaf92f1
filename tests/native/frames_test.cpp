#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "frames/frames.hpp"
#include "support/frames_support.hpp"

namespace {

using namespace tavolin::frames;
using tavolin::Failure;
using tavolin::FailureCode;

std::string validation_message(const Failure& failure) {
  return failure.code == FailureCode::value ? failure.message
                                            : std::string("<not a validation failure>");
}

TEST(FramesGrammar, FileNameFollowsPosixComponents) {
  struct Case {
    std::string_view path;
    std::optional<std::string_view> name;
  };
  const Case cases[] = {
      {"frame_1.jpg", "frame_1.jpg"},
      {"/x/y/frame_42.png", "frame_42.png"},
      {"a/b/", "b"},
      {"a//b//", "b"},
      {"a/b/.", "b"},
      {"a/./b/./", "b"},
      {"./frame_1.jpg", "frame_1.jpg"},
      {"a\\b\\frame_1.jpg", "a\\b\\frame_1.jpg"},  // backslash is ordinary
      {"", std::nullopt},
      {"/", std::nullopt},
      {"///", std::nullopt},
      {".", std::nullopt},
      {"./", std::nullopt},
      {"./.", std::nullopt},
      {"/.", std::nullopt},
      {"..", std::nullopt},
      {"a/..", std::nullopt},
      {"a/../", std::nullopt},
      {"a/../.", std::nullopt},
      {"...", "..."},
      {".hidden", ".hidden"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(file_name(c.path), c.name) << "path: " << c.path;
  }
}

TEST(FramesGrammar, StemDropsOnlyTheLastExtension) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"frame_0000042.jpg", "frame_0000042"}, {"frame_12", "frame_12"},
      {"frame_7.", "frame_7"},                {".frame_3", ".frame_3"},
      {"frame_1.tar.gz", "frame_1.tar"},      {"..x", "."},
      {"a.b.c", "a.b"},
  };
  for (const auto& [name, stem] : cases) EXPECT_EQ(file_stem(name), stem) << name;
}

TEST(FramesGrammar, NumberTextIsAnUnsignedDecimal) {
  EXPECT_EQ(parse_frame_number_text("0"), 0u);
  EXPECT_EQ(parse_frame_number_text("0000042"), 42u);
  EXPECT_EQ(parse_frame_number_text("+8"), 8u);
  EXPECT_EQ(parse_frame_number_text("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(parse_frame_number_text("000018446744073709551615"), UINT64_MAX);
  for (std::string_view bad : {"", "+", "-", "-1", "++1", "+-1", "1 ", " 1", "1a", "0x10",
                               "18446744073709551616", "99999999999999999999", "1.5", "١"}) {
    EXPECT_EQ(parse_frame_number_text(bad), std::nullopt) << "text: " << bad;
  }
}

TEST(FramesRelative, StripBaseComparesWholeComponents) {
  struct Case {
    std::string_view path;
    std::string_view base;
    std::optional<std::string_view> rest;
  };
  const Case cases[] = {
      {"/d/sub/frame_5.jpg", "/d", "sub/frame_5.jpg"},
      {"/d/sub/frame_5.jpg", "/d/", "sub/frame_5.jpg"},
      {"/d/sub/frame_5.jpg", "/d//", "sub/frame_5.jpg"},
      {"/d/sub/frame_5.jpg", "/d/.", "sub/frame_5.jpg"},
      {"/d//./sub//frame_5.jpg/", "/d", "sub//frame_5.jpg"},
      {"/d/sub/./frame_5.jpg", "/d", "sub/./frame_5.jpg"},  // inner "." kept as written
      {"/d/sub/frame_5.jpg", "/", "d/sub/frame_5.jpg"},
      {"/d/sub/frame_5.jpg", "/d/sub/frame_5.jpg", ""},
      {"/d/sub/frame_5.jpg", "", "/d/sub/frame_5.jpg"},
      {"/d/sub/frame_5.jpg/", "", "/d/sub/frame_5.jpg"},
      {"./a/frame_1.jpg/", "", "./a/frame_1.jpg"},
      {"./a/frame_1.jpg", ".", "a/frame_1.jpg"},
      {"d/frame_1.jpg", "d", "frame_1.jpg"},
      {"../up/frame_1.jpg", "..", "up/frame_1.jpg"},
      {"/d/../frame_1.jpg", "/d/..", "frame_1.jpg"},
      {"/data/a\\b/frame_1.jpg", "/data", "a\\b/frame_1.jpg"},
      {"/e/frame_5.jpg", "/d", std::nullopt},
      {"/data/frames/x_1.jpg", "/data/fr", std::nullopt},
      {"/d/frame_1.jpg", "d", std::nullopt},   // absolute path, relative base
      {"d/frame_1.jpg", "/d", std::nullopt},   // relative path, absolute base
      {"a/frame_1.jpg", ".", std::nullopt},    // "." is a component of its own
      {"/d/frame_1.jpg", "/d/..", std::nullopt},  // ".." is not resolved
      {"/d", "/d/e", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(strip_base(c.path, c.base), c.rest) << "path " << c.path << " base " << c.base;
  }
}

TEST(FramesRecords, OrderDuplicatesAndFileNames) {
  const TextList paths{"/v/frame_3.jpg", "frame_1.jpg", "/w/x/frame_3.jpg"};
  const auto numbers = parse_extracted_frame_numbers(paths);
  ASSERT_TRUE(numbers.has_value());
  EXPECT_EQ(std::vector<std::uint64_t>(numbers->begin(), numbers->end()),
            (std::vector<std::uint64_t>{3, 1, 3}));
  const auto records = build_frame_records(paths, std::nullopt, false);
  ASSERT_TRUE(records.has_value());
  EXPECT_EQ(*records, (std::vector<FrameRecord>{
                          {3, "frame_3.jpg"}, {1, "frame_1.jpg"}, {3, "frame_3.jpg"}}));
  EXPECT_TRUE(parse_extracted_frame_numbers(TextList{})->empty());
  EXPECT_TRUE(build_frame_records(TextList{}, "/x", true)->empty());
}

TEST(FramesRecords, ZeroBasedRelativeAndBackslashes) {
  const auto records = build_frame_records(
      TextList{"/d/frame_1.jpg", "/d/sub/frame_5.jpg", "/d/a\\b/frame_2.jpg"}, "/d", true);
  ASSERT_TRUE(records.has_value());
  EXPECT_EQ(*records, (std::vector<FrameRecord>{
                          {0, "frame_1.jpg"}, {4, "sub/frame_5.jpg"}, {1, "a/b/frame_2.jpg"}}));
  // Without a base the file name keeps its backslashes.
  const auto plain = build_frame_records(TextList{"/d/a\\frame_2.jpg"}, std::nullopt, false);
  EXPECT_EQ(std::get<1>(plain->front()), "a\\frame_2.jpg");
}

TEST(FramesRecords, FirstFailingPathEndsTheCallInCheckOrder) {
  const auto expect = [](const TextList& paths, const std::optional<std::string>& base,
                         bool zero_based, const std::string& message) {
    const auto got = build_frame_records(paths, base, zero_based);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(validation_message(got.error()), message);
  };
  expect({"/d/frame_1.jpg", "/d/frame_0.jpg", "/e/x.jpg"}, "/d", true,
         "frame number cannot be shifted to zero-based index: /d/frame_0.jpg");
  // A bad number is reported before a wrong base.
  expect({"/e/frame_x.jpg"}, "/d", false, "invalid frame number in path: /e/frame_x.jpg");
  // The zero-based check comes before the base check.
  expect({"/e/frame_0.jpg"}, "/d", true,
         "frame number cannot be shifted to zero-based index: /e/frame_0.jpg");
  expect({"/d/sub/frame_5.jpg", "/e/frame_5.jpg"}, "/d", false,
         "path is not relative to base directory: /e/frame_5.jpg");
}

TEST(FramesExpected, CanonicalNamesAndWidths) {
  EXPECT_EQ(canonical_frame_name(0, "jpg"), "frame_0000000.jpg");
  EXPECT_EQ(canonical_frame_name(1234567, "jpg"), "frame_1234567.jpg");
  EXPECT_EQ(canonical_frame_name(9999999, "jpg"), "frame_9999999.jpg");
  EXPECT_EQ(canonical_frame_name(10000000, "jpg"), "frame_10000000.jpg");
  EXPECT_EQ(canonical_frame_name(UINT64_MAX, "png"), "frame_18446744073709551615.png");
  EXPECT_EQ(canonical_frame_name(5, " .p/n g"), "frame_0000005. .p/n g");
  EXPECT_EQ(canonical_frame_name(5, ""), "frame_0000005.");
}

TEST(FramesExpected, EveryNameReadsBackToItsIndex) {
  for (std::uint64_t index : {std::uint64_t{0}, std::uint64_t{7}, std::uint64_t{9999999},
                              std::uint64_t{10000000}, std::uint64_t{12345678},
                              std::uint64_t{1} << 40, UINT64_MAX}) {
    const auto number = frame_number(canonical_frame_name(index, "jpg"));
    ASSERT_TRUE(number.has_value());
    EXPECT_EQ(*number, index);
  }
}

TEST(FramesExpected, RecordsInOrderWithTheExtensionAsPassed) {
  const auto records = build_expected_frame_records(3, " png ");
  ASSERT_TRUE(records.has_value());
  EXPECT_EQ(records->size(), 3u);
  EXPECT_EQ(records_of(*records), (std::vector<FrameRecord>{{0, "frame_0000000. png "},
                                                          {1, "frame_0000001. png "},
                                                          {2, "frame_0000002. png "}}));
  const auto none = build_expected_frame_records(0, "jpg");
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(records_of(*none).empty());
}

TEST(FramesExpected, NamesWidenPastSevenDigits) {
  const std::uint64_t count = 10'000'002;
  const auto records = build_expected_frame_records(count, "jpg");
  ASSERT_TRUE(records.has_value());
  std::uint64_t seen = 0;
  bool in_order = true;
  std::vector<std::pair<std::uint64_t, std::string>> sampled;
  records->for_each([&](std::uint64_t index, std::string_view name) {
    in_order = in_order && index == seen;
    if (index < 2 || index + 2 >= count || index % 1'000'003 == 0 || index == 9'999'999 ||
        index == 10'000'000) {
      sampled.emplace_back(index, name);
    }
    ++seen;
    return true;
  });
  EXPECT_TRUE(in_order);
  ASSERT_EQ(sampled.size(), 14u);
  for (const auto& [index, name] : sampled) EXPECT_EQ(name, canonical_frame_name(index, "jpg"));
  EXPECT_EQ(seen, count);
}

TEST(FramesExpected, BlankExtensionsFailFirst) {
  // Unicode White_Space: tab, line feed, no-break space, ideographic space,
  // line separator, next line.
  for (std::string_view ext : {"", " ", " \t\n\r", "\xC2\xA0", "\xE3\x80\x80 ",
                               "\xE2\x80\xA8", "\xC2\x85"}) {
    for (std::uint64_t count : {std::uint64_t{0}, std::uint64_t{2}, kMaxExpectedFrameCount + 1}) {
      const auto got = build_expected_frame_records(count, ext);
      ASSERT_FALSE(got.has_value());
      EXPECT_EQ(validation_message(got.error()), "ext must not be empty");
    }
  }
  // Zero-width space is not White_Space: it passes.
  EXPECT_TRUE(build_expected_frame_records(1, "\xE2\x80\x8B").has_value());
}

TEST(FramesExpected, CountBoundIsAnInternalFaultAndHugeCountsThrowBadAlloc) {
  for (std::uint64_t count : {kMaxExpectedFrameCount + 1, UINT64_MAX}) {
    const auto got = build_expected_frame_records(count, "jpg");
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().code, FailureCode::internal);
  }
  for (std::uint64_t count : {kMaxExpectedFrameCount, std::uint64_t{1} << 40}) {
    EXPECT_THROW((void)build_expected_frame_records(count, "jpg"), std::bad_alloc);
  }
}

TEST(FramesStorage, TextListKeepsEveryText) {
  TextList list;
  std::vector<std::string> expected;
  for (int i = 0; i < 300000; ++i) {  // past the directly mapped size
    expected.push_back(i % 7 == 0 ? std::string() : "p/" + std::to_string(i));
    list.push_back(expected.back());
  }
  ASSERT_EQ(list.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(list[i], expected[i]);
}

}  // namespace
