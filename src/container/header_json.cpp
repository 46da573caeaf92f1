#include "container/header_json.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <new>
#include <nlohmann/json.hpp>
#include <string_view>

namespace tavolin::container {
namespace {

using json = nlohmann::json;

enum class Member : std::uint8_t {
  version,
  algorithm,
  chunk_size,
  wrapped_dek,
  wrap_nonce,
  nonce_prefix,
};
constexpr std::size_t kMemberCount = 6;
constexpr std::array<std::string_view, kMemberCount> kMemberNames = {
    "version", "algorithm", "chunk_size", "wrapped_dek", "wrap_nonce", "nonce_prefix"};

constexpr bool is_integer_member(Member m) {
  return m == Member::version || m == Member::chunk_size;
}

// Accepts exactly one header document; any event outside it stops the parse.
class HeaderHandler {
 public:
  bool null() { return false; }
  bool boolean(bool) { return false; }
  bool number_integer(json::number_integer_t) { return false; }  // negative numbers
  bool number_float(json::number_float_t, const json::string_t&) { return false; }
  bool binary(json::binary_t&) { return false; }

  bool number_unsigned(json::number_unsigned_t value) {
    const auto member = take_value_slot();
    if (!member || !is_integer_member(*member)) return false;
    (*member == Member::version ? doc_.version : doc_.chunk_size) = value;
    return true;
  }

  bool string(json::string_t& value) {
    const auto member = take_value_slot();
    if (!member || is_integer_member(*member)) return false;
    switch (*member) {
      case Member::algorithm: doc_.algorithm = std::move(value); break;
      case Member::wrapped_dek: doc_.wrapped_dek = std::move(value); break;
      case Member::wrap_nonce: doc_.wrap_nonce = std::move(value); break;
      case Member::nonce_prefix: doc_.nonce_prefix = std::move(value); break;
      default: return false;
    }
    return true;
  }

  bool start_object(std::size_t) {
    if (form_ != Form::none) return false;  // only the document itself may be an object
    form_ = Form::object;
    return true;
  }

  bool key(json::string_t& name) {
    if (form_ != Form::object || pending_) return false;
    for (std::size_t i = 0; i < kMemberCount; ++i) {
      if (name == kMemberNames[i]) {
        if (seen_[i]) return false;  // a member given twice
        seen_[i] = true;
        pending_ = static_cast<Member>(i);
        return true;
      }
    }
    return false;  // an unknown member
  }

  bool end_object() {
    if (form_ != Form::object || pending_) return false;
    for (bool seen : seen_) {
      if (!seen) return false;  // a missing member
    }
    complete_ = true;
    return true;
  }

  bool start_array(std::size_t) {
    if (form_ != Form::none) return false;
    form_ = Form::array;
    return true;
  }

  bool end_array() {
    if (form_ != Form::array || position_ != kMemberCount) return false;
    complete_ = true;
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  [[nodiscard]] bool complete() const { return complete_; }
  HeaderDocument take() { return std::move(doc_); }

 private:
  enum class Form : std::uint8_t { none, object, array };

  // The member the next value belongs to, or nothing if no value may follow.
  std::optional<Member> take_value_slot() {
    if (complete_) return std::nullopt;
    if (form_ == Form::object) {
      const auto member = pending_;
      pending_.reset();
      return member;
    }
    if (form_ == Form::array && position_ < kMemberCount) {
      return static_cast<Member>(position_++);
    }
    return std::nullopt;
  }

  Form form_ = Form::none;
  std::array<bool, kMemberCount> seen_{};
  std::optional<Member> pending_;
  std::size_t position_ = 0;
  bool complete_ = false;
  HeaderDocument doc_;
};

}  // namespace

std::optional<HeaderDocument> read_header_document(std::span<const std::uint8_t> text) {
  // Where the parser is more lenient than the header text allows: it skips a
  // leading UTF-8 byte order mark, and it takes a NUL byte outside a string
  // for the end of the input, ignoring whatever follows. A raw NUL is never
  // valid JSON (inside a string it must be escaped).
  if (text.size() >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF) {
    return std::nullopt;
  }
  if (std::find(text.begin(), text.end(), std::uint8_t{0}) != text.end()) return std::nullopt;
  HeaderHandler handler;
  bool ok = false;
  try {
    ok = json::sax_parse(text.begin(), text.end(), &handler, json::input_format_t::json,
                         /*strict=*/true, /*ignore_comments=*/false);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    ok = false;  // the parser's own messages never leave this function
  }
  if (!ok || !handler.complete()) return std::nullopt;
  return handler.take();
}

}  // namespace tavolin::container
