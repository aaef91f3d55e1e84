"""Block files of tvqconverter as NumPy arrays.

A block file is a header block, event blocks of event records and an ender
block, 16384 bytes each. This package reads and writes them with the
program's own code (the extension tvq._tvq): the same block walk, record
rules, line layout and block writer as ``tvqconverter``.

    with tvq.open("run1001.tvq") as f:
        f.header["run_number"], f.records(), f.words(), f.values()
    values = tvq.read("run1001.tvq")             # one row per event record
    for chunk in tvq.iterate(paths, step=1_000_000): ...
    tvq.write("new.tvq", values)                 # as tvqconverter -t2b writes

Values follow a line format, by default the compiled-in one (LINE_FORMAT,
DATA_SIZE): a field per conversion, int32 for %d and float32 for %f, after
the fields ``block`` (the event block, from 1) and ``event_id``.

Nothing is printed. A damaged file raises FormatError (a ValueError) naming
the file, the event block and the word; open(path, errors="skip") keeps the
problems in .problems instead.
"""

import operator
import os

import numpy as np

from . import _tvq
from ._tvq import FormatError
from .frames import to_pandas

__all__ = ["BlockFile", "FormatError", "open", "read", "iterate", "write", "dtype",
           "FIELDS", "LINE_FORMAT", "DATA_SIZE"]

FormatError.__module__ = __name__
FormatError.__doc__ = ("A damaged block file: the message names the file, the event block "
                       "and the word, in the words tvqconverter prints for it.")

#: the compiled-in line format and bytes per value
LINE_FORMAT = _tvq.LINE_FORMAT
DATA_SIZE = _tvq.DATA_SIZE
#: the seven text fields of a header or ender block, in block order
FIELDS = tuple(name for name, _ in _tvq.FIELDS)
_FIELD_SIZES = dict(_tvq.FIELDS)
_ROW_HEAD = (("block", "<u4"), ("event_id", "<u2"))


def _path(path):
    """A path as bytes for the core, and as text for messages."""
    return os.fsencode(path), os.fsdecode(path)


class _Layout:
    """A line format checked by the core's own rules, with its value dtype."""

    def __init__(self, layout, data_size, names):
        self.format = LINE_FORMAT if layout is None else layout
        self.data_size = DATA_SIZE if data_size is None else operator.index(data_size)
        if not isinstance(self.format, str) or "\0" in self.format:
            raise ValueError("layout must be a line format such as %r" % LINE_FORMAT)
        kinds, problem = _tvq.check_layout(self.format, self.data_size)
        if problem is not None:
            raise ValueError("%r with data size %d: %s" % (self.format, self.data_size, problem))
        self.kinds = kinds
        self.words = len(kinds) * self.data_size // 2
        if names is None:
            names = ["v%d" % i for i in range(len(kinds))]
        names = [str(name) for name in names]
        if len(names) != len(kinds):
            raise ValueError("%d names for the %d values of %r" % (len(names), len(kinds),
                                                                    self.format))
        if len(set(names) | {"block", "event_id"}) != len(names) + 2:
            raise ValueError("names must differ from each other and from 'block' and 'event_id'")
        self.names = names
        at = _tvq.ROW_VALUES_AT
        self.dtype = np.dtype({
            "names": ["block", "event_id"] + names,
            "formats": [f for _, f in _ROW_HEAD] + ["<i4" if k == "d" else "<f4" for k in kinds],
            "offsets": [0, 4] + [at + 4 * i for i in range(len(kinds))],
            "itemsize": at + 4 * len(kinds),
        })


def dtype(layout=None, data_size=None, names=None):
    """The structured dtype of values() rows for a line format."""
    return _Layout(layout, data_size, names).dtype


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
        raw, self.name = _path(path)
        scan = _tvq.scan(raw, errors == "skip")
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
        shape = _Layout(layout, data_size, names)
        records = self._records
        misfit = np.flatnonzero(records["count"] != shape.words)
        if misfit.size:
            i = misfit[0]
            raise FormatError("%s: event block %d, record at word %d: %d data words, the layout "
                              "takes %d" % (self.name, records["block"][i], self._starts[i],
                                            records["count"][i], shape.words))
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
    shape = _Layout(layout, data_size, names)
    reader = _tvq.Value_reader(_path(path)[0], shape.kinds, shape.data_size, shape.dtype)
    values = reader.next(2**62)
    return np.empty(0, shape.dtype) if values is None else values


