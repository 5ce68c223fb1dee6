// The CPU's instruction sets, from libgcc's CPU model.
#include "base/cpu_features.hpp"

namespace gridflip {

bool cpu_runs(InstructionSet set) noexcept {
#if defined(__x86_64__)
  // The check may run before libgcc's own constructor has filled in the CPU model.
  __builtin_cpu_init();
  switch (set) {
    case InstructionSet::baseline:
    case InstructionSet::sse2:  // part of x86-64 itself
      return true;
    case InstructionSet::avx2:
      return __builtin_cpu_supports("avx2") != 0;
    case InstructionSet::avx512f:
      return __builtin_cpu_supports("avx512f") != 0;
  }
  return false;
#else
  return set == InstructionSet::baseline;
#endif
}

}  // namespace gridflip
