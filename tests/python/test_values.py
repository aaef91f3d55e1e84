"""Values read and written by tvq against the program itself: a file -t2b made
reads back to the values sscanf gives for its text, and tvq.write of those
values gives the bytes -t2b gave."""

import bz2
import doctest
import gzip
import io
import lzma
import os
import pathlib
import random
import subprocess
import re
import sys
import warnings

import fsspec
import h5py
import numpy as np
import numpy.lib.recfunctions
import pandas as pd
import pytest
import zstandard

import tvq
from conftest import http_server, model, sscanf_bits, t2b

LINES = ["5 2 0 0 0 0", "1 0.5 -1.25 100 3.1415927 2.5e-3", "-1 1 1 1 1 1",
         "-2147483648 1e-45 3.4028235e38 -0 nan -inf", "2147483647 0.1 1e39 -1e-50 .5 5.",
         "1-2 3 4 5 6", "1.5 2 3 4 5 6", " 7\t8 9 10 11 12 and more"]
# Python's own compressors, by the names the messages give them.
COMPRESS = {"gzip": gzip.compress, "bzip2": bz2.compress, "xz": lzma.compress,
            "zstd": zstandard.ZstdCompressor().compress}
rng = random.Random(18)
MANY = ["%d %s" % (rng.randrange(-2**31, 2**31), " ".join(
    repr(rng.uniform(-1e6, 1e6)) for _ in range(5))) for _ in range(1000)]


def bits(values):
    """The value fields as 32-bit patterns, one row per record."""
    return np.stack([values[n].view("<u4") for n in values.dtype.names[2:]], axis=1)


def same(a, b):
    """Equal rows, NaN payloads included."""
    return (a.dtype == b.dtype and np.array_equal(bits(a), bits(b)) and
            np.array_equal(a[["block", "event_id"]], b[["block", "event_id"]]))


@pytest.mark.parametrize("lines", [[], LINES[:1], LINES, MANY[:481], MANY[:482], MANY, MANY * 150],
                         ids=["none", "one", "spellings", "481", "482", "1000", "150000"])
