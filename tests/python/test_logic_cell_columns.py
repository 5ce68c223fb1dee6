"""The README's column layout against the IceStorm toolchain's own tile database: the logic
cells are exactly columns 36-45, and the README's logic-cell call mutates exactly those."""

import ast
import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LOGIC_TILE_DATABASES = ("logictile_db", "logictile_8k_db", "logictile_5k_db", "logictile_384_db")


def bit_positions(entry):
    for bit in entry[0]:
        row, column = re.fullmatch(r"!?B(\d+)\[(\d+)\]", bit).groups()
        yield int(row), int(column)


def logic_cell_columns(database):
    cells = {c for entry in database if entry[1].startswith("LC_") for _, c in bit_positions(entry)}
    others = {c for entry in database if not entry[1].startswith("LC_")
              for _, c in bit_positions(entry)}
    return cells, others


def test_columns_36_to_45_are_the_logic_cells_in_every_logic_tile_database(icebox):
    checked = 0
    for name in LOGIC_TILE_DATABASES:
        database = getattr(icebox, name, None)
        if database is None:
            continue
        cells, others = logic_cell_columns(database)
        assert cells == set(range(36, 46)), name
        assert not cells & others, f"{name}: {sorted(cells & others)} hold more than logic cells"
        for n in range(8):
            [entry] = [e for e in database if e[1] == f"LC_{n}"]
            assert set(bit_positions(entry)) == {(r, c) for r in (2 * n, 2 * n + 1)
                                                 for c in range(36, 46)}, (name, n)
        checked += 1
    assert checked >= 2  # at least the HX1K and HX8K tables


def readme_section():
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    start = text.index("\n## Which bits to mutate\n")
    return text[start:text.index("\n## ", start + 1)]


def test_the_readme_names_the_database_columns_and_its_call_mutates_only_them(icebox):
    section = readme_section()
    cells, _ = logic_cell_columns(icebox.logictile_8k_db)
    low, high = min(cells), max(cells)
    assert f"| **{low}–{high}** | **the eight logic cells" in section
    assert f"Only columns {low}–{high} change what the circuit computes" in section

    [block] = re.findall(r"```python\n(.*?)```", section, re.S)
    call = ast.parse(block).body[0].value
    assert ast.unparse(call.func) == "gridflip.mutate"
    arguments = {k.arg: eval(compile(ast.Expression(k.value), "README", "eval"), {"range": range})
                 for k in call.keywords}
    assert set(arguments["columns"]) == cells
    assert list(arguments["rows"]) == list(range(16))
