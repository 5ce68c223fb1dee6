"""gridflip against what its users would write instead, measured side by side in one run.

Runs the installed module and the plain-Python and NumPy competitors (benchmarks/competitors.py)
interleaved, round robin, on the same files; restores each file before every timed call; prints
one table of medians and ratios with the targets; writes raw figures, the table in Markdown and
a log-log plot of time per call against file size under benchmarks/results/.

    python benchmarks/run_benchmarks.py [--quick] [--pass-json PATH]

The in-module rows come from the pass benchmark's JSON (tools/run-benchmarks runs it first).
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import functools
import gc
import json
import os
import pathlib
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
BENCHMARKS = ROOT / "benchmarks"
RESULTS = BENCHMARKS / "results"
EXAMPLE = ROOT / "examples" / "blinky_hx8k.asc"

import competitors  # noqa: E402
import numpy  # noqa: E402  (a benchmark-only dependency, as is matplotlib)

import gridflip  # noqa: E402

ALL_ROWS = list(range(16))
ALL_COLUMNS = list(range(54))
WORKLOADS = {
    "sparse": ([0, 5], [3, 7, 9], 0.01),
    "dense": (ALL_ROWS, ALL_COLUMNS, 0.01),
    "all-flip": (ALL_ROWS, ALL_COLUMNS, 1.0),
}
# (rows, columns) for 0 to 864 positions per tile; 0 is the scan alone.
POSITION_SETS = [
    ([], []),
    ([0], [0]),
    ([0, 1], [0, 1, 2, 3]),
    ([0, 1, 2], list(range(9))),
    (list(range(4)), list(range(27))),
    (list(range(8)), list(range(27))),
    (ALL_ROWS, list(range(27))),
    (ALL_ROWS, ALL_COLUMNS),
]
SIZE_FACTORS = [1, 8, 64]
NAMES = ["gridflip", "numpy", "python"]

# Targets on tmpfs: the competitor's time over gridflip's.
RATIO_TARGETS = {
    ("sparse", "numpy"): 20,
    ("sparse", "python"): 50,
    ("dense", "numpy"): 6,
    ("dense", "python"): 25,
}
# The sparse call against the bare system calls it cannot avoid, timed in C: at most this.
FLOOR_TARGET = 1.35
# The pass benchmark's dense pass per visited position against a raw draw: at most this.
POSITION_TARGET = 1.10
LINEAR_TOLERANCE = 0.10
RSS_FLAT_BYTES = 64 * 1024  # growth over 100,000 calls: under a byte per call


def implementations(durable: bool) -> dict:
    """gridflip always flushes to storage; on a disk the competitors fsync too, for a like-for-like
    guarantee (on tmpfs fsync does nothing)."""
    return {
        "gridflip": gridflip.mutate,
        "numpy": functools.partial(competitors.mutate_numpy, durable=durable),
        "python": functools.partial(competitors.mutate_python, durable=durable),
    }


def restore(path: pathlib.Path, original: bytes, sync: bool) -> None:
    fd = os.open(path, os.O_WRONLY)
    try:
        os.pwrite(fd, original, 0)
        if sync:
            os.fsync(fd)
    finally:
        os.close(fd)


def measure(cases: dict, sync: bool = False, clock: str = "wall") -> dict:
    """Median seconds per call for each case, by the wall clock or by the calling thread's CPU
    time (user and system), with both kept.

    `cases` maps a key to (path, original bytes, function, args, repetitions). Every case runs
    once to warm up (unless it has fewer than 5 repetitions), then round by round in rotating
    order, each call on a freshly restored file, until each has its repetitions: cases compared
    with each other share the machine's state, busy or not. A function marked `self_timed`
    returns its own wall time in nanoseconds, which replaces the one taken here."""
    keys = list(cases)
    wall = {key: [] for key in keys}
    cpu = {key: [] for key in keys}
    rounds = max(case[4] for case in cases.values())
    for round_index in range(-1, rounds):
        shift = round_index % len(keys)
        for key in keys[shift:] + keys[:shift]:
            path, original, function, args, repetitions = cases[key]
            if round_index < 0 and repetitions < 5:
                continue
            if round_index >= 0 and len(wall[key]) >= repetitions:
                continue
            restore(path, original, sync)
            gc.disable()
            cpu_start = time.thread_time_ns()
            start = time.perf_counter_ns()
            returned = function(path, *args)
            elapsed = time.perf_counter_ns() - start
            cpu_elapsed = time.thread_time_ns() - cpu_start
            gc.enable()
            if getattr(function, "self_timed", False):
                elapsed = returned
            if round_index >= 0:
                wall[key].append(elapsed / 1e9)
                cpu[key].append(cpu_elapsed / 1e9)
    chosen = cpu if clock == "cpu" else wall
    return {
        key: {
            "median": statistics.median(chosen[key]),
            "clock": clock,
            "wall_median": statistics.median(wall[key]),
            "cpu_median": statistics.median(cpu[key]),
            "repetitions": len(wall[key]),
            "min": min(chosen[key]),
            "max": max(chosen[key]),
        }
        for key in keys
    }


def filesystem_of(path: pathlib.Path) -> str:
    """The file system type of the mount holding `path`, from /proc/self/mounts."""
    best, kind = "", "?"
    resolved = str(path.resolve())
    with open("/proc/self/mounts") as mounts:
        for line in mounts:
            fields = line.split()
            point = fields[1]
            inside = resolved == point or resolved.startswith(point.rstrip("/") + "/")
            if inside and len(point) >= len(best):
                best, kind = point, fields[2]
    return kind


def machine() -> dict:
    def run(*command):
        try:
            return subprocess.run(command, capture_output=True, text=True, check=True).stdout
        except (OSError, subprocess.CalledProcessError):
            return ""

    model = next(
        (
            line.split(":", 1)[1].strip()
            for line in run("lscpu").splitlines()
            if line.startswith("Model name")
        ),
        platform.processor(),
    )
    compiler = (run("c++", "--version").splitlines() or ["?"])[0]
    return {
        "cpu": model,
        "cores": os.cpu_count(),
        "kernel": platform.release(),
        "compiler": compiler,
        "python": platform.python_version(),
        "numpy": numpy.__version__,
        "date": datetime.datetime.now().astimezone().isoformat(timespec="minutes"),
        "module": gridflip.__file__,
        "load_average": os.getloadavg(),
    }


# --- memory and allocations: in child interpreters, so nothing of this one skews them -------

MEMORY_CHILD = textwrap.dedent("""
    import json, os, sys, time, gridflip
    path, calls = sys.argv[1], int(sys.argv[2])
    rows, columns = [0, 5], [3, 7, 9]
    page = os.sysconf("SC_PAGE_SIZE")
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * page
    for _ in range(1000):
        gridflip.mutate(path, rows, columns, 0.5)
    before = rss()
    trace = []
    start = time.perf_counter()
    for i in range(1, calls + 1):
        gridflip.mutate(path, rows, columns, 0.5)
        if i % (calls // 10) == 0:
            trace.append(rss())
    elapsed = time.perf_counter() - start
    print(json.dumps({"before": before, "trace": trace, "seconds_per_call": elapsed / calls}))
""")

ALLOC_CHILD = textwrap.dedent("""
    import ctypes, json, sys, gridflip
    path, library, calls = sys.argv[1], sys.argv[2], int(sys.argv[3])
    counter = ctypes.CDLL(library)
    for name in ("alloc_counter_allocations", "alloc_counter_frees"):
        getattr(counter, name).restype = ctypes.c_ulong
    counter.alloc_counter_size.restype = ctypes.c_size_t
    counter.alloc_counter_size.argtypes = [ctypes.c_ulong]
    rows, columns = [0, 5], [3, 7, 9]
    def baseline(fpath, rows, columns, mutation_chance):
        return None
    result = {}
    for name, function in (("baseline", baseline), ("mutate", gridflip.mutate)):
        for _ in range(100):
            function(path, rows, columns, 0.5)
        counter.alloc_counter_start()
        for _ in range(calls):
            function(path, rows, columns, 0.5)
        counter.alloc_counter_stop()
        count = counter.alloc_counter_allocations()
        result[name] = {"allocations": count, "frees": counter.alloc_counter_frees(),
                        "first_sizes": [counter.alloc_counter_size(i)
                                        for i in range(min(count, 16))]}
    print(json.dumps(result))
""")


def small_circuit(directory: pathlib.Path) -> pathlib.Path:
    path = directory / "one_tile.asc"
    path.write_bytes(b".comment small\n.logic_tile 1 1\n" + (b"0" * 54 + b"\n") * 16)
    return path


def measure_memory(directory: pathlib.Path, calls: int) -> dict:
    path = small_circuit(directory)
    out = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, str(path), str(calls)],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    figures = json.loads(out)
    figures["growth"] = max(figures["trace"]) - figures["before"]
    figures["calls"] = calls
    return figures


class SyscallFloor:
    """The system calls a call cannot avoid (open, statx, mmap with MAP_POPULATE, msync, fsync,
    munmap, close), bare, from benchmarks/syscall_floor.c; timed in C."""

    self_timed = True

    def __init__(self, directory: pathlib.Path):
        compiler = shutil.which("cc") or shutil.which("gcc")
        if compiler is None:
            raise RuntimeError("no C compiler for the system-call floor")
        library = directory / "syscall_floor.so"
        subprocess.run(
            [
                compiler,
                "-shared",
                "-fPIC",
                "-O2",
                "-o",
                str(library),
                str(BENCHMARKS / "syscall_floor.c"),
            ],
            check=True,
        )
        self.floor = ctypes.CDLL(str(library)).syscall_floor_ns
        self.floor.restype = ctypes.c_longlong
        self.floor.argtypes = [ctypes.c_char_p]

    def __call__(self, path, *_arguments) -> int:
        elapsed = self.floor(os.fsencode(path))
        if elapsed < 0:
            raise OSError(f"the system-call floor failed on {path}")
        return elapsed


def measure_allocations(directory: pathlib.Path, calls: int) -> dict | None:
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return None
    library = directory / "alloc_counter.so"
    subprocess.run(
        [
            compiler,
            "-shared",
            "-fPIC",
            "-O2",
            "-o",
            str(library),
            str(BENCHMARKS / "alloc_counter.c"),
        ],
        check=True,
    )
    path = small_circuit(directory)
    environment = dict(os.environ, LD_PRELOAD=str(library))
    out = subprocess.run(
        [sys.executable, "-c", ALLOC_CHILD, str(path), str(library), str(calls)],
        capture_output=True,
        text=True,
        check=True,
        env=environment,
    ).stdout
    figures = json.loads(out)
    figures["calls"] = calls
    figures["path_length"] = len(os.fsencode(str(path)))
    return figures


# --- the table ------------------------------------------------------------------------------


class Table:
    def __init__(self):
        self.rows = []

    def section(self, title: str) -> None:
        self.rows.append(("section", title))

    def add(
        self,
        label,
        gridflip_cell="",
        numpy_cell="",
        python_cell="",
        ratios="",
        target="",
        verdict="",
    ) -> None:
        self.rows.append(
            ("row", (label, gridflip_cell, numpy_cell, python_cell, ratios, target, verdict))
        )

    HEADER = ("measure", "gridflip", "NumPy", "Python", "ratio", "target", "")

    def text(self) -> str:
        cells = [self.HEADER] + [r for kind, r in self.rows if kind == "row"]
        widths = [max(len(c[i]) for c in cells) for i in range(len(self.HEADER))]

        def line(c):
            return "  ".join(
                v.ljust(widths[0]) if i == 0 else v.rjust(widths[i]) for i, v in enumerate(c)
            ).rstrip()

        out = [line(self.HEADER), "-" * (sum(widths) + 2 * (len(widths) - 1))]
        for kind, r in self.rows:
            out.append(f"[{r}]" if kind == "section" else line(r))
        return "\n".join(out)

    def markdown(self) -> str:
        out = ["| " + " | ".join(self.HEADER) + " |", "|" + "---|" * len(self.HEADER)]
        for kind, r in self.rows:
            if kind == "section":
                out.append(f"| **{r}** |" + " |" * (len(self.HEADER) - 1))
            else:
                out.append("| " + " | ".join(v.replace("|", "\\|") for v in r) + " |")
        return "\n".join(out)


def ms(seconds: float) -> str:
    return f"{seconds * 1e3:.3f} ms" if seconds < 1 else f"{seconds:.2f} s"


def verdict(ok: bool) -> str:
    return "met" if ok else "MISSED"


def ratio_cells(result: dict, workload: str | None) -> tuple[str, str, str]:
    numpy_ratio = result["numpy"]["median"] / result["gridflip"]["median"]
    python_ratio = result["python"]["median"] / result["gridflip"]["median"]
    ratios = f"x{numpy_ratio:.1f} / x{python_ratio:.1f}"
    if workload is None:
        return ratios, "", ""
    np_target = RATIO_TARGETS[(workload, "numpy")]
    py_target = RATIO_TARGETS[(workload, "python")]
    ok_np, ok_py = numpy_ratio >= np_target, python_ratio >= py_target
    marks = f"{verdict(ok_np)} / {verdict(ok_py)}"
    return ratios, f">= x{np_target} / x{py_target}", marks


def within_linear(ratio: float, expected: float) -> bool:
    return abs(ratio / expected - 1) <= LINEAR_TOLERANCE


def write_plot(size_results: dict, path: pathlib.Path, machine_info: dict, clock: str) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import NullFormatter
    except ImportError:
        return False
    figure, axes = plt.subplots(figsize=(7.5, 5.2))
    colours = {"gridflip": "tab:blue", "numpy": "tab:orange", "python": "tab:green"}
    styles = {"sparse": "-", "dense": "--"}
    for workload, by_size in size_results.items():
        sizes = sorted(by_size, key=float)
        megabytes = [by_size[s]["bytes"] / 1e6 for s in sizes]
        for name in NAMES:
            seconds = [by_size[s]["times"][name]["median"] for s in sizes]
            axes.plot(
                megabytes,
                [t * 1e3 for t in seconds],
                styles[workload],
                marker="o",
                color=colours[name],
                label=f"{name}, {workload}",
            )
    axes.set_xscale("log")
    axes.set_yscale("log")
    some = next(iter(size_results.values()))
    factors = sorted(some, key=float)
    axes.set_xticks(
        [some[f]["bytes"] / 1e6 for f in factors],
        [f"{some[f]['bytes'] / 1e6:.1f} ({f}x)" for f in factors],
    )
    axes.xaxis.set_minor_formatter(NullFormatter())
    axes.set_xlabel("file size (MB; the HX8K example repeated)")
    axes.set_ylabel(f"time per call (ms, median {clock} time)")
    axes.set_title("mutate on tmpfs: gridflip against plain Python and NumPy", fontsize=10)
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=8)
    figure.text(
        0.01,
        0.005,
        f"{machine_info['cpu']}, {machine_info['cores']} cores, "
        f"Python {machine_info['python']}, {machine_info['date']}",
        fontsize=7,
    )
    figure.tight_layout(rect=(0, 0.03, 1, 1))
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return True


def repetitions(quick: bool) -> dict:
    """Calls per case: gridflip, NumPy, Python. Plain Python on the big files is slow, so it gets
    fewer there."""

    def reps(gridflip_reps, numpy_reps, python_reps):
        return {"gridflip": gridflip_reps, "numpy": numpy_reps, "python": python_reps}

    if quick:
        return {
            "1x": reps(5, 5, 3),
            "disk": reps(5, 5, 3),
            "8x": reps(3, 3, 2),
            "64x": reps(2, 2, 1),
            "positions": reps(5, 3, 2),
        }
    return {
        "1x": reps(31, 31, 31),
        "disk": reps(21, 21, 21),
        "8x": reps(21, 11, 5),
        "64x": reps(11, 5, 3),
        "positions": reps(31, 15, 7),
    }


class Run:
    """One run of every measurement, filling one table and the raw figures."""

    def __init__(self, options, shm: pathlib.Path, disk: pathlib.Path):
        self.options = options
        self.clock = options.clock
        self.reps = repetitions(options.quick)
        self.shm = shm
        self.disk = disk
        self.original = EXAMPLE.read_bytes()
        self.tiles = int(
            competitors.tile_bodies_numpy(numpy.frombuffer(self.original, dtype=numpy.uint8)).size
        )
        self.table = Table()
        self.raw = {"quick": options.quick, "clock": self.clock}
        self.floor = SyscallFloor(shm)

    def row_of_three(self, label: str, result: dict, workload: str | None = None) -> None:
        ratios, target, marks = ratio_cells(result, workload)
        self.table.add(label, *(ms(result[n]["median"]) for n in NAMES), ratios, target, marks)

    def workloads(self) -> None:
        self.raw["workloads"] = {}
        for medium, directory, sync in (("tmpfs", self.shm, False), ("disk", self.disk, True)):
            # A file on a disk waits for the device: only the wall clock tells that.
            clock = "wall" if sync else self.clock
            self.table.section(
                f"HX8K example ({len(self.original):,} B, {self.tiles} logic tiles) on {medium} "
                f"({filesystem_of(directory)}); median {clock} time per call; "
                "ratio = competitor / gridflip (NumPy / Python)"
                + ("; the competitors fsync, as gridflip does" if sync else "")
            )
            path = directory / "blinky_hx8k.asc"
            path.write_bytes(self.original)
            reps = self.reps["disk" if sync else "1x"]
            for workload, args in WORKLOADS.items():
                cases = {
                    name: (path, self.original, function, args, reps[name])
                    for name, function in implementations(sync).items()
                }
                with_floor = workload == "sparse" and not sync
                if with_floor:
                    # In the same round robin, on the same file, restored the same way.
                    cases["floor"] = (path, self.original, self.floor, args, reps["gridflip"])
                result = measure(cases, sync, clock)
                self.raw["workloads"][f"{medium}/{workload}"] = result
                targeted = workload if not sync and workload != "all-flip" else None
                self.row_of_three(
                    f"{workload} ({len(args[0]) * len(args[1])} positions, chance {args[2]})",
                    result,
                    targeted,
                )
                if with_floor:
                    self.floor_row(result)
            if not sync:
                tmpfs = [self.raw["workloads"][f"tmpfs/{w}"] for w in WORKLOADS]
                busy = {
                    n: statistics.median(r[n]["wall_median"] / r[n]["cpu_median"] for r in tmpfs)
                    for n in NAMES
                }
                self.table.add(
                    "wall / CPU time (1.00: the machine was not contended)",
                    *(f"{busy[n]:.2f}" for n in NAMES),
                )

    def floor_row(self, result: dict) -> None:
        call, floor = result["gridflip"]["wall_median"], result["floor"]["wall_median"]
        ratio = call / floor
        self.table.add(
            "sparse / its bare system calls (syscall_floor.c, timed in C)",
            ms(call),
            "",
            "",
            f"x{ratio:.2f} of {ms(floor)}",
            f"<= x{FLOOR_TARGET:.2f}",
            verdict(ratio <= FLOOR_TARGET),
        )

    def sizes(self) -> None:
        factors = [f"{f}x" for f in SIZE_FACTORS]
        self.table.section(
            f"cost against file size on tmpfs (the example repeated), median {self.clock} time; "
            "repetitions gridflip/NumPy/Python "
            + ", ".join(f"{f}: " + "/".join(str(self.reps[f][n]) for n in NAMES) for f in factors)
        )
        files = {}
        for factor in SIZE_FACTORS:
            files[factor] = (self.shm / f"x{factor}.asc", self.original * factor)
            files[factor][0].write_bytes(files[factor][1])
        self.raw["sizes"] = {}
        for workload in ("sparse", "dense"):
            # All sizes in one round robin, so the growth figures share the machine's state.
            measured = measure(
                {
                    (factor, name): (
                        *files[factor],
                        function,
                        WORKLOADS[workload],
                        self.reps[f"{factor}x"][name],
                    )
                    for factor in SIZE_FACTORS
                    for name, function in implementations(False).items()
                },
                clock=self.clock,
            )
            by_size = self.raw["sizes"][workload] = {}
            for factor in SIZE_FACTORS:
                result = {name: measured[(factor, name)] for name in NAMES}
                size = len(files[factor][1])
                by_size[str(factor)] = {"bytes": size, "times": result}
                self.row_of_three(f"{workload}, {factor}x ({size / 1e6:.1f} MB)", result)
            growth = {
                n: by_size["64"]["times"][n]["median"] / by_size["8"]["times"][n]["median"]
                for n in NAMES
            }
            other = "cpu" if self.clock == "wall" else "wall"
            other_growth = (
                by_size["64"]["times"]["gridflip"][f"{other}_median"]
                / by_size["8"]["times"]["gridflip"][f"{other}_median"]
            )
            self.table.add(
                f"{workload}: t(64x) / t(8x)",
                *(f"{growth[n]:.2f}" for n in NAMES),
                f"gridflip {other} time: {other_growth:.2f}",
                "8 +-10%",
                verdict(within_linear(growth["gridflip"], 8)),
            )
        for path, _ in files.values():
            path.unlink()

    def positions(self) -> None:
        reps = self.reps["positions"]
        self.table.section(
            f"cost against positions per tile, HX8K on tmpfs, chance 0.01, median {self.clock} "
            "time; repetitions " + "/".join(str(reps[n]) for n in NAMES)
        )
        path = self.shm / "positions.asc"
        path.write_bytes(self.original)
        measured = measure(
            {
                (len(rows) * len(columns), name): (
                    path,
                    self.original,
                    function,
                    (rows, columns, 0.01),
                    reps[name],
                )
                for rows, columns in POSITION_SETS
                for name, function in implementations(False).items()
            },
            clock=self.clock,
        )
        by_count = self.raw["positions"] = {}
        for rows, columns in POSITION_SETS:
            count = len(rows) * len(columns)
            result = by_count[str(count)] = {name: measured[(count, name)] for name in NAMES}
            self.row_of_three(
                f"{count} positions ({len(rows)} rows x {len(columns)} columns)", result
            )

        def t(count, name):
            return by_count[str(count)][name]["median"]

        # The base is one position, not none: a call with nothing to visit skips the scan, so
        # only a call that visits something pays for finding the tiles, as every other row does.
        slope = {n: (t(864, n) - t(1, n)) / (t(108, n) - t(1, n)) for n in NAMES}
        self.table.add(
            "(t(864) - t(1)) / (t(108) - t(1))",
            *(f"{slope[n]:.2f}" for n in NAMES),
            "",
            "8 +-10%",
            verdict(within_linear(slope["gridflip"], 863 / 107)),
        )
        marginal = (t(864, "gridflip") - t(1, "gridflip")) / (863 * self.tiles)
        self.table.add("gridflip: marginal cost per visited position", f"{marginal * 1e9:.2f} ns")

    def in_module(self) -> None:
        self.table.section("inside the module (pass benchmark, in-memory HX8K copy, wall time)")
        if not self.options.pass_json.exists():
            self.table.add(
                f"not measured: no {self.options.pass_json} (tools/run-benchmarks "
                "runs the pass benchmark first)"
            )
            return
        figures = self.raw["pass"] = json.loads(self.options.pass_json.read_text())
        ratio = figures["position_to_draw_ratio"]
        self.table.add(
            "dense pass per visited position / raw draw_word64",
            f"{figures['dense_ns_per_position']:.3f} ns",
            "",
            "",
            f"x{ratio:.3f} of {figures['raw_ns_per_draw']:.3f} ns",
            f"<= x{POSITION_TARGET:.2f}",
            verdict(ratio <= POSITION_TARGET),
        )
        if "module_pass_ns_per_position" in figures:
            module = figures["module_pass_ns_per_position"]
            self.table.add(
                "MutationPass::run on a mapped tmpfs copy (fault guard included)",
                f"{module:.3f} ns",
                "",
                "",
                f"x{module / figures['raw_ns_per_draw']:.3f}",
            )
        call = self.raw["workloads"]["tmpfs/dense"]["gridflip"]["median"] / (864 * self.tiles)
        self.table.add(
            "whole mutate() dense call per visited position / raw draw",
            f"{call * 1e9:.3f} ns",
            "",
            "",
            f"x{call * 1e9 / figures['raw_ns_per_draw']:.3f}",
        )
        scan = figures["scan_to_memchr_ratio"]
        self.table.add(
            "line scan (no logic tiles) / memchr line walk",
            f"{figures['scan_gb_per_s']:.2f} GB/s",
            "",
            "",
            f"x{scan:.3f} of {figures['memchr_walk_gb_per_s']:.2f} GB/s",
            ">= x2",
            verdict(scan >= 2),
        )

    def memory(self) -> None:
        calls = self.options.memory_calls
        self.table.section(
            f"memory: {calls:,} calls on a one-tile file on tmpfs, rows [0, 5], columns [3, 7, 9]"
        )
        memory = self.raw["memory"] = measure_memory(self.shm, calls)
        self.table.add(
            "resident set growth (largest over the run)",
            f"{memory['growth'] / 1024:.0f} KiB",
            "",
            "",
            f"from {memory['before'] / 2**20:.1f} MiB",
            "flat (< 64 KiB)",
            verdict(memory["growth"] < RSS_FLAT_BYTES),
        )
        self.table.add("time per call, small file", f"{memory['seconds_per_call'] * 1e6:.2f} us")
        counted = self.raw["allocations"] = measure_allocations(self.shm, 10_000)
        if counted is None:
            self.table.add("malloc calls per call: not measured (no C compiler)")
            return
        per_call = (
            counted["mutate"]["allocations"] - counted["baseline"]["allocations"]
        ) / counted["calls"]
        frees = (counted["mutate"]["frees"] - counted["baseline"]["frees"]) / counted["calls"]
        sizes = counted["mutate"]["first_sizes"][: max(1, round(per_call))]
        self.table.add(
            "malloc calls per mutate() call, beyond a Python no-op",
            f"{per_call:g}",
            "",
            "",
            f"sizes {sizes}, {frees:g} frees",
            "2 (rows, columns)",
            verdict(per_call <= 2),
        )
        self.table.add(f"  (the path is {counted['path_length']} bytes, rows 2, columns 3)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few repetitions, for a smoke run")
    parser.add_argument(
        "--pass-json",
        type=pathlib.Path,
        default=RESULTS / "pass.json",
        help="the pass benchmark's figures (default: %(default)s)",
    )
    parser.add_argument(
        "--disk-dir",
        type=pathlib.Path,
        default=RESULTS / "disk",
        help="a directory on a disk file system (default: %(default)s)",
    )
    parser.add_argument("--plot", type=pathlib.Path, default=RESULTS / "time_vs_size.png")
    parser.add_argument("--memory-calls", type=int, default=100_000)
    parser.add_argument(
        "--clock",
        choices=("wall", "cpu"),
        default="wall",
        help="what the tmpfs figures are timed by: the wall clock, or the calling "
        "thread's CPU time, steadier on a busy machine (default: %(default)s)",
    )
    options = parser.parse_args()
    if options.quick:
        options.memory_calls = min(options.memory_calls, 10_000)

    started = time.perf_counter()
    info = machine()
    RESULTS.mkdir(parents=True, exist_ok=True)
    options.disk_dir.mkdir(parents=True, exist_ok=True)
    shm = pathlib.Path(tempfile.mkdtemp(prefix="gridflip-bench-", dir="/dev/shm"))
    disk = pathlib.Path(tempfile.mkdtemp(prefix="gridflip-bench-", dir=options.disk_dir))
    run = Run(options, shm, disk)
    try:
        run.workloads()
        run.sizes()
        run.positions()
        run.in_module()
        run.memory()
    finally:
        shutil.rmtree(shm, ignore_errors=True)
        shutil.rmtree(disk, ignore_errors=True)

    plotted = write_plot(run.raw["sizes"], options.plot, info, options.clock)
    run.raw["machine"] = info
    run.raw["seconds"] = time.perf_counter() - started
    (RESULTS / "results.json").write_text(json.dumps(run.raw, indent=1))
    header = (
        f"gridflip benchmarks: {info['cpu']}, {info['cores']} cores, kernel "
        f"{info['kernel']}, {info['compiler']}, Python {info['python']}, NumPy "
        f"{info['numpy']}, {info['date']}\nmodule: {info['module']}; load average at start "
        + ", ".join(f"{x:.2f}" for x in info["load_average"])
        + ", at end "
        + ", ".join(f"{x:.2f}" for x in os.getloadavg())
    )
    (RESULTS / "table.md").write_text(header + "\n\n" + run.table.markdown() + "\n")
    print(header)
    print()
    print(run.table.text())
    print()
    print(
        f"raw figures: {RESULTS / 'results.json'}; table: {RESULTS / 'table.md'}; "
        + (f"plot: {options.plot}" if plotted else "no plot (matplotlib missing)")
        + f"; {run.raw['seconds']:.0f} s"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
