// Failure values shared by every native unit. Operations return
// `Result<T>` (a value or exactly one failure); only the binding layer turns a
// failure into a Python exception.
#pragma once

#include <cerrno>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "common/messages.hpp"

namespace tavolin {

// Error kinds of I/O failures: an operating-system error number, or one of
// the program's own failures with its own message.
enum class IoKind : std::uint8_t {
  os,           // carries an operating-system error number
  interrupted,  // the caller's Interrupt asked the operation to stop
  invalid_input,
  invalid_data,
  unexpected_eof,
  write_zero,
  other,
};

// An I/O failure: an errno (kind == os) or an error kind with its own message.
struct IoFailure {
  IoKind kind = IoKind::other;
  int os_error = 0;
  std::string message;

  static IoFailure from_errno(int err) { return IoFailure{IoKind::os, err, {}}; }
  static IoFailure invalid_data(std::string msg) {
    return IoFailure{IoKind::invalid_data, 0, std::move(msg)};
  }
  static IoFailure invalid_input(std::string msg) {
    return IoFailure{IoKind::invalid_input, 0, std::move(msg)};
  }
  static IoFailure unexpected_eof() {
    return IoFailure{IoKind::unexpected_eof, 0, std::string(messages::SHORT_READ)};
  }
  static IoFailure write_zero(std::string msg) {
    return IoFailure{IoKind::write_zero, 0, std::move(msg)};
  }

  // The text handed to Python: "<strerror> (os error N)" for an errno, else
  // the program's own message.
  [[nodiscard]] std::string text() const;
};

// Invalid data, with one of the contract messages.
inline IoFailure invalid(std::string_view message) {
  return IoFailure::invalid_data(std::string(message));
}

// A caller-supplied value the operation refuses (raised as ValueError).
struct ValidationFailure {
  std::string message;
};

// A resource of the worker pool could not be created (raised as RuntimeError).
struct ResourceFailure {
  std::string message;
};

// A broken invariant (raised as the module's PanicException).
struct InternalFault {
  std::string message;
  const char* file = "";
  int line = 0;
};

using Failure = std::variant<ValidationFailure, IoFailure, ResourceFailure, InternalFault>;

template <class T>
using Result = std::expected<T, Failure>;

template <class T>
using IoResult = std::expected<T, IoFailure>;

inline std::unexpected<Failure> fail_validation(std::string msg) {
  return std::unexpected<Failure>(ValidationFailure{std::move(msg)});
}

namespace detail {
template <class T, class E>
T take_value(std::expected<T, E>&& result) {
  return std::move(*result);
}
template <class E>
void take_value(std::expected<void, E>&&) {}
}  // namespace detail

// Propagates a failure: evaluates `expr` (a std::expected); on failure
// returns that failure from the enclosing function, otherwise yields the
// value (nothing for std::expected<void, E>).
//   auto prefix = TAVOLIN_TRY(read_container_prefix(source));
//   TAVOLIN_TRY(read_exact(source, magic));
#define TAVOLIN_TRY(expr)                                                          \
  ({                                                                               \
    auto tavolin_try_result_ = (expr);                                             \
    if (!tavolin_try_result_) return std::unexpected(std::move(tavolin_try_result_).error()); \
    ::tavolin::detail::take_value(std::move(tavolin_try_result_));                 \
  })

#define TAVOLIN_INTERNAL_FAULT(msg) \
  std::unexpected<::tavolin::Failure>(::tavolin::InternalFault{(msg), __FILE__, __LINE__})

// Human-readable description of an errno, from strerror_r.
std::string describe_errno(int err);

}  // namespace tavolin
