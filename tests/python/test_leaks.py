"""Thousands of calls through the success and the error paths leave neither
Python objects nor traced memory behind."""

import gc
import sys
import tracemalloc

import pytest

import marlet
from marlet import parse_marl, parse_marl_compact, parse_marl_via_hashmap, write_marl_compact

DOC = "".join(f"  id: {i}\n  name: user{i}\n  note: é{i}\nsep: -\n" for i in range(20))
RECORDS = [{"id": str(i), "name": f"user{i}", "note": f"é{i}"} for i in range(20)]


class FailingIterator:
    def __getitem__(self, index):
        raise IndexError

    def __iter__(self):
        return self

    def __next__(self):
        raise TypeError("bad item")


CALLS = {
    "parse_marl": lambda: parse_marl(DOC),
    "parse_marl_via_hashmap": lambda: parse_marl_via_hashmap(DOC),
    "parse_marl_compact": lambda: parse_marl_compact(DOC),
    "write_marl_compact": lambda: write_marl_compact(RECORDS),
    "keyword": lambda: parse_marl(data=DOC),
    "missing": lambda: parse_marl(),
    "too-many": lambda: parse_marl("a", "b"),
    "unexpected-keyword": lambda: parse_marl(text="a"),
    "multiple-values": lambda: parse_marl("a", data="b"),
    "wrong-data": lambda: parse_marl_via_hashmap(5),
    "surrogate-data": lambda: parse_marl("a: \ud800"),
    "str-records": lambda: write_marl_compact("abc"),
    "not-a-sequence": lambda: write_marl_compact({"a": "b"}),
    "bad-item": lambda: write_marl_compact(RECORDS + [5]),
    "bad-value": lambda: write_marl_compact(RECORDS + [{"a": "1", "b": 2}]),
    "surrogate-key": lambda: write_marl_compact(RECORDS + [{"\udc80": "1"}]),
    "failing-next": lambda: write_marl_compact(FailingIterator()),
    # The package's own native paths.
    "dumps_marl": lambda: marlet.dumps_marl(RECORDS),
    "dumps_binary": lambda: marlet.dumps_binary(iter(RECORDS)),
    "loads_binary": lambda: marlet.loads_binary(BINARY),
    "loads_marlc": lambda: marlet.loads_marlc(DOC.encode()),
    "strict": lambda: marlet.loads_marl(DOC + "x\n  k: 1\n  k: 2\n", strict=True),
    "lossy": lambda: marlet.dumps_marlc(RECORDS + [{"a:b": "1"}]),
    "truncated-binary": lambda: marlet.loads_binary(BINARY[:-1]),
    "repeated-binary-key": lambda: marlet.loads_binary(bytes.fromhex("0100000002000000") + b"\x01\0\0\0k\0\0\0\0" * 2),
    "bad-json": lambda: marlet.loads_json('[{"a": "\\ud800"}]'),
    "dump-fails-next": lambda: marlet.dumps_json(FailingIterator()),
}
BINARY = marlet.dumps_binary(RECORDS)


def run(call, times):
    for _ in range(times):
        try:
            call()
        except (TypeError, UnicodeEncodeError, marlet.MarletError):
            pass


@pytest.mark.parametrize("name", CALLS)
def test_no_growth(name):
    call = CALLS[name]
    run(call, 200)  # warm caches (interned names, exception type, free lists)
    gc.collect()
    objects_before = len(gc.get_objects())
    tracemalloc.start()
    try:
        run(call, 100)
        gc.collect()
        baseline, _ = tracemalloc.get_traced_memory()
        run(call, 3000)
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    objects_after = len(gc.get_objects())
    # One leaked object per call would be thousands of objects and at least
    # tens of kilobytes.
    assert objects_after - objects_before < 50
    assert after - baseline < 16 * 1024


@pytest.mark.parametrize("name", ["parse_marl", "wrong-data", "bad-item"])
def test_refcounts_of_arguments_unchanged(name):
    data = DOC
    records = RECORDS
    before = sys.getrefcount(data), sys.getrefcount(records), [sys.getrefcount(r) for r in records]
    run(CALLS[name], 1000)
    after = sys.getrefcount(data), sys.getrefcount(records), [sys.getrefcount(r) for r in records]
    assert after == before
