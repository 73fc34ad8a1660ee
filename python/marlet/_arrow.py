"""Records as Arrow tables, built in native code and handed over through
the Arrow C stream interface, and Arrow string columns written as records;
and the records of a byte range of a file,
so that pieces of a file can be read independently (see marlet.dask and
marlet.spark)."""

from __future__ import annotations

import collections
import contextlib
import importlib
import io
import itertools
import os
import sys
from typing import IO, Any, Callable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

from ._dispatch import FORMATS, READABLE, _options, compression_of, decompressed, format_name, open_file
from ._errors import FormatError, native_stream_error, stream_utf8_error
from ._io import BOM, Records, StrPath, Writable, bom_length, byte_writer, chunks
from ._native import parse_marl, parse_marl_compact
from ._stream import job_count
from ._text import loss_error

# The private native helpers; pyarrow has no type stubs, so the tables and
# batches below are typed Any.
_ext: Any = importlib.import_module("marlet._ext")

__all__ = ["read_arrow", "iter_arrow", "dump_arrow", "read_range"]

Source = Union[StrPath, IO[bytes], IO[str]]

# Rows per record batch, and bytes read from a file at a time.
_BATCH_ROWS = 1 << 16
_CHUNK = 1 << 22
# Bytes of text read to find the columns when none are given.
_SAMPLE = 1 << 20
# Input bytes per round of the cut-point workers, shared among the jobs.
_ROUND = 8 << 20


def _pyarrow(caller: str) -> Any:
    try:
        return importlib.import_module("pyarrow")
    except ImportError as exc:
        raise ImportError(f"marlet.{caller} needs pyarrow; install it with: pip install marlet[arrow]") from exc


class _Capsule:
    """Hands a native ``arrow_array_stream`` capsule to pyarrow once."""

    __slots__ = ("_capsule",)

    def __init__(self, capsule: object) -> None:
        self._capsule = capsule

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        capsule, self._capsule = self._capsule, None
        if capsule is None:
            raise RuntimeError("this Arrow stream was already read")
        return capsule


def _reader(pa: Any, capsule: object) -> Any:
    return pa.RecordBatchReader.from_stream(_Capsule(capsule))


def _batches(pa: Any, builder: object, flush: bool, skipped: int) -> Iterator[Any]:
    """The finished batches, one at a time, each with its own columns."""
    while True:
        batches = list(_reader(pa, _step(skipped, _ext.arrow_take, builder, flush, True)))
        if not batches:
            return
        yield from batches


def _format(source: object, format: Optional[str]) -> str:
    """The format given, else the one of the suffix of the path or of the
    file object's name."""
    name = source if isinstance(source, (str, os.PathLike)) else getattr(source, "name", None)
    return format_name(name, format, READABLE)


def _step(skipped: int, function: Any, *args: Any) -> Any:
    """Calls a column builder's native step; ill-formed input raises the
    package's StreamError with its byte offset in the file (the reader
    counts from `skipped` bytes into it)."""
    try:
        return function(*args)
    except ValueError as error:
        raise (native_stream_error(error, skipped) or error) from None


@contextlib.contextmanager
def _opened(source: Source) -> Iterator[Any]:
    """A path opened for reading (decompressed when its suffix names a
    compression), closed afterwards; a file object as it is."""
    if isinstance(source, (str, os.PathLike)):
        with open_file(source) as fp:
            yield fp
    elif hasattr(source, "read"):
        yield source
    else:
        raise TypeError(f"expected a path or a file object, not {type(source).__name__}")


def _native_file(source: Source, fp: Any) -> Any:
    """What the cut-point workers read from: the descriptor of a plain file
    opened here (nothing has gone through its buffer), so that they read
    it with no Python call, else the file object."""
    return fp.fileno() if fp is not source and type(fp) is io.BufferedReader else fp


@contextlib.contextmanager
def _chunks(source: Source) -> Iterator[Tuple[int, Iterator[bytes]]]:
    """The text of a path or a file object in chunks, and the length of the
    byte-order mark dropped before them; a path is closed afterwards."""
    with _opened(source) as fp:
        yield chunks(fp, _CHUNK)


