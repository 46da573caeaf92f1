#include "frames/frames.hpp"

#include <sys/sysinfo.h>

#include <algorithm>
#include <new>

#include "common/messages.hpp"
#include "common/text.hpp"

namespace tavolin::frames {

namespace {

// ------------------------------------------------------------ path components
//
// POSIX component rules: "/" separates; a leading "/" is the root component;
// a leading "." (alone or followed by "/") is the current-directory component;
// empty components and later "." components are skipped; ".." is kept.

enum class ComponentKind : std::uint8_t { root, current, parent, name };

struct Component {
  ComponentKind kind;
  std::string_view text;

  bool operator==(const Component&) const = default;
};

bool skippable(std::string_view component) { return component.empty() || component == "."; }

class Components {
 public:
  explicit Components(std::string_view path)
      : rest_(path),
        has_root_(!path.empty() && path.front() == '/'),
        has_current_(!has_root_ && !path.empty() && path.front() == '.' &&
                     (path.size() == 1 || path[1] == '/')) {}

  std::optional<Component> next() {
    if (at_start_) {
      at_start_ = false;
      if (has_root_) {
        rest_.remove_prefix(1);
        return Component{ComponentKind::root, "/"};
      }
      if (has_current_) {
        rest_.remove_prefix(1);
        return Component{ComponentKind::current, "."};
      }
    }
    while (!rest_.empty()) {
      const std::size_t sep = rest_.find('/');
      const std::string_view part = rest_.substr(0, sep);
      rest_.remove_prefix(sep == std::string_view::npos ? rest_.size() : sep + 1);
      if (skippable(part)) continue;
      return Component{part == ".." ? ComponentKind::parent : ComponentKind::name, part};
    }
    return std::nullopt;
  }

  // The text not yet consumed, without leading (once a component has been
  // consumed) and trailing separators and "." components. Before anything is
  // consumed a leading root or "." component is kept.
  [[nodiscard]] std::string_view remaining() const {
    std::string_view text = rest_;
    std::size_t keep = 0;
    if (at_start_) {
      keep = (has_root_ || has_current_) ? 1 : 0;
    } else {
      while (!text.empty()) {
        const std::size_t sep = text.find('/');
        const std::string_view part = text.substr(0, sep);
        if (!skippable(part)) break;
        text.remove_prefix(sep == std::string_view::npos ? text.size() : sep + 1);
      }
    }
    while (text.size() > keep) {
      const std::size_t sep = text.rfind('/');
      const bool inside = sep != std::string_view::npos && sep >= keep;
      const std::string_view part = inside ? text.substr(sep + 1) : text.substr(keep);
      if (!skippable(part)) break;
      text.remove_suffix(part.size() + (inside ? 1 : 0));
    }
    return text;
  }

