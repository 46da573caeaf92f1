// Module initialisation: creates the module once per process, refuses a
// second interpreter, and registers BatchProcessor and the 24 functions.
#include <array>
#include <atomic>
#include <string>

#include "encrypted_range/container.hpp"
#include "module/bindings.hpp"
#include "module/compat.hpp"

namespace tavolin::py {
namespace {

struct Entry {
  const FunctionDecl* decl;
  PyCFunction function;
  int flags;
};

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

const std::array<Entry, 24> kEntries = {{
    {&decl::parse_encrypted_header, as_cfunction(py_parse_encrypted_header), kFast},
    {&decl::native_capabilities, as_cfunction(py_native_capabilities), METH_NOARGS},
    {&decl::encryption_status, as_cfunction(py_encryption_status), kFast},
    {&decl::is_qv_encrypted_file, as_cfunction(py_is_qv_encrypted_file), kFast},
    {&decl::decrypt_encrypted_file_range, as_cfunction(py_decrypt_encrypted_file_range), kFast},
    {&decl::copy_file_descriptor_to_path, as_cfunction(py_copy_file_descriptor_to_path), kFast},
    {&decl::stable_file_identity, as_cfunction(py_stable_file_identity), kFast},
    {&decl::derive_hls_reservation_action, as_cfunction(py_derive_hls_reservation_action), kFast},
    {&decl::derive_hls_publication_action, as_cfunction(py_derive_hls_publication_action), kFast},
    {&decl::derive_hls_reconciliation_action, as_cfunction(py_derive_hls_reconciliation_action),
     kFast},
    {&decl::render_single_page_pdf, as_cfunction(py_render_single_page_pdf), kFast},
    {&decl::parse_extracted_frame_numbers, as_cfunction(py_parse_extracted_frame_numbers), kFast},
    {&decl::build_frame_records, as_cfunction(py_build_frame_records), kFast},
    {&decl::build_expected_frame_records, as_cfunction(py_build_expected_frame_records), kFast},
    {&decl::anonymization_status_rules, as_cfunction(py_anonymization_status_rules), kFast},
    {&decl::derive_anonymization_status, as_cfunction(py_derive_anonymization_status), kFast},
    {&decl::derive_report_anonymization_status,
     as_cfunction(py_derive_report_anonymization_status), kFast},
    {&decl::transition_service_lifecycle, as_cfunction(py_transition_service_lifecycle), kFast},
    {&decl::transition_operation_lifecycle, as_cfunction(py_transition_operation_lifecycle),
     kFast},
    {&decl::derive_segment_annotation_status, as_cfunction(py_derive_segment_annotation_status),
     kFast},
    {&decl::derive_frame_annotation_status, as_cfunction(py_derive_frame_annotation_status),
     kFast},
    {&decl::normalize_frame_task_mode_token, as_cfunction(py_normalize_frame_task_mode_token),
     kFast},
    {&decl::normalize_frame_sampling_strategy_token,
     as_cfunction(py_normalize_frame_sampling_strategy_token), kFast},
    {&decl::storage_profile_policy_rows, as_cfunction(py_storage_profile_policy_rows),
     METH_NOARGS},
}};

// Method definitions and docstrings live for the whole process.
struct MethodTable {
  std::array<std::string, 24> docs;
  std::array<PyMethodDef, 24> defs{};

  MethodTable() {
    for (std::size_t i = 0; i < kEntries.size(); ++i) {
      docs[i] = text_signature(*kEntries[i].decl) + "\n--\n\n";
      defs[i] = PyMethodDef{kEntries[i].decl->name.data(), kEntries[i].function,
                            kEntries[i].flags, docs[i].c_str()};
    }
  }
};

MethodTable& method_table() {
  static MethodTable table;
  return table;
}

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "tavolin_native_backend", "", 0, nullptr, nullptr, nullptr, nullptr,
    nullptr,
};

std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;  // created once; never released
PyObject* g_batch_type = nullptr;

// Sets the attribute and appends the name to __all__.
bool add_to_module(PyObject* module, const char* name, PyObject* value) {
  if (PyModule_AddObjectRef(module, name, value) < 0) return false;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return false;
    if (PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return false;
    }
  }
  PyObject* key = PyUnicode_FromString(name);
  const int rc = key ? PyList_Append(all, key) : -1;
  Py_XDECREF(key);
  Py_DECREF(all);
  return rc == 0;
}

PyObject* build_module() {
  PyObject* module = PyModule_Create2(&g_module_def, PYTHON_API_VERSION);
  if (module == nullptr) return nullptr;

  if (g_batch_type == nullptr) {
    PyObject* type = create_batch_processor_type();
    if (type == nullptr) {
      // Chain the interpreter's own exception as the cause.
      PyObject *exc_type = nullptr, *value = nullptr, *tb = nullptr;
      PyErr_Fetch(&exc_type, &value, &tb);
      PyErr_NormalizeException(&exc_type, &value, &tb);
      PyObject* error = PyObject_CallFunction(
          PyExc_RuntimeError, "s", "An error occurred while initializing class BatchProcessor");
      if (error != nullptr && value != nullptr) PyException_SetCause(error, Py_NewRef(value));
      Py_XDECREF(exc_type);
      Py_XDECREF(value);
      Py_XDECREF(tb);
      if (error != nullptr) {
        PyErr_SetObject(PyExc_RuntimeError, error);
        Py_DECREF(error);
      }
      Py_DECREF(module);
      return nullptr;
    }
    g_batch_type = type;
  }
  if (!add_to_module(module, "BatchProcessor", g_batch_type)) {
    Py_DECREF(module);
    return nullptr;
  }

  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) {
    Py_DECREF(module);
    return nullptr;
  }
  MethodTable& table = method_table();
  for (PyMethodDef& def : table.defs) {
    PyObject* function = PyCMethod_New(&def, module, module_name, nullptr);
    const bool ok = function != nullptr && add_to_module(module, def.ml_name, function);
    Py_XDECREF(function);
    if (!ok) {
      Py_DECREF(module_name);
      Py_DECREF(module);
      return nullptr;
    }
  }
  Py_DECREF(module_name);
  return module;
}

PyObject* init_module() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) return nullptr;

  // Only the main interpreter may own the module: a sub-interpreter is
  // refused before it could be recorded, whichever interpreter comes first.
  std::int64_t expected = -1;
  if (!compat::in_main_interpreter() ||
      (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id)) {
    PyErr_SetString(PyExc_ImportError,
                    "tavolin_native_backend does not support sub-interpreters: it was first "
                    "imported by another interpreter of this process");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);

  // Shared state is made here, with the lock held, never lazily by a call
  // (a fork by another thread must never find it half made).
  container::load_algorithms();
  watch_main_thread();
  PyObject* module = build_module();
  if (module == nullptr) return nullptr;
  g_module = Py_NewRef(module);
  return module;
}

}  // namespace
}  // namespace tavolin::py

PyMODINIT_FUNC PyInit_tavolin_native_backend() {
  return tavolin::py::guarded([] { return tavolin::py::init_module(); });
}
