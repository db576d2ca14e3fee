"""Draws docs/bench.png from the instruction counts in bench/results/*.json.

    python bench/chart.py [--results bench/results] [--out docs/bench.png]

Each interpreter's full count (bench/instructions.py) leaves one file; the
chart has one panel per interpreter, one bar per benchmark: instructions per
call of log_main over those of plain logging doing the same work (1 = the
same cost), with the counts and the allocations per call written beside the
bar. scripts/bench_chart.sh counts on the three interpreters and then runs
this. Needs matplotlib (a development dependency of the default venv).
"""

from __future__ import annotations

import argparse
import glob
import json
import os
import re

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

BELOW, ABOVE = "#3a7dc9", "#d9822b"  # cheaper than plain logging / dearer


def load(directory: str) -> list[dict]:
    """The saved results, oldest interpreter first, each free-threaded build
    after the default build of its release."""
    found = []
    for path in glob.glob(os.path.join(directory, "*.json")):
        with open(path, encoding="utf-8") as f:
            found.append(json.load(f))

    def order(r: dict) -> tuple:
        version, ft = r["interpreter"].rstrip("t"), r["interpreter"].endswith("t")
        return (*(int(x) for x in re.findall(r"\d+", version)), ft)

    return sorted(found, key=order)


def short(label: str) -> str:
    """'suppressed: debug("step", i) / ...' -> 'suppressed debug("step", i)'."""
    kind, _, calls = label.partition(":")
    return f"{' '.join(kind.split())}   {calls.split(' / ')[0].strip()}"


def title(result: dict) -> str:
    ft = result["interpreter"].endswith("t")
    loop = result["loop"]
    return (f"CPython {result['version']}" + (" free-threaded, GIL off" if ft else "")
            + f"   (the loop alone: {loop['instructions']:.0f} instr, "
            f"{loop['allocations']:.1f} alloc per call)")


def panel(ax, result: dict, limit: float) -> None:
    rows = result["rows"]
    ratios = [r["instructions"]["ours"] / r["instructions"]["plain"] for r in rows]
    y = range(len(rows))
    ax.barh(y, ratios, color=[BELOW if q <= 1 else ABOVE for q in ratios], height=0.6)
    ax.axvline(1.0, color="black", linewidth=1, linestyle="--")
    ax.set_yticks(list(y), [short(r["label"]) for r in rows], fontsize=9)
    ax.invert_yaxis()
    ax.set_xlim(0, limit)
    ax.set_title(title(result), fontsize=10, loc="left")
    ax.text(1.01, 1.0, "  instr ours / plain    alloc ours / plain", transform=ax.transAxes,
            va="bottom", fontsize=8, family="monospace")
    white = {"facecolor": "white", "edgecolor": "none", "pad": 1}
    for i, (r, q) in enumerate(zip(rows, ratios)):
        ins, al = r["instructions"], r["allocations"]
        ax.text(q + limit * 0.01, i, f"{q:.2f}", va="center", fontsize=9, bbox=white)
        ax.text(1.01, i, f"{ins['ours']:>6,.0f} / {ins['plain']:>6,.0f} instr   "
                f"{al['ours']:4.1f} / {al['plain']:4.1f} alloc",
                transform=ax.get_yaxis_transform(), va="center", fontsize=8,
                family="monospace")


def draw(results: list[dict], out: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    most = max(r["instructions"]["ours"] / r["instructions"]["plain"]
               for res in results for r in res["rows"])
    limit = max(2.0, most) * 1.12  # room for the ratio beside the longest bar
    height = sum(0.45 * len(res["rows"]) + 0.8 for res in results) + 1.2
    fig, axes = plt.subplots(len(results), 1, figsize=(12, height), sharex=True, squeeze=False)
    for ax, res in zip(axes[:, 0], results):
        panel(ax, res, limit)
    axes[-1, 0].set_xlabel("instructions per call, log_main / plain logging "
                           "(dashed line: the same cost; shorter is cheaper)")
    fig.suptitle("log_main against plain logging doing the same work: instructions per call "
                 "(callgrind)\n"
                 "right of each panel: the counts per call, the loop's own included", fontsize=11)
    fig.tight_layout()
    fig.savefig(out, dpi=100, metadata={"Software": None})
    plt.close(fig)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--results", default=os.path.join(HERE, "results"))
    p.add_argument("--out", default=os.path.join(ROOT, "docs", "bench.png"))
    args = p.parse_args()
    results = load(args.results)
    if not results:
        print(f"chart: no results in {args.results}: run bench/instructions.py first")
        return 1
    draw(results, args.out)
    print(f"chart: {os.path.relpath(args.out)} from "
          + ", ".join(r["interpreter"] for r in results))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
