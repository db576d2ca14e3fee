"""Instructions and allocations per call of the benchmark's timed pairs, counted by callgrind.

    python bench/instructions.py [--rows 2,3] [--loops 4000] [--quick] [--json PATH]

Each statement of bench/run.py's PAIRS runs in a child process under
valgrind's callgrind twice, with --loops and with 2 x --loops iterations
after the same set-up; the difference of the two totals divided by --loops
is what one call costs, set-up and interpreter start-up cancelled out.
Instructions do not depend on the load of the machine, so the ratios are
repeatable where timings are not. Nothing here fails on a number.

Allocations are the calls into the interpreter's allocators that callgrind
records in the same two runs (allocator_entries below): an object or buffer
freed again within the call counts as much as one that is kept. The figures
are raw, the loop included (`for i in range(n)` makes a new int object per
iteration once i passes the cached small ints), so the loop alone is counted
too and shown under the table.

A full count (every row, no --quick) also writes its figures to
bench/results/<interpreter>.json (e.g. 3.13.5t.json), which bench/chart.py
draws.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from run import PAIRS  # noqa: E402

COLLECTED = re.compile(r"Collected\s*:\s*(\d+)")
# What the loop alone costs: the same timer with an empty statement.
LOOP = ("loop", "pass")

# The interpreter's allocators, as callgrind names them. The public entry
# points (PyObject_Malloc, PyMem_Calloc, PyMem_RawRealloc, ...) call through
# the allocator table into the functions of the domain: pymalloc's
# _PyObject_Malloc/_PyObject_Calloc/_PyObject_Realloc for the object and
# "mem" domains on the default build, mimalloc's _PyObject_MiMalloc,
# _PyMem_MiMalloc, ... on the free-threaded one, which go on into mi_heap_*;
# the debug hooks (PYTHONMALLOC=debug) add _PyMem_Debug*. Every object the
# interpreter makes, GC objects included (gc_alloc calls PyObject_Malloc), is
# reached through one of these. Free-list hits reach none of them and are
# not allocations.
ALLOC_ENTRY = re.compile(
    r"_?Py(Object|Mem)_(Raw|Mi|Debug|DebugRaw)?(Malloc|Calloc|Realloc)"
    r"|_?mi_(heap_)?(malloc|calloc|zalloc|realloc|mallocn|reallocn)\w*")
# Functions inside an allocator: a call they make into another entry point
# (pymalloc's realloc moving a block, a large block handed to the raw domain,
# a public function calling through the table) is part of the allocation
# already counted, so only calls into ALLOC_ENTRY from outside this set count.
ALLOC_INSIDE = re.compile(ALLOC_ENTRY.pattern + r"|_?mi_\w+|pymalloc_\w+|allocate_from_new_pool")
# callgrind marks recursion levels with 'N (--separate-recs).
RECURSION = re.compile(r"'\d+$")


def allocator_entries(path: str) -> int:
    """Calls into the interpreter's allocators from outside them in a
    callgrind output file (compressed names: "fn=(id) name" once, "fn=(id)")."""
    names: dict[str, str] = {}
    caller_inside = callee_entry = False
    count = 0
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            if line.startswith(("fn=", "cfn=")):
                key, _, rest = line.rstrip("\n").partition("=")
                if rest.startswith("("):
                    ident, _, name = rest.partition(") ")
                    if name:
                        names[ident] = name
                    else:
                        name = names[ident.rstrip(")")]
                else:
                    name = rest
                name = RECURSION.sub("", name)
                if key == "fn":
                    caller_inside = ALLOC_INSIDE.fullmatch(name) is not None
                else:
                    callee_entry = ALLOC_ENTRY.fullmatch(name) is not None
            elif line.startswith("calls=") and callee_entry and not caller_inside:
                count += int(line[6:].split(None, 1)[0])
    return count


def counted(key: str, stmt: str, loops: int) -> tuple[int, int]:
    """Instructions and allocations callgrind counts for one child run."""
    env = dict(os.environ, PYTHONHASHSEED="0")
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "out")
        r = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
             sys.executable, os.path.join(HERE, "run.py"),
             "--count-child", key, stmt, str(loops)],
            capture_output=True, text=True, env=env)
        found = COLLECTED.search(r.stderr)
        if r.returncode != 0 or not found:
            raise RuntimeError(f"callgrind run of {stmt!r} failed:\n{r.stderr[-2000:]}")
        return int(found.group(1)), allocator_entries(out)


def per_call(key: str, stmt: str, loops: int) -> tuple[float, float]:
    """(instructions, allocations) of one iteration."""
    (i1, a1), (i2, a2) = counted(key, stmt, loops), counted(key, stmt, 2 * loops)
    return (i2 - i1) / loops, (a2 - a1) / loops


def interpreter() -> str:
    """3.13.0, 3.13.5, 3.13.5t (free-threaded build)."""
    return platform.python_version() + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rows", default="", help="comma-separated row ids (default: all)")
    p.add_argument("--loops", type=int, default=4000)
    p.add_argument("--quick", action="store_true",
                   help="rows 2 and 3 only (unless --rows says otherwise), 500 loops")
    p.add_argument("--json", default=None,
                   help="write the figures here (default: bench/results/<interpreter>.json "
                        "after a full count, nowhere otherwise)")
    args = p.parse_args()
    full = not (args.quick or args.rows)
    if args.quick:
        args.loops, args.rows = 500, args.rows or "2,3"
    if not shutil.which("valgrind"):
        print("instructions: valgrind not found, nothing counted")
        return 0
    wanted = {r.strip() for r in args.rows.split(",") if r.strip()}
    print(f"python: {platform.python_implementation()} {platform.python_version()} "
          f"({sys.executable}); per call, callgrind, {args.loops} loops: instructions, "
          "and allocations (calls into the interpreter's allocators)")
    print(f"{'#':5} {'instr ours':>10} {'plain':>9} {'ratio':>6}  {'goal':7} "
          f"{'alloc ours':>10} {'plain':>6}  benchmark")
    rows = []
    for rid, label, ours, anchor, _, goal in PAIRS:
        if wanted and rid not in wanted and rid.split(".")[0] not in wanted:
            continue
        (io, ao), (ia, aa) = per_call(*ours, args.loops), per_call(*anchor, args.loops)
        print(f"{rid:5} {io:10,.0f} {ia:9,.0f} {io / ia:6.2f}  <= {goal:<4} "
              f"{ao:10.2f} {aa:6.2f}  {label}", flush=True)
        rows.append({"id": rid, "label": label, "goal": goal,
                     "instructions": {"ours": io, "plain": ia},
                     "allocations": {"ours": ao, "plain": aa}})
    il, al = per_call(*LOOP, args.loops)
    print(f"loop  the loop alone (`for i in range(n): pass`), included in every figure "
          f"above: {il:,.0f} instructions, {al:.2f} allocations per iteration")
    path = args.json or (os.path.join(HERE, "results", interpreter() + ".json") if full else None)
    if path:
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            json.dump({"interpreter": interpreter(), "version": sys.version.split()[0],
                       "loops": args.loops, "rows": rows,
                       "loop": {"instructions": il, "allocations": al}}, f, indent=1)
            f.write("\n")
        print(f"saved: {os.path.relpath(path)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
