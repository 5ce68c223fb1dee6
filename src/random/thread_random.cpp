// The thread's generator slot, creation and release of generators, refills and rekeys.
#include "random/thread_random.hpp"

#include "random/entropy.hpp"
#include "random/fork_watch.hpp"
#include "report/call_abort.hpp"

#include <atomic>
#include <mutex>
#include <string>

namespace gridflip {
namespace {

// Set when the thread's slot is destroyed. Trivially destructible, so thread-exit code that
// runs after the slot's owner (another thread_local's destructor) can still read it.
thread_local bool t_slot_destroyed = false;

// The thread's generator while its slot holds one, for the fork handler. Trivially
// destructible, so reading it on a thread without a generator constructs and registers nothing.
constinit thread_local ThreadGenerator* t_generator = nullptr;

// Owns the slot's reference. Its destructor is the slot's release, run at thread exit; it is
// registered on the thread's first take_thread_random, when the owner is first touched.
class ThreadSlot {
 public:
  ThreadGenerator* generator = nullptr;

  constexpr ThreadSlot() noexcept = default;
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;
  ~ThreadSlot() {
    t_slot_destroyed = true;
    t_generator = nullptr;
    if (ThreadGenerator* held = std::exchange(generator, nullptr)) release_thread_generator(*held);
  }
};

thread_local ThreadSlot t_slot;

void install_key(KeystreamCore& keystream, const std::uint8_t (&bytes)[32]) noexcept {
  for (int i = 0; i < 8; ++i) {
    const std::uint8_t* word = &bytes[4 * i];
    keystream.key[i] = std::uint32_t{word[0]} | std::uint32_t{word[1]} << 8 |
                       std::uint32_t{word[2]} << 16 | std::uint32_t{word[3]} << 24;
  }
}

// In a forked child only the forking thread runs on, with a copy of its parent's generator: key,
// counter and buffer. Dropping the buffer and the key makes the child's first draw fetch a fresh
// key and start at block 0, with nothing added to the draw itself.
void renew_after_fork() {
  if (ThreadGenerator* generator = t_generator) {
    discard_buffer(*generator);
    retire_key(*generator);
  }
}

// Registers the fork handler with the process's first generator; a refusal aborts that call
// and is tried again with the next.
void watch_forks() {
  static std::atomic<bool> watching{false};
  static std::mutex registering;
  if (watching.load(std::memory_order_acquire)) return;
  const std::lock_guard guard(registering);
  if (watching.load(std::memory_order_relaxed)) return;
  if (const int error = run_in_forked_children(renew_after_fork)) {
    abort_call("cannot register the random generator's fork handler (os error " +
               std::to_string(error) + ")");
  }
  watching.store(true, std::memory_order_release);
}

ThreadGenerator& create_thread_generator() {
  std::uint8_t bytes[32] = {};
  read_entropy(bytes);
  // Out of memory ends the process in the module's operator new.
  auto* generator = new ThreadGenerator{};
  generator->handle_count = 1;
  install_key(generator->keystream, bytes);
  generator->keystream.rekey_interval = rekey_interval_bytes;
  generator->keystream.rekey_budget = rekey_interval_bytes;
  // No block yet: the first draw finds the buffer used up and refills.
  generator->position = buffer_words;
  generator->kernels = &selected_chacha12_kernels();
  return *generator;
}

}  // namespace

void rekey(KeystreamCore& keystream) noexcept {
  std::uint8_t bytes[32] = {};
  read_entropy(bytes);
  install_key(keystream, bytes);
  keystream.block_counter[0] = 0;
  keystream.block_counter[1] = 0;
  keystream.nonce[0] = 0;
  keystream.nonce[1] = 0;
}

void refill_words(ThreadGenerator& generator) noexcept {
  KeystreamCore& keystream = generator.keystream;
  if (keystream.rekey_budget <= 0) {
    rekey(keystream);
    // This refill is the new key's first.
    keystream.rekey_budget = keystream.rekey_interval - refill_bytes;
  } else {
    keystream.rekey_budget -= refill_bytes;
  }
  generator.kernels->sixteen_blocks(keystream,
                                    std::span<std::uint32_t, buffer_words>(generator.words));
}

void release_thread_generator(ThreadGenerator& generator) noexcept {
  if (--generator.handle_count == 0) delete &generator;
}

ThreadRandom take_thread_random() {
  // Checked before the slot's owner is touched: touching it after its destruction would
  // construct it anew.
  if (t_slot_destroyed) {
    abort_call(
        "cannot access a Thread Local Storage value during or after destruction: "
        "AccessError");
  }
  ThreadSlot& slot = t_slot;
  if (slot.generator == nullptr) {
    watch_forks();
    slot.generator = &create_thread_generator();
    t_generator = slot.generator;
  }
  return ThreadRandom(*slot.generator);
}

}  // namespace gridflip
