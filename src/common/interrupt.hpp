// Lets the caller of a long operation stop it early. The cores stay free of
// the interpreter: the binding implements the check (Python's signal
// handlers), the worker pool implements it with its job's stop flag.
#pragma once

#include <cstdint>

#include "common/failure.hpp"
#include "common/messages.hpp"

namespace tavolin {

// When an operation asks its Interrupt.
enum class InterruptMoment : std::uint8_t {
  between_steps,  // between pieces of work: the implementation decides how often it looks
  after_eintr,    // a system call was interrupted by a signal: look now
};

class Interrupt {
 public:
  // True means: stop now and return `interrupted_failure()`; false means: go
  // on (retry the interrupted call, or do the next step).
  virtual bool should_stop(InterruptMoment moment) = 0;

  // The two questions, named at the call sites.
  bool stop_between_steps() { return should_stop(InterruptMoment::between_steps); }
  bool stop_after_eintr() { return should_stop(InterruptMoment::after_eintr); }

 protected:
  Interrupt() = default;
  ~Interrupt() = default;
  Interrupt(const Interrupt&) = default;
  Interrupt& operator=(const Interrupt&) = default;
};

// Never asks to stop: interrupted system calls are simply retried.
class NoInterrupt final : public Interrupt {
 public:
  bool should_stop(InterruptMoment) override { return false; }
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
