// What only the wheels' build compiles (-DTAVOLIN_WHEEL=ON): the resumption of
// a forced unwinding caught by a catch (...) under libc++ (see
// common/forced_unwind.hpp). The unwinder is libgcc_s, the one glibc's
// pthread_exit uses to unwind the thread.

// libc++abi's own layout of its exception records (its source, which zig
// carries); the header still names the handler type C++17 removed.
#define _LIBCPP_ENABLE_CXX17_REMOVED_UNEXPECTED_FUNCTIONS
#include <cxa_exception.h>
#include <unwind.h>

#include <exception>

#include "common/forced_unwind.hpp"

namespace tavolin {

// libc++abi keeps a caught exception without a C++ type as the top of the
// thread's caught exceptions, its unwind header in the place of a record's
// own. Taking it off that stack is what libc++abi's rethrow does too, so that
// leaving the handler does not delete it; the unwinder then carries the
// forced unwinding on from here, as libstdc++'s rethrow does.
[[noreturn]] void resume_forced_unwind() {
  __cxxabiv1::__cxa_eh_globals* const globals = __cxxabiv1::__cxa_get_globals();
  _Unwind_Exception* const unwinding = &globals->caughtExceptions->unwindHeader;
  globals->caughtExceptions = nullptr;
  _Unwind_Resume_or_Rethrow(unwinding);
  std::terminate();
}

}  // namespace tavolin
