"""read_arrow / iter_arrow against read(), dump_arrow against dump(),
read_range over random splits, and the Arrow export's ownership (nothing
leaks, dropped streams free)."""

import array
import gc
import io
import os
import subprocess
import sys
import tempfile
import tracemalloc
from unittest import mock

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import marlet
from marlet import _arrow, _ext
from conftest import Unseekable, table_of
from marl_reference import marl_texts, records_strategy

try:
    import pyarrow as pa
except ImportError:  # the tests of the Arrow functions skip; the message test runs
    pa = None

arrow = pytest.mark.skipif(pa is None, reason="pyarrow is not installed")


def assert_same(table, records, ordered, columns=None):
    expected = table_of(records, columns)
    if not ordered:  # the records' own key order means nothing
        assert sorted(table.column_names) == sorted(expected.column_names)
        table = table.select(expected.column_names)
    assert table.column_names == expected.column_names
    assert table.num_rows == len(records)
    assert table.to_pylist() == [{c: r.get(c) for c in expected.column_names} for r in records]


def without_nul_keys(text):
    # Arrow field names are C strings: a key holding NUL is refused.
    return text.replace("\x00", "")


def load(data, format):  # the records of a file holding `data`, as the package's readers give them
    return getattr(marlet, f"load_{format}")(io.BytesIO(data))


def outcome(call, *args, **options):  # what a call returns, or the refusal it raises
    try:
        return call(*args, **options)
    except marlet.MarletError as error:
        return type(error), str(error)


JSON_FORMS = st.builds(lambda r: (marlet.dumps_json([{without_nul_keys(k): v for k, v in x.items()} for x in r], indent=1), "json"), records_strategy)


@arrow
@given(
    document=st.tuples(marl_texts, st.sampled_from(["marl", "marlc"])) | JSON_FORMS, step=st.integers(1, 64),
    jobs=st.sampled_from([1, 2, 3, 5]), round=st.integers(1, 48), bad=st.none() | st.integers(0, 300), batch_rows=st.integers(1, 4),
    picked=st.none() | st.lists(st.sampled_from(["k", "key", "a b", "é", "missing"]), unique=True),
    out=st.sampled_from(["marl", "marlc", "json"]), lossy=st.booleans(), kind=st.sampled_from(["string", "large_string", "string_view"]),
)
def test_arrow_readers_match_read_on_any_jobs_and_dump_arrow_dump(document, step, jobs, round, bad, batch_rows, picked, out, lossy, kind):
    text, format = document
    data = (without_nul_keys(text) if picked is None else text).encode()
    data = data if bad is None else data[:bad] + b"\xff" + data[bad:]  # ill-formed UTF-8: the same offset from every reader
    table = outcome(marlet.read_arrow, Unseekable(data, step), format, columns=picked, jobs=1)
    with mock.patch.object(_arrow, "_ROUND", round):  # many rounds, many pieces
        assert outcome(marlet.read_arrow, Unseekable(data, step), format, columns=picked, jobs=jobs) == table
        if bad is not None:
            return
        batches = list(marlet.iter_arrow(io.StringIO(data.decode()), format, columns=picked, batch_rows=batch_rows, jobs=jobs))
    records, ordered, end = load(data, format), format != "marlc" or picked is not None, 0
    assert_same(table, records, ordered, columns=picked)
    assert table.schema.equals(pa.schema([pa.field(n, pa.string()) for n in table.column_names]))
    for batch in batches:  # at most batch_rows rows; the keys seen up to the batch's end, in the order first seen
        end += batch.num_rows
        keys = picked if picked is not None else list(dict.fromkeys(k for r in records[:end] for k in r))
        assert 0 < batch.num_rows <= batch_rows and (batch.schema.names == keys or not ordered)
    if format != "json" and table.num_columns:  # concat_tables drops the rows of tables with no column (JSON's {})
        tables = [pa.Table.from_batches([b]) for b in batches] or [table_of([], picked)]
        assert_same(pa.concat_tables(tables, promote_options="default"), records, ordered, columns=picked)
    # And back: dump_arrow writes what dump writes for the rows, a null leaving its key out.
    rows = [{k: v for k, v in row.items() if v is not None} for row in table.to_pylist()]
    cast = table.cast(pa.schema([(n, kind) for n in table.column_names])) if table.num_columns else table  # else the rows are lost
    arrow_dump = outcome(lambda: marlet.dump_arrow(cast.to_batches(batch_rows), fp := io.BytesIO(), out, lossy=lossy) or fp.getvalue())
    assert arrow_dump == outcome(lambda: marlet.dump(rows, fp := io.BytesIO(), out, lossy=lossy) or fp.getvalue())


