// The per-thread generator: creation, handles, the draw and rekey schedule, samples, the
// entropy source's failures, thread exit, forks and independence between threads.
//
// getrandom is interposed for the whole test binary below. On a thread that has not installed a
// script it forwards to the C library and only counts calls; a script feeds chosen bytes,
// short reads and errors to the calling thread alone.
#include "child_process.hpp"
#include "known_keys.h"
#include "random/thread_random.hpp"
#include "report/call_abort.hpp"
#include "test_support.hpp"

#include <crypto++/algparam.h>
#include <crypto++/argnames.h>
#include <crypto++/chacha.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <malloc.h>
#include <sys/random.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <latch>
#include <optional>
#include <thread>
#include <vector>

namespace gridflip {
namespace {

struct EntropyReply {
  int error = 0;                 // fail with this errno when non-zero
  std::size_t max_bytes = 1000;  // otherwise give at most this many bytes
};

// What getrandom does on one thread. Bytes come from `bytes` in order, then from the known keys
// (byte `offset % 32` of key `offset / 32`), so every key a test sees is known.
struct EntropyScript {
  std::deque<EntropyReply> replies;
  std::vector<std::uint8_t> bytes;
  std::size_t offset = 0;
  std::vector<std::size_t> lengths;
  std::vector<unsigned> flags;

  std::uint8_t next_byte() {
    const std::size_t at = offset++;
    if (at < bytes.size()) return bytes[at];
    return known_key_byte(at / 32, at % 32);
  }
};

thread_local EntropyScript* t_entropy_script = nullptr;
thread_local int t_getrandom_calls = 0;

using GetrandomFunction = ssize_t (*)(void*, std::size_t, unsigned);

ssize_t serve_getrandom(void* buffer, std::size_t length, unsigned flags) {
  ++t_getrandom_calls;
  EntropyScript* script = t_entropy_script;
  if (script == nullptr) {
    static const auto real = reinterpret_cast<GetrandomFunction>(dlsym(RTLD_NEXT, "getrandom"));
    return real(buffer, length, flags);
  }
  script->lengths.push_back(length);
  script->flags.push_back(flags);
  EntropyReply reply;
  if (!script->replies.empty()) {
    reply = script->replies.front();
    script->replies.pop_front();
  }
  if (reply.error != 0) {
    errno = reply.error;
    return -1;
  }
  const std::size_t given = std::min(length, reply.max_bytes);
  auto* out = static_cast<std::uint8_t*>(buffer);
  for (std::size_t i = 0; i < given; ++i) out[i] = script->next_byte();
  return static_cast<ssize_t>(given);
}

}  // namespace
}  // namespace gridflip

extern "C" ssize_t getrandom(void* buffer, std::size_t length, unsigned int flags) {
  return gridflip::serve_getrandom(buffer, length, flags);
}

