#!/usr/bin/env python3
"""Writes benchmark corpora: the same records as .marl, .marlc and JSON.

Shapes:
  small     many small records: 6 to 10 fields, keys drawn from a shared
            vocabulary, values of 1 to 40 characters, one record in ten
            with non-ASCII text
  large     few records with thousands of fields each
  longval   values of several kilobytes
  nonascii  mostly non-ASCII text (Cyrillic, Greek, CJK, accents)
  ascii     like small but pure ASCII (for the UTF-8 check on ASCII)
  short     very short ASCII fields (`  city: e`), values of 1 to 12
            characters: the per-field and per-record costs dominate

Every record is written so that all three forms hold exactly the same
records: no key or value starts or ends with whitespace or holds a line
feed, and keys hold no colon and do not repeat within a record.
"""
from __future__ import annotations

import argparse
import json
import random
from pathlib import Path

KEYS = [
    "id", "name", "email", "phone", "city", "country", "status", "role", "team",
    "created", "updated", "owner", "host", "port", "region", "version", "tier",
    "note", "tags", "score", "url", "zone", "kind", "label",
]
ASCII = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 -_./@#"
NON_ASCII = "éèüöäßñçøåłžšЖжДдЯяΩωλπ東京大阪日本語中文한국어Ελληνικά"


def value(rng: random.Random, n: int, alphabet: str) -> str:
    s = "".join(rng.choice(alphabet) for _ in range(n)).strip()
    return s or "x"


def small_records(rng: random.Random, count: int, non_ascii_every: int | None) -> list[dict[str, str]]:
    out = []
    for i in range(count):
        alphabet = NON_ASCII + ASCII if non_ascii_every and i % non_ascii_every == 0 else ASCII
        keys = rng.sample(KEYS, rng.randint(6, 10))
        out.append({k: value(rng, rng.randint(1, 40), alphabet) for k in keys})
    return out


def corpora(rng: random.Random, scale: int) -> dict[str, list[dict[str, str]]]:
    return {
        "small": small_records(rng, 20000 * scale, 10),
        "ascii": small_records(rng, 20000 * scale, None),
        "short": [
            {k: value(rng, rng.randint(1, 12), ASCII) for k in rng.sample(KEYS, rng.randint(6, 10))}
            for _ in range(37000 * scale)
        ],
        "large": [
            {f"field_{j:05d}": value(rng, rng.randint(1, 30), ASCII) for j in range(5000)}
            for _ in range(4 * scale)
        ],
        "longval": [
            {k: value(rng, rng.randint(2000, 8000), ASCII) for k in rng.sample(KEYS, 4)}
            for _ in range(500 * scale)
        ],
        "nonascii": [
            {k: value(rng, rng.randint(5, 60), NON_ASCII + " ") for k in rng.sample(KEYS, 8)}
            for _ in range(10000 * scale)
        ],
    }


def to_marl(records: list[dict[str, str]]) -> str:
    # A record is its fields on indented lines, closed by its last field on
    # an unindented line.
    lines = []
    for r in records:
        items = list(r.items())
        lines.extend(f"  {k}: {v}" for k, v in items[:-1])
        k, v = items[-1]
        lines.append(f"{k}: {v}")
    return "\n".join(lines) + "\n"


def to_marlc(records: list[dict[str, str]]) -> str:
    return "".join("".join(f"{k}:{v}\n" for k, v in r.items()) + "\n" for r in records)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out", type=Path, nargs="?", default=Path(__file__).parent / "data")
    ap.add_argument("--scale", type=int, default=1, help="multiply record counts")
    ap.add_argument("--seed", type=int, default=20261207)
    args = ap.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    for name, records in corpora(random.Random(args.seed), args.scale).items():
        (args.out / f"{name}.marl").write_text(to_marl(records), encoding="utf-8")
        (args.out / f"{name}.marlc").write_text(to_marlc(records), encoding="utf-8")
        (args.out / f"{name}.json").write_text(
            json.dumps(records, ensure_ascii=False, separators=(",", ":")), encoding="utf-8")
    print(f"corpora written to {args.out}")


if __name__ == "__main__":
    main()
