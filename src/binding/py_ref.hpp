// PyRef: the one owner of a strong Python reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace gridflip {

// Says at construction whether it steals or borrows; copies add a reference,
// moves null the source, the destructor drops it. Never fails.
class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  static PyRef borrow(PyObject* object) noexcept { return PyRef(Py_XNewRef(object)); }

  PyRef(const PyRef& other) noexcept : object_(Py_XNewRef(other.object_)) {}
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  // A thread that the interpreter ends while it waits for the lock (see run_call_frame) unwinds
  // without its thread state: it leaves its references, as the interpreter leaves those of the
  // thread's Python frames.
  ~PyRef() {
    if (object_ != nullptr && PyThreadState_GetUnchecked() != nullptr) Py_DECREF(object_);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (for results given to the interpreter).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept { Py_CLEAR(object_); }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace gridflip
