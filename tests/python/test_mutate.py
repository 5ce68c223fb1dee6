"""mutate end to end: the pass against the reference model, the file left behind, the stream
it consumes, coordinates refused before the open, and the open, map, index and flush aborts."""

import math
import os
import shutil
import subprocess

import pytest
from conftest import known_keys, logic_tile, panic_type, run_unshared
from models.chacha12 import StreamModel
from models.reference_pass import run_pass, to_float32

import gridflip

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(ROOT, "examples")


def always(word_count=10**7):
    """Draws for deterministic chances: the value never matters."""
    return iter([0] * word_count)


EDGE_FILES = {
    "empty": b"",
    "under ten bytes": b".logic_t",
    "tag prefix at the end": b"x\n.logic_til",
    "one tile": logic_tile(),
    "two tiles": logic_tile(".logic_tile 5 9") + b".io_tile 0 1\n" + logic_tile(".logic_tile 2 3"),
    "indented header": b" " + logic_tile(),
    "header as last line": b"x\n.logic_tile 3 4",
    "header line without rows": logic_tile()[:16],
    "tile cut short": logic_tile()[: 16 + 55 * 5 + 20],
    "non-binary characters": logic_tile(fill="x"),
    "crlf line ends": logic_tile().replace(b"\n", b"\r\n"),
    "tile followed by tail": logic_tile() + b".ram_data\nabc\n",
    "tag in mid line": b"ab.logic_tile 1 1\n" + logic_tile(),
}


@pytest.mark.parametrize("name", sorted(EDGE_FILES))
@pytest.mark.parametrize(
    "rows, columns",
    [
        ([0], [0]),
        ([2, 2], [5]),
        ([1, 0, 15], [3, 53, 4]),
        (list(range(16)), list(range(54))),
        ([], [3]),
        ([7], []),
    ],
)
@pytest.mark.parametrize("chance", [1.0, 3.5, math.inf, math.nan, -0.25, -math.inf])
def test_deterministic_chances_match_the_reference_model(tmp_path, name, rows, columns, chance):
    data = EDGE_FILES[name]
    path = tmp_path / "circuit.asc"
    path.write_bytes(data)
    expected = run_pass(data, rows, columns, to_float32(chance), always())
    if not expected.aborted:
        assert gridflip.mutate(str(path), rows, columns, chance) is None
    else:
        with pytest.raises(panic_type()) as caught:
            gridflip.mutate(str(path), rows, columns, chance)
        assert caught.value.args == (expected.abort_message,)
    assert path.read_bytes() == expected.data


def test_real_circuit_all_positions_inverted_twice_is_the_original(tmp_path):
    original = open(os.path.join(EXAMPLES, "blinky_hx8k.asc"), "rb").read()
    path = tmp_path / "hx8k.asc"
    path.write_bytes(original)
    gridflip.mutate(str(path), range(16), range(54), 1.0)
    once = path.read_bytes()
    assert once == run_pass(original, range(16), range(54), 1.0, always()).data
    assert once != original
    gridflip.mutate(str(path), range(16), range(54), 1.0)
    assert path.read_bytes() == original


def test_coordinate_values_are_taken_from_every_accepted_shape(tmp_path):
    path = tmp_path / "c.asc"
    for rows, columns in [
        (b"\x00\x0f", bytearray(b"\x05")),
        ((True, False), range(2)),
        ([3], (53,)),
    ]:
        path.write_bytes(logic_tile())
        gridflip.mutate(str(path), rows, columns, 1.0)
        assert (
            path.read_bytes()
            == run_pass(logic_tile(), list(rows), list(columns), 1.0, always()).data
        )


@pytest.mark.parametrize(
    "rows, columns, message",
    [
        ([0, 16, 99], [0], "argument 'rows': row 16 is outside 0 to 15"),
        ([15], [54], "argument 'columns': column 54 is outside 0 to 53"),
        ([200], [255], "argument 'rows': row 200 is outside 0 to 15"),
    ],
)
def test_coordinates_outside_a_tile_are_refused_before_the_open(tmp_path, rows, columns, message):
    missing = tmp_path / "missing.asc"
    with pytest.raises(ValueError) as caught:
        gridflip.mutate(str(missing), rows, columns, 1.0)
    assert str(caught.value) == message
    assert not missing.exists()


