#!/usr/bin/env python3
"""Peak memory of every C export on four input shapes, as a Markdown table.

Each export runs on each shape in a process of its own (bench/mem_probe.c);
the peaks come from the kernel's VmHWM (resident) and VmPeak (virtual) and
include the input, the output and the process's baseline.  Not a test: the
figures depend on the machine.

    python3 bench/robustness.py --probe build/bench/bench/mem_probe
    python3 bench/robustness.py --probe ... --lib-dir OTHER/marlet-core   # another libmarlet.so
"""
from __future__ import annotations

import argparse
import os
import subprocess

SHAPES = [
    ("tiny", 10_000_000, "10M one-field records"),
    ("value", 1 << 30, "one 1 GiB value"),
    ("blank", 100_000_000, "100M empty lines"),
    ("record", 2_000_000, "one record of 2M fields"),
]
EXPORTS = ["parse", "binary", "compact", "write_compact"]
MIB = 1 << 20


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--probe", required=True)
    ap.add_argument("--lib-dir", help="directory of the libmarlet.so to measure (default: the probe's own)")
    ap.add_argument("--scale", type=float, default=1.0, help="multiply every shape's size")
    args = ap.parse_args()
    env = dict(os.environ)
    if args.lib_dir:
        env["LD_LIBRARY_PATH"] = args.lib_dir
    print("| export | shape | input MiB | output MiB | peak RSS MiB | RSS / (in + out) | peak virtual MiB | virtual / in |")
    print("|---|---|---|---|---|---|---|---|")
    for shape, count, label in SHAPES:
        for export in EXPORTS:
            n = max(1, int(count * args.scale))
            run = subprocess.run([args.probe, export, shape, str(n)], env=env, capture_output=True, text=True)
            if run.returncode != 0:
                print(f"| `{export}` | {label} | failed: exit {run.returncode} {run.stderr.strip()[:60]} |||||| ")
                continue
            _, _, inp, out, rss, virt = run.stdout.split()
            inp, out, rss, virt = int(inp), int(out), int(rss), int(virt)
            print(f"| `{export}` | {label} | {inp / MIB:.1f} | {out / MIB:.1f} | {rss / MIB:.1f} | "
                  f"{rss / (inp + out):.2f} | {virt / MIB:.1f} | {virt / inp:.2f} |")


if __name__ == "__main__":
    main()
