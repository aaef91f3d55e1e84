"""tvq.dask on a cluster of worker processes against tvq.read with pandas and
against the program on the command line; the plot sub-command."""

import gzip
import io
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
import tvq.plot
from conftest import http_server, t2b, tvqconverter

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../examples/run1001.tvq")
DAMAGE = {"cut": lambda data: data[:2 * 16384 + 5000],  # inside the second event block
          "flag": lambda data: data[:2 * 16384] + b"\x34\x12" + data[2 * 16384 + 2:]}


def runs(directory, count, records=600, damage=None):
    """Block files of random records that -t2b made, the last one damaged."""
    rng = random.Random(19)
    paths = [t2b(directory, ["%d" % rng.randrange(4) + "".join(" %.3f" % rng.uniform(-9, 9)
                                                               for _ in range(5))
                             for _ in range(records)], name="run%d.tvq" % i) for i in range(count)]
    if damage:
        paths[-1].write_bytes(DAMAGE[damage](paths[-1].read_bytes()))
    return paths


@pytest.mark.parametrize("layout, data_size, names", [
    (None, None, None), ("%d %d %d", 2, None), ("%f %d", 4, ["energy", "channel"])])
def test_columns_known_before_reading(tmp_path, layout, data_size, names):
    frame = tvq.dask.read([tmp_path / "missing.tvq"], layout, data_size, names)
    assert [(name, np.dtype(kind)) for name, kind in frame.dtypes.items()] == [
        (name, kind) for name, (kind, _) in tvq.dtype(layout, data_size, names).fields.items()]
    with pytest.raises(FileNotFoundError):
        frame.compute(scheduler="sync")


@pytest.mark.parametrize("how, reason", [("cut", "block 2 of .*run2.tvq is incomplete"),
                                         ("flag", "run2.tvq")])
def test_a_damaged_file_fails_its_partition(tmp_path, how, reason):
    frame = tvq.dask.read(str(runs(tmp_path, 3, 500, how)[0].parent / "run*.tvq"))
    assert len(frame.partitions[1].compute(scheduler="sync")) == 500
    with pytest.raises(tvq.FormatError, match=reason):
        frame.compute(scheduler="sync")


def test_on_a_cluster_of_two_worker_processes(tmp_path):
    from dask.distributed import Client, LocalCluster, wait

    paths = runs(tmp_path, 8)
    listings = tmp_path / "listings"
    listings.mkdir()
    (listings / "run3.txt").write_bytes(b"mine")
    expected = pandas.concat(pandas.DataFrame(tvq.read(p)) for p in paths).groupby("v0").mean()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster):
        means = tvq.dask.read(paths).groupby("v0").mean().compute()
        held = tvq.dask.read(paths).persist()  # the pieces of the files as they were
        wait(held)
        paths[7].write_bytes(DAMAGE["cut"](paths[7].read_bytes()))
        with pytest.raises(tvq.FormatError, match="run7.tvq"):
            tvq.dask.read(paths).compute()
        table = tvq.dask.convert(paths, "-b2t", listings)
    pandas.testing.assert_frame_equal(means, expected, check_dtype=False)
    assert list(table.file) == [str(p) for p in paths]
    assert table[table.status != 0].index.tolist() == [3, 7] and set(table.status) == {0, 255}
    assert table.message[3] == "all ready exist %s\n" % (listings / "run3.txt")
    assert table.message[7].endswith("convertion did not finish normaly\n")
    assert sorted(os.listdir(listings)) == ["run%d.txt" % i for i in range(7)]
    assert (listings / "run3.txt").read_bytes() == b"mine"
    for i, path in enumerate(paths[:7]):
        if i != 3:
            assert tvqconverter("-b2t", path, tmp_path / ("%d.txt" % i)) == (0, table.message[i])
            assert (tmp_path / ("%d.txt" % i)).read_bytes() == (listings / ("run%d.txt" % i)).read_bytes()


