// The call frame: the one place where C++ meets the interpreter. The body runs
// inside a catch for aborts, and nothing unwinds into the interpreter but the
// interpreter's own ending of the thread.
#pragma once

#include "binding/interpreter_hooks.hpp"
#include "binding/py_error.hpp"
#include "report/call_abort.hpp"

#include <cxxabi.h>
#include <optional>

namespace gridflip {

// Runs `body` (returning PyResult<PyRef>) and hands its outcome to the
// interpreter: a new reference, or null with an exception set. Must be entered
// with the interpreter lock held.
//
// One exception leaves it, the only one: abi::__forced_unwind, with which the interpreter (its
// pthread_exit) ends a thread that asks for its lock back once finalization has begun, as a
// report that let the lock go does. It is the runtime ending the thread, not a failure of the
// call: stopping it would end the process (std::terminate), and no public call of 3.13 takes the
// lock back without that risk. So every frame from here to the report lets it pass, and the
// owners on the way that would need the thread state (PyRef, RecursionGuard) leave what they hold.
template <class Body>
PyObject* run_call_frame(Body&& body) {
  const BoundaryGuard guard("uncaught panic at ffi boundary");
  try {
    std::optional<PyResult<PyRef>> outcome;
    std::optional<CallAbort> abort;
    try {
      outcome.emplace(body());
    } catch (CallAbort& caught) {
      // Every owner inside the body has released what it held by now.
      abort.emplace(std::move(caught));
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      fail_on_foreign_exception();
    }
    if (abort) {
      lower_aborts_in_flight();
      set_interpreter_error(with_handler_exception(raise_abort(*abort)));
      return nullptr;
    }
    if (!outcome->ok()) {
      set_interpreter_error(std::move(outcome->error()));
      return nullptr;
    }
    return outcome->value().release();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    // Turning the failure into an exception failed in its turn.
    guard.trip();
  }
}

}  // namespace gridflip
