#!/usr/bin/env python3
"""Times the package's writers and checker against their peers in one run.

  build/venv/bin/python bench/bench_package.py [--records N] [--check-gb G]

- dumps_binary / dump_binary against the pure-Python encoder the package
  used before (kept below as the baseline), with tracemalloc's peak as a
  multiple of the output size;
- dumps_marl against json.dumps of the same records;
- marlet.check on a generated file of G gigabytes (in /tmp, made once).
Not a test: timings depend on the machine and on what else it is doing.
"""
from __future__ import annotations

import argparse
import gc
import io
import json
import os
import random
import statistics
import struct
import sys
import time
import tracemalloc
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from gen_corpus import small_records  # noqa: E402

import marlet  # noqa: E402

_U32 = struct.Struct("<I")


def python_dumps_binary(records):
    """The package's former pure-Python encoder (the baseline)."""
    pack = _U32.pack
    parts = [pack(len(records))]
    for record in records:
        parts.append(pack(len(record)))
        for key, value in record.items():
            key_bytes = key.encode("utf-8")
            value_bytes = value.encode("utf-8")
            parts += (pack(len(key_bytes)), key_bytes, pack(len(value_bytes)), value_bytes)
    return b"".join(parts)


def median_time(fn, repeat=5):
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def peak(fn):
    gc.collect()
    tracemalloc.start()
    fn()
    _, top = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return top


def check_file(gigabytes: float) -> Path:
    path = Path(f"/tmp/marlet-check-{gigabytes:g}g.marl")
    want = int(gigabytes * (1 << 30))
    if path.exists() and path.stat().st_size >= want:
        return path
    rng = random.Random(5)
    block = []
    for i in range(20000):
        fields = [f"  key{j}: {rng.randrange(10**9)} value text {i}\n" for j in range(rng.randrange(3, 8))]
        if i % 97 == 0:
            fields.append("  a line without a colon\n")
        block.append("".join(fields) + f"id: {i}\n")
    chunk = "".join(block).encode()
    with open(path, "wb") as fp:
        written = 0
        while written < want:
            fp.write(chunk)
            written += len(chunk)
    return path


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=200_000)
    parser.add_argument("--check-gb", type=float, default=1.0)
    args = parser.parse_args()

    records = small_records(random.Random(1), args.records, 10)
    out = marlet.dumps_binary(records)
    assert marlet.loads_binary(out) == records
    assert python_dumps_binary(records) == out  # dicts keep their order: same bytes
    size = len(out)
    print(f"{args.records} small records, binary encoding {size / 1e6:.1f} MB")

    t_py = median_time(lambda: python_dumps_binary(records))
    t_dumps = median_time(lambda: marlet.dumps_binary(records))
    devnull = open(os.devnull, "wb")
    t_dump = median_time(lambda: marlet.dump_binary(records, devnull))
    print(f"pure-Python encoder  {t_py * 1e3:8.1f} ms")
    print(f"dumps_binary         {t_dumps * 1e3:8.1f} ms   {t_py / t_dumps:5.1f}x faster")
    print(f"dump_binary          {t_dump * 1e3:8.1f} ms   {t_py / t_dump:5.1f}x faster")
    print(f"peak memory / output: pure-Python {peak(lambda: python_dumps_binary(records)) / size:.2f}, "
          f"dumps_binary {peak(lambda: marlet.dumps_binary(records)) / size:.2f}, "
          f"dump_binary {peak(lambda: marlet.dump_binary(records, io.BytesIO())) / size:.2f} (to a BytesIO), "
          f"{peak(lambda: marlet.dump_binary(records, devnull)) / size:.2f} (to a file)")

    clean = [{k: v.strip() or "x" for k, v in r.items()} for r in records]
    marlet.dumps_marl(clean)
    t_json = median_time(lambda: json.dumps(clean, ensure_ascii=False))
    t_marl = median_time(lambda: marlet.dumps_marl(clean))
    t_marlc = median_time(lambda: marlet.dumps_marlc(clean))
    t_jsonw = median_time(lambda: marlet.dumps_json(clean))
    print(f"json.dumps           {t_json * 1e3:8.1f} ms")
    print(f"dumps_marl           {t_marl * 1e3:8.1f} ms   {t_json / t_marl:5.2f}x json.dumps's speed")
    print(f"dumps_marlc          {t_marlc * 1e3:8.1f} ms   {t_json / t_marlc:5.2f}x")
    print(f"dumps_json           {t_jsonw * 1e3:8.1f} ms   {t_json / t_jsonw:5.2f}x")

    if args.check_gb > 0:
        path = check_file(args.check_gb)
        size = path.stat().st_size
        marlet.check(path)  # warm the page cache
        t_check = median_time(lambda: marlet.check(path), repeat=3)
        found = len(marlet.check(path))
        print(f"marlet.check on {size / 1e9:.2f} GB ({found} problems): {t_check:.2f} s, {size / 1e6 / t_check:.0f} MB/s")


if __name__ == "__main__":
    main()
