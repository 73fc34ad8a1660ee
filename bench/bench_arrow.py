#!/usr/bin/env python3
"""Benchmarks of marlet's Arrow and Dask readers, as ratios against peers
measured in the same run.  Not a test: timings depend on the machine.

  columns   read_arrow on the many-small-records corpus (bench/gen_corpus.py,
            "small" shape) against parse_marl + pyarrow.Table.from_pylist,
            and against pyarrow.json.read_json on the same records as JSON
            Lines, on one thread and on its default threads
  dask      read_marl_dataframe(...) over a generated file of --size-mb MB
            on distributed.LocalCluster with 1 and with 2 worker processes:
            groupby(column).size().compute(), checked against read_arrow of
            the file, and .to_parquet(dir)
  jobs      read_arrow and iter_arrow with jobs=2 against jobs=1 on each
            .marl and .marlc corpus of --data (bench/gen_corpus.py writes
            them; take --scale 8 or more for files of tens of MB)
  write     dump_arrow of a table of --size-mb MB of .marl (the same
            generated file) to /dev/null, against building a dict per row
            (to_pylist per column, nulls left out) and dump_marl

Usage: build/venv/bin/python bench/bench_arrow.py [columns|dask|jobs|write|all] [--scale N] [--size-mb N] [--data DIR]
"""
from __future__ import annotations

import argparse
import gc
import io
import json
import os
import random
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
import gen_corpus  # noqa: E402

import marlet  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.json as pj  # noqa: E402


def best(fn, repeat):
    """The fastest of `repeat` runs, in seconds."""
    times = []
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


def bench_columns(scale: int, repeat: int) -> None:
    records = gen_corpus.small_records(random.Random(20261207), 20000 * scale, 10)
    marl = gen_corpus.to_marl(records).encode()
    jsonl = "".join(json.dumps(r, ensure_ascii=False) + "\n" for r in records).encode()
    print(f"small corpus: {len(records)} records, {len(marl) / 1e6:.1f} MB as .marl, {len(jsonl) / 1e6:.1f} MB as JSON Lines")

    def ours():
        return marlet.read_arrow(io.BytesIO(marl), "marl")

    def via_dicts():
        return pa.Table.from_pylist(marlet.parse_marl(marl.decode()))

    def json_one():
        return pj.read_json(io.BytesIO(jsonl), read_options=pj.ReadOptions(use_threads=False))

    def json_threads():
        return pj.read_json(io.BytesIO(jsonl))

    # The same rows and columns from each (pyarrow.json orders columns as
    # it meets them too, and from_pylist takes the union of keys).
    t = ours()
    assert t.num_rows == len(records) and sorted(t.column_names) == sorted(json_one().column_names)
    results = {name: best(fn, repeat) for name, fn in
               [("read_arrow", ours), ("parse_marl + Table.from_pylist", via_dicts),
                ("pyarrow.json.read_json, 1 thread", json_one),
                (f"pyarrow.json.read_json, default threads ({pa.cpu_count()})", json_threads)]}
    base = results["read_arrow"]
    print(f"{'reader':<48} {'time':>9} {'read_arrow / this':>18}")
    for name, secs in results.items():
        print(f"{name:<48} {secs * 1e3:>7.1f}ms {base / secs:>18.2f}")


