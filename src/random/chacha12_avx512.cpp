// The ChaCha12 block function in AVX-512 (this file alone is built with -mavx512f): all four
// blocks in one register per state row, one 128-bit lane per block, with native rotations.
#include "random/chacha12.hpp"

#include <immintrin.h>

// GCC 12's unmasked AVX-512 intrinsics start from a self-initialised "undefined" vector, which
// -Wuninitialized reports at every inlined call.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

namespace gridflip {
namespace {

struct Rows {
  __m512i a, b, c, d;
};

inline void quarter_rounds(Rows& s) noexcept {
  s.a = _mm512_add_epi32(s.a, s.b);
  s.d = _mm512_rol_epi32(_mm512_xor_si512(s.d, s.a), 16);
  s.c = _mm512_add_epi32(s.c, s.d);
  s.b = _mm512_rol_epi32(_mm512_xor_si512(s.b, s.c), 12);
  s.a = _mm512_add_epi32(s.a, s.b);
  s.d = _mm512_rol_epi32(_mm512_xor_si512(s.d, s.a), 8);
  s.c = _mm512_add_epi32(s.c, s.d);
  s.b = _mm512_rol_epi32(_mm512_xor_si512(s.b, s.c), 7);
}

// Lines the diagonals up in the columns. Row b, the last one a round writes, stays in place so
// the next round can start without waiting for a shuffle: with one chain of work, every cycle
// on it counts.
inline void diagonalize(Rows& s) noexcept {
  s.a = _mm512_shuffle_epi32(s.a, static_cast<_MM_PERM_ENUM>(0x93));
  s.c = _mm512_shuffle_epi32(s.c, static_cast<_MM_PERM_ENUM>(0x39));
  s.d = _mm512_shuffle_epi32(s.d, static_cast<_MM_PERM_ENUM>(0x4E));
}

inline void undiagonalize(Rows& s) noexcept {
  s.a = _mm512_shuffle_epi32(s.a, static_cast<_MM_PERM_ENUM>(0x39));
  s.c = _mm512_shuffle_epi32(s.c, static_cast<_MM_PERM_ENUM>(0x93));
  s.d = _mm512_shuffle_epi32(s.d, static_cast<_MM_PERM_ENUM>(0x4E));
}

// Four words, repeated in all four lanes.
inline __m512i broadcast_row(const std::uint32_t* row) noexcept {
  return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i_u*>(row)));
}

inline void store_words(std::uint32_t* target, __m512i value) noexcept {
  _mm512_storeu_si512(target, value);
}

}  // namespace

void chacha12_four_blocks_avx512(KeystreamCore& core, std::uint32_t (&words)[64]) noexcept {
  using namespace chacha12_detail;
  const std::uint64_t first = block_number(core);
  std::uint32_t counters[16];
  for (int block = 0; block < 4; ++block) {
    const std::uint64_t number = first + static_cast<std::uint64_t>(block);
    counters[4 * block + 0] = static_cast<std::uint32_t>(number);
    counters[4 * block + 1] = static_cast<std::uint32_t>(number >> 32);
    counters[4 * block + 2] = core.nonce[0];
    counters[4 * block + 3] = core.nonce[1];
  }
  const Rows input{broadcast_row(sigma), broadcast_row(&core.key[0]), broadcast_row(&core.key[4]),
                   _mm512_loadu_si512(counters)};

  Rows s = input;
  for (int round = 0; round < double_rounds; ++round) {
    quarter_rounds(s);
    diagonalize(s);
    quarter_rounds(s);
    undiagonalize(s);
  }
  const __m512i a = _mm512_add_epi32(s.a, input.a);
  const __m512i b = _mm512_add_epi32(s.b, input.b);
  const __m512i c = _mm512_add_epi32(s.c, input.c);
  const __m512i d = _mm512_add_epi32(s.d, input.d);

  // Lane k of each row belongs to block k: transpose the 4 x 4 lanes so each block's four rows
  // are stored together.
  const __m512i ab01 = _mm512_shuffle_i32x4(a, b, _MM_SHUFFLE(1, 0, 1, 0));
  const __m512i cd01 = _mm512_shuffle_i32x4(c, d, _MM_SHUFFLE(1, 0, 1, 0));
  const __m512i ab23 = _mm512_shuffle_i32x4(a, b, _MM_SHUFFLE(3, 2, 3, 2));
  const __m512i cd23 = _mm512_shuffle_i32x4(c, d, _MM_SHUFFLE(3, 2, 3, 2));
  store_words(&words[0], _mm512_shuffle_i32x4(ab01, cd01, _MM_SHUFFLE(2, 0, 2, 0)));
  store_words(&words[16], _mm512_shuffle_i32x4(ab01, cd01, _MM_SHUFFLE(3, 1, 3, 1)));
  store_words(&words[32], _mm512_shuffle_i32x4(ab23, cd23, _MM_SHUFFLE(2, 0, 2, 0)));
  store_words(&words[48], _mm512_shuffle_i32x4(ab23, cd23, _MM_SHUFFLE(3, 1, 3, 1)));
  set_block_number(core, first + 4);
}

}  // namespace gridflip
