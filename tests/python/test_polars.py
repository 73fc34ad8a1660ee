"""marlet.polars against polars.from_arrow(marlet.read_arrow(...)): every
query shape over generated documents, and what the scan refuses."""

import io

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import marlet
from marl_reference import marl_texts, records_strategy

pytest.importorskip("pyarrow")
pl = pytest.importorskip("polars")
import marlet.polars as mp  # noqa: E402

COLUMNS = st.none() | st.lists(st.sampled_from(["k", "key", "a b", "é", "missing"]), unique=True)


@settings(max_examples=200)
@given(query=st.data(), text=marl_texts, records=records_strategy, format=st.sampled_from(["marl", "marlc", "json"]), columns=COLUMNS,
       limit=st.none() | st.integers(0, 6), batch=st.integers(1, 4), engine=st.sampled_from(["in-memory", "streaming"]))
def test_scan_equals_read_arrow(tmp_path_factory, query, text, records, format, columns, limit, batch, engine):
    if format == "json":
        text = marlet.dumps_json([{k.replace("\x00", ""): v for k, v in r.items()} for r in records])
    path = tmp_path_factory.mktemp("scan") / f"doc.{format}"
    path.write_bytes(text.replace("\x00", "").encode())  # Arrow field names are C strings
    table = marlet.read_arrow(path, columns=columns)
    want = pl.from_arrow(table)
    want.columns = table.column_names  # from_arrow renames the empty key; the scan keeps it
    names = st.sampled_from(want.columns) if want.width else st.nothing()
    picked, where = query.draw(st.none() | st.lists(names, min_size=1, unique=True)), query.draw(st.none() | names)
    steps = [lambda f: f if limit is None else f.head(limit), lambda f: f if picked is None else f.select(picked)]
    steps.insert(query.draw(st.integers(0, 1)), lambda f: f if where is None else f.filter(pl.col(where).str.len_bytes() % 2 == 0))
    with pl.Config(streaming_chunk_size=batch):
        got = mp.scan_marl(path, columns=columns)
        for step in steps:
            got, want = step(got), step(want)
        assert got.collect(engine=engine).equals(want) and got.collect_schema() == want.schema


def test_refusals_and_a_limit_that_stops_reading(tmp_path, monkeypatch):
    (tmp_path / "late.marl").write_text("a: 1\n" * 300_000 + "b: 2\n")
    with pytest.raises(ValueError, match=r"late.marl \(row \d+ on\): keys \['b'\] first appear .* to scan_marl$"):
        mp.read_marl(tmp_path / "late.marl")
    assert mp.read_marl(tmp_path / "late.marl", columns=["b", "a"])["b"].null_count() == 300_000
    with pytest.raises(TypeError, match=r"a path \(str or os.PathLike\), not BytesIO"):
        mp.scan_marl(io.BytesIO(b"a: 1\n"), format="marl")
    monkeypatch.setattr(marlet._arrow, "_CHUNK", 64)
    (tmp_path / "bad.marl").write_bytes(b"a: 1\n" * 100 + b"\xff\n")
    scan = mp.scan_marl(tmp_path / "bad.marl", columns=["a"])
    assert scan.head(3).collect()["a"].to_list() == ["1"] * 3  # the bad byte is never read
    with pytest.raises(marlet.StreamError, match="offset 500"):
        scan.collect()
