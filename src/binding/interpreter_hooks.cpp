// The interpreter's side of a report that blocks: releasing and retaking its lock, and running
// its signal handlers.
#include "binding/interpreter_hooks.hpp"

#include <utility>

// The interpreter's own test of whether signal handlers run on the calling thread (its main
// thread, in the main interpreter): exported by 3.13, declared only in its internal headers.
extern "C" int _PyOS_IsMainThread(void);

namespace gridflip {
namespace {

// The exception of a signal handler that cut this thread's report short, until its call frame
// takes it. Raw: a thread_local owner would drop it without the lock when the thread ends.
constinit thread_local PyObject* t_handler_exception = nullptr;

SteppedAside step_aside() noexcept {
  // A thread that does not hold the interpreter lock has nothing to release; the finalizing one
  // keeps it, since no other thread can take it from then on.
  if (PyThreadState_GetUnchecked() == nullptr || Py_IsFinalizing()) return {};
  const bool runs_handlers = _PyOS_IsMainThread() != 0;
  return {PyEval_SaveThread(), runs_handlers};
}

void step_back(void* token) { PyEval_RestoreThread(static_cast<PyThreadState*>(token)); }

bool run_signal_handlers(void*& token) {
  step_back(std::exchange(token, nullptr));
  const bool handled = PyErr_CheckSignals() == 0;
  if (!handled) Py_XSETREF(t_handler_exception, PyErr_GetRaisedException());
  token = PyEval_SaveThread();
  return handled;
}

}  // namespace

constinit const BlockingHooks interpreter_blocking_hooks{step_aside, step_back,
                                                         run_signal_handlers};

PyErr with_handler_exception(PyErr panic) {
  PyRef raised = PyRef::steal(std::exchange(t_handler_exception, nullptr));
  if (!raised) return panic;
  // As if the handler had raised while the PanicException was being handled. Steals the context.
  PyException_SetContext(raised.get(), Py_NewRef(exception_object(panic)));
  return PyErr::fetched(std::move(raised));
}

}  // namespace gridflip
