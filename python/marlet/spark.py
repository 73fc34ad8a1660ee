"""Read and write Marlet files with Spark: the ``"marl"`` and ``"marlc"``
data sources of a SparkSession.

``marlet.spark.register(spark)`` makes them known; then
``spark.read.format("marl").load(path)`` reads a path, a glob, a directory,
a list of them or any fsspec URL, and ``df.write.format("marl").save(dir)``
writes a DataFrame of string columns as one part file per task.

A file is split into blocks of about ``blocksize`` bytes (option; default
the session's ``spark.sql.files.maxPartitionBytes``); a block's partition
holds the records that begin in it (see :func:`marlet.read_range`), built
as Arrow batches in native code.  A compressed file is one partition.
Every column is a nullable string; a null is a key the record lacks.

Needs ``pip install marlet[spark]``.
"""

from __future__ import annotations

import importlib
import json
import os
import uuid
from typing import Any, Iterator, List, Optional

from . import _arrow
from ._dispatch import FORMATS

# pyspark is typed only in part; the classes it hands over are typed Any.
try:
    _datasource: Any = importlib.import_module("pyspark.sql.datasource")
    _types: Any = importlib.import_module("pyspark.sql.types")
    _TaskContext: Any = importlib.import_module("pyspark").TaskContext
    importlib.import_module("pyarrow")
    importlib.import_module("fsspec")
except ImportError as exc:  # exercised in a subprocess by the tests
    raise ImportError("marlet.spark needs pyspark; install it with: pip install marlet[spark]") from exc

__all__ = ["register"]

def register(spark: Any) -> None:
    """Make the ``"marl"`` and ``"marlc"`` formats known to a SparkSession.

    Without a ``blocksize`` option, files are split as Spark splits its own
    file sources: blocks of ``spark.sql.files.maxPartitionBytes`` at most,
    smaller when that would leave cores idle (the files' total size over
    the default parallelism, but not below
    ``spark.sql.files.openCostInBytes``).  These settings are read now: the
    data sources run in Python workers that cannot ask the session, so call
    ``register`` again after changing them."""
    conf = spark.conf
    parallelism = conf.get("spark.sql.files.minPartitionNum", None) or spark.sparkContext.defaultParallelism
    split = _Split(
        _size(conf.get("spark.sql.files.maxPartitionBytes", "128m"), "maxPartitionBytes"),
        _size(conf.get("spark.sql.files.openCostInBytes", "4m"), "openCostInBytes"),
        int(parallelism),
    )
    for name in ("marl", "marlc"):
        # A class per session: Spark sends the class itself, by value, to
        # the workers that make the source.
        source = type(f"MarlDataSource_{name}", (_Source,), {"format": name, "split": split})
        spark.dataSource.register(source)


class _Split:
    """The block size Spark's file sources would choose for files of these
    sizes."""

    def __init__(self, most: int, open_cost: int, parallelism: int) -> None:
        self.most, self.open_cost, self.parallelism = most, open_cost, max(parallelism, 1)

    def __call__(self, sizes: List[int]) -> int:
        per_core = sum(size + self.open_cost for size in sizes) // self.parallelism
        return min(self.most, max(self.open_cost, per_core))


# Spark's size suffixes: powers of 1024, as in "64m" or "1g".
_UNITS = {"": 1, "b": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}


def _size(text: str, option: str) -> int:
    """A byte count as Spark writes it ("134217728", "128m", "128MB") or as
    "64 MiB"; each unit is a power of 1024."""
    value = text.strip().lower().replace(" ", "")
    digits = len(value) - len(value.lstrip("0123456789"))
    unit = value[digits:].removesuffix("ib").removesuffix("b") if value[digits:] not in ("", "b") else ""
    if digits == 0 or unit not in _UNITS:
        raise ValueError(f"option {option}={text!r} is not a size in bytes such as 134217728, '64m' or '64 MiB'")
    return int(value[:digits]) * _UNITS[unit]


def _flag(options: Any, name: str) -> bool:
    value = str(options.get(name, "false")).strip().lower()
    if value not in ("true", "false"):
        raise ValueError(f"option {name}={value!r} must be 'true' or 'false'")
    return value == "true"


def _strings(schema: Any) -> List[str]:
    """The field names of a schema whose fields are all strings."""
    for field in schema.fields:
        if not isinstance(field.dataType, _types.StringType):
            raise ValueError(
                f"column {field.name!r} is {field.dataType.simpleString()}, but Marlet files hold only strings; "
                f"cast it to string first"
            )
    return [field.name for field in schema.fields]


def _schema(names: List[str]) -> Any:
    return _types.StructType([_types.StructField(name, _types.StringType(), True) for name in names])


