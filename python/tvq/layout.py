"""Line formats and the rows they give: the compiled-in format, the seven
text fields of header and ender blocks, and a line format checked by the
core's own rules with the dtype of its value rows."""

import operator

import numpy as np

from . import _tvq

#: the compiled-in line format and bytes per value
LINE_FORMAT = _tvq.LINE_FORMAT
DATA_SIZE = _tvq.DATA_SIZE
#: the seven text fields of a header or ender block, in block order
FIELDS = tuple(name for name, _ in _tvq.FIELDS)
#: the bytes of each text field
FIELD_SIZES = dict(_tvq.FIELDS)
_ROW_HEAD = (("block", "<u4"), ("event_id", "<u2"))


class Layout:
    """A line format checked by the core's own rules, with its value dtype:
    .format, .data_size, .kinds ('d' or 'f' a value), .words (data words of
    a record), .names and .dtype."""

    def __init__(self, layout=None, data_size=None, names=None):
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

    def select(self, columns):
        """(dtype, pieces) of rows of only the fields named in columns, in that
        order, side by side: pieces are (offset, size) of each in a whole row.
        None: whole rows, no pieces. An unknown name is a KeyError naming it."""
        if columns is None:
            return self.dtype, []
        columns = [columns] if isinstance(columns, str) else list(columns)
        fields = self.dtype.fields
        for name in columns:
            if name not in fields:
                raise KeyError(name)
        if not columns:
            raise ValueError("columns names no field: give at least one of %s" %
                             (", ".join(self.dtype.names),))
        if len(set(columns)) != len(columns):
            raise ValueError("a column named twice in %s" % (columns,))
        return (np.dtype([(name, fields[name][0]) for name in columns]),
                [(fields[name][1], fields[name][0].itemsize) for name in columns])


def dtype(layout=None, data_size=None, names=None):
    """The structured dtype of values() rows for a line format."""
    return Layout(layout, data_size, names).dtype
