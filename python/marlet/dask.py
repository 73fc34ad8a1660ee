"""Read Marlet files into Dask collections, on one machine or a cluster.

Each file is split into blocks of about ``blocksize`` bytes; a block's
partition holds the records that begin in it (see :func:`marlet.read_range`:
block edges move forward to cut points), so the partitions together hold
every record of the files once, in order.  Files are opened with fsspec,
so paths, globs, lists and any fsspec URL (``s3://``, ``gcs://``, ...)
work; a worker opens its blocks itself, so on a cluster the files must be
where every worker can reach them.  A compressed file (``x.marl.gz``, see
:func:`marlet.read`) cannot be split: it is one partition.

Needs ``pip install marlet[dask]``.
"""

from __future__ import annotations

import functools
import importlib
from typing import Any, Callable, List, Optional, Sequence, Tuple, Union

from . import _arrow
from ._io import Records

# dask and fsspec are typed loosely or not at all: the collections below
# are typed Any.
try:
    _bag: Any = importlib.import_module("dask.bag")
    _dataframe: Any = importlib.import_module("dask.dataframe")
    _delayed: Any = importlib.import_module("dask.delayed").delayed
    _parse_bytes: Any = importlib.import_module("dask.utils").parse_bytes
    _fsspec: Any = importlib.import_module("fsspec")
except ImportError as exc:  # exercised in a subprocess by the tests
    raise ImportError("marlet.dask needs dask and fsspec; install them with: pip install marlet[dask]") from exc

__all__ = ["read_marl", "read_marl_dataframe"]

UrlPath = Union[str, Sequence[str]]

def _blocks(urlpath: UrlPath, blocksize: Union[int, str], format: Optional[str]) -> Tuple[Any, List[_arrow.Block]]:
    size = _parse_bytes(blocksize) if isinstance(blocksize, str) else int(blocksize)
    return _arrow.blocks(urlpath, size, format, "dask")


def _block(fs: Any, block: _arrow.Block, read: Callable[..., Any], *args: Any) -> Any:
    """What ``read`` gives for the records of a block (see marlet.read_range)."""
    with _arrow.open_block(fs, block) as fp:
        return read(fp, block.format, block.start, block.stop, block.size, *args)


def read_marl(urlpath: UrlPath, *, blocksize: Union[int, str] = "64 MiB", format: Optional[str] = None) -> Any:
    """A :class:`dask.bag.Bag` of the records (``dict[str, str]``) of one or
    more ``.marl`` / ``.marlc`` files: a path, a glob, a list of them or
    fsspec URLs.  The format is ``format``, else each file's suffix."""
    fs, blocks = _blocks(urlpath, blocksize, format)
    parts = [_delayed(_block)(fs, block, _arrow.range_records) for block in blocks]
    return _bag.from_delayed(parts)


def _frame_partition(fs: Any, block: _arrow.Block, names: List[str], fixed: bool, columns: Optional[List[str]] = None) -> Any:
    # Dask passes `columns` when the computation needs only some of them
    # (column projection); only those are built then.
    if columns is not None:
        return _block(fs, block, _arrow.range_arrow, list(columns)).to_pandas()
    table = _block(fs, block, _arrow.range_arrow, names if fixed else None)
    if not fixed:
        table = _arrow.conform(table, names, f"{block.path} (byte {block.start} on)", "pass columns= to read_marl_dataframe")
    return table.to_pandas()


def read_marl_dataframe(
    urlpath: UrlPath,
    *,
    blocksize: Union[int, str] = "64 MiB",
    columns: Optional[Sequence[str]] = None,
    format: Optional[str] = None,
) -> Any:
    """A :class:`dask.dataframe.DataFrame` of the records of one or more
    ``.marl`` / ``.marlc`` files, one string column per key, each partition
    built by :func:`marlet.read_arrow`'s native column reader.

    The columns are ``columns`` when given (other keys are skipped), else
    the keys of the first records of the first file (its first MiB), in
    the order they are first seen.  A key that appears only later makes
    the computation fail with a message asking for ``columns``, rather
    than drop its values.
    """
    pa = _arrow._pyarrow("dask.read_marl_dataframe")
    names = _arrow.column_names(columns)
    fs, blocks = _blocks(urlpath, blocksize, format)
    fixed = names is not None
    if names is None:
        with _arrow.open_block(fs, blocks[0]) as fp:
            names = _arrow.sample_columns(fp, blocks[0].format, "dask.read_marl_dataframe")
    meta = pa.table([pa.array([], pa.string()) for _ in names], names=names).to_pandas()
    return _dataframe.from_map(
        functools.partial(_frame_partition, fs, names=names, fixed=fixed),
        blocks,
        meta=meta,
        label="read-marl",
        enforce_metadata=False,
    )
