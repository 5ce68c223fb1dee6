// The recursion check around one call of the module.
#pragma once

#include "binding/stack_bounds.hpp"

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace gridflip {

// Stack a call may still need below its entry: its own work, an abort report with a
// backtrace, and the argument hooks' code down to the next entry's check.
inline constexpr std::size_t stack_reserve = 256 * 1024;

// One level of recursion for its lifetime, counted by the interpreter. A level is refused, with
// RecursionError pending and nothing counted, when the interpreter's count is used up or when
// less than `stack_reserve` of the thread's stack is left: at about 2 KB of stack per level of
// mutate called from an argument hook, the interpreter's count alone lets a thread with a stack
// of 7 MiB or less overflow it. Needs the lock at construction and at destruction.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where) noexcept : entered_(enter(where)) {}
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  ~RecursionGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }

  bool entered() const noexcept { return entered_; }

 private:
  static bool enter(const char* where) noexcept {
    // Stacks grow down on every platform this builds for. A frame outside the bounds
    // runs on a stack of someone else's making, which only the interpreter's count covers.
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    const StackBounds stack = thread_stack_bounds();
    if (stack.low < here && here < stack.high && here - stack.low < stack_reserve) {
      PyErr_Format(PyExc_RecursionError,
                   "maximum recursion depth exceeded%s (the thread's stack is nearly used up)",
                   where);
      return false;
    }
    return Py_EnterRecursiveCall(where) == 0;
  }

  bool entered_;
};

}  // namespace gridflip