 private:
  std::string_view rest_;
  bool has_root_;
  bool has_current_;
  bool at_start_ = true;
};

// Two-digit table for the canonical names.
constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

constexpr std::string_view kNamePrefix = kFrameNamePrefix;
constexpr std::size_t kMinDigits = kFrameIndexDigits;

// Writes `value` right-aligned into [out, out + width), zero-filled.
void write_padded(char* out, std::size_t width, std::uint64_t value) {
  char* p = out + width;
  while (value >= 100) {
    const auto pair = static_cast<std::size_t>(value % 100) * 2;
    value /= 100;
    *--p = kDigitPairs[pair + 1];
    *--p = kDigitPairs[pair];
  }
  if (value >= 10) {
    const auto pair = static_cast<std::size_t>(value) * 2;
    *--p = kDigitPairs[pair + 1];
    *--p = kDigitPairs[pair];
  } else {
    *--p = static_cast<char>('0' + value);
  }
  while (p > out) *--p = '0';
}

// Total bytes of the names of indices 0 .. count-1 with `fixed` bytes of
// prefix, dot and extension each.
unsigned __int128 total_name_bytes(std::uint64_t count, std::size_t fixed) {
  unsigned __int128 total = 0;
  std::uint64_t from = 0;
  std::uint64_t wider_from = 10'000'000;
  std::size_t digits = kMinDigits;
  while (from < count) {
    const std::uint64_t to = std::min(count, wider_from);
    total += static_cast<unsigned __int128>(to - from) * (fixed + digits);
    from = to;
    wider_from *= 10;
    ++digits;
  }
  return total;
}

// Refuses, as std::bad_alloc, records that cannot be held: more bytes than
// can be addressed, or more than the machine's memory (RAM and swap) can hold
// for the names together with the host objects the caller makes of them (a
// list slot, a tuple, an int and a str of about 170 bytes per record).
// Without this a large count would be committed lazily and end with the
// process killed instead of an exception.
void ensure_records_fit(std::uint64_t count, unsigned __int128 name_bytes) {
  if (name_bytes > static_cast<unsigned __int128>(PTRDIFF_MAX)) throw std::bad_alloc();
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return;  // no estimate possible; the allocator decides
  const unsigned __int128 unit = info.mem_unit == 0 ? 1 : info.mem_unit;
  const unsigned __int128 memory =
      (static_cast<unsigned __int128>(info.totalram) + info.totalswap) * unit;
  const unsigned __int128 needed = name_bytes * 2 + static_cast<unsigned __int128>(count) * 170;
  if (needed > memory) throw std::bad_alloc();
}

}  // namespace

// ------------------------------------------------------------ name grammar

std::optional<std::string_view> file_name(std::string_view path) {
  std::size_t end = path.size();
  for (;;) {
    while (end > 0 && path[end - 1] == '/') --end;
    if (end == 0) return std::nullopt;  // empty, or only the root
    const std::size_t sep = path.rfind('/', end - 1);
    const std::size_t start = sep == std::string_view::npos ? 0 : sep + 1;
    const std::string_view last = path.substr(start, end - start);
    if (last == ".") {
      if (start == 0) return std::nullopt;  // the leading current-directory component
      end = start;
      continue;
    }
    if (last == "..") return std::nullopt;
    return last;
  }
}

std::string_view file_stem(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return name;
  return name.substr(0, dot);
}

std::optional<std::uint64_t> parse_frame_number_text(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

Result<std::uint64_t> frame_number(std::string_view path) {
  const auto name = file_name(path);
  if (!name) return std::unexpected(Failure::value(messages::kFrameStemMissing));
  const std::string_view stem = file_stem(*name);
  const std::size_t underscore = stem.rfind('_');
  if (underscore == std::string_view::npos) {
    return std::unexpected(Failure::value(messages::kFrameStemUnderscore));
  }
  const auto number = parse_frame_number_text(stem.substr(underscore + 1));
  if (!number) return std::unexpected(Failure::value(messages::frame_number_invalid(path)));
  return *number;
}

std::optional<std::string_view> strip_base(std::string_view path, std::string_view base) {
  Components rest(path);
  Components prefix(base);
  for (;;) {
    Components advanced = rest;
    const auto theirs = advanced.next();
    const auto ours = prefix.next();
    if (!ours) return rest.remaining();
    if (!theirs || *theirs != *ours) return std::nullopt;
    rest = advanced;
  }
}

// ------------------------------------------------------------ operations

Result<BulkVector<std::uint64_t>> parse_extracted_frame_numbers(const TextList& paths) {
  BulkVector<std::uint64_t> numbers;
  numbers.reserve(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    auto number = TAVOLIN_TRY(frame_number(paths[i]));
    numbers.push_back(number);
  }
  return numbers;
}

Result<std::vector<FrameRecord>> build_frame_records(const TextList& paths,
                                                     const std::optional<std::string>& relative_to,
                                                     bool zero_based) {
  std::vector<FrameRecord> records;
  records.reserve(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const std::string_view path = paths[i];
    auto number = TAVOLIN_TRY(frame_number(path));
    std::uint64_t value = number;
    if (zero_based) {
      if (value == 0) {
        return std::unexpected(Failure::value(
            messages::frame_not_shiftable(path)));
      }
      --value;
    }
    std::string text;
    if (relative_to) {
      const auto remainder = strip_base(path, *relative_to);
      if (!remainder) {
        return std::unexpected(Failure::value(messages::frame_not_relative(path)));
      }
      text.assign(*remainder);
      std::replace(text.begin(), text.end(), '\\', '/');
    } else {
      // frame_number succeeded, so the path has a file name.
      text.assign(*file_name(path));
    }
    records.emplace_back(value, std::move(text));
  }
  return records;
}

Result<ExpectedFrameRecords> build_expected_frame_records(std::uint64_t frame_count,
                                                          std::string_view ext) {
  if (trim_unicode_whitespace(ext).empty()) {
    return std::unexpected(Failure::value(messages::kExtEmpty));
  }
  if (frame_count > kMaxExpectedFrameCount) {
    std::string message = "frame record capacity overflow: frame_count ";
    message.append(std::to_string(frame_count));
    message.append(" exceeds ");
    message.append(std::to_string(kMaxExpectedFrameCount));
    return std::unexpected(Failure::internal(std::move(message)));
  }
  ExpectedFrameRecords result;
  result.fixed_length_ = kNamePrefix.size() + 1 + ext.size();
  const unsigned __int128 total = total_name_bytes(frame_count, result.fixed_length_);
  ensure_records_fit(frame_count, total);
  result.names_.resize(static_cast<std::size_t>(total));
  char* out = result.names_.data();
  std::size_t digits = kMinDigits;
  std::uint64_t wider_from = 10'000'000;
  for (std::uint64_t i = 0; i < frame_count; ++i) {
    if (i == wider_from) {
      ++digits;
      wider_from *= 10;
    }
    kNamePrefix.copy(out, kNamePrefix.size());
    out += kNamePrefix.size();
    write_padded(out, digits, i);
    out += digits;
    *out++ = '.';
    out = std::copy(ext.begin(), ext.end(), out);
  }
  result.count_ = frame_count;
  return result;
}

}  // namespace tavolin::frames
