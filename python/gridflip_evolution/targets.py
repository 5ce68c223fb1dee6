"""What a run evolves towards: a target maps an input word (bit k drives input k) to the output
word (bit k is output k). Named targets have a width, the output bits they use; a user's own is
named MODULE:FUNCTION and imported from sys.path or the current directory."""

from __future__ import annotations

import importlib
import importlib.util
import os
import sys
from collections.abc import Callable
from dataclasses import dataclass


@dataclass(frozen=True)
class Target:
    name: str  # "adder", or "module:function"
    description: str  # for the run's first line and the plot's title
    function: Callable[[int], int]
    width: int | None  # output bits it uses; None: as many as the outputs given


def _adder(inputs: int) -> Target:
    half = inputs // 2
    mask = (1 << half) - 1

    def adder(word: int) -> int:
        # a + b, plus the last input as a carry-in when their count is odd
        return (word & mask) + (word >> half & mask) + (word >> 2 * half & 1 if inputs % 2 else 0)

    carry = " with carry-in" if inputs % 2 else ""
    return Target("adder", f"a {half}-bit adder{carry}", adder, half + 1)


def _parity(inputs: int) -> Target:
    return Target("parity", f"the parity of {inputs} inputs", lambda word: word.bit_count() & 1, 1)


def _majority(inputs: int) -> Target:
    return Target(
        "majority",
        f"the majority of {inputs} inputs",
        lambda word: int(2 * word.bit_count() > inputs),
        1,
    )


def _popcount(inputs: int) -> Target:
    return Target(
        "popcount", f"the count of ones among {inputs} inputs", int.bit_count, inputs.bit_length()
    )


NAMED_TARGETS: dict[str, Callable[[int], Target]] = {
    "adder": _adder,
    "parity": _parity,
    "majority": _majority,
    "popcount": _popcount,
}


def adder(word: int) -> int:
    """The bundled seed's default target, a 2-bit adder with carry-in: x[1:0] + x[3:2] + x[4]."""
    return (word & 3) + (word >> 2 & 3) + (word >> 4 & 1)


def _import_module(name: str):
    """`name` from sys.path, else from the current directory (a console command's sys.path does
    not hold it)."""
    try:
        return importlib.import_module(name)
    except ModuleNotFoundError as error:
        top = name.partition(".")[0]
        if error.name != top:
            raise
    found = importlib.machinery.PathFinder.find_spec(top, [os.getcwd()])
    if found is None or found.loader is None:
        raise ModuleNotFoundError(
            f"No module named {top!r} on sys.path or in {os.getcwd()}", name=top
        )
    module = importlib.util.module_from_spec(found)
    sys.modules[top] = module
    try:
        found.loader.exec_module(module)
    except BaseException:
        del sys.modules[top]
        raise
    return importlib.import_module(name)


def find_target(name: str, inputs: int) -> Target:
    """A named target for `inputs` inputs, or MODULE:FUNCTION. ValueError with one line for a
    name that is neither, a module that does not import or a function that is not there."""
    if name in NAMED_TARGETS:
        return NAMED_TARGETS[name](inputs)
    module_name, colon, function_name = name.partition(":")
    if not colon or not module_name or not function_name:
        raise ValueError(
            f"unknown target {name!r}: name one of {', '.join(NAMED_TARGETS)}, or MODULE:FUNCTION"
        )
    try:
        module = _import_module(module_name)
    except Exception as error:  # a user's module may raise anything while it imports
        raise ValueError(
            f"target {name}: cannot import {module_name}: {type(error).__name__}: {error}"
        ) from error
    function = module
    for attribute in function_name.split("."):
        function = getattr(function, attribute, None)
    if not callable(function):
        raise ValueError(f"target {name}: {module_name} has no function {function_name}")
    doc = (function.__doc__ or "").strip().splitlines()
    return Target(name, doc[0] if doc else name, function, None)


def truth_table(target: Target, inputs: int, outputs: int) -> list[int]:
    """The target's output word for every input word. ValueError where it raises or gives a
    value that is not a word of `outputs` bits."""
    words = []
    for word in range(1 << inputs):
        try:
            value = target.function(word)
        except Exception as error:
            raise ValueError(
                f"target {target.name}({word}) raised {type(error).__name__}: {error}"
            ) from error
        if not isinstance(value, int) or not 0 <= value < 1 << outputs:
            raise ValueError(
                f"target {target.name}({word}) is {value!r}, not a word of {outputs} output bits"
            )
        words.append(int(value))
    return words
