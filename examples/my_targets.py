"""Targets of one's own for gridflip-evolve --target MODULE:FUNCTION. Each takes the input word
(bit k is input k) and returns the output word (bit k is output k); the first line of its
docstring names it in the run's output.

    cd examples
    gridflip-evolve --target my_targets:gray --seconds 60 --output gray-run
    gridflip-evolve --target my_targets:compare --outputs 'y[0:1]' --output compare-run

The run stores the truth table in run.json, so a resume or a replay never imports this file
again.
"""


def gray(word: int) -> int:
    """the Gray code of the low three inputs"""
    low = word & 0b111
    return low ^ (low >> 1)


def compare(word: int) -> int:
    """a 2-bit comparator: bit 0 for x[1:0] < x[3:2], bit 1 for equal"""
    a, b = word & 3, word >> 2 & 3
    return (a < b) | (a == b) << 1