def test_read_and_write_as_the_program(tmp_path, lines):
    path = t2b(tmp_path, ["# comment"] + lines)
    scanned = {line: sscanf_bits(line) for line in set(lines)}
    expected = np.array([scanned[line] for line in lines], "<u4").reshape(len(lines), 6)
    values = tvq.read(path)
    assert np.array_equal(bits(values), expected)
    assert values.tobytes() == tvq.read(path).tobytes()  # padding zeroed
    assert not values.view("u1").reshape(-1, 32)[:, 6:8].any()
    assert list(values["block"]) == [1 + i // 481 for i in range(len(lines))]
    assert list(values["event_id"]) == [1 + i % 481 for i in range(len(lines))]
    with tvq.open(path) as f:
        assert np.array_equal(bits(f.values()), expected)
        assert f.event_blocks == len(lines) // 481 + 1
        assert f.header == f.ender == {"run_number": "RUN-1001", "start_time": "START => 33:33:33 ",
                                       "stop_time": " STOP => 44:44:44 ",
                                       "print_time": "PRINT => xx:xx:xx ",
                                       "print_date": " 01-JAN-01", "header": "hello world",
                                       "ender": "goodnight world"}
    # Chunks of over 4 MiB are memory of their own, each taking what the one
    # before it left.
    step, reports = 300 if len(lines) < 10_000 else 140_000, []
    for chunk, report in tvq.iterate([path, path], step=step, report=True):
        assert chunk.tobytes() == values[report.start:report.stop].tobytes()
        reports.append((report.path, report.start, report.stop))
    assert reports == [(str(path), s, min(s + step, len(lines)))
                       for s in range(0, len(lines), step)] * 2
    vm = lambda: int(pathlib.Path("/proc/self/status").read_text().split("VmSize:")[1].split()[0])
    if len(lines) < 10_000:
        before, ones = vm(), list(tvq.iterate([path, path], step=1))  # each holds its row only
        assert len(ones) == 2 * len(lines) and vm() - before < 16384  # kB
    assert [len(c) for c in tvq.iterate(path, step=2**64)] == [len(lines)] * bool(lines)
    tvq.write(tmp_path / "struct.tvq", values)
    columns = np.empty(expected.shape)
    columns[:, 0] = expected[:, 0].view("<i4")
    columns[:, 1:] = expected[:, 1:].view("<f4")
    tvq.write(tmp_path / "columns.tvq", columns)
    frame = tvq.to_pandas(path)
    tvq.write(tmp_path / "frame.tvq", frame[list(reversed(frame.columns))])  # by name
    for name in ("struct.tvq", "columns.tvq", "frame.tvq"):
        assert (tmp_path / name).read_bytes() == path.read_bytes()


def block_file(records):
    return (model.header_block() + model.event_block(records[:2]) +
            model.event_block(records[2:]) + model.ender_block())


WORDS = [[1, 2, 0xFFFF], [3, 0x8000, 5], [0x7FFF, 0, 9], [6, 7, 8]]


@pytest.mark.parametrize("layout, data_size, expected", [
    ("%d %d %d", 2, [[1, 2, -1], [3, -32768, 5], [32767, 0, 9], [6, 7, 8]]),
    (None, None, None),
    ("%d", 4, None),
])
def test_records_of_other_sizes(tmp_path, layout, data_size, expected):
    path = tmp_path / "three.tvq"
    path.write_bytes(block_file([model.Record(i + 1, w) for i, w in enumerate(WORDS)]))
    with tvq.open(path) as f:
        records = f.records()
        assert list(records["block"]) == [1, 1, 2, 2]
        assert list(records["event_id"]) == [1, 2, 3, 4]
        assert list(records["event_size"]) == [8] * 4 and list(records["segment_size"]) == [5] * 4
        assert list(records["offset"]) == [0, 3, 6, 9] and list(records["count"]) == [3] * 4
        assert not records.view("u1").reshape(4, 32)[:, [12, 13, 14, 15, 28, 29, 30, 31]].any()
        assert f.words().tolist() == sum(WORDS, [])
        if expected is None:
            with pytest.raises(tvq.FormatError, match="three.tvq: event block 1, record at word "
                                                      "4: 3 data words, the layout takes"):
                f.values(layout, data_size)
            with pytest.raises(tvq.FormatError, match="event block 1, record at word 4: 3 data"):
                tvq.read(path, layout, data_size)
            return
        values = f.values(layout, data_size, names=["a", "b", "c"])
    assert values.dtype.names == ("block", "event_id", "a", "b", "c")
    assert [list(row)[2:] for row in values] == expected
    assert np.array_equal(tvq.read(path, layout, data_size, ["a", "b", "c"]), values)
    tvq.write(tmp_path / "again.tvq", values, layout=layout, data_size=data_size,
              names=["a", "b", "c"])
    assert np.array_equal(tvq.read(tmp_path / "again.tvq", layout, data_size)["v2"],
                          values["c"])


WRITTEN = [(1, 1, 1, 2.0), (1, 2, 3, 4.0)]


@pytest.mark.parametrize("layout, data_size, values, error", [
    ("%d %f", 4, [[1, 2], [3, 4]], WRITTEN),
    ("%d %f", 4, np.array([(2, 1, 7), (4, 3, 7)], [("v1", "f8"), ("v0", "i8"), ("block", "u4")]),
     WRITTEN),
    ("%d %f", 4, pd.DataFrame({"v1": [2.0, 4.0], "x": 0, "v0": [1, 3]}), WRITTEN),
    ("%d %f", 4, np.array([(1, 1e39)], [("v0", "i4"), ("v1", "f8")]), [(1, 1, 1, np.inf)]),
    ("%d %f", 4, np.zeros(1, [("v0", "i4"), ("v", "f4")]), "no field 'v1'"),
    ("%d %s", 4, [[1, 2]], "only %d and %f conversions"),
    ("%d%d", 4, [[1, 2]], "separated by white space"),
    ("%f", 2, [[1]], "a float does not fit in one word"),
    ("%d", 3, [[1]], "2 or 4 bytes per value"),
    ("%d", 2, [[40000]], "input data is too large or small for short"),
    ("%d %f", 4, [[2**31, 0]], "does not fit in 32 bits"),
    ("%d %f", 4, [[1.5, 0]], "is not an integer"),
    ("%d %f", 4, [[1, 2, 3]], "takes \\(rows, 2\\)"),
])
def test_layouts_refused_as_the_settings_refuse_them(tmp_path, layout, data_size, values, error):
    path = tmp_path / "out.tvq"
    if not isinstance(error, str):
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # nothing printed
            tvq.write(path, values, layout=layout, data_size=data_size)
        assert tvq.read(path, layout, data_size).tolist() == error
        return
    with pytest.raises(ValueError, match=error):
        tvq.write(path, values, layout=layout, data_size=data_size)
    assert not path.exists()


VERSION = re.search(r"project\(tvqconverter VERSION (\S+)", (pathlib.Path(__file__).parents[2] /
                                                            "CMakeLists.txt").read_text())[1]


@pytest.mark.parametrize("args, cut, status, last", [
    ([], None, 0, "v5            %f                 0             12        3.25062"),
    ([], 40000, 1, "problem       {}: block 2 of {} is incomplete: 7232 of 16384 bytes (the "
                   "figures above are of the records before it)"),
    (["{}", "--names", "a,b,c,d,e,f"], None, 0, "{}  RUN-1001  1  5  f  %f  -inf  inf  nan"),
    (["--version"], None, 0, "tvq " + VERSION),
])
def test_info(tmp_path, args, cut, status, last):
    path = t2b(tmp_path, LINES[:4] + ["7 8 9 10 11 inf"] if args else LINES[:3] + LINES[-1:])
    path.write_bytes(path.read_bytes()[:cut])
    args = [a.format(path) for a in args] if args[:1] != ["--version"] else args
    proc = subprocess.run([sys.executable, "-m", "tvq"] + ["info", str(path)] * (
        args[:1] != ["--version"]) + args, env=os.environ, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, universal_newlines=True)
    assert (proc.returncode, proc.stderr) == (status, "")  # no NumPy warning of NaN or inf
    lines = proc.stdout.splitlines()
    assert args or "run_number    'RUN-1001'" in lines and "records       4" in lines
    assert " ".join(lines[-1].split()) == " ".join(last.format(path, path).split())
    assert tvq.__version__ == VERSION


@pytest.mark.parametrize("suffix, runs, opened", [
    (".h5", 1, False), (".h5", 2, False), (".csv", 1, False), (".csv", 2, False),
    (".npy", 1, False), (".csv", 2, True), (".npy", 1, True)])
def test_export_reads_back_as_read(tmp_path, capsys, suffix, runs, opened):
    sources = [t2b(tmp_path, LINES + MANY), t2b(tmp_path, MANY[:5], "b.tvq")][:runs]
    out = tmp_path / ("out" + suffix)
    given = [open(s, "rb") for s in sources] if opened else sources
    bar = runs > 1 and not opened  # over the sizes of the paths
    assert tvq.export(given[0] if opened and runs == 1 else given, out, step=300,
                      progress=bar) == len(LINES + MANY + MANY[:5] * (runs - 1))
    for stream in given if opened else ():
        stream.close()
    assert ("\r100%|" in capsys.readouterr().err) == bar  # the progress bar, to its end
    for source in sources:
        expected = tvq.read(source)
        if suffix == ".h5":
            with h5py.File(out) as f:
                got, attrs = f[source.name][:], dict(f[source.name].attrs)
            with tvq.open(source) as f:
                assert attrs["source"] == str(source) and attrs["header.run_number"] == \
                    f.header["run_number"] and attrs["ender.ender"] == f.ender["ender"]
        elif suffix == ".csv":
            got = pd.read_csv(out)
            assert list(got.columns[:runs]) == ["path"] * (runs - 1) + ["block"]
            got = got[got.path == str(source)] if runs > 1 else got
        else:
            got = np.load(out)
        for name in expected.dtype.names:
            column = np.asarray(got[name]).astype(expected.dtype[name])
            nan = np.isnan(column) if column.dtype.kind == "f" else np.zeros(len(column), bool)
            assert np.array_equal(nan, np.isnan(expected[name]) if nan.dtype.kind == "f" and
                                  column.dtype.kind == "f" else nan)
            assert column[~nan].tobytes() == expected[name][~nan].tobytes()


def test_readme_session(monkeypatch):
    """The README's Python session gives the output shown there."""
    root = pathlib.Path(__file__).resolve().parents[2]
    session = (root / "README.md").read_text().split("```pycon\n")[1].split("```")[0]
    monkeypatch.chdir(root)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    runner.run(doctest.DocTestParser().get_doctest(session, {}, "README", "README.md", 0))
    assert runner.failures == 0 and runner.tries == 11


class Stream(io.RawIOBase):
    """A file object that cannot seek, as a pipe's."""

    def __init__(self, data):
        self._data = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buffer):
        return self._data.readinto(buffer)


