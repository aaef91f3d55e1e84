"""python3 -m tvq COMMAND ...: quick looks at block files.

    python3 -m tvq info FILE    header fields, event block and record counts,
                                per value field its minimum, maximum and mean
                                (read in chunks: a file of any size)
    python3 -m tvq plot FILE -o run.png
                                one histogram per value field (a PNG)

A command is one entry of COMMANDS: its help line, a function that adds its
arguments to an argparse parser, and a function that runs it with the parsed
arguments and returns the exit status.
"""

import argparse
import sys

import numpy as np

import tvq
from tvq import plot


def _info_arguments(parser):
    parser.add_argument("file", help="a block file")
    parser.add_argument("--layout", help="line format of the values (default: %(default)s)",
                        default=tvq.LINE_FORMAT)
    parser.add_argument("--data-size", type=int, default=tvq.DATA_SIZE,
                        help="bytes per value, 2 or 4 (default: %(default)s)")


def _info(args, out):
    """Read in chunks: the quick look needs no more memory for a large file."""
    chunks = tvq.Chunks(args.file, 1_000_000, args.layout, args.data_size, partial=True)
    names = chunks.dtype.names[2:]
    records, low, high, total, problem = 0, {}, {}, {}, None
    try:
        for chunk in chunks:
            records += len(chunk)
            for name in names:
                column = chunk[name]
                low[name] = min(low.get(name, column.min()), column.min())
                high[name] = max(high.get(name, column.max()), column.max())
                total[name] = total.get(name, 0.0) + column.sum(dtype=np.float64)
    except tvq.FormatError as error:
        problem = str(error)
    header, ender = chunks.header, chunks.ender
    print("file          %s" % args.file, file=out)
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
    for name in names:
        kind = "%d" if chunks.dtype[name].kind == "i" else "%f"
        if name not in low:
            print("%-13s %-5s %14s %14s %14s" % (name, kind, "-", "-", "-"), file=out)
            continue
        print("%-13s %-5s %14.6g %14.6g %14.6g" % (name, kind, low[name], high[name],
                                                   total[name] / records), file=out)
    if problem is not None:
        print("problem       %s (the figures above are of the records before it)" % problem,
              file=out)
        return 1
    return 0


# name -> (help, add_arguments(parser), run(args, out) -> exit status)
COMMANDS = {
    "info": ("header fields, counts and per value field min, max and mean", _info_arguments,
             _info),
    "plot": ("one histogram per value field, titled with the run number and record count",
             plot.arguments, plot.run),
}


def main(argv=None, out=None):
    out = sys.stdout if out is None else out
    parser = argparse.ArgumentParser(prog="python3 -m tvq",
                                     description="Quick looks at tvq block files.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, (help_text, add_arguments, _) in COMMANDS.items():
        add_arguments(commands.add_parser(name, help=help_text, description=help_text))
    args = parser.parse_args(argv)
    try:
        return COMMANDS[args.command][2](args, out)
    except (OSError, ValueError) as error:
        print("python3 -m tvq %s: %s" % (args.command, error), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
