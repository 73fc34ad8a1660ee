"""iter_records and convert against the one-shot readers and writers."""

import io
import json
import os
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

import marlet
from marlet import _cli
from conftest import Unseekable, decode_binary
from marl_reference import marl_texts, read_marl, read_marl_compact, records_strategy

READERS = {"marl": marlet.parse_marl, "marlc": marlet.parse_marl_compact}


def one_shot(text, fmt):
    """What read() gives for a file holding `text`: a leading mark dropped."""
    return READERS[fmt](text[1:] if text.startswith("\ufeff") else text)


def compact_json(records):
    return json.dumps(records, ensure_ascii=False, separators=(",", ":"))


@given(text=marl_texts, records=records_strategy, chunk=st.sampled_from([1, 2, 3, 5, 7, 17, 1 << 20]),
       fmt=st.sampled_from(["marl", "marlc", "json"]), indent=st.sampled_from([None, 1]))
def test_iter_records_equals_the_one_shot_reader(text, records, chunk, fmt, indent):
    if fmt == "json":
        text = json.dumps(records, ensure_ascii=False, indent=indent)
    expected = records if fmt == "json" else one_shot(text, fmt)
    for stream in (io.BytesIO(text.encode("utf-8")), io.StringIO(text, newline="")):
        assert list(marlet.iter_records(stream, fmt, chunk_size=chunk)) == expected


@given(text=marl_texts, fmt=st.sampled_from(["marl", "marlc"]), jobs=st.sampled_from([1, 2, 3]))
def test_convert_writes_what_the_one_shot_writers_write(tmp_path_factory, text, fmt, jobs):
    # json.dumps writes the same escapes as the JSON form, and the readers
    # keep each key's first place: the bytes must match exactly.
    folder = tmp_path_factory.mktemp("convert")
    source = folder / f"in.{fmt}"
    source.write_bytes(text.encode("utf-8"))
    body = text[1:] if text.startswith("\ufeff") else text
    records = (read_marl if fmt == "marl" else read_marl_compact)(body)  # dicts in document order
    assert records == one_shot(text, fmt)
    assert marlet.convert(source, folder / "out.json", jobs=jobs) == len(records)
    assert (folder / "out.json").read_bytes().decode("utf-8") == compact_json(records)
    marlet.convert(source, folder / "out.bin", jobs=jobs)
    assert decode_binary((folder / "out.bin").read_bytes()) == records
    marlet.convert(source, folder / "out.marlc", jobs=jobs, lossy=True)  # the first key may start with U+FEFF
    assert marlet.parse_marl_compact((folder / "out.marlc").read_bytes().decode("utf-8")) == records
    marlet.convert(source, folder / "out.marl", jobs=jobs, lossy=True)
    assert marlet.parse_marl((folder / "out.marl").read_bytes().decode("utf-8")) == records
    marlet.convert(folder / "out.json", folder / "back.json")
    assert (folder / "back.json").read_bytes() == (folder / "out.json").read_bytes()


def test_convert_between_file_objects(tmp_path):
    text = "  b: 1\n  a: 2\n  b: 3\nc: 4\nd: 5\n"
    out = io.BytesIO()
    assert marlet.convert(io.BytesIO(text.encode()), out, from_format="marl", to_format="json") == 2
    assert out.getvalue() == b'[{"b":"3","a":"2","c":"4"},{"d":"5"}]'
    # Binary output: patched when the output can seek, else counted first when the
    # input can be read twice (a file), else refused before anything is written.
    out = io.BytesIO(b"xy")
    out.seek(2)
    marlet.convert(io.BytesIO(text.encode()), out, from_format="marl", to_format="binary")
    assert out.getvalue()[:2] == b"xy" and decode_binary(out.getvalue()[2:]) == marlet.parse_marl(text)
    path = tmp_path / "in.marl"
    path.write_text(text)
    out, appended = Unseekable(), tmp_path / "appended.bin"
    marlet.convert(path, out, to_format="binary")
    assert decode_binary(bytes(out.out)) == marlet.parse_marl(text)
    with open(appended, "ab") as fp, open(path, "rb") as source:
        marlet.convert(path, fp, to_format="binary")
        fd = os.dup(fp.fileno())  # in append mode too
        marlet.convert(source, fd, from_format="marl", to_format="binary")
        os.close(fd)
        with pytest.raises(marlet.FormatError, match="record count"):
            marlet.convert(Unseekable(text.encode()), fp, from_format="marl", to_format="binary")
    assert appended.read_bytes() == bytes(out.out) * 2
    out = Unseekable()
    with pytest.raises(marlet.FormatError, match="record count"):
        marlet.convert(Unseekable(text.encode()), out, from_format="marl", to_format="binary")
    assert out.out == b""


