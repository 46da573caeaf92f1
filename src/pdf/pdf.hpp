// The single-page PDF: plain text set on one A4 page in 10-point Helvetica,
// as a complete, deterministic PDF 1.4 file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavolin::pdf {

// At most this many lines of the text are set on the page.
inline constexpr std::size_t kMaxLines = 65;

// The whole file. `text` is UTF-8; code points above U+00FF and the C1
// controls U+0080..U+009F are set as "?". When a kept line holds a Latin-1
// character (U+00A0..U+00FF) the font carries the WinAnsi encoding and those
// characters are written as their single byte; otherwise every byte of the
// page description is ASCII.
std::string render_single_page_pdf(std::string_view text);

}  // namespace tavolin::pdf
