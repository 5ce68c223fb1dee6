// A process-wide cell filled once, under the interpreter lock, by one thread at a time.
#pragma once

#include "binding/py_ref.hpp"

#include <atomic>
#include <mutex>

namespace gridflip {

// Holds a strong reference that is never released. A thread that must wait for
// the filler waits with the interpreter lock released, so the filler can take
// the lock back; a fill that fails or aborts leaves the cell empty.
class PyOnceCell {
 public:
  PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

  // `make` runs with the lock held and returns a new reference, or null to leave
  // the cell empty (its error is then the caller's to report). It may throw.
  template <class Make>
  PyObject* get_or_fill(Make&& make) {
    if (PyObject* value = get()) return value;
    PyThreadState* saved = PyEval_SaveThread();
    std::unique_lock region(region_);
    PyEval_RestoreThread(saved);
    if (PyObject* value = get()) return value;
    PyObject* made = make();
    if (made != nullptr) value_.store(made, std::memory_order_release);
    return made;
  }

 private:
  std::mutex region_;
  std::atomic<PyObject*> value_{nullptr};
};

}  // namespace gridflip
