#include "module/exceptions.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "module/compat.hpp"
#include "module/pyref.hpp"

namespace tavolin::py {

namespace {

PyObject* g_panic_type = nullptr;  // created once, used with the lock held
thread_local bool t_in_fault = false;

// The OSError subclass Python itself raises for the errno.
PyObject* os_error_type(int os_error) {
  switch (os_error) {
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

// Sets `type` with the single argument `text` (so OSError keeps errno None).
PyObject* raise_with_text(PyObject* type, std::string_view text) {
  const PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  const PyRef args = PyRef::steal(PyTuple_Pack(1, message.get()));
  if (args) PyErr_SetObject(type, args.get());
  return nullptr;
}

std::string current_thread_name() {
  char name[32] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
    return "<unnamed>";
  }
  return name;
}

// The type's name when its qualified name cannot be had (no memory): tp_name,
// which the limited API does not show.
std::string fallback_type_name([[maybe_unused]] PyObject* obj) {
#ifdef Py_LIMITED_API
  return "object";
#else
  return Py_TYPE(obj)->tp_name;
#endif
}

}  // namespace

std::string type_name_of(PyObject* obj) {
  const PyRef name = PyRef::steal(compat::type_qualname(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return fallback_type_name(obj);
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return fallback_type_name(obj);
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

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
    // Wording kept from the implementation callers first matched: do not reword.
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
  switch (failure.code) {
    case FailureCode::value:
      return raise_with_text(PyExc_ValueError, failure.message);
    case FailureCode::os:
    case FailureCode::interrupted: {
      PyObject* type = route == IoRoute::value_error        ? PyExc_ValueError
                       : failure.code == FailureCode::interrupted ? PyExc_InterruptedError
                       : failure.os_error != 0                  ? os_error_type(failure.os_error)
                                                                : PyExc_OSError;
      return raise_with_text(type, failure.text());
    }
    case FailureCode::resource:
      return raise_with_text(PyExc_RuntimeError, failure.message);
    case FailureCode::internal:
      break;
  }
  return raise_internal_fault(failure.message, failure.where.file_name(),
                              static_cast<int>(failure.where.line()));
}

PyRef take_exception() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::steal(value);
}

void raise_downcast_error(PyObject* obj, const char* target) {
  std::string message = "'";
  message.append(type_name_of(obj));
  message.append("' object cannot be converted to '");
  message.append(target);
  message.push_back('\'');
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

}  // namespace tavolin::py
