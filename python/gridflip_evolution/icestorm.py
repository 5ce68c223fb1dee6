"""The IceStorm toolchain as the package uses it: icebox (its Python library, which is not on the
package index), icepack, and circuit files read with a bound on their size."""

from __future__ import annotations

import importlib
import mmap
import os
import shutil
import socket
import stat
import subprocess
import sys
import warnings
from pathlib import Path
from types import ModuleType

DEBIAN_ICEBOX_DIR = "/usr/share/fpga-icestorm/python"
# The HX8K seeds are 0.95 MB; anything far larger is not an iCE40 circuit.
MAX_CIRCUIT_BYTES = 8 << 20


class IceboxNotFound(ImportError):
    pass


class UnreadableCircuit(ValueError):
    """A file that is not an iCE40 circuit this package can read."""


def check_circuit_file(path: str | os.PathLike, limit: int = MAX_CIRCUIT_BYTES) -> None:
    """Refuses, before a tool reads it, a file that is not a regular file or is larger than
    `limit` bytes. OSError as stat gives it; UnreadableCircuit for the size or kind."""
    _check_size(path, os.stat(path), limit)


def _check_size(path: str | os.PathLike, info: os.stat_result, limit: int) -> None:
    if not stat.S_ISREG(info.st_mode):
        raise UnreadableCircuit(f"{os.fspath(path)} is not a regular file")
    if info.st_size > limit:
        raise UnreadableCircuit(
            f"{os.fspath(path)} is {info.st_size} bytes, more than the "
            f"{limit >> 20} MiB an iCE40 circuit takes"
        )


def read_circuit(path: str | os.PathLike, limit: int = MAX_CIRCUIT_BYTES) -> bytes:
    """The bytes of the circuit at `path`; refuses a file that is not a regular file or is larger
    than `limit` before reading it (so /dev/zero or a FIFO never blocks). OSError as open gives it;
    UnreadableCircuit for the size or kind."""
    # O_NONBLOCK: opening a FIFO that nobody writes would wait for a writer.
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    with open(descriptor, "rb") as file:
        _check_size(path, os.fstat(file.fileno()), limit)
        # read() sizes its buffer by the file; read(limit) would allocate the whole limit.
        data = file.read()
    if len(data) > limit:
        raise UnreadableCircuit(f"{os.fspath(path)} grew past {limit >> 20} MiB while it was read")
    return data


class CircuitBuffer:
    """Where a loop reads circuit files of one length again and again: one mapping, reused, so
    that no read allocates 200 kB. `read` gives a view that holds until the next `read`."""

    # The data starts half-way into a page. A block from malloc starts a few bytes past a page
    # boundary whenever glibc maps it alone (as in Dask's workers, which set its trim threshold),
    # and the kernel's copy from the page cache to such an address ran at a fifth of its speed
    # on AMD Zen 3 (110 against 20 us for 187 kB).
    OFFSET = 2048

    def __init__(self) -> None:
        self._map: mmap.mmap | None = None

    def read(self, path: str | os.PathLike, limit: int = MAX_CIRCUIT_BYTES) -> memoryview:
        """read_circuit's bytes and checks, into this buffer."""
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        try:
            info = os.fstat(descriptor)
            _check_size(path, info, limit)
            wanted = self.OFFSET + info.st_size
            if self._map is None or len(self._map) < wanted:
                # Views of the old mapping may still be held: it goes when they do.
                self._map = mmap.mmap(-1, max(wanted, mmap.PAGESIZE))
            view = memoryview(self._map)[self.OFFSET : wanted]
            filled = 0
            while filled < len(view):
                read = os.readv(descriptor, [view[filled:]])
                if read == 0:
                    break
                filled += read
            grew = filled == len(view) and os.read(descriptor, 1)
        finally:
            os.close(descriptor)
        if grew:  # a file that grew since fstat: read as a whole, as read_circuit does
            return memoryview(read_circuit(path, limit))
        return view[:filled]  # shorter where the file shrank since fstat


def read_text_file(path: str | os.PathLike, limit: int = MAX_CIRCUIT_BYTES) -> str:
    """A small text file (a .pcf), with the same bound as a circuit."""
    return read_circuit(path, limit).decode("utf-8", "replace")


_icebox: dict[str, ModuleType] = {}


def icebox_candidates(directory: str | None = None) -> list[str]:
    """Where icebox.py is looked for: `directory`, else next to icebox_vlog on PATH, then Debian's
    fpga-icestorm directory."""
    if directory is not None:
        return [os.fspath(directory)]
    candidates = []
    vlog = shutil.which("icebox_vlog")
    if vlog is not None:
        candidates.append(os.path.dirname(os.path.realpath(vlog)))
    candidates.append(DEBIAN_ICEBOX_DIR)
    return candidates


def load_icebox(directory: str | None = None) -> ModuleType:
    """icebox from `directory`, or from where the toolchain installs it; loaded once."""
    for candidate in icebox_candidates(directory):
        if candidate in _icebox:
            return _icebox[candidate]
        if not os.path.isfile(os.path.join(candidate, "icebox.py")):
            continue
        # icebox imports its database module from its own directory.
        sys.path.insert(0, candidate)
        try:
            # icebox's patterns are plain strings with regex escapes, which Python 3.12+
            # warns about when it compiles them; the warnings say nothing about the circuit.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", SyntaxWarning)
                module = importlib.import_module("icebox")
        finally:
            sys.path.remove(candidate)
        where = os.path.dirname(module.__file__ or "")
        if not where or not os.path.samefile(where, candidate):
            raise IceboxNotFound(f"icebox imported from {module.__file__}, not from {candidate}")
        _icebox[candidate] = module
        return module
    raise IceboxNotFound(
        "icebox.py (IceStorm) not found in "
        + ", ".join(icebox_candidates(directory))
        + "; install Debian's fpga-icestorm or pass --icebox-dir"
    )


def run_icepack(
    circuit: str | os.PathLike, bitstream: str | os.PathLike, icepack: str = "icepack"
) -> str | None:
    """icepack `circuit` into `bitstream`; why it failed, or None."""
    program = shutil.which(icepack)
    if program is None:
        return f"{icepack} not found on {socket.gethostname()} (Debian: fpga-icestorm)"
    run = subprocess.run(
        [program, os.fspath(circuit), os.fspath(bitstream)], capture_output=True, text=True
    )
    if run.returncode != 0:
        return f"icepack failed ({run.returncode}): {run.stderr.strip()[-200:]}"
    return None


def bitstream_path(circuit: str | os.PathLike) -> Path:
    return Path(circuit).with_suffix(".bin")
