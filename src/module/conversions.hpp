// Conversions of arguments (Python objects to native values, with the
// interpreter's own error forms) and of results (native values to new
// Python objects).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "api/signatures.hpp"
#include "common/failure.hpp"
#include "common/secret.hpp"
#include "module/compat.hpp"
#include "module/exceptions.hpp"
#include "module/pyref.hpp"

namespace tavolin::py {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- conversions
// Each converter has `value_type`, `python_type` (the Python type a
// declaration names for it, e.g. "pathlib.Path") and
// `static bool convert(PyObject*, value_type&)`, which leaves a Python
// exception set on failure. A converter that can take a declared default
// also has `default_kind` and `from_default(const Default&)`.

struct Text {  // borrowed UTF-8 view; valid while the argument is alive
  using value_type = std::string_view;
  static constexpr std::string_view python_type = "str";
  static bool convert(PyObject* obj, value_type& out) {
#ifndef Py_LIMITED_API
    if (PyUnicode_CheckExact(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) {  // hot path
      out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                             static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj)));
      return true;
    }
#endif
    return convert_slow(obj, out);
  }
  static bool convert_slow(PyObject* obj, value_type& out);
};
struct OwnedText {
  using value_type = std::string;
  static constexpr std::string_view python_type = "str";
  static constexpr Default::Kind default_kind = Default::Kind::text;
  static value_type from_default(const Default& d) { return value_type(d.text_value); }
  static bool convert(PyObject* obj, value_type& out);
};
struct OptionalText {  // None means absent
  using value_type = std::optional<std::string>;
  static constexpr std::string_view python_type = "str | None";
  static constexpr Default::Kind default_kind = Default::Kind::none;
  static value_type from_default(const Default&) { return std::nullopt; }
  static bool convert(PyObject* obj, value_type& out);
};
struct Bool {
  using value_type = bool;
  static constexpr std::string_view python_type = "bool";
  static constexpr Default::Kind default_kind = Default::Kind::boolean;
  static value_type from_default(const Default& d) { return d.boolean_value; }
  static bool convert(PyObject* obj, value_type& out) {
    out = obj == Py_True;  // hot path: the two singletons
    return obj == Py_True || obj == Py_False || convert_slow(obj, out);
  }
  static bool convert_slow(PyObject* obj, value_type& out);
};
struct U64 {
  using value_type = std::uint64_t;
  static constexpr std::string_view python_type = "int";
  static constexpr Default::Kind default_kind = Default::Kind::integer;
  static value_type from_default(const Default& d) { return d.integer_value; }
  static bool convert(PyObject* obj, value_type& out);
};
struct I32 {
  using value_type = std::int32_t;
  static constexpr std::string_view python_type = "int";
  static bool convert(PyObject* obj, value_type& out);
};
struct Path {  // file-system encoded bytes of os.fspath(obj) (a str)
  using value_type = std::string;
  static constexpr std::string_view python_type = "pathlib.Path";
  static bool convert(PyObject* obj, value_type& out);
};
struct BytesObject {
  using value_type = Bytes;
  static constexpr std::string_view python_type = "bytes";
  static bool convert(PyObject* obj, value_type& out);
};
struct ByteSequence {  // key material: held as SecretBytes
  using value_type = SecretBytes;
  static constexpr std::string_view python_type = "bytes";
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

// Iterates a sequence argument (refused as every "list of X" refuses it):
// `reserve(n)` is told the bounded capacity hint first, then `take(item)`
// gets each borrowed item and returns false (with an exception set) to stop.
template <class Reserve, class Take>
bool for_each_item(PyObject* obj, Reserve&& reserve, Take&& take) {
  Py_ssize_t hint = 0;
  const PyRef iter = PyRef::steal(begin_sequence(obj, hint));
  if (!iter) return false;
  reserve(capacity_from_hint(hint));
  while (const PyRef item = PyRef::steal(PyIter_Next(iter.get()))) {
    if (!take(item.get())) return false;
  }
  return !PyErr_Occurred();
}

// "list[" + the element's Python type + "]", kept in static storage.
template <const std::string_view& Element>
struct ListTypeText {
  static constexpr auto storage = [] {
    constexpr std::string_view open = "list[";
    std::array<char, open.size() + Element.size() + 1> out{};
    std::size_t at = 0;
    for (char c : open) out[at++] = c;
    for (char c : Element) out[at++] = c;
    out[at] = ']';
    return out;
  }();
  static constexpr std::string_view value{storage.data(), storage.size()};
};

template <class C>
struct ListOf {
  using value_type = std::vector<typename C::value_type>;
  static constexpr std::string_view python_type = ListTypeText<C::python_type>::value;
  static constexpr Default::Kind default_kind = Default::Kind::list;
  static value_type from_default(const Default&) { return {}; }
  static bool convert(PyObject* obj, value_type& out) {
    out.clear();
    return for_each_item(
        obj, [&](std::size_t n) { out.reserve(n); },
        [&](PyObject* item) {
          typename C::value_type value{};
          if (!C::convert(item, value)) return false;
          out.push_back(std::move(value));
          return true;
        });
  }
};

// The converters a binding may use for a parameter whose body takes a `T`
// (by value): the one whose Python type is the declared type is chosen. A
// converter with a new value type adds a specialisation beside it.
template <class... Cs>
struct ConverterSet {
  // The index of the converter for `python_type`, or sizeof...(Cs) if none.
  static consteval std::size_t find(std::string_view python_type) {
    std::size_t index = 0;
    bool found = false;
    ((found = found || Cs::python_type == python_type, index += found ? 0 : 1), ...);
    return index;
  }
  template <std::size_t I>
  using at = std::tuple_element_t<I, std::tuple<Cs...>>;
};

template <class T>
struct ConvertersTo {
  using type = ConverterSet<>;
};
template <>
struct ConvertersTo<std::string_view> {
  using type = ConverterSet<Text>;
};
template <>
struct ConvertersTo<std::string> {
  using type = ConverterSet<OwnedText, Path>;
};
template <>
struct ConvertersTo<std::optional<std::string>> {
  using type = ConverterSet<OptionalText>;
};
template <>
struct ConvertersTo<bool> {
  using type = ConverterSet<Bool>;
};
template <>
struct ConvertersTo<std::uint64_t> {
  using type = ConverterSet<U64>;
};
template <>
struct ConvertersTo<std::int32_t> {
  using type = ConverterSet<I32>;
};
template <>
struct ConvertersTo<Bytes> {
  using type = ConverterSet<BytesObject>;
};
template <>
struct ConvertersTo<SecretBytes> {
  using type = ConverterSet<ByteSequence>;
};
template <class Set>
struct ListsOf;
template <class... Cs>
struct ListsOf<ConverterSet<Cs...>> {
  using type = ConverterSet<ListOf<Cs>...>;
};
template <class T>
struct ConvertersTo<std::vector<T>> {
  using type = typename ListsOf<typename ConvertersTo<T>::type>::type;
};


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
#ifdef Py_LIMITED_API
  // One call of the stable ABI instead of a new tuple and a checked store
  // per member.
  std::array<PyRef, sizeof...(Ts)> members;
  bool converted = true;
  std::size_t at = 0;
  std::apply(
      [&](const auto&... member) {
        ((converted = converted && (members[at++] = PyRef::steal(to_python(member)))), ...);
      },
      items);
  if (!converted) return nullptr;
  return std::apply(
      [](const auto&... member) {
        return PyTuple_Pack(static_cast<Py_ssize_t>(sizeof...(Ts)), member.get()...);
      },
      members);
#else
  PyRef tuple = PyRef::steal(PyTuple_New(sizeof...(Ts)));
  if (!tuple) return nullptr;
  bool ok = true;
  Py_ssize_t index = 0;
  std::apply(
      [&](const auto&... member) {
        ((ok = ok && [&] {
           PyObject* item = to_python(member);
           if (item == nullptr) return false;
           compat::set_tuple_item(tuple.get(), index++, item);
           return true;
         }()),
         ...);
      },
      items);
  return ok ? tuple.release() : nullptr;
#endif
}

// A new list of `convert(item)` for each of `items` (each a new reference, or
// nullptr with an exception set, which drops the list: unset slots are NULL,
// which list deallocation skips).
template <class Range, class Convert>
PyObject* list_of(const Range& items, Convert&& convert) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  Py_ssize_t index = 0;
  for (const auto& item : items) {
    PyObject* obj = convert(item);
    if (obj == nullptr) return nullptr;
    compat::set_list_item(list.get(), index++, obj);
  }
  return list.release();
}

template <class T>
PyObject* to_python(const std::vector<T>& items) {
  return list_of(items, [](const T& item) { return to_python(item); });
}

}  // namespace tavolin::py