@pytest.mark.parametrize("option, source, program, status, message", [
    ("-b2rb", "run1001.tvq", None, 0, "\n conversion is done!!\n\n"),
    ("-t2b", "run1001.txt", None, 0, "now reading line #0\n"),
    ("-b2t", "run1001.tvq", "/none/tvqconverter", 127, "cannot run /none/tvqconverter: No such")])
def test_convert_in_threads(tmp_path, option, source, program, status, message):
    source = os.path.join(os.path.dirname(EXAMPLE), source)
    output = tmp_path / "out" / ("run1001" + tvq.dask.OUTPUT_SUFFIXES[option])
    output.parent.mkdir()
    output.with_name(output.name + ".part").write_bytes(b"left by an interrupted run")
    table = tvq.dask.convert([source], option, tmp_path / "out", program)
    assert (table.output[0], table.status[0]) == (str(output), status)
    assert table.message[0].startswith(message)
    assert os.listdir(output.parent) == [output.name] * (status == 0)
    if status == 0:
        assert tvqconverter(option, source, tmp_path / "ref") == (0, table.message[0])
        assert (tmp_path / "ref").read_bytes() == output.read_bytes()


EXTREMES = ["0 3.4e38 -3.4e38 nan inf 0", "-7 -3.4e38 1 2 3 4", "2 nan nan -inf 1e-45 -1"]


@pytest.mark.parametrize("damage, existing, options, status, error", [
    (None, False, [], 0, "^$"), (None, True, [], 1, "all ready exist"),
    ("cut", False, [], 1, "block 2 of .*run0.tvq is incomplete"),
    (None, False, ["{}", "--bins", "7", "--range", "v1=-5:5", "--range", "0:1e-30", "--log"], 0,
     "^$"),
    (None, False, ["--range", "v9=0:1"], 1, "range of 'v9': the fields are v0"),
    (None, False, ["--range", "2:1"], 1, "with finite LO < HI"),
    (None, False, ["--range", "-2:1", "--range", "-inf:1"], 1, "with finite LO < HI")])
def test_plot(tmp_path, damage, existing, options, status, error):
    path = runs(tmp_path, 1, damage=damage)[0] if damage else EXAMPLE
    png = tmp_path / "run.png"
    if existing:
        png.write_bytes(b"mine")
    sources = [path]
    if "{}" in options:  # the example overlaid with runs of extremes, in chunks
        sources += runs(tmp_path, 2, 100)[:1] + [t2b(tmp_path, EXTREMES * 50, "extremes.tvq")]
        for bins, ranges in ((7, {"v1": (-5, 5), None: (0, 1e-30)}), (100, {})):
            check_histograms(sources, bins, ranges)
    proc = subprocess.run([sys.executable, "-m", "tvq", "plot"] + [str(s) for s in sources] +
                          ["-o", str(png)] + options[("{}" in options):], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)
    assert (proc.returncode, proc.stdout) == (status, "") and re.search(error, proc.stderr)
    assert sorted(os.listdir(tmp_path)) == sorted(["run.png"] * (status == 0 or existing) + [
        "run0.tvq", "run0.tvq.txt"] * bool(damage) + [
        "extremes.tvq", "extremes.tvq.txt", "run0.tvq", "run0.tvq.txt", "run1.tvq",
        "run1.tvq.txt"] * ("{}" in options))
    if options:
        return
    if existing:
        assert png.read_bytes() == b"mine"
    if status == 0:
        umask = os.umask(0o22)
        os.umask(umask)
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        assert png.stat().st_mode & 0o777 == 0o666 & ~umask
        from tvq import plot
        fig, values = plot.figure(path), tvq.read(path)
        assert fig._suptitle.get_text() == "run1001.tvq: run RUN-1001, 4 records"
        with open(path, "rb") as given:  # a file object, named by its name
            assert plot.figure(given)._suptitle.get_text() == fig._suptitle.get_text()
        assert [axes.get_xlabel() for axes in fig.axes] == list(values.dtype.names[2:])