def test_missing_file_raises_panic_exception_and_creates_nothing(tmp_path):
    missing = tmp_path / "missing.asc"
    with pytest.raises(BaseException) as caught:
        gridflip.mutate(str(missing), [0], [0], 0.5)
    error = caught.value
    assert not isinstance(error, Exception)
    assert type(error).__module__ == "pyo3_runtime"
    assert type(error).__name__ == "PanicException"
    assert type(error).__bases__ == (BaseException,)
    assert error.args == (
        'Failed to open circuit: Os { code: 2, kind: NotFound, message: "No such file or directory" }',
    )
    assert str(error) == error.args[0]
    assert not missing.exists()
    with pytest.raises(BaseException) as again:
        gridflip.mutate(str(missing), [0], [0], 0.5)
    assert type(again.value) is type(error)
    assert again.value is not error


@pytest.mark.parametrize(
    "make, expected",
    [
        (
            lambda p: p.mkdir(),
            'Failed to open circuit: Os { code: 21, kind: IsADirectory, message: "Is a directory" }',
        ),
        (
            lambda p: None,
            'Failed to open circuit: Os { code: 2, kind: NotFound, message: "No such file or directory" }',
        ),
    ],
)
def test_open_failures_are_rendered(tmp_path, make, expected):
    path = tmp_path / "target"
    make(path)
    with pytest.raises(panic_type()) as caught:
        gridflip.mutate(str(path), [0], [0], 0.5)
    assert caught.value.args == (expected,)


def test_nul_in_the_path_is_refused_without_a_system_call(tmp_path):
    with pytest.raises(panic_type()) as caught:
        gridflip.mutate(str(tmp_path / "a\0b.asc"), [0], [0], 0.5)
    assert caught.value.args == (
        "Failed to open circuit: Error { kind: InvalidInput, message: "
        '"strings passed to WinAPI cannot contain NULs" }',
    )


def test_special_files_fail_to_map(tmp_path):
    with pytest.raises(panic_type()) as caught:
        gridflip.mutate("/dev/null", [0], [0], 0.5)
    assert caught.value.args[0].startswith(
        "Failed to mmap circuit: Os { code: 19, kind: Uncategorized"
    )


def test_empty_file_maps_and_stays_empty(tmp_path):
    path = tmp_path / "empty.asc"
    path.write_bytes(b"")
    assert gridflip.mutate(str(path), range(16), range(54), 1.0) is None
    assert path.read_bytes() == b""


def test_names_from_listdir_open_the_file_they_name(tmp_path):
    name = os.fsdecode(b"caf\xe9-\xff.asc")  # not UTF-8: surrogate-escaped by the file system codec
    path = os.path.join(str(tmp_path), name)
    with open(path, "wb") as handle:
        handle.write(logic_tile())
    (listed,) = os.listdir(str(tmp_path))
    gridflip.mutate(os.path.join(str(tmp_path), listed), [0], [0], 1.0)
    with open(path, "rb") as handle:
        assert handle.read()[16:17] == b"1"


def flip_count(before, after):
    return sum(a != b for a, b in zip(before, after))


@pytest.mark.parametrize("chance", [0.01, 0.1, 0.5, 0.9])
def test_flip_share_lies_within_binomial_bounds(tmp_path, chance):
    data = logic_tile() * 400
    path = tmp_path / "c.asc"
    path.write_bytes(data)
    gridflip.mutate(str(path), range(16), range(54), chance)
    trials = 400 * 16 * 54
    flips = flip_count(data, path.read_bytes())
    p = float(to_float32(chance))
    spread = 6 * math.sqrt(trials * p * (1 - p))  # six standard deviations
    assert abs(flips - trials * p) < spread, (flips, trials * p)


def test_real_circuits_still_pack_and_only_tile_bits_change(tmp_path):
    icepack = shutil.which("icepack")
    if icepack is None:
        pytest.skip("icepack is not installed")
    for name in ("blinky_hx1k.asc", "blinky_hx8k.asc"):
        original = open(os.path.join(EXAMPLES, name), "rb").read()
        path = tmp_path / name
        path.write_bytes(original)
        gridflip.mutate(str(path), range(16), range(54), 0.05)
        mutated = path.read_bytes()
        assert len(mutated) == len(original)
        allowed = set()
        for body in run_pass(original, [0], [0], -1.0, always()).bodies:
            allowed.update(body + 55 * r + c for r in range(16) for c in range(54))
        changed = [i for i, (a, b) in enumerate(zip(original, mutated)) if a != b]
        assert changed, "nothing flipped"
        assert set(changed) <= allowed
        assert all(mutated[i] in b"01" for i in changed)
        subprocess.run(
            [icepack, str(path), str(tmp_path / "out.bin")], check=True, capture_output=True
        )


