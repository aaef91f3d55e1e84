"""python3 -m tvq COMMAND ...: quick looks at block files, and their values
exported.

    python3 -m tvq info SOURCE...   header fields, event block and record
                                    counts, per value field its minimum,
                                    maximum and mean (one table for several)
    python3 -m tvq plot SOURCE... -o run.png
                                    one histogram per value field (a PNG),
                                    several runs overlaid
    python3 -m tvq export SOURCE... -o OUT
                                    the values as .h5, .csv or .npy
    python3 -m tvq --version

Files are read in chunks: a file of any size. A command is one entry of
COMMANDS: its help line, a function that adds its own arguments to an
argparse parser, and a function that runs it with the parsed arguments and
returns the exit status.
"""

import argparse
import sys

import numpy as np

import tvq
import tvq.plot


def _values_arguments(parser):
    """The sources and how their values are read: what every command takes."""
    parser.add_argument("sources", nargs="+", metavar="SOURCE", help="block files")
    parser.add_argument("--layout", help="line format of the values (default: %(default)s)",
                        default=tvq.LINE_FORMAT)
    parser.add_argument("--data-size", type=int, default=tvq.DATA_SIZE,
                        help="bytes per value, 2 or 4 (default: %(default)s)")
    parser.add_argument("--names", type=lambda text: text.split(","),
                        help="names of the value fields, separated by commas")


def _summary(source, args):
    """What info says of one file: texts, counts, per field (kind, min, max,
    mean) and the problem that stopped the read (None if none)."""
    chunks = tvq.Chunks(source, 1_000_000, args.layout, args.data_size, args.names,
                        partial=True)
    names = chunks.dtype.names[2:]
    records, low, high, total, problem = 0, {}, {}, {}, None
    try:
        for chunk in chunks:
            records += len(chunk)
            for name in names:
                column = chunk[name]
                lo, hi = column.min(), column.max()
                low[name] = min(low.get(name, lo), lo)
                high[name] = max(high.get(name, hi), hi)
                with np.errstate(invalid="ignore", over="ignore"):  # inf - inf: nan
                    total[name] = total.get(name, 0.0) + column.sum(dtype=np.float64)
    except tvq.FormatError as error:
        problem = str(error)
    fields = {name: ("%d" if chunks.dtype[name].kind == "i" else "%f",) + (
        (low[name], high[name], total[name] / records) if name in low else ("-",) * 3)
        for name in names}
    return chunks, records, fields, problem


def _number(value):
    return value if isinstance(value, str) else "%.6g" % value


def _info(args, out):
    """One file: its texts, counts and fields. Several: one table, a row a
    field of a run."""
    summaries = [(source,) + _summary(source, args) for source in args.sources]
    if len(summaries) == 1:
        _, chunks, records, fields, problem = summaries[0]
        _one_run(args.sources[0], chunks, records, fields, out)
    else:
        head = ("file", "run_number", "blocks", "records", "field", "kind", "min", "max", "mean")
        rows = [(str(source), "-" if chunks.header is None else chunks.header["run_number"],
                 str(chunks.event_blocks), str(records), name, kind) +
                tuple(_number(v) for v in values)
                for source, chunks, records, fields, _ in summaries
                for name, (kind, *values) in fields.items()]
        widths = [max(len(row[i]) for row in rows + [head]) for i in range(len(head))]
        for row in [head] + rows:
            print("  ".join(text.ljust(width) if i in (0, 1, 4, 5) else text.rjust(width)
                            for i, (text, width) in enumerate(zip(row, widths))).rstrip(),
                  file=out)
    problems = [(source, problem) for source, _, _, _, problem in summaries if problem]
    for source, problem in problems:
        print("problem       %s (the figures above are of the records before it)" % problem,
              file=out)
    return 1 if problems else 0


def _one_run(source, chunks, records, fields, out):
    header, ender = chunks.header, chunks.ender
    print("file          %s" % source, file=out)
    for name in tvq.FIELDS if header is not None else ():
        print("%-13s %r" % (name, header[name]), file=out)
    if header is None or ender is None:
        print("%-13s (not read)" % ("header" if header is None else "ender block"), file=out)
    elif ender == header:
        print("ender block   the header's texts", file=out)
    else:
        for name in tvq.FIELDS:
            print("%-13s %r" % ("ender." + name, ender[name]), file=out)
    print("event blocks  %d" % chunks.event_blocks, file=out)
    print("records       %d" % records, file=out)
    print("%-13s %-5s %14s %14s %14s" % ("field", "kind", "min", "max", "mean"), file=out)
    for name, (kind, *values) in fields.items():
        print("%-13s %-5s %14s %14s %14s" % ((name, kind) + tuple(map(_number, values))),
              file=out)


def _plot_arguments(parser):
    _values_arguments(parser)
    parser.add_argument("-o", "--output", required=True, help="the PNG to write (must not exist)")
    parser.add_argument("--bins", type=int, default=100,
                        help="bins of a histogram, at most (default: %(default)s)")
    parser.add_argument("--range", action="append", dest="ranges", metavar="[FIELD=]LO:HI",
                        help="the values drawn, of every field or of one (again for others); "
                             "the others outside are counted")
    parser.add_argument("--log", action="store_true", help="counts on a log scale")


def _plot(args, out):
    fig = tvq.plot.figure(args.sources, args.bins, tvq.plot.parse_ranges(args.ranges), args.log,
                          args.layout, args.data_size, args.names)
    tvq.plot.save_new(fig, args.output)
    return 0


def _export_arguments(parser):
    _values_arguments(parser)
    parser.add_argument("-o", "--output", required=True,
                        help="the file to write (must not exist): .h5, .csv or .npy")


def _export(args, out):
    records = tvq.export(args.sources, args.output, args.layout, args.data_size, args.names)
    runs = len(args.sources)
    print("%s: %d records of %d run%s" % (args.output, records, runs, "s" * (runs > 1)), file=out)
    return 0


# name -> (help, add_arguments(parser), run(args, out) -> exit status)
COMMANDS = {
    "info": ("header fields, counts and per value field min, max and mean", _values_arguments,
             _info),
    "plot": ("one histogram per value field, several runs overlaid", _plot_arguments, _plot),
    "export": ("the values of the runs as an HDF5 (.h5), CSV (.csv) or NumPy (.npy) file",
               _export_arguments, _export),
}


def _ranges_joined(argv):
    """argv with "--range -5:5" as "--range=-5:5": argparse takes a word
    that starts with a minus sign for an option, not for the range."""
    joined = []
    for word in argv:
        if joined and joined[-1] == "--range" and word[:1] == "-" and word[:2] != "--":
            joined[-1] = "--range=" + word
        else:
            joined.append(word)
    return joined


def main(argv=None, out=None):
    out = sys.stdout if out is None else out
    parser = argparse.ArgumentParser(prog="python3 -m tvq",
                                     description="Quick looks at tvq block files.")
    parser.add_argument("--version", action="version", version="tvq " + tvq.__version__)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, (help_text, add_arguments, _) in COMMANDS.items():
        add_arguments(commands.add_parser(name, help=help_text, description=help_text))
    args = parser.parse_args(_ranges_joined(sys.argv[1:] if argv is None else argv))
    try:
        return COMMANDS[args.command][2](args, out)
    except (OSError, ValueError) as error:
        print("python3 -m tvq %s: %s" % (args.command, error), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130  # as a shell reports SIGINT; an output is left whole or not at all


if __name__ == "__main__":
    sys.exit(main())
