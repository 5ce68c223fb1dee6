"""The pure-Python ChaCha12 keystream and draw-stream model against published and
independent answers."""

import random
import shutil
import struct
import subprocess
from pathlib import Path

import pytest
from models.chacha12 import (
    CONSTANTS,
    StreamModel,
    chacha_block,
    input_state,
    key_words,
    keystream_bytes,
    keystream_words,
    unit_double,
)

ZERO_KEY = bytes(32)
COUNTING_KEY = bytes(range(32))


def hexbytes(text):
    return bytes.fromhex("".join(text.split()))


# -- the block function ----------------------------------------------------------------------


def test_rfc8439_block_vector_with_twenty_rounds():
    # RFC 8439 section 2.3.2: key 00..1f, block count 1, nonce 00:00:00:09:00:00:00:4a:00:00:00:00.
    # Its 32-bit counter and 96-bit nonce fill state words 12..15 as the values below.
    state = [*CONSTANTS, *key_words(COUNTING_KEY), 0x00000001, 0x09000000, 0x4A000000, 0x00000000]
    assert input_state(COUNTING_KEY, (0x09000000 << 32) | 1, nonce=0x4A000000) == state
    expected = hexbytes("""
        10 f1 e7 e4 d1 3b 59 15 50 0f dd 1f a3 20 71 c4 c7 d1 f4 c7 33 c0 68 03 04 22 aa 9a c3 d4 6c 4e
        d2 82 64 46 07 9f aa 09 14 c2 d7 05 d9 8b 02 a2 b5 12 9c d1 de 16 4e b9 cb d0 83 e8 a2 50 3c 4e""")
    assert struct.pack("<16I", *chacha_block(state, rounds=20)) == expected


# draft-strombergson-chacha-test-vectors-01 ("Test Vectors for the Stream Cipher ChaCha",
# J. Strombergson, 2013), 256-bit keys; the draft's 64-bit IV is the nonce in words 14-15.
TC1_12 = hexbytes("""
    9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f
    0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be
    0bd58841203e74fe86fc71338ce0173dc628ebb719bdcbcc151585214cc089b4
    42258dcda14cf111c602b8971b8cc843e91e46ca905151c02744a6b017e69316""")
TC8_KEY = hexbytes("c46ec1b18ce8a878725a37e780dfb7351f68ed2e194c79fbc6aebee1a667975d")
TC8_IV = hexbytes("1ada31d5cf688221")
TC8_12 = hexbytes("""
    1482072784bc6d06b4e73bdc118bc0103c7976786ca918e06986aa251f7e9cc1
    b2749a0a16ee83b4242d2e99b08d7c20092b80bc466c87283b61b1b39d0ffbab
    d94b116bc1ebdb329b9e4f620db695544a8e3d9b68473d0c975a46ad966ed631
    e42aff530ad5eac7d8047adfa1e5113c91f3e3b883f1d189ac1c8fe07ba5a42b""")


def test_published_chacha12_vectors():
    assert keystream_bytes(ZERO_KEY, 0, 2) == TC1_12
    nonce = int.from_bytes(TC8_IV, "little")
    assert keystream_bytes(TC8_KEY, 0, 2, nonce=nonce) == TC8_12


def test_round_count_is_honoured():
    # The same draft, TC1 with 8 and with 20 rounds: first 16 bytes.
    assert keystream_bytes(ZERO_KEY, 0, 1, rounds=8)[:16] == hexbytes(
        "3e00ef2f895f40d67f5bb8e81f09a5a1"
    )
    assert keystream_bytes(ZERO_KEY, 0, 1, rounds=20)[:16] == hexbytes(
        "76b8e0ada0f13d90405d6ae55386bd28"
    )


def test_block_counter_wraps_modulo_two_to_the_64():
    words = keystream_words(COUNTING_KEY, 2**64 - 2, 4)
    assert words[32:] == keystream_words(COUNTING_KEY, 0, 2)
    assert words[:16] != words[32:48]


