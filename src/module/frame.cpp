#include "module/frame.hpp"

#include <pthread.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "encrypted_range/container.hpp"
#include "module/compat.hpp"

namespace tavolin::py {

// ---------------------------------------------------------------- exceptions

namespace {

PyObject* g_panic_type = nullptr;  // created once, used with the lock held
thread_local bool t_in_fault = false;

std::string type_name_of(PyObject* obj) {
  PyObject* name = compat::type_qualname(Py_TYPE(obj));
  if (name == nullptr) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  std::string out = utf8 ? std::string(utf8, static_cast<std::size_t>(size)) : Py_TYPE(obj)->tp_name;
  if (utf8 == nullptr) PyErr_Clear();
  Py_DECREF(name);
  return out;
}

PyObject* os_error_type(const IoFailure& f) {
  if (f.kind == IoKind::os) {
    switch (f.os_error) {
      case ENOENT: return PyExc_FileNotFoundError;
      case EACCES:
      case EPERM: return PyExc_PermissionError;
      case EEXIST: return PyExc_FileExistsError;
      case EAGAIN: return PyExc_BlockingIOError;
      case EINTR: return PyExc_InterruptedError;
      case ETIMEDOUT: return PyExc_TimeoutError;
      case EPIPE: return PyExc_BrokenPipeError;
      case ECONNREFUSED: return PyExc_ConnectionRefusedError;
      case ECONNRESET: return PyExc_ConnectionResetError;
      case ECONNABORTED: return PyExc_ConnectionAbortedError;
      default: return PyExc_OSError;
    }
  }
  switch (f.kind) {
    case IoKind::not_found: return PyExc_FileNotFoundError;
    case IoKind::permission_denied: return PyExc_PermissionError;
    case IoKind::already_exists: return PyExc_FileExistsError;
    case IoKind::would_block: return PyExc_BlockingIOError;
    case IoKind::interrupted: return PyExc_InterruptedError;
    case IoKind::timed_out: return PyExc_TimeoutError;
    case IoKind::broken_pipe: return PyExc_BrokenPipeError;
    case IoKind::connection_refused: return PyExc_ConnectionRefusedError;
    case IoKind::connection_reset: return PyExc_ConnectionResetError;
    case IoKind::connection_aborted: return PyExc_ConnectionAbortedError;
    default: return PyExc_OSError;
  }
}

// Sets `type` with the single argument `text` (so OSError keeps errno None).
PyObject* raise_with_text(PyObject* type, std::string_view text) {
  PyObject* message =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return nullptr;
  PyObject* args = PyTuple_Pack(1, message);
  Py_DECREF(message);
  if (args == nullptr) return nullptr;
  PyErr_SetObject(type, args);
  Py_DECREF(args);
  return nullptr;
}

std::string current_thread_name() {
  char name[32] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
    return "<unnamed>";
  }
  return name;
}

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        "tavolin_native_backend.PanicException",
        "Raised when the native module hits a broken internal invariant.", PyExc_BaseException,
        nullptr);
  }
  return g_panic_type;
}

PyObject* raise_internal_fault(std::string_view message, const char* file, int line) {
  if (t_in_fault) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  t_in_fault = true;
  std::string text = message.empty() ? std::string("internal fault without a message")
                                     : std::string(message);
  std::fprintf(stderr, "tavolin_native_backend: thread '%s' hit an internal fault at %s:%d:\n%s\n",
               current_thread_name().c_str(), file, line, text.c_str());
  PyObject* type = panic_exception_type();
  if (type != nullptr) raise_with_text(type, text);
  t_in_fault = false;
  return nullptr;
}

PyObject* raise_failure(const Failure& failure, IoRoute route) {
  if (const auto* v = std::get_if<ValidationFailure>(&failure)) {
    return raise_with_text(PyExc_ValueError, v->message);
  }
  if (const auto* io = std::get_if<IoFailure>(&failure)) {
    const std::string text = io->text();
    if (route == IoRoute::value_error) return raise_with_text(PyExc_ValueError, text);
    return raise_with_text(os_error_type(*io), text);
  }
  if (const auto* r = std::get_if<ResourceFailure>(&failure)) {
    return raise_with_text(PyExc_RuntimeError, r->message);
  }
  const auto& fault = std::get<InternalFault>(failure);
  return raise_internal_fault(fault.message, fault.file, fault.line);
}

