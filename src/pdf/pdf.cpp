#include "pdf/pdf.hpp"

#include <array>
#include <charconv>
#include <cstdint>

namespace tavolin::pdf {

namespace {

constexpr std::string_view kHeader = "%PDF-1.4\n";
constexpr std::string_view kCatalog = "<< /Type /Catalog /Pages 2 0 R >>";
constexpr std::string_view kPages = "<< /Type /Pages /Kids [3 0 R] /Count 1 >>";
constexpr std::string_view kPage =
    "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Resources << /Font << /F1 4 0 R >> "
    ">> /Contents 5 0 R >>";
constexpr std::string_view kFont = "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>";
constexpr std::string_view kLatin1Font =
    "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>";

// One character of a UTF-8 line: its code point (or a value above U+00FF for
// anything that is not well-formed) and the bytes it takes.
struct Decoded {
  std::uint32_t code_point;
  std::size_t length;
};

constexpr std::uint32_t kMalformed = 0xFFFD;

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

Decoded decode(std::string_view line, std::size_t at) {
  const auto lead = static_cast<unsigned char>(line[at]);
  if (lead < 0x80) return {lead, 1};
  std::size_t length = 0;
  std::uint32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
  } else {
    return {kMalformed, 1};
  }
  if (line.size() - at < length) return {kMalformed, 1};
  for (std::size_t k = 1; k < length; ++k) {
    const auto byte = static_cast<unsigned char>(line[at + k]);
    if (!continuation(byte)) return {kMalformed, 1};
    value = (value << 6) | (byte & 0x3F);
  }
  // Every sequence of three or more bytes lies above U+00FF whatever its
  // exact value, so only the two-byte value matters below.
  return {length == 2 ? value : kMalformed, length};
}

bool is_latin1_letter(std::uint32_t code_point) {
  return code_point >= 0xA0 && code_point <= 0xFF;
}

bool holds_latin1(std::string_view line) {
  for (std::size_t at = 0; at < line.size();) {
    const auto lead = static_cast<unsigned char>(line[at]);
    if (lead < 0x80) {
      ++at;
      continue;
    }
    const Decoded d = decode(line, at);
    if (is_latin1_letter(d.code_point)) return true;
    at += d.length;
  }
  return false;
}

// Appends `line` as the inside of a PDF literal string.
void append_escaped(std::string& out, std::string_view line, bool latin1) {
  for (std::size_t at = 0; at < line.size();) {
    const char c = line[at];
    if (static_cast<unsigned char>(c) < 0x80) {
      if (c == '\\' || c == '(' || c == ')') out.push_back('\\');
      out.push_back(c);
      ++at;
      continue;
    }
    const Decoded d = decode(line, at);
    if (latin1 && is_latin1_letter(d.code_point)) {
      out.push_back(static_cast<char>(d.code_point));
    } else {
      out.push_back('?');
    }
    at += d.length;
  }
}

// Splits at LF, CRLF and lone CR, keeping empty pieces; at most kMaxLines.
std::size_t split_lines(std::string_view text, std::array<std::string_view, kMaxLines>& lines) {
  std::size_t count = 0;
  std::size_t start = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (c != '\n' && c != '\r') continue;
    lines[count++] = text.substr(start, at - start);
    if (count == kMaxLines) return count;
    if (c == '\r' && at + 1 < text.size() && text[at + 1] == '\n') ++at;
    start = at + 1;
  }
  lines[count++] = text.substr(start);
  return count;
}

void append_decimal(std::string& out, std::size_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void append_padded10(std::string& out, std::size_t value) {
  char digits[10];
  for (int k = 9; k >= 0; --k) {
    digits[k] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out.append(digits, sizeof digits);
}

}  // namespace

std::string render_single_page_pdf(std::string_view text) {
  std::array<std::string_view, kMaxLines> lines;
  const std::size_t count = split_lines(text, lines);
  bool latin1 = false;
  std::size_t text_bytes = 0;
  for (std::size_t k = 0; k < count; ++k) {
    latin1 = latin1 || holds_latin1(lines[k]);
    text_bytes += lines[k].size();
  }

  std::string content;
  content.reserve(40 + 2 * text_bytes + 16 * count);
  content.append("BT\n/F1 10 Tf\n36 806 Td\n");
  for (std::size_t k = 0; k < count; ++k) {
    if (k > 0) content.append("\n0 -12 Td\n");
    content.push_back('(');
    append_escaped(content, lines[k], latin1);
    content.append(") Tj");
  }
  content.append("\nET");

  std::string file;
  file.reserve(700 + content.size());
  file.append(kHeader);
  std::array<std::size_t, 5> offsets{};
  const auto begin_object = [&](std::size_t number) {
    offsets[number - 1] = file.size();
    append_decimal(file, number);
    file.append(" 0 obj\n");
  };
  const auto object = [&](std::size_t number, std::string_view body) {
    begin_object(number);
    file.append(body);
    file.append("\nendobj\n");
  };
  object(1, kCatalog);
  object(2, kPages);
  object(3, kPage);
  object(4, latin1 ? kLatin1Font : kFont);
  begin_object(5);
  file.append("<< /Length ");
  append_decimal(file, content.size());
  file.append(" >>\nstream\n");
  file.append(content);
  file.append("\nendstream\nendobj\n");

  const std::size_t xref = file.size();
  file.append("xref\n0 6\n0000000000 65535 f \n");
  for (const std::size_t offset : offsets) {
    append_padded10(file, offset);
    file.append(" 00000 n \n");
  }
  file.append("trailer\n<< /Size 6 /Root 1 0 R >>\nstartxref\n");
  append_decimal(file, xref);
  file.append("\n%%EOF\n");
  return file;
}

}  // namespace tavolin::pdf
