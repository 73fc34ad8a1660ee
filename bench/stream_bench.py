#!/usr/bin/env python3
"""Streaming benchmark: memory and time of converting and iterating large
documents.

Writes .marl files of small records (five fields each, about 200 bytes a
record) of the given sizes into a scratch directory (default
/tmp/marlet-stream-bench, never the repository), then runs each operation in
a fresh process and reports its wall time and peak resident memory:

  cli json / marlc / binary   the marlet command converting the file
  iter_records                iterating without keeping the records
  convert jobs=1 / jobs=2     marlet.convert to JSON on one and two threads
  marlet_parse                the C export on the whole file in memory
                              (reading the file is not timed)
  parse_marl                  parse_marl of the whole text in memory
                              (decoding is not timed)
  one record                  read() and iter_records on a file that is a
                              single record of --record-mb MB

"CPU s" is the user and system time of the whole process, all threads; on
a busy machine it shows what the wall time would be on an idle one.

Usage: bench/stream_bench.py [--sizes 1024,2048] [--dir DIR] [--keep] [--in-memory-up-to MB] [--record-mb 64]
Sizes are in MB.  Not a test: timings depend on the machine and its load.
"""
from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PY = sys.executable


def generate(path: Path, megabytes: int) -> None:
    """A .marl file of about `megabytes` MB: records of five fields, four
    indented and the last one closing the record."""
    if path.exists() and path.stat().st_size >= megabytes << 20:
        return
    block = []
    for i in range(10_000):
        block.append(
            f"  id: {i:08d}\n  name: user number {i * 7919 % 100_003}\n  email: user{i}@example.org\n"
            f"  city: {['Zürich', 'Tokyo 東京', 'Lagos', 'Lima', 'Oslo'][i % 5]}\nnote: record {i} of the benchmark corpus\n"
        )
    chunk = "".join(block).encode("utf-8")
    tmp = path.with_suffix(".tmp")
    with open(tmp, "wb") as out:
        written = 0
        while written < megabytes << 20:
            out.write(chunk)
            written += len(chunk)
    tmp.rename(path)


def run(argv: list[str]) -> tuple[float, float, str, float]:
    """Runs a command; returns (seconds, peak RSS in MB, its stdout, CPU
    seconds it used in all its threads)."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out = proc.stdout.read() if proc.stdout else b""
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    err = proc.stderr.read() if proc.stderr else b""
    if proc.returncode != 0:
        raise SystemExit(f"{argv} failed: {err.decode(errors='replace')}")
    return seconds, usage.ru_maxrss / 1024, out.decode(), usage.ru_utime + usage.ru_stime


def python(code: str) -> list[str]:
    return [PY, "-c", code]


ITERATE = """
import sys, marlet
n = 0
for _ in marlet.iter_records(sys.argv[1]):
    n += 1
print(n)
"""

CONVERT = """
import sys, time, marlet
start, cpu = time.perf_counter(), time.process_time()
marlet.convert(sys.argv[1], sys.argv[2], jobs=int(sys.argv[3]))
print(time.perf_counter() - start, time.process_time() - cpu)
"""

C_PARSE = """
import ctypes, sys, time, marlet._native
lib = ctypes.CDLL(marlet._native.__file__)
lib.marlet_parse.restype = ctypes.c_void_p
lib.marlet_parse.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
lib.marlet_free_string.argtypes = [ctypes.c_void_p]
data = open(sys.argv[1], "rb").read()
start, cpu = time.perf_counter(), time.process_time()
p = lib.marlet_parse(data, len(data))
print(time.perf_counter() - start, time.process_time() - cpu)
lib.marlet_free_string(p)
"""

PARSE_MARL = """
import sys, time, marlet
text = open(sys.argv[1], "rb").read().decode("utf-8")
start, cpu = time.perf_counter(), time.process_time()
records = marlet.parse_marl(text)
print(time.perf_counter() - start, time.process_time() - cpu)
"""

ITERATE_TIMED = """
import sys, time, marlet
start, cpu = time.perf_counter(), time.process_time()
for _ in marlet.iter_records(sys.argv[1]):
    pass
