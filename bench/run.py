#!/usr/bin/env python3
"""Runs the C++ and Python benchmarks side by side and prints the ratios.

Usage: bench/run.py [--build DIR] [--data DIR] [--quick] [--json FILE]

Expects the corpora from bench/gen_corpus.py in --data, the C++ benchmark
binary built in --build (cmake -DMARLET_BUILD_BENCH=ON), and marlet
installed in the running Python.  scripts/bench does all of that.
--json also writes the raw results (Python times and memory, C++ bytes per
second, the machine) to FILE, which bench/plots.py draws.
"""
from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bench_python  # noqa: E402


def cpp_results(binary: Path, data: Path, min_time: str) -> dict[str, float]:
    """Bytes per second of every C++ benchmark, by name (median of 5)."""
    out = subprocess.run(
        [str(binary), "--benchmark_format=json", f"--benchmark_min_time={min_time}",
         "--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true"],
        env={**os.environ, "MARLET_BENCH_DATA": str(data)}, check=True, capture_output=True, text=True).stdout
    rates = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            rates[b["run_name"]] = b["bytes_per_second"]
    return rates


def cpu_name() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", type=Path, default=HERE.parent / "build" / "bench")
    ap.add_argument("--data", type=Path, default=HERE / "data")
    ap.add_argument("--quick", action="store_true", help="fewer repetitions")
    ap.add_argument("--json", type=Path, help="also write the raw results to this file")
    args = ap.parse_args()

    repeat = 5 if args.quick else 15
    floor = bench_python.load_floor(args.build)
    py = {shape: bench_python.run(args.data, shape, repeat, floor)
          for shape in ("small", "nonascii", "longval", "large")}
    cpp = cpp_results(args.build / "bench" / "marlet_bench", args.data, "0.2s" if args.quick else "0.5s")

    rows: list[tuple[str, str, float, str]] = []

    def py_ratio(shape: str, a: str, b: str, target: str = "") -> None:
        if a in py[shape] and b in py[shape]:
            rows.append((shape, f"{a} / {b}", py[shape][a]["seconds"] / py[shape][b]["seconds"], target))

    def mem_ratio(shape: str, a: str, b: str, target: str = "") -> None:
        rows.append((shape, f"peak memory {a} / {b}", py[shape][a]["peak_bytes"] / py[shape][b]["peak_bytes"], target))

    def cpp_ratio(shape: str, a: str, b: str, target: str = "") -> None:
        # Time ratio: the inverse of the throughput ratio on the same records.
        ka, kb = f"{a}/{shape}", f"{b}/{shape}"
        if ka in cpp and kb in cpp:
            rows.append((shape, f"{a} / {b} (time)", cpp[kb] / cpp[ka], target))

    for shape in ("small", "nonascii", "longval", "large"):
        py_ratio(shape, "parse_marl", "orjson.loads", "<= 0.5" if shape == "small" else "")
        py_ratio(shape, "parse_marl", "json.loads", "<= 0.35" if shape == "small" else "")
        py_ratio(shape, "parse_marl", "msgspec.json.decode")
        py_ratio(shape, "parse_marl", "parse_marl_via_hashmap", "<= 0.5" if shape == "small" else "")
        py_ratio(shape, "parse_marl_compact", "orjson.loads")
        py_ratio(shape, "write_marl_compact", "json.dumps")
        py_ratio(shape, "write_marl_compact", "orjson.dumps")
        mem_ratio(shape, "parse_marl", "json.loads", "<= 1" if shape == "small" else "")
        rows.extend(bench_python.target_rows(shape, py[shape]))
        cpp_ratio(shape, "marlet_parse_binary", "simdjson_dom", "<= 1" if shape == "small" else "")
        cpp_ratio(shape, "marlet_parse", "simdjson_dom")
        cpp_ratio(shape, "marlet_parse", "memcpy")

    # The C path against simdjson's DOM parse plus a walk of every key and
    # value, on the first corpus and on the one of very short fields.
    for shape in ("small", "short"):
        cpp_ratio(shape, "marlet_parse", "simdjson_dom_walk", "<= 2")
        cpp_ratio(shape, "marlet_parse_binary", "simdjson_dom_walk", "<= 2")

    machine = {"cpu": cpu_name(), "cpus": os.cpu_count(), "python": platform.python_version(),
               "load_average": [round(x, 2) for x in os.getloadavg()], "repeat": repeat}
    if args.json:
        args.json.write_text(json.dumps({"machine": machine, "python": py, "cpp": cpp}, indent=1) + "\n")
    print(f"marlet benchmark on {machine['cpu']}, {machine['cpus']} CPUs, Python {machine['python']}")
    print("\nratios (time of the first over the second; below 1 means marlet is faster)\n")
    print(f"| corpus | ratio | value | target |\n|---|---|---|---|")
    for shape, name, value, target in rows:
        print(f"| {shape} | {name} | {value:.2f} | {target} |")
    print("\nthroughput of the C interface and the UTF-8 check (input bytes per second)\n")
    print("| benchmark | small | short | ascii | nonascii | longval | large |\n|---|---|---|---|---|---|---|")
    for name in ("memcpy", "utf8", "simdjson_utf8", "marlet_parse", "marlet_parse_binary", "marlet_parse_compact",
                 "marlet_write_compact", "simdjson_dom", "simdjson_dom_walk"):
        cells = [f"{cpp[f'{name}/{s}'] / 1e9:.2f} GB/s" if f"{name}/{s}" in cpp else "" for s in
                 ("small", "short", "ascii", "nonascii", "longval", "large")]
        print(f"| {name} | " + " | ".join(cells) + " |")
    print("\nPython medians\n")
    print("| corpus | function | time | peak memory |\n|---|---|---|---|")
    for shape, res in py.items():
        for name, r in res.items():
            mem = f"{r['peak_bytes'] / 2**20:.1f} MiB" if "peak_bytes" in r else ""
            print(f"| {shape} | {name} | {r['seconds'] * 1e3:.1f} ms | {mem} |")


if __name__ == "__main__":
    main()
