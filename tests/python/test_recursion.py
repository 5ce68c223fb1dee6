"""mutate called again from its own argument hooks: deep recursion raises RecursionError and
never overflows the C stack. Each case runs in a child, so a crash fails only its test."""

import resource

import pytest
from conftest import run_unshared

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

def on_thread(kib, function):
    threading.stack_size(kib << 10)
    thread = threading.Thread(target=function)
    thread.start()
    thread.join()

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
    out = run_hooks(
        child,
        tmp_path,
        f"""
PATH = {str(tmp_path / "plain.asc")!r}
sys.setrecursionlimit({limit})
first = call({hook!r})
# As deep again, give or take a level where the stack's end decides it (the second call
# starts at another stack offset): every level of the first was given back.
second = call({hook!r})
gridflip.mutate(PATH, [0], [0], 0.5)
print(first[0], abs(first[2] - second[2]) <= 2, first[2])
print(first[1])
""",
    )
    outcome, same_depth, depth = out.split("\n")[0].split()
    assert (outcome, same_depth) == ("RecursionError", "True")
    assert int(depth) > 1000
    assert out.split("\n")[1].startswith("maximum recursion depth exceeded")


@pytest.mark.parametrize("limit", [4000, 100000])
def test_recursion_through_len_ends_without_a_crash(child, tmp_path, limit):
    # The size query's failure only costs the list its reservation, so the innermost
    # RecursionError is dropped and every level goes on.
    out = run_hooks(
        child,
        tmp_path,
        f"""
PATH = {str(tmp_path / "plain.asc")!r}
sys.setrecursionlimit({limit})
outcome, text, depth = call("len")
print(outcome, depth)
""",
    )
    outcome, depth = out.split()
    assert outcome == "returned" and int(depth) > 1000


@pytest.mark.parametrize("hook", ["fspath", "index", "float", "len"])
def test_a_thread_with_a_small_stack_gets_recursion_error_not_a_crash(child, tmp_path, hook):
    # At about 2 KB of stack per level, 1 MiB holds far fewer levels than the interpreter counts.
    out = run_hooks(
        child,
        tmp_path,
        f"""
PATH = {str(tmp_path / "plain.asc")!r}
sys.setrecursionlimit(100000)
threading.stack_size(1 << 20)
results = []
thread = threading.Thread(target=lambda: results.append(call({hook!r})))
thread.start()
thread.join()
print(results[0][0], results[0][2])
print(results[0][1])
""",
    )
    outcome, depth = out.split("\n")[0].split()
    assert 100 < int(depth) < 1000
    if hook == "len":
        assert outcome == "returned"  # the innermost size query's RecursionError was dropped
    else:
        assert outcome == "RecursionError"
        assert out.split("\n")[1] == (
            "maximum recursion depth exceeded in gridflip.mutate "
            "(the thread's stack is nearly used up)"
        )


def test_a_main_thread_with_a_small_stack_limit_gets_recursion_error(child, tmp_path):
    # The main thread's stack grows on demand up to RLIMIT_STACK, which the check must honour.
    import resource

    def limit_stack():
        resource.setrlimit(resource.RLIMIT_STACK, (2 << 20, 2 << 20))

    out = run_hooks(
        child,
        tmp_path,
        f"""
PATH = {str(tmp_path / "plain.asc")!r}
sys.setrecursionlimit(100000)
print(*call("index"), sep="\\n")
""",
        preexec_fn=limit_stack,
    )
    outcome, text, depth = out.split("\n")[:3]
    assert outcome == "RecursionError" and text.endswith("(the thread's stack is nearly used up)")
    assert 100 < int(depth) < 1000


# A plain call, successful and failing, then recursion through each hook: on a thread of the
# given stack size, or on the main thread under `ulimit -s 256`.
SIZES = """
def run():
    for path in (PATH, "/nonexistent/c.asc"):
        try:
            print(gridflip.mutate(path, [0], [0], 0.5))
        except BaseException as error:
            print(type(error).__name__)
    for hook in ("fspath", "index", "float"):
        print(call(hook)[0])
on_thread(KIB, run) if KIB else run()
"""


