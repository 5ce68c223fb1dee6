"""The README's column layout against the IceStorm toolchain's own tile database: the logic
cells are exactly columns 36-45, and the README's logic-cell call mutates exactly those."""

import ast
import json
import os
import re

import pytest
from conftest import run_child

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LOGIC_TILE_DATABASES = ("logictile_db", "logictile_8k_db", "logictile_5k_db", "logictile_384_db")


@pytest.fixture(scope="module")
def databases(icebox):
    """icebox's logic-tile databases, entries as [bits, kind], read by a child interpreter."""
    result = run_child(
        f"""
        import json, sys
        from gridflip_evolution.icestorm import load_icebox
        icebox = load_icebox({icebox!r})
        print(json.dumps({{name: [[entry[0], entry[1]] for entry in getattr(icebox, name)]
                          for name in {LOGIC_TILE_DATABASES!r} if hasattr(icebox, name)}}))
        """,
        check=True,
        timeout=60,
    )
    return json.loads(result.stdout)


def bit_positions(entry):
    for bit in entry[0]:
        row, column = re.fullmatch(r"!?B(\d+)\[(\d+)\]", bit).groups()
        yield int(row), int(column)


def logic_cell_columns(database):
    cells = {c for entry in database if entry[1].startswith("LC_") for _, c in bit_positions(entry)}
    others = {
        c for entry in database if not entry[1].startswith("LC_") for _, c in bit_positions(entry)
    }
    return cells, others


def test_columns_36_to_45_are_the_logic_cells_in_every_logic_tile_database(databases):
    assert {"logictile_db", "logictile_8k_db"} <= databases.keys()  # the HX1K and HX8K tables
    for name, database in databases.items():
        cells, others = logic_cell_columns(database)
        assert cells == set(range(36, 46)), name
        assert not cells & others, f"{name}: {sorted(cells & others)} hold more than logic cells"
        for n in range(8):
            [entry] = [e for e in database if e[1] == f"LC_{n}"]
            assert set(bit_positions(entry)) == {
                (r, c) for r in (2 * n, 2 * n + 1) for c in range(36, 46)
            }, (name, n)


def readme_section():
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    start = text.index("\n## Which bits to mutate\n")
    return text[start : text.index("\n## ", start + 1)]


def test_the_readme_names_the_database_columns_and_its_call_mutates_only_them(databases):
    section = readme_section()
    cells, _ = logic_cell_columns(databases["logictile_8k_db"])
    low, high = min(cells), max(cells)
    assert f"| **{low}–{high}** | **the eight logic cells" in section
    assert f"Only columns {low}–{high} change what the circuit computes" in section

    [block] = re.findall(r"```python\n(.*?)```", section, re.S)
    call = ast.parse(block).body[0].value
    assert ast.unparse(call.func) == "gridflip.mutate"
    arguments = {
        k.arg: eval(compile(ast.Expression(k.value), "README", "eval"), {"range": range})
        for k in call.keywords
    }
    assert set(arguments["columns"]) == cells
    assert list(arguments["rows"]) == list(range(16))