namespace gridflip {
namespace {

template <class Body>
void on_new_thread(Body body) {
  std::thread thread(std::move(body));
  thread.join();
}

std::vector<std::uint8_t> key_bytes(const KeystreamCore& keystream) {
  std::vector<std::uint8_t> bytes;
  for (std::uint32_t word : keystream.key) {
    for (int shift = 0; shift < 32; shift += 8) {
      bytes.push_back(static_cast<std::uint8_t>(word >> shift));
    }
  }
  return bytes;
}

// Crypto++'s ChaCha12 keystream for `key` and the zero IV, read as little-endian 64-bit words.
std::vector<std::uint64_t> oracle_draws(const std::vector<std::uint8_t>& key, std::size_t count) {
  CryptoPP::ChaCha::Encryption cipher;
  const std::uint8_t iv[8] = {};
  cipher.SetKey(key.data(), key.size(),
                CryptoPP::MakeParameters(CryptoPP::Name::Rounds(), 12)(
                    CryptoPP::Name::IV(), CryptoPP::ConstByteArrayParameter(iv, sizeof iv)));
  std::vector<std::uint8_t> zeros(count * 8, 0);
  std::vector<std::uint8_t> stream(count * 8, 0);
  cipher.ProcessData(stream.data(), zeros.data(), stream.size());
  std::vector<std::uint64_t> draws(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t value = 0;
    for (int b = 7; b >= 0; --b) value = value << 8 | stream[8 * i + static_cast<std::size_t>(b)];
    draws[i] = value;
  }
  return draws;
}

TEST(ThreadRandom, CreationFetchesOneKeyAndComputesNoBlock) {
  EntropyScript script;
  for (int i = 0; i < 32; ++i) script.bytes.push_back(static_cast<std::uint8_t>(i));
  on_new_thread([&] {
    t_entropy_script = &script;
    ThreadRandom random = take_thread_random();
    const ThreadGenerator& generator = random.generator();
    EXPECT_EQ(generator.handle_count, 2u);  // the slot's and this handle's
    EXPECT_EQ(generator.position, buffer_words);
    for (std::uint32_t word : generator.words) EXPECT_EQ(word, 0u);
    EXPECT_EQ(generator.keystream.key[0], 0x03020100u);
    EXPECT_EQ(generator.keystream.key[7], 0x1F1E1D1Cu);
    EXPECT_EQ(generator.keystream.block_counter[0], 0u);
    EXPECT_EQ(generator.keystream.block_counter[1], 0u);
    EXPECT_EQ(generator.keystream.nonce[0], 0u);
    EXPECT_EQ(generator.keystream.nonce[1], 0u);
    EXPECT_EQ(generator.keystream.rekey_interval, 65536);
    EXPECT_EQ(generator.keystream.rekey_budget, 65536);
    ASSERT_EQ(script.lengths.size(), 1u);
    EXPECT_EQ(script.lengths[0], 32u);
    EXPECT_EQ(script.flags[0], 0u);
    t_entropy_script = nullptr;
  });
}

TEST(ThreadRandom, HandlesShareOneGeneratorAndTheStreamCarriesOn) {
  on_new_thread([] {
    ThreadGenerator* first_generator = nullptr;
    std::uint64_t first_draws[3];
    {
      ThreadRandom random = take_thread_random();
      first_generator = &random.generator();
      for (auto& draw : first_draws) draw = draw_word64(random);
      ThreadRandom second = take_thread_random();
      EXPECT_EQ(&second.generator(), first_generator);
      EXPECT_EQ(first_generator->handle_count, 3u);
      ThreadRandom moved = std::move(second);
      EXPECT_EQ(first_generator->handle_count, 3u);
      {
        ThreadRandom assigned = take_thread_random();
        EXPECT_EQ(first_generator->handle_count, 4u);
        assigned = std::move(moved);  // drops the reference `assigned` held
        EXPECT_EQ(first_generator->handle_count, 3u);
      }
      EXPECT_EQ(first_generator->handle_count, 2u);
    }
    // Between calls only the slot holds the generator; nothing is reset and no key is fetched.
    const int calls = t_getrandom_calls;
    ThreadRandom again = take_thread_random();
    EXPECT_EQ(&again.generator(), first_generator);
    EXPECT_EQ(again.generator().handle_count, 2u);
    EXPECT_EQ(again.generator().position, 6u);
    const std::vector<std::uint64_t> expected =
        oracle_draws(key_bytes(again.generator().keystream), 4);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(first_draws[i], expected[static_cast<std::size_t>(i)]);
    EXPECT_EQ(draw_word64(again), expected[3]);
    EXPECT_EQ(t_getrandom_calls, calls);
  });
}

constexpr std::size_t draws_per_refill = buffer_words / 2;

TEST(ThreadRandom, DrawScheduleRefillsAndRekeys) {
  // The creation key is the all-zero key, so the first draws are published keystream.
  EntropyScript script;
  script.bytes.assign(32, 0);
  on_new_thread([&] {
    t_entropy_script = &script;
    ThreadRandom random = take_thread_random();
    ThreadGenerator& generator = random.generator();
    const KeystreamCore& keystream = generator.keystream;

    std::vector<std::uint8_t> key = key_bytes(keystream);
    std::vector<std::uint64_t> expected = oracle_draws(key, 8192);
    std::vector<std::vector<std::uint8_t>> keys{key};
    const std::size_t total = 3 * 8192 + 40;
    for (std::size_t n = 1; n <= total; ++n) {
      const std::uint64_t draw = draw_word64(random);
      if ((n - 1) % 8192 == 0 && n > 1) {
        // This draw installed a fresh key: a new entropy fetch, counter restarted at 0.
        key = key_bytes(keystream);
        EXPECT_NE(key, keys.back()) << "draw " << n;
        keys.push_back(key);
        expected = oracle_draws(key, 8192);
        EXPECT_EQ(keystream.block_counter[0], buffer_words / 16) << "draw " << n;
        EXPECT_EQ(keystream.block_counter[1], 0u) << "draw " << n;
        EXPECT_EQ(keystream.nonce[0], 0u);
        EXPECT_EQ(keystream.nonce[1], 0u);
      }
      ASSERT_EQ(draw, expected[(n - 1) % 8192]) << "draw " << n;
      // Words 0 and 1, then 2 and 3, of block 0 for the zero key: 9b f4 9a 6a 07 55 f9 53 ...
      if (n == 1) {
        EXPECT_EQ(draw, 0x53f955076a9af49bull);
      } else if (n == 2) {
        EXPECT_EQ(draw, 0xd583265f12ce1f81ull);
      }
      ASSERT_EQ(script.lengths.size(), 1 + (n - 1) / 8192) << "draw " << n;
      ASSERT_EQ(key_bytes(keystream), key) << "draw " << n;

      // Invariants after r refills under the current key.
      const std::size_t in_key = (n - 1) % 8192 + 1;  // draws under this key so far
      const std::size_t refills = (in_key + draws_per_refill - 1) / draws_per_refill;
      ASSERT_EQ(generator.position, 2 * ((in_key - 1) % draws_per_refill + 1)) << "draw " << n;
      ASSERT_EQ(chacha12_detail::block_number(keystream), 16 * refills) << "draw " << n;
      ASSERT_EQ(keystream.rekey_budget, 65536 - 1024 * static_cast<std::int64_t>(refills))
          << "draw " << n;
    }
    EXPECT_EQ(keys.size(), 4u);
    t_entropy_script = nullptr;
  });
}

// The generator as first built: a 64-word buffer refilled four blocks at a time from the
// reference block function, 256 bytes off the key's budget per refill. Its draws are the
// contract; a larger buffer must hand out the same word at every draw index.
class FourBlockStream {
 public:
  // `keys` serves the same bytes the generator's entropy script does.
  explicit FourBlockStream(EntropyScript keys) : keys_(std::move(keys)) {
    install_next_key();
    keystream_.rekey_interval = 65536;
    keystream_.rekey_budget = 65536;
  }