def child_env(interposer, **extra):
    env = {"LD_PRELOAD": interposer}
    env.update({k: str(v) for k, v in extra.items()})
    return env


def check_calls_against_the_stream(child, tmp_path, interposer, calls):
    """Runs `calls` (file contents, rows, columns) in one child interpreter under known keys,
    each at chance 0.5 on a freshly written file, and checks every call's file and entropy
    count against the stream model. Returns the model's draw count after each call.

    At chance 0.5 each visited position flips exactly when its draw's sample is at most 0.5,
    so the file after each call shows every decision of the stream."""
    log = tmp_path / "entropy.log"
    result = child(
        f"""
        import gridflip
        path = {str(tmp_path / "c.asc")!r}
        out = []
        for data, rows, columns in {calls!r}:
            with open(path, "wb") as handle:
                handle.write(data)
            gridflip.mutate(path, rows, columns, 0.5)
            with open(path, "rb") as handle:
                out.append(handle.read().hex())
            out.append(str(sum(1 for _ in open({str(log)!r}))))
        print(" ".join(out))
        """,
        env=child_env(interposer, GRIDFLIP_TEST_KEYS=1, GRIDFLIP_TEST_ENTROPY_LOG=log),
    )
    assert result.returncode == 0, result.stderr.decode()
    fields = result.stdout.split()
    stream = StreamModel(known_keys())
    draws = iter(stream)
    ends = []
    for index, (data, rows, columns) in enumerate(calls):
        expected = run_pass(data, rows, columns, 0.5, draws)
        assert bytes.fromhex(fields[2 * index].decode()) == expected.data, f"call {index}"
        assert int(fields[2 * index + 1]) == stream.entropy_calls, f"call {index}"
        ends.append(stream.draws)
    assert stream.entropy_calls == 1 + (stream.draws - 1) // 8192
    return ends


def test_the_stream_is_exact_across_calls_and_rekeys(child, tmp_path, interposer):
    data = logic_tile() * 12
    calls = [
        (data, [0, 1, 2, 3], list(range(54))),
        (data, [], [1]),
        (data, [5], [7, 8]),
        (data, list(range(16)), list(range(54))),
    ]
    ends = check_calls_against_the_stream(child, tmp_path, interposer, calls)
    # 12 tiles x 864 positions in the last call: the stream went past draw 8193 and rekeyed.
    assert ends[-1] > 8192


def test_calls_that_end_on_refill_and_rekey_boundaries_continue_the_stream(
    child, tmp_path, interposer
):
    # Each call's draws end where a refill of 16 blocks (draw 128, 256) or a key (draw 8192)
    # runs out, so the next call starts on a fresh buffer or a fresh key; the draws must still
    # be those of the first-built generator's 4-block refills, which the model makes.
    quarter = (list(range(4)), list(range(32)))  # 128 draws per tile
    calls = [
        (logic_tile(), *quarter),
        (logic_tile(), *quarter),
        (logic_tile() * 62, *quarter),
        (logic_tile(), [0], [0]),
        (logic_tile(), [0, 1], [5]),
        (logic_tile() * 2, list(range(16)), list(range(54))),
    ]
    ends = check_calls_against_the_stream(child, tmp_path, interposer, calls)
    assert ends == [128, 256, 8192, 8193, 8195, 9923]


def test_an_index_abort_deep_in_a_tile_leaves_the_stream_after_its_own_draw(
    child, tmp_path, interposer
):
    # The last tile ends 20 bytes into row 15, so with every position visited the abort falls at
    # visit 335 of that tile or later: past the first runs of decisions the pass makes at once.
    # The next call must go on with the very next draw of the stream.
    cut = logic_tile() * 3 + logic_tile()[: 16 + 55 * 15 + 20]
    full = logic_tile() * 2
    rows, columns = list(range(16)), list(range(54))
    log = tmp_path / "entropy.log"
    result = child(
        f"""
        import gridflip
        path = {str(tmp_path / "c.asc")!r}
        out = []
        for data in ({cut!r}, {full!r}):
            with open(path, "wb") as handle:
                handle.write(data)
            try:
                gridflip.mutate(path, {rows!r}, {columns!r}, 0.5)
                out.append("returned")
            except BaseException as error:
                out.append(repr(error.args[0]))
            with open(path, "rb") as handle:
                out.append(handle.read().hex())
        print("\\n".join(out))
        """,
        env=child_env(interposer, GRIDFLIP_TEST_KEYS=1, GRIDFLIP_TEST_ENTROPY_LOG=log),
    )
    assert result.returncode == 0, result.stderr.decode()
    outcome, after_cut, second, after_full = result.stdout.decode().splitlines()
    stream = StreamModel(known_keys())
    draws = iter(stream)
    expected = run_pass(cut, rows, columns, 0.5, draws)
    assert expected.abort_index is not None and expected.draws_used > 3 * 864 + 335
    assert outcome == repr(
        f"index out of bounds: the len is {len(cut)} but the index is {expected.abort_index}"
    )
    assert bytes.fromhex(after_cut) == expected.data
    assert second == "returned"
    assert bytes.fromhex(after_full) == run_pass(full, rows, columns, 0.5, draws).data


