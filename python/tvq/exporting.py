"""The values of block files exported to HDF5 (.h5), CSV (.csv) or NumPy
(.npy) files, read in chunks: memory is bounded by the step, not by the
files. The output is made whole or not at all (see outputs.NewFile)."""

import csv
import io
import os
import struct
import sys

from .layout import Layout
from .outputs import NewFile
from .reading import Chunks, open as open_block_file
from .sources import listed, name_of
from .sources import source as _source


def _sources(sources):
    """A list of sources from one source or an iterable of them."""
    sources = listed(sources)
    if not sources:
        raise ValueError("no sources given")
    return sources


def _packed(shape):
    """The rows' fields side by side, with no padding (which holds no value):
    the dtype of the rows that a _Run gives."""
    return shape.select(shape.dtype.names)[0]


class _Run:
    """One source being exported: .source, .chunks (its Chunks, with the
    header and ender once read), .records so far, and rows(), its rows
    packed (by the core as it makes them); bar, if not None, a progress bar
    over the sources' records.

    One pass over the source gives its values, header and ender: a stream
    (a pipe, a compressed or remote run) is read once, in bounded memory."""

    def __init__(self, source, shape, step, bar):
        self.source, self.records, self._bar = source, 0, bar
        self.chunks = Chunks(source, step, shape.format, shape.data_size, shape.names,
                             columns=shape.dtype.names)

    def rows(self):
        for chunk in self.chunks:
            self.records += len(chunk)
            if self._bar is not None:
                self._bar.update(len(chunk))
            yield chunk


def _runs(sources, shape, step, bar, runs):
    """A _Run for each source, in order, each also appended to runs."""
    for source in sources:
        runs.append(_Run(source, shape, step, bar))
        yield runs[-1]


def _records(sources):
    """The records of the sources, counted from their heads (len of a lazy
    open); None when one is a stream, which is read only once."""
    if not all(_source(source).seekable for source in sources):
        return None
    total = 0
    for source in sources:
        with open_block_file(source) as f:
            total += len(f)
    return total


def _name(source):
    """A source's name as HDF5 keeps text: UTF-8, or its bytes as they are."""
    name = os.fsdecode(name_of(source))
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return os.fsencode(name)
    return name


def _labels(sources):
    """Dataset names: each source's file name, made unique by ~2, ~3, ..."""
    labels, seen = [], {}
    for source in sources:
        name = os.path.basename(os.fsdecode(name_of(source)))
        seen[name] = seen.get(name, 0) + 1
        labels.append(_name(name if seen[name] == 1 else "%s~%d" % (name, seen[name])))
    return labels


def _h5(path, runs, shape, sources):
    import h5py

    labels = iter(_labels(sources))
    with h5py.File(path, "w") as out:
        for run in runs:
            dataset = out.create_dataset(next(labels), (0,), _packed(shape),
                                         maxshape=(None,), chunks=(1 << 16,), shuffle=True,
                                         compression="gzip", compression_opts=1)
            for chunk in run.rows():
                count = len(dataset)
                dataset.resize((count + len(chunk),))
                dataset[count:] = chunk
            attributes = dataset.attrs
            attributes["source"] = _name(run.source)
            attributes["layout"], attributes["data_size"] = shape.format, shape.data_size
            for block, texts in (("header", run.chunks.header), ("ender", run.chunks.ender)):
                for field, text in (texts or {}).items():
                    attributes["%s.%s" % (block, field)] = text


def _csv(path, runs, shape, sources):
    packed = _packed(shape)
    names = list(packed.names)
    kinds = [packed[name].kind for name in names]
    several = len(sources) > 1
    if several and "path" in names:
        raise ValueError("a value named 'path': the first column holds the run's path")
    with open(path, "w", encoding="utf-8", errors="surrogateescape", newline="") as out:
        csv.writer(out, lineterminator="\n").writerow(["path"] * several + names)
        for run in runs:
            quoted = io.StringIO()
            csv.writer(quoted, lineterminator="").writerow([os.fsdecode(name_of(run.source))])
            first = [quoted.getvalue() + ","] * several
            for chunk in run.rows():
                for start in range(0, len(chunk), 1 << 16):  # the texts of a part at a time
                    part = chunk[start:start + (1 << 16)]
                    # A float32's str() is the shortest text that reads back to it.
                    columns = [part[name].astype(str).tolist() if kind == "f" else
                               list(map(str, part[name].tolist()))
                               for name, kind in zip(names, kinds)]
                    lines = map(",".join, zip(*columns))
                    out.write("".join(first[0] + line + "\n" for line in lines) if several
                              else "\n".join(lines) + "\n")


def _npy_header(dtype, count):
    """A .npy header of room enough for any count, so that the count can be
    written once the rows are."""
    from numpy.lib.format import dtype_to_descr

    text = "{'descr': %r, 'fortran_order': False, 'shape': (%d,), }" % (dtype_to_descr(dtype),
                                                                       count)
    room = (12 + len(text) + 20 + 63) // 64 * 64 - 10
    return b"\x93NUMPY\x01\x00" + struct.pack("<H", room) + (text.ljust(room - 1) + "\n").encode()


def _npy(path, runs, shape, sources):
    if len(sources) != 1:
        raise ValueError("a .npy file holds one run, not %d" % len(sources))
    packed = _packed(shape)
    with open(path, "r+b") as out:
        out.write(_npy_header(packed, 0))
        count = 0
        for run in runs:
            for chunk in run.rows():
                out.write(chunk.data)
                count += len(chunk)
        out.seek(0)
        out.write(_npy_header(packed, count))


WRITERS = {".h5": _h5, ".hdf5": _h5, ".csv": _csv, ".npy": _npy}


def export(sources, out, layout=None, data_size=None, names=None, step=1_000_000,
           progress=None):
    """Writes the values of one block file or of a list of them (the rows of
    tvq.read) to out, in the format of its suffix:

    - .h5 (or .hdf5): a dataset per run, named by its file name, of the
      value fields, chunked and compressed; attributes: source, layout,
      data_size, and the header and ender texts (header.run_number, ...,
      ender.ender);
    - .csv: a line of the field names, then a line per record; with several
      runs, the run's path as a first column, path; floats written so that
      they read back to the same float32;
    - .npy: one run, as a structured array.

    The files are read in chunks of step records. An existing out is refused
    (FileExistsError); out is written under a temporary name and linked to its
    name when complete, so that a failure or an interrupt leaves none. A
    progress bar goes to standard error when progress is true (None: when
    standard error is a terminal). Returns the number of records written."""
    sources = _sources(sources)
    suffix = os.path.splitext(os.fsdecode(out))[1].lower()
    if suffix not in WRITERS:
        raise ValueError("%s: the output's suffix says the format: %s" % (
            os.fsdecode(out), ", ".join(WRITERS)))
    shape = Layout(layout, data_size, names)
    if progress is None:
        progress = sys.stderr is not None and sys.stderr.isatty()
    bar = None
    if progress:
        from tqdm import tqdm

        bar = tqdm(total=_records(sources), unit=" records", unit_scale=True, file=sys.stderr,
                   dynamic_ncols=True)
    runs = []
    try:
        with NewFile(out) as new:
            WRITERS[suffix](new.name, _runs(sources, shape, step, bar, runs), shape, sources)
        return sum(run.records for run in runs)
    finally:
        if bar is not None:
            bar.close()
