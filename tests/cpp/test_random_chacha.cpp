// The ChaCha12 block function: published vectors, Crypto++ as an independent oracle, and every
// accelerated path against the portable one.
#include "random/chacha12.hpp"

#include <crypto++/algparam.h>
#include <crypto++/argnames.h>
#include <crypto++/chacha.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace gridflip {
namespace {

using Words = std::array<std::uint32_t, 64>;

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
  Words words{};
  for (std::size_t i = 0; i < 64; ++i) words[i] = load_le32(&bytes[4 * i]);
  return words;
}

Words run(Chacha12FourBlocks implementation, KeystreamCore& core) {
  std::uint32_t words[64];
  for (auto& word : words) word = 0xDEADBEEF;
  implementation(core, words);
  Words result{};
  for (std::size_t i = 0; i < 64; ++i) result[i] = words[i];
  return result;
}

Words run_dispatched(KeystreamCore& core) {
  std::uint32_t words[64] = {};
  chacha12_four_blocks(core, words);
  Words result{};
  for (std::size_t i = 0; i < 64; ++i) result[i] = words[i];
  return result;
}

std::vector<Chacha12Path> supported_paths() {
  std::vector<Chacha12Path> paths;
  for (Chacha12Path path :
       {Chacha12Path::portable, Chacha12Path::sse2, Chacha12Path::avx2, Chacha12Path::avx512}) {
    if (chacha12_path_supported(path)) paths.push_back(path);
  }
  return paths;
}

class Chacha12PathTest : public testing::TestWithParam<Chacha12Path> {
 protected:
  void SetUp() override {
    if (!chacha12_path_supported(GetParam())) {
      GTEST_SKIP() << chacha12_path_name(GetParam()) << " is not supported on this CPU";
    }
    implementation_ = chacha12_implementation(GetParam());
  }
  Chacha12FourBlocks implementation_ = nullptr;
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

TEST_P(Chacha12PathTest, MatchesPublishedVectors) {
  for (const PublishedVector& vector : published_vectors) {
    SCOPED_TRACE(vector.name);
    KeystreamCore core = make_core(from_hex(vector.key), from_hex(vector.iv), 0);
    const Words words = run(implementation_, core);
    const std::vector<std::uint8_t> expected = from_hex(vector.blocks01);
    for (std::size_t i = 0; i < 32; ++i) {
      ASSERT_EQ(words[i], load_le32(&expected[4 * i])) << "word " << i;
    }
    EXPECT_EQ(chacha12_detail::block_number(core), 4u);
  }
}

TEST_P(Chacha12PathTest, ZeroKeyFillsFirst256BytesOfZeroKeyStream) {
  const std::vector<std::uint8_t> zero_key(32, 0);
  const std::vector<std::uint8_t> zero_iv(8, 0);
  KeystreamCore core = make_core(zero_key, zero_iv, 0);
  EXPECT_EQ(run(implementation_, core),
            words_from_bytes(cryptopp_keystream(zero_key, zero_iv, 0, 256)));
  EXPECT_EQ(core.block_counter[0], 4u);
  EXPECT_EQ(core.block_counter[1], 0u);
  // The key, nonce and budget are the caller's; the block function leaves them alone.
  for (std::uint32_t word : core.key) EXPECT_EQ(word, 0u);
  EXPECT_EQ(core.nonce[0], 0u);
  EXPECT_EQ(core.nonce[1], 0u);
  EXPECT_EQ(core.rekey_budget, 65536);
}

TEST_P(Chacha12PathTest, MatchesCryptoppForRandomKeysAndCounters) {
  std::mt19937_64 random(20240611);
  // Low words that carry into the high word within the four blocks, and far-off counters.
  const std::uint64_t counters[] = {0,           4,           0xFFFFFFFC,         0xFFFFFFFD,
                                    0xFFFFFFFE,  0xFFFFFFFF,  0x1FFFFFFFF,        0x123456789ABCull,
                                    0x3FFFFFFFFFFFFFEull};
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
      ASSERT_EQ(run(implementation_, core),
                words_from_bytes(cryptopp_keystream(key, iv, counter, 256)));
      EXPECT_EQ(chacha12_detail::block_number(core), counter + 4);
    }
  }
}