def column_names(columns: Optional[Sequence[str]]) -> Optional[List[str]]:
    """The ``columns`` argument as a list of str.  A table has one column
    per name, so a name given twice is refused rather than dropped or
    doubled."""
    if columns is None:
        return None
    if isinstance(columns, str):
        raise TypeError("columns must be a sequence of str, not a str")
    names = list(columns)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"columns must hold str, not {type(name).__name__}")
    repeated = [name for name, count in collections.Counter(names).items() if count > 1]
    if repeated:
        raise ValueError(f"columns holds {', '.join(map(repr, repeated))} more than once; name each column once")
    return names


def _builder(format: str, columns: Optional[Sequence[str]], batch_rows: int, jobs: int = 1) -> object:
    """A native column builder; with more than one job, one that reads the
    text itself on that many cut-point workers (arrow_read)."""
    if jobs > 1:
        return _ext.arrow_builder(format, column_names(columns), batch_rows, jobs, _ROUND)
    return _ext.arrow_builder(format, column_names(columns), batch_rows)


def _reading(
    source: Source, format: Optional[str], columns: Optional[Sequence[str]], batch_rows: int, jobs: Optional[int]
) -> Tuple[object, int]:
    """The column builder of a whole-file reader, and the threads that read
    the text: ``jobs`` for .marl and .marlc, one for JSON (no cut points)."""
    chosen = _format(source, format)
    threads = job_count(jobs) if chosen in ("marl", "marlc") else 1
    return _builder(chosen, columns, batch_rows, threads), threads


def _table(pa: Any, builder: object, chunks: Iterator[bytes], skipped: int) -> Any:
    """The table of the records in ``chunks``, which start ``skipped`` bytes
    into the file."""
    for chunk in chunks:
        _step(skipped, _ext.arrow_feed, builder, chunk)
    return _reader(pa, _step(skipped, _ext.arrow_take, builder, True)).read_all()


def sample_columns(source: Source, format: str, caller: str) -> List[str]:
    """The keys met in the first MiB of the text, in the order they are
    first seen: the columns of a reader that must fix them before reading
    the rest (see :func:`conform`)."""
    pa = _pyarrow(caller)
    builder = _builder(format, None, _BATCH_ROWS)
    with _chunks(source) as (skipped, data):
        left = _SAMPLE
        for chunk in data:
            _step(skipped, _ext.arrow_feed, builder, chunk[:left])
            left -= len(chunk)
            if left <= 0:
                break
        # A text shorter than the sample is read to its end, last record included.
        return list(_reader(pa, _step(skipped, _ext.arrow_take, builder, left > 0)).schema.names)


def conform(table: Any, columns: List[str], where: str, advice: str) -> Any:
    """The table or batch with exactly ``columns``, in that order, the
    missing ones null.  ``columns`` came from :func:`sample_columns`; a key
    beyond them first appears after the sample, and raises ValueError
    (``where`` says where, ``advice`` how to name the columns) rather than
    lose its values."""
    pa = _pyarrow("read_arrow")
    known = set(columns)
    extra = [name for name in table.schema.names if name not in known]
    if extra:
        raise ValueError(f"{where}: keys {extra} first appear after the sample the columns were taken from; {advice}")
    have = set(table.schema.names)
    arrays = [table.column(c) if c in have else pa.nulls(table.num_rows, pa.string()) for c in columns]
    return type(table).from_arrays(arrays, names=columns) if columns else table.select([])


def read_arrow(
    source: Source, format: Optional[str] = None, *, columns: Optional[Sequence[str]] = None, jobs: Optional[int] = None
) -> Any:
    """Read the records of a file into a :class:`pyarrow.Table`.

    ``source`` is a path or a file object (binary, or text); the format is
    ``format`` when given, else the suffix of the path (or of the file
    object's ``name``), which a compression's suffix may follow for a
    compressed file (``x.marl.gz``, see :func:`marlet.read`).  The table
    has one nullable ``string`` column per key, in the order keys are first
    seen, or exactly ``columns`` when given, each name once (other keys are
    skipped, a column no record has is all null); one row per record; a
    key repeated in a record holds its last value.

    ``.marl`` and ``.marlc`` text is read on ``jobs`` threads (default: one
    per CPU), in rounds of a few megabytes cut where records begin; the
    table is the same for any number.  JSON is read on one.

    Raises :class:`StreamError` (a :class:`MarletError`, so a
    :class:`ValueError`) with the byte offset ``pos`` for text that is not
    valid UTF-8 or JSON that is not an array of objects of strings, and
    :class:`ImportError` without pyarrow.
    """
    pa = _pyarrow("read_arrow")
    builder, threads = _reading(source, format, columns, _BATCH_ROWS, jobs)
    if threads > 1:
        with _opened(source) as fp:
            _step(0, _ext.arrow_read, builder, _native_file(source, fp), True)
        return _reader(pa, _step(0, _ext.arrow_take, builder, True)).read_all()
    with _chunks(source) as (skipped, data):
        return _table(pa, builder, data, skipped)


