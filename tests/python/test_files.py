"""The load/dump conveniences and the path helpers read and write."""

import bz2
import collections
import gzip
import importlib.util
import io
import json
import lzma
import re
import tracemalloc
import types

import pytest
import zstandard

import marlet
from marlet import _cli
from marl_reference import is_compact_text_of
from marlet import LossyWriteError

# Non-ASCII text in keys and values, a value with colons and an empty value:
# all of it survives every format.
PLAIN = [
    {"name": "Zoë Ødegaard", "city": "東京", "time": "12:30:05", "fax": ""},
    {"emoji": "\U0001f600", "RTL": "القاهرة", "note": "a\rb\x00c"},
]
# Only the JSON form carries these.
AWKWARD = [{}, {"": "", " a:b\n": "\t\"\\\u2028 ", "\u3000": "x\ny"}]


# Records and the formats that carry them; a generator stands as the function
# that makes it, of more than one flush of output.
@pytest.mark.parametrize(
    ("records", "formats"),
    [(PLAIN, ["marlc", "json"]), (AWKWARD, ["json"]), ([], ["marlc", "json"]), ([{"a": "1"}], ["binary"])]
    + [(lambda: ({"i": str(i)} for i in range(120_000)), list(marlet.FORMATS))],
)
def test_round_trip_through_paths(tmp_path, records, formats):
    make = records if callable(records) else lambda: records
    for fmt in formats:
        path, fp = tmp_path / f"out{marlet.FORMATS[fmt].suffix}", io.BytesIO()
        marlet.write(path, make())
        assert marlet.read(path) == marlet.read(str(path), format=fmt) == list(make())
        written = path.read_bytes()
        marlet.write(path, make(), fmt)
        marlet.dump(make(), fp, fmt)
        text = marlet.dumps(list(make()), fmt)
        assert path.read_bytes() == fp.getvalue() == written == (text if isinstance(text, bytes) else text.encode())


@pytest.mark.parametrize(
    ("dump", "load"), [(marlet.dump_marlc, marlet.load_marlc), (marlet.dump_json, marlet.load_json)]
)
@pytest.mark.parametrize("stream", [io.BytesIO, io.StringIO])
def test_round_trip_through_file_objects(dump, load, stream):
    fp = stream()
    dump(PLAIN, fp)
    fp.seek(0)
    assert load(fp) == PLAIN
    if stream is io.BytesIO:
        # Binary files get UTF-8, with nothing added.
        text = fp.getvalue().decode("utf-8")
        assert load(io.StringIO(text)) == PLAIN


MARL = "  name: Ada\r\n  role: admin\r\nid: 1\n\ufeffk: v\n"


@pytest.mark.parametrize(
    ("loads", "load", "native"),
    [
        (marlet.loads_marl, marlet.load_marl, marlet.parse_marl),
        (marlet.loads_marlc, marlet.load_marlc, marlet.parse_marl_compact),
    ],
)
def test_readers_add_no_rules(tmp_path, loads, load, native):
    expected = native(MARL)
    assert loads(MARL) == expected
    assert load(io.BytesIO(MARL.encode())) == expected
    # A text file that keeps line ends as they are reads the same.
    assert load(io.StringIO(MARL, newline="")) == expected
    fmt = "marl" if loads is marlet.loads_marl else "marlc"
    (tmp_path / "doc").write_bytes(MARL.encode())
    assert marlet.read(tmp_path / "doc", format=fmt) == expected


@pytest.mark.parametrize(
    ("loads", "load"),
    [(marlet.loads_marl, marlet.load_marl), (marlet.loads_marlc, marlet.load_marlc), (marlet.loads_json, marlet.load_json)],
)
def test_loads_take_str_or_bytes_and_files_are_decoded_strictly(loads, load):
    with pytest.raises(UnicodeDecodeError) as info:
        load(io.BytesIO(b'[{"a": "\xc3\xa9\xed\xa0\x80"}]'))  # an encoded surrogate
    assert info.value.start == 10
    assert loads(b'[{"a":"\xc3\xa9"}]' if loads is marlet.loads_json else b"a: \xc3\xa9\n") == [{"a": "é"}]
    with pytest.raises(UnicodeDecodeError) as info:
        loads(b"[]\n\xff" if loads is marlet.loads_json else b"a: 1\n\xff")
    assert isinstance(info.value, marlet.MarletError)
    assert info.value.pos == info.value.start == (3 if loads is marlet.loads_json else 5)
    with pytest.raises(TypeError, match=r"takes str or bytes, not int"):
        loads(1)


