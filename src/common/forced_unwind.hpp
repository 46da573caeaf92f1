#pragma once

#include <cxxabi.h>

// A thread ended by pthread_exit (as the interpreter ends a daemon thread
// that asks for the lock at exit) unwinds its stack with abi::__forced_unwind.
// The handlers that let it through catch it by reference only to rethrow it;
// it carries no exception object, so that reference is bound to null. The
// undefined-behaviour checks must not look at those handlers.
#define TAVOLIN_LETS_FORCED_UNWIND_THROUGH __attribute__((no_sanitize("null")))

// musl's pthread_exit does not unwind the thread's stack, and LLVM's C++ ABI
// library (zig's, for the musllinux wheels) has no such type: there the
// handlers name a type that nothing throws.
#if !defined(__GLIBC__) && !defined(__GLIBCXX__)
namespace __cxxabiv1 {
struct __forced_unwind {};
}  // namespace __cxxabiv1
#endif