def iter_arrow(
    source: Source,
    format: Optional[str] = None,
    *,
    columns: Optional[Sequence[str]] = None,
    batch_rows: int = _BATCH_ROWS,
    jobs: Optional[int] = None,
) -> Iterator[Any]:
    """Read a file as :class:`pyarrow.RecordBatch` es of at most
    ``batch_rows`` rows, holding one batch and one chunk of text at a time.

    Columns are as for :func:`read_arrow`.  Without ``columns`` a batch has
    every column seen up to its end: a key first seen later adds a column
    at the end of the schema (null in the rows before), so each batch's
    schema extends the one before (``pyarrow.concat_tables(...,
    promote_options="default")`` or ``polars.concat(..., how="diagonal")``
    join them).  Pass ``columns`` to give every batch the same schema.

    ``.marl`` and ``.marlc`` text is read on ``jobs`` threads (default: one
    per CPU), a round of a few megabytes at a time (two rounds are held
    then): the rows, the columns and their order are the same for any
    number, though where batches end may differ (each piece of a round
    ends one).  JSON is read on one.
    """
    pa = _pyarrow("iter_arrow")
    builder, threads = _reading(source, format, columns, batch_rows, jobs)
    if threads > 1:
        with _opened(source) as fp:
            file = _native_file(source, fp)
            while _step(0, _ext.arrow_read, builder, file, False):
                yield from _batches(pa, builder, False, 0)
        yield from _batches(pa, builder, True, 0)
        return
    with _chunks(source) as (skipped, data):
        yield from _fed_batches(pa, builder, data, skipped)


def _fed_batches(pa: Any, builder: object, chunks: Iterator[bytes], skipped: int) -> Iterator[Any]:
    """The batches of the records in ``chunks``, each as soon as it is
    full; the chunks start ``skipped`` bytes into the file."""
    for chunk in chunks:
        _step(skipped, _ext.arrow_feed, builder, chunk)
        yield from _batches(pa, builder, False, skipped)
    yield from _batches(pa, builder, True, skipped)


def _schema_and_batches(pa: Any, data: Any) -> Tuple[Any, Iterator[Any]]:
    """The schema and the record batches of a table, a batch, a reader or
    an iterable of batches (the first fixes the schema; none: no columns)."""
    if isinstance(data, pa.RecordBatch):
        return data.schema, iter([data])
    if isinstance(data, (pa.Table, pa.RecordBatchReader)):
        return data.schema, iter(data.to_batches() if isinstance(data, pa.Table) else data)
    batches = iter(data)
    first = next(batches, None)
    if first is None:
        return pa.schema([]), batches
    return first.schema, itertools.chain([first], batches)


def dump_arrow(data: Any, fp: Writable, format: str, *, lossy: bool = False) -> None:
    """Write the rows of Arrow string columns to a file object as records.

    ``data`` is a :class:`pyarrow.Table`, a :class:`pyarrow.RecordBatch`, a
    :class:`pyarrow.RecordBatchReader` or an iterable of record batches of
    one schema, whose columns are ``string``, ``large_string`` or
    ``string_view`` (another type raises :class:`TypeError` naming the
    column, a name used twice :class:`ValueError`).  Each row is a record:
    its fields in column order, a null leaving that key out.  ``format``
    is ``"marl"``, ``"marlc"`` or ``"json"``; the bytes are those
    :func:`marlet.dump` writes for the same records, and what it refuses
    (:class:`LossyWriteError`, the index counting rows across all batches)
    is refused here unless ``lossy``.  The rows are written in native
    code with the GIL released, reaching ``fp`` in pieces of about a MiB.
    A damaged array (offsets out of order or beyond the data, values that
    are not UTF-8) raises :class:`ValueError` before any row of its batch
    is written.
    """
    pa = _pyarrow("dump_arrow")
    chosen = format_name(None, format, READABLE)
    _options(FORMATS[chosen], lossy=lossy)
    schema, batches = _schema_and_batches(pa, data)
    for name in schema.names:
        if "\x00" in name:  # the C interface would cut the name there
            raise ValueError(f"the column {name!r} holds a NUL character, which an Arrow field name cannot")
    failed: List[BaseException] = []

    def checked() -> Iterator[Any]:
        # The C interface carries no buffer sizes: pyarrow checks those.
        # What the batches raise crosses it only as text, so it is kept.
        try:
            for batch in batches:
                batch.validate()
                yield batch
        except BaseException as error:
            failed.append(error)
            raise

    stream = pa.RecordBatchReader.from_batches(schema, checked())
    try:
        _ext.dump_arrow(stream.__arrow_c_stream__(), chosen, lossy, byte_writer(fp), loss_error(chosen))
    except Exception:
        if failed:
            raise failed[0] from None
        raise