# --------------------------------------------------------------------------
# .marlc refusals

WS = "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2005\u200a\u2028\u2029\u202f\u205f\u3000"

REFUSED = [
    ([{}], 0, None, "a record cannot be empty"),
    ([{"a": "1"}, {"": "x"}], 1, "", "a key cannot be empty"),
    ([{"a": "1"}, {"b": "2"}, {"c": "3"}, {"a:b": "c"}], 3, "a:b", "a key cannot hold ':'"),
    ([{"a\nb": "1"}], 0, "a\nb", "a key cannot hold a line feed"),
    ([{"ok": "1", "x\n": "1"}], 0, "x\n", "a key cannot hold a line feed"),
    ([{"k": "x\ny"}], 0, "k", "a value cannot hold a line feed"),
    ([{"k": "v", "note": "x\n"}], 0, "note", "a value cannot hold a line feed"),
]
REFUSED += [([{c + "k": "v"}], 0, c + "k", "a key cannot start or end with whitespace") for c in WS if c != "\n"]
REFUSED += [([{"k" + c: "v"}], 0, "k" + c, "a key cannot start or end with whitespace") for c in WS if c != "\n"]
REFUSED += [([{"k": c + "v"}], 0, "k", "a value cannot start or end with whitespace") for c in WS if c != "\n"]
REFUSED += [([{"k": "v" + c}], 0, "k", "a value cannot start or end with whitespace") for c in WS if c != "\n"]


@pytest.mark.parametrize(("records", "index", "key", "reason"), REFUSED)
def test_marlc_refusals_name_the_record_and_key(tmp_path, records, index, key, reason):
    where = f"record {index}" if key is None else f"record {index}, key {key!r}"
    message = f"{where}: {reason} in .marlc"
    with pytest.raises(LossyWriteError) as info:
        marlet.dumps_marlc(records)
    assert isinstance(info.value, ValueError)
    assert str(info.value) == message
    assert (info.value.index, info.value.key, info.value.reason) == (index, key, reason)

    fp = io.BytesIO()
    with pytest.raises(LossyWriteError, match=f"^{re.escape(message)}$"):
        marlet.dump_marlc(records, fp)
    assert fp.getvalue() == b""
    path = tmp_path / "keep.marlc"
    path.write_text("old")
    with pytest.raises(LossyWriteError):
        marlet.write(path, records)
    assert path.read_text() == "old"

    # lossy=True writes what the raw writer writes.
    assert is_compact_text_of(marlet.dumps_marlc(records, lossy=True), records)
    marlet.write(path, records, lossy=True)
    assert is_compact_text_of(path.read_bytes().decode("utf-8"), records)


# --------------------------------------------------------------------------
# Records given in other shapes


def test_writers_take_any_iterable_of_mappings():
    class Fields(dict):
        pass

    given_list = [types.MappingProxyType({"a": "1"}), Fields(b="2")]
    expected = [{"a": "1"}, {"b": "2"}]
    assert json.loads(marlet.dumps_json(given_list)) == expected
    assert marlet.parse_marl_compact(marlet.dumps_marlc(iter(given_list))) == expected
    assert marlet.dumps_binary(r for r in given_list) == marlet.dumps_binary(expected)
    assert isinstance(given_list[0], types.MappingProxyType)  # the caller's list is left alone


class Failing(collections.UserDict):
    """{"k": "v"}, except that looking up `where` raises `error`: "items", or
    "data", which items() reaches through __iter__ and __getitem__."""

    where = None

    def __init__(self, where, error):
        super().__init__(k="v")
        self.where, self.error = where, error

    def __getattribute__(self, name):
        if name == object.__getattribute__(self, "where"):
            raise object.__getattribute__(self, "error")
        return object.__getattribute__(self, name)


