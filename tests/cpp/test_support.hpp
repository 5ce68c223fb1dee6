// What the tests and the measurements reach that the module itself does not use: draws one at a
// time, and the declarations of a few internals that they check directly.
#pragma once

#include "base/result.hpp"
#include "circuit/circuit_map.hpp"
#include "random/draw_pair.hpp"
#include "random/thread_random.hpp"

#include <bit>
#include <cstdint>
#include <string>

namespace gridflip {

// The next draw of a cursor's run, refilling first when none is ready.
inline std::uint64_t next_draw(DrawCursor& cursor) noexcept {
  if (cursor.ready() == 0) cursor.refill();
  const std::uint64_t draw = read_draw(cursor.words());
  cursor.take(1);
  return draw;
}

// The next 64 bits of the thread's stream: two consecutive keystream words, low word first.
inline std::uint64_t draw_word64(ThreadRandom& random) noexcept {
  DrawCursor cursor(random);
  const std::uint64_t draw = next_draw(cursor);
  cursor.store();
  return draw;
}

// One sample in [0, 1) from one draw: its top 52 bits as the fraction, (x >> 12) * 2^-52.
inline double draw_unit_double(ThreadRandom& random) noexcept {
  const std::uint64_t x = draw_word64(random);
  return std::bit_cast<double>(x >> 12 | 0x3FF0000000000000) - 1.0;
}

// A C++ string as a path for the open, which must outlive it.
inline TerminatedPath terminated(const std::string& path) noexcept {
  return TerminatedPath(path.c_str(), path.size());
}

// This thread's count of aborts between their report and the call frame's catch
// (report/call_abort.cpp).
int aborts_in_flight() noexcept;

// The refusal of a file length that the view's length type cannot hold, success when `length` is
// at most `largest` (circuit/circuit_map_posix.cpp).
IoStatus check_map_length(std::uintmax_t length, std::uintmax_t largest);

}  // namespace gridflip