@pytest.mark.parametrize("blocksize", [None, 16384, "40 KiB", 10**9])
def test_partitions_of_block_ranges_give_the_rows_of_read(tmp_path, blocksize):
    """Whatever the partitions, the rows of tvq.read: the blocks after an
    ender are never data, a damage in a later range is found or passed over
    as there; the path column names each row's file. URLs: partitions made
    without reading, each read where it is computed."""
    paths = runs(tmp_path, 2, 1500)  # 4 event blocks each
    data = paths[0].read_bytes()
    paths[0].write_bytes(data + data[16384:])
    data = paths[1].read_bytes()
    paths[1].write_bytes(data[:3 * 16384] + b"\x34\x12" + data[3 * 16384 + 2:])
    read = lambda p, **k: tvq.dask.read(p, columns=["v1", "block"], blocksize=blocksize, **k)
    (tmp_path / "run0.gz").write_bytes(gzip.compress(paths[0].read_bytes()))
    with http_server(tmp_path, True) as (url, server):
        for given in (paths[0], io.BytesIO(paths[0].read_bytes()),  # a file object: one partition
                      url + "run0.tvq", url + "run0.gz"):
            server.sent, frame = 0, read([given])
            assert server.sent == 0  # partitions made without reading
            assert frame.compute(scheduler="sync").to_records(index=False).tolist() == \
                tvq.read(paths[0], columns=["v1", "block"]).tolist()
    with pytest.raises(tvq.FormatError, match="run1.tvq: event block 3, word 0: this block"):
        read(paths).compute(scheduler="sync")
    with pytest.warns(tvq.DamageWarning, match="run1.tvq: event block 3, word 0: this block"):
        got = read(paths, errors="skip", include_path_column="run").compute(scheduler="sync")
        expected = [tvq.read(p, columns=["v1", "block"], errors="skip") for p in paths]
    assert got.run.dtype == "category" and [len(e) for e in expected] == [1500, 962]
    assert got.run.tolist() == [str(p) for p, e in zip(paths, expected) for _ in e]
    assert got[["v1", "block"]].to_records(index=False).tolist() == np.concatenate(expected).tolist()


def test_convert_knows_its_own_output_when_run_again(tmp_path):
    """A task run again after its worker died (the same call: the same name
    kept for what it made) reports its output as converted; another call
    is refused it."""
    source = os.path.join(os.path.dirname(EXAMPLE), "run1001.tvq")
    output = str(tmp_path / "run1001.txt")
    first = tvq.dask._convert_one("-b2t", source, output, None, output + ".made-1")
    assert first[0] == 0
    assert tvq.dask._convert_one("-b2t", source, output, None, output + ".made-1") == first
    assert tvq.dask._convert_one("-b2t", source, output, None, output + ".made-2") == (
        255, "all ready exist %s\n" % output)
    assert sorted(os.listdir(tmp_path)) == ["run1001.txt", "run1001.txt.made-1"]


def check_histograms(sources, bins, ranges):
    """The streaming histograms, read in chunks of 7 rows, against NumPy's of
    the values tvq.read gives, on the same edges; every record counted."""
    runs, fields = tvq.plot.histograms(sources, bins, ranges, step=7)
    for run, source in enumerate(sources):
        values = tvq.read(source)
        assert runs[run][2] == len(values)
        for name, histogram in fields.items():
            edges, counts = histogram.edges()
            assert len(edges) <= bins + 1 and (not histogram.integer or ranges or
                                               np.all(edges % 1 == 0.5))
            column = values[name][np.isfinite(values[name])]
            assert list(counts[run]) == list(np.histogram(column, edges)[0])
            said = histogram.notes(run)
            assert counts[run].sum() + sum(int(n) for n in re.findall(r"\d+", said)) == len(values)
