// Naming code addresses for backtrace entries. One symboliser is built in:
// backtrace_libbacktrace.cpp, or backtrace_unnamed.cpp where the compiler has no libbacktrace.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace gridflip {

struct FrameText {
  std::string name;  // as the object spells it (possibly mangled); empty when unknown
  std::string file;  // source file; empty when no debug information covers the code
  int line = 0;
};

// Appends what names the code at `pc` (an address inside the call instruction,
// not the return address): calls inlined there first, innermost first, then the
// function holding them. Appends nothing when nothing names it. Never aborts; may
// throw std::bad_alloc.
void describe_code(std::uintptr_t pc, std::vector<FrameText>& entries);

}  // namespace gridflip
