"""gridflip as installed from its wheel, called the way a user calls it. tools/check-wheel runs
this in a fresh virtual environment whose PATH has no compiler and where libdw is hidden.

    python check_installed.py CIRCUIT.asc
"""

import ctypes
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path


def check(condition, message):
    if not condition:
        sys.exit(f"check_installed: {message}")


def check_the_machine():
    for compiler in ("cc", "gcc", "g++", "c++", "clang", "clang++"):
        check(shutil.which(compiler) is None, f"{compiler} is on PATH")
    try:
        ctypes.CDLL("libdw.so.1")
    except OSError:
        pass
    else:
        sys.exit("check_installed: libdw.so.1 loads; it should be hidden")


def check_the_installation():
    import gridflip

    site = Path(sysconfig.get_paths()["platlib"])
    check(Path(gridflip.__file__).parent == site, f"gridflip comes from {gridflip.__file__}")
    check((site / "gridflip-stubs" / "__init__.pyi").is_file(), "the stub package is missing")
    check(not (site / "gridflip.pyi").exists(), "a stub beside the module as well")
    check(gridflip.__all__ == ["mutate"] and gridflip.__doc__ == "", "the module's attributes")


def check_a_mutation(circuit):
    import gridflip

    original = circuit.read_bytes()
    gridflip.mutate(str(circuit), range(16), range(54), 0.05)
    mutated = circuit.read_bytes()
    check(len(mutated) == len(original), "the length changed")
    changed = [i for i, (a, b) in enumerate(zip(original, mutated)) if a != b]
    check(changed, "nothing flipped")
    check(
        all({original[i], mutated[i]} == {ord("0"), ord("1")} for i in changed),
        "a change other than 0 <-> 1",
    )
    print(f"mutate: {len(changed)} bits of {circuit.name} flipped")


def check_an_abort_report():
    environment = dict(os.environ, GRIDFLIP_BACKTRACE="full")
    script = "import gridflip\ngridflip.mutate('/nonexistent/candidate.asc', [0], [0], 0.5)\n"
    result = subprocess.run(
        [sys.executable, "-c", script], env=environment, capture_output=True, text=True, timeout=120
    )
    report = result.stderr
    check(result.returncode == 1, f"exit status {result.returncode}: {report}")
    check("\nstack backtrace:\n" in report, f"no backtrace: {report}")
    # The module's own frames are named (from its symbol table), and located in the installed file.
    module = re.escape(
        str(Path(sysconfig.get_paths()["platlib"]) / "gridflip.cpython-313-x86_64-linux-gnu.so")
    )
    frame = re.search(
        r"\n +\d+: gridflip::mutate\([^\n]*\)\n +in " + module + r"\+0x[0-9a-f]+\n", report
    )
    check(frame, f"no named module frame: {report}")
    check(
        report.rstrip().endswith(
            "pyo3_runtime.PanicException: Failed to open circuit: Os { code: 2, "
            'kind: NotFound, message: "No such file or directory" }'
        ),
        report,
    )
    print("a sample abort report, as expected for a missing file (GRIDFLIP_BACKTRACE=full):")
    print("".join(f"  | {line}\n" for line in report.rstrip("\n").split("\n")), end="")
    print("end of the sample abort report; the wheel works")


COMMANDS = (
    "gridflip-evolve",
    "gridflip-replay",
    "gridflip-check-drivers",
    "gridflip-score",
    "gridflip-mutate-population",
)
SEED_FILES = (
    "lut_network.v",
    "lut_network_hx1k.asc",
    "lut_network_hx1k.pcf",
    "lut_network_hx8k.asc",
    "lut_network_hx8k.pcf",
)


def check_the_evolution_package():
    """Its data files where importlib.resources finds them, its type marker, and each command's
    help from the environment's bin directory."""
    from importlib import resources

    import gridflip_evolution
    from gridflip_evolution import seeds

    package = resources.files("gridflip_evolution")
    check((package / "py.typed").is_file(), "gridflip_evolution has no py.typed")
    for name in SEED_FILES:
        check((package / "seeds" / name).is_file(), f"the seed file {name} is missing")
    circuit, pcf = seeds.seed("hx8k")
    check(circuit.read_bytes().startswith(b".comment") and pcf.stat().st_size, "the HX8K seed")
    check(
        {"evolve", "TruthTableFitness", "simulate_truth_table"} <= set(gridflip_evolution.__all__),
        "the package's exports",
    )
    scripts = Path(sysconfig.get_paths()["scripts"])
    for command in COMMANDS:
        run = subprocess.run(
            [scripts / command, "--help"], capture_output=True, text=True, timeout=120
        )
        check(
            run.returncode == 0 and run.stdout.startswith(f"usage: {command}"),
            f"{command} --help: {run.returncode} {run.stderr}",
        )
    print(
        f"gridflip_evolution: {len(SEED_FILES)} seed files, {len(COMMANDS)} commands answer --help"
    )


def main(circuit):
    check_the_machine()
    check_the_installation()
    check_a_mutation(Path(circuit))
    check_the_evolution_package()
    check_an_abort_report()


if __name__ == "__main__":
    main(*sys.argv[1:])
