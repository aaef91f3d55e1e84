"""Damaged files, built byte by byte: FormatError in the program's words,
errors="skip" with the records -b2t lists in full, iterate's whole chunks; and
what tvq.write refuses."""

import bz2
import errno
import gzip
import os
import random
import resource
import signal
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

import tvq
import tvq.plot
from conftest import http_server, model, tvqconverter

H, E = model.header_block(), model.ender_block()


def good(count, first=1):
    return [model.Record(first + i, [i] * 12) for i in range(count)]


BAD_SIZES = model.Record(2, [1] * 12, segment_size=13)
TOO_SMALL = model.Record(2, [], event_size=0x8004, segment_size=1)
TWO = H + model.event_block(good(3))
GZIP = gzip.compress(TWO) + b"\x1f\x8c" + bytes(20)  # a second member, damaged
TEXT = b"# run 1001\n" + b"5 2 0 0 0 0\n" * 1400
# name, file bytes (or those stored and those the program is given),
# FormatError's event block, word and place in words (if the reason leaves it
# unsaid) and reason, records kept by errors="skip"
DAMAGE = [
    ("empty", b"", (None, None, None), "no header block: {} is empty", 0),
    ("not header", model.event_block(good(2)) + E, (None, 0, "block 0, word 0"),
     "this block is not header", 0),
    ("4 TiB, sparse", model.event_block(good(2)) + E, (None, 0, "block 0, word 0"),
     "this block is not header", 0),
    ("cut block", H + model.event_block(good(3)) + model.event_block(good(2))[:3616],
     (2, None, None), "block 2 of {} is incomplete: 3616 of 16384 bytes", 3),
    ("no ender", H + model.event_block(good(3)), (None, None, None),
     "no ender block: {} ends after 2 blocks", 3),
    ("wrong flag", H + model.event_block(good(3)) + model.raw_block(0x1234) + E,
     (2, 0, "event block 2, word 0"), "this block is not event block", 3),
    ("sizes", H + model.event_block(good(1) + [BAD_SIZES] + good(1, 3)) +
     model.event_block(good(2)) + E, (1, 21, "event block 1, record at word 21"),
     "event_size or segment_size is wrong", 3),
    ("too small", H + model.event_block(good(1) + [TOO_SMALL]) + E, (1, 21, None),
     "segment size 1 is too small at word 21 of event block 1", 1),
    ("past end", H + model.event_block(good(3)) +
     model.event_block(good(482), markers=False, clip=True) + E, (2, 8181, None),
     "record at word 8181 of event block 2 runs past the end of the block", 484),
    ("cut bzip2", (bz2.compress(TWO) + bz2.compress(E)[:60], TWO), (None, None, None),
     "no ender block: {} ends after 2 blocks (bzip2 data cut short after 32768 bytes)", 3),
    ("damaged gzip", (GZIP, TWO), (None, None, None), "no ender block: {} ends after 2 blocks "
     "(gzip data? first bytes %s; it does not decompress after 32768 bytes: Not a gzipped "
     "file (b'\\x1f\\x8c'))" % GZIP[:16].hex(" "), 3),
    ("zip archive", b"PK\x03\x04\x14" + bytes(25), (None, None, None), "block 0 of {} is "
     "incomplete: 30 of 16384 bytes (zip archive? first bytes 50 4b 03 04 14 %s)" %
     bytes(11).hex(" "), 0),
    ("text", TEXT, (None, 0, "block 0, word 0"), 'this block is not header (text? first bytes '
     '"# run 1001\\n5 2 0")', 0),
    ("gzip of HDF5", (gzip.compress(b"\x89HDF\r\n\x1a\n" + bytes(16400)), b"\x89HDF"),
     (None, 0, "block 0, word 0"), "this block is not header (gzip data holding HDF5 file? "
     "first bytes 89 48 44 46 0d 0a 1a 0a %s)" % bytes(8).hex(" "), 0),
]


