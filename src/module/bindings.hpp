// How a declared function is bound. Each declaration of
// api/signatures.hpp (kModuleFunctions, and the class's
// kClassConstructor and kClassMethods) has exactly one binding, a
// specialisation written in one of the bind_*.hpp files (the class's in
// batch_processor.cpp):
//
//   template <>
//   struct Binding<"encryption_status"> {
//     TAVOLIN_BODY(std::string path) { ... };
//   };
//
// The body takes the declared parameters, by their declared names and in
// their order (a method's body takes `PyObject* self` first, the
// constructor's `PyTypeObject* cls`). Each parameter's converter follows from
// its declared Python type and the C++ type the body takes; an omitted
// argument takes its declared default; a failure the body returns is raised
// by the declared IoRoute (module/call.hpp). Entries, method tables and
// docstrings come from the declarations; the build fails if one has no
// binding or its binding disagrees with it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "module/call.hpp"
#include "module/conversions.hpp"
#include "module/exceptions.hpp"
#include "module/interpreter_lock.hpp"

// Defines a binding's body, `run`: a lambda taking the parameters written
// here (`TAVOLIN_BODY(std::string path) -> Reply { ... };`), whose spelling
// is kept so that the names can be checked against the declaration.
#define TAVOLIN_BODY(...)                                        \
  static constexpr std::string_view parameters = #__VA_ARGS__;  \
  static constexpr auto run = [](__VA_ARGS__)

namespace tavolin::py {

// A function name as a template argument: Binding<"name">.
template <std::size_t N>
struct FunctionName {
  char text[N] = {};
  constexpr FunctionName() = default;
  constexpr FunctionName(const char (&name)[N]) { std::copy_n(name, N, text); }  // NOLINT
  [[nodiscard]] constexpr std::string_view view() const { return {text, N - 1}; }
};

template <FunctionName Name>
struct Binding;  // no binding: the entry does not compile

// The name a declaration's binding goes by: its display prefix and name
// ("encryption_status", "BatchProcessor.__new__").
template <const FunctionDecl& Decl>
constexpr auto binding_name() {
  FunctionName<Decl.display_prefix.size() + Decl.name.size() + 1> out;
  std::copy(Decl.display_prefix.begin(), Decl.display_prefix.end(), out.text);
  std::copy(Decl.name.begin(), Decl.name.end(), out.text + Decl.display_prefix.size());
  return out;
}

template <const FunctionDecl& Decl>
using BindingOf = Binding<binding_name<Decl>()>;

template <const FunctionDecl& Decl>
using CallOf = Call<Decl, BindingOf<Decl>>;

template <const FunctionDecl& Decl>
constexpr bool has_binding() {
  return requires { BindingOf<Decl>::run; };
}

// ---------------------------------------------------------------- entries

template <const FunctionDecl& Decl>
PyObject* fast_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if constexpr (Decl.receiver == Receiver::self) {
    return CallOf<Decl>::run(args, nargs, kwnames, self);
  } else {
    return CallOf<Decl>::run(args, nargs, kwnames);
  }
}

template <const FunctionDecl& Decl>
PyObject* noargs_entry(PyObject*, PyObject*) {
  return CallOf<Decl>::run_without_arguments();
}

// The tp_new slot of the constructor `Decl`.
template <const FunctionDecl& Decl>
PyObject* new_entry(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  static_assert(Decl.receiver == Receiver::cls);
  return call_with_tuple_and_dict(args, kwargs, [&](PyObject* const* stack, Py_ssize_t nargs,
                                                    PyObject* kwnames) {
    return CallOf<Decl>::run(stack, nargs, kwnames, cls);
  });
}

// The method definition of a module function or method `Decl`, with its
// docstring `doc` (which must live as long as the definition).
template <const FunctionDecl& Decl>
PyMethodDef method_def(const char* doc) {
  static_assert(has_binding<Decl>(), "a declared function has no Binding<\"name\">");
  const char* name = Decl.name.data();
  if constexpr (Decl.params.empty() && Decl.receiver == Receiver::none) {
    return {name, noargs_entry<Decl>, METH_NOARGS, doc};
  } else {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fast_entry<Decl>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
  }
}

// The method definitions of the declarations `Decls`, with their docstrings,
// made once and kept for the whole process. `defs` ends with a zeroed
// sentinel, as a type's method table must; `entries()` are the definitions
// without it.
template <const auto& Decls>
struct MethodTable {
  static constexpr std::size_t kCount = std::size(Decls);
  std::array<std::string, kCount> docs;
  std::array<PyMethodDef, kCount + 1> defs{};

  MethodTable() {
    for (std::size_t i = 0; i < kCount; ++i) docs[i] = docstring(Decls[i]);
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      ((defs[I] = method_def<Decls[I]>(docs[I].c_str())), ...);
    }(std::make_index_sequence<kCount>{});
  }

  std::span<PyMethodDef> entries() { return {defs.data(), kCount}; }
};

// batch_processor.cpp: creates the BatchProcessor heap type (new reference), or
// nullptr with the interpreter's exception set.
PyObject* create_batch_processor_type();

}  // namespace tavolin::py