  std::uint64_t next() {
    if (position_ >= 64) {
      if (keystream_.rekey_budget <= 0) {
        install_next_key();
        keystream_.rekey_budget = 65536 - 256;
      } else {
        keystream_.rekey_budget -= 256;
      }
      chacha12_four_blocks(keystream_, words_);
      position_ = 0;
    }
    const std::uint64_t draw = std::uint64_t{words_[position_ + 1]} << 32 | words_[position_];
    position_ += 2;
    return draw;
  }

 private:
  void install_next_key() {
    for (auto& word : keystream_.key) {
      word = 0;
      for (int shift = 0; shift < 32; shift += 8) word |= std::uint32_t{keys_.next_byte()} << shift;
    }
    keystream_.block_counter[0] = keystream_.block_counter[1] = 0;
  }

  EntropyScript keys_;
  KeystreamCore keystream_{};
  std::uint32_t words_[64] = {};
  std::size_t position_ = 64;
};

TEST(ThreadRandom, EveryDrawIsTheWordFourBlockRefillsGaveOnEveryPath) {
  for (Chacha12Path path : chacha12_paths) {
    if (!chacha12_path_supported(path)) continue;
    SCOPED_TRACE(chacha12_path_name(path));
    on_new_thread([path] {
      EntropyScript script;
      FourBlockStream reference(script);
      t_entropy_script = &script;
      ThreadRandom random = take_thread_random();
      random.generator().kernels = chacha12_kernels(path);
      // Runs of draws through the handle, through cursors one by one, and through cursors
      // run-wise as the pass takes them, ending on and next to refills of either size and the
      // rekeys at 8193 and 16385.
      const std::size_t runs[] = {1, 31,  1, 95,   1,  127, 8192 - 256, 1,   8191,
                                  2, 300, 1, 8000, 64, 33,  128,        129, 3};
      std::size_t n = 0;
      for (std::size_t index = 0; index < std::size(runs); ++index) {
        if (index % 3 == 0) {
          for (std::size_t i = 0; i < runs[index]; ++i) {
            ++n;
            ASSERT_EQ(draw_word64(random), reference.next()) << "draw " << n;
          }
        } else if (index % 3 == 1) {
          DrawCursor cursor(random);
          for (std::size_t i = 0; i < runs[index]; ++i) {
            ++n;
            ASSERT_EQ(next_draw(cursor), reference.next()) << "draw " << n;
          }
          cursor.store();
        } else {
          DrawCursor cursor(random);
          for (std::size_t left = runs[index]; left > 0;) {
            if (cursor.ready() == 0) cursor.refill();
            const std::size_t run = std::min(left, cursor.ready());
            for (std::size_t i = 0; i < run; ++i) {
              ++n;
              ASSERT_EQ(read_draw(cursor.words() + 2 * i), reference.next()) << "draw " << n;
            }
            cursor.take(run);
            left -= run;
          }
          cursor.store();
        }
        ASSERT_EQ(script.lengths.size(), 1 + (n - 1) / 8192) << "after draw " << n;
      }
      EXPECT_GT(n, 3u * 8192);
      t_entropy_script = nullptr;
    });
  }
}

TEST(ThreadRandom, UnitDoublesFromWordPairs) {
  struct Sample {
    std::uint32_t lo, hi;
    double expected;
  };
  const Sample samples[] = {
      {0, 0, 0.0},
      {0x00000FFF, 0, 0.0},  // the low 12 bits are dropped
      {0x00001000, 0, std::ldexp(1.0, -52)},
      {0, 0x80000000, 0.5},
      {0xFFFFFFFF, 0xFFFFFFFF, 1.0 - std::ldexp(1.0, -52)},
      {0x9ABCDEF0, 0x12345678, static_cast<double>(0x123456789ABCDull) * std::ldexp(1.0, -52)},
  };
  on_new_thread([&] {
    ThreadRandom random = take_thread_random();
    ThreadGenerator& generator = random.generator();
    (void)draw_word64(random);  // fill the buffer, so the next draws read planted words
    for (const Sample& sample : samples) {
      generator.position = 10;
      generator.words[10] = sample.lo;
      generator.words[11] = sample.hi;
      EXPECT_EQ(draw_unit_double(random), sample.expected)
          << std::hex << sample.lo << " " << sample.hi;
      EXPECT_EQ(generator.position, 12u);
      generator.position = 10;
      EXPECT_EQ(draw_word64(random), std::uint64_t{sample.hi} << 32 | sample.lo);
    }
    // The last draw of a buffer takes its last two words.
    generator.position = buffer_words - 2;
    generator.words[buffer_words - 2] = 0x11111111;
    generator.words[buffer_words - 1] = 0x22222222;
    EXPECT_EQ(draw_word64(random), 0x2222222211111111ull);
    EXPECT_EQ(generator.position, buffer_words);
  });
}

TEST(ThreadRandom, EntropyReadRetriesInterruptionsAndShortReads) {
  EntropyScript script;
  script.replies = {{EINTR, 0}, {0, 5}, {EINTR, 0}, {0, 1000}};
  for (int i = 0; i < 32; ++i) script.bytes.push_back(static_cast<std::uint8_t>(0xA0 + i));
  on_new_thread([&] {
    t_entropy_script = &script;
    ThreadRandom random = take_thread_random();
    const KeystreamCore& keystream = random.generator().keystream;
    EXPECT_EQ(keystream.key[0], 0xA3A2A1A0u);
    EXPECT_EQ(keystream.key[1], 0xA7A6A5A4u);  // bytes 4 and 5..7 from two reads
    EXPECT_EQ(keystream.key[7], 0xBFBEBDBCu);
    const std::vector<std::size_t> lengths{32, 32, 27, 27};
    EXPECT_EQ(script.lengths, lengths);
    t_entropy_script = nullptr;
  });
}

void take_with_failing_entropy(int error) {
  on_new_thread([error] {
    EntropyScript script;
    script.replies = {{error, 0}};
    t_entropy_script = &script;
    ThreadRandom random = take_thread_random();
    (void)draw_word64(random);
  });
}

TEST(ThreadRandomDeathTest, UnreadableEntropySourceEndsTheProcess) {
  EXPECT_DEATH(take_with_failing_entropy(EIO),
               "cannot read the entropy source for the random generator: getrandom: "
               "Input/output error \\(os error 5\\)");
  EXPECT_DEATH(take_with_failing_entropy(ENOSYS), "\\(os error 38\\)");
}

TEST(ThreadRandomDeathTest, EntropySourceThatGivesNothingEndsTheProcess) {
  EXPECT_DEATH(on_new_thread([] {
                 EntropyScript script;
                 script.replies = {{0, 0}};
                 t_entropy_script = &script;
                 (void)take_thread_random();
               }),
               "getrandom: no bytes returned");
}

TEST(ThreadRandomDeathTest, FailedRekeyEndsTheProcess) {
  EXPECT_DEATH(on_new_thread([] {
                 EntropyScript script;
                 t_entropy_script = &script;
                 ThreadRandom random = take_thread_random();
                 for (int n = 0; n < 8192; ++n) (void)draw_word64(random);
                 script.replies = {{EIO, 0}};
                 (void)draw_word64(random);
               }),
               "os error 5");
}

// Records what happens at thread exit, after the slot has been released.
struct ExitRecord {
  std::size_t handle_count_after_slot_release = 0;
  int aborts = 0;
  std::string message;
  int aborts_in_flight_after = -1;
};

// Constructed on a thread before its slot, so destroyed after it.
struct ExitProbe {
  ExitRecord* record = nullptr;
  std::optional<ThreadRandom> handle;

