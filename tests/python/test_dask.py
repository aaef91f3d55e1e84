"""tvq.dask over many files, on a cluster of worker processes, against tvq.read
and pandas in one process and against the program run on the command line;
the plot sub-command."""

import os
import random
import re
import subprocess
import sys

import numpy as np
import pandas
import pytest

import tvq
import tvq.dask
from conftest import t2b, tvqconverter


def runs(directory, count, records=600):
    """Block files of random records that -t2b made, over two event blocks."""
    rng = random.Random(19)
    return [t2b(directory, ["%d %s" % (rng.randrange(4), " ".join("%.3f" % rng.uniform(-9, 9)
                                                                   for _ in range(5)))
                            for _ in range(records)], name="run%d.tvq" % i)
            for i in range(count)]


def damaged(path, how):
    """The file cut inside its second event block, or with a block flag that
    is neither an event's nor the ender's."""
    data = path.read_bytes()
    if how == "cut":
        data = data[:2 * 16384 + 5000]
    else:
        data = data[:2 * 16384] + b"\x34\x12" + data[2 * 16384 + 2:]
    path.write_bytes(data)
    return path


@pytest.mark.parametrize("layout, data_size, names", [
    (None, None, None), ("%d %d %d", 2, None), ("%f %d", 4, ["energy", "channel"])])
def test_columns_known_before_reading(tmp_path, layout, data_size, names):
    frame = tvq.dask.read([tmp_path / "missing.tvq"], layout, data_size, names)
    assert frame.npartitions == 1
    assert list(frame.dtypes.items()) == [(name, np.dtype(kind)) for name, (kind, _) in
                                          tvq.dtype(layout, data_size, names).fields.items()]
    with pytest.raises(FileNotFoundError):
        frame.compute(scheduler="sync")


@pytest.mark.parametrize("how, reason", [
    ("cut", "block 2 of .*run1.tvq is incomplete"), ("flag", "run1.tvq")])
def test_a_damaged_file_fails_its_partition(tmp_path, how, reason):
    paths = runs(tmp_path, 3, records=500)
    damaged(paths[1], how)
    frame = tvq.dask.read(str(tmp_path / "run*.tvq"))
    assert frame.npartitions == 3
    assert len(frame.partitions[2].compute(scheduler="sync")) == 500
    with pytest.raises(tvq.FormatError, match=reason):
        frame.compute(scheduler="sync")


def test_on_a_cluster_of_two_worker_processes(tmp_path):
    from dask.distributed import Client, LocalCluster

    paths = runs(tmp_path, 8)
    bad = damaged(t2b(tmp_path, ["1 2 3 4 5 6"] * 600, name="bad.tvq"), "cut")
    listings = tmp_path / "listings"
    listings.mkdir()
    (listings / "run3.txt").write_bytes(b"mine")
    expected = pandas.concat([pandas.DataFrame(tvq.read(p)) for p in paths]).groupby("v0").mean()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster):
        means = tvq.dask.read(paths).groupby("v0").mean().compute()
        pandas.testing.assert_frame_equal(means, expected, check_dtype=False)
        with pytest.raises(tvq.FormatError, match="bad.tvq"):
            tvq.dask.read(paths + [bad]).sum().compute()
        table = tvq.dask.convert(paths + [bad], "-b2t", listings)
    assert list(table.file) == [str(p) for p in paths + [bad]]
    failed = table[table.status != 0]
    assert list(failed.file) == [str(paths[3]), str(bad)]
    assert list(failed.status) == [255, 255]
    assert failed.message.iloc[0] == "all ready exist %s\n" % (listings / "run3.txt")
    assert failed.message.iloc[1].endswith("convertion did not finish normaly\n")
    assert (listings / "run3.txt").read_bytes() == b"mine"
    assert not (listings / "bad.txt").exists()
    for path, message in zip(paths, table.message):
        if path != paths[3]:
            status, out = tvqconverter("-b2t", path, tmp_path / "ref.txt")
            assert (status, out) == (0, message)
            assert (tmp_path / "ref.txt").read_bytes() == (listings / (path.stem + ".txt")).read_bytes()
            os.unlink(tmp_path / "ref.txt")


EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples",
                       "run1001.tvq")


@pytest.mark.parametrize("make, existing, status, error", [
    (None, False, 0, "^$"),
    (None, True, 1, "File exists"),
    ("cut", False, 1, "block 2 of .*run0.tvq is incomplete"),
])
def test_plot(tmp_path, make, existing, status, error):
    path = damaged(runs(tmp_path, 1)[0], make) if make else EXAMPLE
    png = tmp_path / "run.png"
    if existing:
        png.write_bytes(b"mine")
    proc = subprocess.run([sys.executable, "-m", "tvq", "plot", str(path), "-o", str(png)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert proc.returncode == status and proc.stdout == ""
    assert re.search(error, proc.stderr) and (proc.stderr == "") == (status == 0)
    assert sorted(os.listdir(tmp_path)) == sorted(["run.png"] * (status == 0 or existing) +
                                                  ["run0.tvq", "run0.tvq.txt"] * bool(make))
    if existing:
        assert png.read_bytes() == b"mine"
    if status == 0:
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        umask = os.umask(0o22)
        os.umask(umask)
        assert png.stat().st_mode & 0o777 == 0o666 & ~umask
        from tvq import plot
        fig = plot.figure(path)
        assert fig._suptitle.get_text() == "run1001.tvq: run RUN-1001, 4 records"
        values = tvq.read(path)
        for axes, name in zip(fig.axes, values.dtype.names[2:]):
            assert axes.get_xlabel() == name
            assert sum(patch.get_height() for patch in axes.patches) == len(values)