@arrow
@settings(max_examples=300)
@given(
    text=st.sampled_from(["", "\ufeff"]).flatmap(lambda bom: marl_texts.map(lambda t: bom + t)),
    format=st.sampled_from(["marl", "marlc"]),
    cuts=st.lists(st.integers(0, 200)),
    chunk=st.sampled_from([1, 2, 5, 1 << 22]),
)
def test_read_range_partitions_concatenate(text, format, cuts, chunk):
    data = text.encode()
    edges = sorted({0, len(data), *(c for c in cuts if c <= len(data))})
    with tempfile.NamedTemporaryFile(suffix="." + format, delete=False) as f:
        f.write(data)
    saved, _arrow._CHUNK = _arrow._CHUNK, chunk
    try:
        got = [r for a, b in zip(edges, edges[1:]) for r in marlet.read_range(f.name, a, b)]
        assert marlet.read_range(f.name, 3, 3) == []
    finally:
        _arrow._CHUNK = saved
        os.unlink(f.name)
    assert got == load(data, format)


@arrow
def test_huge_record_between_small_ones(tmp_path):
    big = "".join(f"  field{i}: {'v' * 40}\n" for i in range(120_000))  # ~6 MB, no cut point inside
    path = tmp_path / "big.marl"
    path.write_text("a: 1\n" + big + "end: x\nb: 2\n")
    size = path.stat().st_size
    edges = list(range(0, size, 1 << 20)) + [size]
    parts = [marlet.read_range(path, a, b) for a, b in zip(edges, edges[1:])]
    assert [len(p) for p in parts if p] == [2, 1] and sum(parts, []) == marlet.read(path)
    assert_same(marlet.read_arrow(path), marlet.read(path), ordered=True)


def batch_of(kind, rows, offsets, data, type="i"):
    """A batch of one column "a" made from raw buffers, which pyarrow checks only in part."""
    buffers = [None, pa.py_buffer(array.array(type, offsets).tobytes()), pa.py_buffer(data)]
    return pa.record_batch([pa.Array.from_buffers(getattr(pa, kind)(), rows, buffers)], names=["a"])


def dump_marl(data):
    marlet.dump_arrow(data, io.BytesIO(), "marl")


@arrow
@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda path: marlet.read_arrow(io.BytesIO(b"")), ValueError, "format="),
        (lambda path: marlet.read_range(path, 0, 1, "json"), ValueError, "cut points"),
        (lambda path: marlet.read_arrow(io.BytesIO(b"a\x00b: 1\n"), "marl"), ValueError, "NUL"),  # Arrow field names are C strings
        (lambda path: dump_marl(pa.table({"a\x00b": ["x"]})), ValueError, "NUL"),
        (lambda path: dump_marl(pa.table({"n": [1]})), TypeError,
         "^column 'n' has Arrow format 'l'; only string, large_string and string_view columns can be written$"),
        (lambda path: dump_marl(pa.table([["x"], ["y"]], names=["a", "a"])), ValueError, "column 'a' occurs twice"),
        # Records count across batches; a bad batch is refused before any of its rows is written.
        (lambda path: dump_marl([batch_of("string", 1, [0, 1], b"a"), batch_of("string", 3, [0, 3, 1, 4], b"abcd")]), ValueError,
         "^record 2, column 'a': the offsets decrease$"),
        (lambda path: dump_marl([batch_of("string", 2, [0, 1, 2], "é".encode())]), ValueError, "^record 0, column 'a': the value is not UTF-8$"),
        (lambda path: dump_marl([batch_of("large_string", 1, [0, 2], b"a\xff", "q")]), ValueError, "not UTF-8"),
        (lambda path: dump_marl([batch_of("string_view", 1, [20, 0, 5, 0], b"x" * 10)]), ValueError, "view points outside its data buffer"),
        # What the batches raise comes out as it is, not as the stream's text.
        (lambda path: dump_marl(b if i == 0 else 1 / 0 for i, b in enumerate([pa.record_batch({"a": ["x"]})] * 2)), ZeroDivisionError,
         "division by zero"),
    ],
)
def test_arrow_functions_refuse_bad_input(tmp_path, call, error, message):
    (tmp_path / "r.marlc").write_text("a: 1\nb: 2\n\nc: 3\n")
    assert marlet.read_arrow(tmp_path / "r.marlc").num_rows == 2  # the format from the suffix
    with pytest.raises(error, match=message):
        call(tmp_path / "r.marlc")