class _Source(_datasource.DataSource):  # type: ignore[misc]
    format = "marl"
    split: Any = _Split(128 << 20, 4 << 20, 1)
    sampled = False  # whether the columns came from a sample of the files

    @classmethod
    def name(cls) -> str:
        return cls.format

    def _paths(self) -> Any:
        options = self.options
        if "paths" in options:  # load() of several paths passes them as a JSON list
            return json.loads(options["paths"])
        if "path" not in options:
            raise ValueError(f'give spark.read.format("{self.format}").load() a path, a glob or a directory')
        return options["path"]

    def _columns(self) -> Optional[List[str]]:
        given = self.options.get("columns")
        if given is None:
            return None
        return _arrow.column_names([name.strip() for name in given.split(",") if name.strip()])

    def schema(self) -> Any:
        """The columns option, else the keys of the first MiB of the first
        file.  Spark asks only when the reader was given no schema."""
        names = self._columns()
        if names is None:
            fs, blocks = _arrow.blocks(self._paths(), 1 << 62, self.format, "spark")
            with _arrow.open_block(fs, blocks[0]) as fp:
                names = _arrow.sample_columns(fp, blocks[0].format, "spark")
            # Columns found in a sample must hold every key of the files;
            # columns a user named are read as they are, other keys skipped.
            # Spark sends this object, so marked, on to make the reader.
            self.sampled = True
        return _schema(names)

    def reader(self, schema: Any) -> "_Reader":
        names = _strings(schema)
        blocksize = self.options.get("blocksize")
        size = self.split if blocksize is None else _size(blocksize, "blocksize")
        return _Reader(self._paths(), self.format, size, names, not self.sampled)

    def writer(self, schema: Any, overwrite: bool) -> "_Writer":
        path = self.options.get("path")
        if not path:
            raise ValueError(f'give df.write.format("{self.format}").save() a directory')
        _strings(schema)
        return _Writer(path, self.format, overwrite, _flag(self.options, "lossy"))


class _Partition(_datasource.InputPartition):  # type: ignore[misc]
    def __init__(self, block: _arrow.Block) -> None:
        self.block = block


class _Reader(_datasource.DataSourceReader):  # type: ignore[misc]
    def __init__(self, urlpath: Any, format: str, blocksize: Any, names: List[str], fixed: bool) -> None:
        self.fs, blocks = _arrow.blocks(urlpath, blocksize, format, "spark")
        self.partitions_ = [_Partition(block) for block in blocks]
        self.names = names
        self.fixed = fixed

    def partitions(self) -> List[Any]:
        return self.partitions_

    def read(self, partition: Any) -> Iterator[Any]:
        block = partition.block
        columns = self.names if self.fixed else None
        with _arrow.open_block(self.fs, block) as fp:
            for batch in _arrow.range_batches(fp, block.format, block.start, block.stop, block.size, columns):
                yield self._fit(batch, block)

    def _fit(self, data: Any, block: _arrow.Block) -> Any:
        if self.fixed:
            return data
        where = f"{block.path} (byte {block.start} on)"
        return _arrow.conform(data, self.names, where, "give the columns with .schema(...) or the columns option")


class _Commit(_datasource.WriterCommitMessage):  # type: ignore[misc]
    """A task's finished part: its hidden name and the name it takes."""

    def __init__(self, hidden: str, visible: str) -> None:
        self.hidden = hidden
        self.visible = visible


class _Writer(_datasource.DataSourceArrowWriter):  # type: ignore[misc]
    """Writes one part file per task under a hidden name; the commit, once
    every task has succeeded, renames them all to their visible names, and
    an abort removes them."""

    def __init__(self, path: str, format: str, overwrite: bool, lossy: bool) -> None:
        self.fs, self.root = importlib.import_module("fsspec").core.url_to_fs(path)
        self.format = format
        self.overwrite = overwrite
        self.lossy = lossy
        self.job = uuid.uuid4().hex

    def _name(self, part: int) -> str:
        return f"part-{part:05d}-{self.job}{FORMATS[self.format].suffix}"

    def write(self, iterator: Iterator[Any]) -> _Commit:
        task = _TaskContext.get()
        visible = self._name(task.partitionId())
        # Each attempt of a task has a file of its own: a retried or
        # speculative attempt never writes into another's.
        hidden = f".{visible}.{task.attemptNumber()}.tmp"
        self.fs.makedirs(self.root, exist_ok=True)
        target = f"{self.root}/{hidden}"
        try:
            with self.fs.open(target, "wb") as fp:
                _arrow.dump_arrow(iterator, fp, self.format, lossy=self.lossy)
        except BaseException:
            if self.fs.exists(target):
                self.fs.rm(target)
            raise
        return _Commit(target, f"{self.root}/{visible}")

    def _leftovers(self) -> List[str]:
        """The hidden files of this job's attempts still in the directory."""
        return list(self.fs.glob(f"{self.root}/.part-*-{self.job}*.tmp"))

    def commit(self, messages: List[Optional[_Commit]]) -> None:
        if self.overwrite and self.fs.exists(self.root):
            for path in self.fs.ls(self.root, detail=False):
                if not os.path.basename(path).startswith((".", "_")):
                    self.fs.rm(path, recursive=True)
        for message in messages:
            if message is not None:
                self.fs.mv(message.hidden, message.visible)
        # What attempts that lost to another of the same task left.
        for path in self._leftovers():
            self.fs.rm(path)

    def abort(self, messages: List[Optional[_Commit]]) -> None:
        for path in self._leftovers():
            self.fs.rm(path)

