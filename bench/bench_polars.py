#!/usr/bin/env python3
"""marlet.polars.scan_marl against polars.scan_ndjson on the same records,
in one run: a projection of two columns, collected, from a .marl corpus
(bench/gen_corpus.py) and from the same records as JSON Lines, which this
script writes beside it once with marlet's own reader.  Also the eager
polars.from_arrow(marlet.read_arrow(path)) for reference.  Not a test:
timings depend on the machine.

Usage: build/venv/bin/python bench/bench_polars.py DATA_DIR [--shape small] [--columns host status] [--repeat 3]
"""
from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from bench_arrow import best  # noqa: E402

import marlet  # noqa: E402
import marlet.polars as mp  # noqa: E402
import polars as pl  # noqa: E402


def write_jsonl(marl: Path, jsonl: Path) -> None:
    """The records of `marl`, one JSON object a line, written once."""
    if jsonl.exists() and jsonl.stat().st_mtime >= marl.stat().st_mtime:
        return
    part = jsonl.with_name(jsonl.name + ".part")
    with open(part, "w", encoding="utf-8") as out:
        for record in marlet.iter_records(marl):
            out.write(json.dumps(record, ensure_ascii=False))
            out.write("\n")
    part.replace(jsonl)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("data", type=Path, help="a folder holding <shape>.marl")
    ap.add_argument("--shape", default="small")
    ap.add_argument("--columns", nargs=2, default=["host", "status"])
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    marl = args.data / f"{args.shape}.marl"
    jsonl = args.data / f"{args.shape}.jsonl"
    write_jsonl(marl, jsonl)
    picked = args.columns
    print(f"{marl}: {marl.stat().st_size / 1e6:.0f} MB; {jsonl.name}: {jsonl.stat().st_size / 1e6:.0f} MB; "
          f"columns {picked}; best of {args.repeat}")

    def ours():
        return mp.scan_marl(marl).select(picked).collect()

    def ndjson():
        return pl.scan_ndjson(jsonl).select(picked).collect()

    def eager():
        return pl.from_arrow(marlet.read_arrow(marl, columns=picked))

    # The same rows from each, in the same order.
    assert ours().equals(ndjson()), "scan_marl and scan_ndjson disagree"
    results = {name: best(fn, args.repeat) for name, fn in [
        ("marlet.polars.scan_marl", ours),
        ("polars.scan_ndjson", ndjson),
        ("polars.from_arrow(marlet.read_arrow(columns=))", eager),
    ]}
    print(f"{'reader':<50} {'time':>9}")
    for name, secs in results.items():
        print(f"{name:<50} {secs:>8.2f}s")
    print(f"scan_marl / scan_ndjson: {results['marlet.polars.scan_marl'] / results['polars.scan_ndjson']:.2f}")


if __name__ == "__main__":
    main()
