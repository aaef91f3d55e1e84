"""`python3 -m tvq plot FILE -o run.png`: a look at a run before analysing it,
one histogram per value field, titled with the run number and the record
count. An existing output is never replaced."""

import errno
import math
import os
import secrets

import numpy

import tvq


def figure(path, layout=None, data_size=None, names=None):
    """A matplotlib Figure (Agg canvas) of the file's value fields."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator

    with tvq.open(path) as blocks:
        run_number = blocks.header["run_number"]
        values = blocks.values(layout=layout, data_size=data_size, names=names)
    fields = [name for name in values.dtype.names if name not in ("block", "event_id")]
    columns = min(3, len(fields))
    rows = math.ceil(len(fields) / columns)
    fig = Figure(figsize=(4 * columns, 3 * rows + 0.6), layout="constrained")
    FigureCanvasAgg(fig)
    fig.suptitle("%s: run %s, %d records" % (os.path.basename(path), run_number.strip(), len(values)))
    for index, name in enumerate(fields):
        axes = fig.add_subplot(rows, columns, index + 1)
        column = values[name]
        finite = column[numpy.isfinite(column)] if column.dtype.kind == "f" else column
        axes.hist(finite, bins=min(50, max(1, len(numpy.unique(finite)))), edgecolor="white",
                  linewidth=0.5)
        label = name if len(finite) == len(column) else "%s (%d not finite)" % (name, len(column) - len(finite))
        axes.set_xlabel(label)
        axes.set_ylabel("records")
        axes.yaxis.set_major_locator(MaxNLocator(integer=True))
    return fig


def save_new(fig, output):
    """Saves the figure as a PNG under a name that must not exist yet: written
    beside it under a temporary name, then linked, which fails if the name has
    meanwhile been taken. The file gets the modes any new file gets."""
    directory = os.path.dirname(os.path.abspath(output))
    temporary = os.path.join(directory, ".tvq-plot-%d-%s.png" % (os.getpid(), secrets.token_hex(4)))
    try:
        handle = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
    except OSError as error:  # named by the output, not by the temporary name
        raise OSError(error.errno, error.strerror, output) from None
    try:
        with os.fdopen(handle, "wb") as stream:
            fig.savefig(stream, format="png", metadata={"Software": None})
        os.link(temporary, output)
    finally:
        os.unlink(temporary)


def arguments(parser):
    parser.add_argument("file", help="a block file")
    parser.add_argument("-o", "--output", required=True, help="the PNG to write (must not exist)")
    parser.add_argument("--layout", help="line format of the values (default: %(default)s)",
                        default=tvq.LINE_FORMAT)
    parser.add_argument("--data-size", type=int, default=tvq.DATA_SIZE,
                        help="bytes per value, 2 or 4 (default: %(default)s)")
    parser.add_argument("--names", help="names of the value fields, separated by commas")


def run(args, out):
    """Writes the picture; a damaged file or an existing output raises."""
    if os.path.lexists(args.output):
        raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), args.output)
    names = args.names.split(",") if args.names else None
    fig = figure(args.file, args.layout, args.data_size, names)
    try:
        save_new(fig, args.output)
    except FileExistsError:
        raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), args.output) from None
    return 0
