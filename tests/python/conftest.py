"""Shared helpers of the tvq module's tests: the program as the oracle
(TVQCONVERTER), and the format model of the tests (tests/tvqmodel): its
block builder for damaged files and the C library's sscanf for the values of
a text line."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import tvqmodel as model  # noqa: E402,F401


def tvqconverter(*args):
    """Runs the program; its exit status and standard output."""
    proc = subprocess.run([os.environ["TVQCONVERTER"]] + [str(a) for a in args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    return proc.returncode, proc.stdout.decode("latin-1")


def t2b(directory, lines, name="t2b.tvq"):
    """The block file -t2b makes of the text lines."""
    text = directory / (name + ".txt")
    text.write_bytes(b"".join(line if isinstance(line, bytes) else line.encode() + b"\n"
                              for line in lines))
    status, out = tvqconverter("-t2b", text, directory / name)
    assert status == 0, out
    return directory / name


def sscanf_bits(line):
    """What C sscanf stores for the line's values: each %d's int and each %f's
    float as 32 bits."""
    count, values, _ = model.scan_line(line.encode())
    assert count == len(values), line
    return values