# Crypto++ (Debian libcrypto++-dev) is an independent ChaCha with Bernstein's layout and a
# selectable round count; built here, it answers for any key and block number.
ORACLE_SOURCE = r"""
#include <crypto++/algparam.h>
#include <crypto++/argnames.h>
#include <crypto++/chacha.h>
#include <cstdio>
#include <cstdlib>
#include <string>
int main(int argc, char** argv) {
  if (argc != 4) return 2;
  CryptoPP::byte key[32];
  for (int i = 0; i < 32; ++i) {
    unsigned v; std::sscanf(argv[1] + 2 * i, "%2x", &v); key[i] = static_cast<CryptoPP::byte>(v);
  }
  unsigned long long first = std::strtoull(argv[2], nullptr, 0);
  unsigned long n = std::strtoul(argv[3], nullptr, 0);
  CryptoPP::byte iv[8] = {0};
  CryptoPP::ChaCha::Encryption cipher;
  cipher.SetKey(key, 32, CryptoPP::MakeParameters(CryptoPP::Name::Rounds(), 12)
                             (CryptoPP::Name::IV(), CryptoPP::ConstByteArrayParameter(iv, 8, false)));
  cipher.Seek(first * 64ULL);
  std::string out(64 * n, '\0');
  cipher.ProcessString(reinterpret_cast<CryptoPP::byte*>(out.data()), out.size());
  for (unsigned char c : out) std::printf("%02x", c);
  std::printf("\n");
}
"""


@pytest.fixture(scope="module")
def cryptopp_keystream(tmp_path_factory):
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None or not Path("/usr/include/crypto++/chacha.h").exists():
        pytest.skip("Crypto++ or a C++ compiler is not installed")
    work = tmp_path_factory.mktemp("cryptopp")
    (work / "oracle.cpp").write_text(ORACLE_SOURCE)
    build = subprocess.run(
        [compiler, "-O1", "-o", str(work / "oracle"), str(work / "oracle.cpp"), "-lcrypto++"],
        capture_output=True,
        text=True,
    )
    if build.returncode != 0:
        pytest.skip(f"Crypto++ oracle did not build: {build.stderr[-500:]}")

    def keystream(key, first_block, n_blocks):
        run = subprocess.run(
            [str(work / "oracle"), key.hex(), str(first_block), str(n_blocks)],
            capture_output=True,
            text=True,
            check=True,
        )
        return bytes.fromhex(run.stdout.strip())

    return keystream


def test_oracle_agrees_with_the_published_vector(cryptopp_keystream):
    assert cryptopp_keystream(ZERO_KEY, 0, 2) == TC1_12


@pytest.mark.parametrize("first_block", [0, 4, 1020, 2**32 - 2, 2**40 + 3])
def test_keystream_matches_cryptopp(cryptopp_keystream, first_block):
    rng = random.Random(first_block)
    for key in (ZERO_KEY, COUNTING_KEY, rng.randbytes(32)):
        assert keystream_bytes(key, first_block, 4) == cryptopp_keystream(key, first_block, 4)


# -- the draw stream -------------------------------------------------------------------------


def keys(*given):
    yield from given
    raise AssertionError("more keys asked for than the test expected")


def words64(key, first_block, n_blocks):
    data = keystream_bytes(key, first_block, n_blocks)
    return list(struct.unpack(f"<{len(data) // 8}Q", data))


def test_creation_takes_one_key_and_computes_nothing():
    stream = StreamModel(keys(ZERO_KEY))
    assert (stream.entropy_calls, stream.refills, stream.position) == (1, 0, 64)
    assert (stream.block_counter, stream.rekey_budget) == (0, 65536)


