"""The module object, its one function, and re-import."""

import inspect
import sys

import gridflip


def test_module_attributes():
    assert gridflip.__all__ == ["mutate"]
    assert gridflip.__doc__ == ""
    assert not hasattr(gridflip, "PanicException")
