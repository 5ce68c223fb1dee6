// The ChaCha12 block function over 8 or 16 blocks side by side, written once over GCC vector
// types. None of these functions fails or allocates.
//
// Word-sliced: vector i holds state word i of every block, lane b belonging to block c + b, so
// the rounds need no shuffles and each lane is an independent chain. One transpose at the end
// stores the blocks one after the other. Each SIMD file includes this header and instantiates
// the kernel under its own instruction set; everything here has internal linkage, so no copy
// built for one instruction set can be the one the linker keeps for another file.
#pragma once

#include "random/chacha12.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

namespace gridflip::chacha12_wide {
namespace {

template <std::size_t lanes>
struct VectorTypes;

template <>
struct VectorTypes<8> {
  using Words = std::uint32_t __attribute__((vector_size(32)));
  using Bytes = std::uint8_t __attribute__((vector_size(32)));
};

template <>
struct VectorTypes<16> {
  using Words = std::uint32_t __attribute__((vector_size(64)));
  using Bytes = std::uint8_t __attribute__((vector_size(64)));
};

// How a lane is rotated by 16 and 8 bits. With AVX-512 every rotation is one instruction, and
// shifts are what the compiler turns into it; under AVX2 a byte shuffle does those two in one
// instruction instead of three.
enum class Rotation { shifts, byte_shuffles };

// Source indices of two-input shuffles, output word k of N. The patterns are those of the
// x86 unpack and 128-bit lane shuffles, so each shuffle is one instruction.
struct InterleaveLow32 {  // per 4-word group: a0 b0 a1 b1
  static constexpr int at(std::size_t n, std::size_t k) {
    const std::size_t group = k & ~std::size_t{3};
    return static_cast<int>((k & 1) * n + group + (k & 3) / 2);
  }
};
struct InterleaveHigh32 {  // per 4-word group: a2 b2 a3 b3
  static constexpr int at(std::size_t n, std::size_t k) { return InterleaveLow32::at(n, k) + 2; }
};
struct InterleaveLow64 {  // per 4-word group: a0 a1 b0 b1
  static constexpr int at(std::size_t n, std::size_t k) {
    const std::size_t group = k & ~std::size_t{3};
    return static_cast<int>((k & 3) / 2 * n + group + (k & 1));
  }
};
struct InterleaveHigh64 {  // per 4-word group: a2 a3 b2 b3
  static constexpr int at(std::size_t n, std::size_t k) { return InterleaveLow64::at(n, k) + 2; }
};
// Whole 4-word groups: output group g is group picks[g] of a in the first half of the result,
// and of b in the second.
template <int g0, int g1, int g2, int g3>
struct Groups {
  static constexpr int at(std::size_t n, std::size_t k) {
    const int picks[4] = {g0, g1, g2, g3};
    const std::size_t group = k / 4;
    const std::size_t half = n / 8;  // groups taken from a, then from b
    const std::size_t from_b = group >= half ? n : 0;
    return static_cast<int>(from_b + static_cast<std::size_t>(picks[group]) * 4 + k % 4);
  }
};

template <class Pattern, class V, std::size_t... k>
[[gnu::always_inline]] inline V shuffle(V a, V b, std::index_sequence<k...>) noexcept {
  return __builtin_shufflevector(a, b, Pattern::at(sizeof...(k), k)...);
}

template <class Pattern, class V>
[[gnu::always_inline]] inline V shuffle(V a, V b) noexcept {
  return shuffle<Pattern>(a, b, std::make_index_sequence<sizeof(V) / 4>{});
}

// Byte j of the result is byte `source(j)` of the same 32-bit word: a left rotation by `bytes`.
template <int bytes, class B, std::size_t... j>
[[gnu::always_inline]] inline B rotate_bytes(B value, std::index_sequence<j...>) noexcept {
  return __builtin_shufflevector(value, value,
                                 static_cast<int>((j & ~std::size_t{3}) | ((j - bytes) & 3))...);
}

template <Rotation rotation, int count, std::size_t lanes>
[[gnu::always_inline]] inline typename VectorTypes<lanes>::Words rotate_left(
    typename VectorTypes<lanes>::Words value) noexcept {
  using Types = VectorTypes<lanes>;
  if constexpr (rotation == Rotation::byte_shuffles && count % 8 == 0) {
    typename Types::Bytes bytes;
    std::memcpy(&bytes, &value, sizeof bytes);
    bytes = rotate_bytes<count / 8>(bytes, std::make_index_sequence<4 * lanes>{});
    std::memcpy(&value, &bytes, sizeof value);
    return value;
  } else {
    return value << count | value >> (32 - count);
  }
}

template <Rotation rotation, std::size_t lanes, class V>
[[gnu::always_inline]] inline void quarter_round(V& a, V& b, V& c, V& d) noexcept {
  a += b;
  d = rotate_left<rotation, 16, lanes>(d ^ a);
  c += d;
  b = rotate_left<rotation, 12, lanes>(b ^ c);
  a += b;
  d = rotate_left<rotation, 8, lanes>(d ^ a);
  c += d;
  b = rotate_left<rotation, 7, lanes>(b ^ c);
}

template <std::size_t lanes, std::size_t... b>
[[gnu::always_inline]] inline typename VectorTypes<lanes>::Words lane_numbers(
    std::index_sequence<b...>) noexcept {
  return typename VectorTypes<lanes>::Words{static_cast<std::uint32_t>(b)...};
}

// The input state of blocks c .. c + lanes - 1, one vector per state word.
template <std::size_t lanes>
[[gnu::always_inline]] inline void load_input(
    const KeystreamCore& core, typename VectorTypes<lanes>::Words (&x)[16]) noexcept {
  using V = typename VectorTypes<lanes>::Words;
  using namespace chacha12_detail;
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) x[i] = V{} + sigma[i];
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) x[4 + i] = V{} + core.key[i];
  const V low = V{} + core.block_counter[0];
  x[12] = low + lane_numbers<lanes>(std::make_index_sequence<lanes>{});
  // A lane whose low word wrapped carries one into the high word; the comparison is all ones
  // (-1) there, so subtracting it adds the carry. The high word wraps at 2^32 with it.
  x[13] = V{} + core.block_counter[1] - __builtin_convertvector(x[12] < low, V);
  x[14] = V{} + core.nonce[0];
  x[15] = V{} + core.nonce[1];
}

