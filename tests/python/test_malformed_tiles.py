"""Logic tiles whose row lines are not 54 bytes long are refused before any of their bytes
change; tiles cut short by the end of the file are not."""

import os
import re

import pytest
from conftest import known_key
from models.chacha12 import StreamModel
from models.reference_pass import run_pass

import gridflip

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
HX1K = os.path.join(ROOT, "examples", "blinky_hx1k.asc")
ROW = b"0" * 54 + b"\n"


def example():
    with open(HX1K, "rb") as handle:
        return handle.read()


def tile_headers(data):
    """(1-based line number, offset) of each logic-tile header line."""
    return [
        (data.count(b"\n", 0, m.start()) + 1, m.start())
        for m in re.finditer(rb"(?m)^\.logic_tile", data)
    ]


def with_row(data, tile, row, line):
    """`data` with row `row` of logic tile number `tile` replaced by `line`."""
    _, header = tile_headers(data)[tile]
    start = data.index(b"\n", header) + 1 + 55 * row
    return data[:start] + line + data[start + 55 :]


def mutate_caught(path, rows, columns, chance):
    try:
        gridflip.mutate(str(path), rows, columns, chance)
    except BaseException as error:  # PanicException is a BaseException
        return error
    return None


def test_a_crlf_circuit_is_refused_and_left_byte_identical(tmp_path):
    data = example().replace(b"\n", b"\r\n")
    path = tmp_path / "crlf.asc"
    path.write_bytes(data)
    error = mutate_caught(path, range(16), range(54), 0.3)
    line = tile_headers(data)[0][0]
    assert type(error).__name__ == "PanicException"
    assert error.args == (
        f"malformed logic tile at line {line}: row 0 ends in a carriage return; "
        "convert the file to LF line ends",
    )
    assert path.read_bytes() == data


@pytest.mark.parametrize(
    "row, line, text",
    [
        (4, b"0" * 53 + b"\n", "row 4 is 53 bytes long, not 54"),
        (15, b"0" * 55 + b"\n", "row 15 is 55 bytes long, not 54"),
        (
            0,
            b"0" * 54 + b"\r\n",
            "row 0 ends in a carriage return; convert the file to LF line ends",
        ),
    ],
)
def test_a_malformed_tile_keeps_earlier_flips_and_changes_nothing_from_itself_on(
    tmp_path, row, line, text
):
    bad_tile = 70
    data = with_row(example(), bad_tile, row, line)
    path = tmp_path / "c.asc"
    path.write_bytes(data)
    error = mutate_caught(path, [0, 15], [0, 53], 1.0)
    header_line, header = tile_headers(data)[bad_tile]
    assert error.args == (f"malformed logic tile at line {header_line}: {text}",)
    after = path.read_bytes()
    assert after == run_pass(data, [0, 15], [0, 53], 1.0, iter([0] * 10**6)).data
    assert after[header:] == data[header:]
    assert after[:header] != data[:header]


def test_a_carriage_return_in_the_last_column_is_a_bit_character(tmp_path):
    # 53 bits, a carriage return and the line feed: 54 bytes, so the tile is well formed.
    data = with_row(example(), 3, 2, b"0" * 53 + b"\r\n")
    path = tmp_path / "c.asc"
    path.write_bytes(data)
    assert mutate_caught(path, [2], [53], 1.0) is None
    _, header = tile_headers(data)[3]
    at = data.index(b"\n", header) + 1 + 55 * 2 + 53
    after = path.read_bytes()
    assert data[at : at + 1] == b"\r" and after[at : at + 1] == b"0"
    assert after == run_pass(data, [2], [53], 1.0, iter([0] * 10**6)).data


def test_a_tile_cut_short_still_flips_and_aborts_at_the_first_position_past_the_end(tmp_path):
    full = example()
    _, header = tile_headers(full)[-1]
    body = full.index(b"\n", header) + 1
    data = full[: body + 55 * 6 + 30]  # the file ends inside row 6 of the last tile
    path = tmp_path / "cut.asc"
    path.write_bytes(data)
    error = mutate_caught(path, [0, 6, 7], [0], 1.0)
    assert error.args == (
        f"index out of bounds: the len is {len(data)} but the index is {body + 55 * 7}",
    )
    after = path.read_bytes()
    assert after[body] != data[body] and after[body + 55 * 6] != data[body + 55 * 6]
    assert after == run_pass(data, [0, 6, 7], [0], 1.0, iter([0] * 10**6)).data


def test_without_positions_a_malformed_tile_is_not_refused(tmp_path):
    data = example().replace(b"\n", b"\r\n")
    path = tmp_path / "crlf.asc"
    path.write_bytes(data)
    assert mutate_caught(path, [], range(54), 1.0) is None
    assert mutate_caught(path, range(16), [], 1.0) is None
    assert path.read_bytes() == data


def test_nothing_is_drawn_for_the_refused_tile(child, tmp_path, interposer):
    # Under known keys, the call after a refusal goes on with the draw after the last one of
    # the tiles before the refused one.
    good = (b".logic_tile 1 1\n" + ROW * 16) * 2
    bad = good + b".logic_tile 9 9\n" + ROW * 3 + b"0" * 54 + b"\r\n" + ROW * 12
    paths = {"bad": tmp_path / "bad.asc", "good": tmp_path / "good.asc"}
    result = child(
        f"""
        import gridflip
        with open({str(paths["bad"])!r}, "wb") as handle:
            handle.write({bad!r})
        with open({str(paths["good"])!r}, "wb") as handle:
            handle.write({good!r})
        try:
            gridflip.mutate({str(paths["bad"])!r}, [0, 1, 2], list(range(54)), 0.5)
        except BaseException as error:
            print(error.args[0])
        gridflip.mutate({str(paths["good"])!r}, [0, 1, 2], list(range(54)), 0.5)
        """,
        env={"LD_PRELOAD": interposer, "GRIDFLIP_TEST_KEYS": "1"},
    )
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().strip() == (
        "malformed logic tile at line 35: row 3 ends in a carriage return; "
        "convert the file to LF line ends"
    )
    # The scan reports its finding; the mutate operation is where the call aborts.
    assert re.search(
        rb"panicked at src/lib\.cpp:\d+:\d+:\nmalformed logic tile at line 35", result.stderr
    ), result.stderr.decode()
    draws = iter(StreamModel(iter([known_key(0)])))
    first = run_pass(bad, [0, 1, 2], range(54), 0.5, draws)
    assert first.refusal is not None and first.draws_used == 2 * 3 * 54
    assert paths["bad"].read_bytes() == first.data
    assert paths["good"].read_bytes() == run_pass(good, [0, 1, 2], range(54), 0.5, draws).data
