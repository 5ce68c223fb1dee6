"""The pure-Python pass model against hand-worked cases, so it can be trusted as an oracle."""

import ctypes
import math
import pathlib
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st
from models.reference_pass import (
    FLIP_WORD,
    KEEP_WORD,
    DrawsExhausted,
    count_logic_tiles,
    run_pass,
    tile_bodies,
    to_float32,
    unit_double,
)

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
HEADER = b".logic_tile 1 2\n"  # 15 characters and a line feed: body at 16
ROW = b"0" * 54 + b"\n"


def tile(header=HEADER, rows=None):
    return header + b"".join(rows if rows is not None else [ROW] * 16)


def scripted(*words):
    return iter(words)


def flips_forever():
    while True:
        yield FLIP_WORD


# -- where tiles are found and which bytes a visit addresses ---------------------------------


def test_offsets_of_first_tile_and_resume_point():
    data = tile() + tile()
    result = run_pass(data, [2], [5], 1.0, flips_forever())
    # 16 + 2*55 + 5 = 131; the rows end at 16 + 16*55 = 896, where the second header starts.
    assert result.bodies == (16, 912)
    assert result.flipped == (131, 912 + 115)
    assert result.draws_used == 2
    assert result.data[131:132] == b"1" and result.data[1027:1028] == b"1"
    assert sum(a != b for a, b in zip(data, result.data)) == 2


def test_header_coordinates_are_ignored():
    data = tile(b".logic_tile 33 17 whatever\n") + tile(b".logic_tile\n")
    assert run_pass(data, [0], [0], 1.0, flips_forever()).bodies == (27, 27 + 880 + 12)


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b".logic_ti",  # 9 bytes: shorter than the loop's 10
        b".logic_til",  # the tag's first 10 bytes at a line start, at the end
        b"xyz\n.logic_til",  # the same after another line
        b"  .logic_tile 1 1\n" + ROW * 16,  # indented header
        b"xx.logic_tile 1 1\n" + ROW * 16,  # tag inside a line
        b".logic_tilE 1 1\n" + ROW * 16,  # differs in the last tag byte
        b".io_tile 1 0\n" + b"0" * 18 + b"\n",
    ],
)
def test_no_tile_no_draws_no_change(data):
    result = run_pass(data, [0, 1], [0, 1], 1.0, scripted())  # any draw would raise
    assert result == run_pass(data, [], [], 1.0, scripted())
    assert (result.data, result.draws_used, result.abort_index, result.bodies) == (
        data,
        0,
        None,
        (),
    )


def test_tag_of_exactly_eleven_bytes_at_the_end_is_a_tile_with_body_at_the_end():
    data = b"ab\n.logic_tile"
    assert tile_bodies(data) == [14]
    result = run_pass(data, [0], [0], 1.0, flips_forever())
    assert (result.abort_index, result.draws_used, result.data) == (14, 1, data)


def test_tile_lines_inside_a_tile_are_row_lines_but_after_an_indented_header_are_tiles():
    rows = [ROW] * 3 + [b".logic_tile 9 9\n"] + [ROW] * 12
    assert tile_bodies(tile(rows=rows)) == [16]
    # Indented: its rows are ordinary lines, so the line where row 3 would be is a header.
    indented = b" " + tile(rows=rows)
    assert tile_bodies(indented) == [17 + 3 * 55 + 16]


# -- the order of visits and the draws they take ---------------------------------------------


@pytest.mark.parametrize(
    "which, offset", [(0, 16 + 55 + 3), (1, 16 + 3), (2, 16 + 55 + 4), (3, 16 + 4)]
)
def test_columns_outer_rows_inner(which, offset):
    words = [KEEP_WORD] * 4
    words[which] = FLIP_WORD
    result = run_pass(tile(), [1, 0], [3, 4], 0.5, scripted(*words))
    assert result.flipped == (offset,)
    assert result.draws_used == 4


def test_repeated_row_flips_twice_and_takes_two_draws_per_tile():
    data = tile() + tile()
    result = run_pass(data, [2, 2], [5], 1.0, flips_forever())
    assert result.data == data
    assert result.flipped == (131, 131, 1027, 1027)
    assert result.draws_used == 4


def test_empty_lists_find_tiles_but_draw_nothing():
    data = tile() + tile()
    for rows, columns in (([], [0]), ([0], []), ([], [])):
        result = run_pass(data, rows, columns, 1.0, scripted())
        assert (result.data, result.draws_used, result.bodies) == (data, 0, (16, 912))


def test_one_draw_per_visit_whether_or_not_it_flips():
    data = tile() * 3
    words = [FLIP_WORD, KEEP_WORD] * 9
    result = run_pass(data, [0, 1, 2], [7, 8], 0.25, scripted(*words))
    assert result.draws_used == 18
    assert len(result.flipped) == 9


