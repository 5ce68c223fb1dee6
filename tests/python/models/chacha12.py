"""Plain-Python ChaCha12 keystream and a model of gridflip's per-thread draw stream.

Written from the ChaCha definition (Bernstein's layout: 64-bit block counter in state
words 12-13, 64-bit nonce in words 14-15), slow but easy to check by eye.
"""

from __future__ import annotations

import struct
from collections.abc import Iterator, Sequence

MASK32 = 0xFFFFFFFF
MASK64 = 0xFFFFFFFFFFFFFFFF
# "expand 32-byte k", the constants for a 256-bit key.
CONSTANTS = (0x61707865, 0x3320646E, 0x79622D32, 0x6B206574)

WORDS_PER_BLOCK = 16
BLOCKS_PER_REFILL = 4  # as the generator was first built; gridflip now refills 16 at once
MODULE_BLOCKS_PER_REFILL = 16
REKEY_INTERVAL = 65536  # bytes of output per key


def _rotl(value: int, shift: int) -> int:
    return ((value << shift) | (value >> (32 - shift))) & MASK32


def _quarter_round(x: list[int], a: int, b: int, c: int, d: int) -> None:
    x[a] = (x[a] + x[b]) & MASK32
    x[d] = _rotl(x[d] ^ x[a], 16)
    x[c] = (x[c] + x[d]) & MASK32
    x[b] = _rotl(x[b] ^ x[c], 12)
    x[a] = (x[a] + x[b]) & MASK32
    x[d] = _rotl(x[d] ^ x[a], 8)
    x[c] = (x[c] + x[d]) & MASK32
    x[b] = _rotl(x[b] ^ x[c], 7)


def chacha_block(state: Sequence[int], rounds: int = 12) -> list[int]:
    """The 16 output words of one block for a full 16-word input state."""
    if len(state) != WORDS_PER_BLOCK or rounds % 2:
        raise ValueError("need 16 state words and an even round count")
    x = list(state)
    for _ in range(rounds // 2):
        _quarter_round(x, 0, 4, 8, 12)
        _quarter_round(x, 1, 5, 9, 13)
        _quarter_round(x, 2, 6, 10, 14)
        _quarter_round(x, 3, 7, 11, 15)
        _quarter_round(x, 0, 5, 10, 15)
        _quarter_round(x, 1, 6, 11, 12)
        _quarter_round(x, 2, 7, 8, 13)
        _quarter_round(x, 3, 4, 9, 14)
    return [(out + inp) & MASK32 for out, inp in zip(x, state)]


def key_words(key: bytes) -> list[int]:
    """The eight little-endian key words of a 32-byte key."""
    if len(key) != 32:
        raise ValueError(f"a ChaCha key is 32 bytes, not {len(key)}")
    return list(struct.unpack("<8I", key))


def input_state(key: bytes, block: int, nonce: int = 0) -> list[int]:
    """Input state of block number `block` (mod 2**64) under `key` and a 64-bit nonce."""
    block &= MASK64
    return [
        *CONSTANTS,
        *key_words(key),
        block & MASK32,
        block >> 32,
        nonce & MASK32,
        (nonce >> 32) & MASK32,
    ]


def keystream_words(
    key: bytes, first_block: int, n_blocks: int, *, nonce: int = 0, rounds: int = 12
) -> list[int]:
    """Output words of blocks first_block .. first_block + n_blocks - 1, block after block."""
    words: list[int] = []
    for k in range(n_blocks):
        words.extend(chacha_block(input_state(key, first_block + k, nonce), rounds))
    return words


def keystream_bytes(
    key: bytes, first_block: int, n_blocks: int, *, nonce: int = 0, rounds: int = 12
) -> bytes:
    words = keystream_words(key, first_block, n_blocks, nonce=nonce, rounds=rounds)
    return struct.pack(f"<{len(words)}I", *words)


def unit_double(word64: int) -> float:
    """The sample in [0, 1) made from one 64-bit draw: its top 52 bits as a fraction."""
    return (word64 >> 12) * 2.0**-52


class StreamModel:
    """The per-thread generator: creation key, a buffer of `blocks_per_refill` blocks refilled
    at once, and a fresh key from `keys` once 65536 bytes have been produced under the current
    one. Any refill size that divides 65536 bytes gives the same draws; only the buffer's state
    between draws, and what dropping its rest skips, depend on it."""

    def __init__(self, keys: Iterator[bytes], blocks_per_refill: int = BLOCKS_PER_REFILL) -> None:
        self._keys = keys
        self.blocks_per_refill = blocks_per_refill
        self.buffer_words = WORDS_PER_BLOCK * blocks_per_refill
        self.refill_bytes = self.buffer_words * 4
        if REKEY_INTERVAL % self.refill_bytes:
            raise ValueError("a key's budget must be a whole number of refills")
        self.entropy_calls = 0
        self.key = self._next_key()
        self.block_counter = 0
        self.rekey_budget = REKEY_INTERVAL
        self.words = [0] * self.buffer_words
        self.position = self.buffer_words
        self.refills = 0
        self.draws = 0

    def _next_key(self) -> bytes:
        key = bytes(next(self._keys))
        key_words(key)  # length check
        self.entropy_calls += 1
        return key

    def refill_words(self) -> None:
        if self.rekey_budget <= 0:
            self.key = self._next_key()
            self.block_counter = 0
            self.rekey_budget = REKEY_INTERVAL - self.refill_bytes
        else:
            self.rekey_budget -= self.refill_bytes
        self.words = keystream_words(self.key, self.block_counter, self.blocks_per_refill)
        self.block_counter = (self.block_counter + self.blocks_per_refill) & MASK64
        self.refills += 1

    def drop_buffer(self) -> None:
        """What an aborted pass does: the rest of the buffer is never handed out."""
        self.position = self.buffer_words

    def draw_word64(self) -> int:
        if self.position >= self.buffer_words:
            self.refill_words()
            self.position = 0
        lo, hi = self.words[self.position], self.words[self.position + 1]
        self.position += 2
        self.draws += 1
        return (hi << 32) | lo

    def draw_unit_double(self) -> float:
        return unit_double(self.draw_word64())

    def __iter__(self) -> Iterator[int]:
        """Endless 64-bit draws, for feeding the pass model."""
        while True:
            yield self.draw_word64()
