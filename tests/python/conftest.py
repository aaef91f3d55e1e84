"""Shared helpers of the tvq module's tests: the program as the oracle
(TVQCONVERTER), the C library's sscanf for the values of a text line, and the
block builder of the end-to-end tests for damaged files."""

import ctypes
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

import tvq  # noqa: E402
import tvqlib  # noqa: E402,F401  (the block builder)

_libc = ctypes.CDLL(None)


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


def sscanf_bits(line, line_format=tvq.LINE_FORMAT):
    """What C sscanf stores for the line's values: each %d's int and each %f's
    float as 32 bits."""
    count = len(re.findall("%[df]", line_format))
    cells = (ctypes.c_uint32 * count)()
    pointers = [ctypes.byref(cells, 4 * i) for i in range(count)]
    assert _libc.sscanf(line.encode(), line_format.encode(), *pointers) == count, line
    return list(cells)
