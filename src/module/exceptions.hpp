// Native failures to Python exceptions, and the guard that keeps every C++
// exception from crossing into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "api/signatures.hpp"
#include "common/failure.hpp"
#include "common/forced_unwind.hpp"
#include "module/pyref.hpp"

namespace tavolin::py {

// Returns the PanicException type, creating it on first use (lock held).
PyObject* panic_exception_type();

// Raise the exception of `failure`; an os failure goes the way `route` (its
// function's declared IoRoute) says. Always returns nullptr.
PyObject* raise_failure(const Failure& failure, IoRoute route);
PyObject* raise_internal_fault(std::string_view message, const char* file, int line);

// The qualified name of the object's type, as the interpreter's messages
// write it.
std::string type_name_of(PyObject* obj);

// Takes the pending exception from the thread, normalised (its traceback is
// dropped): the exception object, or an empty reference if none was set.
PyRef take_exception();

// "'{type}' object cannot be converted to '{target}'"
void raise_downcast_error(PyObject* obj, const char* target);

// Runs `body` and maps escaping C++ exceptions: bad_alloc -> MemoryError,
// anything else -> PanicException. Nothing crosses into the interpreter but
// the forced unwinding with which the interpreter ends a thread at exit
// (no frame of an entry point is noexcept, so that unwinding goes through).
template <class Body>
TAVOLIN_LETS_FORCED_UNWIND_THROUGH PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (const ForcedUnwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal_fault(e.what(), __FILE__, __LINE__);
  } catch (...) {
    pass_forced_unwind();
    return raise_internal_fault({}, __FILE__, __LINE__);
  }
}

}  // namespace tavolin::py
