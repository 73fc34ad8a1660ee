#!/usr/bin/env python3
"""Compressed input: the time and peak memory of converting a .marl.zst
file to JSON, against decompressing it with the zstd tool first.

Writes a .marl file of about --size-mb MB into a scratch directory (default
/tmp/marlet-compressed-bench, never the repository): gen_corpus.py's
"small" corpus, repeated.  Compresses it with `zstd` (level 3), then runs,
each in a fresh process:

  zstd -d            the tool decompressing to a plain file
  convert plain      marlet.convert of that plain file to .json
  convert .zst       marlet.convert of the .marl.zst file to .json

and prints the ratio  convert .zst / (zstd -d + convert plain)  (target:
at most 1.3) and the peak RSS of the compressed conversion (target: at most
100 MB).  Needs the `zstd` command and `pip install marlet[zstd]`.

Usage: bench/bench_compressed.py [--size-mb 1000] [--jobs N] [--dir DIR] [--keep]
Not a test: timings depend on the machine and its load.
"""
from __future__ import annotations

import argparse
import filecmp
import shutil
import sys
from pathlib import Path

from stream_bench import python, run

HERE = Path(__file__).parent

CONVERT = "import sys, marlet; marlet.convert(sys.argv[1], sys.argv[2], jobs=int(sys.argv[3]) or None)"


def corpus(folder: Path, megabytes: int) -> Path:
    """A .marl file of about `megabytes` MB, made once per folder."""
    path = folder / f"corpus-{megabytes}.marl"
    if path.exists():
        return path
    run([sys.executable, str(HERE / "gen_corpus.py"), str(folder / "gen")])
    block = (folder / "gen" / "small.marl").read_bytes()
    with open(path.with_suffix(".tmp"), "wb") as out:
        for _ in range(max(1, (megabytes << 20) // len(block))):
            out.write(block)
    path.with_suffix(".tmp").rename(path)
    return path


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mb", type=int, default=1000)
    ap.add_argument("--jobs", type=int, default=0, help="convert's jobs (default: one per CPU)")
    ap.add_argument("--dir", type=Path, default=Path("/tmp/marlet-compressed-bench"))
    ap.add_argument("--keep", action="store_true", help="keep the scratch directory")
    args = ap.parse_args()
    if shutil.which("zstd") is None:
        raise SystemExit("needs the zstd command (apt-get install zstd)")
    args.dir.mkdir(parents=True, exist_ok=True)
    try:
        source = corpus(args.dir, args.size_mb)
        packed = source.with_name(source.name + ".zst")
        if not packed.exists():
            run(["zstd", "-q", "-f", str(source), "-o", str(packed)])
        plain, out_plain, out_packed = args.dir / "plain.marl", args.dir / "plain.json", args.dir / "packed.json"
        jobs = str(args.jobs)
        unpack, unpack_mb, _, _ = run(["zstd", "-q", "-d", "-f", str(packed), "-o", str(plain)])
        convert, convert_mb, _, _ = run(python(CONVERT) + [str(plain), str(out_plain), jobs])
        direct, direct_mb, _, _ = run(python(CONVERT) + [str(packed), str(out_packed), jobs])
        if not filecmp.cmp(out_plain, out_packed, shallow=False):
            raise SystemExit("the two conversions differ")
        print(f"input: {source.stat().st_size / 1e6:,.0f} MB, {packed.stat().st_size / 1e6:,.0f} MB as .zst")
        print(f"{'':16}{'s':>8}{'peak MB':>10}")
        rows = [("zstd -d", unpack, unpack_mb), ("convert plain", convert, convert_mb), ("convert .zst", direct, direct_mb)]
        for name, seconds, peak in rows:
            print(f"{name:16}{seconds:8.2f}{peak:10.1f}")
        print(f"ratio: {direct / (unpack + convert):.2f} (target <= 1.3); peak RSS {direct_mb:.0f} MB (target <= 100)")
    finally:
        if not args.keep:
            shutil.rmtree(args.dir, ignore_errors=True)


if __name__ == "__main__":
    main()
