// The call frame: the one place where C++ meets the interpreter. The body runs
// inside a catch for aborts, and nothing of any kind unwinds into the interpreter.
#pragma once

#include "binding/py_error.hpp"
#include "report/call_abort.hpp"

#include <optional>

namespace gridflip {

// Runs `body` (returning PyResult<PyRef>) and hands its outcome to the
// interpreter: a new reference, or null with an exception set. Must be entered
// with the interpreter lock held.
template <class Body>
PyObject* run_call_frame(Body&& body) noexcept {
  const BoundaryGuard guard("uncaught panic at ffi boundary");
  try {
    std::optional<PyResult<PyRef>> outcome;
    std::optional<CallAbort> abort;
    try {
      outcome.emplace(body());
    } catch (CallAbort& caught) {
      // Every owner inside the body has released what it held by now.
      abort.emplace(std::move(caught));
    } catch (...) {
      fail_on_foreign_exception();
    }
    if (abort) {
      lower_aborts_in_flight();
      set_interpreter_error(raise_abort(*abort));
      return nullptr;
    }
    if (!outcome->ok()) {
      set_interpreter_error(std::move(outcome->error()));
      return nullptr;
    }
    return outcome->value().release();
  } catch (...) {
    // Turning the failure into an exception failed in its turn.
    guard.trip();
  }
}

}  // namespace gridflip
