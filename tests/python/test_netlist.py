"""NetlistFitness against the simulator and the two-driver check, mutate_region's boundary, and
the chip database against icebox's tile database, on the bundled HX1K seed."""

import pickle
import shutil
from pathlib import Path

import pytest

from gridflip_evolution.chipdb import ChipDatabase, switch_entry
from gridflip_evolution.drivers import find_contested_wires
from gridflip_evolution.icestorm import load_icebox
from gridflip_evolution.netlist import ContestedWires, NetlistFitness, Refusal
from gridflip_evolution.region import mutate_region
from gridflip_evolution.seeds import INPUTS, OUTPUTS, seed
from gridflip_evolution.targets import adder
from gridflip_evolution.truth_table import simulate_truth_table

pytestmark = pytest.mark.skipif(
    not all(shutil.which(tool) for tool in ("icebox_vlog", "iverilog", "vvp"))
    or not Path("/usr/share/fpga-icestorm/chipdb/chipdb-1k.txt").exists(),
    reason="needs fpga-icestorm, fpga-icestorm-chipdb and iverilog",
)
SEED, PCF = seed("hx1k")
CONE = [(12, 5), (12, 6)]  # the tiles of the seed's LUTs; cell 3 of (12, 5) drives y[0]


def crafted_cases(chip):
    """One candidate per refusal, as edits of the seed: (tile, (row, column)) sets a bit,
    (tile, destination, source) switches a source onto a destination, a string is a line."""
    flip_flop = chip.tile_bits["logic"]["LC_3"][9]  # cell 3's flip-flop enable
    return {
        # The LUT cascade from cell 2 onto cell 3's in_2, which its multiplexer drives.
        "contested": [((12, 5), (6, 50))],
        "loop": [((12, 5), "local_g0_3", "lutff_3/out"), ((12, 5), "lutff_3/in_0", "local_g0_3")],
        "undriven": [((12, 5), "lutff_3/in_0", "local_g0_1")],
        "flip-flop": [((12, 5), flip_flop), ((12, 5), "lutff_global/clk", "local_g2_0")],
        "carry": [((12, 5), "lutff_3/in_3", "lutff_2/cout")],
        # RAM and the global network take edits outside the region: the slower route.
        "RAM": [((10, 5), "sp12_h_r_8", "ram/RDATA_0"), ((12, 5), "local_g0_4", "sp12_h_r_12")],
        "global": [
            ".extra_bit 0 330 142",  # pad to global network 0
            ((12, 5), "glb2local_0", "glb_netwk_0"),
            ((12, 5), "local_g0_4", "glb2local_0"),
        ],
        "I/O cell": [
            ((12, 5), "local_g2_4", "neigh_op_rgt_4"),  # an unused pin's D_IN_0
            ((12, 5), "lutff_3/in_3", "local_g2_4"),
        ],
    }


def edited_seed(chip, edits) -> str:
    lines = Path(SEED).read_text().split("\n")
    headers = {}
    for number, line in enumerate(lines):
        words = line.split()
        if len(words) == 3 and words[0].endswith("_tile"):
            headers[(int(words[1]), int(words[2]))] = number

    def put(tile, r, c, value):
        row = lines[headers[tile] + 1 + r]
        lines[headers[tile] + 1 + r] = row[:c] + value + row[c + 1 :]

    for edit in edits:
        if isinstance(edit, str):
            lines.insert(-1, edit)
        elif len(edit) == 2:
            put(edit[0], *edit[1], "1")
        else:
            tile, destination, source = edit
            group = next(
                g
                for g in map(chip.group, chip.tile_groups(*tile))
                if g.destination_name == destination
            )
            pattern = next(p for p, _, name in group.rows if name == source)
            for i, (r, c) in enumerate(group.bits):
                put(tile, r, c, "1" if pattern >> i & 1 else "0")
    return "\n".join(lines)


