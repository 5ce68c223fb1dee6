// The abort report on descriptor 2 (never sys.stderr), and the platform services it needs.
#pragma once

#include <cstdint>
#include <source_location>
#include <span>
#include <string>
#include <string_view>

namespace gridflip {

enum class BacktraceMode { off, short_form, full };

// Writes one abort report for `message` at `where`. `skip_frames` drops the
// reporting machinery's own frames from the backtrace. Never fails; write errors
// are ignored and a closed descriptor 2 drops the report.
void write_abort_report(std::string_view message, std::source_location where, BacktraceMode mode,
                        int skip_frames) noexcept;

// The process's mode, read once from GRIDFLIP_BACKTRACE.
BacktraceMode process_backtrace_mode() noexcept;

// Platform services (report_posix.cpp). None of them fails visibly.
void write_stderr(std::string_view text) noexcept;
std::uint64_t current_thread_id() noexcept;
// The C library's text for errno `code`, in `buffer` (not empty) or in the library's own
// storage; null when the library refuses, with its reason in `failure`. Allocates nothing.
const char* describe_system_error(int code, std::span<char> buffer, int& failure) noexcept;
// "<path>+0x<offset>" of the loaded object holding code address `pc`, the address addr2line
// expects; "" when no object holds it. Only the text's allocation can throw.
std::string locate_code(std::uintptr_t pc);
const char* read_environment(const char* name) noexcept;
[[noreturn]] void terminate_process() noexcept;

// The calling thread's stack, written as backtrace entries (backtrace.cpp). The
// short form leaves out the first `skip_frames` frames and the reporting
// machinery's own, and ends at the module's entry point. Never fails.
void write_backtrace(BacktraceMode mode, int skip_frames) noexcept;

}  // namespace gridflip
