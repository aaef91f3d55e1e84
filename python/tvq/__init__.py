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
    tvq.export(paths, "runs.h5")                 # or .csv, .npy

Values follow a line format, by default the compiled-in one (LINE_FORMAT,
DATA_SIZE): a field per conversion, int32 for %d and float32 for %f, after
the fields ``block`` (the event block, from 1) and ``event_id``.

A source is a path, a binary file object or a URL (through fsspec:
"https://...", "memory://...", ...), its data as stored or compressed with
gzip, bzip2, xz or zstd (known by its first bytes, read as decompressed).

Nothing is printed. A damaged file raises FormatError (a ValueError) naming
the file, the event block and the word; open(path, errors="skip") keeps the
problems in .problems instead.
"""

from ._tvq import DamageWarning, FormatError
from ._version import __version__
from .exporting import export
from .frames import to_pandas
from .layout import DATA_SIZE, FIELDS, LINE_FORMAT, dtype
from .reading import BlockFile, ChunkReport, Chunks, iterate, open, read  # noqa: A004 - the package's open
from .writing import write

__all__ = ["BlockFile", "ChunkReport", "Chunks", "DamageWarning", "FormatError", "open", "read",
           "iterate", "write", "export", "dtype", "to_pandas", "FIELDS", "LINE_FORMAT", "DATA_SIZE",
           "__version__"]
