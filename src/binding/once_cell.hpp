// A process-wide cell filled once, under the interpreter lock, by one thread at a time.
#pragma once

#include "binding/py_error.hpp"
#include "binding/py_ref.hpp"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace gridflip {

// Holds a strong reference that is never released. A thread that must wait for
// the filler waits with the interpreter lock released, so the filler can take
// the lock back; a fill that fails or aborts leaves the cell empty. The filler
// itself, called back into the module while it fills (by Python code the fill
// runs), gets a RuntimeError at once: waiting for itself would never end.
class PyOnceCell {
 public:
  // `filling` completes "while this thread was ...", e.g. "creating the module".
  explicit PyOnceCell(const char* filling) noexcept : filling_(filling) {}

  PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

  // The cell's value, filled first by `make` if need be. `make` runs with the lock
  // held and returns PyResult<PyRef> (a new reference, or the error that leaves
  // the cell empty). It may throw.
  template <class Make>
  PyResult<PyObject*> get_or_fill(Make&& make) {
    if (PyObject* value = get()) return value;
    const std::thread::id self = std::this_thread::get_id();
    if (filler_.load(std::memory_order_relaxed) == self) {
      return PyErr::described(PyExc_RuntimeError,
                              std::string("deadlock detected: gridflip was called again while "
                                          "this thread was ") +
                                  filling_);
    }
    PyThreadState* saved = PyEval_SaveThread();
    std::unique_lock region(region_);
    PyEval_RestoreThread(saved);
    if (PyObject* value = get()) return value;
    filler_.store(self, std::memory_order_relaxed);
    const FillerReset reset{filler_};
    PyResult<PyRef> made = make();
    if (!made.ok()) return std::move(made.error());
    PyObject* value = made.value().release();
    value_.store(value, std::memory_order_release);
    return value;
  }

 private:
  // Clears the filler on every way out of a fill, an abort's unwinding included.
  struct FillerReset {
    std::atomic<std::thread::id>& filler;
    ~FillerReset() { filler.store(std::thread::id(), std::memory_order_relaxed); }
  };

  const char* filling_;
  std::mutex region_;
  // Written only by the thread inside the region, so a thread that reads its own
  // id here is the filler.
  std::atomic<std::thread::id> filler_{};
  std::atomic<PyObject*> value_{nullptr};
};

}  // namespace gridflip
