"""Files that a kill -9 or a full disk cannot tear: written to a temporary name, flushed to the
disk, then renamed over the old one; and the work folders of runs and their workers, with the
owner's host and process in the name so that the next run can clean up after a killed one."""

from __future__ import annotations

import os
import re
import shutil
import socket
import tempfile
from pathlib import Path

from ._platform import memory_directory, process_alive

WORK_PREFIX = "gridflip-work-"
_WORK_NAME = re.compile(re.escape(WORK_PREFIX) + r"(?P<host>.+)-(?P<pid>\d+)-[^-]+$")


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def fsync_directory(directory: str | os.PathLike) -> None:
    """Makes a rename in `directory` durable."""
    descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def write_atomically(path: str | os.PathLike, data: bytes | str) -> None:
    """Replaces `path` with `data` so that a reader, a crash or a full disk sees either the old
    file or the new one whole. OSError leaves the old file as it was."""
    path = Path(path)
    payload = data.encode() if isinstance(data, str) else data
    descriptor, temporary = tempfile.mkstemp(prefix=f".{path.name}.", dir=path.parent)
    try:
        os.fchmod(descriptor, 0o666 & ~_umask())
        with os.fdopen(descriptor, "wb") as file:
            file.write(payload)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    fsync_directory(path.parent)


def overwrite(path: str | os.PathLike, data: bytes) -> None:
    """Writes `data` over `path` in place, for a work file that is written again and again:
    without truncating first, a file of the same length keeps its pages, which is several
    times cheaper than a new copy."""
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT, 0o600)
    try:
        with memoryview(data) as view:
            written = 0
            while written < len(view):
                written += os.write(descriptor, view[written:])
        if os.fstat(descriptor).st_size != written:
            os.ftruncate(descriptor, written)
    finally:
        os.close(descriptor)


def copy_atomically(source: str | os.PathLike, target: str | os.PathLike) -> None:
    write_atomically(target, Path(source).read_bytes())


def append_durably(path: str | os.PathLike, line: str) -> None:
    """Appends one line and flushes it to the disk. A crash can leave a torn last line, which the
    reader drops (drop_torn_line)."""
    with open(path, "a", encoding="utf-8") as file:
        file.write(line if line.endswith("\n") else line + "\n")
        file.flush()
        os.fsync(file.fileno())


def drop_torn_line(path: str | os.PathLike) -> None:
    """Cuts a last line that lacks its line feed: what a crash in append_durably leaves."""
    with open(path, "r+b") as file:
        data = file.read()
        if data and not data.endswith(b"\n"):
            file.truncate(data.rfind(b"\n") + 1)
            file.flush()
            os.fsync(file.fileno())


def make_work_folder(parent: str | os.PathLike | None, role: str) -> Path:
    """A new work folder named after this host and process, in `parent`, or in memory where the
    machine has it, else in the temporary directory."""
    where = parent if parent is not None else memory_directory() or tempfile.gettempdir()
    os.makedirs(where, exist_ok=True)
    host = socket.gethostname().replace("-", "_")
    return Path(tempfile.mkdtemp(prefix=f"{WORK_PREFIX}{host}-{os.getpid()}-{role}", dir=where))


def remove_tree(path: str | os.PathLike) -> None:
    shutil.rmtree(path, ignore_errors=True)


def clean_stale_work_folders(parent: str | os.PathLike | None = None) -> tuple[int, list[str]]:
    """Removes the work folders that processes of this host left when they were killed; returns
    how many it removed and those it could not."""
    where = Path(parent if parent is not None else memory_directory() or tempfile.gettempdir())
    host = socket.gethostname().replace("-", "_")
    removed, kept = 0, []
    try:
        entries = list(where.iterdir())
    except OSError:
        return 0, []
    for entry in entries:
        match = _WORK_NAME.match(entry.name)
        if (
            not match
            or match["host"] != host
            or int(match["pid"]) == os.getpid()
            or process_alive(int(match["pid"]))
        ):
            continue
        shutil.rmtree(entry, ignore_errors=True)
        if entry.exists():
            kept.append(str(entry))
        else:
            removed += 1
    return removed, kept
