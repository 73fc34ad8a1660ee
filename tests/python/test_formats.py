"""Every form both ways: round trips, the binary reader, strict reading and
the checker against the reference model, byte-order marks, field order."""

import io
import os
import struct

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

import marlet
from conftest import Unseekable
from marl_reference import WHITESPACE, is_compact_text_of, lines, marl_texts, read_marl, read_marl_compact, records_strategy, split_field

FORMS = ["marl", "marlc", "json", "binary"]
TEXT_FORMS = {"marl", "marlc"}


def carried(records, form):
    """Whether ``form`` carries ``records`` unchanged."""
    if form not in TEXT_FORMS:
        return True
    try:
        marlet.dumps(records, form)
    except marlet.LossyWriteError:
        return False
    return True


@given(records_strategy)
@pytest.mark.parametrize("second", FORMS)
@pytest.mark.parametrize("first", FORMS)
def test_round_trips_through_every_pair(first, second, records):
    if not (carried(records, first) and carried(records, second)):
        return
    through_first = marlet.loads(marlet.dumps(records, first), first)
    assert through_first == records
    assert list(marlet.loads(marlet.dumps(through_first, second), second)) == records
    # Field order is the mapping's own, so the bytes are too.
    assert marlet.dumps(through_first, second) == marlet.dumps(records, second)


@given(records_strategy)
# U+200B, U+FEFF, U+180E and U+001C..U+001F are no White_Space: written as they are.
@example([{"k": "\u200bv\ufeff"}])
@example([{"\u180ek\x1f": "a: b :c", "x": "1\r2"}])
@example([{"a\x00": "\x1c"}])
def test_text_writers_refuse_exactly_what_does_not_read_back(records):
    for form, read in (("marl", read_marl), ("marlc", read_marl_compact)):
        written = marlet.dumps(records, form, lossy=True)
        assert carried(records, form) == (read(written) == records and not written.startswith("\ufeff"))
        assert carried(records, form) == (marlet.loads(written, form) == records and not written.startswith("\ufeff"))
    if carried(records, "marlc"):
        assert is_compact_text_of(marlet.dumps_marlc(records), records)


class LyingKey(str):
    def __contains__(self, item):
        return False

    def startswith(self, *args):
        return False


class LyingDict(dict):
    def items(self):
        return [("fine", "fine")]


@pytest.mark.parametrize(
    ("records", "key", "reason"),
    [
        ([{LyingKey("a:b"): "v"}], "a:b", "a key cannot hold ':'"),
        ([LyingDict({"a\nb": "v"})], "a\nb", "a key cannot hold a line feed"),
        ([{"\ufeffk": "v"}], "\ufeffk", "the first key of a document cannot start with U+FEFF (read as a byte-order mark)"),
    ],
)
@pytest.mark.parametrize("form", ["marl", "marlc"])
def test_refusals_look_at_what_is_written(records, key, reason, form):
    with pytest.raises(marlet.LossyWriteError) as info:
        marlet.dumps(records, form)
    assert (info.value.key, info.value.reason) == (key, reason)
    assert str(info.value).endswith(f"in .{form}")
    assert isinstance(info.value, marlet.MarletError)


def test_writers_keep_each_mappings_order():
    records = [{"b": "1", "a": "2", "c": "3"}]
    assert marlet.dumps_marlc(records) == "b:1\na:2\nc:3\n\n"
    assert marlet.dumps_marl(records) == "  b: 1\n  a: 2\nc: 3\n"
    assert marlet.dumps_json(records) == '[{"b":"1","a":"2","c":"3"}]'
    assert marlet.loads_binary(marlet.dumps_binary(records)) == records
    assert list(marlet.loads_binary(marlet.dumps_binary(records))[0]) == ["b", "a", "c"]


def generate(n):
    for i in range(n):
        yield {"i": str(i)}


