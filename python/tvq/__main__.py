"""python3 -m tvq COMMAND ...: quick looks at block files.

    python3 -m tvq info FILE    header fields, event block and record counts,
                                per value field its minimum, maximum and mean
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
    with tvq.open(args.file, errors="skip") as f:
        print("file          %s" % f.name, file=out)
        if f.header is None:
            print("header        (none)", file=out)
        for name in tvq.FIELDS if f.header is not None else ():
            print("%-13s %r" % (name, f.header[name]), file=out)
        if f.ender is None:
            print("ender block   (none)", file=out)
        elif f.ender == f.header:
            print("ender block   the header's texts", file=out)
        else:
            for name in tvq.FIELDS:
                print("%-13s %r" % ("ender." + name, f.ender[name]), file=out)
        print("event blocks  %d" % f.event_blocks, file=out)
        print("records       %d" % len(f.records()), file=out)
        try:
            values = f.values(args.layout, args.data_size)
        except tvq.FormatError as error:
            values = None
            print("values        none: %s" % error, file=out)
        if values is not None:
            print("%-13s %-5s %14s %14s %14s" % ("field", "kind", "min", "max", "mean"),
                  file=out)
            for name in values.dtype.names[2:]:
                column = values[name]
                kind = "%d" if column.dtype.kind == "i" else "%f"
                if len(column) == 0:
                    print("%-13s %-5s %14s %14s %14s" % (name, kind, "-", "-", "-"), file=out)
                    continue
                low, high = column.min(), column.max()
                mean = column.mean(dtype=np.float64)
                print("%-13s %-5s %14.6g %14.6g %14.6g" % (name, kind, low, high, mean), file=out)
        for problem in f.problems:
            print("problem       %s" % problem, file=out)
        return 1 if f.problems or values is None else 0


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
