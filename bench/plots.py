#!/usr/bin/env python3
"""Draws the figures of docs/speed.md from the raw output of bench/run.py.

Usage: bench/plots.py [--results FILE] [--out DIR]

FILE is what `bench/run.py --json FILE` wrote (by default
docs/speed/results.json, which `scripts/bench --plots` refreshes); the PNGs
go to DIR (by default docs/speed).  Needs matplotlib.
"""
from __future__ import annotations

import argparse
import json
from pathlib import Path
from typing import Any, Dict, List

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

DOCS = Path(__file__).resolve().parent.parent / "docs" / "speed"

# What each figure compares, in the order the bars are drawn.
PY_READERS = ["parse_marl", "parse_marl_compact", "parse_marl_via_hashmap", "floor", "orjson.loads",
              "msgspec.json.decode"]
PY_MEMORY = ["parse_marl", "parse_marl_compact", "parse_marl_via_hashmap"]
C_EXPORTS = ["marlet_parse", "marlet_parse_binary", "marlet_parse_compact", "marlet_write_compact",
             "simdjson_dom_walk", "simdjson_dom"]
C_UTF8 = ["utf8", "simdjson_utf8", "memcpy"]


def machine_line(machine: Dict[str, Any]) -> str:
    load = ", ".join(f"{x:g}" for x in machine.get("load_average", []))
    return f"{machine['cpu']}, {machine['cpus']} CPUs, Python {machine['python']}; load average {load}"


def bars(ax: Any, groups: List[str], series: Dict[str, List[float]]) -> None:
    """Grouped bars: one group per corpus, one bar per series."""
    width = 0.8 / max(len(series), 1)
    for i, (label, values) in enumerate(series.items()):
        xs = [g + (i - (len(series) - 1) / 2) * width for g in range(len(groups))]
        ax.bar(xs, values, width, label=label)
    ax.set_xticks(range(len(groups)), groups)
    ax.grid(axis="y", alpha=0.3)
    ax.set_axisbelow(True)


def ratio_figure(py: Dict[str, Any], names: List[str], base: str, what: str, title: str, ylabel: str,
                 machine: str, path: Path) -> None:
    """Each name's `what` over the base's, per corpus; 1 is the base."""
    shapes = [s for s in py if base in py[s] and what in py[s][base]]
    series = {n: [py[s][n][what] / py[s][base][what] if what in py[s].get(n, {}) else 0.0 for s in shapes]
              for n in names if any(what in py[s].get(n, {}) for s in shapes)}
    fig, ax = plt.subplots(figsize=(8, 4.2))
    bars(ax, shapes, series)
    ax.axhline(1.0, color="black", linewidth=0.8)
    ax.set_title(title)
    ax.set_ylabel(ylabel)
    ax.set_xlabel(f"corpus (1 = {base})\n{machine}", fontsize=8)
    ax.legend(fontsize=8, ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def rate_figure(cpp: Dict[str, float], names: List[str], title: str, machine: str, path: Path) -> None:
    """Input bytes per second of each C++ benchmark, per corpus."""
    shapes: List[str] = []
    for key in cpp:
        shape = key.split("/", 1)[1]
        if shape not in shapes:
            shapes.append(shape)
    series = {n: [cpp.get(f"{n}/{s}", 0.0) / 1e9 for s in shapes] for n in names
              if any(f"{n}/{s}" in cpp for s in shapes)}
    fig, ax = plt.subplots(figsize=(8, 4.2))
    bars(ax, shapes, series)
    ax.set_title(title)
    ax.set_ylabel("input GB per second (higher is faster)")
    ax.set_xlabel(f"corpus\n{machine}", fontsize=8)
    ax.legend(fontsize=8, ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--results", type=Path, default=DOCS / "results.json")
    ap.add_argument("--out", type=Path, default=DOCS)
    args = ap.parse_args()
    results = json.loads(args.results.read_text(encoding="utf-8"))
    machine = machine_line(results["machine"])
    py, cpp = results["python"], results["cpp"]
    args.out.mkdir(parents=True, exist_ok=True)
    ratio_figure(py, PY_READERS, "json.loads", "seconds", "Python readers: time against json.loads",
                 "time / json.loads (lower is faster)", machine, args.out / "python_readers.png")
    ratio_figure(py, PY_MEMORY, "json.loads", "rss_bytes", "Python readers: peak RSS growth against json.loads",
                 "peak RSS growth / json.loads", machine, args.out / "python_memory.png")
    rate_figure(cpp, C_EXPORTS, "C interface and simdjson's DOM parse", machine, args.out / "c_exports.png")
    rate_figure(cpp, C_UTF8, "UTF-8 check against simdjson's and memcpy", machine, args.out / "c_utf8.png")
    for png in sorted(args.out.glob("*.png")):
        print(png)


if __name__ == "__main__":
    main()
