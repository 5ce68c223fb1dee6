// The abort report on descriptor 2 (never sys.stderr), and the platform services it needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <source_location>
#include <span>
#include <string>
#include <string_view>

namespace gridflip {

enum class BacktraceMode { off, short_form, full };

// Writes one abort report for `message` at `where`. The whole report, its backtrace named, is
// composed first with the interpreter lock held; only the wait for the report lock and the
// writes let it go (ReportOutput). `skip_frames` drops the reporting machinery's own frames from
// the backtrace. Write errors are ignored and a closed descriptor 2 drops the report. May end the
// calling thread instead of returning (BlockingHooks::step_back); nothing else leaves it.
void write_abort_report(std::string_view message, std::source_location where, BacktraceMode mode,
                        int skip_frames);

// The process's mode, read once from GRIDFLIP_BACKTRACE.
BacktraceMode process_backtrace_mode() noexcept;

// True while the calling thread writes an abort report, except while it runs signal handlers
// between two parts of one (an abort there writes a report of its own).
bool writing_report() noexcept;

// How a report lets the rest of the process run while it blocks. Descriptor 2 may be a pipe that a
// thread of this very process empties (a capture tool's reader, a notebook kernel's forwarder);
// if the report kept that thread from running while it waits for the pipe, neither would ever go
// on. The binding installs the interpreter's hooks at import; until then a report blocks as any
// system call does. Every hook is called on the reporting thread.
struct SteppedAside {
  void* token = nullptr;  // what step_back needs; null when nothing was released
  bool runs_signal_handlers = false;
};
struct BlockingHooks {
  // Lets the process's other threads run.
  SteppedAside (*step_aside)() noexcept;
  // Takes back what step_aside released. It may end the calling thread instead of returning: the
  // interpreter ends a thread that asks for its lock once it is finalizing, by a forced unwind
  // (abi::__forced_unwind), which every frame up to the call frame lets pass.
  void (*step_back)(void* token);
  // After a signal cut a wait or a write short: steps back, runs the pending signal handlers and
  // steps aside again, renewing the token (nulled before stepping back, so that nothing steps
  // back twice). False when a handler raised; its exception is kept for the call frame.
  bool (*run_signal_handlers)(void*& token);
};
void install_blocking_hooks(const BlockingHooks* hooks) noexcept;

// One report's passage to descriptor 2. While it lives, the calling thread has stepped aside
// through the installed hooks; its first write takes the report lock, held to the end, so that
// reports of different threads never interleave. A signal that cuts a wait or a write short is
// answered as os.write answers it (PEP 475): on a thread that runs signal handlers, the report
// lock is let go and the thread leaves its report while the handlers run, the rest is given up
// when one raises, and the lock is taken again when they return; other threads go on waiting.
class ReportOutput {
 public:
  ReportOutput() noexcept;
  // Steps back, so it may end the calling thread (BlockingHooks::step_back).
  ~ReportOutput() noexcept(false);
  ReportOutput(const ReportOutput&) = delete;
  ReportOutput& operator=(const ReportOutput&) = delete;

  // Writes all of `text`; false, writing nothing more, once the rest of the report is given up (a
  // signal handler raised, or descriptor 2 is closed or unusable).
  bool write(std::string_view text);

 private:
  void lock();
  void answer_signal();

  SteppedAside aside_;
  bool was_writing_report_;
  bool holds_lock_ = false;
  bool given_up_ = false;
};

// Writes `text` as a report is written (ReportOutput), for lines that go with one.
void write_report_text(std::string_view text);

// Writes lines that come just before the process ends: the other threads may run meanwhile (one
// of them may be the reader of descriptor 2), and the interpreter lock is never taken back.
void write_final_stderr(std::string_view text) noexcept;

// Platform services (report_posix.cpp). None of them fails visibly.
// One write of `text` to descriptor 2: the count of bytes written, or -errno.
std::ptrdiff_t write_stderr_once(std::string_view text) noexcept;
// Waits for the report lock: 0 once it is taken, or the errno of a wait that a signal cut short.
// A forked child finds it free.
int wait_for_report_lock() noexcept;
void unlock_reports() noexcept;
std::uint64_t current_thread_id() noexcept;
// The C library's text for errno `code`, in `buffer` (not empty) or in the library's own
// storage; null when the library refuses, with its reason in `failure`. Allocates nothing.
const char* describe_system_error(int code, std::span<char> buffer, int& failure) noexcept;
// "<path>+0x<offset>" of the loaded object holding code address `pc`, the address addr2line
// expects; "" when no object holds it. Only the text's allocation can throw.
std::string locate_code(std::uintptr_t pc);
const char* read_environment(const char* name) noexcept;
[[noreturn]] void terminate_process() noexcept;

// The calling thread's stack as backtrace entries, one or two lines each (backtrace.cpp). The
// short form leaves out the first `skip_frames` frames and the reporting machinery's own, and
// ends at the module's entry point. Takes the loader's lock. Never fails; empty when it cannot
// be built.
std::string backtrace_entries(BacktraceMode mode, int skip_frames) noexcept;

}  // namespace gridflip
