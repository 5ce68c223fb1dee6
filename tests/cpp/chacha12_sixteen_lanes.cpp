// The AVX-512 block function's sixteen-lane kernel built under AVX2 (this file alone is built
// with -mavx2; the compiler splits each 512-bit vector in two), so the kernel's logic is tested
// against the reference on CPUs and under tools that have no AVX-512.
#include "random/chacha12_wide.hpp"

namespace gridflip {

void chacha12_sixteen_lanes_avx2(KeystreamCore& core, std::span<std::uint32_t, 256> words) noexcept;

void chacha12_sixteen_lanes_avx2(KeystreamCore& core,
                                 std::span<std::uint32_t, 256> words) noexcept {
  // The same instantiation as chacha12_sixteen_blocks_avx512's.
  chacha12_wide::wide_blocks<chacha12_wide::Rotation::shifts, 16>(core, words);
}

}  // namespace gridflip
