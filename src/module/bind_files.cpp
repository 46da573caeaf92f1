// Placeholder: copy, PDF and frame bindings land with that work.
#include "module/bindings.hpp"

namespace tavolin::py {
namespace {
PyObject* pending(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "not built yet");
  return nullptr;
}
}  // namespace
PyObject* py_copy_file_descriptor_to_path(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) { return pending(s, a, n, k); }
PyObject* py_render_single_page_pdf(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) { return pending(s, a, n, k); }
PyObject* py_parse_extracted_frame_numbers(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) { return pending(s, a, n, k); }
PyObject* py_build_frame_records(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) { return pending(s, a, n, k); }
PyObject* py_build_expected_frame_records(PyObject* s, PyObject* const* a, Py_ssize_t n, PyObject* k) { return pending(s, a, n, k); }
}  // namespace tavolin::py
