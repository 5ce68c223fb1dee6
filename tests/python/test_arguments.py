"""Binding and conversion of mutate's arguments: shapes, messages, order, callbacks."""

import operator
import os
import sys

import pytest

from gridflip import mutate


def message_of(call):
    with pytest.raises(BaseException) as caught:
        call()
    return type(caught.value), str(caught.value)


@pytest.fixture
def circuit(tmp_path):
    # No logic tile: calls that bind succeed and leave it alone.
    path = tmp_path / "plain.asc"
    path.write_bytes(b".comment\nnothing to see here\n")
    return str(path)


TELLING_CASES = [
    (
        lambda: mutate(),
        TypeError,
        "mutate() missing 4 required positional arguments: 'fpath', 'rows', 'columns', and 'mutation_chance'",
    ),
    (
        lambda: mutate("circuit.asc", [0, 1]),
        TypeError,
        "mutate() missing 2 required positional arguments: 'columns' and 'mutation_chance'",
    ),
    (
        lambda: mutate("circuit.asc", columns=[3], mutation_chance=0.5),
        TypeError,
        "mutate() missing 1 required positional argument: 'rows'",
    ),
    (
        lambda: mutate("circuit.asc", [0], [0], 0.5, 1),
        TypeError,
        "mutate() takes 4 positional arguments but 5 were given",
    ),
    (
        lambda: mutate("circuit.asc", [0], [0], 0.5, chance=0.5),
        TypeError,
        "mutate() got an unexpected keyword argument 'chance'",
    ),
    (
        lambda: mutate("circuit.asc", chance=0.5),
        TypeError,
        "mutate() got an unexpected keyword argument 'chance'",
    ),
    (
        lambda: mutate("circuit.asc", [0], [0], 0.5, rows=[1]),
        TypeError,
        "mutate() got multiple values for argument 'rows'",
    ),
    (
        lambda: mutate("circuit.asc", "01", [0], 0.5),
        TypeError,
        "argument 'rows': Can't extract `str` to `Vec`",
    ),
    (
        lambda: mutate("circuit.asc", [0, 300], [0], 0.5),
        OverflowError,
        "out of range integral type conversion attempted",
    ),
    (
        lambda: mutate(b"circuit.asc", [0], [0], 0.5),
        TypeError,
        "argument 'fpath': 'bytes' object cannot be cast as 'str'",
    ),
    (
        lambda: mutate("circuit.asc", {1, 2}, [0], 0.5),
        TypeError,
        "argument 'rows': 'set' object cannot be cast as 'Sequence'",
    ),
    (
        lambda: mutate("circuit.asc", [0], 5, 0.5),
        TypeError,
        "argument 'columns': 'int' object cannot be cast as 'Sequence'",
    ),
]


@pytest.mark.parametrize("call, kind, text", TELLING_CASES)
def test_telling_cases(call, kind, text):
    assert message_of(call) == (kind, text)


def interpreter_message(call):
    try:
        call()
    except TypeError as error:
        return str(error)
    raise AssertionError("no TypeError")


def test_interpreter_conversion_messages_get_the_prefix():
    assert message_of(lambda: mutate(5, [0], [0], 0.5)) == (
        TypeError,
        "argument 'fpath': " + interpreter_message(lambda: os.fspath(5)),
    )
    assert message_of(lambda: mutate("c", [1.0], [0], 0.5)) == (
        TypeError,
        "argument 'rows': " + interpreter_message(lambda: operator.index(1.0)),
    )
    assert message_of(lambda: mutate("c", [0], [0], "0.5")) == (
        TypeError,
        "argument 'mutation_chance': must be real number, not str",
    )


def reference(fpath, rows, columns, mutation_chance):
    """CPython's own binding of the same parameters: the oracle for call shapes."""


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (("c",), {}),
        (("c", [0], [0]), {}),
        ((), {"rows": [0], "mutation_chance": 1}),
        (("c", [0]), {"columns": [1], "fpath": "d"}),
        (("c",), {"mutation_chance": 1, "rows": [], "colums": []}),
        (("c", [0], [0], 1), {"fpath": "x"}),
    ],
)
def test_binding_messages_match_the_interpreter(args, kwargs):
    expected = interpreter_message(lambda: reference(*args, **kwargs)).replace(
        "reference()", "mutate()"
    )
    # The module makes no "Did you mean" suggestion for a misspelt keyword.
    expected = expected.split(". Did you mean")[0]
    assert message_of(lambda: mutate(*args, **kwargs)) == (TypeError, expected)


