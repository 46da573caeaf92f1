// Binding a call: fast-call arguments to the parameters of a declaration
// (with the interpreter's TypeError forms), conversion of each argument, and
// the guarded call of the body.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <expected>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "api/signatures.hpp"
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


// tp_new receives a tuple and a dict: `out` gets them laid out as a fast call
// (strong references to the arguments followed by the keyword values, plus a
// new tuple of keyword names). Returns false with an exception set on failure;
// `out.release()` drops the references either way.
struct FastCallArgs {
  std::vector<PyObject*> stack;
  Py_ssize_t nargs = 0;
  PyObject* kwnames = nullptr;
  void release();
};
bool lay_out_fast_call(PyObject* args, PyObject* kwargs, FastCallArgs& out);

// The one adapter from (args tuple, kwargs dict) to a fast call:
// `fast(stack, nargs, kwnames)`.
template <class Fast>
PyObject* call_with_tuple_and_dict(PyObject* args, PyObject* kwargs, Fast&& fast) {
  return guarded([&]() -> PyObject* {
    // Strong references released by hand, not by PyRef: the call may release
    // the lock, and a thread ended there at interpreter exit must not touch
    // them while unwinding.
    FastCallArgs call;
    PyObject* result =
        lay_out_fast_call(args, kwargs, call) ? fast(call.stack.data(), call.nargs, call.kwnames)
                                              : nullptr;
    call.release();
    return result;
  });
}


// ---------------------------------------------------------------- bodies

// What a body may return: a new reference (or nullptr with an exception
// set), or a `std::expected` of a value (converted to Python) or a new
// reference, and a failure, which the call raises by its declaration's
// IoRoute. `Reply` serves bodies with several exits.
using Reply = Result<PyObject*>;

template <class R>
PyObject* reply(R&& result, IoRoute route) {
  using T = std::remove_cvref_t<R>;
  if constexpr (std::is_same_v<T, PyObject*>) {
    return result;
  } else {
    if (!result) return raise_failure(result.error(), route);
    if constexpr (std::is_same_v<typename T::value_type, PyObject*>) {
      return *result;
    } else {
      return to_python(*result);
    }
  }
}

// The parameter types of a body (a lambda that is not generic).
template <class F>
struct BodyParams : BodyParams<decltype(&F::operator())> {};
template <class L, class R, class... A>
struct BodyParams<R (L::*)(A...) const> {
  using type = std::tuple<std::remove_cvref_t<A>...>;
};

// True if the parameter list as spelled in `text` names, in order, the
// receiver of `decl` ("self" or "cls", if it has one) and then its declared
// parameters.
consteval bool names_declared_parameters(std::string_view text, const FunctionDecl& decl) {
  const auto is_name_char = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  };
  std::size_t index = 0;  // of the expected name
  const std::size_t receivers = decl.receiver == Receiver::none ? 0 : 1;
  const auto expected = [&](std::size_t i) -> std::string_view {
    if (i < receivers) return decl.receiver == Receiver::self ? "self" : "cls";
    return decl.params[i - receivers].name;
  };
  const std::size_t count = receivers + decl.params.size();
  int depth = 0;
  std::size_t begin = 0;
  for (std::size_t at = 0; at <= text.size(); ++at) {
    const char c = at < text.size() ? text[at] : ',';
    if (c == '<' || c == '(' || c == '[' || c == '{') ++depth;
    if (c == '>' || c == ')' || c == ']' || c == '}') --depth;
    if (c != ',' || depth != 0) continue;
    std::size_t end = at;
    while (end > begin && text[end - 1] == ' ') --end;
    std::size_t start = end;
    while (start > begin && is_name_char(text[start - 1])) --start;
    if (start == end) return text.empty() && count == 0;  // an unnamed parameter
    if (index >= count || text.substr(start, end - start) != expected(index)) return false;
    ++index;
    begin = at + 1;
  }
  return index == count;
}

