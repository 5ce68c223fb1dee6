// The fuzzer's stand-ins for the abort report's platform services: silent, so the
// index aborts the harness provokes by the thousand do not flood libFuzzer's output.
#include "report/report.hpp"

#include <cstdlib>

namespace gridflip {

void write_stderr(std::string_view) noexcept {}

std::uint64_t current_thread_id() noexcept { return 1; }

// No backtrace switch: every report takes the short, backtrace-free form.
const char* read_environment(const char*) noexcept { return nullptr; }

[[noreturn]] void terminate_process() noexcept { std::abort(); }

void write_backtrace(BacktraceMode, int) noexcept {}

}  // namespace gridflip
