// Aborts: failures the module does not recover from, reported on descriptor 2
// and carried as a C++ exception to the call frame, which raises PanicException.
#pragma once

#include <source_location>
#include <string>

namespace gridflip {

// Travels from the point of abort to the call frame; never seen by the interpreter.
// Its text may be empty, which is a text like any other; only an abort made
// without_text() has none.
class CallAbort {
 public:
  explicit CallAbort(std::string message) noexcept : message_(std::move(message)) {}
  static CallAbort without_text() noexcept {
    CallAbort abort{std::string()};
    abort.has_text_ = false;
    return abort;
  }
  const std::string& message() const noexcept { return message_; }
  bool has_text() const noexcept { return has_text_; }

 private:
  std::string message_;
  bool has_text_ = true;
};

// Writes the abort report, then throws CallAbort. Never returns. The report may end the
// calling thread instead (write_abort_report).
[[noreturn]] void abort_call(std::string message,
                             std::source_location where = std::source_location::current());

// Continues an abort that already has its report (one fetched back from Python):
// counts it in flight and throws, writing nothing.
[[noreturn]] void resume_abort(std::string message);

// The call frame's catch lowers this thread's count of aborts in flight.
void lower_aborts_in_flight() noexcept;

// Armed by the call frame for its whole length. Tripped when something escapes
// past the frame's own catch (turning a failure into an exception failed in its
// turn): writes a report with its message and a full backtrace, then ends the
// process, so that nothing unwinds into the interpreter. Only the interpreter's own
// ending of the thread, while the report waits, passes it (write_abort_report).
class BoundaryGuard {
 public:
  explicit BoundaryGuard(const char* message) noexcept : message_(message) {}
  [[noreturn]] void trip(std::source_location where = std::source_location::current()) const;

 private:
  const char* message_;
};

// A C++ exception that is not a CallAbort reached the frame: ends the process.
[[noreturn]] void fail_on_foreign_exception() noexcept;

}  // namespace gridflip