// The converter chosen for parameter I of `Decl` whose body takes a `T`: the
// one of ConvertersTo<T> that converts the declared Python type.
struct NoConverter {};
template <const FunctionDecl& Decl, std::size_t I, class T>
struct ConverterFor {
  template <class Set>
  struct Pick;
  template <class... Cs>
  struct Pick<ConverterSet<Cs...>> {
    static constexpr std::size_t index = ConverterSet<Cs...>::find(Decl.params[I].type);
    static constexpr bool found = index < sizeof...(Cs);
    using type = std::tuple_element_t<index, std::tuple<Cs..., NoConverter>>;
  };
  using Chosen = Pick<typename ConvertersTo<T>::type>;
  static_assert(Chosen::found,
                "no converter turns the declared Python type of this parameter into the type "
                "the binding's body takes");
  using type = typename Chosen::type;
};

template <class C>
consteval bool takes_default(Default::Kind kind) {
  if constexpr (requires { C::default_kind; }) {
    return C::default_kind == kind;
  } else {
    return false;
  }
}


// ---------------------------------------------------------------- calls

// Calls `Body::run` (a lambda named by TAVOLIN_BODY) as the function `Decl`
// declares: binds the fast-call arguments to the declared parameters,
// converts each with the converter for its declared type and the body's
// parameter type (an omitted one takes its declared default), runs the body
// with the receiver (if any) first and raises its failure by the declared
// IoRoute. Compile-time checks: the body takes the declared parameters by
// name and in order, each converts from its declared type, and each default
// is one its converter can take.
template <const FunctionDecl& Decl, class Body>
struct Call {
  static constexpr std::size_t kArity = Decl.params.size();
  static constexpr std::size_t kReceivers = Decl.receiver == Receiver::none ? 0 : 1;
  using Params = typename BodyParams<std::remove_cvref_t<decltype(Body::run)>>::type;
  static_assert(std::tuple_size_v<Params> == kReceivers + kArity,
                "a binding's body takes a different number of parameters than its declaration");
  static_assert(names_declared_parameters(Body::parameters, Decl),
                "a binding's body names its parameters otherwise than its declaration, or in "
                "another order");

  template <std::size_t I>
  using ParamType = std::tuple_element_t<kReceivers + I, Params>;
  template <std::size_t I>
  using Converter = typename ConverterFor<Decl, I, ParamType<I>>::type;

  template <class... Receiver>
  static PyObject* run(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       Receiver... receiver) {
    static_assert(sizeof...(Receiver) == kReceivers);
    return run_with(std::make_index_sequence<kArity>{}, args, nargs, kwnames, receiver...);
  }

  // The no-argument convention: the interpreter refuses any argument.
  static PyObject* run_without_arguments() {
    static_assert(kArity == 0 && kReceivers == 0);
    return guarded([] { return reply(Body::run(), Decl.io_failures); });
  }

 private:
  template <std::size_t... I, class... Receiver>
  static PyObject* run_with(std::index_sequence<I...>, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, Receiver... receiver) {
    return guarded([&]() -> PyObject* {
      PyObject* bound[kArity + 1] = {};
      // Every parameter given by position (keyword-only ones always come
      // last, so none exists here): nothing to bind.
      if (kwnames == nullptr && static_cast<std::size_t>(nargs) == kArity &&
          (kArity == 0 || !Decl.params[kArity - 1].keyword_only)) {
        for (std::size_t i = 0; i < kArity; ++i) bound[i] = args[i];
      } else if (!bind_arguments(Decl, args, nargs, kwnames, bound)) {
        return nullptr;
      }
      std::tuple<ParamType<I>...> values;
      if (!(convert_one<I>(bound[I], std::get<I>(values)) && ...)) return nullptr;
      return reply(Body::run(receiver..., std::move(std::get<I>(values))...), Decl.io_failures);
    });
  }

  template <std::size_t I>
  static bool convert_one(PyObject* obj, ParamType<I>& out) {
    using C = Converter<I>;
    constexpr const ParamDecl& param = Decl.params[I];
    if constexpr (!param.required()) {
      static_assert(takes_default<C>(param.default_value.kind),
                    "a declared default is not one this parameter's converter can take");
      if (obj == nullptr) {
        out = C::from_default(param.default_value);
        return true;
      }
    }
    if (C::convert(obj, out)) return true;
    rename_conversion_error(param.name);
    return false;
  }
};

}  // namespace tavolin::py
