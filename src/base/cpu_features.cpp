// The CPU's instruction sets, from libgcc's CPU model.
#include "base/cpu_features.hpp"

namespace gridflip {

#if defined(__x86_64__)
// The check may run before libgcc's own constructor has filled in the CPU model.
bool cpu_runs_avx2() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}

bool cpu_runs_avx512f() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") != 0;
}
#else
bool cpu_runs_avx2() noexcept { return false; }
bool cpu_runs_avx512f() noexcept { return false; }
#endif

}  // namespace gridflip
