// What the CPU this process runs on can execute: the one place that asks, for every dispatcher
// of vector code. Never fails.
#pragma once

namespace gridflip {

// Each answer includes the operating system's consent to the wider registers; false on CPUs
// other than x86-64.
bool cpu_runs_avx2() noexcept;
bool cpu_runs_avx512f() noexcept;

}  // namespace gridflip
