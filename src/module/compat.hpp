// Interpreter compatibility: the few C API calls that differ between the
// supported CPython versions (3.10 and later) or between the two builds of
// the module, each behind one named helper that behaves the same everywhere.
//
// The two builds: the per-version build (the default) uses the interpreter's
// inline macros and structures where they are faster; the limited build
// (Py_LIMITED_API, the CMake option TAVOLIN_LIMITED_API) calls only the
// stable ABI of CPython 3.10, so that one shared object loads in 3.10 and
// every later CPython.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030A0000
#error "tavolin_native_backend needs CPython 3.10 or newer"
#endif
#if defined(Py_LIMITED_API) && Py_LIMITED_API + 0 < 0x030A0000
#error "the limited build needs the stable ABI of CPython 3.10 (fast calls, UTF-8 views)"
#endif

namespace tavolin::py::compat {

// New reference to the type's qualified name (`type.__qualname__`), or
// nullptr with an exception set. 3.11 added PyType_GetQualName; on 3.10 (and
// in the limited build, whose ABI is 3.10's) the `__qualname__` attribute of
// the type gives the same text (the heap type's qualified name, else the
// part of tp_name after the last dot).
inline PyObject* type_qualname(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000 && !defined(Py_LIMITED_API)
  return PyType_GetQualName(type);
#else
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
#endif
}

// Whether the calling thread runs in the process's main interpreter (whose
// identifier is 0 in every version). Only the main interpreter may create
// (and so own) the module: a sub-interpreter is refused before anything is
// recorded, on every version, including the isolated (own-GIL)
// sub-interpreters of 3.12+, which the interpreter itself refuses for a
// single-phase module only after calling its init function.
inline bool in_main_interpreter() { return PyInterpreterState_GetID(PyInterpreterState_Get()) == 0; }

// Tuples, lists, bytes and bytearrays: the interpreter's unchecked macros in
// the per-version build; the checked functions of the stable ABI in the
// limited build (the arguments are always of the right type and in range
// here, so they cannot fail). `set_*` steal the reference to `item` and fill
// a slot of a new object, as the macros do.
inline Py_ssize_t tuple_size(PyObject* tuple) {
#ifdef Py_LIMITED_API
  return PyTuple_Size(tuple);
#else
  return PyTuple_GET_SIZE(tuple);
#endif
}
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t index) {  // borrowed
#ifdef Py_LIMITED_API
  return PyTuple_GetItem(tuple, index);
#else
  return PyTuple_GET_ITEM(tuple, index);
#endif
}
inline void set_tuple_item(PyObject* tuple, Py_ssize_t index, PyObject* item) {
#ifdef Py_LIMITED_API
  PyTuple_SetItem(tuple, index, item);
#else
  PyTuple_SET_ITEM(tuple, index, item);
#endif
}
inline void set_list_item(PyObject* list, Py_ssize_t index, PyObject* item) {
#ifdef Py_LIMITED_API
  PyList_SetItem(list, index, item);
#else
  PyList_SET_ITEM(list, index, item);
#endif
}
inline Py_ssize_t dict_size(PyObject* dict) {
#ifdef Py_LIMITED_API
  return PyDict_Size(dict);
#else
  return PyDict_GET_SIZE(dict);
#endif
}
inline char* bytes_data(PyObject* bytes) {
#ifdef Py_LIMITED_API
  return PyBytes_AsString(bytes);
#else
  return PyBytes_AS_STRING(bytes);
#endif
}
inline Py_ssize_t bytes_size(PyObject* bytes) {
#ifdef Py_LIMITED_API
  return PyBytes_Size(bytes);
#else
  return PyBytes_GET_SIZE(bytes);
#endif
}
inline char* bytearray_data(PyObject* bytearray) {
#ifdef Py_LIMITED_API
  return PyByteArray_AsString(bytearray);
#else
  return PyByteArray_AS_STRING(bytearray);
#endif
}
inline Py_ssize_t bytearray_size(PyObject* bytearray) {
#ifdef Py_LIMITED_API
  return PyByteArray_Size(bytearray);
#else
  return PyByteArray_GET_SIZE(bytearray);
#endif
}

}  // namespace tavolin::py::compat
