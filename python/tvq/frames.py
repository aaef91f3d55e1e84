"""pandas tables of a block file's values."""


def to_pandas(path, layout=None, data_size=None, names=None):
    """A pandas DataFrame of tvq.read's fields (block, event_id and the value
    fields, with their types), one row per event record."""
    import pandas

    from . import read

    return pandas.DataFrame(read(path, layout=layout, data_size=data_size, names=names))
