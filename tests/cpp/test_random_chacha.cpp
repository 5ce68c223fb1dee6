// The ChaCha12 block functions: published vectors, Crypto++ as an independent oracle, and every
// accelerated function and every refill path against the portable reference.
#include "random/chacha12.hpp"

#include <crypto++/algparam.h>
#include <crypto++/argnames.h>
#include <crypto++/chacha.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace gridflip {

#if defined(__x86_64__)
// The AVX-512 file's sixteen-lane kernel, built under AVX2 instead (chacha12_sixteen_lanes.cpp):
// the same source on a CPU that can run it, whatever this one lacks.
void chacha12_sixteen_lanes_avx2(KeystreamCore& core, std::span<std::uint32_t, 256> words) noexcept;
#endif

namespace {

using Words = std::vector<std::uint32_t>;

std::vector<std::uint8_t> from_hex(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::uint32_t load_le32(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
         std::uint32_t{bytes[3]} << 24;
}

KeystreamCore make_core(const std::vector<std::uint8_t>& key, const std::vector<std::uint8_t>& iv,
                        std::uint64_t block) {
  KeystreamCore core{};
  for (int i = 0; i < 8; ++i) core.key[i] = load_le32(&key[4 * static_cast<std::size_t>(i)]);
  core.nonce[0] = load_le32(&iv[0]);
  core.nonce[1] = load_le32(&iv[4]);
  chacha12_detail::set_block_number(core, block);
  core.rekey_interval = 65536;
  core.rekey_budget = 65536;
  return core;
}

KeystreamCore random_core(std::mt19937_64& random, std::uint64_t counter) {
  KeystreamCore core{};
  for (auto& word : core.key) word = static_cast<std::uint32_t>(random());
  for (auto& word : core.nonce) word = static_cast<std::uint32_t>(random());
  chacha12_detail::set_block_number(core, counter);
  return core;
}

// Keystream bytes from Crypto++'s ChaCha with 12 rounds, starting at block `first_block`.
// Its layout is the original one this generator uses: state words 12 and 13 are the 64-bit
// block counter, 14 and 15 the 8-byte IV.
std::vector<std::uint8_t> cryptopp_keystream(const std::vector<std::uint8_t>& key,
                                             const std::vector<std::uint8_t>& iv,
                                             std::uint64_t first_block, std::size_t length) {
  CryptoPP::ChaCha::Encryption cipher;
  cipher.SetKey(key.data(), key.size(),
                CryptoPP::MakeParameters(CryptoPP::Name::Rounds(), 12)(
                    CryptoPP::Name::IV(), CryptoPP::ConstByteArrayParameter(iv.data(), iv.size())));
  cipher.Seek(first_block * 64);
  std::vector<std::uint8_t> zeros(length, 0);
  std::vector<std::uint8_t> stream(length, 0);
  cipher.ProcessData(stream.data(), zeros.data(), length);
  return stream;
}

Words words_from_bytes(const std::vector<std::uint8_t>& bytes) {
  Words words(bytes.size() / 4);
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = load_le32(&bytes[4 * i]);
  return words;
}

// One call of a block function, seen as `blocks` blocks written from the core's counter on.
struct BlockFunction {
  const char* name;
  std::size_t blocks;
  void (*run)(KeystreamCore&, std::uint32_t*) noexcept;
  bool (*supported)() noexcept;
};

void PrintTo(const BlockFunction& function, std::ostream* out) { *out << function.name; }

// `blocks` blocks from the portable reference, four at a time.
Words reference_blocks(KeystreamCore& core, std::size_t blocks) {
  Words words(16 * blocks);
  for (std::size_t at = 0; at < words.size(); at += 64) {
    chacha12_four_blocks(core, std::span<std::uint32_t, 64>(&words[at], 64));
  }
  return words;
}

Words run(const BlockFunction& function, KeystreamCore& core) {
  // A guard word past the end catches a function that writes more than its blocks.
  Words words(16 * function.blocks + 1, 0xDEADBEEF);
  function.run(core, words.data());
  EXPECT_EQ(words.back(), 0xDEADBEEF) << function.name << " wrote past its blocks";
  words.pop_back();
  return words;
}

template <std::size_t size,
          void (*function)(KeystreamCore&, std::span<std::uint32_t, size>) noexcept>
void call_with_span(KeystreamCore& core, std::uint32_t* words) noexcept {
  function(core, std::span<std::uint32_t, size>(words, size));
}

template <Chacha12Path path>
void call_path(KeystreamCore& core, std::uint32_t* words) noexcept {
  chacha12_kernels(path)->sixteen_blocks(core, std::span<std::uint32_t, 256>(words, 256));
}

template <Chacha12Path path>
bool path_supported() noexcept {
  return chacha12_path_supported(path);
}

const BlockFunction block_functions[] = {
    {"four_blocks_portable", 4, &call_with_span<64, &chacha12_four_blocks>,
     &path_supported<Chacha12Path::portable>},
#if defined(__x86_64__)
    {"four_blocks_sse2", 4, &call_with_span<64, &chacha12_four_blocks_sse2>,
     &path_supported<Chacha12Path::sse2>},
    {"eight_blocks_avx2", 8, &call_with_span<128, &chacha12_eight_blocks_avx2>,
     &path_supported<Chacha12Path::avx2>},
    {"sixteen_blocks_avx512", 16, &call_with_span<256, &chacha12_sixteen_blocks_avx512>,
     &path_supported<Chacha12Path::avx512>},
    {"sixteen_lanes_built_for_avx2", 16, &call_with_span<256, &chacha12_sixteen_lanes_avx2>,
     &path_supported<Chacha12Path::avx2>},
#endif
    {"refill_portable", 16, &call_path<Chacha12Path::portable>,
     &path_supported<Chacha12Path::portable>},
    {"refill_sse2", 16, &call_path<Chacha12Path::sse2>, &path_supported<Chacha12Path::sse2>},
    {"refill_avx2", 16, &call_path<Chacha12Path::avx2>, &path_supported<Chacha12Path::avx2>},
    {"refill_avx512", 16, &call_path<Chacha12Path::avx512>, &path_supported<Chacha12Path::avx512>},
};

class Chacha12BlockFunctionTest : public testing::TestWithParam<BlockFunction> {
 protected:
  void SetUp() override {
    if (!GetParam().supported()) GTEST_SKIP() << GetParam().name << " cannot run on this CPU";
  }
  const BlockFunction& function() const { return GetParam(); }
};

struct PublishedVector {
  const char* name;
  const char* key;
  const char* iv;
  const char* blocks01;  // keystream blocks 0 and 1
};

// 256-bit keys, 12 rounds, from draft-strombergson-chacha-test-vectors-01.
const PublishedVector published_vectors[] = {
    {"TC1 all zero key and IV", "0000000000000000000000000000000000000000000000000000000000000000",
     "0000000000000000",
     "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
     "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"
     "0bd58841203e74fe86fc71338ce0173dc628ebb719bdcbcc151585214cc089b4"
     "42258dcda14cf111c602b8971b8cc843e91e46ca905151c02744a6b017e69316"},
    {"TC2 single bit in key", "0100000000000000000000000000000000000000000000000000000000000000",
     "0000000000000000",
     "12056e595d56b0f6eef090f0cd25a20949248c2790525d0f930218ff0b4ddd10"
     "a6002239d9a454e29e107a7d06fefdfef0210feba044f9f29b1772c960dc29c0"
     "0c7366c5cbc604240e665eb02a69372a7af979b26fbb78092ac7c4b88029a7c8"
     "54513bc217bbfc7d90432e308eba15afc65aeb48ef100d5601e6afba257117a9"},
    {"TC3 single bit in IV", "0000000000000000000000000000000000000000000000000000000000000000",
     "0100000000000000",
     "64b8bdf87b828c4b6dbaf7ef698de03df8b33f635714418f9836ade59be12969"
     "46c953a0f38ecffc9ecb98e81d5d99a5edfc8f9a0a45b9e41ef3b31f028f1d0f"
     "559db4a7f222c442fe23b9a2596a88285122ee4f1363896ea77ca150912ac723"
     "bff04b026a2f807e03b29c02077d7b06fc1ab9827c13c8013a6d83bd3b52a26f"},
    {"TC4 all bits set", "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
     "ffffffffffffffff",
     "04bf88dae8e47a228fa47b7e6379434ba664a7d28f4dab84e5f8b464add20c3a"
     "caa69c5ab221a23a57eb5f345c96f4d1322d0a2ff7a9cd43401cd536639a615a"
     "5c9429b55ca3c1b55354559669a154aca46cd761c41ab8ace385363b95675f06"
     "8e18db5a673c11291bd4187892a9a3a33514f3712b26c13026103298ed76bc9a"},
    {"TC7 sequence patterns", "00112233445566778899aabbccddeeffffeeddccbbaa99887766554433221100",
     "0f1e2d3c4b5a6978",
     "7ed12a3a63912ae941ba6d4c0d5e862e568b0e5589346935505f064b8c2698db"
     "f7d850667d8e67be639f3b4f6a16f92e65ea80f6c7429445da1fc2c1b9365040"
     "e32e50c4106f3b3da1ce7ccb1e7140b153493c0f3ad9a9bcff077ec4596f1d0f"
     "29bf9cbaa502820f732af5a93c49eee33d1c4f12af3b4297af91fe41ea9e94a2"},
    {"TC8 hashed strings", "c46ec1b18ce8a878725a37e780dfb7351f68ed2e194c79fbc6aebee1a667975d",
     "1ada31d5cf688221",
     "1482072784bc6d06b4e73bdc118bc0103c7976786ca918e06986aa251f7e9cc1"
     "b2749a0a16ee83b4242d2e99b08d7c20092b80bc466c87283b61b1b39d0ffbab"
     "d94b116bc1ebdb329b9e4f620db695544a8e3d9b68473d0c975a46ad966ed631"
     "e42aff530ad5eac7d8047adfa1e5113c91f3e3b883f1d189ac1c8fe07ba5a42b"},
};

TEST(Chacha12Oracle, CryptoppIsConfiguredAsChaCha12WithAnEightByteIv) {
  // Without this, a wrong round count or IV layout in the oracle would hide the same fault here.
  for (const PublishedVector& vector : published_vectors) {
    SCOPED_TRACE(vector.name);
    EXPECT_EQ(cryptopp_keystream(from_hex(vector.key), from_hex(vector.iv), 0, 128),
              from_hex(vector.blocks01));
  }
}

TEST_P(Chacha12BlockFunctionTest, MatchesPublishedVectors) {
  for (const PublishedVector& vector : published_vectors) {
    SCOPED_TRACE(vector.name);
    KeystreamCore core = make_core(from_hex(vector.key), from_hex(vector.iv), 0);
    const Words words = run(function(), core);
    const std::vector<std::uint8_t> expected = from_hex(vector.blocks01);
    for (std::size_t i = 0; i < 32; ++i) {
      ASSERT_EQ(words[i], load_le32(&expected[4 * i])) << "word " << i;
    }
    EXPECT_EQ(chacha12_detail::block_number(core), function().blocks);
  }
}

TEST_P(Chacha12BlockFunctionTest, ZeroKeyGivesTheStartOfTheZeroKeyStream) {
  const std::vector<std::uint8_t> zero_key(32, 0);
  const std::vector<std::uint8_t> zero_iv(8, 0);
  KeystreamCore core = make_core(zero_key, zero_iv, 0);
  EXPECT_EQ(run(function(), core),
            words_from_bytes(cryptopp_keystream(zero_key, zero_iv, 0, 64 * function().blocks)));
  EXPECT_EQ(core.block_counter[0], function().blocks);
  EXPECT_EQ(core.block_counter[1], 0u);
  // The key, nonce and budget are the caller's; the block function leaves them alone.
  for (std::uint32_t word : core.key) EXPECT_EQ(word, 0u);
  EXPECT_EQ(core.nonce[0], 0u);
  EXPECT_EQ(core.nonce[1], 0u);
  EXPECT_EQ(core.rekey_budget, 65536);
}

TEST_P(Chacha12BlockFunctionTest, MatchesCryptoppForRandomKeysAndCounters) {
  std::mt19937_64 random(20240611);
  // Low words that carry into the high word at every lane of a call, and far-off counters.
  const std::uint64_t counters[] = {
      0,          16,         0xFFFFFFF0, 0xFFFFFFF1,  0xFFFFFFF7,        0xFFFFFFF8,
      0xFFFFFFFC, 0xFFFFFFFD, 0xFFFFFFFF, 0x1FFFFFFF9, 0x123456789ABCull, 0x3FFFFFFFFFFFFF0ull};
  for (int trial = 0; trial < 8; ++trial) {
    std::vector<std::uint8_t> key(32);
    for (auto& byte : key) byte = static_cast<std::uint8_t>(random());
    std::vector<std::uint8_t> iv(8, 0);
    if (trial % 2 == 1) {
      for (auto& byte : iv) byte = static_cast<std::uint8_t>(random());
    }
    for (std::uint64_t counter : counters) {
      SCOPED_TRACE(testing::Message() << "trial " << trial << " counter 0x" << std::hex << counter);
      KeystreamCore core = make_core(key, iv, counter);
      ASSERT_EQ(run(function(), core),
                words_from_bytes(cryptopp_keystream(key, iv, counter, 64 * function().blocks)));
      EXPECT_EQ(chacha12_detail::block_number(core), counter + function().blocks);
    }
  }
}

TEST(Chacha12Reference, CounterWrapsModulo2To64) {
  // The reference against itself from block 0, which Crypto++ vouches for; Crypto++ cannot seek
  // this far.
  const std::vector<std::uint8_t> key = from_hex(published_vectors[5].key);
  const std::vector<std::uint8_t> iv(8, 0);
  KeystreamCore from_zero = make_core(key, iv, 0);
  const Words blocks0to3 = reference_blocks(from_zero, 4);
  EXPECT_EQ(blocks0to3, words_from_bytes(cryptopp_keystream(key, iv, 0, 256)));
  KeystreamCore near_end = make_core(key, iv, 0xFFFFFFFFFFFFFFFEull);
  const Words wrapped = reference_blocks(near_end, 4);
  // Blocks 2^64 - 2 and 2^64 - 1, then blocks 0 and 1.
  EXPECT_EQ(Words(wrapped.begin() + 32, wrapped.end()),
            Words(blocks0to3.begin(), blocks0to3.begin() + 32));
  EXPECT_EQ(chacha12_detail::block_number(near_end), 2u);

  KeystreamCore before_end = make_core(key, iv, 0xFFFFFFFFFFFFFFFFull - 3);
  const Words last_blocks = reference_blocks(before_end, 4);
  KeystreamCore last = make_core(key, iv, 0xFFFFFFFFFFFFFFFFull);
  const Words last_then_zero = reference_blocks(last, 4);
  EXPECT_EQ(Words(last_then_zero.begin(), last_then_zero.begin() + 16),
            Words(last_blocks.begin() + 48, last_blocks.end()));
  EXPECT_EQ(Words(last_then_zero.begin() + 16, last_then_zero.begin() + 32),
            Words(blocks0to3.begin(), blocks0to3.begin() + 16));
  EXPECT_EQ(chacha12_detail::block_number(last), 3u);
}

TEST_P(Chacha12BlockFunctionTest, CounterWrapsModulo2To64LikeTheReference) {
  std::mt19937_64 random(64);
  // Every place the wrap can fall within one call, and the call that ends on it.
  for (std::uint64_t before_wrap = 1; before_wrap <= function().blocks; ++before_wrap) {
    SCOPED_TRACE(testing::Message() << before_wrap << " blocks before the wrap");
    KeystreamCore core = random_core(random, 0 - before_wrap);
    KeystreamCore reference = core;
    ASSERT_EQ(run(function(), core), reference_blocks(reference, function().blocks));
    EXPECT_EQ(chacha12_detail::block_number(core), function().blocks - before_wrap);
  }
}

TEST_P(Chacha12BlockFunctionTest, MatchesTheReferenceOnRandomStates) {
  std::mt19937_64 random(7);
  for (int trial = 0; trial < 2000; ++trial) {
    // Mostly counters near a carry of the low word or the wrap of the whole counter.
    std::uint64_t counter = random();
    if (trial % 3 == 0) counter |= 0xFFFFFFF0;
    if (trial % 7 == 0) counter |= 0xFFFFFFFFFFFFFFF0ull;
    KeystreamCore core = random_core(random, counter);
    KeystreamCore reference = core;
    ASSERT_EQ(run(function(), core), reference_blocks(reference, function().blocks))
        << "trial " << trial;
    ASSERT_EQ(chacha12_detail::block_number(core), chacha12_detail::block_number(reference));
  }
}

INSTANTIATE_TEST_SUITE_P(All, Chacha12BlockFunctionTest, testing::ValuesIn(block_functions),
                         [](const testing::TestParamInfo<BlockFunction>& function_info) {
                           return std::string(function_info.param.name);
                         });

TEST(Chacha12Dispatch, UsesTheLastSupportedPathAndAgreesWithTheReference) {
  const Chacha12Path selected = selected_chacha12_path();
  EXPECT_TRUE(chacha12_path_supported(selected)) << chacha12_path_name(selected);
  EXPECT_TRUE(chacha12_path_supported(Chacha12Path::portable));
  Chacha12Path last_supported = Chacha12Path::portable;
  for (Chacha12Path path : chacha12_paths) {
    if (chacha12_path_supported(path)) last_supported = path;
  }
  EXPECT_EQ(selected, last_supported);

  std::mt19937_64 random(99);
  KeystreamCore core = random_core(random, 0xFFFFFFF8);
  KeystreamCore reference = core;
  for (int call = 0; call < 3; ++call) {
    std::uint32_t words[256] = {};
    selected_chacha12_kernels().sixteen_blocks(core, std::span<std::uint32_t, 256>(words));
    ASSERT_EQ(Words(std::begin(words), std::end(words)), reference_blocks(reference, 16));
  }
  EXPECT_EQ(chacha12_detail::block_number(core), 0xFFFFFFF8ull + 48);
}

}  // namespace
}  // namespace gridflip