# A full backtrace takes about 40 KiB of stack: it is asked of 64 KiB and more.
@pytest.mark.parametrize(
    "kib, backtrace",
    [(kib, "0") for kib in (32, 64, 128, 256, 0)] + [(kib, "full") for kib in (64, 128, 256, 0)],
)
def test_plain_calls_work_and_recursion_is_refused_on_every_stack_size(
    child, tmp_path, kib, backtrace
):
    def small_main_stack():
        resource.setrlimit(resource.RLIMIT_STACK, (256 << 10,) * 2)

    out = run_hooks(
        child,
        tmp_path,
        f"PATH = {str(tmp_path / 'plain.asc')!r}\nKIB = {kib}\n" + SIZES,
        env={"GRIDFLIP_BACKTRACE": backtrace},
        preexec_fn=None if kib else small_main_stack,
    )
    assert out.split() == ["None", "PanicException"] + ["RecursionError"] * 3


# Stacks whose bounds are not where the guard once found them: the main thread's, split by a
# locked page; a makecontext coroutine's of 64 MiB, before and after the thread's own; no /proc.
SETTINGS = {
    "split": """
end = ctypes.c_void_p.in_dll(libc, "__libc_stack_end").value
assert libc.mlock(ctypes.c_void_p((end & ~4095) - 4096), 4096) == 0
report()""",
    "coroutine": """
def on_coroutine(size=64 << 20):
    caller, callee, stack = (ctypes.create_string_buffer(n) for n in (4096, 4096, size))
    libc.getcontext(callee)
    for offset, value in ((8, ctypes.addressof(caller)), (16, ctypes.addressof(stack)), (32, size)):
        ctypes.c_size_t.from_buffer(callee, offset).value = value  # uc_link, uc_stack
    body = ctypes.CFUNCTYPE(None)(report)
    libc.makecontext(callee, body, 0)
    libc.swapcontext(caller, callee)
on_coroutine(), report(), on_coroutine()""",
    "no /proc": """
assert not os.path.exists("/proc/self/maps")
on_thread(1024, report), report()""",
}


@pytest.mark.parametrize("setting", sorted(SETTINGS))
def test_the_guard_bounds_a_stack_rightly_or_not_at_all(child, tmp_path, setting):
    code = f"""
import ctypes, os
libc, PATH = ctypes.CDLL(None), {str(tmp_path / "plain.asc")!r}
sys.setrecursionlimit(100000)
def report():
    print(gridflip.mutate(PATH, [0], [0], 0.5), *call("index")[::2], flush=True)
""" + SETTINGS[setting]
    if setting == "no /proc":
        (tmp_path / "plain.asc").write_bytes(b"no tiles here\n")
        result = run_unshared(HOOKS + code, "mount -t tmpfs none /proc")
        assert result.returncode == 0, result.stderr.decode()[-2000:]
        out = result.stdout.decode()
    else:
        out = run_hooks(child, tmp_path, code)
    for line in out.splitlines():
        assert line.startswith("None RecursionError ") and int(line.split()[2]) > 100, out


@pytest.mark.parametrize("backtrace", ["1", "full"])
def test_a_report_on_a_small_stack_leaves_out_only_its_backtrace(child, backtrace):
    # Threads of 16 KiB and up (ctypes' own); naming a backtrace takes about 32 KiB of stack.
    result = child(
        """
import ctypes, gridflip
libc, outcomes = ctypes.CDLL(None), []
@ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)
def fail(_):
    try:
        gridflip.mutate("/nonexistent/c.asc", [0], [0], 0.5)
    except BaseException as error:
        outcomes.append(type(error).__name__)
for kib in (16, 20, 24, 32, 64, 128, 256):
    attributes, thread = ctypes.create_string_buffer(64), ctypes.c_ulong()
    libc.pthread_attr_init(attributes)
    libc.pthread_attr_setstacksize(attributes, ctypes.c_size_t(kib << 10))
    libc.pthread_create(ctypes.byref(thread), attributes, fail, None)
    libc.pthread_join(thread, None)
print(*outcomes)""",
        env={"GRIDFLIP_BACKTRACE": backtrace},
        timeout=60,
    )
    reports = result.stderr.split(b"panicked at ")[1:]
    left_out = [b"note: the backtrace is left out" in report for report in reports]
    assert (result.returncode, result.stdout.split(), len(reports)) == (
        0,
        [b"PanicException"] * 7,
        7,
    )
    assert (
        left_out[0]
        and left_out == sorted(left_out, reverse=True)
        and b"gridflip::mutate" in reports[-1]
    )
