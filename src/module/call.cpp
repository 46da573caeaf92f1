#include "module/call.hpp"

#include <string>
#include <vector>

#include "module/compat.hpp"

namespace tavolin::py {

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
    const Py_ssize_t nkw = compat::tuple_size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = compat::tuple_item(kwnames, k);
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

void FastCallArgs::release() {
  for (PyObject* obj : stack) Py_DECREF(obj);
  stack.clear();
  Py_CLEAR(kwnames);
}

bool lay_out_fast_call(PyObject* args, PyObject* kwargs, FastCallArgs& out) {
  out.nargs = compat::tuple_size(args);
  const Py_ssize_t nkw = kwargs != nullptr ? compat::dict_size(kwargs) : 0;
  out.stack.reserve(static_cast<std::size_t>(out.nargs + nkw));
  for (Py_ssize_t i = 0; i < out.nargs; ++i) {
    out.stack.push_back(Py_NewRef(compat::tuple_item(args, i)));
  }
  if (nkw == 0) return true;
  out.kwnames = PyTuple_New(nkw);
  if (out.kwnames == nullptr) return false;
  Py_ssize_t pos = 0;
  Py_ssize_t index = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (index < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
    compat::set_tuple_item(out.kwnames, index++, Py_NewRef(key));
    out.stack.push_back(Py_NewRef(value));
  }
  return true;
}

void rename_conversion_error(std::string_view param_name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  const PyRef value = take_exception();
  const PyRef text = PyRef::steal(value ? PyObject_Str(value.get()) : nullptr);
  if (!text) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "argument conversion failed");
    return;
  }
  const PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(
      param_name.data(), static_cast<Py_ssize_t>(param_name.size())));
  const PyRef message = PyRef::steal(
      name ? PyUnicode_FromFormat("argument '%U': %U", name.get(), text.get()) : nullptr);
  const PyRef renamed =
      PyRef::steal(
      message ? PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr) : nullptr);
  if (!renamed) return;
  // The cause of the conversion's error becomes the cause of the new one.
  PyException_SetCause(renamed.get(), PyException_GetCause(value.get()));
  PyErr_SetObject(PyExc_TypeError, renamed.get());
}

}  // namespace tavolin::py
