// The abort flow: count, report, throw; and the last-resort process exits.
#include "report/call_abort.hpp"

#include "report/report.hpp"

namespace gridflip {
namespace {

thread_local int t_aborts_in_flight = 0;

constexpr int report_frames = 3;  // backtrace_entries, write_abort_report, start_abort

// May end the calling thread instead of returning (write_abort_report).
[[gnu::noinline]] void start_abort(std::string_view message, std::source_location where,
                                   bool force_full = false) {
  ++t_aborts_in_flight;
  if (writing_report()) {
    write_final_stderr("panicked at ");
    write_final_stderr(where.file_name());
    write_final_stderr(":\n");
    write_final_stderr(message);
    write_final_stderr("\nthread panicked while processing panic. aborting.\n");
    terminate_process();
  }
  const BacktraceMode mode =
      force_full || t_aborts_in_flight >= 2 ? BacktraceMode::full : process_backtrace_mode();
  write_abort_report(message, where, mode, report_frames);
}

}  // namespace

void abort_call(std::string message, std::source_location where) {
  start_abort(message, where);
  throw CallAbort(std::move(message));
}

void resume_abort(std::string message) {
  ++t_aborts_in_flight;
  throw CallAbort(std::move(message));
}

void lower_aborts_in_flight() noexcept {
  if (t_aborts_in_flight > 0) --t_aborts_in_flight;
}

int aborts_in_flight() noexcept { return t_aborts_in_flight; }

void BoundaryGuard::trip(std::source_location where) const {
  // Always a second report in practice; it carries the full backtrace either way.
  start_abort(message_, where, true);
  terminate_process();
}

void fail_on_foreign_exception() noexcept {
  write_final_stderr(
      "fatal runtime error: gridflip cannot catch foreign exceptions (a C++ exception that is "
      "not an abort reached the call frame), aborting\n");
  terminate_process();
}

}  // namespace gridflip
