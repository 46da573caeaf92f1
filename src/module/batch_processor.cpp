// The BatchProcessor type with its worker pool.
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "file_identity/batch_pool.hpp"
#include "file_identity/identity.hpp"
#include "module/bind_identity.hpp"
#include "module/bindings.hpp"

namespace tavolin::py {

namespace {

// ---------------------------------------------------------------- BatchProcessor

struct BatchObject {
  PyObject_HEAD
  file_identity::BatchProcessor* processor;  // owned
};

BatchObject* as_batch(PyObject* self) { return reinterpret_cast<BatchObject*>(self); }

// tp_new receives a tuple and a dict: lay them out as a fast call (arguments
// followed by keyword values, plus a tuple of keyword names) for the binder.
PyObject* batch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkw = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
    // Strong references released by hand, not by PyRef: the call below
    // releases the lock, and a thread ended there at interpreter exit must
    // not touch them while unwinding.
    std::vector<PyObject*> stack;
    stack.reserve(static_cast<std::size_t>(nargs + nkw));
    PyObject* kwnames = nullptr;
    const auto release_all = [&] {
      for (PyObject* obj : stack) Py_DECREF(obj);
      Py_XDECREF(kwnames);
    };
    for (Py_ssize_t i = 0; i < nargs; ++i) stack.push_back(Py_NewRef(PyTuple_GET_ITEM(args, i)));
    if (nkw > 0) {
      kwnames = PyTuple_New(nkw);
      if (kwnames == nullptr) {
        release_all();
        return nullptr;
      }
      Py_ssize_t pos = 0;
      Py_ssize_t index = 0;
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      while (index < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames, index++, Py_NewRef(key));
        stack.push_back(Py_NewRef(value));
      }
    }
    PyObject* result = Call<U64>::run(
        decl::batch_processor_new, stack.data(), nargs, kwnames,
        [&](std::uint64_t worker_count) -> PyObject* {
          // Thousands of threads take a while to start: other Python
          // threads run meanwhile.
          auto processor =
              released([&] { return file_identity::BatchProcessor::create(worker_count); });
          if (!processor) return raise_failure(processor.error(), IoRoute::os_error);
          PyObject* self = type->tp_alloc(type, 0);
          if (self == nullptr) return nullptr;  // the processor stops its pool
          as_batch(self)->processor = processor->release();
          return self;
        });
    release_all();
    return result;
  });
}

void batch_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_batch(self)->processor;  // tells the pool to stop; does not wait
  as_batch(self)->processor = nullptr;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* batch_stable_file_identities(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return Call<ListOf<Path>, Opt<U64>, Opt<ListOf<ByteSequence>>>::run(
      decl::stable_file_identities, args, nargs, kwnames,
      [&](std::vector<std::string> paths, std::optional<std::uint64_t> chunk_size,
          identity_binding::KeyList master_keys) -> PyObject* {
        const auto checked = identity_binding::checked_chunk_size(chunk_size);
        if (!checked) return nullptr;
        file_identity::BatchProcessor* processor = as_batch(self)->processor;
        if (processor == nullptr) {
          return raise_internal_fault("BatchProcessor has no worker pool", __FILE__, __LINE__);
        }
        // With the lock held: after a fork this starts the child's threads.
        auto pool = processor->current_pool();
        if (!pool) return raise_failure(pool.error(), IoRoute::os_error);
        std::vector<SecretBytes> keys = master_keys ? std::move(*master_keys) : std::vector<SecretBytes>{};
        SignalWatch watch;
        auto result = released([&] {
          return (*pool)->run(std::move(paths), *checked, std::move(keys), watch);
        });
        if (watch.raised()) return nullptr;  // a signal handler's exception ended the batch
        if (!result) return raise_failure(result.error(), IoRoute::os_error);

        return list_of(*result, identity_binding::identity_tuple);
      });
}

// Method table and docstrings live for the whole process.
PyMethodDef* batch_methods() {
  static const std::string doc = text_signature(decl::stable_file_identities, true) + "\n--\n\n";
  static PyMethodDef methods[] = {
      {decl::stable_file_identities.name.data(),
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_stable_file_identities)),
       METH_FASTCALL | METH_KEYWORDS, doc.c_str()},
      {nullptr, nullptr, 0, nullptr},
  };
  return methods;
}

}  // namespace

PyObject* create_batch_processor_type() {
  // The type name carries the "builtins" prefix so that __module__ reads
  // "builtins" without a warning at import.
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("BatchProcessor(worker_count)\n--\n\n")},
      {Py_tp_new, reinterpret_cast<void*>(batch_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
      {Py_tp_methods, batch_methods()},
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
  // of the name (freed with the type), so a pointer into it stays valid.
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  if (const char* dot = std::strrchr(tp->tp_name, '.'); dot != nullptr) tp->tp_name = dot + 1;
  return type;
}

}  // namespace tavolin::py