// Transposes four rows of four-word groups in place: afterwards group g of row c holds, for the
// block whose lane is 4g + c, its words from the four input rows.
template <class V>
[[gnu::always_inline]] inline void transpose_groups(V& r0, V& r1, V& r2, V& r3) noexcept {
  const V t0 = shuffle<InterleaveLow32>(r0, r1);
  const V t1 = shuffle<InterleaveHigh32>(r0, r1);
  const V t2 = shuffle<InterleaveLow32>(r2, r3);
  const V t3 = shuffle<InterleaveHigh32>(r2, r3);
  r0 = shuffle<InterleaveLow64>(t0, t2);
  r1 = shuffle<InterleaveHigh64>(t0, t2);
  r2 = shuffle<InterleaveLow64>(t1, t3);
  r3 = shuffle<InterleaveHigh64>(t1, t3);
}

template <class V>
[[gnu::always_inline]] inline void store_vector(std::uint32_t* target, V value) noexcept {
  std::memcpy(target, &value, sizeof value);
}

// Writes blocks c .. c + lanes - 1 (c = block_counter, with carry, modulo 2^64) one after the
// other into `words`, then sets block_counter to c + lanes.
template <Rotation rotation, std::size_t lanes>
[[gnu::always_inline]] inline void wide_blocks(
    KeystreamCore& core, std::span<std::uint32_t, 16 * lanes> words) noexcept {
  using V = typename VectorTypes<lanes>::Words;
  using namespace chacha12_detail;
  V x[16];
  load_input<lanes>(core, x);
  for (int round = 0; round < double_rounds; ++round) {
    quarter_round<rotation, lanes>(x[0], x[4], x[8], x[12]);
    quarter_round<rotation, lanes>(x[1], x[5], x[9], x[13]);
    quarter_round<rotation, lanes>(x[2], x[6], x[10], x[14]);
    quarter_round<rotation, lanes>(x[3], x[7], x[11], x[15]);
    quarter_round<rotation, lanes>(x[0], x[5], x[10], x[15]);
    quarter_round<rotation, lanes>(x[1], x[6], x[11], x[12]);
    quarter_round<rotation, lanes>(x[2], x[7], x[8], x[13]);
    quarter_round<rotation, lanes>(x[3], x[4], x[9], x[14]);
  }
  // The input again, rather than kept live through the rounds: broadcasts are cheap, registers
  // are not.
  V input[16];
  load_input<lanes>(core, input);
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) x[i] += input[i];

    // Group g (words 4g .. 4g + 3) of x[4q + c] now holds words 4q .. 4q + 3 of block 4g + c.
#pragma GCC unroll 4
  for (int q = 0; q < 4; ++q) transpose_groups(x[4 * q], x[4 * q + 1], x[4 * q + 2], x[4 * q + 3]);
#pragma GCC unroll 4
  for (int c = 0; c < 4; ++c) {
    V& q0 = x[c];
    V& q1 = x[4 + c];
    V& q2 = x[8 + c];
    V& q3 = x[12 + c];
    if constexpr (lanes == 8) {
      // Block 4g + c is group g of q0, q1, q2, q3 in turn.
      store_vector(words.data() + 16 * c, shuffle<Groups<0, 0, 0, 0>>(q0, q1));
      store_vector(words.data() + 16 * c + 8, shuffle<Groups<0, 0, 0, 0>>(q2, q3));
      store_vector(words.data() + 16 * (4 + c), shuffle<Groups<1, 1, 1, 1>>(q0, q1));
      store_vector(words.data() + 16 * (4 + c) + 8, shuffle<Groups<1, 1, 1, 1>>(q2, q3));
    } else {
      // A 4 x 4 transpose of groups: block 4g + c is group g of q0, q1, q2, q3.
      const V low01 = shuffle<Groups<0, 1, 0, 1>>(q0, q1);   // q0.0 q0.1 q1.0 q1.1
      const V low23 = shuffle<Groups<0, 1, 0, 1>>(q2, q3);   // q2.0 q2.1 q3.0 q3.1
      const V high01 = shuffle<Groups<2, 3, 2, 3>>(q0, q1);  // q0.2 q0.3 q1.2 q1.3
      const V high23 = shuffle<Groups<2, 3, 2, 3>>(q2, q3);
      store_vector(words.data() + 16 * c, shuffle<Groups<0, 2, 0, 2>>(low01, low23));
      store_vector(words.data() + 16 * (4 + c), shuffle<Groups<1, 3, 1, 3>>(low01, low23));
      store_vector(words.data() + 16 * (8 + c), shuffle<Groups<0, 2, 0, 2>>(high01, high23));
      store_vector(words.data() + 16 * (12 + c), shuffle<Groups<1, 3, 1, 3>>(high01, high23));
    }
  }
  set_block_number(core, block_number(core) + lanes);
}

}  // namespace
}  // namespace gridflip::chacha12_wide
