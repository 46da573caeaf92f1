// How a declared function is bound. Each entry of kModuleFunctions
// (capabilities/signatures.hpp) has exactly one binding, a specialization
// written in one of the bind_*.hpp files:
//
//   template <>
//   struct Binding<"encryption_status"> {
//     using Args = Converts<Path>;  // one converter per declared parameter
//     static PyObject* run(std::string path) { ... }
//   };
//
// module.cpp builds the method table from the declarations and checks at
// compile time that each has a binding converting as many arguments as it
// declares. A declaration without parameters is bound with METH_NOARGS
// (`Converts<>`, `run()`).
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "module/call.hpp"
#include "module/conversions.hpp"
#include "module/exceptions.hpp"
#include "module/interpreter_lock.hpp"

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
struct Binding;  // no binding: the method table does not compile

// The converters of a binding's arguments, one per declared parameter.
template <class... Cs>
struct Converts {
  using Call = py::Call<Cs...>;
  static constexpr std::size_t arity = sizeof...(Cs);
};

// bind_identity.cpp: creates the BatchProcessor heap type (new reference), or
// nullptr with the interpreter's exception set.
PyObject* create_batch_processor_type();

}  // namespace tavolin::py
