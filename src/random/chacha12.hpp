// The ChaCha12 block function: four consecutive 64-byte blocks per call, in SIMD where it pays.
// None of these functions fails or allocates.
#pragma once

#include <cstdint>

namespace gridflip {

// The keystream state of one generator: ChaCha state words 4 to 15 plus the key's budget.
struct KeystreamCore {
  std::uint32_t key[8];            // ChaCha key words 0 to 7, little-endian from the key bytes
  std::uint32_t block_counter[2];  // number of the next block: low word, then high word
  std::uint32_t nonce[2];          // always zero in a generator
  std::int64_t rekey_interval;     // bytes of output per key
  std::int64_t rekey_budget;       // bytes still allowed under the current key
};

// Writes blocks c, c+1, c+2 and c+3 (c = block_counter, 64-bit with carry, modulo 2^64) one
// after the other into `words`, then sets block_counter to c + 4. Dispatches to the fastest
// implementation this CPU supports, chosen once.
void chacha12_four_blocks(KeystreamCore& core, std::uint32_t (&words)[64]) noexcept;

// The implementations behind it, for tests and measurements. Each gives the same words as the
// portable one; an accelerated one may be called only when chacha12_path_supported says so.
enum class Chacha12Path { portable, sse2, avx2, avx512 };

void chacha12_four_blocks_portable(KeystreamCore& core, std::uint32_t (&words)[64]) noexcept;
#if defined(__x86_64__)
void chacha12_four_blocks_sse2(KeystreamCore& core, std::uint32_t (&words)[64]) noexcept;
void chacha12_four_blocks_avx2(KeystreamCore& core, std::uint32_t (&words)[64]) noexcept;
void chacha12_four_blocks_avx512(KeystreamCore& core, std::uint32_t (&words)[64]) noexcept;
#endif

using Chacha12FourBlocks = void (*)(KeystreamCore&, std::uint32_t (&)[64]) noexcept;

// Whether this build and this CPU can run `path`.
bool chacha12_path_supported(Chacha12Path path) noexcept;
// The implementation of `path`; null when this build has none.
Chacha12FourBlocks chacha12_implementation(Chacha12Path path) noexcept;
// The path chacha12_four_blocks uses on this CPU.
Chacha12Path chacha12_selected_path() noexcept;
// "portable", "sse2", "avx2" or "avx512".
const char* chacha12_path_name(Chacha12Path path) noexcept;

namespace chacha12_detail {

// "expand 32-byte k"
inline constexpr std::uint32_t sigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
inline constexpr int double_rounds = 6;

// Always inlined: the SIMD files include this header under wider instruction sets, and an
// out-of-line copy from one of them could be the one the linker keeps for everyone.
[[gnu::always_inline]] inline std::uint64_t block_number(const KeystreamCore& core) noexcept {
  return std::uint64_t{core.block_counter[1]} << 32 | core.block_counter[0];
}

[[gnu::always_inline]] inline void set_block_number(KeystreamCore& core,
                                                    std::uint64_t number) noexcept {
  core.block_counter[0] = static_cast<std::uint32_t>(number);
  core.block_counter[1] = static_cast<std::uint32_t>(number >> 32);
}

}  // namespace chacha12_detail
}  // namespace gridflip
