"""vexa files through fsspec, and through it pandas and a Dask cluster of
worker processes. Skipped where Debian's python3-fsspec (python3-pandas,
python3-dask, python3-distributed) are not installed."""

import subprocess
import sys

import pytest
import vexa

fsspec = pytest.importorskip("fsspec")


def test_fsspec_and_pandas_read_and_write_vx_files(tmp_path):
    # Registered whichever of the two is imported first.
    for imports in ("import vexa, fsspec", "import fsspec, vexa"):
        check = f"{imports}\nassert fsspec.compression.compr['vexa'] is vexa.VexaFile\nimport fsspec.utils\n" \
                "assert fsspec.utils.infer_compression('a.csv.vx') == 'vexa'"
        subprocess.run([sys.executable, "-c", check], check=True)

    path = str(tmp_path / "t.csv.vx")
    table = "x,y\n" + "".join(f"{i},{i % 7}\n" for i in range(5000))
    with fsspec.open(path, "wt", compression="infer") as f:
        f.write(table)
    assert vexa.decompress(open(path, "rb").read()) == table.encode()
    with fsspec.open(path, "rt", compression="infer") as f:
        assert f.read() == table
    pandas = pytest.importorskip("pandas")
    with fsspec.open(path, compression="vexa") as f:
        assert pandas.read_csv(f)["x"].sum() == sum(range(5000))


@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")   # Debian's tornado
def test_a_dask_cluster_reads_vx_files(tmp_path):
    bag = pytest.importorskip("dask.bag")
    dataframe = pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    for i in range(4):
        lines = "".join(f"{i} line {j} of the log\n" for j in range(3000 + i))
        (tmp_path / f"{i}.log").write_text(lines)
        (tmp_path / f"{i}.log.vx").write_bytes(vexa.compress(lines.encode()))
        table = "x,y\n" + "".join(f"{j * i},{j}\n" for j in range(2000))
        (tmp_path / f"{i}.csv").write_text(table)
        (tmp_path / f"{i}.csv.vx").write_bytes(vexa.compress(table.encode()))

    # Workers are processes of their own: they import vexa to know it, as
    # with any compression that a package registers.
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                                  preload=["vexa"]) as cluster, distributed.Client(cluster):
        counted = bag.read_text(str(tmp_path / "*.log.vx")).count().compute()
        assert counted == bag.read_text(str(tmp_path / "*.log")).count().compute() == 4 * 3000 + 6
        summed = dataframe.read_csv(str(tmp_path / "*.csv.vx"), compression="vexa", blocksize=None)["x"].sum()
        assert summed.compute() == dataframe.read_csv(str(tmp_path / "*.csv"))["x"].sum().compute() == 6 * sum(range(2000))
