// The ChaCha12 block function in AVX2 (this file alone is built with -mavx2): eight blocks per
// call, word-sliced, one 256-bit register per state word.
#include "random/chacha12_wide.hpp"

namespace gridflip {

void chacha12_eight_blocks_avx2(KeystreamCore& core, std::span<std::uint32_t, 128> words) noexcept {
  chacha12_wide::wide_blocks<chacha12_wide::Rotation::byte_shuffles, 8>(core, words);
}

}  // namespace gridflip
