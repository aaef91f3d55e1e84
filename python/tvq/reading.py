"""Reading block files: one opened without reading its event blocks yet
(BlockFile), the values of one read at once, all rows or a range of them
(read), in chunks as they are asked for (Chunks), and the values of many in
chunks (iterate)."""

import operator
import os
import warnings

import numpy as np

from . import _tvq
from .layout import Layout
from .sources import listed
from .sources import source as _source

_UNREAD = object()  # the ender of a source read from its start, until it is asked for
# More rows than any file holds: a count or bound past it means all of them
# (the core counts rows in 64 bits).
_ALL = 2**62


def _skip(errors):
    if errors not in ("strict", "skip"):
        raise ValueError("errors must be 'strict' or 'skip', not %r" % (errors,))
    return errors == "skip"


def _warn(problems):
    """Each problem passed over with errors="skip" as a DamageWarning."""
    for problem in problems:
        warnings.warn(problem, stacklevel=3)


def _plan(counts, start, stop):
    """(event block, rows of it passed over, rows) of the rows start:stop as
    Python slices count them, from the records of each event block."""
    ends = np.cumsum(counts, dtype=np.int64)
    first, last, _ = slice(start, stop).indices(int(ends[-1]) if len(ends) else 0)
    if last <= first:
        return 0, 0, 0
    index = int(np.searchsorted(ends, first, side="right"))
    return index + 1, first - (int(ends[index - 1]) if index else 0), last - first


def _rows(src, shape, columns, skip, start=None, stop=None, counts=None):
    """Rows start:stop of the source's values, and the problems met: from the
    event block that holds start when the records of each block are known
    (counts) or needed (a bound counted from the end); else from the first
    block on, the rows before start passed over unmade."""
    row_type, pieces = shape.select(columns)
    problems = []
    negative = any(bound is not None and operator.index(bound) < 0 for bound in (start, stop))
    if counts is None and negative:
        if not src.repeatable:
            raise ValueError("%s is a stream, read once: rows counted from its end need it "
                             "read twice" % os.fsdecode(src.name))
        counted = src.count(skip)
        counts, problems = counted["counts"], counted["problems"]
    block = 0
    if counts is not None:
        block, passed, wanted = _plan(counts, start, stop)
        if block > 1 and not src.seekable:  # the blocks before it are walked over
            passed += int(np.sum(counts[:block - 1], dtype=np.int64))
            block = 0
    else:
        passed = 0 if start is None else operator.index(start)
        wanted = -1 if stop is None else max(0, operator.index(stop) - passed)
    if wanted == 0:
        return np.empty(0, row_type), problems
    reader = src.reader(shape, row_type, pieces, skip)
    if block > 1:
        reader.seek(block)
    reader.range(min(passed, _ALL), min(wanted, _ALL), 0)
    values = reader.next(_ALL)
    met = reader.problems()
    src.close()
    return (np.empty(0, row_type) if values is None else values), problems or met


