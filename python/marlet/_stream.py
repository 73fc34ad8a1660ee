"""Documents of any size: records iterated through the core's incremental
reader, and whole conversions done natively with the GIL released."""

from __future__ import annotations

import contextlib
import os
from typing import IO, Any, Callable, Dict, Iterator, Optional, Union

from . import _ext
from ._dispatch import READABLE, compression_of, format_name, open_file, replace_file
from ._errors import FormatError, LossyWriteError, native_stream_error
from ._io import StrPath, appends, chunks

__all__ = ["iter_records", "convert"]

_Reader: Any = _ext.reader_type()
_CHUNK = 8 << 20  # bytes a conversion reads at a time


def iter_records(
    source: Union[StrPath, IO[bytes], IO[str]], format: Optional[str] = None, *, chunk_size: int = 1 << 20
) -> Iterator[Dict[str, str]]:
    """Iterate over the records of a document in bounded memory.

    ``source`` is a path or a file object opened in binary or text mode;
    ``format`` is ``"marl"``, ``"marlc"`` or ``"json"``, by default taken
    from the path's suffix.  The records are those :func:`marlet.read`
    returns, in the same order; a leading byte-order mark is dropped.  At
    most about ``chunk_size`` bytes and the current record are held at a
    time.  Ill-formed input raises :class:`StreamError` (a
    :class:`ValueError`) with its byte offset, after the records before it.
    A path is opened at once and closed when the iterator is exhausted or
    closed; a file object is left open.  A compressed file (``x.marl.gz``,
    see :func:`marlet.read`) is decompressed as it is read.
    """
    fmt = format_name(source, format, READABLE, "input format")
    if chunk_size < 1:
        raise ValueError("chunk_size must be at least 1")
    if isinstance(source, (str, os.PathLike)):
        fp: Any = open_file(source)
        return _FileRecords(fp, _records(fp, fmt, chunk_size, close=True))
    return _records(source, fmt, chunk_size, close=False)


class _FileRecords(Iterator[Dict[str, str]]):
    """The records of a file that iter_records opened: close() closes the
    file even before the first record was asked for (a generator that has
    not started runs no cleanup when it is closed)."""

    def __init__(self, fp: Any, records: Iterator[Dict[str, str]]) -> None:
        self._fp = fp
        self._records = records

    def __next__(self) -> Dict[str, str]:
        return next(self._records)

    def close(self) -> None:
        self._records.close()  # type: ignore[attr-defined]
        self._fp.close()


def _records(fp: Any, fmt: str, chunk_size: int, close: bool) -> Iterator[Dict[str, str]]:
    # The native reader keeps an unfinished record itself, so a record that
    # spans many chunks costs time in proportion to its length.
    reader = _Reader(fmt)
    skipped = 0
    try:
        skipped, data = chunks(fp, chunk_size)
        for chunk in data:
            yield from reader.feed(chunk)
        yield from reader.finish()
    except ValueError as error:
        raise (native_stream_error(error, skipped) or error) from None
    finally:
        if close:
            fp.close()


def job_count(jobs: Optional[int]) -> int:
    """The threads that read .marl and .marlc text: ``jobs``, or one per
    CPU for None (at most 256)."""
    if jobs is None:
        jobs = os.cpu_count() or 1
    if not isinstance(jobs, int) or jobs < 1:
        raise ValueError("jobs must be a positive int or None")
    return min(jobs, 256)


def _endpoint(obj: Any) -> Any:
    """A path as str, or the file object itself."""
    if isinstance(obj, (str, bytes, os.PathLike)):
        return os.fsdecode(obj)
    return obj


def convert(
    source: Union[StrPath, IO[bytes]],
    destination: Union[StrPath, IO[bytes]],
    *,
    from_format: Optional[str] = None,
    to_format: Optional[str] = None,
    jobs: Optional[int] = None,
    lossy: bool = False,
) -> int:
    """Convert a document from one form to another, file to file, and
    return the number of records written.

    ``source`` and ``destination`` are paths or binary file objects.  The
    input format is ``"marl"``, ``"marlc"`` or ``"json"``, the output format
    ``"json"``, ``"marlc"``, ``"marl"`` or ``"binary"``, each taken from the
    path's suffix (``.bin`` for binary) when not given.  A compression's
    suffix may follow a path's (``x.marl.zst``, ``out.json.gz``; see
    :func:`marlet.read`): the source is decompressed and the destination
    compressed as they stream.

    The work is done in native code with no Python object per record and
    the GIL released; Ctrl-C stops it promptly.  Memory stays bounded
    whatever the file size.  ``.marl`` and ``.marlc`` input is read on
    ``jobs`` threads (default: one per CPU); the output is the same bytes
    for any number.  Each record's fields are written in document order,
    a repeated key taking its last value.  A leading byte-order mark of the
    input is dropped.

    A destination path is written through a temporary file beside it that
    replaces it (or the file a symbolic link names) only on success, with
    the replaced file's permissions: a failure or an interruption leaves no
    partial file.  A device or a pipe is written in place.  The binary
    encoding's record count is patched in at the end; to a destination that
    cannot seek or is in append mode the records are counted first, which
    needs a source that can be read twice (a path, a file that can seek),
    else :class:`FormatError` is raised before anything is written.
    Records that ``.marlc`` or ``.marl`` cannot carry raise
    :class:`LossyWriteError` unless ``lossy`` is true.  Ill-formed input
    raises :class:`StreamError`.
    """
    return _convert(source, destination, from_format, to_format, jobs, lossy=lossy)


def _convert(
    source: Any,
    destination: Any,
    from_format: Optional[str],
    to_format: Optional[str],
    jobs: Optional[int],
    *,
    lossy: bool = False,
    final_newline: bool = False,
    progress: Optional[Callable[[int], None]] = None,
) -> int:
    src = _endpoint(source)
    dst = _endpoint(destination)
    fmt_in = format_name(src, from_format, READABLE, "input format", "from_format")
    fmt_out = format_name(dst, to_format, what="output format", option="to_format")
    threads = job_count(jobs)
    to_end = not isinstance(dst, str) and appends(dst)

    try:
        with contextlib.ExitStack() as stack:
            reader: Any = src
            if isinstance(src, str) and compression_of(src) is not None:
                reader = stack.enter_context(open_file(src))
                if progress is not None:
                    # Progress counts the bytes of the file, not of the text.
                    report, raw = progress, reader.raw
                    progress = lambda _: report(raw.tell())  # noqa: E731

            def run(out: Any) -> int:
                options = (threads, _CHUNK, lossy, final_newline, progress, to_end)
                return int(_ext.convert(reader, out, fmt_in, fmt_out, *options))

            if isinstance(dst, str):
                # A compressing file object has no descriptor of its own.
                return replace_file(dst, lambda fp: run(fp if compression_of(dst) else fp.fileno()))
            return run(dst)
    except ValueError as error:
        if len(error.args) == 5 and error.args[0] == "loss":
            raise LossyWriteError(*error.args[1:]) from None
        if len(error.args) == 2 and error.args[0] == "refused":
            raise FormatError(error.args[1]) from None
        raise (native_stream_error(error) or error) from None
