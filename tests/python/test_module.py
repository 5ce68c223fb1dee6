"""The module object, its one function, re-import and sub-interpreters."""

import inspect
import sys

import gridflip

DOC_BODY = (
    "Mutates a circuit.asc in place.\n"
    "# Arguments\n"
    "* 'fpath' - path to circuit\n"
    "* 'rows' - List of 0 indexed rows to mutate on [0-15]\n"
    "* 'columns' - List of 0 indexed columns to mutate on [0-53]\n"
    "* 'mutation_chance' - chance to flip bit [0-1]"
)


def test_module_attributes():
    assert type(gridflip).__name__ == "module"
    assert gridflip.__name__ == "gridflip"
    assert gridflip.__all__ == ["mutate"]
    assert gridflip.__doc__ == ""
    assert gridflip.__file__.endswith(".so")
    assert not hasattr(gridflip, "PanicException")


def test_mutate_function_record():
    mutate = gridflip.mutate
    assert type(mutate).__name__ == "builtin_function_or_method"
    assert mutate.__name__ == "mutate"
    assert mutate.__module__ == "gridflip"
    assert mutate.__self__ is gridflip
    assert mutate.__text_signature__ == "(fpath, rows, columns, mutation_chance)"
    assert mutate.__doc__ == DOC_BODY
    assert len(mutate.__doc__) == 232


def test_signature_has_four_required_positional_or_keyword_parameters():
    parameters = inspect.signature(gridflip.mutate).parameters
    assert list(parameters) == ["fpath", "rows", "columns", "mutation_chance"]
    for parameter in parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


def test_reimport_gives_the_same_objects():
    module, function = gridflip, gridflip.mutate
    del sys.modules["gridflip"]
    try:
        import gridflip as again

        assert again is module
        assert again.mutate is function
        assert again.__all__ == ["mutate"]
    finally:
        sys.modules["gridflip"] = module


def test_second_interpreter_is_refused_and_first_keeps_working(child, tmp_path):
    circuit = tmp_path / "empty.asc"
    circuit.write_bytes(b"")
    result = child(
        f"""
        import _interpreters
        import gridflip
        interpreter = _interpreters.create("legacy")
        try:
            for attempt in range(2):
                failure = _interpreters.run_string(interpreter, "import gridflip")
                assert failure is not None, "second interpreter imported gridflip"
                assert failure.type.__name__ == "ImportError", failure.formatted
                assert "sub-interpreters" in failure.msg, failure.msg
        finally:
            _interpreters.destroy(interpreter)
        assert gridflip.mutate({str(circuit)!r}, [0], [0], 1.0) is None
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.strip() == b"ok"