  ~ExitProbe() {
    if (record == nullptr) return;
    if (handle) record->handle_count_after_slot_release = handle->generator().handle_count;
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        (void)take_thread_random();
      } catch (const CallAbort& abort) {
        ++record->aborts;
        record->message = abort.message();
        lower_aborts_in_flight();  // as the call frame would
      }
    }
    record->aborts_in_flight_after = aborts_in_flight();
    handle.reset();
  }
};

thread_local ExitProbe t_exit_probe;

TEST(ThreadRandom, ThreadExitReleasesTheSlotAndRefusesLaterAccess) {
  ExitRecord record;
  int calls_at_exit = -1;
  on_new_thread([&] {
    t_exit_probe.record = &record;  // constructs the probe first
    t_exit_probe.handle.emplace(take_thread_random());
    (void)draw_word64(*t_exit_probe.handle);
    calls_at_exit = t_getrandom_calls;
  });
  // The slot's reference went first; the handle outlived it and held the generator alive.
  EXPECT_EQ(record.handle_count_after_slot_release, 1u);
  EXPECT_EQ(record.aborts, 2);
  EXPECT_EQ(record.message,
            "cannot access a Thread Local Storage value during or after destruction: AccessError");
  EXPECT_EQ(record.aborts_in_flight_after, 0);
  EXPECT_EQ(calls_at_exit, 1);
}

