// The symboliser of builds without libbacktrace: names nothing, so every entry
// falls back to its object and offset, which addr2line can name.
#include "report/backtrace_symbols.hpp"

namespace gridflip {

void describe_code(std::uintptr_t, std::vector<FrameText>&) {}

}  // namespace gridflip
