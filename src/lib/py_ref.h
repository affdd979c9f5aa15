// PyRef: the owner of one strong Python reference.
//
// It releases the reference when it goes out of scope, so an early return on
// an error path cannot leak, and hands it off only with release() once
// everything has succeeded. Use only with the interpreter lock held.
#pragma once

#include <Python.h>

#include <utility>

namespace quillmere::lib {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (nullptr allowed: a failed API call).
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
  explicit operator bool() const noexcept { return object_ != nullptr; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace quillmere::lib