def test_a_count_past_the_buffer_refused(tmp_path):
    data = t2b(tmp_path, LINES).read_bytes()
    for kind in (io.BytesIO, Stream):  # readinto() saying it gave more than asked for
        liar = type("Liar", (kind,), {"readinto": lambda s, b: kind.readinto(s, b) and 10**8})
        with pytest.raises(ValueError, match=r"readinto\(\) gave 100000000 bytes, not 0 to"):
            tvq.read(liar(data))


@pytest.mark.parametrize("start, stop, columns", [
    (None, None, None), (0, 1, ["v1"]), (480, 483, ["v1", "block"]), (-100, None, ["event_id"]),
    (-2000, 5, None), (990, 2000, ["v5", "v0"]), (700, 600, None), (None, -1, ["v2"]),
    (2**64, None, None), (5, 2**70, ["v1"])])
def test_rows_and_columns(tmp_path, start, stop, columns):
    """Rows start:stop of the fields in columns, from a path, a file object
    that seeks, one that does not and an open file, compressed or not, and
    from URLs: the rows of the whole read, sliced."""
    path = t2b(tmp_path, MANY)
    whole = tvq.read(path)
    expected = whole[start:stop] if columns is None else \
        numpy.lib.recfunctions.repack_fields(whole[start:stop][columns])
    data = path.read_bytes()
    packed = {kind: compress(data) for kind, compress in COMPRESS.items()}
    for kind in packed:
        (tmp_path / kind).write_bytes(packed[kind])
    with tvq.open(path) as f:
        assert len(f) == len(MANY) and f.event_blocks == 3
        assert np.array_equal(f["v3"], whole["v3"])
        got = [f.values(start=start, stop=stop, columns=columns)]
    memory = "memory://%s/run.tvq.gz" % tmp_path.name
    fsspec.filesystem("memory").pipe(memory, packed["gzip"])
    with http_server(tmp_path, True) as (ranged, _), http_server(tmp_path, False) as (streamed, _):
        urls = [ranged + path.name, streamed + path.name, ranged + "xz", streamed + "zstd",
                "file://%s/bzip2" % tmp_path, memory]
        for source in [Stream(data), Stream(packed["gzip"])] + urls:
            with tvq.open(source) as f:
                assert len(f) == len(MANY) and f.ender == f.header
                got.append(f.values(start=start, stop=stop, columns=columns))
        sources = [path, io.BytesIO(data), Stream(data), tmp_path / "gzip",
                   io.BytesIO(packed["bzip2"]), Stream(packed["xz"])] + urls
        for source in sources:
            if source.__class__ is Stream and min(start or 0, stop or 0) < 0:
                with pytest.raises(ValueError, match="is a stream, read once"):
                    tvq.read(source, start=start, stop=stop, columns=columns)
                continue
            got.append(tvq.read(source, start=start, stop=stop, columns=columns))
    for values in got:
        assert values.dtype == expected.dtype and values.tobytes() == expected.tobytes()
    with pytest.raises(KeyError, match="v6"):
        tvq.read(path, columns=["v1", "v6"])
    with pytest.raises(ValueError, match="columns names no field"):
        tvq.read(path, columns=[])
    names = ["n,%d" % i for i in range(6)]  # a CSV header quotes them
    tvq.export(path, tmp_path / "named.csv", names=names)
    assert list(pd.read_csv(tmp_path / "named.csv").columns[2:]) == names


def test_open_reads_the_header_and_the_last_block(tmp_path):
    """Event blocks are read when records are asked for: a damaged one is
    not met by open; the ender is the last block, None without one; from a
    server that serves ranges, they are all that is read."""
    path = tmp_path / "run.tvq"
    for ender in (model.ender_block(), b""):
        path.write_bytes(model.header_block() + model.raw_block(0x1234) + ender)
        with tvq.open(path) as f:
            assert f.header["run_number"] == "RUN-1001" and (f.ender is None) == (not ender)
            with pytest.raises(tvq.FormatError, match="this block is not event block"):
                len(f)
    path.write_bytes(model.header_block() + model.event_block([]) * 40 + model.ender_block())
    with http_server(tmp_path, True) as (url, server), tvq.open(url + path.name) as f:
        assert f.header == f.ender and server.sent <= 2 * 16384 + 16  # and the range probe
        assert len(f) == 0 and server.sent > 42 * 16384
    class Counted(io.FileIO):
        taken = 0

        def readinto(self, buffer):
            got = super().readinto(buffer)
            Counted.taken += got
            return got

    with tvq.open(Counted(path)) as f:
        assert f.header == f.ender and Counted.taken == 2 * 16384
