// Placeholder: identity bindings and the BatchProcessor type land with the
// identity work.
#include "module/bindings.hpp"

namespace tavolin::py {

PyObject* py_stable_file_identity(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "not built yet");
  return nullptr;
}

namespace {
PyObject* batch_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "not built yet");
  return nullptr;
}
PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("BatchProcessor(worker_count)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(batch_new)},
    {0, nullptr},
};
PyType_Spec g_spec = {"builtins.BatchProcessor", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, g_slots};
}  // namespace

PyObject* create_batch_processor_type() { return PyType_FromSpec(&g_spec); }

}  // namespace tavolin::py
