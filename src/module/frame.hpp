// The binding layer: argument binding and conversion, result conversion and
// the mapping of native failures to Python exceptions. The only place (with
// the other files of src/module) that includes Python.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include <cxxabi.h>

#include <exception>

#include "capabilities/signatures.hpp"
#include "common/interrupt.hpp"
#include "common/secret.hpp"
#include "common/failure.hpp"

namespace tavolin::py {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- exceptions

// Returns the PanicException type, creating it on first use (lock held).
PyObject* panic_exception_type();

// Raise the exception of `failure`; IoFailures go to OSError unless
// `io_as_value_error`. Always returns nullptr.
enum class IoRoute : std::uint8_t { os_error, value_error };
PyObject* raise_failure(const Failure& failure, IoRoute route);
PyObject* raise_internal_fault(std::string_view message, const char* file, int line);

// "'{type}' object cannot be converted to '{target}'"
void raise_downcast_error(PyObject* obj, const char* target);

// Runs `body` and maps escaping C++ exceptions: bad_alloc -> MemoryError,
// anything else -> PanicException. Nothing crosses into the interpreter but
// the forced unwinding with which the interpreter ends a thread at exit
// (no frame of an entry point is noexcept, so that unwinding goes through).
template <class Body>
PyObject* guarded(Body&& body) {
  try {
    return body();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal_fault(e.what(), __FILE__, __LINE__);
  } catch (...) {
    return raise_internal_fault({}, __FILE__, __LINE__);
  }
}

// Runs `f` with the interpreter lock released and returns its result (an
// exception of `f` is rethrown once the lock is back).
//
// The lock is taken back by a plain call, never in a destructor and never in
// a noexcept frame: while the interpreter exits, it ends a daemon thread that
// asks for the lock by unwinding the thread's stack (abi::__forced_unwind),
// and that unwinding must be able to leave through every frame above.
template <class F>
auto released(F&& f) -> decltype(f()) {
  using R = decltype(f());
  PyThreadState* const thread = PyEval_SaveThread();
  std::optional<R> result;
  std::exception_ptr failure;
  try {
    result.emplace(f());
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(thread);
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

// The Interrupt of a call that runs with the interpreter lock released.
// Python runs signal handlers only in the interpreter's main thread, so only
// there does it look: after every interrupted system call, and otherwise
// about every 50 ms of work (one coarse clock read per question decides). It
// takes the lock back briefly and runs the pending handlers; a handler that
// raises (Ctrl-C) stops the call, a handler that returns lets it go on. In
// any other thread it never stops a call and never touches Python.
//
// Constructed with the lock held; after the call, with the lock held again,
// `raised()` tells whether a handler's exception stopped it (that exception
// is then the one set).
class SignalWatch final : public Interrupt {
 public:
  SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  bool should_stop(bool after_signal) override;
  [[nodiscard]] bool raised() const { return raised_; }

 private:
  PyThreadState* thread_ = nullptr;  // nullptr outside the main thread
  std::int64_t next_check_ns_ = 0;
  bool raised_ = false;
};

// Records the interpreter's main thread (module initialisation; again in a
// forked child, whose main thread is the one that forked).
void watch_main_thread();

// ---------------------------------------------------------------- conversions
// Each converter has `value_type` and `static bool convert(PyObject*, value_type&)`
// which leaves a Python exception set on failure.

struct Text {  // borrowed UTF-8 view; valid while the argument is alive
  using value_type = std::string_view;
  static bool convert(PyObject* obj, value_type& out) {
    if (PyUnicode_CheckExact(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) {  // hot path
      out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                             static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
      return true;
    }
    return convert_slow(obj, out);
  }
  static bool convert_slow(PyObject* obj, value_type& out);
};
struct OwnedText {
  using value_type = std::string;
  static bool convert(PyObject* obj, value_type& out);
};
struct OptionalText {  // None means absent
  using value_type = std::optional<std::string>;
  static bool convert(PyObject* obj, value_type& out);
};
struct Bool {
  using value_type = bool;
  static bool convert(PyObject* obj, value_type& out) {
    if (obj == Py_True || obj == Py_False) {  // hot path
      out = (obj == Py_True);
      return true;
    }
    return convert_slow(obj, out);
  }
  static bool convert_slow(PyObject* obj, value_type& out);
};
struct U64 {
  using value_type = std::uint64_t;
  static bool convert(PyObject* obj, value_type& out);
};
struct I32 {
  using value_type = std::int32_t;
  static bool convert(PyObject* obj, value_type& out);
};
struct Path {  // file-system encoded bytes of os.fspath(obj) (a str)
  using value_type = std::string;
  static bool convert(PyObject* obj, value_type& out);
};
struct BytesObject {
  using value_type = Bytes;
  static bool convert(PyObject* obj, value_type& out);
};
struct ByteSequence {  // key material: held as SecretBytes
  using value_type = SecretBytes;
  static bool convert(PyObject* obj, value_type& out);
};

// Shared front of every "list of X": refuses str and non-sequences, returns a
// new iterator reference (or nullptr with an exception set) and a size hint.
PyObject* begin_sequence(PyObject* obj, Py_ssize_t& hint);

// The reported length is only a hint (a sequence may lie about it): reserve
// at most a bounded number of elements up front and let the vector grow.
inline std::size_t capacity_from_hint(Py_ssize_t hint) {
  constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 20;
  return hint > 0 ? static_cast<std::size_t>(hint < kMaxReserve ? hint : kMaxReserve) : 0;
}

template <class C>
struct ListOf {
  using value_type = std::vector<typename C::value_type>;
  static bool convert(PyObject* obj, value_type& out) {
    Py_ssize_t hint = 0;
    PyObject* iter = begin_sequence(obj, hint);
    if (iter == nullptr) return false;
    out.clear();
    out.reserve(capacity_from_hint(hint));
    while (PyObject* item = PyIter_Next(iter)) {
      typename C::value_type value{};
      const bool ok = C::convert(item, value);
      Py_DECREF(item);
      if (!ok) {
        Py_DECREF(iter);
        return false;
      }
      out.push_back(std::move(value));
    }
    Py_DECREF(iter);
    return !PyErr_Occurred();
  }
};

// An optional parameter: std::nullopt when omitted (the default applies).
template <class C>
struct Opt {
  using value_type = std::optional<typename C::value_type>;
  static bool convert(PyObject* obj, value_type& out) {
    typename C::value_type value{};
    if (!C::convert(obj, value)) return false;
    out = std::move(value);
    return true;
  }
};

// ---------------------------------------------------------------- binding

// Binds fast-call arguments to the parameters of `decl`; `bound` receives
// borrowed references (nullptr for omitted parameters). Raises the binding
// TypeErrors and returns false on failure.
bool bind_arguments(const FunctionDecl& decl, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound);

// Re-raises a pending TypeError as "argument '{name}': {message}" (keeping
// the cause); other exceptions pass through unchanged.
void rename_conversion_error(std::string_view param_name);

// ---------------------------------------------------------------- results

PyObject* to_python(std::string_view text);
inline PyObject* to_python(const std::string& text) { return to_python(std::string_view(text)); }
inline PyObject* to_python(const char* text) { return to_python(std::string_view(text)); }
PyObject* to_python(bool value);
PyObject* to_python(std::uint64_t value);
PyObject* to_python(std::int64_t value);
PyObject* to_python(__int128 value);
PyObject* to_python(const Bytes& bytes);

template <class T>
PyObject* to_python(const std::vector<T>& items);
template <class... Ts>
PyObject* to_python(const std::tuple<Ts...>& items);
template <class A, class B>
PyObject* to_python(const std::pair<A, B>& items) {
  return to_python(std::tuple<const A&, const B&>(items.first, items.second));
}

template <class... Ts>
PyObject* to_python(const std::tuple<Ts...>& items) {
  PyObject* tuple = PyTuple_New(sizeof...(Ts));
  if (tuple == nullptr) return nullptr;
  bool ok = true;
  Py_ssize_t index = 0;
  std::apply(
      [&](const auto&... member) {
        ((ok = ok && [&] {
           PyObject* item = to_python(member);
           if (item == nullptr) return false;
           PyTuple_SET_ITEM(tuple, index++, item);
           return true;
         }()),
         ...);
      },
      items);
  if (!ok) {
    Py_DECREF(tuple);
    return nullptr;
  }
  return tuple;
}

template <class T>
PyObject* to_python(const std::vector<T>& items) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (list == nullptr) return nullptr;
  Py_ssize_t index = 0;
  for (const T& item : items) {
    PyObject* obj = to_python(item);
    if (obj == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, index++, obj);
  }
  return list;
}

// Converts a Result: the value to Python, or the failure to its exception.
template <class T>
PyObject* finish(const Result<T>& result, IoRoute route = IoRoute::os_error) {
  if (!result) return raise_failure(result.error(), route);
  return to_python(*result);
}
template <class T>
PyObject* finish(const IoResult<T>& result, IoRoute route = IoRoute::os_error) {
  if (!result) return raise_failure(Failure(result.error()), route);
  return to_python(*result);
}

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