# What a writer raises: a TypeError for a record of the wrong type, and the
# mapping's own exception, whatever it is, as it stands.
@pytest.mark.parametrize(
    ("records", "error"),
    [
        ([{"a": "1"}, ["a"]], TypeError("record 1 is list, not a mapping of str to str")),
        ([{1: "a"}], TypeError("record 0: key 1 is int, not str")),
        ([{"a": "1"}, {"b": None}], TypeError("record 1, key 'b': value is NoneType, not str")),
        ([{"b": b"x"}], TypeError("record 0, key 'b': value is bytes, not str")),
    ]
    + [([{"a": "1"}, m], m.error) for m in [Failing("items", KeyboardInterrupt()), Failing("data", MemoryError())]]
    + [([m], m.error) for m in [Failing("data", TypeError("mine")), Failing("items", KeyError("k"))]],
)
@pytest.mark.parametrize(
    "dumps", [marlet.dumps_json, marlet.dumps_binary, marlet.dumps_marlc, lambda r: marlet.dumps_marlc(r, lossy=True)]
)
def test_writers_refuse_other_types(records, error, dumps):
    with pytest.raises(BaseException) as info:
        dumps(records)
    assert (type(info.value), info.value.args) == (type(error), error.args)


# --------------------------------------------------------------------------
# JSON form

JSON_ACCEPTED = [
    ("[]", []),
    (" \t\r\n[ ]\n", []),
    ("[{}]", [{}]),
    ('[{"a":"1","a":"2"}]', [{"a": "2"}]),
    ('[{"a":"\\ud83d\\ude00\\u00e9\\/\\u0000"}]', [{"a": "\U0001f600é/\x00"}]),
    ('[ {"k" : "v"} ,\n {"" : ""} ]\n', [{"k": "v"}, {"": ""}]),
]


@pytest.mark.parametrize(("text", "records"), JSON_ACCEPTED)
def test_loads_json_accepts(text, records):
    assert marlet.loads_json(text) == records


JSON_REJECTED = [
    # Syntax errors.
    ("", 1, 1, "the text ended before the array closed"),
    ("\ufeff[]", 1, 1, "the top level is not an array"),
    ('[{"a":"1"},]', 1, 12, "a record is not an object"),
    ('[{"a":"1",}]', 1, 11, "a key is not a string"),
    ('[{"a":"1"}] x', 1, 13, "extra data after the array"),
    ('[{"a":"x\ty"}]', 1, 9, "a control character stands unescaped in a string"),
    ('[\n {"a":"\\x"}]', 2, 8, "invalid escape"),
    ("[{'a':'1'}]", 1, 3, "a key is not a string"),
    # Shape errors: where the offending value starts.
    ('{"a":"1"}', 1, 1, "the top level is not an array"),
    ('\n\n  "text"', 3, 3, "the top level is not an array"),
    ("NaN", 1, 1, "the top level is not an array"),
    ('[{"a":"1"},\n "a"]', 2, 2, "a record is not an object"),
    ('[{"a":"1"}, [[]]]', 1, 13, "a record is not an object"),
    ("[" * 100_000 + "]" * 100_000, 1, 2, "a record is not an object"),
    ("[" + "1" * 5000 + "]", 1, 2, "a record is not an object"),
    ('[{"a":' + "1" * 5000 + "}]", 1, 7, "a member value is not a string"),
    ('[{"a":"1"},\n {"b": 2}]', 2, 8, "a member value is not a string"),
    ('[{"a":null}]', 1, 7, "a member value is not a string"),
    ('[{"a":["x"]}]', 1, 7, "a member value is not a string"),
    ('[{"a":{"b":"c"}}]', 1, 7, "a member value is not a string"),
    ('[{"a":"1",\n  "é": Infinity}]', 2, 8, "a member value is not a string"),
    # Lone surrogates: where the escape (or the raw character) stands.
    ('[{"a": "\\ud800"}]', 1, 9, "a string holds a lone surrogate"),
    ('[{"a": "\\ude00\\ud83d"}]', 1, 9, "a string holds a lone surrogate"),
    ('[{"a": "1"}, {"\\ud83dx": ""}]', 1, 16, "a string holds a lone surrogate"),
    ('[{"a": "\ud800"}]', 1, 9, "a string holds a lone surrogate"),
]


