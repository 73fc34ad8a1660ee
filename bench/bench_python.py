#!/usr/bin/env python3
"""Times marlet's Python functions against json, orjson and msgspec.

Every contestant reads (or writes) the same records: marlet from the .marl
or .marlc file, the others from the equivalent JSON.  Times are medians of
repeated runs in one process; peak memory is tracemalloc's peak over one
load.  Prints a table of times and the ratios the targets are stated in.
"""
from __future__ import annotations

import argparse
import gc
import json
import statistics
import sys
import time
import tracemalloc
from pathlib import Path
from typing import Any, Callable

import marlet

try:
    import orjson
except ImportError:  # pragma: no cover - optional peer
    orjson = None
try:
    import msgspec
except ImportError:  # pragma: no cover - optional peer
    msgspec = None


def median_time(fn: Callable[[], Any], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def peak_memory(fn: Callable[[], Any]) -> int:
    gc.collect()
    tracemalloc.start()
    result = fn()
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    del result
    return peak


def run(data: Path, shape: str, repeat: int) -> dict[str, dict[str, float]]:
    marl = (data / f"{shape}.marl").read_text(encoding="utf-8")
    marlc = (data / f"{shape}.marlc").read_text(encoding="utf-8")
    js = (data / f"{shape}.json").read_text(encoding="utf-8")
    js_bytes = js.encode()
    records = json.loads(js)

    loads: dict[str, Callable[[], Any]] = {
        "parse_marl": lambda: marlet.parse_marl(marl),
        "parse_marl_via_hashmap": lambda: marlet.parse_marl_via_hashmap(marl),
        "parse_marl_compact": lambda: marlet.parse_marl_compact(marlc),
        "json.loads": lambda: json.loads(js),
    }
    if orjson is not None:
        loads["orjson.loads"] = lambda: orjson.loads(js_bytes)
    if msgspec is not None:
        decoder = msgspec.json.Decoder(list[dict[str, str]])
        loads["msgspec.json.decode"] = lambda: decoder.decode(js_bytes)
    dumps: dict[str, Callable[[], Any]] = {
        "write_marl_compact": lambda: marlet.write_marl_compact(records),
        "json.dumps": lambda: json.dumps(records, ensure_ascii=False, separators=(",", ":")),
    }
    if orjson is not None:
        dumps["orjson.dumps"] = lambda: orjson.dumps(records)

    # Same records everywhere, or the comparison means nothing.
    assert marlet.parse_marl(marl) == records, shape
    assert marlet.parse_marl_compact(marlc) == records, shape

    out: dict[str, dict[str, float]] = {}
    for name, fn in {**loads, **dumps}.items():
        out[name] = {"seconds": median_time(fn, repeat)}
        if name in loads:
            out[name]["peak_bytes"] = peak_memory(fn)
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--data", type=Path, default=Path(__file__).parent / "data")
    ap.add_argument("--shapes", default="small,large,longval,nonascii")
    ap.add_argument("--repeat", type=int, default=15)
    ap.add_argument("--json", action="store_true", help="print raw results as JSON")
    args = ap.parse_args()
    results = {shape: run(args.data, shape, args.repeat) for shape in args.shapes.split(",")}
    if args.json:
        json.dump(results, sys.stdout, indent=1)
        return
    for shape, res in results.items():
        print(f"\n{shape}")
        for name, r in res.items():
            mem = f"  peak {r['peak_bytes'] / 2**20:7.1f} MiB" if "peak_bytes" in r else ""
            print(f"  {name:24s} {r['seconds'] * 1e3:9.2f} ms{mem}")


if __name__ == "__main__":
    main()
