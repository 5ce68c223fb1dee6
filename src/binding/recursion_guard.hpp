// The recursion check around one call of the module.
#pragma once

#include "base/stack_bounds.hpp"

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace gridflip {

// Stack that a call made from inside another call of the same thread must find left at its
// entry: the most any call needs below its entry (an abort report with a full backtrace, or the
// printout of a PanicException fetched back from an argument hook), plus one level of hook code
// down to the next entry's check. Measured, then doubled; see the recursion tests.
inline constexpr std::size_t nested_call_reserve = 96 * 1024;

// One level of recursion for its lifetime, counted by the interpreter and by this thread's count
// of calls in progress. A level is refused, with RecursionError pending and nothing counted, when
// the interpreter's count is used up, or when it is nested in another call of this thread and
// less than `nested_call_reserve` of the thread's stack is left. The interpreter's count alone,
// at about 2 KB of stack per level of mutate called from an argument hook, would let a thread
// with a stack of 7 MiB or less overflow it. A call that is not nested is never refused for its
// stack: it cannot recurse, and it needs far less than the smallest stack a thread may have. On a
// stack whose bounds are not known (a coroutine's), only the interpreter's count applies. Needs
// the lock at construction and at destruction.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) noexcept : entered_(enter(where)) {}
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  ~RecursionGuard() {
    if (entered_) {
      --calls_in_progress();
      // Not on a thread that the interpreter ends (see PyRef's destructor).
      if (PyThreadState_GetUnchecked() != nullptr) Py_LeaveRecursiveCall();
    }
  }

  bool entered() const noexcept { return entered_; }

 private:
  static int& calls_in_progress() noexcept {
    constinit thread_local int t_calls = 0;
    return t_calls;
  }

  static bool enter(const char* where) noexcept {
    if (calls_in_progress() > 0) {
      // Stacks grow down on every platform this builds for.
      const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
      const StackBounds stack = thread_stack_bounds(here);
      if (stack.holds(here) && here - stack.low < nested_call_reserve) {
        PyErr_Format(PyExc_RecursionError,
                     "maximum recursion depth exceeded%s (the thread's stack is nearly used up)",
                     where);
        return false;
      }
    }
    if (Py_EnterRecursiveCall(where) != 0) return false;
    ++calls_in_progress();
    return true;
  }

  bool entered_;
};

}  // namespace gridflip