TEST(ThreadRandom, ThreadExitFreesTheGenerator) {
  // Threads that create a generator and end with no handle out leave no memory behind.
  auto run_threads = [](bool take) {
    for (int i = 0; i < 64; ++i) {
      on_new_thread([take] {
        if (!take) return;
        ThreadRandom random = take_thread_random();
        (void)draw_word64(random);
      });
    }
  };
  run_threads(true);  // warm up the allocator's arenas
  run_threads(false);
  const std::size_t before = mallinfo2().uordblks;
  run_threads(true);
  const std::size_t after = mallinfo2().uordblks;
  EXPECT_LT(after, before + 64 * sizeof(ThreadGenerator) / 2)
      << "in use before " << before << ", after " << after;
}

TEST(ThreadRandom, AForkedChildDrawsFromAFreshKeyAndTheParentGoesOn) {
  // Fork from a thread other than the runner's main one, with a buffer half used.
  on_new_thread([] {
    ThreadRandom random = take_thread_random();
    const std::vector<std::uint8_t> key = key_bytes(random.generator().keystream);
    const std::vector<std::uint64_t> expected = oracle_draws(key, 40);
    for (int n = 0; n < 5; ++n)
      ASSERT_EQ(draw_word64(random), expected[static_cast<std::size_t>(n)]);
    const int calls = t_getrandom_calls;
    // Forks, and reports how the child's first draw came about.
    auto fork_and_draw = [&random] {
      const std::vector<std::uint8_t> before = key_bytes(random.generator().keystream);
      const int fetches_before = t_getrandom_calls;
      return run_in_child([&random, &before, fetches_before] {
        const std::uint64_t draw = draw_word64(random);
        const KeystreamCore& keystream = random.generator().keystream;
        const std::vector<std::uint8_t> fresh = key_bytes(keystream);
        std::string answer;
        if (t_getrandom_calls != fetches_before + 1) answer += "not one fetch;";
        if (fresh == before) answer += "same key;";
        if (draw != oracle_draws(fresh, 1)[0]) answer += "not block 0 of the fresh key;";
        if (chacha12_detail::block_number(keystream) != buffer_words / 16)
          answer += "counter not restarted;";
        if (keystream.rekey_budget != rekey_interval_bytes - refill_bytes)
          answer += "budget not the fresh key's;";
        return answer.empty() ? std::string("fresh") : answer;
      });
    };
    EXPECT_EQ(fork_and_draw(), "fresh");
    // A grandchild renews in its turn, from its parent's fresh key.
    EXPECT_EQ(run_in_child([&] {
                (void)draw_word64(random);
                return fork_and_draw();
              }),
              "fresh");
    for (std::size_t n = 5; n < 40; ++n) ASSERT_EQ(draw_word64(random), expected[n]) << n;
    EXPECT_EQ(t_getrandom_calls, calls);
  });
}