class BlockFile:
    """An open block file: header and ender texts, records, data words, values.

    Opening reads the header block and the last block, nothing else; the event
    blocks are read when records, words, values or their number are asked for.
    A source that cannot be read by block index (compressed, or a server
    without ranges) is read from its start for each of these, and for .ender
    when it is first asked for; a stream that cannot be read again (a pipe)
    is read whole when opened.
    errors="strict" (the default) raises FormatError for the first damage;
    errors="skip" keeps the records that tvqconverter -b2t lists in full and
    the texts of the problems in .problems, as they are found.
    """

    def __init__(self, source, errors="strict"):
        self._skip = _skip(errors)
        self._source = _source(source)
        self.name = os.fsdecode(self._source.name)
        #: what was wrong with the file (errors="skip"), in file order, as found
        self.problems = []
        self._scan = self._counts = None
        #: the seven texts of the header block
        self.header = self._ender = None
        self.closed = False
        if not self._source.repeatable:
            self._scanned()
            self.header, self._ender = self._scan["header"], self._scan["ender"]
            return
        try:
            self.header, self._ender = self._source.heads()
            if not self._source.seekable and self.header is not None:
                self._ender = _UNREAD
        except _tvq.FormatError as error:
            if not self._skip:
                raise
            self._found([error])

    @property
    def ender(self):
        """The seven texts of the ender block, the file's last (None for a
        file without one: a run still being written)."""
        if self._ender is _UNREAD:
            self._check_open()
            self._ender = self._source.ender()
        return self._ender

    def _found(self, problems):
        for problem in problems:
            if str(problem) not in self.problems:
                self.problems.append(str(problem))

    def _check_open(self):
        if self.closed:
            raise ValueError("I/O operation on closed block file %s" % self.name)

    def _scanned(self):
        if self._scan is None:
            self._scan = self._source.scan(self._skip)
            self._found(self._scan["problems"])
            for name in ("records", "words"):
                self._scan[name].flags.writeable = False
        return self._scan

    def _counted(self):
        """The records of each event block."""
        self._check_open()
        if self._counts is None:
            if self._scan is not None:
                blocks = np.bincount(self._scan["records"]["block"],
                                     minlength=self._scan["event_blocks"] + 1)
                self._counts = blocks[1:].astype(np.uint32)
            else:
                counted = self._source.count(self._skip)
                self._found(counted["problems"])
                self._counts = counted["counts"]
        return self._counts

    @property
    def event_blocks(self):
        """The number of event blocks the walk reads."""
        return len(self._counted())

    def __len__(self):
        """The number of event records, from their heads alone; kept once known."""
        return int(self._counted().sum())

    def __getitem__(self, name):
        """One value field of all rows, as values()[name]."""
        if not isinstance(name, str):
            raise TypeError("a field name, not %s" % type(name).__name__)
        return self.values(columns=[name])[name]

    def records(self):
        """One row per event record, in file order: block, event_id,
        segment_id, event_size (without its flag bit), segment_size, and
        offset and count of its data words in words()."""
        self._check_open()
        return self._scanned()["records"]

    def words(self):
        """The data words of all records, back to back (uint16)."""
        self._check_open()
        return self._scanned()["words"]

    def values(self, layout=None, data_size=None, names=None, *, start=None, stop=None,
               columns=None):
        """The records' data words as values of a line format (see dtype()):
        rows start:stop as Python slices count them, of the fields in columns
        only (in that order) if given."""
        self._check_open()
        shape = Layout(layout, data_size, names)
        if self._source.repeatable:
            counts = self._counted() if (start, stop) != (None, None) else None
            values, problems = _rows(self._source, shape, columns, self._skip, start, stop, counts)
            self._found(problems)
            return values
        return self._values_of_scan(shape, columns, start, stop)

    def _values_of_scan(self, shape, columns, start, stop):
        """values() of a stream, made from the words read when it was opened."""
        scan = self._scanned()
        records = scan["records"][start:stop]
        misfit = np.flatnonzero(records["count"] != shape.words)
        if misfit.size:
            i = misfit[0]
            _tvq.raise_misfit(self._source.name, int(records["block"][i]),
                              int(scan["starts"][start:stop][i]), int(records["count"][i]),
                              shape.words)
        out = np.zeros(len(records), shape.dtype)
        if len(out):
            out["block"] = records["block"]
            out["event_id"] = records["event_id"]
            cells = np.ndarray((len(records), len(shape.kinds)),
                               dtype="<u4" if shape.data_size == 4 else "<i4", buffer=out,
                               offset=_tvq.ROW_VALUES_AT, strides=(shape.dtype.itemsize, 4))
            first = int(records["offset"][0])
            rows = scan["words"][first:first + len(records) * shape.words].reshape(
                len(records), shape.words)
            cells[...] = rows.view("<u4") if shape.data_size == 4 else rows.view("<i2")
        row_type, _ = shape.select(columns)
        if columns is None:
            return out
        picked = np.empty(len(out), row_type)
        for name in row_type.names:
            picked[name] = out[name]
        return picked

    def close(self):
        self._scan = self._counts = None
        self._source.close()
        self.closed = True

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        state = ("closed" if self.closed else "open" if self._counts is None and self._scan is None
                 else "%d records" % len(self))
        return "<tvq.BlockFile %r, %s>" % (self.name, state)


