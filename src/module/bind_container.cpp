// Placeholder: container bindings land with the container work.
#include "module/bindings.hpp"

namespace tavolin::py {
namespace {
PyObject* pending(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "not built yet");
  return nullptr;
}
}  // namespace
PyObject* py_parse_encrypted_header(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) { return pending(s, a, n, k); }
PyObject* py_encryption_status(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) { return pending(s, a, n, k); }
PyObject* py_is_qv_encrypted_file(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) { return pending(s, a, n, k); }
PyObject* py_decrypt_encrypted_file_range(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) { return pending(s, a, n, k); }
}  // namespace tavolin::py