@pytest.mark.parametrize(
    "name, text, message",
    [
        ("in.json", '[{"a":"1"},{"k:x":"2"}]', "record 1, key 'k:x': a key cannot hold ':' in .marlc"),
        # The first record comes after lines that carry none: in the second piece with two jobs.
        ("in.marl", "x\n" * 99 + "\ufeffa: 1\nb: 2\n", "record 0, key '\\ufeffa': the first key of a document cannot start with U+FEFF"),
    ],
)
@pytest.mark.parametrize("jobs", [1, 2])
def test_convert_refuses_records_a_text_form_cannot_carry(tmp_path, name, text, message, jobs):
    source = tmp_path / name
    source.write_text(text, encoding="utf-8")
    with pytest.raises(marlet.LossyWriteError, match=re.escape(message)):
        marlet.convert(source, tmp_path / "out.marlc", jobs=jobs)
    assert os.listdir(tmp_path) == [name]
    assert marlet.convert(source, tmp_path / "out.marlc", lossy=True, jobs=jobs) == 2


@pytest.mark.parametrize("fmt", ["marl", "marlc", "json"])
def test_bad_utf8_deep_in_a_file(tmp_path, fmt):
    record = {"marl": b"key: value\n", "marlc": b"key: value\n\n", "json": b'{"key":"value"},'}[fmt]
    head = b"[" if fmt == "json" else b""
    body = head + record * 300_000
    data = body + b"key: \xff\n" if fmt != "json" else body + b'{"k":"\xff"}]'
    bad = data.index(b"\xff")
    source = tmp_path / f"in.{fmt}"
    source.write_bytes(data)
    with pytest.raises(marlet.StreamError) as error:
        marlet.convert(source, tmp_path / "out.json", jobs=2)
    assert error.value.pos == bad and str(bad) in str(error.value)
    assert os.listdir(tmp_path) == [source.name]
    with pytest.raises(marlet.StreamError) as error:
        for _ in marlet.iter_records(source, chunk_size=4096):
            pass
    assert error.value.pos == bad
    fds = len(os.listdir("/proc/self/fd"))
    marlet.iter_records(source).close()  # before the first record: the file is closed all the same
    assert len(os.listdir("/proc/self/fd")) == fds


@pytest.mark.parametrize(
    "text, pos",
    [("[{\"a\":\"1\"},{\"b\":2}]", 16), ('[{"a":"1"}] x', 12), ('\ufeff[{"a":"1"}', 13), ('\ufeff[{"é":"x"},1]', 15)]
    + [("{}", 0), ("", 0)],
)
def test_json_errors_name_the_byte_offset(tmp_path, text, pos):
    """Every reader of bytes counts them, a dropped mark included."""
    data = text.encode()
    body = data.removeprefix(b"\xef\xbb\xbf")
    path = tmp_path / "in.json"
    path.write_bytes(data)
    with pytest.raises(marlet.StreamError) as error:
        list(marlet.iter_records(path, chunk_size=3))
    assert error.value.pos == pos
    for read, at in (
        (lambda: marlet.read(path), pos),
        (lambda: marlet.load_json(io.BytesIO(data)), pos),
        (lambda: marlet.loads(body, "json"), pos - len(data) + len(body)),
    ):
        with pytest.raises(json.JSONDecodeError) as error:
            read()
        assert error.value.pos == at
    assert [problem.pos for problem in marlet.check(path)] == [pos]
    with pytest.raises(ValueError):
        marlet.loads_json(text)


