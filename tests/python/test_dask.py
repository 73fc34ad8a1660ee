"""marlet.dask against the single-machine readers: files split into small
blocks, globs, lists and fsspec URLs, and once on a multi-process cluster."""

import gzip

import pytest

import marlet
from conftest import table_of

pytest.importorskip("pyarrow")
pytest.importorskip("dask.dataframe")
fsspec = pytest.importorskip("fsspec")
import marlet.dask as md  # noqa: E402


def frame_equal(frame, records):
    import pandas as pd

    got = frame.reset_index(drop=True)
    pd.testing.assert_frame_equal(got.astype(object), table_of(records).to_pandas().astype(object), check_dtype=False)


@pytest.fixture
def files(tmp_path):
    """Two .marl files and one .marlc with records of uneven size."""
    for n in range(2):
        (tmp_path / f"part{n}.marl").write_text(
            "".join(f"  id: {n}-{i}\n  note: {'é' * (i % 50)}\n\n  note: last\nkind: {i % 3}\n" for i in range(400))
        )
    (tmp_path / "c.marlc").write_text("".join(f"id: c{i}\nkind: {i % 2}\n\n\n" for i in range(300)))
    return tmp_path


@pytest.mark.parametrize("blocksize", [997, "1 MiB"])
def test_bag_and_frame_equal_the_single_machine_result(files, blocksize):
    paths = sorted(str(p) for p in files.glob("part*.marl"))
    expected = [r for p in paths for r in marlet.read(p)]
    for urlpath in (str(files / "part*.marl"), paths, ["file://" + p for p in paths]):
        bag = md.read_marl(urlpath, blocksize=blocksize)
        assert bag.compute(scheduler="sync") == expected
    frame = md.read_marl_dataframe(str(files / "part*.marl"), blocksize=blocksize)
    frame_equal(frame.compute(scheduler="sync"), expected)
    # A computation that needs one column builds only that one.
    assert frame["kind"].compute(scheduler="sync").tolist() == [r["kind"] for r in expected]
    compact = md.read_marl(str(files / "c.marlc"), blocksize=100)
    assert compact.compute(scheduler="sync") == marlet.read(files / "c.marlc")


def test_any_fsspec_filesystem(files):
    """A compressed file is one partition."""
    data = (files / "part0.marl").read_bytes()
    for name, blob in (("x.marl", data), ("x.marl.gz", gzip.compress(data))):
        with fsspec.open(f"memory://marlet-test/{name}", "wb") as f:
            f.write(blob)
    bag = md.read_marl("memory://marlet-test/x.marl", blocksize=500)
    assert bag.npartitions > 10
    assert bag.compute(scheduler="sync") == marlet.read(files / "part0.marl")
    packed = md.read_marl("memory://marlet-test/x.marl.gz", blocksize=500)
    assert packed.npartitions == 1 and packed.compute(scheduler="sync") == marlet.read(files / "part0.marl")
    frame_equal(md.read_marl_dataframe("memory://marlet-test/x.marl.gz").compute(scheduler="sync"), marlet.read(files / "part0.marl"))


def test_columns_fixed_or_asked_for(files):
    path = files / "late.marl"
    path.write_text("a: 1\n" * 300_000 + "b: 2\n")
    with pytest.raises(ValueError, match="pass columns="):
        md.read_marl_dataframe(str(path), blocksize="256 KiB").compute(scheduler="sync")
    frame = md.read_marl_dataframe(str(path), blocksize="256 KiB", columns=["b", "z"]).compute(scheduler="sync")
    assert list(frame.columns) == ["b", "z"] and frame["b"].notna().sum() == 1 and frame["z"].isna().all()
    for read in (md.read_marl_dataframe, marlet.read_arrow, lambda *a, **k: list(marlet.iter_arrow(*a, **k))):
        with pytest.raises(ValueError, match="'b' more than once"):
            read(str(path), columns=["b", "z", "b"])


def test_one_huge_record(tmp_path):
    path = tmp_path / "huge.marlc"
    path.write_text("a: 1\n\n" + "".join(f"k{i}: {'v' * 30}\n" for i in range(100_000)) + "\nb: 2\n")
    bag = md.read_marl(str(path), blocksize="512 KiB")
    assert bag.npartitions > 4
    assert bag.compute(scheduler="sync") == marlet.read(path)


def test_on_a_multi_process_cluster(files):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as client:
        glob = str(files / "part*.marl")
        frame = md.read_marl_dataframe(glob, blocksize=4096)
        expected = [r for p in sorted(files.glob("part*.marl")) for r in marlet.read(p)]
        frame_equal(client.compute(frame).result(), expected)
        assert client.compute(md.read_marl(glob, blocksize=4096)).result() == expected
