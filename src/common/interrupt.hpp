// Lets the caller of a long operation stop it early. The cores stay free of
// the interpreter: the binding implements the check (Python's signal
// handlers), the worker pool and the read-ahead with a stop flag.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "common/failure.hpp"
#include "common/messages.hpp"

namespace tavolin {

// How often a long operation asks its Interrupt between steps, at the least:
// the binding's signal check, and a caller that waits for other threads
// (the worker pool, the read-ahead).
inline constexpr std::chrono::milliseconds kInterruptPollInterval{50};

// When an operation asks its Interrupt.
enum class InterruptMoment : std::uint8_t {
  between_steps,  // between pieces of work: the implementation decides how often it looks
  after_eintr,    // a system call was interrupted by a signal: look now
};

class Interrupt {
 public:
  // True means: stop now and return `Failure::interrupted()`; false means: go
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

// Asks to stop once a flag another thread sets is set (a job's, or a
// read-ahead's, stop).
class FlagInterrupt final : public Interrupt {
 public:
  explicit FlagInterrupt(const std::atomic<bool>& flag) : flag_(&flag) {}
  bool should_stop(InterruptMoment) override { return flag_->load(std::memory_order_acquire); }

 private:
  const std::atomic<bool>* flag_;
};

}  // namespace tavolin
