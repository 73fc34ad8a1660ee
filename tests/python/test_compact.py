"""parse_marl_compact and write_marl_compact (.marlc)."""

import collections

import pytest
from hypothesis import given

from marl_reference import (
    is_compact_text_of,
    marl_texts,
    read_marl_compact,
    records_strategy,
    survives_compact_round_trip,
)
from marlet import parse_marl_compact, write_marl_compact

READ_EXAMPLES = [
    ("", []),
    ("\n \n\t\r\n", []),
    ("just words\nno separator here", []),
    ("name: Ada\nrole:admin\n\nname: Bob", [{"name": "Ada", "role": "admin"}, {"name": "Bob"}]),
    ("\n\n\nname: Ada\n\n\n\nname: Bob\n\n\n", [{"name": "Ada"}, {"name": "Bob"}]),
    ("name: Ada\r\nrole: admin\r\n\r\nname: Bob\r\n", [{"name": "Ada", "role": "admin"}, {"name": "Bob"}]),
    ("  key  :  some value  ", [{"key": "some value"}]),
    ("first name:  Ada  Lovelace", [{"first name": "Ada  Lovelace"}]),
    ("time: 12:30:05", [{"time": "12:30:05"}]),
    ("k:", [{"k": ""}]),
    (": orphan\n \t : also orphan", []),
    ("a: 1\nnote without colon\nb: 2", [{"a": "1", "b": "2"}]),
    (": x\nnothing\n\na: 1", [{"a": "1"}]),
    ("a: 1\na: 2", [{"a": "2"}]),
    ("a: 1\n\na: 2", [{"a": "1"}, {"a": "2"}]),
    ("  a: 1\nb: 2\n    c: 3", [{"a": "1", "b": "2", "c": "3"}]),
    ("a: 1\rb: 2", [{"a": "1\rb: 2"}]),
    ("a: 1\n\u00a0\nb: 2", [{"a": "1"}, {"b": "2"}]),
    ("a: 1\n\u3000\u2028\nb: 2", [{"a": "1"}, {"b": "2"}]),
    ("a: 1\n\u200b\nb: 2", [{"a": "1", "b": "2"}]),
    ("\ufeffname: Ada", [{"\ufeffname": "Ada"}]),
    ("Name: x\nname: y", [{"Name": "x", "name": "y"}]),
    ("a\uff1a 1", []),
    ("name: Ada\nrole: admin\nname: Bob", [{"name": "Bob", "role": "admin"}]),
]


@pytest.mark.parametrize(("text", "expected"), READ_EXAMPLES)
def test_read_examples(text, expected):
    assert parse_marl_compact(text) == expected
    assert read_marl_compact(text) == expected


@given(marl_texts)
def test_reader_follows_the_rules_and_reads_its_own_output(text):
    first = parse_marl_compact(text)
    assert first == read_marl_compact(text)
    assert survives_compact_round_trip(first)
    assert parse_marl_compact(write_marl_compact(first)) == first


class Loose(str):
    # Equal to nothing else, so a dict keeps two of them; the record then
    # holds their common text once, with the later value.
    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


WRITE_EXAMPLES = [
    ([], [""], []),
    ([{}], ["\n"], []),
    ([{}, {}], ["\n\n"], []),
    ([{"a": "1"}], ["a:1\n\n"], [{"a": "1"}]),
    ([{"a": "1"}, {"b": "2"}], ["a:1\n\nb:2\n\n"], [{"a": "1"}, {"b": "2"}]),
    ([{"a": "1", "b": "2"}], ["a:1\nb:2\n\n", "b:2\na:1\n\n"], [{"a": "1", "b": "2"}]),
    ([{"k": ""}], ["k:\n\n"], [{"k": ""}]),
    ([{"": "v"}], [":v\n\n"], []),
    ([{" \t": "v"}], [" \t:v\n\n"], []),
    ([{"a:b": "c"}], ["a:b:c\n\n"], [{"a": "b:c"}]),
    ([{"k": " v "}], ["k: v \n\n"], [{"k": "v"}]),
    ([{"note": "x\ny: z"}], ["note:x\ny: z\n\n"], [{"note": "x", "y": "z"}]),
    ([{"k": "x\n\ny"}], ["k:x\n\ny\n\n"], [{"k": "x"}]),
    ([{"k": "a\x00b", "é": "日本"}], ["k:a\x00b\né:日本\n\n", "é:日本\nk:a\x00b\n\n"], [{"k": "a\x00b", "é": "日本"}]),
    # Any sequence of any dicts, and str subclasses as keys and values.
    ((), [""], []),
    (({"a": "1"},), ["a:1\n\n"], [{"a": "1"}]),
    (b"", [""], []),
    (collections.UserList([{"a": "1"}]), ["a:1\n\n"], [{"a": "1"}]),
    ([collections.OrderedDict(a="1")], ["a:1\n\n"], [{"a": "1"}]),
    ([collections.defaultdict(str, a="1")], ["a:1\n\n"], [{"a": "1"}]),
    ([{type("Text", (str,), {})("k"): type("Text", (str,), {})("v")}], ["k:v\n\n"], [{"k": "v"}]),
    ([{Loose("k"): "1", Loose("k"): "2"}], ["k:2\n\n"], [{"k": "2"}]),
]


@pytest.mark.parametrize(("records", "allowed", "read_back"), WRITE_EXAMPLES)
def test_write_examples(records, allowed, read_back):
    assert write_marl_compact(records) in allowed
    assert parse_marl_compact(write_marl_compact(records)) == read_back


@given(records_strategy)
def test_writer_output_reads_back_exactly_when_the_format_can_carry_it(records):
    text = write_marl_compact(records)
    assert is_compact_text_of(text, records)
    assert (parse_marl_compact(text) == records) == survives_compact_round_trip(records)
