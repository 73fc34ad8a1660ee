#!/usr/bin/env python3
"""Times marlet's Python functions against json, orjson and msgspec.

Every contestant reads (or writes) the same records: marlet from the .marl
or .marlc file, the others from the equivalent JSON.  Times are medians of
repeated runs in one process, each call on a fresh copy of its input str;
peak memory is tracemalloc's peak over one load (Python's allocators only)
and the growth of peak RSS over one load in a fresh interpreter
(everything, the C++ heap included).  Prints a table of times and the
ratios the targets are stated in.
"""
from __future__ import annotations

import argparse
import gc
import importlib.util
import json
import statistics
import subprocess
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


def load_floor(build: Path | None) -> Any:
    """The benchmark-only module _marlet_floor from a benchmark build tree
    (cmake -DMARLET_BUILD_BENCH=ON), or None if it was not built."""
    if build is None:
        return None
    for path in sorted((build / "bench").glob("_marlet_floor.*.so")):
        spec = importlib.util.spec_from_file_location("_marlet_floor", path)
        if spec is None or spec.loader is None:
            continue
        module = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(module)
        except ImportError:  # built for another Python
            continue
        return module
    return None


def fresh(arg: Any) -> Any:
    """A new str equal to `arg` (other arguments as they are).  Every timed
    call gets one, as a one-off parse of text just read would: CPython keeps
    the UTF-8 form of a str once made, so reusing one str would let a
    reader that needs that form pay for it only on the first call."""
    return (arg + " ")[:-1] if isinstance(arg, str) else arg


