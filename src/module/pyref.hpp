// The one owner of a Python reference: released (Py_XDECREF) when the owner
// goes, on every path. Only for code that holds the interpreter lock for the
// owner's whole life: never keep one alive across `released()`, where a
// thread ended at interpreter exit unwinds without the lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tavolin::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (nullptr allowed: a failed call).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Adds a reference to a borrowed one.
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = other.release();
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  [[nodiscard]] PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace tavolin::py
