// What the reports below the binding need of the interpreter.
#pragma once

#include "binding/py_error.hpp"
#include "report/report.hpp"

namespace gridflip {

// A report releases the interpreter lock while it blocks, as os.write does, and runs the signal
// handlers when a signal cuts it short on the main thread; a handler that raises ends it.
extern const BlockingHooks interpreter_blocking_hooks;

// The error a caught abort is raised as, given its PanicException `panic`: `panic` itself, or the
// exception of a signal handler that cut the abort's report short, with the PanicException as its
// __context__. Aborts when `panic` gives no exception object (exception_object).
PyErr with_handler_exception(PyErr panic);

}  // namespace gridflip
