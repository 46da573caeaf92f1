// Fuzz target: text preparation and assembly of the single-page PDF. The
// module only ever receives valid UTF-8 (a Python str), so other input is
// skipped.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "pdf/pdf.hpp"

namespace {

bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c >> 5) == 0x6) {
      n = 1, cp = c & 0x1F;
    } else if ((c >> 4) == 0xE) {
      n = 2, cp = c & 0x0F;
    } else if ((c >> 3) == 0x1E) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    for (std::size_t k = 1; k <= n; ++k) {
      if (i + k >= s.size()) return false;
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc >> 6) != 0x2) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!valid_utf8(text)) return 0;
  const std::string pdf = tavolin::pdf::render_single_page_pdf(text);
  if (pdf.rfind("%PDF-1.4\n", 0) != 0) std::abort();
  if (pdf.size() < 7 || pdf.compare(pdf.size() - 6, 6, "%%EOF\n") != 0) std::abort();
  // Every cross-reference entry points at its object's header line.
  const std::size_t xref_word = pdf.rfind("startxref\n");
  if (xref_word == std::string::npos) std::abort();
  const std::size_t xref = std::strtoull(pdf.c_str() + xref_word + 10, nullptr, 10);
  if (pdf.compare(xref, 9, "xref\n0 6\n") != 0) std::abort();
  for (int object = 1; object <= 5; ++object) {
    const std::size_t entry = xref + 9 + 20 * static_cast<std::size_t>(object);
    const std::size_t offset = std::strtoull(pdf.substr(entry, 10).c_str(), nullptr, 10);
    const std::string header = std::to_string(object) + " 0 obj\n";
    if (pdf.compare(offset, header.size(), header) != 0) std::abort();
  }
  return 0;
}