def iterate(paths, step=1_000_000, layout=None, data_size=None, names=None):
    """Yields the values of one file or of a list of files, in order, in arrays
    of at most step records (a chunk holds rows of one file). Memory is
    bounded by step, not by the files. After damage, raises FormatError once
    the whole chunks read before it are yielded."""
    step = operator.index(step)
    if step < 1:
        raise ValueError("step must be at least 1")
    shape = _Layout(layout, data_size, names)
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    paths = list(paths)

    def chunks():
        for path in paths:
            reader = _tvq.Value_reader(_path(path)[0], shape.kinds, shape.data_size,
                                       shape.dtype)
            while True:
                chunk = reader.next(step)
                if chunk is None:
                    break
                yield chunk

    return chunks()


def _columns(values, shape):
    """The value columns of a structured array (its fields other than block
    and event_id) or of a 2-D array."""
    values = np.asarray(values)
    count = len(shape.kinds)
    if values.dtype.names is not None:
        names = [n for n in values.dtype.names if n not in ("block", "event_id")]
        if len(names) != count:
            raise ValueError("values have the fields %s; the layout %r takes %d" %
                             (names, shape.format, count))
        return names, [values[n] for n in names]
    if values.ndim == 1 and count == 1:
        values = values[:, np.newaxis]
    if values.ndim != 2 or values.shape[1] != count:
        raise ValueError("values of shape %s; the layout %r takes (rows, %d)" %
                         (values.shape, shape.format, count))
    return ["column %d" % i for i in range(count)], [values[:, i] for i in range(count)]


def _integers(name, column, kind, what):
    """The column as integers of kind; a value that is not an integer, or
    that kind cannot hold, is refused."""
    if column.dtype.kind == "f":
        whole = np.isfinite(column) & (column == np.trunc(column))
        if not whole.all():
            i = np.flatnonzero(~whole)[0]
            raise ValueError("%s, row %d: %r is not an integer" % (name, i, column[i]))
    elif column.dtype.kind not in "biu":
        raise TypeError("%s: %s values, not numbers" % (name, column.dtype))
    if not np.can_cast(column.dtype, kind):
        limits = np.iinfo(kind)
        outside = (column < limits.min) | (column > limits.max)
        if outside.any():
            i = np.flatnonzero(outside)[0]
            raise ValueError("%s, row %d: %s: %s" % (name, i, column[i], what))
    return column.astype(kind)


def _record_words(values, shape):
    """(rows, words) uint16 array: each row's values as the record's data words."""
    values = np.asarray(values)
    names, columns = _columns(values, shape)
    fields = values.dtype.fields
    if fields is not None and shape.data_size == 4:
        # Fields of the layout's own types, side by side: their bytes are the
        # words, taken in one copy.
        kinds = [fields[n][0] for n in names]
        offsets = [fields[n][1] for n in names]
        if (kinds == [np.dtype("<i4" if k == "d" else "<f4") for k in shape.kinds] and
                offsets == list(range(offsets[0], offsets[0] + 4 * len(names), 4))):
            values = np.ascontiguousarray(values)
            if not len(values):
                return np.empty((0, shape.words), "<u2")
            return np.ndarray((len(values), shape.words), "<u2", buffer=values, offset=offsets[0],
                              strides=(values.dtype.itemsize, 2))
    rows = len(columns[0])
    if shape.data_size == 2:
        cells = np.empty((rows, len(columns)), "<i2")
        for i, (name, column) in enumerate(zip(names, columns)):
            cells[:, i] = _integers(name, column, np.int16,
                                    "input data is too large or small for short")
        return cells.view("<u2")
    cells = np.empty((rows, len(columns)), "<u4")
    for i, (kind, name, column) in enumerate(zip(shape.kinds, names, columns)):
        if kind == "d":
            cells[:, i] = _integers(name, column, np.int32, "does not fit in 32 bits").view("<u4")
        else:
            if column.dtype.kind not in "biuf":
                raise TypeError("%s: %s values, not numbers" % (name, column.dtype))
            cells[:, i] = column.astype("<f4").view("<u4")
    return cells.view("<u2")


def write(path, values, header=None, layout=None, data_size=None):
    """Writes a block file, one event record per row of values, byte for byte
    as tvqconverter -t2b writes a text file of the same values. header maps
    some of the seven FIELDS to texts that replace the compiled-in ones; each
    must fit its field. An existing path is refused (FileExistsError) and left
    as it is; a failed write raises OSError and leaves no file behind."""
    shape = _Layout(layout, data_size, None)
    texts = {}
    for name, text in (header or {}).items():
        if name not in _FIELD_SIZES:
            raise ValueError("no header field %r: the fields are %s" % (name, ", ".join(FIELDS)))
        texts[name] = text.encode("latin-1") if isinstance(text, str) else bytes(text)
    words = _record_words(values, shape)
    _tvq.write_words(_path(path)[0], words, texts)
