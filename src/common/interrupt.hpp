// Lets the caller of a long operation stop it early. The cores stay free of
// the interpreter: the binding implements the check (Python's signal
// handlers), the worker pool implements it with its job's stop flag.
#pragma once

#include "common/failure.hpp"
#include "common/messages.hpp"

namespace tavolin {

class Interrupt {
 public:
  // Asked between pieces of work (`after_signal` false: the implementation
  // decides how often it really looks) and whenever a system call was
  // interrupted by a signal (`after_signal` true). True means: stop now and
  // return `interrupted_failure()`; false means: go on (retry the call).
  virtual bool should_stop(bool after_signal) = 0;

 protected:
  Interrupt() = default;
  ~Interrupt() = default;
  Interrupt(const Interrupt&) = default;
  Interrupt& operator=(const Interrupt&) = default;
};

// Never asks to stop: interrupted system calls are simply retried.
class NoInterrupt final : public Interrupt {
 public:
  bool should_stop(bool) override { return false; }
};

// The failure an operation returns when its Interrupt asked it to stop. The
// caller that asked knows why (a pending Python exception, a stopped job)
// and reports that instead.
inline IoFailure interrupted_failure() {
  return IoFailure{IoKind::interrupted, 0, std::string(messages::INTERRUPTED)};
}

inline bool is_interruption(const IoFailure& failure) {
  return failure.kind == IoKind::interrupted;
}

}  // namespace tavolin