void raise_downcast_error(PyObject* obj, const char* target) {
  std::string message = "'";
  message.append(type_name_of(obj));
  message.append("' object cannot be converted to '");
  message.append(target);
  message.push_back('\'');
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

// ---------------------------------------------------------------- signals

namespace {

// The interpreter's main thread, as PyThread_get_thread_ident() gives it.
std::atomic<unsigned long> g_main_thread{0};

std::int64_t coarse_now_ns() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

constexpr std::int64_t kSignalCheckIntervalNs = 50'000'000;

}  // namespace

void watch_main_thread() {
  static std::once_flag registered;
  std::call_once(registered, [] {
    // After a fork the thread that forked is the child's main thread, for
    // the interpreter as here.
    ::pthread_atfork(nullptr, nullptr,
                     [] { g_main_thread.store(PyThread_get_thread_ident()); });
  });
  unsigned long ident = PyThread_get_thread_ident();
  if (PyObject* threading = PyImport_ImportModule("threading")) {
    PyObject* main = PyObject_CallMethod(threading, "main_thread", nullptr);
    PyObject* value = main ? PyObject_GetAttrString(main, "ident") : nullptr;
    if (value != nullptr && PyLong_Check(value)) {
      const unsigned long main_ident = PyLong_AsUnsignedLong(value);
      if (!PyErr_Occurred()) ident = main_ident;
    }
    Py_XDECREF(value);
    Py_XDECREF(main);
    Py_DECREF(threading);
  }
  PyErr_Clear();  // without threading, the importing thread is the best guess
  g_main_thread.store(ident);
}

SignalWatch::SignalWatch() {
  if (PyThread_get_thread_ident() == g_main_thread.load(std::memory_order_relaxed)) {
    thread_ = PyThreadState_Get();
    next_check_ns_ = coarse_now_ns() + kSignalCheckIntervalNs;
  }
}

bool SignalWatch::should_stop(bool after_signal) {
  if (thread_ == nullptr) return false;
  if (raised_) return true;
  const std::int64_t now = coarse_now_ns();
  if (!after_signal && now < next_check_ns_) return false;
  next_check_ns_ = now + kSignalCheckIntervalNs;
  PyEval_RestoreThread(thread_);
  raised_ = PyErr_CheckSignals() < 0;  // the exception stays set for the caller
  PyEval_SaveThread();
  return raised_;
}

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

bool Bool::convert_slow(PyObject* obj, value_type& out) {
  // numpy booleans: type module "numpy", type name "bool_" or "bool".
  PyTypeObject* type = Py_TYPE(obj);
  const char* full = type->tp_name;
  if (std::strcmp(full, "numpy.bool_") == 0 || std::strcmp(full, "numpy.bool") == 0) {
    PyNumberMethods* nb = type->tp_as_number;
    if (nb == nullptr || nb->nb_bool == nullptr) {
      const std::string msg =
          "object of type '" + type_name_of(obj) + "' does not define a '__bool__' conversion";
      PyErr_SetString(PyExc_TypeError, msg.c_str());
      return false;
    }
    const int truth = nb->nb_bool(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  raise_downcast_error(obj, "PyBool");
  return false;
}

bool U64::convert(PyObject* obj, value_type& out) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool I32::convert(PyObject* obj, value_type& out) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) return false;
  const long long value = PyLong_AsLongLong(index);
  Py_DECREF(index);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < INT32_MIN || value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::int32_t>(value);
  return true;
}

bool Path::convert(PyObject* obj, value_type& out) {
  PyObject* fspath = PyOS_FSPath(obj);
  if (fspath == nullptr) return false;
  if (!PyUnicode_Check(fspath)) {
    raise_downcast_error(fspath, "PyString");
    Py_DECREF(fspath);
    return false;
  }
  PyObject* encoded = PyUnicode_EncodeFSDefault(fspath);
  Py_DECREF(fspath);
  if (encoded == nullptr) return false;
  out.assign(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
  Py_DECREF(encoded);
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
  const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
  out.assign(data, data + PyBytes_GET_SIZE(obj));
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

namespace {
bool convert_byte(PyObject* item, std::uint8_t& out) {
  PyObject* index = PyNumber_Index(item);
  if (index == nullptr) return false;
  const long value = PyLong_AsLong(index);
  Py_DECREF(index);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::uint8_t>(value);
  return true;
}
}  // namespace

bool ByteSequence::convert(PyObject* obj, value_type& out) {
  // Fast paths with the same result as element-wise extraction.
  if (PyBytes_Check(obj)) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
    out.assign(data, data + PyBytes_GET_SIZE(obj));
    return true;
  }
  if (PyByteArray_Check(obj)) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(obj));
    out.assign(data, data + PyByteArray_GET_SIZE(obj));
    return true;
  }
  Py_ssize_t hint = 0;
  PyObject* iter = begin_sequence(obj, hint);
  if (iter == nullptr) return false;
  // Key bytes may arrive this way: growth moves them by hand so that no
  // released buffer keeps a copy, and a failed conversion wipes what it read.
  const auto wipe = [](value_type& bytes) {
    container::wipe_bulk(bytes);
    bytes.clear();
  };
  wipe(out);
  out.reserve(std::max<std::size_t>(capacity_from_hint(hint), 64));
  while (PyObject* item = PyIter_Next(iter)) {
    std::uint8_t byte = 0;
    const bool ok = convert_byte(item, byte);
    Py_DECREF(item);
    if (!ok) {
      Py_DECREF(iter);
      wipe(out);
      return false;
    }
    if (out.size() == out.capacity()) {
      value_type larger;
      larger.reserve(out.capacity() * 2);
      larger.assign(out.begin(), out.end());
      wipe(out);
      out.swap(larger);
    }
    out.push_back(byte);
  }
  Py_DECREF(iter);
  if (PyErr_Occurred()) {
    wipe(out);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------- binding

namespace {

std::string display_name(const FunctionDecl& decl) {
  std::string out(decl.display_prefix);
  out += decl.name;
  out += "()";
  return out;
}

std::string quoted_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else if (i + 1 == names.size()) {
        out += ", and ";
      } else {
        out += ", ";
      }
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool raise_binding(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

}  // namespace

bool bind_arguments(const FunctionDecl& decl, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) {
  const std::size_t count = decl.params.size();
  std::size_t positional = 0;  // parameters that may be given by position
  std::size_t required_positional = 0;
  for (const ParamDecl& p : decl.params) {
    if (p.keyword_only) continue;
    ++positional;
    if (p.required()) ++required_positional;
  }

  const auto given = static_cast<std::size_t>(nargs);
  if (given > positional) {
    std::string msg = display_name(decl) + " takes ";
    if (required_positional == positional) {
      msg += std::to_string(positional);
    } else {
      msg += "from " + std::to_string(required_positional) + " to " + std::to_string(positional);
    }
    msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
           " given";
    return raise_binding(msg);
  }
  for (std::size_t i = 0; i < given; ++i) bound[i] = args[i];
  for (std::size_t i = given; i < count; ++i) bound[i] = nullptr;

  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
      if (utf8 == nullptr) return false;
      const std::string_view name(utf8, static_cast<std::size_t>(size));
      std::size_t index = count;
      for (std::size_t i = 0; i < count; ++i) {
        if (decl.params[i].name == name) {
          index = i;
          break;
        }
      }
      if (index == count) {
        return raise_binding(display_name(decl) + " got an unexpected keyword argument '" +
                             std::string(name) + "'");
      }
      if (bound[index] != nullptr) {
        return raise_binding(display_name(decl) + " got multiple values for argument '" +
                             std::string(name) + "'");
      }
      bound[index] = args[nargs + k];
    }
  }

  std::vector<std::string_view> missing;
  for (std::size_t i = 0; i < count; ++i) {
    const ParamDecl& p = decl.params[i];
    if (!p.keyword_only && p.required() && bound[i] == nullptr) missing.push_back(p.name);
  }
  const char* kind = "positional";
  if (missing.empty()) {
    kind = "keyword";
    for (std::size_t i = 0; i < count; ++i) {
      const ParamDecl& p = decl.params[i];
      if (p.keyword_only && p.required() && bound[i] == nullptr) missing.push_back(p.name);
    }
  }
  if (!missing.empty()) {
    return raise_binding(display_name(decl) + " missing " + std::to_string(missing.size()) +
                         " required " + kind + (missing.size() == 1 ? " argument: " : " arguments: ") +
                         quoted_list(missing));
  }
  return true;
}

void rename_conversion_error(std::string_view param_name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  if (text == nullptr) {
    Py_XDECREF(value);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "argument conversion failed");
    return;
  }
  PyObject* name = PyUnicode_FromStringAndSize(param_name.data(),
                                               static_cast<Py_ssize_t>(param_name.size()));
  PyObject* message = name ? PyUnicode_FromFormat("argument '%U': %U", name, text) : nullptr;
  Py_XDECREF(name);
  Py_DECREF(text);
  PyObject* renamed = message ? PyObject_CallOneArg(PyExc_TypeError, message) : nullptr;
  Py_XDECREF(message);
  if (renamed == nullptr) {
    Py_DECREF(value);
    return;
  }
  // The cause of the conversion's error becomes the cause of the new one.
  PyException_SetCause(renamed, PyException_GetCause(value));
  Py_DECREF(value);
  PyErr_SetObject(PyExc_TypeError, renamed);
  Py_DECREF(renamed);
}

// ---------------------------------------------------------------- results

PyObject* to_python(std::string_view text) {
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
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* to_python(bool value) { return PyBool_FromLong(value ? 1 : 0); }

PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* to_python(std::int64_t value) { return PyLong_FromLongLong(value); }

PyObject* to_python(__int128 value) {
  unsigned char bytes[16];
  auto raw = static_cast<unsigned __int128>(value);
  for (unsigned char& b : bytes) {
    b = static_cast<unsigned char>(raw & 0xFF);
    raw >>= 8;
  }
  return _PyLong_FromByteArray(bytes, sizeof bytes, /*little_endian=*/1, /*is_signed=*/1);
}

PyObject* to_python(const Bytes& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

}  // namespace tavolin::py