def test_first_draws_and_the_second_refill():
    stream = StreamModel(keys(ZERO_KEY))
    first = stream.draw_word64()
    assert first == 0x53F955076A9AF49B  # bytes 9b f4 9a 6a 07 55 f9 53, little-endian
    assert (stream.block_counter, stream.rekey_budget, stream.refills) == (4, 65280, 1)
    rest = [stream.draw_word64() for _ in range(31)]
    words = keystream_words(ZERO_KEY, 0, 4)
    assert rest[-1] == words[62] | words[63] << 32  # draw 32
    assert stream.refills == 1
    thirty_third = stream.draw_word64()
    block4 = keystream_words(ZERO_KEY, 4, 1)
    assert thirty_third == block4[0] | block4[1] << 32
    assert (stream.block_counter, stream.rekey_budget, stream.refills) == (8, 65024, 2)


def test_one_key_serves_8192_draws_then_a_fresh_key_restarts_the_counter():
    second_key = bytes(range(100, 132))
    stream = StreamModel(keys(COUNTING_KEY, second_key))
    drawn = [stream.draw_word64() for _ in range(8192)]
    assert drawn == words64(COUNTING_KEY, 0, 1024)
    assert (stream.entropy_calls, stream.rekey_budget, stream.block_counter) == (1, 0, 1024)
    after = [stream.draw_word64() for _ in range(40)]
    assert stream.entropy_calls == 2
    assert after == words64(second_key, 0, 8)[:40]
    assert (stream.block_counter, stream.rekey_budget) == (8, 65024)


def test_entropy_calls_follow_the_schedule():
    stream = StreamModel(iter(lambda: ZERO_KEY, None))
    seen = {}
    for n in range(1, 16386):
        stream.draw_word64()
        if n in (1, 8192, 8193, 16384, 16385):
            seen[n] = stream.entropy_calls
    assert seen == {n: 1 + (n - 1) // 8192 for n in seen}
    # Under one zero key after another, the third key's first draw is block 0 again.
    assert stream.words[:2] == keystream_words(ZERO_KEY, 0, 1)[:2]


def numbered_keys():
    n = 0
    while True:
        yield bytes((n * 53 + j * 7 + 1) & 0xFF for j in range(32))
        n += 1


def test_sixteen_block_refills_hand_out_the_same_draws():
    four = StreamModel(numbered_keys())
    sixteen = StreamModel(numbered_keys(), blocks_per_refill=16)
    assert (sixteen.buffer_words, sixteen.position, sixteen.rekey_budget) == (256, 256, 65536)
    seen = {}
    for n in range(1, 3 * 8192 + 200):
        assert sixteen.draw_word64() == four.draw_word64(), n
        assert sixteen.entropy_calls == four.entropy_calls == 1 + (n - 1) // 8192, n
        if n in (32, 33, 128, 129, 8192, 8193):
            seen[n] = (sixteen.position, sixteen.block_counter, sixteen.rekey_budget)
    assert seen == {
        32: (64, 16, 64512),
        33: (66, 16, 64512),  # mid-buffer: no refill at 33
        128: (256, 16, 64512),
        129: (2, 32, 63488),  # the second refill
        8192: (256, 1024, 0),
        8193: (2, 16, 64512),  # the new key's first refill
    }


def test_dropping_the_buffer_skips_to_the_next_refill():
    stream = StreamModel(keys(COUNTING_KEY), blocks_per_refill=16)
    for _ in range(5):
        stream.draw_word64()
    stream.drop_buffer()
    assert stream.draw_word64() == words64(COUNTING_KEY, 16, 1)[0]  # draw 129's word pair
    assert (stream.refills, stream.block_counter) == (2, 32)


@pytest.mark.parametrize(
    "lo, hi, sample",
    [
        (0, 0, 0.0),
        (0x00000FFF, 0, 0.0),
        (0x00001000, 0, 2.0**-52),
        (0, 0x80000000, 0.5),
        (0xFFFFFFFF, 0xFFFFFFFF, 1 - 2.0**-52),
    ],
)
def test_unit_double_from_word_pairs(lo, hi, sample):
    assert unit_double(hi << 32 | lo) == sample
