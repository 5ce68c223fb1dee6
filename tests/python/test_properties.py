"""Property tests of mutate over generated argument values, call shapes and circuits."""

import array
import itertools
import math
import random

import pytest
from conftest import panic_type
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from models.reference_pass import run_pass, tile_bodies, to_float32

import gridflip

LONG_BITS = 8 * array.array("l").itemsize
LONG_MIN, LONG_MAX = -(2 ** (LONG_BITS - 1)), 2 ** (LONG_BITS - 1) - 1
RANGE_MESSAGE = "out of range integral type conversion attempted"
BOUNDED = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    return tmp_path_factory.mktemp("properties")


# -- generated circuits ------------------------------------------------------------------


def tile_text(rng, header, *, rows=16, width=54, line_end=b"\n", alphabet=b"01"):
    lines = [header + line_end]
    for _ in range(rows):
        lines.append(bytes(rng.choice(alphabet) for _ in range(width)) + line_end)
    return b"".join(lines)


@st.composite
def circuits(draw, well_formed):
    """Small .asc-like texts. Well-formed ones keep every drawn flip on a bit
    character, so flips cannot change where tiles are; the others need not."""
    rng = random.Random(draw(st.integers(0, 2**32)))
    kinds = ["tile", "tile", "tile", "other tile", "line"]
    if not well_formed:
        kinds += ["indented", "odd rows", "crlf", "bytes"]
    pieces = []
    for kind in draw(st.lists(st.sampled_from(kinds), min_size=well_formed, max_size=4)):
        header = b".logic_tile %d %d" % (rng.randrange(34), rng.randrange(34))
        if kind == "tile":
            pieces.append(tile_text(rng, header, alphabet=rng.choice([b"01", b"0", b"01x"])))
        elif kind == "other tile":
            pieces.append(tile_text(rng, rng.choice([b".io_tile 0 1", b".ramb_tile 8 1"])))
        elif kind == "line":
            pieces.append(draw(st.binary(max_size=24)).replace(b".", b"x") + b"\n")
        elif kind == "indented":
            pieces.append(tile_text(rng, b" " + header))
        elif kind == "odd rows":
            pieces.append(tile_text(rng, header, rows=rng.randrange(18), width=rng.randrange(60)))
        elif kind == "crlf":
            pieces.append(tile_text(rng, header, line_end=b"\r\n"))
        else:
            pieces.append(draw(st.binary(max_size=40)))
    data = b"".join(pieces)
    ending = draw(st.sampled_from(["whole", "cut", "bare header"]))
    if ending == "cut":  # most often inside the last piece
        data = data[: max(0, len(data) - draw(st.integers(0, 1000)))]
    elif ending == "bare header":
        data += b".logic_tile 1 1"
    return data


# -- generated coordinates and chances ---------------------------------------------------


def valid_values(limit):
    return st.lists(st.one_of(st.integers(0, limit), st.booleans()), min_size=1, max_size=6)


def wild_values(limit):
    return st.lists(
        st.one_of(
            st.integers(0, limit),
            st.booleans(),
            st.integers(limit + 1, 255),
            st.integers(-300, -1),
            st.integers(256, 2**40),
            st.sampled_from([LONG_MAX, LONG_MAX + 1, LONG_MIN, LONG_MIN - 1, 2**64, -(2**70)]),
        ),
        max_size=6,
    )


@st.composite
def coordinates(draw, limit, wild):
    """A rows or columns argument of any accepted shape; with `wild`, values outside
    the tile, outside a byte and outside a C long too."""
    shape = draw(st.sampled_from(["list", "tuple", "bytes", "bytearray", "range"]))
    if shape in ("bytes", "bytearray"):
        value = st.integers(0, 255) if wild else st.integers(0, limit)
        values = draw(st.lists(value, min_size=not wild, max_size=6))
        return bytes(values) if shape == "bytes" else bytearray(values)
    if shape == "range":
        if wild:
            start, step, count = (
                draw(st.integers(-2, limit + 3)),
                draw(st.sampled_from([1, 2, -1])),
                5,
            )
        else:
            start, step, count = draw(st.integers(0, limit)), 1, limit + 1
        stop = start + step * draw(st.integers(not wild, count))
        return range(start, min(stop, limit + 1) if not wild else stop, step)
    values = draw(wild_values(limit) if wild else valid_values(limit))
    return values if shape == "list" else tuple(values)