@pytest.mark.parametrize("name, data, where, reason, kept", DAMAGE, ids=[d[0] for d in DAMAGE])
def test_damage(tmp_path, name, data, where, reason, kept):
    path = tmp_path / "run.tvq"
    data, plain = data if isinstance(data, tuple) else (data, data)
    path.write_bytes(data)
    os.truncate(path, 2**42 if "TiB" in name else len(data))  # far more than memory
    block, word, place = where
    reason = reason.format(path)
    text = ": ".join([str(path)] + [place] * bool(place) + [reason])
    # found when the records are asked for, not by open (unless in the header)
    for call in (lambda p: len(tvq.open(p)), lambda p: tvq.open(p).records(), tvq.read,
                 lambda p: list(tvq.iterate(p)), lambda p: tvq.read(p, start=-1),
                 lambda p: tvq.read(open(p, "rb")),
                 lambda p: tvq.export(p, p.with_suffix(".h5"), step=100)):
        with pytest.raises(tvq.FormatError) as caught:
            call(path)
        assert os.listdir(tmp_path) == ["run.tvq"]  # no export, whole or in part
        assert str(caught.value) == text
        error = caught.value
        assert (error.path, error.block, error.word, error.reason) == (str(path), block, word,
                                                                       reason)
    with tvq.open(path, errors="skip") as f:
        assert (len(f), f.problems) == (kept, [text])
        assert len(f.records()) == kept and len(f.words()) == 12 * kept
        assert np.all(f.records()["count"] == 12)
    for call in (tvq.read, lambda p, **k: np.concatenate(list(tvq.iterate(p, step=2, **k)) or
                                                        [np.empty(0, tvq.dtype())])):
        with pytest.warns(tvq.DamageWarning) as warned:
            assert len(call(path, errors="skip")) == kept
        warning = warned[0].message
        assert [str(w.message) for w in warned] == [text] and isinstance(warning, UserWarning)
        assert (warning.path, warning.block, warning.word, warning.reason) == (error.path, block,
                                                                               word, reason)
    # -b2t lists as many records in full: event id, segment id, 12 words
    (tmp_path / "plain").write_bytes(plain)
    tvqconverter("-b2t", tmp_path / "plain" if plain is not data else path, tmp_path / "listing")
    lines = (tmp_path / "listing").read_text().splitlines()
    assert len([line for line in lines if len(line.split()) == 14]) == kept


