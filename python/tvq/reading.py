"""Reading block files: one opened whole (BlockFile), the values of one read
at once (read) or in chunks as they are asked for (Chunks), and the values of
many in chunks (iterate)."""

import operator
import os

import numpy as np

from . import _tvq
from .layout import Layout


def _path(path):
    """A path as bytes for the core, and as text for messages."""
    return os.fsencode(path), os.fsdecode(path)


class BlockFile:
    """An open block file: header and ender texts, records, data words, values.

    The file is read whole when it is opened. errors="strict" (the default)
    raises FormatError for the first damage; errors="skip" keeps the records
    that tvqconverter -b2t lists in full and the texts of every problem in
    .problems.
    """

    def __init__(self, path, errors="strict"):
        if errors not in ("strict", "skip"):
            raise ValueError("errors must be 'strict' or 'skip', not %r" % (errors,))
        self._raw, self.name = _path(path)
        scan = _tvq.scan(self._raw, errors == "skip")
        #: the seven texts of the header and of the ender block (None when
        #: the file has no readable one)
        self.header = scan["header"]
        self.ender = scan["ender"]
        #: what was wrong with the file (errors="skip"), in file order
        self.problems = scan["problems"]
        #: the number of event blocks read
        self.event_blocks = scan["event_blocks"]
        self._records = scan["records"]
        self._words = scan["words"]
        self._starts = scan["starts"]
        for array in (self._records, self._words):
            array.flags.writeable = False
        self.closed = False

    def _check_open(self):
        if self.closed:
            raise ValueError("I/O operation on closed block file %s" % self.name)

    def records(self):
        """One row per event record, in file order: block, event_id,
        segment_id, event_size (without its flag bit), segment_size, and
        offset and count of its data words in words()."""
        self._check_open()
        return self._records

    def words(self):
        """The data words of all records, back to back (uint16)."""
        self._check_open()
        return self._words

    def values(self, layout=None, data_size=None, names=None):
        """The records' data words as values of a line format (see dtype())."""
        self._check_open()
        shape = Layout(layout, data_size, names)
        records = self._records
        misfit = np.flatnonzero(records["count"] != shape.words)
        if misfit.size:
            i = misfit[0]
            _tvq.raise_misfit(self._raw, int(records["block"][i]), int(self._starts[i]),
                              int(records["count"][i]), shape.words)
        out = np.empty(len(records), shape.dtype)
        if not len(out):
            return out
        out["block"] = records["block"]
        out["event_id"] = records["event_id"]
        cells = np.ndarray((len(records), len(shape.kinds)), dtype="<u4" if shape.data_size == 4
                           else "<i4", buffer=out, offset=_tvq.ROW_VALUES_AT,
                           strides=(shape.dtype.itemsize, 4))
        rows = self._words.reshape(len(records), shape.words)
        cells[...] = rows.view("<u4") if shape.data_size == 4 else rows.view("<i2")
        return out

    def close(self):
        self._records = self._words = self._starts = None
        self.closed = True

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        state = "closed" if self.closed else "%d records" % len(self._records)
        return "<tvq.BlockFile %r, %s>" % (self.name, state)


def open(path, errors="strict"):  # noqa: A001 - the package's own open
    """Opens a block file: a BlockFile (a context manager)."""
    return BlockFile(path, errors)


def read(path, layout=None, data_size=None, names=None):
    """The values of every event record of a file, one row each."""
    shape = Layout(layout, data_size, names)
    reader = _tvq.Value_reader(_path(path)[0], shape.format, shape.data_size, shape.dtype)
    values = reader.next(2**62)
    return np.empty(0, shape.dtype) if values is None else values


class Chunks:
    """The values of one file in arrays of at most step rows, read as they
    are asked for: an iterator. Memory is bounded by step, not by the file.

    After damage, raises FormatError; with partial=True the rows read before
    it come first, as a last shorter array. .header and .ender are the texts
    of those blocks once they are read (None before, and for a file without
    one), .event_blocks the number of event blocks read so far, .dtype the
    rows' dtype."""

    def __init__(self, path, step=1_000_000, layout=None, data_size=None, names=None,
                 partial=False):
        self._step = operator.index(step)
        if self._step < 1:
            raise ValueError("step must be at least 1")
        shape = Layout(layout, data_size, names)
        self.dtype = shape.dtype
        self._partial = bool(partial)
        self._reader = _tvq.Value_reader(_path(path)[0], shape.format, shape.data_size,
                                         shape.dtype)

    def __iter__(self):
        return self

    def __next__(self):
        chunk = self._reader.next(self._step, self._partial)
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


def iterate(paths, step=1_000_000, layout=None, data_size=None, names=None):
    """Yields the values of one file or of a list of files, in order, in arrays
    of at most step records (a chunk holds rows of one file). Memory is
    bounded by step, not by the files. After damage, raises FormatError once
    the whole chunks read before it are yielded."""
    step = operator.index(step)
    if step < 1:
        raise ValueError("step must be at least 1")
    Layout(layout, data_size, names)
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    paths = list(paths)

    def chunks():
        for path in paths:
            yield from Chunks(path, step, layout, data_size, names)

    return chunks()
