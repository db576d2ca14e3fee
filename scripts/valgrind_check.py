"""Judges a valgrind memcheck XML report of a run that loaded log_main.

    python scripts/valgrind_check.py REPORT.xml

Exits 1 when the report holds any error that is not a leak (invalid reads or
writes, invalid frees, uses of uninitialised values, bad syscall arguments:
all fatal, wherever they come from), or a definite leak that is ours. The
interpreter itself leaves many blocks definitely lost at exit; a definite
leak counts as ours when its allocation stack has a frame in the log_main
extension and either
  - that frame comes before any frame of the interpreter's eval loop (our C
    code allocated it, directly or through the C API), or
  - the block is not a str made by the interpreter's unicode machinery
    (Python code that we called made it and our code kept a reference that
    nothing owns any more).
Interned strings are what CPython 3.13 leaves unreleased at exit, and imports
that our module triggers make many of them with our frames far down the stack;
those, and only those, are not counted.
"""

import sys
import xml.etree.ElementTree as ET

EVAL_FRAMES = {"_PyEval_EvalFrameDefault", "_PyEval_EvalFrame", "_PyEval_Vector"}
ALLOCATORS = {"malloc", "calloc", "realloc", "memalign", "posix_memalign",
              "aligned_alloc", "operator new(unsigned long)", "operator new[](unsigned long)"}


def frames(error):
    stack = error.find("stack")
    if stack is None:
        return []
    return [((f.findtext("fn") or "???"), (f.findtext("obj") or ""), f) for f in stack.iter("frame")]


def ours(obj):
    return "log_main" in obj.rsplit("/", 1)[-1]


def describe(error):
    what = error.findtext("what") or error.findtext("xwhat/text") or ""
    lines = [f"{error.findtext('kind')}: {what}"]
    for fn, obj, f in frames(error):
        where = f.findtext("file")
        line = f.findtext("line")
        loc = f" ({where}:{line})" if where else ""
        lines.append(f"    {fn} [{obj.rsplit('/', 1)[-1]}]{loc}")
    return "\n".join(lines)


def leak_is_ours(error):
    stack = frames(error)
    if not any(ours(obj) for _, obj, _ in stack):
        return False
    inner = [(fn, obj) for fn, obj, _ in stack if fn not in ALLOCATORS]
    for fn, obj in inner:
        if ours(obj):
            return True  # reached our code before any Python code ran
        if fn in EVAL_FRAMES:
            break
    first = inner[0][0] if inner else ""
    interned_str = first.startswith(("PyUnicode_", "_PyUnicode_", "unicode_"))
    return not interned_str


def main(path):
    root = ET.parse(path).getroot()
    fatal, leaks_ignored = [], 0
    for error in root.iter("error"):
        kind = error.findtext("kind") or ""
        if kind == "Leak_DefinitelyLost":
            if leak_is_ours(error):
                fatal.append(error)
            else:
                leaks_ignored += 1
        elif kind.startswith("Leak_"):
            continue  # possibly lost / still reachable: not counted
        else:
            fatal.append(error)
    for error in fatal:
        print(describe(error), file=sys.stderr)
    print(f"valgrind: {len(fatal)} error(s) counted; {leaks_ignored} definite leak(s) of the "
          "interpreter not counted", file=sys.stderr)
    return 1 if fatal else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
