"""The module's one-time cells: a thread that calls mutate again while it fills one fails at
once; other threads wait for the filler without the interpreter lock. Each case runs in a
child (the cells live for the process) with a timeout, so a hang fails the test."""

import json

# collections.abc replaced by a module whose Sequence attribute runs `on_lookup` first.
REPLACED_ABC = """
import json, sys, threading, time, types
import collections.abc as real_abc
import gridflip

lookups = []

class ReplacedAbc(types.ModuleType):
    @property
    def Sequence(self):
        lookups.append(threading.get_ident())
        on_lookup()
        return real_abc.Sequence

sys.modules["collections.abc"] = ReplacedAbc("collections.abc")

def outcome(*arguments):
    try:
        gridflip.mutate(*arguments)
    except BaseException as error:
        return type(error).__name__, str(error)
    return "returned", ""
"""


def test_mutate_called_again_while_its_thread_looks_up_sequence_fails_at_once(child, tmp_path):
    path = tmp_path / "c.asc"
    path.write_bytes(b"no tiles\n")
    result = child(
        REPLACED_ABC
        + f"""
inner = []
def on_lookup():
    try:
        gridflip.mutate({str(path)!r}, {{1}}, [0], 0.5)
    except BaseException as error:
        inner.append([type(error).__name__, str(error)])
        raise
outer = outcome({str(path)!r}, {{1}}, [0], 0.5)
# The failed lookup left the cell empty: with the real module back, it fills.
sys.modules["collections.abc"] = real_abc
after = outcome({str(path)!r}, {{1}}, [0], 0.5)
print(json.dumps([inner, outer, after, len(lookups)]))
""",
        timeout=60,
    )
    assert result.returncode == 0, result.stderr.decode()
    inner, outer, after, lookups = json.loads(result.stdout)
    deadlock = (
        "deadlock detected: gridflip was called again while this thread was looking up "
        "collections.abc.Sequence"
    )
    assert inner == [["RuntimeError", deadlock]]
    assert outer == [
        "PanicException",
        "called `Result::unwrap()` on an `Err` value: RuntimeError: " + deadlock,
    ]
    assert after == ["TypeError", "argument 'rows': 'set' object cannot be cast as 'Sequence'"]
    assert lookups == 1


def test_another_thread_waits_for_the_filler_without_the_lock(child, tmp_path):
    # The filler holds the cell until the waiter has started its call; the waiter can only
    # get past the cell's lock after the filler took the interpreter lock back.
    path = tmp_path / "c.asc"
    path.write_bytes(b"no tiles\n")
    result = child(
        REPLACED_ABC
        + f"""
filling, waiter_started = threading.Event(), threading.Event()
def on_lookup():
    filling.set()
    waiter_started.wait(30)
    time.sleep(0.3)

results = {{}}
def waiter():
    filling.wait(30)
    waiter_started.set()
    results["waiter"] = outcome({str(path)!r}, {{2}}, [0], 0.5)

thread = threading.Thread(target=waiter)
thread.start()
results["filler"] = outcome({str(path)!r}, {{1}}, [0], 0.5)
thread.join()
print(json.dumps([results, len(lookups)]))
""",
        timeout=60,
    )
    assert result.returncode == 0, result.stderr.decode()
    results, lookups = json.loads(result.stdout)
    cast = ["TypeError", "argument 'rows': 'set' object cannot be cast as 'Sequence'"]
    assert results == {"filler": cast, "waiter": cast}
    assert lookups == 1