def test_a_first_call_that_draws_nothing_keys_the_generator_once(child, tmp_path, interposer):
    log = tmp_path / "entropy.log"
    circuit = tmp_path / "plain.asc"
    circuit.write_bytes(b"no tiles in this file at all\n")
    result = child(
        f"""
        import gridflip, os
        for _ in range(3):
            gridflip.mutate({str(circuit)!r}, [0], [0], 0.5)
        print(os.getpid())
        """,
        env=child_env(interposer, GRIDFLIP_TEST_KEYS=1, GRIDFLIP_TEST_ENTROPY_LOG=log),
    )
    assert result.returncode == 0, result.stderr.decode()
    assert log.read_text().splitlines() == [f"key {result.stdout.decode().strip()}"]


@pytest.mark.parametrize(
    "variable, errno_value, text",
    [
        ("GRIDFLIP_TEST_FAIL_FSYNC", 5, "Input/output error"),
        ("GRIDFLIP_TEST_FAIL_MSYNC", 12, "Cannot allocate memory"),
    ],
)
def test_a_failed_flush_is_reported_and_the_flips_stay(
    child, tmp_path, interposer, variable, errno_value, text
):
    circuit = tmp_path / "c.asc"
    circuit.write_bytes(logic_tile())
    kind = {5: "Uncategorized", 12: "OutOfMemory"}[errno_value]
    result = child(
        f"""
        import gridflip
        try:
            gridflip.mutate({str(circuit)!r}, [0], [0], 1.0)
        except BaseException as error:
            print(type(error).__name__, error.args[0])
        """,
        env=child_env(interposer, **{variable: errno_value}),
    )
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().strip() == (
        f'PanicException Failed to flush circuit: Os {{ code: {errno_value}, kind: {kind}, message: "{text}" }}'
    )
    assert circuit.read_bytes()[16:17] == b"1"


# The cause of a failure, as the caller reads it: a sparse circuit on a full file system of 1 MiB,
# and the descriptor limit reached when the open moves the circuit off descriptor 0.
@pytest.mark.parametrize(
    "limit, message",
    [
        (
            0,
            "Failed to access circuit: the system could not read or store a page of the file (its "
            "file system may be full)",
        ),
        *[
            (
                limit,
                'Failed to open circuit: Os { code: 24, kind: Uncategorized, message: "Too many '
                'open files" }',
            )
            for limit in (1, 3)
        ],
    ],
)
def test_a_failure_names_its_cause(tmp_path, limit, message):
    result = run_unshared(
        f"""
import contextlib, os, resource, gridflip
with open("c.asc", "wb") as handle, open("filler", "wb") as filler, contextlib.suppress(OSError):
    handle.write({logic_tile()!r} * 8)
    handle.truncate(handle.tell() if {limit} else 64 << 20)
    while not {limit} and filler.write(bytes(4096)) and not filler.flush():
        pass
os.close(0)
resource.setrlimit(resource.RLIMIT_NOFILE, ({limit or 64},) * 2)
try:
    gridflip.mutate("c.asc", range(16), range(54), 0.5)
except BaseException as error:
    print(error.args[0])
""",
        f"mount -t tmpfs -o size=1m none {tmp_path} && cd {tmp_path}",
    )
    assert result.stdout.decode().strip() == message, result.stderr.decode()[-2000:]


def test_nothing_to_visit_reads_nothing(child, tmp_path):
    with open(tmp_path / "sparse.asc", "wb") as handle:
        handle.truncate(4 << 30)
    # The peak of this process's own memory (VmHWM): ru_maxrss would carry the parent's over exec.
    result = child(
        f"""
        import gridflip
        for rows, columns in (([], range(54)), (range(16), [])):
            gridflip.mutate({str(tmp_path / "sparse.asc")!r}, rows, columns, 1.0)
        print(next(line.split()[1] for line in open("/proc/self/status") if "VmHWM" in line))
        """,
        check=True,
    )
    assert int(result.stdout) < 256 << 10  # peak KiB; reading the file would take 4 GiB