# NaN and chances of 1 or more flip every visit, negative ones none: the result is
# then known whatever the draws.
deterministic_chances = st.one_of(
    st.sampled_from([1.0, math.nan, math.inf, -math.inf, 1 + 2**-23, 3.5e38, -1e-46, True]),
    st.floats(min_value=1.0),
    st.floats(max_value=-1e-30),
    st.integers(1, 5),
    st.integers(-5, -1),
    st.integers(2**1000, 2**1023),
)
random_chances = st.one_of(
    st.floats(0.0, 1.0, exclude_max=True), st.sampled_from([0.1, 0.25, 0.5, 0.75, 1 - 2**-24])
)
any_chances = st.one_of(
    deterministic_chances,
    random_chances,
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([-0.0, 0.0, 1e-46, 3.4028235e38]),
    st.integers(-5, 5),
    st.integers(2**1020, 2**1030),  # from 2**1024 on too large for a double
    st.booleans(),
)


def long_overflow_message(value):
    try:
        array.array("l", [value])
    except OverflowError as error:
        return str(error)
    raise AssertionError(f"{value} fits a C long")


def predicted_failure(rows, columns, chance):
    """The exception the module must raise for these arguments, or None."""
    for values in (rows, columns):
        for value in values:
            if not LONG_MIN <= value <= LONG_MAX:
                return OverflowError, long_overflow_message(value)
            if not 0 <= value <= 255:
                return OverflowError, RANGE_MESSAGE
    try:
        float(chance)
    except OverflowError as error:
        return OverflowError, str(error)
    for value in rows:
        if value > 15:
            return ValueError, f"argument 'rows': row {int(value)} is outside 0 to 15"
    for value in columns:
        if value > 53:
            return ValueError, f"argument 'columns': column {int(value)} is outside 0 to 53"
    return None


def is_deterministic(chance32):
    return math.isnan(chance32) or chance32 >= 1.0 or chance32 < 0.0


def call_mutate(path, rows, columns, chance):
    try:
        return gridflip.mutate(str(path), rows, columns, chance), None
    except BaseException as error:
        return None, error


def check_mutate(path, data, rows, columns, chance):
    """Runs mutate over `data` and checks the outcome against the rules and the model."""
    path.write_bytes(data)
    result, error = call_mutate(path, rows, columns, chance)
    after = path.read_bytes()

    failure = predicted_failure(list(rows), list(columns), chance)
    if failure is not None:
        event(f"refused with {failure[0].__name__}")
        assert (type(error), str(error)) == failure
        assert after == data
        return

    rows, columns = [int(v) for v in rows], [int(v) for v in columns]
    chance32 = to_float32(float(chance))
    if is_deterministic(chance32):
        expected = run_pass(data, rows, columns, chance32, itertools.repeat(0))
        outcome = "refuses a tile" if expected.refusal else "aborts" if expected.aborted else "ends"
        event(f"deterministic, {outcome}" + (", changed" if expected.flipped else ""))
        if not expected.aborted:
            assert error is None and result is None
        else:
            assert type(error) is panic_type() and error.args == (expected.abort_message,)
        assert after == expected.data
        return

    # A random chance (a well-formed text, except for chances that narrow to -0.0, which
    # flip only on a zero sample): only requested bit positions of logic tiles may change,
    # each to a bit character, and an abort names a requested position past the end or the
    # first malformed tile, whose refusal does not depend on the draws.
    assert len(after) == len(data)
    visits = {body + 55 * r + c for body in tile_bodies(data) for r in rows for c in columns}
    changed = {i for i in range(len(data)) if after[i] != data[i]}
    event("random, " + ("ends" if error is None else "aborts") + (", changed" if changed else ""))
    assert changed <= visits
    assert all(after[i] in b"01" for i in changed)
    if error is None:
        assert result is None
    else:
        assert type(error) is panic_type()
        past_end = sorted(i for i in visits if i >= len(data))
        refusal = run_pass(data, rows, columns, chance32, itertools.repeat(2**64 - 1)).refusal
        assert error.args[0] in {refusal} | {
            f"index out of bounds: the len is {len(data)} but the index is {i}" for i in past_end
        }