@arrow
@pytest.mark.parametrize(
    "data, format, pos",
    [
        (b"a: 1\n  b: \xff\n", "marl", 10),
        (b"\xef\xbb\xbfa: \xff\n", "marl", 6),  # counted in the file, mark included
        (b"\xef", "marl", 0),  # the start of a mark, but not one
        (b'[{"a": 1}]', "json", 7),
        (b"[{}", "json", 3),
    ],
)
def test_bad_input_names_the_offset(tmp_path, data, format, pos):
    path = tmp_path / f"in.{format}"
    path.write_bytes(data)
    readers = [lambda: marlet.read_arrow(io.BytesIO(data), format, jobs=1), lambda: list(marlet.iter_arrow(path, jobs=2))]
    if format != "json" and pos > 0:  # a range from byte 1 on starts after the first record, or at the mark's end
        readers.append(lambda: marlet.read_range(path, 1, len(data)))
    for read in readers:
        with pytest.raises(marlet.StreamError, match=f"offset {pos}\\b") as caught:
            read()
        assert caught.value.pos == pos


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


DOC = ("".join(f"  id: {i}\n  name: név {i}\n  tag: {i % 3}\nend: {i}\n" for i in range(200))).encode()


@arrow
@pytest.mark.parametrize(
    "trip",
    [
        pytest.param(lambda: marlet.read_arrow(io.BytesIO(DOC), "marl").column(1)[5], id="read"),
        pytest.param(lambda: outcome(marlet.read_arrow, io.BytesIO(DOC + b"\xff"), "marl", jobs=2), id="refused"),
        pytest.param(lambda: _ext.arrow_take(_builder_fed(), True), id="capsule-dropped"),
        pytest.param(lambda: _arrow._reader(pa, _ext.arrow_take(_builder_fed(), True)).schema, id="stream-unread"),
        pytest.param(lambda: marlet.dump_arrow(marlet.read_arrow(io.BytesIO(DOC), "marl"), io.BytesIO(), "marlc"), id="dump"),
    ],
)
def test_export_leaks_nothing(trip):
    for _ in range(500):
        trip()
    gc.collect()
    tracemalloc.start()
    before_rss, (before_py, _) = rss(), tracemalloc.get_traced_memory()
    for _ in range(10_000):
        trip()
    gc.collect()
    after_py, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    # Each trip allocates ~15 kB of column buffers; a leak would show as
    # well over 100 MB.
    assert after_py - before_py < 256 * 1024
    # AddressSanitizer keeps freed blocks in quarantine, so RSS grows there.
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert rss() - before_rss < 16 * 1024 * 1024


def _builder_fed():
    b = _ext.arrow_builder("marl", None, 64)
    _ext.arrow_feed(b, DOC)
    return b


@pytest.mark.parametrize(
    "step, message",
    [
        ('marlet.read_arrow(io.BytesIO(b""), "marl")', "marlet.read_arrow needs pyarrow; install it with: pip install marlet[arrow]"),
        ("import marlet.dask", "marlet.dask needs dask and fsspec; install them with: pip install marlet[dask]"),
        ("import marlet.polars", "marlet.polars needs polars; install it with: pip install marlet[polars]"),
        ("import marlet.spark", "marlet.spark needs pyspark; install it with: pip install marlet[spark]"),
        ('marlet.write("x.marl.zst", [])', "marlet needs zstandard for .zst files; install it with: pip install marlet[zstd]"),
    ],
)
def test_without_an_extra_the_error_says_what_to_install(step, message):
    script = f"""import sys
sys.modules.update(dict.fromkeys(["pyarrow", "dask", "fsspec", "polars", "pyspark", "zstandard"]))
import io, marlet
print(marlet.read_range.__name__)
try:
    {step}
except ImportError as e:
    print(e)"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True, cwd=tempfile.gettempdir()
    ).stdout
    assert out == f"read_range\n{message}\n"
