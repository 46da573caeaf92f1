// Running work with the interpreter lock released, and the signal checks of
// long calls that run that way.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <utility>

#include "common/forced_unwind.hpp"
#include "common/interrupt.hpp"

namespace tavolin::py {

// Runs `f` with the interpreter lock released and returns its result (an
// exception of `f` is rethrown once the lock is back).
//
// The lock is taken back by a plain call, never in a destructor and never in
// a noexcept frame: while the interpreter exits, it ends a daemon thread that
// asks for the lock by unwinding the thread's stack (abi::__forced_unwind),
// and that unwinding must be able to leave through every frame above.
template <class F>
TAVOLIN_LETS_FORCED_UNWIND_THROUGH auto released(F&& f) -> decltype(f()) {
  using R = decltype(f());
  PyThreadState* const thread = PyEval_SaveThread();
  std::optional<R> result;
  std::exception_ptr failure;
  try {
    result.emplace(f());
  } catch (const ForcedUnwind&) {
    throw;
  } catch (...) {
    pass_forced_unwind();
    failure = std::current_exception();
  }
  PyEval_RestoreThread(thread);
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

// The Interrupt of a call that runs with the interpreter lock released.
// Python runs signal handlers only in the interpreter's main thread, so only
// there does it look: after every interrupted system call, and otherwise
// about every kInterruptPollInterval of work (one coarse clock read per
// question decides). It takes the lock back briefly and runs the pending
// handlers; a handler that raises (Ctrl-C) stops the call, a handler that
// returns lets it go on. In any other thread it never stops a call and never
// touches Python.
//
// Constructed with the lock held; after the call, with the lock held again,
// `raised()` tells whether a handler's exception stopped it (that exception
// is then the one set).
class SignalWatch final : public Interrupt {
 public:
  SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  bool should_stop(InterruptMoment moment) override;
  [[nodiscard]] bool raised() const { return raised_; }

 private:
  PyThreadState* thread_ = nullptr;  // nullptr outside the main thread
  std::int64_t next_check_ns_ = 0;
  bool raised_ = false;
};

// Records the interpreter's main thread (module initialisation; again in a
// forked child, whose main thread is the one that forked).
void watch_main_thread();

}  // namespace tavolin::py
