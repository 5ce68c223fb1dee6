// The per-thread random source: a lazily created ChaCha12 generator per thread, keyed from the
// entropy source, reached through counted handles. Everything here is used only on its thread.
//
// take_thread_random can abort (after its thread's slot is destroyed, or when the system refuses
// the fork handler). Nothing else here fails: draws, refills and rekeys allocate nothing, and an
// unreadable entropy source ends the process.
//
// In the child of a fork, the forking thread's generator drops its buffer and its key before
// the child's first draw, which then fetches a fresh key; the parent's stream goes on as if
// there had been no fork.
#pragma once

#include "random/chacha12.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

namespace gridflip {

// Words in the generator's buffer: sixteen keystream blocks, one refill.
inline constexpr std::size_t buffer_words = 256;

// The generator of one thread, shared by the thread's slot and the handles taken from it.
struct ThreadGenerator {
  std::size_t handle_count;                       // the slot's reference plus one per live handle
  alignas(64) std::uint32_t words[buffer_words];  // keystream blocks, one after the other
  KeystreamCore keystream;
  std::size_t position;  // next word of `words` to hand out; buffer_words when used up
  // The block function of its refills: the one chosen for this CPU, or, in a test or a
  // measurement, the path under study.
  const Chacha12Kernels* kernels;
};
// A thread's whole share of memory, allocated once.
static_assert(sizeof(ThreadGenerator) < 2048);

// Bytes of keystream per key, and per refill. A key's budget is a whole number of refills, so
// the rekey falls on the same draw whatever the refill size.
inline constexpr std::int64_t rekey_interval_bytes = 65536;
inline constexpr std::int64_t refill_bytes = buffer_words * sizeof(std::uint32_t);
static_assert(rekey_interval_bytes % refill_bytes == 0);

// Fills `words` with the next sixteen blocks, installing a fresh key first when the current one
// has produced its budget. The caller resets `position`.
void refill_words(ThreadGenerator& generator) noexcept;

// Installs a fresh key from the entropy source and restarts the block counter at 0.
void rekey(KeystreamCore& keystream) noexcept;

// Drops the words not yet handed out: the next draw refills.
inline void discard_buffer(ThreadGenerator& generator) noexcept {
  generator.position = buffer_words;
}

// Retires the current key: the next refill installs a fresh one and restarts the block counter.
inline void retire_key(ThreadGenerator& generator) noexcept {
  generator.keystream.rekey_budget = 0;
}

// Drops one reference; the last one destroys the generator and frees its memory.
void release_thread_generator(ThreadGenerator& generator) noexcept;

// A counted handle to the calling thread's generator. Move-only; a moved-from handle holds
// nothing and may only be destroyed or assigned to.
class ThreadRandom {
 public:
  ThreadRandom(ThreadRandom&& other) noexcept
      : generator_(std::exchange(other.generator_, nullptr)) {}
  ThreadRandom& operator=(ThreadRandom&& other) noexcept {
    if (this != &other) {
      release();
      generator_ = std::exchange(other.generator_, nullptr);
    }
    return *this;
  }
  ThreadRandom(const ThreadRandom&) = delete;
  ThreadRandom& operator=(const ThreadRandom&) = delete;
  ~ThreadRandom() { release(); }

  ThreadGenerator& generator() const noexcept { return *generator_; }

 private:
  friend ThreadRandom take_thread_random();
  explicit ThreadRandom(ThreadGenerator& generator) noexcept : generator_(&generator) {
    ++generator.handle_count;
  }
  void release() noexcept {
    if (generator_ != nullptr) release_thread_generator(*std::exchange(generator_, nullptr));
  }

  ThreadGenerator* generator_;
};

// A handle to the calling thread's generator, created and keyed on the thread's first call.
// Aborts with "cannot access a Thread Local Storage value during or after destruction:
// AccessError" once the thread's slot has been destroyed at thread exit, and when the system
// refuses to register the fork handler at the process's first generator.
ThreadRandom take_thread_random();

// The draw position of a run of draws kept in a register: stores into the mapped bytes may alias
// any memory, so a position read and written through the generator would go through memory on
// every draw. store() hands it back; until then the generator must not be drawn from any other
// way. Trivially destructible, so a fault guard may leave it behind.
//
// It hands out the buffer's words in runs, as the pass reads them: ready() draws are held at
// words(), take(n) hands out the first n of them, and refill(), called only when none is ready,
// fills the buffer with the next ones. Draw i of a run is made of words()[2i] (low) and
// words()[2i + 1] (high), as read_draw reads them.
class DrawCursor {
 public:
  explicit DrawCursor(ThreadRandom& random) noexcept
      : generator_(&random.generator()), position_(generator_->position) {}

  std::size_t ready() const noexcept { return (buffer_words - position_) / 2; }
  const std::uint32_t* words() const noexcept { return &generator_->words[position_]; }
  void take(std::size_t draws) noexcept { position_ += 2 * draws; }
  void refill() noexcept {
    refill_words(*generator_);
    position_ = 0;
  }

  void store() const noexcept { generator_->position = position_; }

 private:
  ThreadGenerator* generator_;
  std::size_t position_;
};

}  // namespace gridflip
