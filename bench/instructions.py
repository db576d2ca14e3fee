"""Instructions per call of the benchmark's timed pairs, counted by callgrind.

    python bench/instructions.py [--rows 2,3] [--loops 4000] [--quick]

Each statement of bench/run.py's PAIRS runs in a child process under
valgrind's callgrind twice, with --loops and with 2 x --loops iterations
after the same set-up; the difference of the two totals divided by --loops
is what one call costs, set-up and interpreter start-up cancelled out.
Instructions do not depend on the load of the machine, so the ratios are
repeatable where timings are not. Nothing here fails on a number.
"""

from __future__ import annotations

import argparse
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import PAIRS  # noqa: E402

COLLECTED = re.compile(r"Collected\s*:\s*(\d+)")


def total(key: str, stmt: str, loops: int) -> int:
    """Instructions callgrind counts for one child run."""
    env = dict(os.environ, PYTHONHASHSEED="0")
    with tempfile.TemporaryDirectory() as d:
        r = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={d}/out",
             sys.executable, os.path.join(os.path.dirname(__file__), "run.py"),
             "--count-child", key, stmt, str(loops)],
            capture_output=True, text=True, env=env)
    found = COLLECTED.search(r.stderr)
    if r.returncode != 0 or not found:
        raise RuntimeError(f"callgrind run of {stmt!r} failed:\n{r.stderr[-2000:]}")
    return int(found.group(1))


def per_call(key: str, stmt: str, loops: int) -> float:
    return (total(key, stmt, 2 * loops) - total(key, stmt, loops)) / loops


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rows", default="", help="comma-separated row ids (default: all)")
    p.add_argument("--loops", type=int, default=4000)
    p.add_argument("--quick", action="store_true",
                   help="rows 2 and 3 only (unless --rows says otherwise), 500 loops")
    args = p.parse_args()
    if args.quick:
        args.loops, args.rows = 500, args.rows or "2,3"
    if not shutil.which("valgrind"):
        print("instructions: valgrind not found, nothing counted")
        return 0
    wanted = {r.strip() for r in args.rows.split(",") if r.strip()}
    print(f"python: {platform.python_implementation()} {platform.python_version()} "
          f"({sys.executable}); instructions per call, callgrind, {args.loops} loops")
    print(f"{'#':5} {'ours':>9} {'anchor':>9} {'ratio':>6}  goal    benchmark")
    for rid, label, ours, anchor, _, goal in PAIRS:
        if wanted and rid not in wanted and rid.split(".")[0] not in wanted:
            continue
        o, a = per_call(*ours, args.loops), per_call(*anchor, args.loops)
        print(f"{rid:5} {o:9,.0f} {a:9,.0f} {o / a:6.2f}  <= {goal:<4}  {label}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
