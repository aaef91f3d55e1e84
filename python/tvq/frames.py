"""pandas tables of a block file's values."""

from .reading import read


def data_frame(values):
    """A pandas DataFrame of value rows, a column a field."""
    import pandas

    # The columns are views of the array read, which nothing else holds:
    # no copy (a copy costs about as much as the read).
    return pandas.DataFrame({name: values[name] for name in values.dtype.names}, copy=False)


def to_pandas(path, layout=None, data_size=None, names=None):
    """A pandas DataFrame of tvq.read's fields (block, event_id and the value
    fields, with their types), one row per event record."""
    return data_frame(read(path, layout=layout, data_size=data_size, names=names))
