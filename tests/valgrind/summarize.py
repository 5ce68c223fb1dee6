"""Reads memcheck's XML logs and says whether the module's own code misbehaved.

An error counts against the module when any frame of any of its stacks (where the
access happened, where the block was allocated or freed) lies in gridflip*.so.
Every access error counts, wherever it lies, since the module can corrupt memory
that the interpreter later trips over. Definite leaks without a module frame are
the interpreter's (reported, not counted). Exit status 1 when anything counts or a
log is unreadable, else 0.

Usage: python summarize.py LOG.xml...
"""

import os
import sys
import xml.etree.ElementTree as ElementTree

LEAK_KINDS = (
    "Leak_DefinitelyLost",
    "Leak_IndirectlyLost",
    "Leak_PossiblyLost",
    "Leak_StillReachable",
)


def in_module(frame):
    name = os.path.basename(frame.findtext("obj") or "")
    return name.startswith("gridflip") and name.endswith(".so")


def describe(frame):
    where = frame.findtext("fn") or frame.findtext("obj") or frame.findtext("ip")
    if frame.findtext("file"):
        where += f" ({frame.findtext('file')}:{frame.findtext('line')})"
    return where


def summarize(path):
    """Prints one log's findings; returns the number of findings that count."""
    try:
        root = ElementTree.parse(path).getroot()
    except (OSError, ElementTree.ParseError) as error:
        print(f"{path}: unreadable log ({error}); did the process die?")
        return 1
    counts = {
        pair.findtext("unique"): int(pair.findtext("count"))
        for pair in root.iterfind("errorcounts/pair")
    }
    suppressed = sum(int(pair.findtext("count")) for pair in root.iterfind("suppcounts/pair"))
    module_findings, access_errors = [], []
    interpreter_leaks = [0, 0]  # bytes, blocks
    module_leaks = [0, 0]
    for error in root.iterfind("error"):
        kind = error.findtext("kind")
        frames = [frame for stack in error.iterfind("stack") for frame in stack.iterfind("frame")]
        ours = any(in_module(frame) for frame in frames)
        if kind in LEAK_KINDS:
            size = [
                int(error.findtext("xwhat/leakedbytes")),
                int(error.findtext("xwhat/leakedblocks")),
            ]
            target = module_leaks if ours else interpreter_leaks
            target[0] += size[0]
            target[1] += size[1]
            if ours:
                module_findings.append(error)
            continue
        access_errors.append(error)
        if ours:
            module_findings.append(error)
    occurrences = sum(counts.get(e.findtext("unique"), 1) for e in access_errors)
    command = root.findtext("args/argv/exe") or "?"
    arguments = " ".join(arg.text or "" for arg in root.iterfind("args/argv/arg"))[:100]
    print(f"{path}:")
    print(f"  command: {os.path.basename(command)} {arguments}")
    print(
        f"  access and other non-leak errors: {len(access_errors)} contexts, {occurrences} occurrences"
    )
    print(
        f"  definite leaks with a module frame: {module_leaks[0]} bytes in {module_leaks[1]} blocks"
    )
    print(
        f"  definite leaks of the interpreter alone: {interpreter_leaks[0]} bytes in "
        f"{interpreter_leaks[1]} blocks"
    )
    print(f"  suppressed (tests/valgrind/python.supp): {suppressed}")
    findings = access_errors + [e for e in module_findings if e not in access_errors]
    for error in findings:
        text = error.findtext("what") or error.findtext("xwhat/text")
        marker = "module" if error in module_findings else "interpreter"
        print(f"  [{marker}] {error.findtext('kind')}: {text}")
        for stack in error.iterfind("stack"):
            for frame in list(stack.iterfind("frame"))[:12]:
                print(f"      {'*' if in_module(frame) else ' '} {describe(frame)}")
            print("      --")
    return len(findings)


def main(paths):
    if not paths:
        print(__doc__)
        return 2
    total = sum(summarize(path) for path in paths)
    print(
        f"memcheck: {total} finding(s) against the module"
        if total
        else "memcheck: no invalid access and no definite leak from the module's own code"
    )
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
