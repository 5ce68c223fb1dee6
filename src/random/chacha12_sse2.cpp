// The ChaCha12 block function in SSE2, the x86-64 baseline: the four blocks side by side,
// one vector per state word with one lane per block, so the rounds need no shuffles.
#include "random/chacha12.hpp"

#include <emmintrin.h>

namespace gridflip {
namespace {

template <int count>
inline __m128i rotate_left(__m128i value) noexcept {
  return _mm_or_si128(_mm_slli_epi32(value, count), _mm_srli_epi32(value, 32 - count));
}

// Swapping the 16-bit halves takes two shuffles instead of two shifts and an or.
template <>
inline __m128i rotate_left<16>(__m128i value) noexcept {
  return _mm_shufflehi_epi16(_mm_shufflelo_epi16(value, 0xB1), 0xB1);
}

inline void quarter_round(__m128i& a, __m128i& b, __m128i& c, __m128i& d) noexcept {
  a = _mm_add_epi32(a, b);
  d = rotate_left<16>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d);
  b = rotate_left<12>(_mm_xor_si128(b, c));
  a = _mm_add_epi32(a, b);
  d = rotate_left<8>(_mm_xor_si128(d, a));
  c = _mm_add_epi32(c, d);
  b = rotate_left<7>(_mm_xor_si128(b, c));
}

inline void store_words(std::uint32_t* target, __m128i value) noexcept {
  _mm_storeu_si128(reinterpret_cast<__m128i_u*>(target), value);
}

}  // namespace

void chacha12_four_blocks_sse2(KeystreamCore& core, std::span<std::uint32_t, 64> words) noexcept {
  using namespace chacha12_detail;
  const std::uint64_t first = block_number(core);
  std::uint32_t low[4];
  std::uint32_t high[4];
  for (int block = 0; block < 4; ++block) {
    const std::uint64_t number = first + static_cast<std::uint64_t>(block);
    low[block] = static_cast<std::uint32_t>(number);
    high[block] = static_cast<std::uint32_t>(number >> 32);
  }

  __m128i input[16];
  for (int i = 0; i < 4; ++i) input[i] = _mm_set1_epi32(static_cast<int>(sigma[i]));
  for (int i = 0; i < 8; ++i) input[4 + i] = _mm_set1_epi32(static_cast<int>(core.key[i]));
  input[12] = _mm_set_epi32(static_cast<int>(low[3]), static_cast<int>(low[2]),
                            static_cast<int>(low[1]), static_cast<int>(low[0]));
  input[13] = _mm_set_epi32(static_cast<int>(high[3]), static_cast<int>(high[2]),
                            static_cast<int>(high[1]), static_cast<int>(high[0]));
  input[14] = _mm_set1_epi32(static_cast<int>(core.nonce[0]));
  input[15] = _mm_set1_epi32(static_cast<int>(core.nonce[1]));

  __m128i x[16];
  for (int i = 0; i < 16; ++i) x[i] = input[i];
  for (int round = 0; round < double_rounds; ++round) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) x[i] = _mm_add_epi32(x[i], input[i]);

  // Lane b of x[i] is word i of block b; the blocks are stored one after the other.
  for (int group = 0; group < 4; ++group) {
    const __m128i* row = &x[4 * group];
    const __m128i pairs01_low = _mm_unpacklo_epi32(row[0], row[1]);
    const __m128i pairs23_low = _mm_unpacklo_epi32(row[2], row[3]);
    const __m128i pairs01_high = _mm_unpackhi_epi32(row[0], row[1]);
    const __m128i pairs23_high = _mm_unpackhi_epi32(row[2], row[3]);
    store_words(&words[0 * 16 + 4 * group], _mm_unpacklo_epi64(pairs01_low, pairs23_low));
    store_words(&words[1 * 16 + 4 * group], _mm_unpackhi_epi64(pairs01_low, pairs23_low));
    store_words(&words[2 * 16 + 4 * group], _mm_unpacklo_epi64(pairs01_high, pairs23_high));
    store_words(&words[3 * 16 + 4 * group], _mm_unpackhi_epi64(pairs01_high, pairs23_high));
  }
  set_block_number(core, first + 4);
}

}  // namespace gridflip
