// The thread's generator slot, creation and release of generators, refills and rekeys.
#include "random/thread_random.hpp"

#include "binding/call_abort.hpp"
#include "random/entropy.hpp"

namespace gridflip {
namespace {

// Set when the thread's slot is destroyed. Trivially destructible, so thread-exit code that
// runs after the slot's owner (another thread_local's destructor) can still read it.
thread_local bool t_slot_destroyed = false;

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
  chacha12_sixteen_blocks(keystream, generator.words);
}

void release_thread_generator(ThreadGenerator& generator) noexcept {
  if (--generator.handle_count == 0) delete &generator;
}

ThreadRandom take_thread_random() {
  // Checked before the slot's owner is touched: touching it after its destruction would
  // construct it anew.
  if (t_slot_destroyed) {
    abort_call("cannot access a Thread Local Storage value during or after destruction: "
               "AccessError");
  }
  ThreadSlot& slot = t_slot;
  if (slot.generator == nullptr) slot.generator = &create_thread_generator();
  return ThreadRandom(*slot.generator);
}

}  // namespace gridflip