def test_names_are_only_names(tmp_path, monkeypatch):
    """The failure decides the exception, not words in the file's name; any
    byte of a name survives in the messages; a NUL ends no name. A URL that cannot be
    read: the OSError of the server's status or of the connection, in a few words."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "run.tvq").write_bytes(H + model.event_block(good(2)) + E)
    for call in (tvq.read, tvq.open, lambda p: tvq.write(p, np.zeros((1, 6))),
                 lambda p: tvq.export("run.tvq", p), lambda p: tvq.plot.histograms(p)):
        with pytest.raises(ValueError, match="embedded null byte|NUL character"):
            call("new\0.csv")
    assert os.listdir(tmp_path) == ["run.tvq"]
    with pytest.raises(FileNotFoundError):
        tvq.read(tmp_path / "missing is a directory.tvq")
    with pytest.raises(IsADirectoryError):
        tvq.read(tmp_path)
    with socket.create_server(("127.0.0.1", 0)) as closed:
        refused = "http://127.0.0.1:%d/run.tvq" % closed.getsockname()[1]
    with http_server(tmp_path, True) as (url, _):
        for tail, kind, words in (("missing.tvq", FileNotFoundError, "HTTP 404 File not found"),
                                  ("status/403", PermissionError, "HTTP 403 Forbidden"),
                                  ("status/503", OSError, "HTTP 503 Service Unavailable")):
            with pytest.raises(kind) as caught:
                tvq.open(url + tail)
            assert (caught.type, caught.value.strerror, caught.value.filename) == (
                kind, words, url + tail) and caught.value.__suppress_context__
    with pytest.raises(ConnectionRefusedError, match=refused):
        tvq.read(refused)
    path = tmp_path / os.fsdecode(b"caf\xe9.tvq")
    path.write_bytes(H + model.event_block(good(2)))
    with tvq.open(path, errors="skip") as f:
        assert f.ender is None and f.problems == []  # found when the records are read
        assert len(f) == 2 and f.problems == ["%s: no ender block: %s ends after 2 blocks" % (path, path)]


def test_iterate_yields_whole_chunks_before_damage(tmp_path):
    path = tmp_path / "run.tvq"
    path.write_bytes(H + b"".join(model.event_block(good(481)) for _ in range(3)) +
                     model.raw_block(7) + E)
    chunks = tvq.iterate(path, step=500)
    assert [len(next(chunks)) for _ in range(2)] == [500, 500]
    with pytest.raises(tvq.FormatError, match="event block 4, word 0: this block is not"):
        next(chunks)


@pytest.mark.parametrize("write", [
    lambda p: tvq.write(p, np.zeros((3, 6))),
    lambda p: tvq.export(p.parent / "in.tvq", p),
    lambda p: tvq.plot.save_new(tvq.plot.figure(p.parent / "in.tvq"), p),
], ids=["write", "export", "plot"])
@pytest.mark.parametrize("make", [
    lambda p: p.write_bytes(b"keep"),
    lambda p: p.mkdir(),
    lambda p: p.symlink_to(p.parent / "target"),
], ids=["file", "directory", "dangling link"])
def test_existing_path_refused(tmp_path, make, write):
    path = tmp_path / "out.csv"
    make(path)
    (tmp_path / "in.tvq").write_bytes(H + model.event_block(good(2)) + E)
    before = sorted(os.listdir(tmp_path)), os.lstat(path)
    with pytest.raises(FileExistsError, match="all ready exist"):
        write(path)
    assert (sorted(os.listdir(tmp_path)), os.lstat(path)) == before
    assert path.is_dir() or path.is_symlink() or path.read_bytes() == b"keep"


@pytest.mark.parametrize("texts, error", [
    ({"run_number": "RUN-0042", "header": "calibration", "print_date": ""}, None),
    ({"run_number": "RUN-00042"}, "run_number: 9 characters, the field holds 8"),
    ({"header": "x" * 81}, "header: 81 characters, the field holds 80"),
    ({"runnumber": "1"}, "no header field 'runnumber'"),
    ({"ender": "\u20ac"}, "latin-1"),
])
def test_header_texts(tmp_path, texts, error):
    path = tmp_path / "out.tvq"
    if error is not None:
        with pytest.raises(ValueError, match=error):
            tvq.write(path, np.zeros((1, 6)), header=texts)
        assert not path.exists()
        return
    tvq.write(path, np.zeros((1, 6)), header=texts)
    with tvq.open(path) as f:
        assert f.header == f.ender == dict(model.USER, **texts, **{
            k: v.decode() for k, v in model.USER.items() if k not in texts})


@pytest.mark.parametrize("call", ["tvq.read(path)", "tvq.open(path)", "tvq.read(open(path, 'rb'))",
                                  "tvq.read(sys.argv[2])"])
def test_ctrl_c_while_blocked_on_a_fifo(tmp_path, call):
    """A read of a FIFO without a writer, or of a server that does not
    answer, gives way to Ctrl-C as KeyboardInterrupt (a generous bound: it
    must come back at all)."""
    path = tmp_path / "fifo"
    os.mkfifo(path)
    silent = socket.create_server(("127.0.0.1", 0))  # a connection, never an answer
    code = ("import sys, tvq\npath = sys.argv[1]\nprint('go', flush=True)\n"
            "try:\n    %s\nexcept KeyboardInterrupt:\n    print('KeyboardInterrupt')\n" % call)
    child = subprocess.Popen([sys.executable, "-c", code, str(path), "http://127.0.0.1:%d/run.tvq"
                              % silent.getsockname()[1]], stdout=subprocess.PIPE,
                             universal_newlines=True, env=os.environ)
    assert child.stdout.readline() == "go\n"
    if "open(path, 'rb')" in call:
        writer = os.open(path, os.O_WRONLY)  # the child now waits for data
    time.sleep(0.3)
    child.send_signal(signal.SIGINT)
    try:
        assert child.communicate(timeout=30)[0] == "KeyboardInterrupt\n"
    finally:
        child.kill()
        silent.close()
        if "open(path, 'rb')" in call:
            os.close(writer)


def test_file_system_without_links(tmp_path, monkeypatch):
    """Where a link cannot be made, the name is taken and then replaced."""
    tvq.write(tmp_path / "linked.tvq", np.ones((3, 6)))
    monkeypatch.setattr(os, "link", lambda *_: (_ for _ in ()).throw(PermissionError(1, "no")))
    tvq.write(tmp_path / "renamed.tvq", np.ones((3, 6)))
    assert sorted(os.listdir(tmp_path)) == ["linked.tvq", "renamed.tvq"]
    assert (tmp_path / "renamed.tvq").read_bytes() == (tmp_path / "linked.tvq").read_bytes()


class Meanwhile:
    """Values whose conversion puts a file at the name being written, as
    another process may."""

    def __init__(self, path):
        self.path = path

    def __array__(self, dtype=None):
        self.path.write_bytes(b"theirs")
        return np.ones((5000, 6))


@pytest.mark.parametrize("limit, meanwhile, error, left", [
    (40000, False, "%d OSError %s" % (errno.EFBIG, "out.tvq"), []),
    (40000, True, "%d OSError %s" % (errno.EFBIG, "out.tvq"), [b"theirs"]),
    (-1, True, "%d FileExistsError %s" % (errno.EEXIST, "out.tvq"), [b"theirs"]),
])
def test_failed_write_leaves_no_file(tmp_path, limit, meanwhile, error, left):
    """A write cut by the file size limit, or whose name was taken meanwhile:
    OSError naming the file, no file, and the other's file untouched."""
    path = tmp_path / "out.tvq"
    code = ("import os, resource, signal, sys, tvq, pathlib, test_damage\n"
            "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
            "resource.setrlimit(resource.RLIMIT_FSIZE, (%d, %d))\n"
            "path = pathlib.Path(sys.argv[1])\n"
            "try:\n    tvq.write(path, test_damage.Meanwhile(path) if %s else [[1] * 6] * 5000)\n"
            "except OSError as e:\n    print(e.errno, type(e).__name__, os.path.basename(e.filename))\n"
            % (limit, limit, meanwhile))
    out = subprocess.run([sys.executable, "-c", code, str(path)], stdout=subprocess.PIPE,
                         universal_newlines=True, env=os.environ).stdout
    assert out.strip() == error
    assert [p.read_bytes() for p in tmp_path.iterdir()] == left