TEST_P(Chacha12PathTest, CounterWrapsModulo2To64) {
  const std::vector<std::uint8_t> key = from_hex(published_vectors[5].key);
  const std::vector<std::uint8_t> iv(8, 0);
  KeystreamCore from_zero = make_core(key, iv, 0);
  const Words blocks0to3 = run(&chacha12_four_blocks_portable, from_zero);
  KeystreamCore near_end = make_core(key, iv, 0xFFFFFFFFFFFFFFFEull);
  const Words wrapped = run(implementation_, near_end);
  // Blocks 2^64 - 2 and 2^64 - 1, then blocks 0 and 1.
  for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(wrapped[32 + i], blocks0to3[i]) << "word " << i;
  EXPECT_EQ(chacha12_detail::block_number(near_end), 2u);

  KeystreamCore before_end = make_core(key, iv, 0xFFFFFFFFFFFFFFFFull - 3);
  const Words last_blocks = run(implementation_, before_end);
  KeystreamCore last = make_core(key, iv, 0xFFFFFFFFFFFFFFFFull);
  const Words last_then_zero = run(implementation_, last);
  for (std::size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(last_then_zero[i], last_blocks[48 + i]) << "word " << i;
    EXPECT_EQ(last_then_zero[16 + i], blocks0to3[i]) << "word " << i;
  }
  EXPECT_EQ(chacha12_detail::block_number(last), 3u);
}

TEST_P(Chacha12PathTest, MatchesPortableOnRandomStates) {
  std::mt19937_64 random(7);
  for (int trial = 0; trial < 2000; ++trial) {
    KeystreamCore core{};
    for (auto& word : core.key) word = static_cast<std::uint32_t>(random());
    for (auto& word : core.nonce) word = static_cast<std::uint32_t>(random());
    // Mostly counters near a carry of the low word.
    std::uint64_t counter = random();
    if (trial % 3 == 0) counter |= 0xFFFFFFF0;
    chacha12_detail::set_block_number(core, counter);
    KeystreamCore reference = core;
    ASSERT_EQ(run(implementation_, core), run(&chacha12_four_blocks_portable, reference))
        << "trial " << trial;
    ASSERT_EQ(chacha12_detail::block_number(core), chacha12_detail::block_number(reference));
  }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, Chacha12PathTest,
                         testing::Values(Chacha12Path::portable, Chacha12Path::sse2,
                                         Chacha12Path::avx2, Chacha12Path::avx512),
                         [](const testing::TestParamInfo<Chacha12Path>& path_info) {
                           return std::string(chacha12_path_name(path_info.param));
                         });

TEST(Chacha12Dispatch, UsesASupportedPathAndAgreesWithPortable) {
  const Chacha12Path selected = chacha12_selected_path();
  EXPECT_TRUE(chacha12_path_supported(selected)) << chacha12_path_name(selected);
  EXPECT_TRUE(chacha12_path_supported(Chacha12Path::portable));
  // The fastest supported path wins.
  const std::vector<Chacha12Path> paths = supported_paths();
  EXPECT_EQ(selected, paths.back());

  std::mt19937_64 random(99);
  KeystreamCore core{};
  for (auto& word : core.key) word = static_cast<std::uint32_t>(random());
  chacha12_detail::set_block_number(core, 0xFFFFFFFE);
  KeystreamCore reference = core;
  for (int call = 0; call < 3; ++call) {
    ASSERT_EQ(run_dispatched(core), run(&chacha12_four_blocks_portable, reference));
  }
  EXPECT_EQ(chacha12_detail::block_number(core), 0xFFFFFFFEull + 12);
}

}  // namespace
}  // namespace gridflip