@st.composite
def wild_cases(draw):
    chance = draw(any_chances)
    try:
        random_result = not is_deterministic(to_float32(float(chance)))
    except OverflowError:
        random_result = False  # refused before the file is read
    data = draw(circuits(well_formed=random_result))
    return data, draw(coordinates(15, True)), draw(coordinates(53, True)), chance


@BOUNDED
@given(wild_cases())
def test_any_arguments_are_refused_as_the_rules_say_or_mutate_as_the_model_does(workdir, case):
    check_mutate(workdir / "wild.asc", *case)


@BOUNDED
@given(
    circuits(well_formed=False),
    coordinates(15, False),
    coordinates(53, False),
    deterministic_chances,
)
def test_known_outcome_chances_give_the_model_result_on_any_text(
    workdir, data, rows, columns, chance
):
    check_mutate(workdir / "known.asc", data, rows, columns, chance)


@BOUNDED
@given(circuits(well_formed=True), coordinates(15, False), coordinates(53, False), random_chances)
def test_random_chances_flip_only_requested_bits(workdir, data, rows, columns, chance):
    check_mutate(workdir / "random.asc", data, rows, columns, chance)


# -- call shapes -------------------------------------------------------------------------

PARAMETERS = ("fpath", "rows", "columns", "mutation_chance")
KEYWORDS = PARAMETERS + ("chance", "Rows", "fpath_", "mutation", "x", "\u00e9", "\ud800")


def reference(fpath, rows, columns, mutation_chance):
    """CPython's own binding of mutate's parameters."""


def interpreter_binding(args, kwargs):
    """The TypeError message CPython gives for this call shape, or None if it binds."""
    try:
        reference(*args, **kwargs)
    except TypeError as error:
        return str(error).replace("reference()", "mutate()").split(". Did you mean")[0]
    return None


@st.composite
def call_shapes(draw):
    """Positional count and keyword names: mostly the parameters not passed by
    position, now and then one passed twice, missing, or not a parameter at all."""
    positional = draw(st.sampled_from([0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 5, 6]))
    keywords = [
        name
        for k, name in enumerate(PARAMETERS)
        if draw(st.integers(0, 9)) < (8 if k >= positional else 1)
    ]
    keywords += draw(st.lists(st.sampled_from(KEYWORDS), max_size=2))
    return positional, draw(st.permutations(list(dict.fromkeys(keywords))))


@BOUNDED
@given(call_shapes())
def test_call_shapes_bind_like_the_interpreter(workdir, shape):
    positional, keywords = shape
    path = workdir / "plain.asc"  # no logic tile: a call that binds leaves it alone
    path.write_bytes(b".comment\nnothing to flip\n")
    values = {"fpath": str(path), "rows": [0], "columns": [0], "mutation_chance": 0.5}
    args = [values[PARAMETERS[k]] if k < 4 else 1 for k in range(positional)]
    kwargs = {name: values.get(name, 1) for name in keywords}

    if positional > 4:
        # The module counts positional arguments before it looks at any keyword.
        expected = f"mutate() takes 4 positional arguments but {positional} were given"
    else:
        expected = interpreter_binding(args, kwargs)
    result, error = call_mutate_shape(args, kwargs)
    event("binds" if expected is None else expected.split(" ")[1])
    if expected is None:
        assert error is None and result is None
    else:
        assert type(error) is TypeError and str(error) == expected


def call_mutate_shape(args, kwargs):
    try:
        return gridflip.mutate(*args, **kwargs), None
    except BaseException as error:
        return None, error