def open(source, errors="strict"):  # noqa: A001 - the package's own open
    """Opens a block file: a BlockFile (a context manager). source is a path,
    a binary file object or a URL (through fsspec), its data as stored or
    compressed (gzip, bzip2, xz, zstd: known by its first bytes)."""
    return BlockFile(source, errors)


def read(source, layout=None, data_size=None, names=None, *, start=None, stop=None,
         columns=None, errors="strict"):
    """The values of the event records of a file, one row each: rows
    start:stop as Python slices count them, of the fields in columns only (in
    that order) if given. errors="skip" keeps the records that -b2t lists in
    full and gives each problem as a DamageWarning."""
    skip = _skip(errors)
    values, problems = _rows(_source(source), Layout(layout, data_size, names), columns, skip,
                             start, stop)
    _warn(problems)
    return values


class ChunkReport:
    """Where a chunk of iterate(..., report=True) comes from: .path (the
    source as given), and its rows .start:.stop within that file."""

    __slots__ = ("path", "start", "stop")

    def __init__(self, path, start, stop):
        self.path, self.start, self.stop = path, start, stop

    def __repr__(self):
        return "ChunkReport(path=%r, start=%d, stop=%d)" % (self.path, self.start, self.stop)


class Chunks:
    """The values of one file in arrays of at most step rows, read as they
    are asked for: an iterator. Memory is bounded by step, not by the file.

    After damage, raises FormatError; with partial=True the rows read before
    it come first, as a last shorter array. errors="skip" goes on after
    damage, each problem a DamageWarning. .header and .ender are the texts
    of those blocks once they are read (None before, and for a file without
    one), .event_blocks the number of event blocks read so far, .dtype the
    rows' dtype."""

    def __init__(self, source, step=1_000_000, layout=None, data_size=None, names=None,
                 partial=False, *, errors="strict", columns=None):
        self._step = operator.index(step)
        if self._step < 1:
            raise ValueError("step must be at least 1")
        skip = _skip(errors)
        shape = Layout(layout, data_size, names)
        self.dtype, pieces = shape.select(columns)
        self._partial = bool(partial)
        src = _source(source)
        #: the source as given, for messages
        self.name = os.fsdecode(src.name)
        self._reader = src.reader(shape, self.dtype, pieces, skip)

    def __iter__(self):
        return self

    def __next__(self):
        try:
            chunk = self._reader.next(min(self._step, _ALL), self._partial)
        finally:
            _warn(self._reader.problems())
        if chunk is None:
            raise StopIteration
        return chunk

    @property
    def header(self):
        return self._reader.header()

    @property
    def ender(self):
        return self._reader.ender()

    @property
    def event_blocks(self):
        return self._reader.event_blocks()


def iterate(sources, step=1_000_000, layout=None, data_size=None, names=None, *, report=False,
            errors="strict", columns=None):
    """Yields the values of one file or of a list of files, in order, in arrays
    of at most step records (a chunk holds rows of one file); with
    report=True, (chunk, report) with report.path, .start and .stop, the
    chunk's rows within its file. Memory is bounded by step, not by the
    files. After damage, raises FormatError once the whole chunks read before
    it are yielded; errors="skip" goes on, each problem a DamageWarning."""
    step = operator.index(step)
    if step < 1:
        raise ValueError("step must be at least 1")
    _skip(errors)
    Layout(layout, data_size, names).select(columns)
    sources = listed(sources)

    def chunks():
        for source in sources:
            at = 0
            chunks_of = Chunks(source, step, layout, data_size, names, errors=errors,
                               columns=columns)
            for chunk in chunks_of:
                yield (chunk, ChunkReport(chunks_of.name, at, at + len(chunk))) if report else chunk
                at += len(chunk)

    return chunks()