# --------------------------------------------------------------------------
# Byte ranges


def _line_start(fp: Any, offset: int, origin: int) -> int:
    """The offset where the line holding byte ``offset`` starts, found by
    reading backwards from it."""
    pos, step = offset, 4096
    while pos > origin:
        low = max(origin, pos - step)
        fp.seek(low)
        data: bytes = fp.read(pos - low)
        found = data.rfind(b"\n")
        if found >= 0:
            return low + found + 1
        pos, step = low, min(step * 4, _CHUNK)
    return origin


def _cut(fp: Any, format: str, offset: int, size: int, origin: int) -> int:
    """The first cut point at or after ``offset`` in a file of ``size``
    bytes: ``origin`` (where the text starts) for offsets up to it, ``size``
    when none follows.  Reads in chunks from the start of the line holding
    the byte before ``offset`` (whether ``offset`` itself is a cut point
    depends on that line), keeping only the unfinished line between chunks."""
    if offset <= origin:
        return origin
    if offset >= size:
        return size
    base = _line_start(fp, offset - 1, origin)
    fp.seek(base)
    buf = b""
    at = offset - base  # where in buf the search starts
    while True:
        chunk = fp.read(_CHUNK)
        if not chunk:
            return size
        buf += chunk
        if len(buf) < at:
            continue
        cut: int = _ext.cut_point(format, buf, at)
        if cut >= 0:
            return base + cut
        # Keep the line that holds the last byte: whether the end of buf
        # is a cut point depends on it, and a search starting at 0 would
        # take 0 for one.
        keep = buf.rfind(b"\n", 0, len(buf) - 1) + 1
        base += keep
        buf = buf[keep:]
        at = len(buf)


def _span(fp: Any, format: str, start: int, stop: int, size: int) -> tuple[int, int]:
    """The text whose records begin in ``[start, stop)``: from the first cut
    point at or after ``start`` to the first at or after ``stop``."""
    if format not in ("marl", "marlc"):
        raise FormatError("byte ranges need .marl or .marlc text; the JSON form has no cut points")
    if start < 0 or stop < 0:
        raise ValueError("start and stop must not be negative")
    if stop <= start:
        return 0, 0
    fp.seek(0)
    origin = bom_length(fp.read(len(BOM)))  # where the text starts
    begin = _cut(fp, format, start, size, origin)
    end = _cut(fp, format, stop, size, origin)
    return begin, max(begin, end)


def _span_chunks(fp: Any, begin: int, end: int) -> Iterator[bytes]:
    fp.seek(begin)
    left = end - begin
    while left > 0:
        data = fp.read(min(left, _CHUNK))
        if not data:
            break
        left -= len(data)
        yield data


def range_records(fp: Any, format: str, start: int, stop: int, size: int) -> Records:
    """The records that begin in ``[start, stop)`` of an open binary file."""
    begin, end = _span(fp, format, start, stop, size)
    data = b"".join(_span_chunks(fp, begin, end))
    try:
        text = str(data, "utf-8")
    except UnicodeDecodeError as error:
        raise stream_utf8_error(data[error.start : error.start + 4], begin + error.start) from None
    return parse_marl(text) if format == "marl" else parse_marl_compact(text)


