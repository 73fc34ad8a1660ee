"""marlet.spark in a local Spark: reads equal marlet.read; writes read back."""

import os
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import marlet
from conftest import table_of
from marl_reference import marl_texts

pa = pytest.importorskip("pyarrow")
pytest.importorskip("pyspark")
import marlet.spark  # noqa: E402

# pyspark's note that it is not yet tested with pandas 3 (unused here).
pytestmark = [pytest.mark.spark, pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas")]


@pytest.fixture(scope="module")
def spark():
    os.environ["PYSPARK_PYTHON"] = sys.executable  # the workers import this very marlet
    from pyspark.sql import SparkSession

    # Keys "a" and "A" are two columns.
    settings = {"spark.ui.enabled": "false", "spark.ui.showConsoleProgress": "false", "spark.sql.caseSensitive": "true"}
    session = SparkSession.builder.master("local[2]").config(map=settings).getOrCreate()
    marlet.spark.register(session)
    yield session
    session.stop()


def records_of(frame):
    return [{k: v for k, v in row.asDict().items() if v is not None} for row in frame.collect()]


@settings(max_examples=12)
@given(text=marl_texts, format=st.sampled_from(["marl", "marlc"]), blocksize=st.sampled_from(["16", "1m"]))
def test_read_equals_marlet_read(spark, tmp_path_factory, text, format, blocksize):
    path = tmp_path_factory.mktemp("read") / f"doc.{format}"
    path.write_bytes(text.replace("\x00", "").encode())  # Arrow refuses NUL in a column name
    assert records_of(spark.read.format(format).option("blocksize", blocksize).load(str(path))) == marlet.read(path)


BAD = ["1"] * 2999 + ["line\nbreak"]  # the one record .marl cannot carry, in one task of four
BLOCKS = table_of([{"id": str(i), "note": "é" * (i % 7)} | ({"x": f"{i}:"} if i % 3 else {}) for i in range(3000)])


@pytest.mark.parametrize(
    "format, table, options, refused",
    [
        ("marl", BLOCKS, {}, None),  # read back in many blocks
        ("marlc", BLOCKS, {}, None),
        ("marl", {"a": ["1", None], "b": [None, "2"]}, {}, None),  # a null leaves the key out
        ("marl", {"a": BAD}, {}, "LossyWriteError"),
        ("marl", {"a": BAD}, {"lossy": "true"}, None),
        ("marlc", {"a": pa.array([None], pa.string())}, {}, "cannot be empty"),
        ("marl", {"a": ["1"], "n": [1]}, {}, "column 'n' is bigint"),
    ],
)
def test_write_refusals_and_nulls(spark, tmp_path, format, table, options, refused):
    frame, out = spark.createDataFrame(pa.table(table)).repartition(4), tmp_path / "out"
    if refused:
        with pytest.raises(Exception, match=refused):
            frame.write.format(format).options(**options).mode("append").save(str(out))
        assert [p.name for p in out.glob("*") if not p.name.startswith(".")] == []  # nor a part of a task that succeeded
        with pytest.raises(Exception, match="column 'n' is int"):
            spark.read.format("marl").schema("a string, n int").load(str(out)).collect()
    else:
        for mode in ("append", "overwrite"):  # the overwrite leaves only its own job's parts
            frame.write.format(format).options(**options).mode(mode).save(str(out))
        assert len({name.split("-")[2] for name in os.listdir(out)}) == 1
        expected = marlet.loads(marlet.dumps(records_of(frame), format, lossy=True), format)
        back = spark.read.format(format).options(blocksize="4 KiB", columns=",".join(frame.columns)).load(str(out))  # parts differ in keys
        assert back.rdd.getNumPartitions() > 4 or table is not BLOCKS  # files split into blocks
        assert sorted(records_of(back), key=str) == sorted(expected, key=str)
