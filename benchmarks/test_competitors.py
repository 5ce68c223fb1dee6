"""The benchmark's plain-Python and NumPy competitors leave the same file as the pass model.

tools/run-benchmarks runs this before it times them; by hand: python -m pytest benchmarks
"""

import pathlib
import shutil

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
# The pass model is the test suite's (pyproject.toml puts tests/python on pytest's path); the
# competitors sit beside this file.

import competitors  # noqa: E402
from models.reference_pass import FLIP_WORD, KEEP_WORD, run_pass, to_float32  # noqa: E402


@pytest.fixture(params=["python", "numpy"])
def mutate(request):
    if request.param == "numpy":
        pytest.importorskip("numpy")
    return getattr(competitors, f"mutate_{request.param}")


def endless(word):
    while True:
        yield word


def expected_after(data, rows, columns, chance):
    # Chance 1.0 flips even the largest sample and a negative chance flips even 0.0, so the
    # model's words can be the least favourable ones and still decide every visit alike.
    word = KEEP_WORD if chance >= 1.0 else FLIP_WORD
    return run_pass(data, rows, columns, to_float32(chance), endless(word))


LISTS = [
    (list(range(16)), list(range(54))),
    ([2, 2], [5]),
    ([1, 0], [3, 4]),
    ([15, 0, 7], [53, 0, 53]),
    ([], [0, 1]),
]


@pytest.mark.parametrize("circuit", ["blinky_hx1k.asc", "blinky_hx8k.asc"])
@pytest.mark.parametrize("rows, columns", LISTS)
@pytest.mark.parametrize("chance", [1.0, -0.5])
def test_example_circuits_match_the_model(mutate, tmp_path, circuit, rows, columns, chance):
    path = tmp_path / circuit
    shutil.copy(EXAMPLES / circuit, path)
    original = path.read_bytes()
    expected = expected_after(original, rows, columns, chance)
    mutate(path, rows, columns, chance)
    assert path.read_bytes() == expected.data
    assert expected.abort_index is None


HEADER = b".logic_tile 1 2\n"
ROW = b"0" * 54 + b"\n"
# A header line padded to a row's 54 bytes, so a tile that holds it as a row line is well formed.
ROW_HEADER = HEADER[:-1].ljust(54) + b"\n"
EDGE_FILES = {
    "nested header is a row line": HEADER + ROW * 3 + ROW_HEADER + ROW * 12 + HEADER + ROW * 16,
    "header as the last row line": HEADER + ROW * 15 + ROW_HEADER + ROW * 16,
    "indented header": b" " + HEADER + ROW * 3 + HEADER + ROW * 16,
    "tag prefix at the end": ROW + b".logic_til",
    "odd characters": HEADER + b"01x\r" + b"1" * 50 + b"\n" + ROW * 15,
    "two tiles back to back": (HEADER + ROW * 16) * 2 + b".io_tile 0 1\n" + b"0" * 18 + b"\n",
}


@pytest.mark.parametrize("name", EDGE_FILES)
def test_edge_files_match_the_model(mutate, tmp_path, name):
    path = tmp_path / "edge.asc"
    path.write_bytes(EDGE_FILES[name])
    # Rows 3 and 15 stay untouched so that tags written there survive until the scan reaches them.
    expected = expected_after(EDGE_FILES[name], [0, 2, 14], [0, 1, 2, 3, 53], 1.0)
    assert expected.abort_index is None
    mutate(path, [0, 2, 14], [0, 1, 2, 3, 53], 1.0)
    assert path.read_bytes() == expected.data


@pytest.mark.parametrize("data", [HEADER + ROW * 2, b"abc\n.logic_tile 3 4"])
def test_flip_past_the_end_raises_after_writing_earlier_flips(mutate, tmp_path, data):
    path = tmp_path / "short.asc"
    path.write_bytes(data)
    expected = expected_after(data, [0, 1, 5, 0], [0], 1.0)
    with pytest.raises(IndexError) as raised:
        mutate(path, [0, 1, 5, 0], [0], 1.0)
    assert str(raised.value) == expected.abort_message
    assert path.read_bytes() == expected.data


def test_half_chance_flips_about_half_of_the_visited_bits(mutate, tmp_path):
    path = tmp_path / "blinky_hx1k.asc"
    shutil.copy(EXAMPLES / "blinky_hx1k.asc", path)
    original = path.read_bytes()
    visited = set(expected_after(original, range(16), range(54), 1.0).flipped)
    mutate(path, range(16), range(54), 0.5)
    after = path.read_bytes()
    assert len(after) == len(original)
    changed = {i for i, (a, b) in enumerate(zip(original, after)) if a != b}
    assert changed <= visited
    # 138240 visits: the count's standard deviation is about 186, so 2% is over 14 sigma.
    assert abs(len(changed) - len(visited) / 2) < 0.02 * len(visited)


def test_numpy_refuses_positions_outside_a_tile(tmp_path):
    pytest.importorskip("numpy")
    path = tmp_path / "c.asc"
    path.write_bytes(HEADER + ROW * 16)
    for rows, columns in (([16], [0]), ([0], [54])):
        with pytest.raises(ValueError):
            competitors.mutate_numpy(path, rows, columns, 1.0)
    assert path.read_bytes() == HEADER + ROW * 16


def test_durable_write_leaves_the_same_file(mutate, tmp_path):
    path = tmp_path / "blinky_hx1k.asc"
    shutil.copy(EXAMPLES / "blinky_hx1k.asc", path)
    expected = expected_after(path.read_bytes(), [0, 5], [3, 7, 9], 1.0)
    mutate(path, [0, 5], [3, 7, 9], 1.0, durable=True)
    assert path.read_bytes() == expected.data
