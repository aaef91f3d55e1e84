"""A text input of -t2b as the program reads it: pieces of lines, comments,
and each data line scanned by the C library's own sscanf with the line
format (the one oracle of the line scan)."""

import ctypes
import random
import struct

from .layout import LINE_PIECE, SHIPPED
from .messages import SCAN_FAIL_TEXT, SHORT_FAIL_TEXT

__all__ = ["split_pieces", "is_comment", "scan_line", "parse_data_line", "line_words",
           "generate_lines"]

_libc = ctypes.CDLL(None)
_SPACE = b" \t\n\v\f\r"


def split_pieces(text):
    """The text as the program reads it: lines including their newline, a
    line longer than the line buffer in pieces of LINE_PIECE characters."""
    pieces = []
    pos = 0
    while pos < len(text):
        end = text.find(b"\n", pos, pos + LINE_PIECE)
        end = pos + LINE_PIECE if end < 0 else end + 1
        end = min(end, len(text))
        pieces.append(text[pos:end])
        pos = end
    return pieces


def is_comment(piece):
    first = piece[0:1]
    second = piece[1:2] or b"\0"
    return first in (b"#", b"c", b"%", b"\n") or (first == b"/" and second == b"/")


def _stop_after(line, layout, n):
    """Where sscanf with the line format stands after its first n
    conversions, or -1: the format cut after them, each assignment
    suppressed, then "%n"."""
    parts = layout.line_format.split("%")
    cut = parts[0] + "".join("%*" + part for part in parts[1:n]) + "%*" + parts[n][0]
    end = ctypes.c_int(-1)
    _libc.sscanf(line, (cut + "%n").encode(), ctypes.byref(end))
    return end.value


def scan_line(piece, layout=SHIPPED):
    """sscanf(piece, line format, ...) of the C library, the piece seen as a C
    string (up to its first NUL byte). Returns (count, values, refused):
    sscanf's result, the 32 bits stored for each conversion (an integer's
    value, a float's bit pattern), and the first integer it converted that
    lies outside 32 bits, as written (sign and digits), or None."""
    line = piece.split(b"\0", 1)[0]
    cells = (ctypes.c_uint32 * len(layout.kinds))()
    pointers = [ctypes.byref(cells, 4 * i) for i in range(len(layout.kinds))]
    count = _libc.sscanf(line, layout.line_format.encode(), *pointers)
    refused = None
    for i in range(max(count, 0)):
        if layout.kinds[i] != "d":
            continue
        start = 0 if i == 0 else _stop_after(line, layout, i)
        token = line[start:_stop_after(line, layout, i + 1)].lstrip(_SPACE)
        if not -2**31 <= int(token) < 2**31:
            refused = token.decode("ascii")
            break
    return count, list(cells), refused


def parse_data_line(piece, layout=SHIPPED):
    """('comment',) | ('data', words) | ('bad', message lines) for one piece."""
    if is_comment(piece):
        return ("comment",)
    count, values, refused = scan_line(piece, layout)
    if refused is not None:
        return ("bad", ["integer %s does not fit in 32 bits\n" % refused])
    if count != len(layout.kinds):
        return ("bad", [SCAN_FAIL_TEXT])
    words = []
    for value in values:
        if layout.data_size == 4:
            words += [value & 0xFFFF, value >> 16]
        elif value < 0x8000 or value >= 0xFFFF8000:
            words.append(value & 0xFFFF)
        else:
            return ("bad", [SHORT_FAIL_TEXT])
    return ("data", words)


def line_words(values, layout=SHIPPED):
    """The data words of a line holding these values (Python numbers, one per
    conversion; each float one that a single-precision float holds exactly)."""
    words = []
    for kind, value in zip(layout.kinds, values):
        bits = (struct.unpack("<I", struct.pack("<f", value))[0] if kind == "f"
                else value & 0xFFFFFFFF)
        words += [bits & 0xFFFF, bits >> 16] if layout.data_size == 4 else [bits & 0xFFFF]
    return words


def generate_lines(count, seed, comment_every=0):
    """count data lines of the shipped layout (bytes, each with its newline)
    and their data words each, computed directly from the generated values.
    Floats are multiples of 1/64 that a float holds exactly; integers span the
    32-bit range. With comment_every=k a comment line follows every k-th data
    line."""
    rng = random.Random(seed)
    comments = [b"# a comment\n", b"c comment\n", b"% comment\n", b"// comment\n", b"\n"]
    lines = []
    words = []
    for i in range(count):
        integer = rng.choice([rng.randrange(-2**31, 2**31), rng.randrange(-1000, 1000),
                              -1, 0, 2**31 - 1, -2**31])
        floats = [rng.randrange(-2**22, 2**22) / 64 for _ in range(5)]
        tokens = [b"%d" % integer] + [("%.6f" % f).encode() for f in floats]
        sep = rng.choice([b" ", b"  ", b"\t"])
        lines.append(sep.join(tokens) + b"\n")
        words.append(line_words([integer] + floats))
        if comment_every and (i + 1) % comment_every == 0:
            lines.append(comments[(i // comment_every) % len(comments)])
    return lines, words
