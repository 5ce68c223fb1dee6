"""Target functions for the truth-table fitnesses: named ones with a width, and a user's own,
named MODULE:FUNCTION. A target maps an input word (bit k drives input k) to the output word."""

from __future__ import annotations


def adder(word: int) -> int:
    """A 2-bit adder with carry-in: x[1:0] + x[3:2] + x[4]."""
    return (word & 3) + (word >> 2 & 3) + (word >> 4 & 1)
