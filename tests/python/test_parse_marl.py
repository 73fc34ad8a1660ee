"""parse_marl (direct building) and parse_marl_via_hashmap (through core
records) on .marl text."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from marl_reference import LOOKALIKES, WHITESPACE, marl_texts, read_marl
from marlet import parse_marl, parse_marl_via_hashmap

READERS = [parse_marl, parse_marl_via_hashmap]

EXAMPLES = [
    ("a: 1\nb: 2", [{"a": "1"}, {"b": "2"}]),
    ("  a: 1\n  b: 2\nend", [{"a": "1", "b": "2"}]),
    ("  a: 1\n\n  b: 2\n", [{"a": "1", "b": "2"}]),
    ("  a: 1\n\n  b: 2", [{"a": "1", "b": "2"}]),
    ("  x: 1\nid: 7\n  y: 2", [{"x": "1", "id": "7"}, {"y": "2"}]),
    ("  a: 1\nx\nb: 2", [{"a": "1"}, {"b": "2"}]),
    ("k:  v : w  ", [{"k": "v : w"}]),
    ("\tfirst name :  Ann\r\n\tempty:\r\n", [{"first name": "Ann", "empty": ""}]),
    ("  a: 1\n  a: 2", [{"a": "2"}]),
    ("  a: 1\n  b: 2\n  a: 3", [{"a": "3", "b": "2"}]),
    ("a: 1\rb: 2", [{"a": "1\rb: 2"}]),
    ("a:\r\nb: 2\r\n", [{"a": ""}, {"b": "2"}]),
    ("-- note: x", [{"-- note": "x"}]),
    ("a: 1\n   \nb: 2", [{"a": "1"}, {"b": "2"}]),
    ("first name: Ann Lee", [{"first name": "Ann Lee"}]),
    ("  a: 1\n: v\n  b: 2", [{"a": "1"}, {"b": "2"}]),
    ("time: 12:30:05", [{"time": "12:30:05"}]),
    ("\ufeffname: Ada", [{"\ufeffname": "Ada"}]),
    ("\u3000a: 1\n\xa0b: 2\nc: 3", [{"a": "1", "b": "2", "c": "3"}]),
    ("\u3000key\u3000:\u3000value\u3000", [{"key": "value"}]),
    ("a\uff1a 1", []),
    ("k: v\x00w", [{"k": "v\x00w"}]),
    ("", []),
    ("\n \n\t\n", []),
    ("\n\n", []),
    ("x", []),
    (": v", []),
    ("  no colon", []),
    ("\r", []),
    ("\r\n\r\n", []),
    # A str subclass is read as its text, whatever its __str__ says.
    (type("Text", (str,), {"__str__": lambda self: "other: text"})("a: 1"), [{"a": "1"}]),
    ("k:\n  v: 1", [{"k": ""}, {"v": "1"}]),
    (
        "".join(f"  id: {i}\n  name: user{i}\n  note: é{i}\nsep: -\n" for i in range(20000)),
        [{"id": str(i), "name": f"user{i}", "note": f"é{i}", "sep": "-"} for i in range(20000)],
    ),
]


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize(("text", "expected"), EXAMPLES)
def test_examples(reader, text, expected):
    """Line ends do not matter: a last one, or CR LF for LF."""
    assert read_marl(text) == expected
    for form in (text, text + "\n", text.replace("\n", "\r\n"), text.replace("\n", "\r\n") + "\r\n"):
        assert reader(form) == expected


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("char", list(WHITESPACE.replace("\n", "") + LOOKALIKES), ids=lambda c: f"U+{ord(c):04X}")
def test_every_whitespace_kind_indents_and_trims_and_lookalikes_are_content(reader, char):
    if char in LOOKALIKES:
        # Not whitespace: the line is unindented and the character stays in
        # the key and value.
        assert reader(f"{char}a: 1{char}\nb: 2") == [{f"{char}a": f"1{char}"}, {"b": "2"}]
        return
    assert reader(f"{char}a{char}:{char}1{char}\n{char}b: 2\nend: x") == [{"a": "1", "b": "2", "end": "x"}]
    # A line of that whitespace alone is blank: it closes nothing.
    assert reader(f"  a: 1\n{char}\n  b: 2") == [{"a": "1", "b": "2"}]


# The direct parser makes ASCII strings by copying bytes and reuses the str of
# a key it has met before; everything else takes the general path.  These
# texts put both paths (and the cache's replacement of colliding entries)
# under the same comparison with the reference reader.

ASCII_AND_NOT = [
    "",
    "x",
    "xy",
    "1234567",
    "12345678",
    "123456789",
    "é",
    "日本語",
    "\U0001f600",
    "\x7f",
    "\x80",
    "ÿ",
    # The widest character decides the str's storage: one byte up to U+00FF,
    # two up to U+FFFF, four beyond; each edge, alone and among others.
    "\u0100",
    "a\u07ffb\u0080",
    "\u0800é",
    "\uffff\u00ff",
    "\U00010000é\u0800",
    "\U0010ffff",
    "é" * 40 + "\U0001f600",
    "a" * 64,
    "a" * 65,
    "a" * 200,
]


@pytest.mark.parametrize("text", ASCII_AND_NOT + [f"{'a' * i}é{'b' * (16 - i)}" for i in range(17)])
def test_ascii_and_non_ascii_keys_and_values(text):
    doc = f"  {text}k: {text}\n  k{text}: v\nend{text}: {text}{text}\n"
    for _ in range(2):  # the second record meets cached keys
        expected = read_marl(doc)
        result = parse_marl(doc + doc)
        assert result == expected + expected
        for record in result:
            assert all(type(k) is str and type(v) is str for k, v in record.items())


def test_a_documents_keys_are_made_once_and_hash_alike_and_many_evict_each_other():
    # The keys a document repeats come out as one str each; a cache whose
    # entries thrash would show as many copies (and as extra memory).
    keys = [f"{word}{n}" for word in ("id", "name", "city", "zone", "role", "team") for n in range(8)]
    doc = "".join("".join(f"  {k}: v\n" for k in keys[:-1]) + f"{keys[-1]}: v\n" for _ in range(5))
    result = parse_marl(doc)
    assert len(result) == 5
    assert len({id(k) for r in result for k in r}) == len(keys)
    result = parse_marl("name: a\nname: b\nnamf: c\nname: d")
    assert [list(r) for r in result] == [["name"], ["name"], ["namf"], ["name"]]
    assert list(parse_marl("  b: 1\n  a: 2\n  c: 3\n  b: 4\nend: 5")[0].items()) == [("b", "4"), ("a", "2"), ("c", "3"), ("end", "5")]
    assert len({hash(k) for r in result for k in r if k == "name"}) == 1
    keys = [f"key{i}" for i in range(1000)] + [f"é{i}" for i in range(50)] + ["k" * n for n in range(60, 70)]
    records = ("".join(f"  {keys[(r * 37 + i * 11) % len(keys)]}: {r}.{i}\n" for i in range(30)) + f"end: {r}\n" for r in range(200))
    doc = "".join(records)
    assert parse_marl(doc) == read_marl(doc) == parse_marl_via_hashmap(doc)


@given(st.one_of(marl_texts, st.text()))
def test_both_readers_follow_the_rules(text):
    assert parse_marl(text) == parse_marl_via_hashmap(text) == read_marl(text)
