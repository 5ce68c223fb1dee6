// The ChaCha12 block function in AVX2 (this file alone is built with -mavx2): two blocks per
// register, one register per state row, the two pairs of blocks as independent chains.
#include "random/chacha12.hpp"

#include <immintrin.h>

namespace gridflip {
namespace {

template <int count>
inline __m256i rotate_left(__m256i value) noexcept {
  return _mm256_or_si256(_mm256_slli_epi32(value, count), _mm256_srli_epi32(value, 32 - count));
}

// Rotations by whole bytes are one byte shuffle.
template <>
inline __m256i rotate_left<16>(__m256i value) noexcept {
  const __m256i order = _mm256_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2,
                                        13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3, 2);
  return _mm256_shuffle_epi8(value, order);
}

template <>
inline __m256i rotate_left<8>(__m256i value) noexcept {
  const __m256i order = _mm256_set_epi8(14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3,
                                        14, 13, 12, 15, 10, 9, 8, 11, 6, 5, 4, 7, 2, 1, 0, 3);
  return _mm256_shuffle_epi8(value, order);
}

struct Rows {
  __m256i a, b, c, d;
};

inline void quarter_rounds(Rows& s) noexcept {
  s.a = _mm256_add_epi32(s.a, s.b);
  s.d = rotate_left<16>(_mm256_xor_si256(s.d, s.a));
  s.c = _mm256_add_epi32(s.c, s.d);
  s.b = rotate_left<12>(_mm256_xor_si256(s.b, s.c));
  s.a = _mm256_add_epi32(s.a, s.b);
  s.d = rotate_left<8>(_mm256_xor_si256(s.d, s.a));
  s.c = _mm256_add_epi32(s.c, s.d);
  s.b = rotate_left<7>(_mm256_xor_si256(s.b, s.c));
}

// Lines the diagonals up in the columns. Row b, the last one a round writes, stays in place so
// the next round can start without waiting for a shuffle.
inline void diagonalize(Rows& s) noexcept {
  s.a = _mm256_shuffle_epi32(s.a, 0x93);
  s.c = _mm256_shuffle_epi32(s.c, 0x39);
  s.d = _mm256_shuffle_epi32(s.d, 0x4E);
}

inline void undiagonalize(Rows& s) noexcept {
  s.a = _mm256_shuffle_epi32(s.a, 0x39);
  s.c = _mm256_shuffle_epi32(s.c, 0x93);
  s.d = _mm256_shuffle_epi32(s.d, 0x4E);
}

inline __m256i counter_row(std::uint64_t first, const std::uint32_t (&nonce)[2]) noexcept {
  const std::uint64_t second = first + 1;
  return _mm256_set_epi32(static_cast<int>(nonce[1]), static_cast<int>(nonce[0]),
                          static_cast<int>(second >> 32), static_cast<int>(second),
                          static_cast<int>(nonce[1]), static_cast<int>(nonce[0]),
                          static_cast<int>(first >> 32), static_cast<int>(first));
}

// Four words, repeated in both halves.
inline __m256i broadcast_row(const std::uint32_t* row) noexcept {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i_u*>(row)));
}

inline void store_words(std::uint32_t* target, __m256i value) noexcept {
  _mm256_storeu_si256(reinterpret_cast<__m256i_u*>(target), value);
}

// Adds the input and writes the pair's two blocks one after the other.
inline void store_pair(std::uint32_t* target, const Rows& s, const Rows& input) noexcept {
  const __m256i a = _mm256_add_epi32(s.a, input.a);
  const __m256i b = _mm256_add_epi32(s.b, input.b);
  const __m256i c = _mm256_add_epi32(s.c, input.c);
  const __m256i d = _mm256_add_epi32(s.d, input.d);
  store_words(target + 0, _mm256_permute2x128_si256(a, b, 0x20));
  store_words(target + 8, _mm256_permute2x128_si256(c, d, 0x20));
  store_words(target + 16, _mm256_permute2x128_si256(a, b, 0x31));
  store_words(target + 24, _mm256_permute2x128_si256(c, d, 0x31));
}

}  // namespace

void chacha12_four_blocks_avx2(KeystreamCore& core, std::uint32_t (&words)[64]) noexcept {
  using namespace chacha12_detail;
  const std::uint64_t first = block_number(core);
  const __m256i constants = broadcast_row(sigma);
  const __m256i key_low = broadcast_row(&core.key[0]);
  const __m256i key_high = broadcast_row(&core.key[4]);
  const Rows input0{constants, key_low, key_high, counter_row(first, core.nonce)};
  const Rows input1{constants, key_low, key_high, counter_row(first + 2, core.nonce)};

  Rows pair0 = input0;
  Rows pair1 = input1;
  for (int round = 0; round < double_rounds; ++round) {
    quarter_rounds(pair0);
    quarter_rounds(pair1);
    diagonalize(pair0);
    diagonalize(pair1);
    quarter_rounds(pair0);
    quarter_rounds(pair1);
    undiagonalize(pair0);
    undiagonalize(pair1);
  }
  store_pair(&words[0], pair0, input0);
  store_pair(&words[32], pair1, input1);
  set_block_number(core, first + 4);
}

}  // namespace gridflip