@pytest.mark.parametrize(
    "open_output", [lambda p: Unseekable(), lambda p: open(p, "ab"), lambda p: open(os.open(p, os.O_WRONLY | os.O_CREAT | os.O_APPEND), "wb")]
)
def test_binary_count_is_never_wrong(tmp_path, open_output):
    path = tmp_path / "out.bin"
    with open_output(path) as fp:
        with pytest.raises(marlet.FormatError, match="starts with the record count"):
            marlet.dump_binary(generate(2), fp)
        marlet.dump_binary(list(generate(2)), fp)  # counted first
        written = bytes(fp.out) if isinstance(fp, Unseekable) else None
    assert marlet.loads_binary(written or path.read_bytes()) == list(generate(2))
    with pytest.raises(TypeError, match=r"binary mode \('wb'\), not in text mode"):
        marlet.dump_binary([], io.StringIO())


def u32(n):
    return struct.pack("<I", n)


GOOD = u32(1) + u32(1) + u32(1) + b"k" + u32(2) + b"\xc3\xa9"
BINARY_REJECTED = [
    (b"", 0, "truncated: the record count needs 4 bytes, but 0 remain"),
    (b"\x01\x00", 0, "truncated: the record count needs 4 bytes, but 2 remain"),
    (u32(2) + u32(0), 0, "the record count 2 needs at least 8 more bytes, but 4 remain"),
    (GOOD[:-1], 13, "truncated: record 0, field 0: the value is 2 bytes long, but 1 remain"),
    (GOOD[:9], 4, "record 0: 1 fields need at least 8 more bytes, but 1 remain"),
    (u32(1) + u32(5) + b"\0" * 12, 4, "record 0: 5 fields need at least 40 more bytes, but 12 remain"),
    (u32(1) + u32(1) + u32(0xFFFFFFFF) + b"k" + u32(0), 8, "truncated: record 0, field 0: the key is 4294967295 bytes"),
    (GOOD + b"\0", 19, "1 bytes follow the last record"),
    (u32(1) + u32(1) + u32(1) + b"\xff" + u32(0), 12, "record 0, field 0: the key is not UTF-8"),
    (u32(1) + u32(1) + u32(1) + b"k" + u32(3) + b"\xed\xa0\x80", 17, "record 0, field 0: the value is not UTF-8"),
    (u32(1) + u32(2) + (u32(1) + b"k" + u32(0)) * 2, 17, "record 0: the key 'k' occurs twice"),
]


@pytest.mark.parametrize(("data", "pos", "message"), BINARY_REJECTED)
def test_binary_reader_rejects_with_the_offset(data, pos, message):
    with pytest.raises(marlet.BinaryDecodeError) as info:
        marlet.loads_binary(data)
    assert info.value.pos == pos
    assert info.value.msg.startswith(message)
    assert marlet.loads_binary(GOOD) == [{"k": "é"}]


@given(st.binary(max_size=64))
def test_binary_reader_accepts_only_what_the_encoder_writes(data):
    try:
        records = marlet.loads_binary(data)
    except marlet.BinaryDecodeError:
        return
    assert marlet.dumps_binary(records) == data


def reference_problems(text, marl):
    """(line, column) of every line the reference reader passes over and of
    every field that repeats a key of its record."""
    found, keys = [], set()
    for number, line in enumerate(lines(text), 1):
        rest = line.lstrip(WHITESPACE)
        if not rest:
            if not marl:
                keys = set()
            continue
        field = split_field(rest)
        column = len(line) - len(rest) + 1
        if field is None:
            found.append((number, column))
        elif field[0] in keys:
            found.append((number, column))
        else:
            keys.add(field[0])
        if marl and len(rest) == len(line):
            keys = set()
    return found


@given(marl_texts)
@pytest.mark.parametrize("form", ["marl", "marlc"])
def test_check_and_strict_match_the_reference(tmp_path_factory, form, text):
    expected = reference_problems(text, form == "marl")
    try:
        body = text.encode("utf-8")
    except UnicodeEncodeError:
        return
    path = tmp_path_factory.mktemp("check") / f"doc.{form}"
    path.write_bytes(body)
    found = marlet.check(path)
    in_file = reference_problems(text[1:] if text.startswith("\ufeff") else text, form == "marl")
    assert [(p.lineno, p.colno) for p in found] == in_file
    if expected:
        with pytest.raises(marlet.MarletSyntaxError) as info:
            marlet.loads(text, form, strict=True)
        assert (info.value.lineno, info.value.colno) == expected[0]
    else:
        assert marlet.loads(text, form, strict=True) == marlet.loads(text, form)