@pytest.mark.parametrize(("text", "line", "column", "message"), JSON_REJECTED)
def test_loads_json_rejects_with_position(text, line, column, message):
    with pytest.raises(json.JSONDecodeError) as info:
        marlet.loads_json(text)
    error = info.value
    assert isinstance(error, ValueError)
    assert (error.lineno, error.colno) == (line, column)
    assert error.msg.startswith(message)
    assert str(error).startswith(f"{error.msg}: line {line} column {column}")
    assert isinstance(error, marlet.MarletError)
    if not text.startswith("\ufeff"):  # files drop a byte-order mark
        with pytest.raises(json.JSONDecodeError):
            marlet.load_json(io.StringIO(text))


def test_dumps_json_form():
    records = [{"a": "\x00\x08\t\n\x0b\x0c\r\x1b\x1f \"\\/\x7f\u2028é"}, {}]
    assert marlet.dumps_json(records) == '[{"a":"\\u0000\\b\\t\\n\\u000b\\f\\r\\u001b\\u001f \\"\\\\/\x7f\u2028é"},{}]'
    assert marlet.dumps_json([]) == "[]"
    assert marlet.dumps_json([{"a": "1", "b": "é"}], indent=2) == '[\n  {\n    "a": "1",\n    "b": "é"\n  }\n]'
    assert marlet.loads_json(marlet.dumps_json(records, indent=1)) == records


# --------------------------------------------------------------------------
# Binary encoding


@pytest.mark.parametrize(
    ("records", "hex_bytes"),
    [
        ([], "00000000"),
        ([{}], "01000000 00000000"),
        (
            [{"color": "red"}, {"id": ""}],
            "02000000 01000000 05000000 636f6c6f72 03000000 726564 01000000 02000000 6964 00000000",
        ),
        ([{"size": "né"}], "01000000 01000000 04000000 73697a65 03000000 6ec3a9"),
        ([{"a": "1", "b": "\x00\n"}], "01000000 02000000 01000000 61 01000000 31 01000000 62 02000000 000a"),
    ],
)
def test_dumps_binary(records, hex_bytes):
    expected = bytes.fromhex(hex_bytes)
    assert marlet.dumps_binary(records) == expected
    fp = io.BytesIO()
    marlet.dump_binary(records, fp)
    assert fp.getvalue() == expected


# --------------------------------------------------------------------------
# Formats of paths


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda p: marlet.read(p / "doc.txt"), r"cannot tell the format of '.*doc\.txt' from its suffix"),
        (lambda p: marlet.read(p / "doc.marl", "yaml"), r"unknown format 'yaml'"),
        (lambda p: marlet.write(p / "doc", []), r"cannot tell the format of '.*doc' from its suffix"),
        (lambda p: marlet.write(p / "doc.txt", [{"a": "1"}]), r"cannot tell the format of '.*doc\.txt' from its suffix"),
        (lambda p: marlet.read(p / "doc.json", strict=True), r"strict= applies to 'marl' and 'marlc', not 'json'"),
        (lambda p: marlet.write(p / "doc.bin", [], lossy=True), r"lossy= applies to 'marl' and 'marlc', not 'binary'"),
        (lambda p: marlet.write(p / "doc.json", [], "xml"), r"unknown format 'xml'"),
        (lambda p: marlet.iter_records(p / "x.txt"), "cannot tell the input format"),
        (lambda p: marlet.convert(io.BytesIO(b""), p / "out.txt", from_format="marl"), "cannot tell the output format"),
        (lambda p: marlet.convert(io.BytesIO(b""), io.BytesIO(), from_format="marl", to_format="yaml"), "unknown output format"),
    ],
)
def test_formats_that_cannot_be_used(tmp_path, call, message):
    with pytest.raises(marlet.FormatError, match=message):
        call(tmp_path)
    assert list(tmp_path.iterdir()) == []


# --------------------------------------------------------------------------
# Compressed files: independent codecs write the input and read the output.

