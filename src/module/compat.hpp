// Interpreter compatibility: the few C API calls that differ between the
// supported CPython versions (3.10 to 3.13), each behind one named helper
// that behaves the same on every version.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030A0000
#error "tavolin_native_backend needs CPython 3.10 or newer"
#endif

namespace tavolin::py::compat {

// New reference to the type's qualified name (`type.__qualname__`), or
// nullptr with an exception set. 3.11 added PyType_GetQualName; on 3.10 the
// `__qualname__` attribute of the type gives the same text (the heap type's
// qualified name, else the part of tp_name after the last dot).
inline PyObject* type_qualname(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
  return PyType_GetQualName(type);
#else
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
#endif
}

// Whether the calling thread runs in the process's main interpreter. Only
// the main interpreter may create (and so own) the module: a sub-interpreter
// is refused before anything is recorded, on every version, including the
// isolated (own-GIL) sub-interpreters of 3.12+, which the interpreter itself
// refuses for a single-phase module only after calling its init function.
inline bool in_main_interpreter() { return PyInterpreterState_Get() == PyInterpreterState_Main(); }

}  // namespace tavolin::py::compat
