#!/usr/bin/env python3
"""Compares the speed of two builds of marlet, e.g. a wheel made with one
compiler against the same sources made with another.

Each build is installed in its own virtual environment (made from the
given interpreter) and serves timings from its own process, the two asked
in turn measure by measure, so that a shared machine's changing load falls
on both alike.  A measure is the best of `repeat` calls, and each build's
figure the best over the rounds:
  - the Python functions bench/bench_python.py times, on its corpora, each
    call on a fresh copy of its input str (json.loads beside them, the same
    code in both processes, shows the noise);
  - loads_json, convert (.marl to a .json file) and read_arrow (with
    pyarrow, which each environment installs when it can) on the same corpora;
  - the four C exports that parse or convert (marlet_parse,
    marlet_parse_binary, marlet_parse_compact, marlet_write_compact),
    called through ctypes on the extension module, which exports them.
Prints each measure's times and the ratio B / A (above 1: B is slower),
then the geometric means of the ratios.

Usage: bench/compare_wheels.py A.whl B.whl [--python python3.11] [--rounds 5]
The corpora come from bench/gen_corpus.py (bench/data).  Not a test.
"""
from __future__ import annotations

import argparse
import json
import math
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent

SERVER = r"""
import ctypes, gc, json, sys, tempfile, time
from pathlib import Path
sys.path.insert(0, sys.argv[2])
import marlet, marlet._native
from bench_python import fresh
try:
    import pyarrow
except ImportError:
    pyarrow = None
data = Path(sys.argv[1])
lib = ctypes.CDLL(marlet._native.__file__)
for f in ("marlet_parse", "marlet_parse_compact", "marlet_write_compact"):
    getattr(lib, f).restype = ctypes.c_void_p
    getattr(lib, f).argtypes = [ctypes.c_char_p, ctypes.c_size_t]
lib.marlet_free_string.argtypes = [ctypes.c_void_p]
lib.marlet_parse_binary.argtypes = [ctypes.c_char_p, ctypes.c_size_t,
    ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_size_t)]
lib.marlet_free_buffer.argtypes = [ctypes.c_void_p, ctypes.c_size_t]

def string_export(name):
    def call(text):
        lib.marlet_free_string(getattr(lib, name)(text, len(text)))
    return call

def parse_binary(text):
    buf, size = ctypes.c_void_p(), ctypes.c_size_t()
    lib.marlet_parse_binary(text, len(text), ctypes.byref(buf), ctypes.byref(size))
    lib.marlet_free_buffer(buf, size)

calls = {}
for shape in ("small", "short", "nonascii"):
    for name, fn, ext in (("marlet_parse", string_export("marlet_parse"), "marl"),
                          ("marlet_parse_binary", parse_binary, "marl"),
                          ("marlet_parse_compact", string_export("marlet_parse_compact"), "marlc"),
                          ("marlet_write_compact", string_export("marlet_write_compact"), "json")):
        calls[f"C {name}/{shape}"] = (fn, (data / f"{shape}.{ext}").read_bytes())
for shape in ("small", "large", "longval", "nonascii"):
    text = {ext: (data / f"{shape}.{ext}").read_text(encoding="utf-8") for ext in ("marl", "marlc", "json")}
    for name, fn, arg in (("parse_marl", marlet.parse_marl, text["marl"]),
                          ("parse_marl_via_hashmap", marlet.parse_marl_via_hashmap, text["marl"]),
                          ("parse_marl_compact", marlet.parse_marl_compact, text["marlc"]),
                          ("write_marl_compact", marlet.write_marl_compact, json.loads(text["json"])),
                          ("json.loads", json.loads, text["json"])):
        calls[f"py {name}/{shape}"] = (fn, arg)
    calls[f"py loads_json/{shape}"] = (marlet.loads_json, text["json"])
    path = data / f"{shape}.marl"
    out = Path(tempfile.mkdtemp()) / "out.json"
    calls[f"py convert/{shape}"] = (lambda p: marlet.convert(p, out), str(path))
    if pyarrow is not None:
        calls[f"py read_arrow/{shape}"] = (marlet.read_arrow, str(path))
print(json.dumps(list(calls)), flush=True)
for line in sys.stdin:
    key, repeat = line.rsplit(" ", 1)
    fn, arg = calls[key]
    best = float("inf")
    for _ in range(int(repeat)):
        x = fresh(arg)
        gc.collect()
        t = time.perf_counter()
        fn(x)
        best = min(best, time.perf_counter() - t)
    print(best, flush=True)
"""


def server(python: str, wheel: Path, where: Path, data: Path) -> subprocess.Popen[str]:
    subprocess.run([python, "-m", "venv", str(where)], check=True)
    py = where / "bin" / "python"
    subprocess.run([py, "-m", "pip", "install", "-q", "--no-deps", str(wheel)], check=True)
    subprocess.run([py, "-m", "pip", "install", "-q", "pyarrow"], check=False)
    return subprocess.Popen([py, "-c", SERVER, str(data), str(HERE)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True, cwd="/")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("a", type=Path)
    ap.add_argument("b", type=Path)
    ap.add_argument("--python", default=sys.executable)
    ap.add_argument("--data", type=Path, default=HERE / "data")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        procs = [server(args.python, w.resolve(), Path(tmp) / name, args.data.resolve())
                 for name, w in (("a", args.a), ("b", args.b))]
        keys = [json.loads(p.stdout.readline()) for p in procs][0]
        best = [dict.fromkeys(keys, math.inf), dict.fromkeys(keys, math.inf)]
        for _ in range(args.rounds):
            for key in keys:
                for i, p in enumerate(procs):
                    p.stdin.write(f"{key} {args.repeat}\n")
                    p.stdin.flush()
                    best[i][key] = min(best[i][key], float(p.stdout.readline()))
        for p in procs:
            p.stdin.close()
            p.wait()
    print(f"A = {args.a}\nB = {args.b}\n")
    print("| measure | A ms | B ms | B / A |\n|---|---|---|---|")
    ratios = {}
    for key in keys:
        a, b = best[0][key], best[1][key]
        ratios[key] = b / a
        print(f"| {key} | {a * 1e3:.2f} | {b * 1e3:.2f} | {b / a:.3f} |")
    gmean = lambda xs: math.exp(sum(map(math.log, xs)) / len(xs))
    c = [r for k, r in ratios.items() if k.startswith("C ")]
    py = [r for k, r in ratios.items() if k.startswith("py ") and "json." not in k]
    control = [r for k, r in ratios.items() if "json." in k]
    print(f"\ngeometric mean B / A: C exports {gmean(c):.3f}, Python functions {gmean(py):.3f}"
          f" (json.loads, the control: {gmean(control):.3f})")


if __name__ == "__main__":
    main()