def test_keywords_are_examined_in_order_and_the_first_failure_wins():
    assert message_of(lambda: mutate("c", fpath="d", bogus=1))[1] == (
        "mutate() got multiple values for argument 'fpath'"
    )
    assert message_of(lambda: mutate("c", bogus=1, fpath="d"))[1] == (
        "mutate() got an unexpected keyword argument 'bogus'"
    )
    # Case-sensitive, no normalisation, no suggestion for a near miss.
    assert message_of(lambda: mutate("c", [0], [0], Mutation_chance=1))[1] == (
        "mutate() got an unexpected keyword argument 'Mutation_chance'"
    )


def test_keyword_name_without_utf8_form_is_unexpected():
    kind, text = message_of(lambda: mutate(**{"\ud800": 1}))
    assert kind is TypeError
    assert text == "mutate() got an unexpected keyword argument '\ud800'"


def test_all_keywords_and_mixed_calls_bind(circuit):
    assert mutate(fpath=circuit, rows=[0], columns=[0], mutation_chance=1.0) is None
    assert mutate(circuit, [0], mutation_chance=1.0, columns=[1]) is None
    assert mutate(mutation_chance=0.5, columns=[], rows=[], fpath=circuit) is None


@pytest.mark.parametrize(
    "value",
    [
        b"\x00\x0f",
        bytearray(b"\x05"),
        range(16),
        (1, 2),
        [True, False],
        [],
        (),
        b"",
        type("Bytes", (bytes,), {})(b"\x01"),
        type("Ints", (list,), {})([3, 4]),
    ],
)
def test_accepted_coordinate_shapes(circuit, value):
    assert mutate(circuit, value, value, 0.5) is None


@pytest.mark.parametrize(
    "value, name",
    [
        ((x for x in [1]), "generator"),
        ({1: 2}, "dict"),
        (None, "NoneType"),
        (3.5, "float"),
        (iter([1]), "list_iterator"),
    ],
)
def test_non_sequences_are_refused_by_type_name(value, name):
    assert message_of(lambda: mutate("c", value, [0], 0.5)) == (
        TypeError,
        f"argument 'rows': '{name}' object cannot be cast as 'Sequence'",
    )


@pytest.mark.parametrize("value", [[-1], [256], [10**6], [sys.maxsize]])
def test_out_of_range_values_are_unprefixed_overflow_errors(value):
    assert message_of(lambda: mutate("c", value, [0], 0.5)) == (
        OverflowError,
        "out of range integral type conversion attempted",
    )


def test_values_beyond_a_c_long_get_the_interpreter_overflow_message():
    kind, text = message_of(lambda: mutate("c", [0], [2**64], 0.5))
    assert kind is OverflowError
    assert not text.startswith("argument")


def test_str_subclass_is_refused_like_str():
    Text = type("Text", (str,), {})
    assert message_of(lambda: mutate("c", [0], Text("01"), 0.5)) == (
        TypeError,
        "argument 'columns': Can't extract `str` to `Vec`",
    )


def test_huge_size_hints_do_not_reserve_and_fail_at_the_first_bad_element():
    assert message_of(lambda: mutate("c", range(10**18), [0], 0.5)) == (
        OverflowError,
        "out of range integral type conversion attempted",
    )

    class Endless:
        served = 0

        def __len__(self):
            return sys.maxsize

        def __getitem__(self, index):
            Endless.served += 1
            return index

    assert message_of(lambda: mutate("c", Endless(), [0], 0.5))[0] is OverflowError
    assert Endless.served == 257


def test_a_failing_size_hint_is_ignored(circuit):
    class Shy:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, index):
            if index < 3:
                return index
            raise IndexError

    assert mutate(circuit, Shy(), [0], 0.5) is None


def test_a_list_subclass_keeps_its_own_iteration():
    class Backwards(list):
        def __iter__(self):
            return iter([999])

    assert message_of(lambda: mutate("c", Backwards([1, 2]), [0], 0.5))[0] is OverflowError


def test_missing_file_reports_the_rows_error_first(tmp_path):
    missing = str(tmp_path / "missing.asc")
    assert message_of(lambda: mutate(missing, "0", [0], 0.5)) == (
        TypeError,
        "argument 'rows': Can't extract `str` to `Vec`",
    )
    assert not os.path.exists(missing)


