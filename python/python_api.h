// The one way every file of the module includes Python.h, so that
// PY_SSIZE_T_CLEAN is in force everywhere.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quorvane::python {

// A strong reference, released when the holder goes out of scope (also while
// a C++ exception unwinds, which the module boundary turns into MemoryError).
class OwnedRef {
 public:
  OwnedRef() = default;
  explicit OwnedRef(PyObject* object) : object_(object) {}
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }
  void reset() { Py_CLEAR(object_); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace quorvane::python
