// The one failure type of every native unit. Operations return `Result<T>`
// (a value or exactly one failure); only the binding layer turns a failure
// into a Python exception, by its code:
//
//   code         raised as                                  carries
//   value        ValueError                                 the message
//   os           OSError, its subclass for the errno, or    os_error (an errno), or 0 and
//                ValueError where the function's            the program's own message
//                declaration routes I/O failures there      (damaged data, a short read)
//   interrupted  InterruptedError (ValueError by that       the operation's Interrupt asked
//                route); mostly never raised: whoever       it to stop
//                asked knows why and reports that
//   resource     RuntimeError                               the message
//   internal     the module's PanicException                the message and where it was found
//
// The os code without an errno (Failure::io) is wider than I/O: it also
// carries what a function reports the way it reports its I/O failures, by
// its contract: a refused byte range, a key of the wrong length, a key
// that opens no generation, a cipher the library does not offer.
#pragma once

#include <cstdint>
#include <expected>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>

#include "common/messages.hpp"

namespace tavolin {

enum class FailureCode : std::uint8_t { value, os, interrupted, resource, internal };

struct Failure {
  FailureCode code = FailureCode::internal;
  int os_error = 0;  // the errno of an os failure; 0 for every other failure
  std::string message;
  std::source_location where;  // of an internal failure: the broken check

  // A caller-supplied value the operation refuses.
  static Failure value(std::string_view message) {
    return Failure{FailureCode::value, 0, std::string(message), {}};
  }
  // An operating-system error number.
  static Failure from_errno(int err) { return Failure{FailureCode::os, err, {}, {}}; }
  // An I/O failure the program itself found: a file whose bytes are not
  // what they must be, a path it cannot take (and the rest of the os
  // failures without an errno: see the table above).
  static Failure io(std::string_view message) {
    return Failure{FailureCode::os, 0, std::string(message), {}};
  }
  // The file ended before a read that had to be whole.
  static Failure short_read() { return io(messages::kShortRead); }
  static Failure interrupted() {
    return Failure{FailureCode::interrupted, 0, std::string(messages::kInterrupted), {}};
  }
  // A resource (a thread of the worker pool) could not be had.
  static Failure resource(std::string_view message) {
    return Failure{FailureCode::resource, 0, std::string(message), {}};
  }
  // A broken invariant: a fault of this program, not of its input.
  static Failure internal(std::string_view message,
                          std::source_location where = std::source_location::current()) {
    return Failure{FailureCode::internal, 0, std::string(message), where};
  }

  [[nodiscard]] bool is_interruption() const { return code == FailureCode::interrupted; }
  [[nodiscard]] bool is_short_read() const {
    return code == FailureCode::os && os_error == 0 && message == messages::kShortRead;
  }

  // The text handed to Python: "<description> (os error N)" for an errno
  // (describe_errno), else the message.
  [[nodiscard]] std::string text() const;
};

template <class T>
using Result = std::expected<T, Failure>;

namespace detail {
template <class T, class E>
T take_value(std::expected<T, E>&& result) {
  return std::move(*result);
}
template <class E>
void take_value(std::expected<void, E>&&) {}
}  // namespace detail

// Propagates a failure: evaluates `expr` (a Result); on failure returns that
// failure from the enclosing function, otherwise yields the value (nothing
// for Result<void>).
//   auto prefix = TAVOLIN_TRY(read_container_prefix(source));
//   TAVOLIN_TRY(read_exact(source, magic));
#define TAVOLIN_TRY(expr)                                                          \
  ({                                                                               \
    auto tavolin_try_result_ = (expr);                                             \
    if (!tavolin_try_result_) return std::unexpected(std::move(tavolin_try_result_).error()); \
    ::tavolin::detail::take_value(std::move(tavolin_try_result_));                 \
  })

// Human-readable description of an errno, the same with every C library:
// from a fixed table (errno_text.cpp), else "Unknown error N".
std::string describe_errno(int err);

}  // namespace tavolin