def test_scores_agree_with_the_simulator_and_findings_with_the_driver_check(tmp_path, child):
    chip = ChipDatabase.load(device="1k")
    fitness = NetlistFitness(SEED, PCF, INPUTS, OUTPUTS, adder)
    assert fitness.tiles == tuple(CONE) and fitness(SEED) == 49
    icebox = load_icebox()
    cases = crafted_cases(chip)
    candidates = []
    for reason, edits in cases.items():
        path = tmp_path / f"{reason.replace('/', '')}.asc"
        path.write_text(edited_seed(chip, edits))
        candidates.append((reason, path))
    outcomes, scored = {}, 0
    for number in range(60):
        if number < len(candidates):
            expected, path = candidates[number]
        elif scored >= 8:
            break
        else:  # region-mutated candidates, until eight are scored
            expected, path = None, tmp_path / f"random-{number}.asc"
            shutil.copyfile(SEED, path)
            mutate_region(path, CONE, range(16), range(54), 0.003)
        report = find_contested_wires(path, icebox)
        try:
            score, outcome = fitness(path), "scored"
        except ContestedWires as error:
            outcome = "contested"
            assert error.report == report
        except Refusal as error:
            outcome = error.reason
            assert str(error).startswith(f"{path}: {error.reason}: ")
        if outcome != "contested":
            assert report.clean, (path, report.findings)
        assert expected in (None, outcome), (path, outcome)
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
        if outcome == "scored":
            scored += 1
            words = simulate_truth_table(path, PCF, INPUTS, OUTPUTS, timeout=60)
            assert None not in words and fitness.score_words(words) == score, path
    assert scored >= 8 and set(cases) <= set(outcomes), outcomes

    # A worker scores the same from the pickle, with no table or seed of its own to build.
    (tmp_path / "fitness.pickle").write_bytes(pickle.dumps(fitness))
    paths = [str(p) for _, p in candidates[:2]] + [str(SEED)]
    run = child(
        f"""
        import pickle, sys
        fitness = pickle.loads(open({str(tmp_path / "fitness.pickle")!r}, "rb").read())
        for path in {paths!r}:
            try:
                print(fitness(path))
            except ValueError as error:
                print(type(error).__name__)
        """,
        env={"XDG_CACHE_HOME": str(tmp_path / "empty-cache")},
        timeout=120,
        check=True,
    )
    assert run.stdout.decode().split() == ["ContestedWires", "Refusal", "49"]


@pytest.mark.parametrize(
    "rows, columns", [(range(16), range(54)), ([0, 15], [53, 0]), ([3, 3, 9], [7])]
)
def test_chance_one_flips_exactly_the_listed_bits_of_the_listed_tiles(tmp_path, rows, columns):
    path = tmp_path / "candidate.asc"
    shutil.copyfile(SEED, path)
    before = path.read_bytes()
    tiles = [(12, 5), (1, 1), (12, 5)]
    mutate_region(path, tiles, rows, columns, 1.0)
    expected = bytearray(before)
    for x, y in set(tiles):
        body = before.index(f".logic_tile {x} {y}\n".encode()) + len(f".logic_tile {x} {y}\n")
        for r in set(rows):
            for c in set(columns):
                if list(rows).count(r) * list(columns).count(c) % 2:  # a repeat flips back
                    expected[body + 55 * r + c] ^= 1
    assert path.read_bytes() == bytes(expected)


@pytest.mark.parametrize(
    "tiles, rows, columns, message",
    [
        ([(0, 5)], [0], [0], "not a logic tile"),  # an I/O tile
        ([(40, 40)], [0], [0], "not a logic tile"),
        ([(12, 5)], [16], [0], "row 16 is outside 0-15"),
        ([(12, 5)], [0], [54], "column 54 is outside 0-53"),
    ],
)
def test_what_mutate_region_refuses_leaves_the_file_alone(tmp_path, tiles, rows, columns, message):
    path = tmp_path / "candidate.asc"
    shutil.copyfile(SEED, path)
    with pytest.raises(ValueError, match=message):
        mutate_region(path, tiles, rows, columns, 1.0)
    assert path.read_bytes() == Path(SEED).read_bytes()


def test_the_chip_database_and_icebox_agree_on_a_regions_switches():
    chip = ChipDatabase.load(device="1k")
    icebox = load_icebox()
    config = icebox.iceconfig()
    config.setup_empty_1k()
    # The cone's tiles, an I/O tile beside them, a RAM tile, and a corner's logic tile.
    for tile in [(12, 5), (12, 6), (13, 5), (10, 5), (1, 1)]:
        theirs = {
            (entry[1], entry[2], entry[3], tuple(entry[0]))
            for entry in config.tile_db(*tile)
            if entry[1] in ("buffer", "routing")
            and config.tile_has_net(*tile, entry[2])
            and config.tile_has_net(*tile, entry[3])
        }
        ours, ends = set(), {}
        for group in map(chip.group, chip.tile_groups(*tile)):
            ends[group.destination_name] = group.destination
            for pattern, wire, name in group.rows:
                ends[name] = wire
                _, (_, kind, source, destination, bits) = switch_entry(
                    "buffer" if group.kind == 0 else "routing",
                    tile,
                    (0, 0),
                    group.bits,
                    pattern,
                    name,
                    group.destination_name,
                )
                ours.add((kind, source, destination, bits))
        assert ours == theirs, tile
        for name, wire in ends.items():
            assert set(config.expand_net((*tile, name))) == set(chip.wire_segments(wire)), name