def test_running_out_of_scripted_draws_is_reported():
    with pytest.raises(DrawsExhausted):
        run_pass(tile(), [0, 1], [0], 1.0, scripted(FLIP_WORD))


# -- the flip rule and the comparison with the chance ----------------------------------------


def test_zero_becomes_one_and_anything_else_becomes_zero():
    rows = [b"01x\r" + b"0" * 50 + b"\n"] + [ROW] * 15
    result = run_pass(tile(rows=rows), [0], [0, 1, 2, 3], 1.0, flips_forever())
    assert result.data[16:20] == b"1000"


def test_chance_bounds_exact():
    half = 1 << 63  # sample exactly 0.5
    step = 1 << 12  # one unit of 2**-52 in the sample
    cases = [
        (0.5, half, True),  # s > chance is false at equality
        (0.5, half + step, False),
        (0.0, 0, True),
        (0.0, 0xFFF, True),  # the low 12 bits do not reach the sample
        (0.0, step, False),
        (-1.0, 0, False),
        (1.0, KEEP_WORD, True),
        (math.inf, KEEP_WORD, True),
        (math.nan, KEEP_WORD, True),  # no sample compares greater than NaN
        (-math.inf, 0, False),
    ]
    for chance, word, flips in cases:
        result = run_pass(tile(), [0], [0], chance, scripted(word))
        assert bool(result.flipped) is flips, (chance, hex(word))


def test_chance_of_one_tenth_is_compared_as_its_float32_value():
    chance = to_float32(0.1)
    assert chance == 13421773 * 2.0**-27  # 0.100000001490116119384765625
    boundary = 13421773 << 25  # the same value in units of 2**-52
    assert unit_double(boundary << 12) == chance
    assert run_pass(tile(), [0], [0], chance, scripted(boundary << 12)).flipped == (16,)
    assert run_pass(tile(), [0], [0], chance, scripted((boundary + 1) << 12)).flipped == ()
    # The double 0.1 itself lies below the float32 value, so a sample just above it flips.
    just_above_double = (int(0.1 * 2**52) + 1) << 12
    assert run_pass(tile(), [0], [0], chance, scripted(just_above_double)).flipped == (16,)


def test_chance_must_be_a_float32_value():
    with pytest.raises(ValueError):
        run_pass(tile(), [0], [0], 0.1, scripted(FLIP_WORD))


# -- the end of the file ---------------------------------------------------------------------


def test_header_as_last_line_aborts_at_first_drawn_flip():
    data = b"abc\n.logic_tile 3 4"  # L = 19, body = L
    result = run_pass(data, [1, 0], [2], 1.0, scripted(FLIP_WORD, FLIP_WORD))
    assert (result.abort_index, result.draws_used, result.data) == (19 + 55 + 2, 1, data)
    assert result.abort_message == "index out of bounds: the len is 19 but the index is 76"
    kept = run_pass(data, [1, 0], [2], 0.5, scripted(KEEP_WORD, KEEP_WORD))
    assert (kept.abort_index, kept.draws_used, kept.data) == (None, 2, data)


def test_abort_keeps_the_flips_made_before_it():
    data = HEADER + ROW * 2  # L = 126: rows 0 and 1 only
    result = run_pass(data, [0, 1, 5, 0], [0], 1.0, flips_forever())
    assert result.abort_index == 16 + 5 * 55
    assert result.draws_used == 3
    assert result.flipped == (16, 71)
    assert result.data == data[:16] + b"1" + data[17:71] + b"1" + data[72:]


def test_tile_cut_short_mid_row():
    data = HEADER + ROW * 7 + b"0101"  # L = 405, row 7 has 4 characters and no line feed
    inside = run_pass(data, [7], [3], 1.0, flips_forever())
    assert (inside.flipped, inside.abort_index) == ((404,), None)
    past = run_pass(data, [7], [4], 1.0, flips_forever())
    assert (past.flipped, past.abort_index, past.data) == ((), 405, data)
    # Visits past the end that draw no flip are never checked.
    assert run_pass(data, [15], [53], 0.5, scripted(KEEP_WORD)).abort_index is None


def test_row_skip_stops_at_end_and_scan_ends():
    data = tile(rows=[ROW] * 3) + b"tail"  # the skip runs out of line feeds
    assert tile_bodies(data) == [16]


def test_coordinates_outside_a_tile_are_outside_the_model():
    for rows, columns in (([16], [0]), ([0], [54])):
        with pytest.raises(ValueError):
            run_pass(tile(), rows, columns, 1.0, flips_forever())


# -- malformed tiles -------------------------------------------------------------------------


def malformed(line, row, k):
    return f"malformed logic tile at line {line}: row {row} is {k} bytes long, not 54"


def crlf(line, row):
    return (
        f"malformed logic tile at line {line}: row {row} ends in a carriage return; "
        "convert the file to LF line ends"
    )


