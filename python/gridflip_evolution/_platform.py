"""The few calls the package makes that belong to one operating system (Linux here); another
platform replaces this file."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import signal

_PR_SET_PDEATHSIG = 1

# Work files are rewritten thousands of times a minute and each mutation flushes its file: in
# memory (Linux's /dev/shm) that costs a fraction of what it costs on a disk.
MEMORY_DIRECTORY = "/dev/shm"


def end_with_parent() -> None:
    """Ends this worker process when the process that started it dies, even by SIGKILL: a pool
    worker otherwise waits for ever on a queue that nobody will write to again."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    except (OSError, AttributeError):
        pass  # best effort: without it an orphan worker lingers, nothing is lost


def process_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def memory_directory() -> str | None:
    """A directory in memory for work files, where this machine has one."""
    return MEMORY_DIRECTORY if os.access(MEMORY_DIRECTORY, os.W_OK) else None
