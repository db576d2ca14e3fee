"""Draws docs/bench.png from the instruction counts in bench/results/*.json.

    python bench/chart.py [--results bench/results] [--out docs/bench.png]

Each interpreter's full count (bench/instructions.py) leaves one file; the
chart has one panel per interpreter, one bar per benchmark: instructions per
call of log_main over those of plain logging doing the same work, drawn from
1 (the same cost) on a logarithmic axis, with the counts and the allocations
per call in a column beside the panel. scripts/bench_chart.sh counts on the three interpreters and then runs
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

# Bars grow from 1 (the same cost) on a logarithmic axis, so that half the
# cost and twice the cost are bars of one length; within SAME of 1 they count
# as the same cost.
CHEAPER, SAME_COLOR, DEARER = "#3a7dc9", "#9a9a9a", "#d9822b"
SAME = 0.03
TICKS = [0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10]


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
    return f"CPython {result['version']}" + (", free-threaded, GIL off" if ft else "")


def colour(q: float) -> str:
    return CHEAPER if q < 1 - SAME else DEARER if q > 1 + SAME else SAME_COLOR


def panel(ax, result: dict, span: tuple[float, float]) -> None:
    rows = result["rows"]
    ratios = [r["instructions"]["ours"] / r["instructions"]["plain"] for r in rows]
    y = range(len(rows))
    ax.barh(y, [q - 1 for q in ratios], left=1, color=[colour(q) for q in ratios], height=0.6)
    ax.axvline(1.0, color="black", linewidth=1)
    ax.set_xscale("log")
    ax.set_xlim(*span)
    ax.set_xticks([t for t in TICKS if span[0] <= t <= span[1]])
    ax.set_xticklabels([f"{t:g}" for t in TICKS if span[0] <= t <= span[1]])
    ax.minorticks_off()
    ax.grid(axis="x", color="#dddddd", linewidth=0.8)
    ax.set_axisbelow(True)
    ax.set_yticks(list(y), [short(r["label"]) for r in rows], fontsize=9)
    ax.invert_yaxis()
    ax.set_title(title(result), fontsize=10, loc="left")
    ax.text(1.01, 1.0, "  instr ours / plain    alloc ours / plain", transform=ax.transAxes,
            va="bottom", fontsize=8, family="monospace")
    for i, (r, q) in enumerate(zip(rows, ratios)):
        ins, al = r["instructions"], r["allocations"]
        ax.text(q * (0.94 if q < 1 else 1.06), i, f"{q:.2f}", va="center",
                ha="right" if q < 1 else "left", fontsize=9)
        ax.text(1.01, i, f"{ins['ours']:>7,.0f} / {ins['plain']:>7,.0f}   "
                f"{al['ours']:5.1f} / {al['plain']:5.1f}",
                transform=ax.get_yaxis_transform(), va="center", fontsize=8,
                family="monospace")


def draw(results: list[dict], out: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ratios = [r["instructions"]["ours"] / r["instructions"]["plain"]
              for res in results for r in res["rows"]]
    span = (min(0.1, min(ratios) / 2), max(10.0, max(ratios) * 2))
    loops = [res["loop"] for res in results]
    height = sum(0.45 * len(res["rows"]) + 0.8 for res in results) + 1.2
    fig, axes = plt.subplots(len(results), 1, figsize=(12, height), sharex=True, squeeze=False)
    for ax, res in zip(axes[:, 0], results):
        panel(ax, res, span)
    axes[-1, 0].set_xlabel("instructions per call, log_main / plain logging (logarithmic; "
                           "left of 1 cheaper, right of 1 dearer)")
    fig.suptitle(
        "log_main against plain logging doing the same work: instructions per call (callgrind)\n"
        "right of each panel: instructions and allocations per call, each with the loop's own "
        f"({min(x['instructions'] for x in loops):.0f}-{max(x['instructions'] for x in loops):.0f}"
        f" instructions, {max(x['allocations'] for x in loops):.1f} allocation)", fontsize=11)
    fig.tight_layout()
    fig.savefig(out, dpi=100, bbox_inches="tight", pad_inches=0.2, metadata={"Software": None})
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