TEST(ThreadRandom, ForkingFromAThreadWithoutAGeneratorCreatesNone) {
  on_new_thread([] { (void)take_thread_random(); });  // the process has a generator
  on_new_thread([] {
    const int calls = t_getrandom_calls;
    EXPECT_EQ(run_in_child([calls] {
                // Only the first take of this thread creates and keys a generator.
                if (t_getrandom_calls != calls) return std::string("fetched at fork");
                ThreadRandom random = take_thread_random();
                (void)draw_word64(random);
                return std::to_string(t_getrandom_calls - calls);
              }),
              "1");
  });
}

TEST(ThreadRandom, TwoThreadsHaveIndependentGenerators) {
  struct Outcome {
    std::vector<std::uint8_t> key;
    std::vector<std::uint64_t> draws;
    const void* generator = nullptr;
    int entropy_calls = 0;
  };
  Outcome outcomes[2];
  std::latch start(2);
  std::latch both_taken(2);  // both generators alive at once, so their addresses differ
  auto body = [&start, &both_taken](Outcome& outcome) {
    start.arrive_and_wait();
    ThreadRandom random = take_thread_random();
    outcome.generator = &random.generator();
    outcome.key = key_bytes(random.generator().keystream);
    both_taken.arrive_and_wait();
    for (int i = 0; i < 3000; ++i) outcome.draws.push_back(draw_word64(random));
    outcome.entropy_calls = t_getrandom_calls;
  };
  std::thread first(body, std::ref(outcomes[0]));
  std::thread second(body, std::ref(outcomes[1]));
  first.join();
  second.join();
  EXPECT_NE(outcomes[0].generator, outcomes[1].generator);
  EXPECT_NE(outcomes[0].key, outcomes[1].key);
  for (const Outcome& outcome : outcomes) {
    EXPECT_EQ(outcome.entropy_calls, 1);
    EXPECT_EQ(outcome.draws, oracle_draws(outcome.key, 3000));
  }
}

}  // namespace
}  // namespace gridflip