def write_big(path: Path, size_mb: int) -> None:
    records = gen_corpus.small_records(random.Random(7), 20000, 10)
    block = gen_corpus.to_marl(records).encode()
    with open(path, "wb") as f:
        for _ in range(max(1, size_mb * 1_000_000 // len(block))):
            f.write(block)


def bench_write(size_mb: int, repeat: int) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "big.marl"
        write_big(path, size_mb)
        table = marlet.read_arrow(path)
    print(f"write: {table.num_rows} rows, {size_mb} MB as .marl")

    def ours():
        with open(os.devnull, "wb") as out:
            marlet.dump_arrow(table, out, "marl")

    def via_dicts():
        def rows():
            for batch in table.to_batches():
                names = batch.schema.names
                for row in zip(*(column.to_pylist() for column in batch.columns)):
                    yield {name: value for name, value in zip(names, row) if value is not None}

        with open(os.devnull, "wb") as out:
            marlet.dump_marl(rows(), out)

    native, dicts = best(ours, repeat), best(via_dicts, repeat)
    print(f"dump_arrow {native:.2f} s, dicts + dump_marl {dicts:.2f} s, ratio {native / dicts:.2f}")


def _warm_up() -> None:
    """Imports what a worker's first partition would otherwise pay for."""
    import marlet.dask  # noqa: F401
    import pandas  # noqa: F401
    import pyarrow.parquet  # noqa: F401


def bench_dask(size_mb: int, blocksize: str, repeat: int) -> None:
    import shutil

    import distributed
    import marlet.dask as md
    import pyarrow.compute as pc

    path = Path(tempfile.gettempdir()) / f"marlet-bench-{size_mb}mb.marl"
    if not path.exists() or path.stat().st_size < size_mb * 900_000:
        write_big(path, size_mb)
    print(f"file: {path} ({path.stat().st_size / 1e9:.2f} GB), blocksize {blocksize}")

    t = time.perf_counter()
    whole = marlet.read_arrow(path)
    print(f"read_arrow in this process: {time.perf_counter() - t:.2f}s, {whole.num_rows} rows")
    counts = whole.column("status").drop_null().value_counts()
    expected = {v.as_py(): n.as_py() for v, n in zip(counts.field("values"), counts.field("counts"))}
    del whole, counts
    out = Path(tempfile.mkdtemp(prefix="marlet-bench-parquet-"))

    # The work users run on the cluster, whose results stay small: a
    # groupby-size (only the counts come back) and writing Parquet (the
    # workers write their partitions themselves).  Each the best of
    # `repeat` runs, after a warm-up that starts the workers' imports.
    timings: dict[str, dict[int, float]] = {"groupby-size": {}, "to_parquet": {}}
    for workers in (1, 2):
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=":0", memory_limit=0) as cluster, \
                distributed.Client(cluster) as client:
            client.run(_warm_up)
            frame = md.read_marl_dataframe(str(path), blocksize=blocksize)

            def groupby_size():
                sizes = frame.groupby("status").size().compute()
                assert dict(sizes.items()) == expected, "groupby-size differs from read_arrow's counts"

            def to_parquet():
                shutil.rmtree(out, ignore_errors=True)
                frame.to_parquet(str(out), write_index=False)

            for name, fn in (("groupby-size", groupby_size), ("to_parquet", to_parquet)):
                timings[name][workers] = best(fn, repeat)
            print(f"{workers} worker(s), {frame.npartitions} partitions: "
                  + ", ".join(f"{name} {t[workers]:.2f}s" for name, t in timings.items()))
    shutil.rmtree(out, ignore_errors=True)
    print("2 workers / 1 worker: " + ", ".join(f"{name} {t[2] / t[1]:.2f}" for name, t in timings.items()))


def bench_jobs(data: Path, repeat: int) -> None:
    paths = sorted(p for p in data.iterdir() if p.suffix in (".marl", ".marlc"))
    print(f"{'corpus':<16} {'MB':>6} {'read_arrow j=1':>15} {'j=2':>9} {'ratio':>6} {'iter_arrow j=1':>15} {'j=2':>9} {'ratio':>6}")
    for path in paths:
        assert marlet.read_arrow(path, jobs=2).equals(marlet.read_arrow(path, jobs=1))
        row = []
        for read in (marlet.read_arrow, lambda p, jobs: sum(b.num_rows for b in marlet.iter_arrow(p, jobs=jobs))):
            # Alternated, so that a shared machine's load weighs on both alike.
            one, two = (min(ts) for ts in zip(*[[best(lambda: read(path, jobs=jobs), 1) for jobs in (1, 2)]
                                                 for _ in range(repeat)]))
            row += [f"{one * 1e3:>13.1f}ms", f"{two * 1e3:>7.1f}ms", f"{two / one:>6.2f}"]
        print(f"{path.name:<16} {path.stat().st_size / 1e6:>6.1f} " + " ".join(row))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("what", nargs="?", default="all", choices=["columns", "dask", "jobs", "write", "all"])
    ap.add_argument("--data", type=Path, default=Path(__file__).parent / "data", help="corpora for jobs")
    ap.add_argument("--scale", type=int, default=5, help="small corpus: 20000 x scale records")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--size-mb", type=int, default=1000)
    ap.add_argument("--blocksize", default="64 MiB")
    args = ap.parse_args()
    if args.what in ("columns", "all"):
        bench_columns(args.scale, args.repeat)
    if args.what in ("jobs", "all"):
        bench_jobs(args.data, args.repeat)
    if args.what in ("dask", "all"):
        bench_dask(args.size_mb, args.blocksize, max(2, min(args.repeat, 3)))
    if args.what in ("write", "all"):
        bench_write(args.size_mb, max(2, min(args.repeat, 3)))


if __name__ == "__main__":
    main()
