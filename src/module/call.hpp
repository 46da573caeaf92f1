// Binding a call: fast-call arguments to the parameters of a declaration
// (with the interpreter's TypeError forms), conversion of each argument, and
// the guarded call of the body.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>
#include <tuple>
#include <utility>

#include "capabilities/signatures.hpp"
#include "module/conversions.hpp"
#include "module/exceptions.hpp"

namespace tavolin::py {

// ---------------------------------------------------------------- binding

// Binds fast-call arguments to the parameters of `decl`; `bound` receives
// borrowed references (nullptr for omitted parameters). Raises the binding
// TypeErrors and returns false on failure.
bool bind_arguments(const FunctionDecl& decl, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound);

// Re-raises a pending TypeError as "argument '{name}': {message}" (keeping
// the cause); other exceptions pass through unchanged.
void rename_conversion_error(std::string_view param_name);


// ---------------------------------------------------------------- calls

// Binds and converts the arguments of `decl` with converters `Cs...` (one per
// parameter, in order), then calls `body(values...)`, which returns the
// result object (or nullptr with an exception set).
template <class... Cs>
struct Call {
  template <class Body>
  static PyObject* run(const FunctionDecl& decl, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, Body&& body) {
    return guarded([&]() -> PyObject* {
      PyObject* bound[sizeof...(Cs) + 1] = {};
      // Every parameter given by position (keyword-only ones always come
      // last, so none exists here): nothing to bind.
      if (kwnames == nullptr && static_cast<std::size_t>(nargs) == sizeof...(Cs) &&
          (sizeof...(Cs) == 0 || !decl.params[sizeof...(Cs) - 1].keyword_only)) {
        for (std::size_t i = 0; i < sizeof...(Cs); ++i) bound[i] = args[i];
      } else if (!bind_arguments(decl, args, nargs, kwnames, bound)) {
        return nullptr;
      }
      std::tuple<typename Cs::value_type...> values;
      if (!convert_all(decl, bound, values, std::index_sequence_for<Cs...>{})) return nullptr;
      return std::apply(body, std::move(values));
    });
  }

 private:
  template <class Tuple, std::size_t... I>
  static bool convert_all(const FunctionDecl& decl, PyObject** bound, Tuple& values,
                          std::index_sequence<I...>) {
    return (convert_one<Cs>(decl, I, bound[I], std::get<I>(values)) && ...);
  }

  template <class C>
  static bool convert_one(const FunctionDecl& decl, std::size_t index, PyObject* obj,
                          typename C::value_type& out) {
    if (obj == nullptr) return true;  // omitted: the default applies
    if (C::convert(obj, out)) return true;
    rename_conversion_error(decl.params[index].name);
    return false;
  }
};

}  // namespace tavolin::py