print(time.perf_counter() - start, time.process_time() - cpu)
"""

READ_TIMED = """
import sys, time, marlet
start, cpu = time.perf_counter(), time.process_time()
marlet.read(sys.argv[1])
print(time.perf_counter() - start, time.process_time() - cpu)
"""


def one_record(folder: Path, megabytes: int) -> None:
    """read() and iter_records() on a file that is one record of
    `megabytes` MB: iterating must stay linear in the record's length."""
    path = folder / f"record-{megabytes}.marl"
    line = "  field: " + "v" * 90 + "\n"
    with open(path, "w", encoding="utf-8") as out:
        out.write(line * ((megabytes << 20) // len(line)) + "end: 1\n")
    print(f"\n== {path}: one record of {path.stat().st_size / 1e6:,.0f} MB (default chunk size)")
    times = {}
    for name, script in (("read", READ_TIMED), ("iter_records", ITERATE_TIMED)):
        _, rss, out_text, _ = run(python(script) + [str(path)])
        times[name] = float(out_text.split()[0])
        print(f"{name:<40} {times[name]:8.2f} {'':>8} {rss:12.0f}")
    print("  iter_records / read".ljust(38) + f"{times['iter_records'] / times['read']:5.2f}  target <= 2.00")
    path.unlink()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sizes", default="1024,2048", help="file sizes in MB, comma-separated; empty for none")
    parser.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "marlet-stream-bench"))
    parser.add_argument("--keep", action="store_true", help="keep the generated files")
    parser.add_argument(
        "--in-memory-up-to", type=int, default=1024, metavar="MB",
        help="run the whole-file baselines (about 8x the file size in memory) only up to this size",
    )
    parser.add_argument("--record-mb", type=int, default=64, help="size of the one-record file in MB; 0 skips it")
    args = parser.parse_args()
    folder = Path(args.dir)
    folder.mkdir(parents=True, exist_ok=True)
    marlet_cmd = [PY, "-m", "marlet"]
    try:
        for mb in (int(s) for s in args.sizes.split(",") if s):
            source = folder / f"big-{mb}.marl"
            generate(source, mb)
            size = source.stat().st_size / 1e6
            print(f"\n== {source} ({size:,.0f} MB)")
            rows = []
            for target, suffix in (("json", "json"), ("marlc", "marlc"), ("binary", "bin")):
                out = folder / f"out.{suffix}"
                t, rss, _, cpu = run(marlet_cmd + [str(source), "--quiet", "-o", str(out)])
                rows.append((f"cli --to {target} (jobs: all CPUs)", t, rss, cpu))
                out.unlink()
            t, rss, _, cpu = run(python(ITERATE) + [str(source)])
            rows.append(("iter_records, records dropped", t, rss, cpu))
            timed = {}
            for jobs in (1, 2):
                out = folder / "out.json"
                _, rss, out_text, _ = run(python(CONVERT) + [str(source), str(out), str(jobs)])
                wall, cpu = map(float, out_text.split())
                timed[f"convert jobs={jobs}"] = (wall, cpu)
                rows.append((f"convert to JSON, jobs={jobs}", wall, rss, cpu))
                out.unlink()
            if mb <= args.in_memory_up_to:
                for name, script, label in (
                    ("marlet_parse", C_PARSE, "marlet_parse, whole file in memory"),
                    ("parse_marl", PARSE_MARL, "parse_marl, whole text in memory"),
                    ("iter_records", ITERATE_TIMED, "iter_records (timed in process)"),
                ):
                    _, rss, out_text, _ = run(python(script) + [str(source)])
                    wall, cpu = map(float, out_text.split())
                    timed[name] = (wall, cpu)
                    rows.append((label, wall, rss, cpu))
            print(f"{'operation':<40} {'seconds':>8} {'CPU s':>8} {'peak RSS MB':>12}")
            for name, t, rss, cpu in rows:
                shown = "" if cpu is None else f"{cpu:8.2f}"
                print(f"{name:<40} {t:8.2f} {shown:>8} {rss:12.0f}")
            print("ratios (wall time; CPU time of the timed part in brackets):")

            def ratio(a: str, b: str, target: str) -> None:
                if a in timed and b in timed:
                    (wa, ca), (wb, cb) = timed[a], timed[b]
                    print(f"  {a} / {b}".ljust(38) + f"{wa / wb:5.2f}  ({ca / cb:.2f})  target {target}")

            ratio("convert jobs=2", "convert jobs=1", "<= 0.60 (wall)")
            ratio("convert jobs=1", "marlet_parse", "<= 1.00")
            ratio("iter_records", "parse_marl", "<= 1.15")
        if args.record_mb:
            one_record(folder, args.record_mb)
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