def test_conversion_stops_at_the_first_failing_argument():
    touched = []

    class Chance:
        def __float__(self):
            touched.append("chance")
            return 0.5

    assert message_of(lambda: mutate("c", [0], {0}, Chance()))[1] == (
        "argument 'columns': 'set' object cannot be cast as 'Sequence'"
    )
    assert touched == []


@pytest.mark.parametrize("value", [1, True, -3.0, 2.5, float("nan"), 1e39, float("-inf")])
def test_chance_accepts_any_real_number(circuit, value):
    assert mutate(circuit, [0], [0], value) is None


def test_path_like_objects(circuit):
    import pathlib

    assert mutate(pathlib.Path(circuit), [0], [0], 0.5) is None

    class GivesBytes:
        def __fspath__(self):
            return circuit.encode()

    assert message_of(lambda: mutate(GivesBytes(), [0], [0], 0.5)) == (
        TypeError,
        "argument 'fpath': 'bytes' object cannot be cast as 'str'",
    )


def test_unencodable_path_raises_what_open_raises():
    with pytest.raises(UnicodeEncodeError) as ours:
        mutate("\ud800.asc", [0], [0], 0.5)
    with pytest.raises(UnicodeEncodeError) as builtin:
        open("\ud800.asc", "rb")
    assert str(ours.value) == str(builtin.value)


class Raising:
    """Raises `error` from every conversion hook."""

    def __init__(self, error):
        self.error = error

    def __fspath__(self):
        raise self.error

    def __index__(self):
        raise self.error

    def __float__(self):
        raise self.error

    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise self.error


def calls_with(hooked):
    return {
        "fpath": lambda: mutate(hooked, [0], [0], 0.5),
        "rows": lambda: mutate("c", [hooked], [0], 0.5),
        "columns": lambda: mutate("c", [0], hooked, 0.5),
        "mutation_chance": lambda: mutate("c", [0], [0], hooked),
    }


@pytest.mark.parametrize("parameter", ["fpath", "rows", "columns", "mutation_chance"])
def test_type_errors_from_callbacks_are_rewrapped_with_their_cause(parameter):
    cause = ValueError("underneath")
    original = TypeError("bad hook")
    original.__cause__ = cause
    with pytest.raises(TypeError) as caught:
        calls_with(Raising(original))[parameter]()
    assert str(caught.value) == f"argument '{parameter}': bad hook"
    assert caught.value is not original
    assert caught.value.__cause__ is cause
    assert caught.value.__suppress_context__

    with pytest.raises(TypeError) as caught:
        calls_with(Raising(TypeError("plain")))[parameter]()
    assert caught.value.__cause__ is None
    assert caught.value.__suppress_context__


@pytest.mark.parametrize("parameter", ["fpath", "rows", "columns", "mutation_chance"])
def test_other_errors_from_callbacks_pass_through_as_the_same_object(parameter):
    class Subtle(TypeError):
        pass

    for error in (ValueError("v"), Subtle("s"), KeyboardInterrupt()):
        with pytest.raises(BaseException) as caught:
            calls_with(Raising(error))[parameter]()
        assert caught.value is error


def test_unprintable_type_error_goes_to_the_unraisable_hook(monkeypatch):
    class Unprintable:
        def __str__(self):
            raise RuntimeError("cannot print")

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    original = TypeError(Unprintable())
    with pytest.raises(TypeError) as caught:
        mutate(Raising(original), [0], [0], 0.5)
    assert str(caught.value) == "argument 'fpath': <unprintable TypeError object>"
    assert len(seen) == 1
    assert isinstance(seen[0].exc_value, RuntimeError)
    assert seen[0].object is original


def test_non_utf8_text_in_a_type_error_becomes_replacement_characters():
    with pytest.raises(TypeError) as caught:
        mutate(Raising(TypeError("bad \udcff byte")), [0], [0], 0.5)
    assert str(caught.value) == "argument 'fpath': bad \ufffd byte"


def test_sequence_type_lookup_happens_once_and_is_kept(monkeypatch):
    import collections.abc

    message_of(lambda: mutate("c", {0}, [0], 0.5))
    monkeypatch.setattr(collections.abc, "Sequence", None)
    assert message_of(lambda: mutate("c", {0}, [0], 0.5))[1] == (
        "argument 'rows': 'set' object cannot be cast as 'Sequence'"
    )
