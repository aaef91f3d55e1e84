"""Writing block files: values, one event record a row, byte for byte as
tvqconverter -t2b writes a text file of the same values."""

import os

import numpy as np

from . import _tvq
from .layout import FIELD_SIZES, FIELDS, Layout
from .outputs import NewFile


def _columns(values, shape):
    """The value columns: those of the layout's names in a pandas DataFrame
    or a structured array (other fields, such as block and event_id, are
    left out), else the columns of a 2-D array by position."""
    if hasattr(values, "columns") and hasattr(values, "to_numpy"):  # a pandas DataFrame
        fields, column = list(values.columns), lambda name: values[name].to_numpy()
    else:
        values = np.asarray(values)
        fields, column = values.dtype.names, lambda name: values[name]
    if fields is not None:
        for name in shape.names:
            if name not in fields:
                raise ValueError("values have no field %r: the layout %r takes %s" %
                                 (name, shape.format, ", ".join(shape.names)))
        return shape.names, [column(name) for name in shape.names]
    count = len(shape.kinds)
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
    names, columns = _columns(values, shape)
    fields = getattr(values, "dtype", None) is not None and values.dtype.fields
    if fields and shape.data_size == 4:
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
            with np.errstate(over="ignore"):  # out of range: inf, as the C library's
                cells[:, i] = column.astype("<f4").view("<u4")
    return cells.view("<u2")


def write(path, values, header=None, layout=None, data_size=None, names=None):
    """Writes a block file, one event record per row of values, byte for byte
    as tvqconverter -t2b writes a text file of the same values.

    values: a pandas DataFrame or a structured array, whose fields named as
    the layout's values (names, by default v0, v1, ...) are taken by name,
    or a 2-D array of the values in the layout's order. header maps some of
    the seven FIELDS to texts that replace the compiled-in ones; each must
    fit its field. An existing path is refused (FileExistsError) and left as
    it is. The file is written under a temporary name beside path and
    linked to path when complete: a failed or interrupted write raises and
    leaves no file behind, and removes nothing it did not make."""
    shape = Layout(layout, data_size, names)
    texts = {}
    for name, text in (header or {}).items():
        if name not in FIELD_SIZES:
            raise ValueError("no header field %r: the fields are %s" % (name, ", ".join(FIELDS)))
        texts[name] = text.encode("latin-1") if isinstance(text, str) else bytes(text)
    with NewFile(path, create=False) as new:
        words = _record_words(values, shape)
        _tvq.write_words(os.fsencode(new.name), words, texts)
