// The ChaCha12 block function: sixteen 64-byte blocks per refill, in SIMD where it pays.
// None of these functions fails or allocates.
#pragma once

#include <cstdint>
#include <span>

namespace gridflip {

// The keystream state of one generator: ChaCha state words 4 to 15 plus the key's budget.
struct KeystreamCore {
  std::uint32_t key[8];            // ChaCha key words 0 to 7, little-endian from the key bytes
  std::uint32_t block_counter[2];  // number of the next block: low word, then high word
  std::uint32_t nonce[2];          // always zero in a generator
  std::int64_t rekey_interval;     // bytes of output per key
  std::int64_t rekey_budget;       // bytes still allowed under the current key
};

// The reference: blocks c .. c+3 one after the other, set block_counter to c + 4, in plain
// 32-bit arithmetic. Every other block function must give the same words.
void chacha12_four_blocks(KeystreamCore& core, std::span<std::uint32_t, 64> words) noexcept;

// The block functions behind the paths, for tests and measurements; each writes its blocks as
// chacha12_four_blocks does. An accelerated one may be called only when chacha12_path_supported
// says so for its path.
#if defined(__x86_64__)
void chacha12_four_blocks_sse2(KeystreamCore& core, std::span<std::uint32_t, 64> words) noexcept;
void chacha12_eight_blocks_avx2(KeystreamCore& core, std::span<std::uint32_t, 128> words) noexcept;
void chacha12_sixteen_blocks_avx512(KeystreamCore& core,
                                    std::span<std::uint32_t, 256> words) noexcept;
#endif

// A refill's sixteen blocks on one path: portable and sse2 make four four-block calls, avx2
// two eight-block calls, avx512 one sixteen-block call. Each writes blocks c .. c+15
// (c = block_counter, 64-bit with carry, modulo 2^64) one after the other into `words`, then
// sets block_counter to c + 16. The dispatcher's shape is base/dispatch.hpp's.
enum class Chacha12Path { portable, sse2, avx2, avx512 };
inline constexpr Chacha12Path chacha12_paths[] = {Chacha12Path::portable, Chacha12Path::sse2,
                                                  Chacha12Path::avx2, Chacha12Path::avx512};

struct Chacha12Kernels {
  void (*sixteen_blocks)(KeystreamCore& core, std::span<std::uint32_t, 256> words) noexcept;
};

// The kernels of `path`; null when this build has none.
const Chacha12Kernels* chacha12_kernels(Chacha12Path path) noexcept;
// Whether this build and this CPU can run `path`.
bool chacha12_path_supported(Chacha12Path path) noexcept;
// The path a new generator uses on this CPU, chosen once, and its kernels.
Chacha12Path selected_chacha12_path() noexcept;
const Chacha12Kernels& selected_chacha12_kernels() noexcept;
// "portable", "sse2", "avx2" or "avx512".
const char* chacha12_path_name(Chacha12Path path) noexcept;

namespace chacha12_detail {
// Internal linkage: the SIMD files include this header under wider instruction sets, and no copy
// built for one of them may be the one the linker keeps for another file.
namespace {

// "expand 32-byte k"
inline constexpr std::uint32_t sigma[4] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
inline constexpr int double_rounds = 6;

[[gnu::always_inline]] inline std::uint64_t block_number(const KeystreamCore& core) noexcept {
  return std::uint64_t{core.block_counter[1]} << 32 | core.block_counter[0];
}

[[gnu::always_inline]] inline void set_block_number(KeystreamCore& core,
                                                    std::uint64_t number) noexcept {
  core.block_counter[0] = static_cast<std::uint32_t>(number);
  core.block_counter[1] = static_cast<std::uint32_t>(number >> 32);
}

}  // namespace
}  // namespace chacha12_detail
}  // namespace gridflip
