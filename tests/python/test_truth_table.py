"""gridflip_evolution's truth-table fitness: the direct route against the simulator on mutated
copies of the bundled HX1K seed, and what it refuses to score or to model. icebox is loaded in
child processes only (conftest.py)."""

import json
import re

import pytest

PREAMBLE = """
import json, shutil
import gridflip
from gridflip_evolution.icestorm import load_icebox
from gridflip_evolution.seeds import INPUTS, OUTPUTS, seed as bundled
from gridflip_evolution.targets import adder
from gridflip_evolution.truth_table import *
seed, pcf = map(str, bundled("hx1k"))
fitness = TruthTableFitness(seed, pcf, INPUTS, OUTPUTS, adder)
lines = open(seed).read().split("\\n")

def set_bits(tile, bits):  # icebox-named bits (B<row>[<column>], ! for 0): a seed of its own
    at = lines.index(".logic_tile %d %d" % tile) + 1
    for bit in bits:
        row, column = map(int, bit.strip("!B]").split("["))
        lines[at + row] = lines[at + row][:column] + "01"[bit[0] != "!"] + lines[at + row][column + 1:]
    open(path, "w").write("\\n".join(lines))
    return icebox.tileconfig(lines[at:at + 16])

icebox = load_icebox()
seed_of_its_own = lambda: TruthTableFitness(path, pcf, INPUTS, OUTPUTS, adder)
"""


def test_the_direct_route_agrees_with_the_simulator(simulator, child, tmp_path):
    result = child(
        PREAMBLE
        + f"""
from concurrent.futures import ThreadPoolExecutor
chances = [0.01, 0.02, 0.05, 0.1, 0.2, 0.5]
paths = [seed]
for n in range(20):
    paths.append(shutil.copyfile(seed, {str(tmp_path)!r} + f"/copy-{{n}}.asc"))
    gridflip.mutate(paths[-1], range(16), range(36, 46), chances[n % len(chances)])
with ThreadPoolExecutor(2) as pool:
    simulated = list(pool.map(lambda p: simulate_truth_table(p, pcf, INPUTS, OUTPUTS), paths))
by_simulation = SimulatorFitness(pcf, INPUTS, OUTPUTS, adder)
for n, (path, words) in enumerate(zip(paths, simulated)):
    registered = any(open(path, "rb").read()[cell.dff_offset] == ord("1") for cell in fitness.cells)
    print(json.dumps([fitness.output_words(path), words, fitness(path), fitness.score_words(words),
                      registered, by_simulation(path) if n < 2 else None]))
# Another network of the same seed, scored in the same process: y[2]'s cone alone.
last = TruthTableFitness(seed, pcf, INPUTS, OUTPUTS[2:], lambda word: word.bit_count() >= 3)
assert [last.output_words(p) for p in paths] == [[w >> 2 for w in ws] for ws in simulated]
""",
        timeout=600,
    )
    assert result.returncode == 0, result.stderr.decode()
    rows = [json.loads(line) for line in result.stdout.decode().splitlines()]
    assert len(rows) == 21
    for direct, simulated, score, simulated_score, _, by_simulation in rows:
        assert direct == simulated and score == simulated_score
        assert by_simulation in (None, score)
    assert rows[0][2] == 49  # the seed as built
    assert len({row[2] for row in rows}) > 5  # the mutations changed what the network computes
    assert any(row[4] for row in rows)  # some copies enable a network cell's flip-flop


# case -> (code that makes the file at `path` and may set `attempt`; what the refusal says)
REFUSALS = {
    "a routing bit": (
        """
at = lines.index(".logic_tile %d %d" % fitness.cells[0].tile) + 1
set_bits(fitness.cells[0].tile, ["!B0[5]" if lines[at][5] == "1" else "B0[5]"])
print("line", at + 1)
""",
        r"\S+ differs from the seed \S+ outside the logic cells \(columns 36-45 of logic-tile "
        r"rows\), first at line (\d+) \(\"[01]{54}\"\): its wiring may not be the seed's",
    ),
    "another length": (
        """
open(path, "wb").write(open(seed, "rb").read() + b"\\n")
print("line", open(seed).read().count("\\n") + 1)
""",
        r"\S+ is 187527 bytes long, the seed \S+ 187526: first difference at line (\d+) \(\"\"\)",
    ),
    **{
        what: (
            f"""
set_bits(fitness.cells[0].tile, next(e[0] for e in icebox.logictile_db if e[1] == "buffer"
         and e[2].startswith("glb_netwk_") and e[3] == "lutff_global/{name}"))
attempt = seed_of_its_own
""",
            rf"\S+: {what} is routed into logic tile \(\d+, \d+\); the truth-table model cannot "
            r"represent this seed",
        )
        for name, what in (("clk", "a clock"), ("s_r", "a set/reset"), ("cen", "an enable"))
    },
    "a combinational loop": (
        """
# A cell that reads the next cell of its tile; that cell reads its LUT instead of input 2.
slots = {1 + len(INPUTS) + 2 * i + out: cell for i, cell in enumerate(fitness.cells) for out in (0, 1)}
reader, read = next((cell, slots[s]) for cell in fitness.cells for s in cell.sources
                    if slots.get(s) and (slots[s].tile, slots[s].index) == (cell.tile, cell.index + 1))
tile = set_bits(reader.tile, [])
for bits, kind, *ends in icebox.logictile_db:
    if ends[1:] == [f"lutff_{read.index}/in_2"] and tile.match(bits):
        set_bits(reader.tile, ["!" + bit for bit in bits if bit[0] != "!"])
set_bits(reader.tile, next(bits for bits, kind, *ends in icebox.logictile_db
                           if ends[:1] == [f"lutff_{reader.index}/lout"]))
attempt = seed_of_its_own
""",
        r"\S+: a combinational loop runs through logic cell \d of tile \(\d+, \d+\); the "
        r"truth-table model cannot represent this seed",
    ),
    "a port not in the .pcf": (
        """
attempt = lambda: TruthTableFitness(seed, pcf, INPUTS, ("y[0]", "y[1]", "z"), adder)
""",
        r"\S+lut_network_hx1k\.asc: port 'z' is not in \S+lut_network_hx1k\.pcf; the truth-table model "
        r"cannot represent this seed",
    ),
}


@pytest.mark.parametrize("case", REFUSALS)
def test_what_the_fitness_refuses(icebox, child, tmp_path, case):
    make, message = REFUSALS[case]
    result = child(
        PREAMBLE
        + f"""
path = {str(tmp_path / "made.asc")!r}
attempt = lambda: fitness(path)
"""
        + make
        + """
try:
    print("accepted", attempt())
except ValueError as error:
    print("ValueError:", error)
""",
        timeout=120,
    )
    assert result.returncode == 0, result.stderr.decode()
    lines = result.stdout.decode().splitlines()
    match = re.fullmatch("ValueError: " + message, lines[-1])
    assert match, lines
    if match.groups():  # the line the message names is the line that was changed
        assert lines[0] == f"line {match[1]}"
