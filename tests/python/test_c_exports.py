"""The six C exports, called through ctypes, give the Python functions'
records.  `clib` runs each test against the extension module's own exports
and against libmarlet.so (when MARLET_LIB names it)."""

import json

import pytest
from hypothesis import example, given

from marl_reference import is_compact_text_of, marl_texts, records_strategy
from marlet import parse_marl, parse_marl_compact

TEXTS = [
    "",
    "a: 1\nb: 2",
    "  a: 1\n  b: 2\nend",
    "\tfirst name :  Ann\r\n\tempty:\r\n",
    "a: 1\rb: 2",
    "name: Ada\nrole:admin\n\nname: Bob",
    '  q: "quoted" \\ back\x01\x1f\n',
    "\ufeffk: é 日本 \U0001f600\n\u3000x: y",
]

INVALID_UTF8 = [b"\xff", b"a: \xc3", b"\xed\xa0\x80: x", b"k: \xc0\xaf", b"\xf4\x90\x80\x80"]


@given(marl_texts)
def test_records_agree(clib, text):
    data = text.encode()
    expected = parse_marl(text)
    assert clib.parse(data) == expected
    assert clib.parse_binary(data) == expected
    assert clib.parse_compact(data) == parse_marl_compact(text)


for _text in TEXTS:  # the chosen texts, each run besides the generated ones
    test_records_agree = example(_text)(test_records_agree)


@given(records_strategy)
def test_compact_writer(clib, records):
    written = clib.write_compact(json.dumps(records).encode())
    if any("\x00" in k or "\x00" in v for r in records for k, v in r.items()):
        assert written is None  # a NUL-terminated string cannot carry it
    else:
        assert is_compact_text_of(written, records)


@pytest.mark.parametrize("data", INVALID_UTF8)
def test_invalid_utf8_fails(clib, data):
    assert clib.parse(data) is None
    assert clib.parse_compact(data) is None
    assert clib.parse_binary(data) is None
    assert clib.write_compact(b'[{"k":"' + data + b'"}]') is None


@pytest.mark.parametrize("data", [b"", b"{}", b"[1]", b'[{"a":1}]', b"[],", b"[{}] x", b'[{"a":null}]'])
def test_write_compact_rejects_other_json(clib, data):
    assert clib.write_compact(data) is None


def test_null_text_fails(clib):
    assert clib.lib.marlet_parse(None, 0) is None
    assert clib.lib.marlet_parse_compact(None, 0) is None
    assert clib.lib.marlet_write_compact(None, 0) is None
