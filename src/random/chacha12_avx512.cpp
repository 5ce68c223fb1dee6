// The ChaCha12 block function in AVX-512 (this file alone is built with -mavx512f): sixteen
// blocks per call, word-sliced, one 512-bit register per state word, native rotations.
#include "random/chacha12_wide.hpp"

namespace gridflip {

void chacha12_sixteen_blocks_avx512(KeystreamCore& core,
                                    std::span<std::uint32_t, 256> words) noexcept {
  chacha12_wide::wide_blocks<chacha12_wide::Rotation::shifts, 16>(core, words);
}

}  // namespace gridflip
