#!/usr/bin/env python3
"""marlet.spark against Spark's own JSON source on a local Spark (local[2]),
as ratios measured in the same run.  Not a test: timings depend on the
machine.

  read    spark.read.format("marl") of a generated file (bench/gen_corpus.py,
          "small" shape) and a count of rows by one column
          (groupBy(col).count().collect()), against the same on
          spark.read.json of the same records as JSON Lines, given the same
          schema
  write   the same DataFrame, cached, written with df.write.format("marl")
          against df.write.json

Usage: build/venv/bin/python bench/bench_spark.py DATA_DIR [--size-mb N] [--repeat N]
"""
from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
import gen_corpus  # noqa: E402

import marlet.spark  # noqa: E402


def write_corpus(data: Path, size_mb: int) -> tuple[Path, Path]:
    """The same records as .marl and as JSON Lines, about size_mb MB of
    .marl, written once per size."""
    marl, jsonl = data / f"spark-{size_mb}mb.marl", data / f"spark-{size_mb}mb.jsonl"
    if not (marl.exists() and jsonl.exists()):
        records = gen_corpus.small_records(random.Random(7), 20000, 10)
        block = gen_corpus.to_marl(records).encode()
        lines = "".join(json.dumps(r, ensure_ascii=False) + "\n" for r in records).encode()
        with open(marl, "wb") as m, open(jsonl, "wb") as j:
            for _ in range(max(1, size_mb * 1_000_000 // len(block))):
                m.write(block)
                j.write(lines)
    return marl, jsonl


def best(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("data", type=Path)
    parser.add_argument("--size-mb", type=int, default=300)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()
    args.data.mkdir(parents=True, exist_ok=True)
    marl, jsonl = write_corpus(args.data, args.size_mb)

    os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
    from pyspark.sql import SparkSession

    spark = (
        SparkSession.builder.master("local[2]")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")
        .config("spark.driver.memory", "2g")
        .getOrCreate()
    )
    spark.sparkContext.setLogLevel("ERROR")
    marlet.spark.register(spark)
    ours_frame = spark.read.format("marl").load(str(marl))
    schema = ours_frame.schema
    json_frame = spark.read.schema(schema).json(str(jsonl))
    print(f"{marl.stat().st_size / 1e6:.0f} MB of .marl, {jsonl.stat().st_size / 1e6:.0f} MB of JSON Lines; "
          f"partitions: marl {ours_frame.rdd.getNumPartitions()}, json {json_frame.rdd.getNumPartitions()}")

    def count(frame):
        return lambda: sorted(frame.groupBy("city").count().collect(), key=str)

    assert count(ours_frame)() == count(json_frame)()
    read_ours, read_json = best(count(ours_frame), args.repeat), best(count(json_frame), args.repeat)
    print(f"read + groupBy count: marl {read_ours:.2f} s, json {read_json:.2f} s, ratio {read_ours / read_json:.2f}")

    cached = json_frame.cache()
    cached.count()
    out = args.data / "spark-out"

    def write(save):
        def run():
            shutil.rmtree(out, ignore_errors=True)
            save(cached.write.mode("overwrite"))
        return run

    write_ours = best(write(lambda w: w.format("marl").save(str(out))), args.repeat)
    write_json = best(write(lambda w: w.json(str(out))), args.repeat)
    print(f"write: marl {write_ours:.2f} s, json {write_json:.2f} s, ratio {write_ours / write_json:.2f}")
    shutil.rmtree(out, ignore_errors=True)
    spark.stop()


if __name__ == "__main__":
    main()
