// What the CPU this process runs on can execute: the one place that asks, for every dispatcher
// of vector code. Never fails.
#pragma once

namespace gridflip {

// The instruction sets a path of vector code may need, beyond what every CPU of the build's
// architecture runs (baseline).
enum class InstructionSet { baseline, sse2, avx2, avx512f };

// Whether this CPU runs `set`, with the operating system's consent to the wider registers. On
// CPUs other than x86-64 only the baseline runs.
bool cpu_runs(InstructionSet set) noexcept;

}  // namespace gridflip
