"""mutate called again from its own argument hooks: deep recursion raises RecursionError and
never overflows the C stack. Each case runs in a child, so a crash fails only its test."""

import pytest

HOOKS = """
import sys, threading
import gridflip

PATH = None
depth = 0

# Each hook calls mutate straight back, as a user's would.
class Hook:
    def __fspath__(self):
        global depth
        depth += 1
        gridflip.mutate(Hook(), [0], [0], 0.5)
        return PATH
    def __index__(self):
        global depth
        depth += 1
        gridflip.mutate(PATH, [Hook()], [0], 0.5)
        return 0
    def __float__(self):
        global depth
        depth += 1
        gridflip.mutate(PATH, [0], [0], Hook())
        return 0.5

class Sized:
    # Iterated through __getitem__; __len__ only sizes the list.
    def __len__(self):
        global depth
        depth += 1
        gridflip.mutate(PATH, Sized(), [0], 0.5)
        return 1
    def __getitem__(self, index):
        if index:
            raise IndexError(index)
        return 0

def call(hook):
    global depth
    arguments = {"fspath": (Hook(), [0], [0], 0.5), "index": (PATH, [Hook()], [0], 0.5),
                 "float": (PATH, [0], [0], Hook()), "len": (PATH, Sized(), [0], 0.5)}[hook]
    depth = 0
    try:
        gridflip.mutate(*arguments)
    except RecursionError as error:
        return "RecursionError", str(error), depth
    return "returned", None, depth
"""


def run_hooks(child, tmp_path, body, **kwargs):
    path = tmp_path / "plain.asc"
    path.write_bytes(b"no tiles here\n")
    result = child(HOOKS + body, timeout=120, **kwargs)
    assert result.returncode == 0, (result.returncode, result.stderr.decode()[-2000:])
    return result.stdout.decode()


@pytest.mark.parametrize("limit", [4000, 100000])
@pytest.mark.parametrize("hook", ["fspath", "index", "float"])
def test_recursion_through_a_hook_raises_recursion_error(child, tmp_path, limit, hook):
    out = run_hooks(child, tmp_path, f"""
PATH = {str(tmp_path / "plain.asc")!r}
sys.setrecursionlimit({limit})
first = call({hook!r})
# As deep again, give or take a level where the stack's end decides it (the second call
# starts at another stack offset): every level of the first was given back.
second = call({hook!r})
gridflip.mutate(PATH, [0], [0], 0.5)
print(first[0], abs(first[2] - second[2]) <= 2, first[2])
print(first[1])
""")
    outcome, same_depth, depth = out.split("\n")[0].split()
    assert (outcome, same_depth) == ("RecursionError", "True")
    assert int(depth) > 1000
    assert out.split("\n")[1].startswith("maximum recursion depth exceeded")


@pytest.mark.parametrize("limit", [4000, 100000])
def test_recursion_through_len_ends_without_a_crash(child, tmp_path, limit):
    # The size query's failure only costs the list its reservation, so the innermost
    # RecursionError is dropped and every level goes on.
    out = run_hooks(child, tmp_path, f"""
PATH = {str(tmp_path / "plain.asc")!r}
sys.setrecursionlimit({limit})
outcome, text, depth = call("len")
print(outcome, depth)
""")
    outcome, depth = out.split()
    assert outcome == "returned" and int(depth) > 1000


@pytest.mark.parametrize("hook", ["fspath", "index", "float", "len"])
def test_a_thread_with_a_small_stack_gets_recursion_error_not_a_crash(child, tmp_path, hook):
    # At about 2 KB of stack per level, 1 MiB holds far fewer levels than the interpreter counts.
    out = run_hooks(child, tmp_path, f"""
PATH = {str(tmp_path / "plain.asc")!r}
sys.setrecursionlimit(100000)
threading.stack_size(1 << 20)
results = []
thread = threading.Thread(target=lambda: results.append(call({hook!r})))
thread.start()
thread.join()
print(results[0][0], results[0][2])
print(results[0][1])
""")
    outcome, depth = out.split("\n")[0].split()
    assert 100 < int(depth) < 1000
    if hook == "len":
        assert outcome == "returned"  # the innermost size query's RecursionError was dropped
    else:
        assert outcome == "RecursionError"
        assert out.split("\n")[1] == ("maximum recursion depth exceeded in gridflip.mutate "
                                       "(the thread's stack is nearly used up)")


def test_a_main_thread_with_a_small_stack_limit_gets_recursion_error(child, tmp_path):
    # The main thread's stack grows on demand up to RLIMIT_STACK, which the check must honour.
    import resource

    def limit_stack():
        resource.setrlimit(resource.RLIMIT_STACK, (2 << 20, 2 << 20))

    out = run_hooks(child, tmp_path, f"""
PATH = {str(tmp_path / "plain.asc")!r}
sys.setrecursionlimit(100000)
print(*call("index"), sep="\\n")
""", preexec_fn=limit_stack)
    outcome, text, depth = out.split("\n")[:3]
    assert outcome == "RecursionError" and text.endswith("(the thread's stack is nearly used up)")
    assert 100 < int(depth) < 1000
