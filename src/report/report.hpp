// The abort report on descriptor 2 (never sys.stderr), and the platform services it needs.
#pragma once

#include <cstdint>
#include <source_location>
#include <span>
#include <string>
#include <string_view>

namespace gridflip {

enum class BacktraceMode { off, short_form, full };

// Writes one abort report for `message` at `where`. Its backtrace is named first, with the
// interpreter lock held; only the wait for the report lock and the writes let it go (see
// BlockingHooks). `skip_frames` drops the reporting machinery's own frames from the backtrace.
// Never fails; write errors are ignored and a closed descriptor 2 drops the report.
void write_abort_report(std::string_view message, std::source_location where, BacktraceMode mode,
                        int skip_frames) noexcept;

// The process's mode, read once from GRIDFLIP_BACKTRACE.
BacktraceMode process_backtrace_mode() noexcept;

// How a report lets the rest of the process run while it blocks. Descriptor 2 may be a pipe that a
// thread of this very process empties (a capture tool's reader, a notebook kernel's forwarder);
// if the report kept that thread from running while it waits for the pipe, neither would ever go
// on. The binding installs the interpreter's hooks at import; until then a report blocks as any
// system call does. Every hook is called on the reporting thread and never fails.
struct BlockingHooks {
  // Lets the process's other threads run; returns what step_back needs, or null when the calling
  // thread holds nothing that could keep them from it.
  void* (*step_aside)() noexcept;
  void (*step_back)(void* token) noexcept;
  // Asked when a signal cut a wait or a write short, with the token of step_aside (which it may
  // renew): true when the user asked to interrupt the program, so that the report is given up.
  bool (*interrupt_requested)(void*& token) noexcept;
};
void install_blocking_hooks(const BlockingHooks* hooks) noexcept;

// While one lives, the calling thread has stepped aside through the installed hooks. Regions nest
// on a thread; the outermost one steps aside and back, and the inner ones share it.
class BlockingRegion {
 public:
  BlockingRegion() noexcept;
  ~BlockingRegion();
  BlockingRegion(const BlockingRegion&) = delete;
  BlockingRegion& operator=(const BlockingRegion&) = delete;

  // After a blocking call failed with EINTR: true when the output of this region is to be given
  // up. Once true it stays true for the rest of the outermost region.
  bool stop_after_signal() noexcept;
  bool stopped() const noexcept;
};

// Platform services (report_posix.cpp). None of them fails visibly.
// Writes all of `text` to descriptor 2 inside a BlockingRegion, retrying after signals unless the
// region is to stop; a region already stopped writes nothing.
void write_stderr(std::string_view text) noexcept;
// The report lock, held while one report is written, so that reports of different threads never
// interleave; to be taken inside a BlockingRegion. False, with the lock not taken, when the
// region stopped while waiting. A forked child finds it free.
bool lock_reports(BlockingRegion& region) noexcept;
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
