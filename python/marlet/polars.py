"""Read Marlet files into Polars, lazily.

:func:`scan_marl` gives a :class:`polars.LazyFrame` whose query reaches
the native column reader of :func:`marlet.iter_arrow`: only the columns
the query needs are built, reading stops once a row limit is met, and a
filter is applied to each batch as it is read, so the whole file is never
held at once.  Every collect reads the file afresh.

Needs ``pip install marlet[polars]``.
"""

from __future__ import annotations

import contextlib
import importlib
import os
from typing import Any, Generator, Iterator, List, Optional, Sequence, cast

from . import _arrow
from ._io import StrPath

# polars is typed, but its plugin interface is unstable: the frames below
# are typed Any.
try:
    _pl: Any = importlib.import_module("polars")
    _register_io_source: Any = importlib.import_module("polars.io.plugins").register_io_source
except ImportError as exc:  # exercised in a subprocess by the tests
    raise ImportError("marlet.polars needs polars; install it with: pip install marlet[polars]") from exc

__all__ = ["scan_marl", "read_marl"]


def _batches(
    path: str,
    format: str,
    names: List[str],
    fixed: bool,
    with_columns: Optional[List[str]],
    predicate: Any,
    n_rows: Optional[int],
    batch_size: Optional[int],
) -> Iterator[Any]:
    """The frames of a scan, one per batch the native reader builds."""
    left = n_rows
    if left is not None and left <= 0:
        return
    rows = batch_size or _arrow._BATCH_ROWS
    if left is not None:
        rows = min(rows, left)
    # A projection, or columns given, is built as such; otherwise every key
    # is read, so that one the sample missed is caught rather than dropped.
    wanted = with_columns if with_columns is not None else names if fixed else None
    pa = _arrow._pyarrow("polars.scan_marl")
    seen = 0
    # Closed when the query stops early, so that the file is closed at once.
    # A row limit is read chunk by chunk on one thread, so that no more of
    # the file is read than the rows need; otherwise on every core.
    jobs = 1 if left is not None else None
    reader = cast(Generator[Any, None, None], _arrow.iter_arrow(path, format, columns=wanted, batch_rows=rows, jobs=jobs))
    with contextlib.closing(reader) as batches:
        for batch in batches:
            if wanted is None:
                batch = _arrow.conform(batch, names, f"{path} (row {seen} on)", "pass columns= to scan_marl")
            seen += batch.num_rows
            if left is not None:
                batch = batch.slice(0, left)
                left -= batch.num_rows
            # A batch without columns keeps its height only as a table; the
            # empty key keeps its name, which from_arrow replaces.
            frame = _pl.from_arrow(pa.Table.from_batches([batch]))
            frame.columns = batch.schema.names
            yield frame if predicate is None else frame.filter(predicate)
            if left == 0:
                return


def scan_marl(source: StrPath, *, format: Optional[str] = None, columns: Optional[Sequence[str]] = None) -> Any:
    """A :class:`polars.LazyFrame` of the records of a ``.marl``, ``.marlc``
    or JSON file, one nullable ``String`` column per key, one row per
    record, as :func:`marlet.read_arrow` reads them.

    ``source`` is a path; the format is ``format`` when given, else the
    path's suffix.  A file object is refused: a LazyFrame may be collected
    more than once, and a stream can be read only once (use
    ``polars.from_arrow(marlet.read_arrow(f))`` for one).

    The columns are ``columns`` when given, each name once (other keys are
    skipped, a column no record has is all null); else the keys of the
    first MiB of the file, in the order they are first seen.  Each column
    is named by its key, the empty one too (``polars.from_arrow`` renames
    that one).  A key that appears only later makes a query that needs every
    column fail with a message asking for ``columns``, rather than drop its
    values.

    A query's column selection, row limit (``head``, ``limit``) and filter
    are pushed into the reader: only the selected columns are built,
    reading stops once the limit is met, and each batch is filtered as
    it comes.
    """
    if not isinstance(source, (str, os.PathLike)):
        raise TypeError(
            f"scan_marl reads a path (str or os.PathLike), not {type(source).__name__}: "
            "a LazyFrame may be read more than once"
        )
    path = os.fspath(source)
    chosen = _arrow._format(path, format)
    names = _arrow.column_names(columns)  # a copy, which later changes to `columns` do not reach
    fixed = names is not None
    known = names if names is not None else _arrow.sample_columns(path, chosen, "polars.scan_marl")

    def scan(with_columns: Optional[List[str]], predicate: Any, n_rows: Optional[int], batch_size: Optional[int]) -> Iterator[Any]:
        return _batches(path, chosen, known, fixed, with_columns, predicate, n_rows, batch_size)

    return _register_io_source(scan, schema={name: _pl.String for name in known})


def read_marl(source: StrPath, *, format: Optional[str] = None, columns: Optional[Sequence[str]] = None) -> Any:
    """The records of a file as a :class:`polars.DataFrame`: the collected
    :func:`scan_marl`."""
    return scan_marl(source, format=format, columns=columns).collect()