CODECS = {
    ".gz": (gzip.compress, gzip.decompress),
    ".bz2": (bz2.compress, bz2.decompress),
    ".xz": (lzma.compress, lzma.decompress),
    ".zst": (zstandard.ZstdCompressor(write_checksum=True).compress, lambda b: zstandard.ZstdDecompressor().decompress(b, 1 << 24)),
}
PACKED_DOC = "".join(f"  id: {i}\n  note: {'é' * (i % 7)}\nkind: {i % 3}\nno colon\n" for i in range(300))
# What reads a path, and what writes a path that `out(format)` names.
READ_PATH = [marlet.read, lambda p: list(marlet.iter_records(p, chunk_size=999)), marlet.check]
READ_PATH += [marlet.read_arrow, lambda p: list(marlet.iter_arrow(p, batch_rows=50))] if importlib.util.find_spec("pyarrow") else []
WRITE_PATH = [lambda p, out: marlet.convert(p, out("bin")), lambda p, out: marlet.write(out("json"), marlet.read(p))]
WRITE_PATH += [lambda p, out, a=a: _cli.main([str(p), *a, "-o", str(out("marlc"))]) for a in ([], ["--indent", "1", "--to", "json"])]


@pytest.mark.parametrize("suffix", [".gz", ".bz2", ".xz", ".ZST"])
@pytest.mark.parametrize("entry", [lambda p, out, r=r: r(p) for r in READ_PATH] + WRITE_PATH)
def test_compressed_files_read_and_write_as_plain_ones(tmp_path, suffix, entry):
    """Two streams joined: the input is read across them.  The compressed
    outputs' names are of the longest length (255 bytes, the usual limit)."""
    data = PACKED_DOC.encode()
    compress, decompress = CODECS[suffix.lower()]
    for kind, name, body in (("plain", "doc.marl", data), ("packed", f"doc.marl{suffix}", compress(data[:1000]) + compress(data[1000:]))):
        (tmp_path / kind).mkdir()
        (tmp_path / kind / name).write_bytes(body)
    plain = entry(tmp_path / "plain" / "doc.marl", lambda f: tmp_path / "plain" / f"{'x' * (254 - len(f))}.{f}")
    assert entry(tmp_path / "packed" / name, lambda f: tmp_path / "packed" / f"{'x' * (254 - len(f + suffix))}.{f}{suffix}") == plain
    for out in (tmp_path / "plain").glob("x*"):
        assert decompress((tmp_path / "packed" / (out.name[len(suffix) :] + suffix)).read_bytes()) == out.read_bytes()


@pytest.mark.parametrize("suffix", list(CODECS))
@pytest.mark.parametrize(
    "damage", [lambda b: b[: len(b) // 2], lambda b: b[:40] + bytes(60) + b[100:], lambda b: b + b"junk", lambda b: b"a: 1\n"]
)
def test_damaged_compressed_files_leave_no_output(tmp_path, capsys, suffix, damage):
    path = tmp_path / f"doc.marl{suffix}"
    path.write_bytes(damage(CODECS[suffix][0](PACKED_DOC.encode())))
    message = f"{path}: cannot decompress its {marlet._dispatch.compression_of(path)} stream: "
    for call in READ_PATH + [lambda p, out=out: marlet.convert(p, tmp_path / out) for out in ("out.json", "out.bin.gz")]:
        with pytest.raises(marlet.CompressionError, match=f"^{re.escape(message)}"):
            call(path)
    out = str(tmp_path / "out.json")
    for args in ([str(path), "-o", out], [str(path), "--indent", "1", "-o", out], ["check", str(path)]):
        assert _cli.main(args) == 1
        assert capsys.readouterr().err.startswith(f"marlet: error: {message}")
    assert list(tmp_path.iterdir()) == [path]


@pytest.mark.parametrize("suffix", list(CODECS))
def test_compressed_bombs_are_read_in_bounded_memory(tmp_path, suffix):
    path, packer = tmp_path / f"doc.marl{suffix}", marlet._io.codec(marlet._dispatch.COMPRESSIONS[suffix]).compressor()
    text = [b"a: 1\n", *[b"x" * ((1 << 20) - 1) + b"\n"] * 64, b"b: 2\n"]  # 64 MiB packed into at most 70 kB
    path.write_bytes(b"".join(map(packer.compress, text)) + packer.flush())
    tracemalloc.start()
    assert list(marlet.iter_records(path)) == [{"a": "1"}, {"b": "2"}]
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 16 << 20
