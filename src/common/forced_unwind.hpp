#pragma once

// A thread ended by pthread_exit (as the interpreter ends a daemon thread
// that asks for the lock at exit) unwinds its stack with abi::__forced_unwind.
// The handlers that let it through catch it by reference only to rethrow it;
// it carries no exception object, so that reference is bound to null. The
// undefined-behaviour checks must not look at those handlers.
#define TAVOLIN_LETS_FORCED_UNWIND_THROUGH __attribute__((no_sanitize("null")))
