#pragma once

#include <cxxabi.h>

// A thread ended by pthread_exit (as the interpreter ends a daemon thread
// that asks for the lock at exit) unwinds its stack with a forced unwinding.
// The handlers that let it through catch it by reference only to rethrow it;
// it carries no exception object, so that reference is bound to null. The
// undefined-behaviour checks must not look at those handlers.
#define TAVOLIN_LETS_FORCED_UNWIND_THROUGH __attribute__((no_sanitize("null")))

namespace tavolin {

#if defined(_LIBCPP_VERSION)
// libc++ (the wheels' C++ runtime) has no type for the forced unwinding: no
// typed handler catches it, a catch (...) does (as an exception without a C++
// type), and a `throw;` there cannot resume it (it would start a new search,
// which ends in terminate). So ForcedUnwind is never thrown, and every
// catch (...) that the unwinding can reach starts with pass_forced_unwind(),
// which resumes it through the unwinder when it is the one caught.
struct ForcedUnwind {
  ForcedUnwind() = delete;
};
[[noreturn]] void resume_forced_unwind();  // src/wheel/forced_unwind_libcxx.cpp
inline void pass_forced_unwind() {
  if (abi::__cxa_current_exception_type() == nullptr) resume_forced_unwind();
}
#else
// libstdc++ names it, and its `throw;` resumes it.
using ForcedUnwind = abi::__forced_unwind;
inline void pass_forced_unwind() {}
#endif

}  // namespace tavolin
