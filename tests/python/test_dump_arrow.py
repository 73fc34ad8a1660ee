"""dump_arrow against dump() for the same records, and refused Arrow input."""

import array
import io

import pytest
from hypothesis import given
from hypothesis import strategies as st

import marlet
from conftest import table_of
from marl_reference import records_strategy

pa = pytest.importorskip("pyarrow")


def written(dump):
    """The bytes a writer leaves in a file object, or what it raised."""
    out = io.BytesIO()
    try:
        dump(out)
    except marlet.MarletError as error:
        return type(error), str(error)
    return out.getvalue()


@given(records=records_strategy, format=st.sampled_from(["marl", "marlc", "json"]), lossy=st.booleans(),
       kind=st.sampled_from(["string", "large_string", "string_view"]), batch_rows=st.integers(1, 3))
def test_dump_arrow_writes_what_dump_writes(records, format, lossy, kind, batch_rows):
    table = table_of([{k.replace("\x00", ""): v for k, v in r.items()} for r in records])  # null: a key the record lacks
    rows = [{k: v for k, v in row.items() if v is not None} for row in table.to_pylist()]
    batches = (table.cast(pa.schema([(n, kind) for n in table.column_names])) if table.num_columns else table).to_batches(batch_rows)
    arrow_dump = written(lambda fp: marlet.dump_arrow(batches, fp, format, lossy=lossy))
    assert arrow_dump == written(lambda fp: marlet.dump(rows, fp, format, lossy=lossy))


def batch_of(kind, rows, offsets, data, type="i"):
    """A batch of one column "a" made from raw buffers, which pyarrow checks only in part."""
    buffers = [None, pa.py_buffer(array.array(type, offsets).tobytes()), pa.py_buffer(data)]
    return pa.record_batch([pa.Array.from_buffers(getattr(pa, kind)(), rows, buffers)], names=["a"])


@pytest.mark.parametrize(
    "data, error, message",
    [
        (pa.table({"a\x00b": ["x"]}), ValueError, "NUL"),  # Arrow names are C strings
        (pa.table({"n": [1]}), TypeError, "^column 'n' has Arrow format 'l'; only string, large_string and string_view columns can be written$"),
        (pa.table([["x"], ["y"]], names=["a", "a"]), ValueError, "column 'a' occurs twice"),
        # Records count across batches; a bad batch is refused before any of its rows is written.
        ([batch_of("string", 1, [0, 1], b"a"), batch_of("string", 3, [0, 3, 1, 4], b"abcd")], ValueError, "^record 2, column 'a': the offsets decrease$"),
        ([batch_of("string", 2, [0, 1, 2], "é".encode())], ValueError, "^record 0, column 'a': the value is not UTF-8$"),
        ([batch_of("large_string", 1, [0, 2], b"a\xff", "q")], ValueError, "not UTF-8"),
        ([batch_of("string_view", 1, [20, 0, 5, 0], b"x" * 10)], ValueError, "view points outside its data buffer"),
        # What the batches raise comes out as it is, not as the stream's text.
        ((b if i == 0 else 1 / 0 for i, b in enumerate([pa.record_batch({"a": ["x"]})] * 2)), ZeroDivisionError, "division by zero"),
    ],
)
def test_bad_arrow_input_is_refused(data, error, message):
    with pytest.raises(error, match=message):
        marlet.dump_arrow(data, io.BytesIO(), "marl")
