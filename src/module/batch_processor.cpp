// The BatchProcessor type with its worker pool: the bindings of its
// declared constructor and methods, and the type built from them.
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "identity/batch_pool.hpp"
#include "identity/identity.hpp"
#include "module/bind_identity.hpp"
#include "module/bindings.hpp"

namespace tavolin::py {

namespace {

struct BatchObject {
  PyObject_HEAD
  identity::BatchProcessor* processor;  // owned
};

BatchObject* as_batch(PyObject* self) { return reinterpret_cast<BatchObject*>(self); }

void batch_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_batch(self)->processor;  // tells the pool to stop; does not wait
  as_batch(self)->processor = nullptr;
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// Where the type keeps tp_name. The limited API hides the type structure,
// but tp_name has followed the variable-size object header in every CPython
// 3 release (the per-version build checks that at compile time).
const char** type_name_slot(PyObject* type) {
#ifdef Py_LIMITED_API
  return reinterpret_cast<const char**>(reinterpret_cast<char*>(type) + sizeof(PyVarObject));
#else
  static_assert(offsetof(PyTypeObject, tp_name) == sizeof(PyVarObject));
  return &reinterpret_cast<PyTypeObject*>(type)->tp_name;
#endif
}

}  // namespace

template <>
struct Binding<"BatchProcessor.__new__"> {
  TAVOLIN_BODY(PyTypeObject* cls, std::uint64_t worker_count) -> Reply {
    // Thousands of threads take a while to start: other Python threads run
    // meanwhile.
    auto processor = released([&] { return identity::BatchProcessor::create(worker_count); });
    if (!processor) return std::unexpected(processor.error());
    PyObject* self = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc))(cls, 0);
    if (self == nullptr) return nullptr;  // the processor stops its pool
    as_batch(self)->processor = processor->release();
    return self;
  };
};

template <>
struct Binding<"BatchProcessor.stable_file_identities"> {
  TAVOLIN_BODY(PyObject* self, std::vector<std::string> paths, std::uint64_t chunk_size,
               std::vector<SecretBytes> master_keys) -> Reply {
    if (auto checked = identity_binding::check_chunk_size(chunk_size); !checked) {
      return std::unexpected(checked.error());
    }
    identity::BatchProcessor* processor = as_batch(self)->processor;
    if (processor == nullptr) {
      return raise_internal_fault("BatchProcessor has no worker pool", __FILE__, __LINE__);
    }
    // With the lock held: after a fork this starts the child's threads.
    auto pool = processor->current_pool();
    if (!pool) return std::unexpected(pool.error());
    SignalWatch watch;
    auto result = released([&] {
      return (*pool)->run(std::move(paths), chunk_size, std::move(master_keys), watch);
    });
    if (watch.raised()) return nullptr;  // a signal handler's exception ended the batch
    if (!result) return std::unexpected(result.error());
    return list_of(*result, identity_binding::identity_tuple);
  };
};

namespace {

// The method table and docstrings, made from the declarations once and kept
// for the whole process.
struct ClassTable {
  std::string type_doc = docstring(kClassConstructor);
  MethodTable<kClassMethods> methods;
};

ClassTable& class_table() {
  static ClassTable table;
  return table;
}

}  // namespace

PyObject* create_batch_processor_type() {
  ClassTable& table = class_table();
  // The type name carries the "builtins" prefix so that __module__ reads
  // "builtins" without a warning at import.
  static PyType_Slot slots[] = {
      {Py_tp_doc, table.type_doc.data()},
      {Py_tp_new, reinterpret_cast<void*>(new_entry<kClassConstructor>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
      {Py_tp_methods, table.methods.defs.data()},
      {0, nullptr},
  };
  // Immutable, as built-in types are: a class attribute cannot be set or
  // deleted from Python, so no caller can replace or remove the method of
  // every processor in the process.
  static PyType_Spec type_spec = {"builtins.BatchProcessor", sizeof(BatchObject), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) return nullptr;
  // repr() of a type from "builtins" prints tp_name: drop the prefix so it
  // reads <class 'BatchProcessor'>. tp_name points into the type's own copy
  // of the name (3.12+; before, into type_spec.name, which lives as long),
  // so a pointer into it stays valid. It is changed only where it reads as
  // the name given.
  const char** name = type_name_slot(type);
  if (*name != nullptr && std::strcmp(*name, type_spec.name) == 0) {
    if (const char* dot = std::strrchr(*name, '.'); dot != nullptr) *name = dot + 1;
  }
  return type;
}

}  // namespace tavolin::py