def test_interrupted_export_leaves_no_file(tmp_path):
    """Ctrl-C during an export: the output is whole or absent, never cut."""
    tvq.write(tmp_path / "in.tvq", np.ones((2_000_000, 6)))
    proc = subprocess.Popen([sys.executable, "-m", "tvq", "export", str(tmp_path / "in.tvq"),
                             "-o", str(tmp_path / "out.csv")], stdout=subprocess.PIPE)
    while len(os.listdir(tmp_path)) == 1 and proc.poll() is None:  # until it writes
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    assert (proc.wait(60), os.listdir(tmp_path)) == (130, ["in.tvq"])


def random_records(seed):
    """An event block of records of random sizes, the last running past its
    end, or with one inconsistent or too short on the way (by seed % 3)."""
    rng = random.Random(seed)
    words = [0, 0, 0]
    bad = rng.randrange(50) if seed % 3 else -1
    while len(words) < 8191:
        n = rng.randrange(40)
        sizes = {0: (n + 5, n + 2), 1: (n + 7, n + 2), 2: (4, 1)}[seed % 3 if bad == 0 else 0]
        words += [sizes[0] | 0x8000, 1, len(words), sizes[1], 1]
        words += [rng.randrange(0x10000) for _ in range(n)]
        bad -= 1
    return model.raw_block(0, words=words[:8191])


@pytest.mark.parametrize("seed", range(12))
def test_any_records(tmp_path, seed):
    """Records of random sizes: an error or records, never a crash; skip
    mode keeps the records -b2t lists in full and goes on with the next
    block."""
    path = tmp_path / "random.tvq"
    path.write_bytes(H + random_records(seed) +
                     model.event_block(good(1) + [model.Record(2, [seed] * seed)]) + E)
    with tvq.open(path, errors="skip") as f:
        records = f.records()
        assert records["count"].sum() == len(f.words())
        assert list(records["block"][-2:]) == [2, 2] and records["count"][-1] == seed
    tvqconverter("-b2t", path, tmp_path / "listing")
    first, second = (tmp_path / "listing").read_text().split("#  2 event block\n\n")
    lines = first.split("#  1 event block\n\n")[1].splitlines()
    whole = [line.split() for line in lines if line.endswith(" ")][:len(records) - 2]
    assert [len(words) - 2 for words in whole] == list(records["count"][:-2])
    assert [len(line.split()) - 2 for line in second.splitlines()[:2]] == [12, seed]
    try:
        values = tvq.read(path, "%d", data_size=2)
        assert len(values) == len(records)
    except tvq.FormatError as error:
        assert str(error).startswith(str(path) + ": ")
