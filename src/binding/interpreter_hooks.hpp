// What the reports below the binding need of the interpreter.
#pragma once

#include "report/report.hpp"

namespace gridflip {

// A report releases the interpreter lock while it blocks, as os.write does, and gives up when the
// user interrupts the program (SIGINT), leaving the KeyboardInterrupt pending for after the call.
extern const BlockingHooks interpreter_blocking_hooks;

}  // namespace gridflip
