#pragma once
// An owned reference to a Python object, released on destruction.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace rowmender::binding {

class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace rowmender::binding