def range_arrow(
    fp: Any, format: str, start: int, stop: int, size: int, columns: Optional[Sequence[str]] = None
) -> Any:
    """The same records as a table, as :func:`read_arrow` builds it."""
    pa = _pyarrow("read_range")
    begin, end = _span(fp, format, start, stop, size)
    return _table(pa, _builder(format, columns, _BATCH_ROWS), _span_chunks(fp, begin, end), begin)


def range_batches(
    fp: Any, format: str, start: int, stop: int, size: int, columns: Optional[Sequence[str]] = None
) -> Iterator[Any]:
    """The same records as record batches, as :func:`iter_arrow` gives
    them, each built while the next part of the range is read."""
    pa = _pyarrow("read_range")
    begin, end = _span(fp, format, start, stop, size)
    yield from _fed_batches(pa, _builder(format, columns, _BATCH_ROWS), _span_chunks(fp, begin, end), begin)


def read_range(path: StrPath, start: int, stop: int, format: Optional[str] = None) -> Records:
    """The records that begin in bytes ``[start, stop)`` of a ``.marl`` or
    ``.marlc`` file.

    The range moves forward to cut points, the places where reading can
    start afresh (for ``.marl`` just after a line that does not begin with
    whitespace, for ``.marlc`` just after a blank line): it starts at the
    first cut point at or after ``start`` (or at 0) and ends at the first
    at or after ``stop``.  So for any split of a file into consecutive
    ranges, the ranges' records, concatenated, are the file's records.
    Only the range and the lines around its ends are read.  A compressed
    file has no byte ranges: it raises :class:`FormatError`.
    """
    chosen = _format(path, format)
    if compression_of(path) is not None:
        raise FormatError(f"{os.fspath(path)!r} is compressed, so a byte range of it means nothing; read it whole")
    with open(path, "rb") as fp:
        return range_records(fp, chosen, start, stop, os.fstat(fp.fileno()).st_size)


# --------------------------------------------------------------------------
# Files in blocks, for the readers that split files over workers


class Block(NamedTuple):
    """The records that begin in bytes ``[start, stop)`` of a file of
    ``size`` bytes.  A compressed file is one block, read whole."""

    path: str
    format: str
    start: int
    stop: int
    size: int


def _fsspec(caller: str) -> Any:
    try:
        return importlib.import_module("fsspec")
    except ImportError as exc:
        raise ImportError(f"marlet.{caller} needs fsspec; install it with: pip install marlet[{caller}]") from exc


def blocks(
    urlpath: Union[str, Sequence[str]], blocksize: Union[int, Callable[[List[int]], int]], format: Optional[str], caller: str
) -> Tuple[Any, List[Block]]:
    """The fsspec filesystem of a path, a glob, a list of them or fsspec
    URLs, and the blocks of about ``blocksize`` bytes of its files, in
    order (``blocksize`` may be a function of the files' sizes).  A
    directory stands for the files below it, except those whose name
    starts with ``.`` or ``_`` (unfinished or marker files of the tools
    that write such directories)."""
    fs, _, paths = _fsspec(caller).get_fs_token_paths(urlpath, mode="rb")
    files = []
    for path in paths:
        if fs.isdir(path):
            found = sorted(p for p in fs.find(path) if not any(part[:1] in "._" for part in p[len(path) :].split("/") if part))
            files.extend(found)
        else:
            files.append(path)
    if not files:
        raise FileNotFoundError(f"no files match {urlpath!r}")
    chosen = [_format(path, format) for path in files]
    for path, name in zip(files, chosen):
        if name == "json":
            raise FormatError(f"{path}: the JSON form has no cut points; use .marl or .marlc files")
    sizes = [fs.size(path) for path in files]
    per_block = blocksize(sizes) if callable(blocksize) else blocksize
    if per_block <= 0:
        raise ValueError("blocksize must be positive")
    listed = []
    for path, name, size in zip(files, chosen, sizes):
        if compression_of(path) is not None:
            # Its decompressed text, read to its end however long it is.
            listed.append(Block(path, name, 0, sys.maxsize, sys.maxsize))
            continue
        for start in range(0, max(size, 1), per_block):
            listed.append(Block(path, name, start, min(start + per_block, size), size))
    return fs, listed


def open_block(fs: Any, block: Block) -> Any:
    """A block's file opened for reading its text: decompressed when its
    suffix names a compression."""
    return decompressed(fs.open(block.path, "rb"), block.path)
