"""The bundled seeds: a network of LUTs between 5 input and 3 output pins, placed for the HX1K
(iCEstick) and the HX8K (breakout board), with their pin files and Verilog source. They are
package data, read through importlib.resources."""

from __future__ import annotations

import atexit
import contextlib
from importlib import resources
from pathlib import Path

# Ports of the bundled seeds, as their .pcf files name them.
INPUTS = tuple(f"x[{k}]" for k in range(5))
OUTPUTS = tuple(f"y[{k}]" for k in range(3))
DEVICES = ("hx1k", "hx8k")
PACKAGES = {"hx1k": "tq144", "hx8k": "ct256"}

_files = contextlib.ExitStack()
atexit.register(_files.close)


def seed_file(name: str) -> Path:
    """A bundled data file as a path on disk (the tools it goes to need one)."""
    resource = resources.files(__package__) / "seeds" / name
    if not resource.is_file():
        raise FileNotFoundError(f"no bundled seed file {name!r}")
    return _files.enter_context(resources.as_file(resource))


def seed(device: str) -> tuple[Path, Path]:
    """The bundled seed circuit for `device` ("hx1k" or "hx8k") and its .pcf."""
    if device not in DEVICES:
        raise ValueError(f"no bundled seed for {device!r}; there are {', '.join(DEVICES)}")
    return seed_file(f"lut_network_{device}.asc"), seed_file(f"lut_network_{device}.pcf")
