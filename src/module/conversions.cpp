#include "module/conversions.hpp"

#include <climits>
#include <cstring>
#include <string>

namespace tavolin::py {

// ---------------------------------------------------------------- conversions

bool Text::convert_slow(PyObject* obj, value_type& out) {
  if (!PyUnicode_Check(obj)) {
    raise_downcast_error(obj, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return false;
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool OwnedText::convert(PyObject* obj, value_type& out) {
  std::string_view view;
  if (!Text::convert(obj, view)) return false;
  out.assign(view);
  return true;
}

bool OptionalText::convert(PyObject* obj, value_type& out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  std::string_view view;
  if (!Text::convert(obj, view)) return false;
  out.emplace(view);
  return true;
}

#ifdef Py_LIMITED_API
namespace {

// Whether `type` is numpy's boolean type: a static type whose name (tp_name,
// which the limited API does not show) is "numpy.bool_" or "numpy.bool", that
// is, whose `__module__` is "numpy" and whose `__name__` is "bool_" or
// "bool". 1 or 0, or -1 with an exception set.
int is_numpy_bool_type(PyTypeObject* type) {
  if ((PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) != 0) return 0;
  const auto text_is = [](PyObject* text, const char* expected) {
    return PyUnicode_Check(text) && PyUnicode_CompareWithASCIIString(text, expected) == 0;
  };
  auto* object = reinterpret_cast<PyObject*>(type);
  const PyRef module = PyRef::steal(PyObject_GetAttrString(object, "__module__"));
  if (!module) return -1;
  if (!text_is(module.get(), "numpy")) return 0;
  const PyRef name = PyRef::steal(PyObject_GetAttrString(object, "__name__"));
  if (!name) return -1;
  return text_is(name.get(), "bool_") || text_is(name.get(), "bool") ? 1 : 0;
}

}  // namespace
#endif

bool Bool::convert_slow(PyObject* obj, value_type& out) {
  // numpy booleans: type module "numpy", type name "bool_" or "bool".
  PyTypeObject* type = Py_TYPE(obj);
#ifdef Py_LIMITED_API
  const int numpy_bool = is_numpy_bool_type(type);
  if (numpy_bool < 0) return false;
  if (numpy_bool == 1) {
    const auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
#else
  const char* full = type->tp_name;
  if (std::strcmp(full, "numpy.bool_") == 0 || std::strcmp(full, "numpy.bool") == 0) {
    const PyNumberMethods* nb = type->tp_as_number;
    const inquiry nb_bool = nb != nullptr ? nb->nb_bool : nullptr;
#endif
    if (nb_bool == nullptr) {
      const std::string msg =
          "object of type '" + type_name_of(obj) + "' does not define a '__bool__' conversion";
      PyErr_SetString(PyExc_TypeError, msg.c_str());
      return false;
    }
    const int truth = nb_bool(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  raise_downcast_error(obj, "PyBool");
  return false;
}

bool U64::convert(PyObject* obj, value_type& out) {
  const PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

namespace {

// An index-like integer within [low, high], read with `Read` (whose own
// OverflowError text a huge int keeps), or the interpreter's text for a
// conversion out of that range.
template <auto Read>
bool convert_bounded(PyObject* obj, long long low, long long high, long long& out) {
  const PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return false;
  const long long value = Read(index.get());
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < low || value > high) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = value;
  return true;
}

// The value of an int, or LLONG_MIN/LLONG_MAX for one beyond 64 bits: a
// byte element of any size outside 0 ... 255 gets the same out-of-range text.
long long as_long_saturated(PyObject* index) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
  if (overflow != 0) return overflow > 0 ? LLONG_MAX : LLONG_MIN;
  return value;
}

}  // namespace

bool I32::convert(PyObject* obj, value_type& out) {
  long long value = 0;
  if (!convert_bounded<PyLong_AsLongLong>(obj, INT32_MIN, INT32_MAX, value)) return false;
  out = static_cast<std::int32_t>(value);
  return true;
}

bool Path::convert(PyObject* obj, value_type& out) {
  const PyRef fspath = PyRef::steal(PyOS_FSPath(obj));
  if (!fspath) return false;
  if (!PyUnicode_Check(fspath.get())) {
    raise_downcast_error(fspath.get(), "PyString");
    return false;
  }
  const PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(fspath.get()));
  if (!encoded) return false;
  out.assign(compat::bytes_data(encoded.get()),
             static_cast<std::size_t>(compat::bytes_size(encoded.get())));
  // The system would read the path only up to the NUL: refuse it here, as the
  // interpreter's own file functions do, instead of opening a shorter path.
  if (out.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  return true;
}

bool BytesObject::convert(PyObject* obj, value_type& out) {
  if (!PyBytes_Check(obj)) {
    raise_downcast_error(obj, "PyBytes");
    return false;
  }
  const auto* data = reinterpret_cast<const std::uint8_t*>(compat::bytes_data(obj));
  out.assign(data, data + compat::bytes_size(obj));
  return true;
}

PyObject* begin_sequence(PyObject* obj, Py_ssize_t& hint) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return nullptr;
  }
  if (!PySequence_Check(obj)) {
    raise_downcast_error(obj, "Sequence");
    return nullptr;
  }
  hint = PySequence_Size(obj);
  if (hint < 0) {
    // Only a length that cannot be told is ignored (the iteration decides);
    // any other exception of __len__ (KeyboardInterrupt, MemoryError, ...)
    // ends the conversion unchanged.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyErr_Clear();
    hint = 0;
  }
  return PyObject_GetIter(obj);
}

bool ByteSequence::convert(PyObject* obj, value_type& out) {
  // Fast paths with the same result as element-wise extraction.
  if (PyBytes_Check(obj)) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(compat::bytes_data(obj));
    out = SecretBytes({data, static_cast<std::size_t>(compat::bytes_size(obj))});
    return true;
  }
  if (PyByteArray_Check(obj)) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(compat::bytearray_data(obj));
    out = SecretBytes({data, static_cast<std::size_t>(compat::bytearray_size(obj))});
    return true;
  }
  // Key bytes may arrive one by one: SecretBytes wipes what it gives up as
  // it grows, and a failed conversion wipes what it read.
  out.release();
  const bool ok = for_each_item(
      obj, [](std::size_t) {},
      [&](PyObject* item) {
        long long value = 0;
        if (!convert_bounded<as_long_saturated>(item, 0, 255, value)) return false;
        out.push_back(static_cast<std::uint8_t>(value));
        return true;
      });
  if (!ok) out.release();
  return ok;
}


// ---------------------------------------------------------------- results

PyObject* to_python(std::string_view text) {
#ifndef Py_LIMITED_API
  // Tokens are short ASCII words: build them without a UTF-8 decode.
  if (text.size() <= 64) {
    bool ascii = true;
    for (char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
      PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
      if (out != nullptr && !text.empty()) {
        std::memcpy(PyUnicode_1BYTE_DATA(out), text.data(), text.size());
      }
      return out;
    }
  }
#endif
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* to_python(bool value) { return PyBool_FromLong(value ? 1 : 0); }

PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* to_python(std::int64_t value) { return PyLong_FromLongLong(value); }

PyObject* to_python(__int128 value) {
  // Every time stamp of this era fits 64 bits: the interpreter's fast path.
  if (value >= INT64_MIN && value <= INT64_MAX) {
    return PyLong_FromLongLong(static_cast<long long>(value));
  }
#ifdef Py_LIMITED_API
  // high * 2**64 + low, with the integer operations of the stable ABI.
  const auto raw = static_cast<unsigned __int128>(value);
  const PyRef high = PyRef::steal(PyLong_FromLongLong(static_cast<long long>(value >> 64)));
  const PyRef low = PyRef::steal(PyLong_FromUnsignedLongLong(static_cast<std::uint64_t>(raw)));
  const PyRef bits = PyRef::steal(PyLong_FromLong(64));
  if (!high || !low || !bits) return nullptr;
  const PyRef shifted = PyRef::steal(PyNumber_Lshift(high.get(), bits.get()));
  return shifted ? PyNumber_Or(shifted.get(), low.get()) : nullptr;
#else
  unsigned char bytes[16];
  auto raw = static_cast<unsigned __int128>(value);
  for (unsigned char& b : bytes) {
    b = static_cast<unsigned char>(raw & 0xFF);
    raw >>= 8;
  }
  return _PyLong_FromByteArray(bytes, sizeof bytes, /*little_endian=*/1, /*is_signed=*/1);
#endif
}

PyObject* to_python(const Bytes& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

}  // namespace tavolin::py