@pytest.mark.parametrize("target", ["json", "bin"])
def test_ctrl_c_stops_the_command_and_leaves_no_file(tmp_path, target):
    """SIGINT while the command converts standard input: status 130, and
    neither the output nor its temporary file is left."""
    import signal
    import subprocess
    import sys
    import time

    out = tmp_path / f"out.{target}"
    # A test runner started in the background may ignore SIGINT, and the
    # command would inherit that: restore the default before it starts.
    command = [sys.executable, "-m", "marlet", "-", "--from", "marl", "-o", str(out)]
    launcher = "import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); os.execv(sys.argv[1], sys.argv[1:])"
    proc = subprocess.Popen(
        [sys.executable, "-c", launcher, *command], stdin=subprocess.PIPE, stderr=subprocess.PIPE
    )
    try:
        proc.stdin.write(b"  key: value\nid: 1\n" * 200_000)
        proc.stdin.flush()
        deadline = time.monotonic() + 60
        while not any(p.name.startswith(".marlet-") for p in tmp_path.iterdir()):
            assert time.monotonic() < deadline, "the conversion did not start"
            time.sleep(0.01)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=30) == 130
    finally:
        proc.kill()
        proc.stdin.close()
        proc.stderr.close()
        proc.wait()
    assert list(tmp_path.iterdir()) == []


def test_command_output_is_the_same_for_any_jobs(tmp_path):
    import subprocess
    import sys

    source = tmp_path / "in.marl"
    source.write_bytes(b"  b: 1\n  a: 2\nc: 3\nd:\n" * 40_000)
    expected = compact_json(marlet.read(source)) + "\n"
    for jobs in ("1", "2", "3"):
        out = tmp_path / f"out{jobs}.json"
        result = subprocess.run(
            [sys.executable, "-m", "marlet", str(source), "--jobs", jobs, "-o", str(out)], capture_output=True, timeout=120
        )
        assert (result.returncode, result.stderr) == (0, b"")
        assert out.read_bytes().decode("utf-8") == expected


def test_command_streams_large_json(tmp_path, monkeypatch, capsys):
    """JSON over the size limit streams; its errors name the byte offset."""
    monkeypatch.setattr(_cli, "JSON_WHOLE_LIMIT", 0)
    source = tmp_path / "in.json"
    source.write_text('[{"a":"1","b":"2"},{"c":"3"}]')
    assert _cli.main([str(source), "-o", str(tmp_path / "out.marlc")]) == 0
    assert (tmp_path / "out.marlc").read_text() == "a:1\nb:2\n\nc:3\n\n"
    source.write_text('[{"a":"1"},{"b":2}]')
    assert _cli.main([str(source), "-o", str(tmp_path / "bad.json")]) == 1
    assert capsys.readouterr().err == (
        f"marlet: error: {source}: a member value is not a string at byte offset 16\n"
    )
    assert not (tmp_path / "bad.json").exists()


def test_names_of_the_longest_length_can_be_written(tmp_path):
    source, target = tmp_path / "in.marl", tmp_path / ("x" * 250 + ".json")  # 255 bytes, the usual limit
    source.write_text("a: 1\n")
    for write_to in (marlet.write, lambda t, _: marlet.convert(source, t), lambda t, _: _cli.main([str(source), "-o", str(t)])):
        target.unlink(missing_ok=True)
        write_to(target, [{"a": "1"}])
        assert marlet.read(target) == [{"a": "1"}]
