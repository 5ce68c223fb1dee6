"""What one mutate call costs, on tmpfs and on a disk, and what it does to other threads.

    python benchmarks/call_cost.py [--calls 200] [--disk DIR] [--shm DIR] [--circuit PATH]

A call maps the file, runs the pass, then flushes the view (msync) and the file (fsync) before
it returns, and holds the interpreter lock from start to end. On a disk the flush is most of the
call; on tmpfs it costs next to nothing. Measured with the evolution's call (rows 0-15, the
logic-cell columns 36-45, chance 0.01), for each file system:

- in place: the same file mutated again and again;
- copy, then mutate: the parent copied to a candidate, then the candidate mutated (the pattern
  of an evolution loop), timed together;
- the speed-up of two threads, and of two processes, each with a file of its own, over one:
  while a call runs no other thread of the process runs Python code, so threads do not add up.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import shutil
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

import gridflip

ROOT = Path(__file__).resolve().parents[1]
ROWS, COLUMNS, CHANCE = range(16), range(36, 46), 0.01


def mutate_calls(path: str, calls: int) -> list[float]:
    """The time of each of `calls` mutations of `path`, in seconds."""
    times = []
    for _ in range(calls):
        started = time.perf_counter()
        gridflip.mutate(path, ROWS, COLUMNS, CHANCE)
        times.append(time.perf_counter() - started)
    return times


def copy_then_mutate_calls(parent: Path, child: Path, calls: int) -> list[float]:
    times = []
    for _ in range(calls):
        started = time.perf_counter()
        shutil.copyfile(parent, child)
        gridflip.mutate(str(child), ROWS, COLUMNS, CHANCE)
        times.append(time.perf_counter() - started)
    return times


def wall_time(function) -> float:
    started = time.perf_counter()
    function()
    return time.perf_counter() - started


def speed_ups(files: list[Path], calls: int, rounds: int = 5) -> tuple[float, float]:
    """One worker doing 2 x `calls` calls against two doing `calls` each on files of their own,
    alternated `rounds` times so that other work on the machine weighs on both alike; the ratio
    of the medians (with threads, with processes)."""
    paths = [str(path) for path in files]

    def ratio(alone, together) -> float:
        times = [(wall_time(alone), wall_time(together)) for _ in range(rounds)]
        return statistics.median(a for a, _ in times) / statistics.median(t for _, t in times)

    with concurrent.futures.ThreadPoolExecutor(2) as threads:
        with_threads = ratio(
            lambda: mutate_calls(paths[0], 2 * calls),
            lambda: list(threads.map(mutate_calls, paths, [calls] * 2)),
        )
    with concurrent.futures.ProcessPoolExecutor(2) as processes:
        list(processes.map(mutate_calls, paths, [1, 1]))  # start both workers first
        with_processes = ratio(
            lambda: processes.submit(mutate_calls, paths[0], 2 * calls).result(),
            lambda: list(processes.map(mutate_calls, paths, [calls] * 2)),
        )
    return with_threads, with_processes


def filesystem_of(path: Path) -> str:
    run = subprocess.run(
        ["findmnt", "-n", "-o", "FSTYPE", "--target", str(path)], capture_output=True, text=True
    )
    return (run.stdout.split() or ["?"])[0]


def ms(seconds: float) -> str:
    return f"{seconds * 1000:.2f} ms"


def spread(times: list[float]) -> str:
    return f"median {ms(statistics.median(times))}, min {ms(min(times))}, max {ms(max(times))}"


def measure(place: Path, circuit: Path, calls: int) -> None:
    with tempfile.TemporaryDirectory(prefix="gridflip-cost-", dir=place) as work:
        files = [Path(work, f"candidate-{n}.asc") for n in range(2)]
        for path in files:
            shutil.copyfile(circuit, path)
        mutate_calls(str(files[0]), 5)  # warm-up: the generator, the page cache
        print(f"{filesystem_of(place)} ({place}):")
        in_place = mutate_calls(str(files[0]), calls)
        print(f"  in place:             {spread(in_place)}")
        copied = copy_then_mutate_calls(circuit, files[1], calls)
        print(f"  copy, then mutate:    {spread(copied)}")
        threads, processes = speed_ups(files, calls // 4)
        print(
            f"  two workers, each with its own file, against one: threads x{threads:.2f}, "
            f"processes x{processes:.2f}"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=200, help="calls per measurement")
    parser.add_argument(
        "--disk",
        type=Path,
        default=ROOT / "build",
        help="a directory on a disk (default: the checkout's build/)",
    )
    parser.add_argument("--shm", type=Path, default=Path("/dev/shm"), help="a tmpfs directory")
    parser.add_argument("--circuit", type=Path, default=ROOT / "examples" / "blinky_hx8k.asc")
    args = parser.parse_args()
    args.disk.mkdir(parents=True, exist_ok=True)

    model = next(
        (
            line.split(":", 1)[1].strip()
            for line in open("/proc/cpuinfo")
            if line.startswith("model name")
        ),
        "?",
    )
    print(
        f"{model}, {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}; "
        f"{args.circuit.name} ({args.circuit.stat().st_size:,} bytes), rows 0-15, "
        f"columns 36-45, chance {CHANCE}; {args.calls} calls a measurement"
    )
    for place in (args.shm, args.disk):
        measure(place, args.circuit, args.calls)


if __name__ == "__main__":
    main()