@pytest.mark.parametrize(
    "rows, message",
    [
        ([ROW] * 15 + [b"0" * 53 + b"\n"], malformed(1, 15, 53)),
        ([ROW] * 2 + [b"0" * 55 + b"\n"] + [ROW] * 13, malformed(1, 2, 55)),
        ([b"\n"] + [ROW] * 15, malformed(1, 0, 0)),
        ([b"0" * 54 + b"\r\n"] * 16, crlf(1, 0)),
        # A carriage return ending a row of another length: LF line ends would not mend it.
        ([ROW] * 4 + [b"0" * 20 + b"\r\n"] + [ROW] * 11, malformed(1, 4, 21)),
        ([b"\r\n"] + [ROW] * 15, malformed(1, 0, 1)),
    ],
)
def test_a_malformed_row_refuses_the_tile_before_any_draw(rows, message):
    data = tile(rows=rows)
    result = run_pass(data, [0], [0], 1.0, scripted())  # any draw would raise
    assert (result.refusal, result.abort_message, result.data) == (message, message, data)
    assert result.aborted and result.abort_index is None


def test_earlier_tiles_keep_their_flips_and_the_line_counts_from_one():
    bad = tile(header=b".logic_tile 7 7\n", rows=[ROW] * 9 + [b"0" * 54 + b"\r\n"] + [ROW] * 6)
    data = b"x\n" + tile() + bad + tile()
    result = run_pass(data, [0], [0], 1.0, flips_forever())
    assert result.refusal == crlf(19, 9)  # lines 2 to 18 are the first tile
    assert (result.flipped, result.draws_used) == ((2 + 16,), 1)


def test_a_carriage_return_inside_a_54_byte_row_is_an_ordinary_byte():
    data = tile(rows=[b"0" * 53 + b"\r\n"] + [ROW] * 15)
    result = run_pass(data, [0], [53], 1.0, flips_forever())
    assert result.refusal is None and result.data[16 + 53 : 16 + 54] == b"0"


@pytest.mark.parametrize(
    "data",
    [
        tile(rows=[ROW] * 3 + [b"0" * 80]),  # the file ends inside a long row without a line feed
        tile(rows=[ROW] * 5),  # the file ends where row 5 would start
        HEADER[:-1],  # the header is the last line: body at the end
    ],
)
def test_a_tile_cut_short_is_not_refused(data):
    assert run_pass(data, [0], [0], 1.0, flips_forever()).refusal is None
    assert run_pass(data, [15], [0], 1.0, flips_forever()).abort_index is not None


def test_without_positions_nothing_is_checked():
    data = tile(rows=[b"0" * 54 + b"\r\n"] * 16) + tile()
    for rows, columns in (([], [0]), ([0], [])):
        result = run_pass(data, rows, columns, 1.0, scripted())
        assert (result.refusal, len(result.bodies)) == (None, 2)


# -- the example circuits --------------------------------------------------------------------


@pytest.mark.parametrize("name, tiles", [("blinky_hx1k.asc", 160), ("blinky_hx8k.asc", 960)])
def test_example_circuits(name, tiles):
    data = (EXAMPLES / name).read_bytes()
    assert count_logic_tiles(data) == tiles
    assert len(re.findall(rb"(?m)^\.logic_tile", data)) == tiles
    result = run_pass(data, range(16), range(54), 1.0, flips_forever())
    assert result.abort_index is None
    assert result.draws_used == len(result.flipped) == tiles * 16 * 54
    changed = [i for i, (a, b) in enumerate(zip(data, result.data)) if a != b]
    assert changed == sorted(result.flipped)
    assert all(data[i] in b"01" and result.data[i] == (data[i] ^ 1) for i in changed)


# -- narrowing to 32 bits --------------------------------------------------------------------

FLT_MAX = float.fromhex("0x1.fffffep127")


def test_to_float32_boundaries():
    assert to_float32(0.1) == 0.100000001490116119384765625
    assert to_float32(FLT_MAX) == FLT_MAX
    assert (
        to_float32(float.fromhex("0x1.fffffefffffffp127")) == FLT_MAX
    )  # just below the halfway point
    assert to_float32(float.fromhex("0x1.ffffffp127")) == math.inf  # halfway: ties to even, upward
    assert to_float32(-1e39) == -math.inf
    assert to_float32(1e308) == math.inf
    assert to_float32(2.0**-149) == 2.0**-149  # smallest subnormal
    assert to_float32(2.0**-150) == 0.0  # halfway to zero: even
    assert to_float32(3 * 2.0**-151) == 2.0**-149
    assert math.copysign(1.0, to_float32(-1e-50)) == -1.0
    assert math.isnan(to_float32(math.nan))
    assert to_float32(1 + 2.0**-24) == 1.0  # tie between 1 and 1 + 2**-23
    assert to_float32(1 + 3 * 2.0**-24) == 1 + 2.0**-22


@given(st.floats(allow_nan=False))
def test_to_float32_matches_c_narrowing(value):
    assert to_float32(value) == ctypes.c_float(value).value