@pytest.mark.parametrize("form", FORMS[:3])
def test_files_drop_one_bom_and_strings_keep_it(tmp_path, form):
    records = [{"k": "v"}]
    body = marlet.dumps(records, form).encode("utf-8")
    path = tmp_path / f"doc.{form}"
    path.write_bytes(b"\xef\xbb\xbf" + body)
    assert marlet.read(path) == records
    assert marlet.FORMATS[form].load(io.BytesIO(b"\xef\xbb\xbf" + body)) == records
    assert marlet.FORMATS[form].load(io.StringIO("\ufeff" + body.decode())) == records
    assert marlet.check(path) == []
    if form == "json":
        with pytest.raises(marlet.MarletError):
            marlet.loads("\ufeff" + body.decode(), form)
    else:
        assert marlet.loads("\ufeff" + body.decode(), form) == [{"\ufeffk": "v"}]
    # Only one mark is dropped.
    path.write_bytes(b"\xef\xbb\xbf" * 2 + body)
    if form != "json":
        assert marlet.read(path) == [{"\ufeffk": "v"}]


def test_check_reports_bad_utf8_and_counts_bytes_after_a_bom(tmp_path):
    path = tmp_path / "doc.marl"
    path.write_bytes(b"\xef\xbb\xbfa: 1\nbad\n  k: 1\n  k: \xff\n")
    (problem,) = marlet.check(path)
    assert (problem.pos, problem.lineno, problem.colno, problem.msg) == (24, 4, 6, "byte 0xff is not UTF-8")
    path.write_bytes(b"\xef\xbb\xbfa: 1\nbad\n")
    (problem,) = marlet.check(path)
    assert (problem.pos, problem.lineno, problem.colno) == (8, 2, 1)
    with pytest.raises(marlet.MarletSyntaxError) as info:
        marlet.read(path, strict=True)
    assert (info.value.pos, info.value.lineno, info.value.colno) == (8, 2, 1)


MEMORY_PROBE = """
import _testcapi, marlet
records = [{"k%d" % i: "v" * 100 for i in range(10)} for _ in range(300)]
calls = [
    marlet.dumps_binary, marlet.dumps_marl, marlet.dumps_json,
    lambda r: marlet.loads_marlc(marlet.dumps_marlc(r)),
    lambda r: marlet.loads_binary(marlet.dumps_binary(r)),
    lambda r: marlet.loads_marlc(marlet.dumps_marlc(r) + "x\\n", strict=True),
]
for call in calls:
    for start in range(0, 120, 3):
        _testcapi.set_nomemory(start, 0)
        try:
            call(records)
        except (MemoryError, marlet.MarletSyntaxError):
            pass
        finally:
            _testcapi.remove_mem_hooks()
print("ok")
"""


def test_exhausted_memory_is_memory_error():
    """Every allocation of the package's native helpers that fails raises
    MemoryError; none ends the process."""
    pytest.importorskip("_testcapi")
    import subprocess
    import sys

    result = subprocess.run([sys.executable, "-c", MEMORY_PROBE], capture_output=True, timeout=120)
    assert (result.returncode, result.stdout) == (0, b"ok\n"), result.stderr.decode()[-2000:]


def test_write_replaces_files_keeping_links_and_permissions(tmp_path):
    target = tmp_path / "real.json"
    target.write_text("old")
    target.chmod(0o640)
    link = tmp_path / "link.json"
    link.symlink_to(target)
    marlet.write(link, [{"a": "1"}])
    assert link.is_symlink() and marlet.read(target) == [{"a": "1"}]
    assert target.stat().st_mode & 0o777 == 0o640
    with pytest.raises(marlet.LossyWriteError):
        marlet.write(link, [{"a": "1"}, {}], "marlc")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.json", "real.json"]
    assert marlet.read(target) == [{"a": "1"}]
