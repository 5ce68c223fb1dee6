// The interpreter's side of a report that blocks: releasing and retaking its lock, and interrupts.
#include "binding/interpreter_hooks.hpp"

#include <Python.h>

#include <unistd.h>
#include <csignal>

namespace gridflip {
namespace {

// Once finalization has begun, the interpreter ends any other thread that asks for its lock by
// unwinding it, which the module's frames (noexcept, with catch-all handlers) cannot take. Such a
// thread keeps the lock it holds, and one that stepped aside waits here for the process to end.
[[noreturn]] void wait_for_process_end() noexcept {
  for (;;) ::pause();
}

void* step_aside() noexcept {
  // A thread that does not hold the interpreter lock has nothing to release.
  if (PyThreadState_GetUnchecked() == nullptr || Py_IsFinalizing()) return nullptr;
  return PyEval_SaveThread();
}

void step_back(void* token) noexcept {
  // Finalization cannot have begun on this thread while it was aside: it was blocked here.
  if (Py_IsFinalizing()) wait_for_process_end();
  PyEval_RestoreThread(static_cast<PyThreadState*>(token));
}

bool interrupt_requested(void*& token) noexcept {
  step_back(token);
  // Asking clears the interrupt; it is set pending again, so that the interpreter raises
  // KeyboardInterrupt once the call has raised its own exception.
  const bool interrupted = PyOS_InterruptOccurred() != 0;
  if (interrupted) PyErr_SetInterruptEx(SIGINT);
  token = PyEval_SaveThread();
  return interrupted;
}

}  // namespace

constinit const BlockingHooks interpreter_blocking_hooks{step_aside, step_back,
                                                         interrupt_requested};

}  // namespace gridflip
