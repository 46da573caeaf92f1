// Module initialisation: creates the module once per process, refuses a
// second interpreter, and registers BatchProcessor and every declared
// function with its binding.
#include <algorithm>
#include <atomic>
#include <string>

#include "common/crypto.hpp"
#include "module/bind_container.hpp"
#include "module/bind_decisions.hpp"
#include "module/bind_files.hpp"
#include "module/bind_identity.hpp"
#include "module/bindings.hpp"
#include "module/compat.hpp"
#include "module/pyref.hpp"

namespace tavolin::py {
namespace {

// The module's functions, made from their declarations at initialisation.
MethodTable<kModuleFunctions>& method_table() {
  static MethodTable<kModuleFunctions> table;
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
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
  }
  const PyRef key = PyRef::steal(PyUnicode_FromString(name));
  return key && PyList_Append(all.get(), key.get()) == 0;
}

// RuntimeError("An error occurred while initializing class BatchProcessor"),
// caused by the interpreter's own exception.
void raise_type_creation_error() {
  const PyRef value = take_exception();
  const PyRef error = PyRef::steal(PyObject_CallFunction(
      PyExc_RuntimeError, "s", "An error occurred while initializing class BatchProcessor"));
  if (!error) return;
  if (value) PyException_SetCause(error.get(), Py_NewRef(value.get()));
  PyErr_SetObject(PyExc_RuntimeError, error.get());
}

PyObject* build_module() {
  PyRef module = PyRef::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  if (g_batch_type == nullptr) {
    g_batch_type = create_batch_processor_type();
    if (g_batch_type == nullptr) {
      raise_type_creation_error();
      return nullptr;
    }
  }
  if (!add_to_module(module.get(), "BatchProcessor", g_batch_type)) return nullptr;

  const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  for (PyMethodDef& def : method_table().entries()) {
    const PyRef function =
        PyRef::steal(PyCMethod_New(&def, module.get(), module_name.get(), nullptr));
    if (!function || !add_to_module(module.get(), def.ml_name, function.get())) return nullptr;
  }
  return module.release();
}

PyObject* init_module() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) return nullptr;

  // Only the main interpreter may own the module: a sub-interpreter is
  // refused before it could be recorded, whichever interpreter comes first.
  // The refusal says that another interpreter owns the module only where
  // one does.
  constexpr const char* kNotSupported =
      "tavolin_native_backend does not support sub-interpreters: only the main interpreter "
      "of this process can import it";
  constexpr const char* kOwnedElsewhere =
      "tavolin_native_backend does not support sub-interpreters: it was first imported by "
      "another interpreter of this process";
  if (!compat::in_main_interpreter()) {
    const std::int64_t owner = g_owner_interpreter.load();
    PyErr_SetString(PyExc_ImportError,
                    owner == -1 || owner == id ? kNotSupported : kOwnedElsewhere);
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError, kOwnedElsewhere);
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);

  // Shared state is made here, with the lock held, never lazily by a call
  // (a fork by another thread must never find it half made).
  load_algorithms();
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