def median_time(fn: Callable[[Any], Any], arg: Any, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        x = fresh(arg)
        gc.collect()
        t0 = time.perf_counter()
        fn(x)
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def peak_memory(fn: Callable[[Any], Any], arg: Any) -> int:
    x = fresh(arg)
    gc.collect()
    tracemalloc.start()
    result = fn(x)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    del result
    return peak


# Growth of the process's peak resident size over one call, in a fresh
# interpreter (Linux: the peak is reset after the input is read).  Unlike
# tracemalloc this also counts the C++ heap.
RSS_CHILD = """
import json, sys, marlet
path, name = sys.argv[1], sys.argv[2]
with open(path, encoding="utf-8") as f:
    text = f.read()
fn = json.loads if name == "json.loads" else getattr(marlet, name)
def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak (VmHWM) to the current resident size
before = status("VmRSS")
result = fn(text)
print((status("VmHWM") - before) * 1024)
"""
RSS_INPUT = {"parse_marl": "marl", "parse_marl_via_hashmap": "marl", "parse_marl_compact": "marlc",
             "json.loads": "json"}


def rss_growth(data: Path, shape: str, name: str) -> int:
    path = data / f"{shape}.{RSS_INPUT[name]}"
    out = subprocess.run([sys.executable, "-c", RSS_CHILD, str(path), name], check=True, capture_output=True,
                         text=True).stdout
    return int(out)


def run(data: Path, shape: str, repeat: int, floor: Any = None) -> dict[str, dict[str, float]]:
    marl = (data / f"{shape}.marl").read_text(encoding="utf-8")
    marlc = (data / f"{shape}.marlc").read_text(encoding="utf-8")
    js = (data / f"{shape}.json").read_text(encoding="utf-8")
    js_bytes = js.encode()
    records = json.loads(js)

    # Each contestant is a function and its argument.
    loads: dict[str, tuple[Callable[[Any], Any], Any]] = {
        "parse_marl": (marlet.parse_marl, marl),
        "parse_marl_via_hashmap": (marlet.parse_marl_via_hashmap, marl),
        "parse_marl_compact": (marlet.parse_marl_compact, marlc),
        "json.loads": (json.loads, js),
    }
    if floor is not None:
        prepared = floor.prepare(marl)
        loads["floor"] = (floor.build, prepared)
    if orjson is not None:
        loads["orjson.loads"] = (orjson.loads, js_bytes)
    if msgspec is not None:
        loads["msgspec.json.decode"] = (msgspec.json.Decoder(list[dict[str, str]]).decode, js_bytes)
    dumps: dict[str, tuple[Callable[[Any], Any], Any]] = {
        "write_marl_compact": (marlet.write_marl_compact, records),
        "json.dumps": (lambda r: json.dumps(r, ensure_ascii=False, separators=(",", ":")), records),
    }
    if orjson is not None:
        dumps["orjson.dumps"] = (orjson.dumps, records)

    # Same records everywhere, or the comparison means nothing.
    assert marlet.parse_marl(marl) == records, shape
    assert marlet.parse_marl_compact(marlc) == records, shape
    if floor is not None:
        assert floor.build(prepared) == records, shape

    out: dict[str, dict[str, float]] = {}
    for name, (fn, arg) in {**loads, **dumps}.items():
        out[name] = {"seconds": median_time(fn, arg, repeat)}
        if name in loads:
            out[name]["peak_bytes"] = peak_memory(fn, arg)
        if name in RSS_INPUT:
            out[name]["rss_bytes"] = rss_growth(data, shape, name)
    return out


# The Python readers' targets: time and peak memory as ratios in one run.
TARGETS = [
    ("parse_marl", "floor", "seconds", "<= 1.1"),
    ("parse_marl_compact", "floor", "seconds", ""),
    ("parse_marl_via_hashmap", "floor", "seconds", ""),
    ("parse_marl", "json.loads", "seconds", ""),
    ("parse_marl_compact", "json.loads", "seconds", "<= 0.85"),
    ("parse_marl_via_hashmap", "json.loads", "seconds", "<= 1.3"),
    ("parse_marl_compact", "json.loads", "peak_bytes", ""),
    ("parse_marl_via_hashmap", "json.loads", "peak_bytes", ""),
    ("parse_marl", "json.loads", "rss_bytes", ""),
    ("parse_marl_compact", "json.loads", "rss_bytes", "<= 1.3"),
    ("parse_marl_via_hashmap", "json.loads", "rss_bytes", "<= 1.3"),
]


def target_rows(shape: str, res: dict[str, dict[str, float]]) -> list[tuple[str, str, float, str]]:
    """(corpus, ratio, value, target) for every target whose two sides ran."""
    rows = []
    for a, b, what, target in TARGETS:
        if a in res and b in res and what in res[a] and what in res[b]:
            label = {"seconds": "", "peak_bytes": "peak traced memory ", "rss_bytes": "peak RSS growth "}[what]
            label += f"{a} / {b}"
            rows.append((shape, label, res[a][what] / res[b][what], target))
    return rows


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--data", type=Path, default=Path(__file__).parent / "data")
    ap.add_argument("--shapes", default="small,large,longval,nonascii")
    ap.add_argument("--repeat", type=int, default=15)
    ap.add_argument("--build", type=Path, default=Path(__file__).parent.parent / "build" / "bench",
                    help="benchmark build tree holding the _marlet_floor module")
    ap.add_argument("--json", action="store_true", help="print raw results as JSON")
    args = ap.parse_args()
    floor = load_floor(args.build)
    results = {shape: run(args.data, shape, args.repeat, floor) for shape in args.shapes.split(",")}
    if args.json:
        json.dump(results, sys.stdout, indent=1)
        return
    for shape, res in results.items():
        print(f"\n{shape}")
        for name, r in res.items():
            mem = f"  peak {r['peak_bytes'] / 2**20:7.1f} MiB" if "peak_bytes" in r else ""
            mem += f"  RSS +{r['rss_bytes'] / 2**20:7.1f} MiB" if "rss_bytes" in r else ""
            print(f"  {name:24s} {r['seconds'] * 1e3:9.2f} ms{mem}")
        for _, label, value, target in target_rows(shape, res):
            print(f"  {label:52s} {value:6.2f}  {target}")


if __name__ == "__main__":
    main()
