#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "pdf/pdf.hpp"

namespace {

using tavolin::pdf::render_single_page_pdf;

std::string content_of(const std::string& file) {
  const std::size_t begin = file.find("stream\n") + 7;
  const std::size_t end = file.find("\nendstream");
  return file.substr(begin, end - begin);
}

// The string operands of the Tj operators, undoing nothing.
std::vector<std::string> shown(const std::string& file) {
  std::vector<std::string> out;
  const std::string content = content_of(file);
  std::size_t at = 0;
  while ((at = content.find("\n(", at)) != std::string::npos) {
    const std::size_t end = content.find(") Tj", at);
    out.push_back(content.substr(at + 2, end - at - 2));
    at = end;
  }
  return out;
}

std::vector<std::size_t> xref_offsets(const std::string& file) {
  const std::size_t xref = std::stoul(file.substr(file.rfind("startxref\n") + 10));
  EXPECT_EQ(file.compare(xref, 9, "xref\n0 6\n"), 0);
  std::vector<std::size_t> offsets;
  std::size_t entry = xref + 9 + 20;
  for (int k = 0; k < 5; ++k, entry += 20) {
    const std::string line = file.substr(entry, 20);
    EXPECT_EQ(line.substr(10), " 00000 n \n");
    offsets.push_back(std::stoul(line.substr(0, 10)));
  }
  return offsets;
}

void expect_consistent(const std::string& file) {
  const auto offsets = xref_offsets(file);
  for (std::size_t k = 0; k < offsets.size(); ++k) {
    const std::string header = std::to_string(k + 1) + " 0 obj\n";
    EXPECT_EQ(file.compare(offsets[k], header.size(), header), 0) << "object " << k + 1;
  }
  const std::string content = content_of(file);
  EXPECT_NE(file.find("<< /Length " + std::to_string(content.size()) + " >>"), std::string::npos);
  EXPECT_TRUE(file.ends_with("\n%%EOF\n"));
}

TEST(SinglePagePdf, WorkedExampleHello) {
  const std::string file = render_single_page_pdf("Hello");
  EXPECT_EQ(file.size(), 580u);
  EXPECT_EQ(xref_offsets(file), (std::vector<std::size_t>{9, 58, 115, 241, 311}));
  EXPECT_TRUE(file.ends_with("startxref\n397\n%%EOF\n"));
  EXPECT_EQ(content_of(file), "BT\n/F1 10 Tf\n36 806 Td\n(Hello) Tj\nET");
  EXPECT_TRUE(file.starts_with("%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"));
  EXPECT_NE(file.find("4 0 obj\n<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>\nendobj\n"),
            std::string::npos);
  EXPECT_NE(file.find("trailer\n<< /Size 6 /Root 1 0 R >>\n"), std::string::npos);
  expect_consistent(file);
}

TEST(SinglePagePdf, EmptyText) {
  const std::string file = render_single_page_pdf("");
  EXPECT_EQ(file.size(), 575u);
  EXPECT_EQ(content_of(file), "BT\n/F1 10 Tf\n36 806 Td\n() Tj\nET");
  EXPECT_TRUE(file.ends_with("startxref\n392\n%%EOF\n"));
  expect_consistent(file);
}

TEST(SinglePagePdf, LineEndsAndSplitting) {
  EXPECT_EQ(render_single_page_pdf("a\r\nb\rc"), render_single_page_pdf("a\nb\nc"));
  EXPECT_EQ(shown(render_single_page_pdf("a\r\r\nb")), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(shown(render_single_page_pdf("a\n")), (std::vector<std::string>{"a", ""}));
  EXPECT_EQ(shown(render_single_page_pdf("\r")), (std::vector<std::string>{"", ""}));
  EXPECT_NE(content_of(render_single_page_pdf("a\n")).find("(a) Tj\n0 -12 Td\n() Tj\nET"),
            std::string::npos);
}

TEST(SinglePagePdf, KeepsTheFirst65Lines) {
  std::string seventy;
  std::string first65;
  for (int i = 0; i < 70; ++i) {
    const std::string line = "line " + std::to_string(i);
    seventy += line + "\r\n";
    if (i < 65) first65 += (i ? "\n" : "") + line;
  }
  const std::string file = render_single_page_pdf(seventy);
  EXPECT_EQ(file, render_single_page_pdf(first65));
  EXPECT_EQ(shown(file).size(), 65u);
  EXPECT_EQ(shown(file).back(), "line 64");
  // Exactly 65 lines with a trailing line feed: the empty 66th is dropped.
  EXPECT_EQ(render_single_page_pdf(first65 + "\n"), render_single_page_pdf(first65));
  expect_consistent(file);
}

TEST(SinglePagePdf, EscapesBackslashAndParentheses) {
  const std::string file = render_single_page_pdf("a(b)c\\d\t\x01");
  EXPECT_EQ(shown(file), (std::vector<std::string>{"a\\(b\\)c\\\\d\t\x01"}));
  expect_consistent(file);
}

TEST(SinglePagePdf, CharactersBeyondLatin1BecomeQuestionMarks) {
  // CJK, emoji, U+0100, and the C1 control U+0085.
  const std::string file = render_single_page_pdf("\xE4\xB8\xAD\xF0\x9F\x98\x80\xC4\x80x\xC2\x85");
  EXPECT_EQ(shown(file), (std::vector<std::string>{"???x?"}));
  // No Latin-1 letter: the described bytes, font without an encoding.
  EXPECT_EQ(file.size(), render_single_page_pdf("???x?").size());
  EXPECT_EQ(file.find("/Encoding"), std::string::npos);
}

TEST(SinglePagePdf, Latin1LettersUseTheWinAnsiEncoding) {
  const std::string file = render_single_page_pdf("caf\xC3\xA9 (\xC2\xA0\xC3\xBF)\nplain\xC2\x9F");
  EXPECT_NE(file.find("4 0 obj\n<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica "
                      "/Encoding /WinAnsiEncoding >>\nendobj\n"),
            std::string::npos);
  EXPECT_EQ(shown(file), (std::vector<std::string>{"caf\xE9 \\(\xA0\xFF\\)", "plain?"}));
  // Objects after the font moved by the length of the encoding entry.
  const auto offsets = xref_offsets(file);
  EXPECT_EQ(offsets[3], 241u);
  EXPECT_EQ(offsets[4], 311u + 27u);
  expect_consistent(file);
}

TEST(SinglePagePdf, Latin1BeyondLine65DoesNotChangeTheFont) {
  std::string text;
  for (int i = 0; i < 65; ++i) text += "x\n";
  text += "\xC3\xA9";
  EXPECT_EQ(render_single_page_pdf(text).find("/Encoding"), std::string::npos);
}

TEST(SinglePagePdf, MalformedUtf8IsShownAsQuestionMarks) {
  const std::string file = render_single_page_pdf(std::string("a\xC3", 2) + "\n\xFF\xE4\xB8" + "b");
  EXPECT_EQ(shown(file), (std::vector<std::string>{"a?", "???b"}));
  expect_consistent(file);
}

TEST(SinglePagePdf, LengthCountsBytes) {
  // Escapes add bytes; the length is of the stream data as written.
  const std::string file = render_single_page_pdf("((((");
  EXPECT_NE(file.find("<< /Length 39 >>"), std::string::npos);
  expect_consistent(file);
}

}  // namespace
