"""Shared helpers of the tvqconverter end-to-end tests.

- a block builder: header/ender blocks from given texts, event blocks from
  records (with raw overrides to make corrupt records), raw blocks with any
  flag; partial blocks are plain slices of these bytes;
- reference models of the three conversions, written from the file format and
  the documented behaviour, independent of the program's sources:
  model_b2rb, model_b2t (block walk over a binary file) and model_t2b (packing
  of text lines into blocks);
- a checker that walks every block of a -t2b output (flags, blanks, record
  heads, event ids, markers, zero fill) and returns the data words it holds;
- a runner for the binary given in $TVQCONVERTER, run under the command in
  $TVQ_WRAPPER when that is set (a memory checker, for instance), and a base
  TestCase that gives every test its own temporary directory.
"""

import os
import random
import re
import resource
import shlex
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import unittest

BLOCK_SIZE = 16384
BLOCK_WORDS = BLOCK_SIZE // 2
DUMP_LINES = BLOCK_WORDS // 8

FLAG_HEADER = 0x0001
FLAG_EVENT = 0x0000
FLAG_ENDER = 0xFFFF
END_MARKER = 0xFFFF
EVENT_SIZE_BIT = 0x8000
FID = 1

# -t2b: one integer and five floats per data line, 4 bytes each -> 12 words
DATA_WORDS = 12
RECORD_BYTES = 2 * (DATA_WORDS + 5)
RECORDS_PER_BLOCK = 481
LINE_PIECE = 16384 - 1  # characters read at most at once (line buffer - 1)

OPTIONS_TEXT = (" -b2rb : binary to readable binary\n"
                " -b2t  : binary to txt\n"
                " -t2b  : txt to binary\n")
USAGE_TEXT = ("\n"
              "you need to input option, input-filename,and output-filename.\n"
              "for example : tvqconverter -b2rb 1001.tvq 1001.txt\n\n"
              "available option is\n"
              + OPTIONS_TEXT + "\n")
NO_DASH_TEXT = "second argument is option\n" + OPTIONS_TEXT + "\n"
BAD_OPTION_TEXT = "available option is\n" + OPTIONS_TEXT + "\n"
DONE_TEXT = "\n conversion is done!!\n\n"
FAIL_LINE = "convertion did not finish normaly\n"
GOTO_TEXT = "\n goto next event block\n\n"
SCAN_FAIL_TEXT = "\n scaned number and number_of_data is not consistent!!\n\n"

# texts written into the header and ender blocks by -t2b
USER = {
    "run_number": b"RUN-1001",
    "start_time": b"START => 33:33:33 ",
    "stop_time": b" STOP => 44:44:44 ",
    "print_time": b"PRINT => xx:xx:xx ",
    "print_date": b" 01-JAN-01",
    "header": b"hello world",
    "ender": b"goodnight world",
}

# (name, byte offset, length) of the text fields of a header/ender block,
# in the order in which -b2t lists them
TEXT_FIELDS = [
    ("run_number", 20, 8),
    ("start_time", 30, 18),
    ("stop_time", 48, 18),
    ("print_time", 68, 18),
    ("print_date", 86, 10),
    ("header", 100, 80),
    ("ender", 180, 80),
]


# ---------------------------------------------------------------- builder

def words_to_block(words):
    """8192 words (taken modulo 2**16) -> 16384 little-endian bytes."""
    if len(words) != BLOCK_WORDS:
        raise ValueError("a block has %d words, not %d" % (BLOCK_WORDS, len(words)))
    return struct.pack("<%dH" % BLOCK_WORDS, *[w & 0xFFFF for w in words])


def block_words(block):
    """16384 bytes -> tuple of 8192 unsigned words."""
    return struct.unpack("<%dH" % BLOCK_WORDS, block)


def header_block(flag=FLAG_HEADER, overrides=None, **texts):
    """A header block (or, with flag=FLAG_ENDER, an ender block).

    Texts default to the user settings written by -t2b; each given text must
    fit its field and is zero padded. overrides maps byte offsets to raw bytes
    written last (to fill the gaps between fields, for instance)."""
    block = bytearray(BLOCK_SIZE)
    block[0:2] = struct.pack("<H", flag)
    block[28:30] = b"  "
    block[66:68] = b"  "
    for name, offset, length in TEXT_FIELDS:
        text = texts.pop(name, USER[name])
        if len(text) > length:
            raise ValueError("%s is %d bytes long, field has %d" % (name, len(text), length))
        block[offset:offset + len(text)] = text
    if texts:
        raise TypeError("unknown fields %r" % sorted(texts))
    for offset, raw in (overrides or {}).items():
        block[offset:offset + len(raw)] = raw
    assert len(block) == BLOCK_SIZE
    return bytes(block)


def ender_block(**kw):
    """The ender block: the header's layout with flag 0xFFFF."""
    return header_block(flag=FLAG_ENDER, **kw)


class Record:
    """One event record: event id and data words.

    The head words default to a consistent record (event size n + 5 with bit
    15, FID 1, segment size n + 2, segment id 1); any of them can be given raw
    to build a corrupt record."""

    def __init__(self, event_id, data, event_size=None, fid=FID, segment_size=None,
                 segment_id=1):
        self.event_id = event_id
        self.data = list(data)
        n = len(self.data)
        self.event_size = (n + 5) | EVENT_SIZE_BIT if event_size is None else event_size
        self.fid = fid
        self.segment_size = n + 2 if segment_size is None else segment_size
        self.segment_id = segment_id

    def words(self):
        return [self.event_size, self.fid, self.event_id, self.segment_size,
                self.segment_id] + self.data


def event_block(records, markers=True, flag=FLAG_EVENT, blank=(0, 0, 0), tail=(),
                overrides=None, clip=False):
    """An event block: flag, 3 blank words, the records back to back, the two
    0xFFFF markers (unless markers=False), the tail words, zero fill.

    overrides maps word indexes to raw words written last; clip=True cuts
    words that would run past the block (for records running off its end)."""
    words = [flag] + list(blank)
    for record in records:
        words += record.words()
    if markers:
        words += [END_MARKER, END_MARKER]
    words += list(tail)
    if len(words) > BLOCK_WORDS:
        if not clip:
            raise ValueError("event block content is %d words long" % len(words))
        words = words[:BLOCK_WORDS]
    words += [0] * (BLOCK_WORDS - len(words))
    for index, value in (overrides or {}).items():
        words[index] = value
    return words_to_block(words)


def raw_block(flag, seed=None, words=None):
    """A block with the given word 0; the other words are given, random
    (deterministic for a seed) or zero."""
    if words is not None:
        rest = list(words) + [0] * (BLOCK_WORDS - 1 - len(words))
    elif seed is not None:
        rng = random.Random(seed)
        rest = [rng.randrange(0x10000) for _ in range(BLOCK_WORDS - 1)]
    else:
        rest = [0] * (BLOCK_WORDS - 1)
    return words_to_block([flag] + rest)


def sample_file(event_blocks=1, seed=1):
    """A valid file: user header, event blocks with a few records, ender."""
    rng = random.Random(seed)
    blocks = [header_block()]
    for _ in range(event_blocks):
        records = [Record(i + 1, [rng.randrange(0x10000) for _ in range(DATA_WORDS)])
                   for i in range(rng.randrange(1, 6))]
        blocks.append(event_block(records))
    blocks.append(ender_block())
    return b"".join(blocks)


# ------------------------------------------------------------- the models

class Expected:
    """What one run should give.

    out: bytes of the output file; stdout: the whole standard output (text);
    status: exit status; segments: the output as (writer step, bytes) pieces in
    order, so that a write failure at some offset can be located."""

    def __init__(self, out, stdout, status, segments):
        self.out = out
        self.stdout = stdout
        self.status = status
        self.segments = segments


def dump_block(block):
    """The readable dump of one block: 1024 lines of eight '%04x ' words."""
    words = block_words(block)
    lines = []
    for i in range(DUMP_LINES):
        lines.append("".join("%04x " % w for w in words[8 * i:8 * i + 8]) + "\n")
    return "".join(lines).encode("ascii")


def _b2rb_header(block):
    return b"#  start header\n\n" + dump_block(block) + b"\n", []


def _b2rb_event(block, number):
    return b"#  %d event block\n\n" % number + dump_block(block) + b"\n", []


def _b2rb_ender(block):
    return b"#  start ender\n\n" + dump_block(block) + b"\n", []


def field_text(block, offset, length):
    """A text field as listed: its bytes up to the first zero byte."""
    raw = block[offset:offset + length]
    end = raw.find(b"\0")
    return raw if end < 0 else raw[:end]


def _txt_fields(banner, block):
    out = [banner]
    for _, offset, length in TEXT_FIELDS:
        out.append(b"#  " + field_text(block, offset, length) + b"\n")
    out.append(b"\n")
    return b"".join(out), []


def _b2t_header(block):
    return _txt_fields(b"#  start header\n\n", block)


def _b2t_ender(block):
    return _txt_fields(b"#  start ender\n\n", block)


def _b2t_event(block, number):
    """Listing of one event block; messages it prints.  A record's words are
    taken in order as far as they lie in the block; the first word outside
    it ends the listing of the block."""
    w = block_words(block)
    out = [b"#  %d event block\n\n" % number]
    msgs = []
    p = 4
    while p < BLOCK_WORDS - 1:
        start = p
        past = "record at word %d of event block %d runs past the end of the block" % (
            start, number)
        size = w[p]
        p += 1
        if not size & EVENT_SIZE_BIT:
            break
        size &= 0x7FFF
        fid = w[p]
        p += 1
        if fid != FID:
            break
        if p == BLOCK_WORDS:
            return b"".join(out), msgs + [past]
        out.append(b"%4d " % w[p])  # event id
        p += 1
        if p == BLOCK_WORDS:
            return b"".join(out), msgs + [past]
        segment = w[p]
        p += 1
        if size - segment != 3:
            msgs.append("event_size or segment_size is wrong")
            return b"".join(out), msgs
        if segment < 2:
            msgs.append("segment size %d is too small at word %d of event block %d"
                        % (segment, start, number))
            return b"".join(out), msgs
        for _ in range(segment - 1):  # segment id and data words
            if p == BLOCK_WORDS:
                return b"".join(out), msgs + [past]
            out.append(b"%4d " % w[p])
            p += 1
        out.append(b"\n")
    out.append(b"\n")
    return b"".join(out), msgs


def _walk(data, name, writers, steps):
    """The block walk over the bytes of a binary file, as the converter
    reads it: header, event blocks until a block whose word 0 is 0xFFFF,
    ender; nothing after the ender is looked at."""
    header_writer, event_writer, ender_writer = writers
    segments = []
    msgs = []

    def finish(status):
        out = b"".join(piece for _, piece in segments)
        text = "".join(m + "\n" for m in msgs)
        text += DONE_TEXT if status == 0 else FAIL_LINE
        return Expected(out, text, status, segments)

    def fetch(index):
        """The block at index, or a list of failure lines."""
        chunk = data[index * BLOCK_SIZE:(index + 1) * BLOCK_SIZE]
        step = "read_heaader_binary" if index == 0 else "read_one_block"
        if not chunk:
            if index == 0:
                return ["end of file", "no header block: %s is empty" % name, step]
            return ["end of file", "no ender block: %s ends after %d blocks" % (name, index), step]
        if len(chunk) < BLOCK_SIZE:
            return ["end of file", "block %d of %s is incomplete: %d of %d bytes"
                    % (index, name, len(chunk), BLOCK_SIZE), step]
        return chunk

    block = fetch(0)
    if isinstance(block, list):
        msgs += block
        return finish(255)
    if block_words(block)[0] != FLAG_HEADER:
        msgs += ["this block is not header", "read_heaader_binary"]
        return finish(255)
    piece, m = header_writer(block)
    segments.append((steps[0], b"\n" + piece))
    msgs += m
    index = 1
    number = 0
    while True:
        block = fetch(index)
        if isinstance(block, list):
            msgs += block
            return finish(255)
        flag = block_words(block)[0]
        if flag == FLAG_ENDER:
            break
        if flag != FLAG_EVENT:
            msgs += ["this block is not event block", "read_event_block_binary"]
            return finish(255)
        number += 1
        piece, m = event_writer(block, number)
        segments.append((steps[1], piece))
        msgs += m
        index += 1
    piece, m = ender_writer(block)
    segments.append((steps[2], piece))
    msgs += m
    return finish(0)


def model_b2rb(data, name):
    """Expected run of -b2rb on a file holding data, named name."""
    return _walk(data, name, (_b2rb_header, _b2rb_event, _b2rb_ender),
                 ("write_header_readable_binary", "write_event_block_readable_binary",
                  "write_ender_readable_binary"))


def model_b2t(data, name):
    """Expected run of -b2t on a file holding data, named name."""
    return _walk(data, name, (_b2t_header, _b2t_event, _b2t_ender),
                 ("write_header_txt", "write_event_block_txt", "write_ender_txt"))


# text data lines

_SPACE = b" \t\n\v\f\r"
_INT_RE = re.compile(rb"[+-]?[0-9]+")
_FLOAT_RE = re.compile(rb"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")


class ModelGap(Exception):
    """The model does not cover this input; the test should not use it."""


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


def scan_line(piece):
    """sscanf(piece, "%d %f %f %f %f %f") for plain decimal numbers.

    Returns (count, integer token, [float tokens]); count is -1 when the line
    holds nothing but white space. The scan sees the line as a C string, up
    to its first NUL byte. Raises ModelGap for forms the model leaves out
    (inf, nan, hexadecimal, a dangling exponent)."""
    piece = piece.split(b"\0", 1)[0]
    pos = 0
    tokens = []
    for i in range(6):
        while pos < len(piece) and piece[pos] in _SPACE:
            pos += 1
        if pos == len(piece):
            return (-1 if i == 0 else i), (tokens[0] if tokens else None), tokens[1:]
        rest = piece[pos:]
        if re.match(rb"[+-]?(inf|nan|0[xX])", rest, re.I):
            raise ModelGap("inf, nan or hexadecimal number")
        match = (_INT_RE if i == 0 else _FLOAT_RE).match(rest)
        if not match:
            if re.match(rb"[+-]?\.?$|[+-]?\.?[^0-9]", rest) is None:
                raise ModelGap("unusual number form %r" % rest[:20])
            return i, (tokens[0] if tokens else None), tokens[1:]
        token = match.group(0)
        after = rest[len(token):len(token) + 1]
        if after and after in b"eEpPxX":
            raise ModelGap("number followed by %r" % after)
        tokens.append(token)
        pos += len(token)
    return 6, tokens[0], tokens[1:]


def float_bits(token):
    """Bit pattern of a decimal token read as a single-precision float.
    Exact for tokens whose value a float holds exactly (all that the tests
    generate); other decimals could round twice."""
    return struct.unpack("<I", struct.pack("<f", float(token)))[0]


def data_words(integer, floats):
    """The 12 data words of a data line: each value low half, then high half."""
    raw = [integer & 0xFFFFFFFF] + [float_bits(f) if isinstance(f, (bytes, str)) else f
                                    for f in floats]
    words = []
    for value in raw:
        words += [value & 0xFFFF, value >> 16]
    return words


def parse_data_line(piece):
    """('comment',) | ('data', words) | ('bad', message lines) for one piece."""
    if is_comment(piece):
        return ("comment",)
    count, int_token, float_tokens = scan_line(piece)
    if count != 6:
        if int_token is not None and not -2**31 <= int(int_token) < 2**31:
            raise ModelGap("short line with an out-of-range integer")
        return ("bad", [SCAN_FAIL_TEXT])
    value = int(int_token)
    if not -2**31 <= value < 2**31:
        return ("bad", ["integer %s does not fit in 32 bits\n" % int_token.decode("ascii")])
    try:
        return ("data", data_words(value, float_tokens))
    except OverflowError:
        raise ModelGap("float out of range")


def record_bytes(event_id, words):
    head = [DATA_WORDS + 5 | EVENT_SIZE_BIT, FID, event_id, DATA_WORDS + 2, 1]
    return struct.pack("<5H", *head) + struct.pack("<%dH" % len(words), *words)


def model_t2b(text):
    """Expected run of -t2b on a text input holding text (bytes)."""
    header = header_block()
    segments = [("write_header_binary", header)]
    stdout = []
    pieces = split_pieces(text)
    next_piece = 0
    counter = 0
    while True:
        block = bytearray(struct.pack("<H", FLAG_EVENT) + bytes(6))
        used = previous = 8
        largest = 0
        records = 0
        while True:
            if used - previous > largest:
                largest = used - previous
            previous = used
            if largest + used + 4 > BLOCK_SIZE:
                stdout.append(GOTO_TEXT)
                result = "ok"
                break
            if next_piece == len(pieces):
                stdout.append("\n %d events converted \n" % counter)
                result = "eof"
                break
            parsed = parse_data_line(pieces[next_piece])
            next_piece += 1
            if parsed[0] == "comment":
                continue
            if parsed[0] == "bad":
                stdout += parsed[1]
                stdout += ["data_reader_flag\n", "return_flag\n", FAIL_LINE]
                segments.append(("write_event_block_binary", bytes(block)))
                return Expected(b"".join(p for _, p in segments), "".join(stdout), 255,
                                segments)
            if counter % 100 == 0:
                stdout.append("now reading line #%d\n" % counter)
            counter += 1
            records += 1
            block += record_bytes(records, parsed[1])
            used += RECORD_BYTES
        block += struct.pack("<2H", END_MARKER, END_MARKER)
        block += bytes(BLOCK_SIZE - len(block))
        assert len(block) == BLOCK_SIZE
        segments.append(("write_event_block_binary", bytes(block)))
        if result == "eof":
            break
    segments.append(("write_ender_binary", ender_block()))
    stdout.append(DONE_TEXT)
    return Expected(b"".join(p for _, p in segments), "".join(stdout), 0, segments)


# ------------------------------------------------------ text data for -t2b

def generate_lines(count, seed, comment_every=0):
    """count data lines (bytes, each with its newline) and their 12 data
    words each, computed directly from the generated values. Floats are
    multiples of 1/64 that a float holds exactly; integers span the 32-bit
    range. With comment_every=k a comment line follows every k-th data line."""
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
        words.append([w for v in [integer & 0xFFFFFFFF]
                      + [struct.unpack("<I", struct.pack("<f", f))[0] for f in floats]
                      for w in (v & 0xFFFF, v >> 16)])
        if comment_every and (i + 1) % comment_every == 0:
            lines.append(comments[(i // comment_every) % len(comments)])
    return lines, words


# ----------------------------------------------- checker of -t2b output files

def records_per_block(data_words):
    """Records of data_words words that fit between an event block's head and
    its two closing markers."""
    return (BLOCK_SIZE - 8 - 4) // (2 * (data_words + 5))


def read_t2b_file(data, data_words=DATA_WORDS, user=None):
    """Check every block of a file written by -t2b and return, per event
    block, the list of the data words of each record.

    Checks: whole blocks only; block 0 is the user header, the last block the
    user ender (texts as in USER, or as given in user); every other block has
    flag 0 and three zero words, records with event size (data_words +
    5)|0x8000 (17 for the shipped layout), FID 1, event ids 1, 2, 3, ...,
    segment size data_words + 2, segment id 1, at most
    records_per_block(data_words) of them (481), then the two 0xFFFF markers
    and zeros to the end of the block."""
    if len(data) % BLOCK_SIZE:
        raise AssertionError("file length %d is not a multiple of %d" % (len(data), BLOCK_SIZE))
    count = len(data) // BLOCK_SIZE
    if count < 3:
        raise AssertionError("file holds %d blocks, at least 3 expected" % count)
    blocks = [data[i * BLOCK_SIZE:(i + 1) * BLOCK_SIZE] for i in range(count)]
    if blocks[0] != header_block(**(user or {})):
        raise AssertionError("block 0 is not the user header block")
    if blocks[-1] != ender_block(**(user or {})):
        raise AssertionError("block %d is not the user ender block" % (count - 1))
    result = []
    for index in range(1, count - 1):
        w = block_words(blocks[index])
        if w[0:4] != (0, 0, 0, 0):
            raise AssertionError("block %d: flag and blank are %r" % (index, w[0:4]))
        p = 4
        records = []
        while w[p] != END_MARKER:
            head = w[p:p + 5]
            expected = (data_words + 5 | EVENT_SIZE_BIT, FID, len(records) + 1,
                        data_words + 2, 1)
            if head != expected:
                raise AssertionError("block %d word %d: record head %r, expected %r"
                                     % (index, p, head, expected))
            if p + 5 + data_words + 2 > BLOCK_WORDS:
                raise AssertionError("block %d: record at word %d leaves no room for the markers"
                                     % (index, p))
            records.append(list(w[p + 5:p + 5 + data_words]))
            p += 5 + data_words
        if w[p + 1] != END_MARKER:
            raise AssertionError("block %d: second marker at word %d is %#x" % (index, p + 1, w[p + 1]))
        if any(w[p + 2:]):
            raise AssertionError("block %d: non-zero word after the markers" % index)
        if len(records) > records_per_block(data_words):
            raise AssertionError("block %d holds %d records" % (index, len(records)))
        result.append(records)
    return result


def parse_listing_records(listing):
    """Record lines of a -b2t listing: lists of integers, per event block."""
    blocks = []
    for line in listing.split(b"\n"):
        if line.startswith(b"#  ") and line.endswith(b" event block"):
            blocks.append([])
        elif line and not line.startswith(b"#") and blocks:
            blocks[-1].append([int(x) for x in line.split()])
    return blocks


# ------------------------------------------------------------------ running

# Output buffering allowed between a failed write and its report: the
# program's 256 KiB output buffer and one block's worth of output on top.
WRITE_WINDOW = 256 * 1024 + 64 * 1024


def binary_path():
    path = os.environ.get("TVQCONVERTER")
    if not path:
        raise RuntimeError("set TVQCONVERTER to the path of the tvqconverter binary")
    path = os.path.abspath(path)
    if not os.access(path, os.X_OK):
        raise RuntimeError("TVQCONVERTER=%s is not an executable file" % path)
    return path


def wrapper():
    """The words of $TVQ_WRAPPER, put before the binary on every run, e.g.
    TVQ_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full"; a checker
    that finds a fault then shows up as a wrong exit status and output on
    stderr. Empty when the variable is unset or blank."""
    return shlex.split(os.environ.get("TVQ_WRAPPER", ""))


# A wrapped run is many times slower: every timeout is stretched by this.
WRAPPED_TIMEOUT_FACTOR = 10


def skip_if_wrapped(test, reason):
    """Skip test when the runs go through a wrapper that cannot take part in
    it; reason says why."""
    if wrapper():
        test.skipTest("under TVQ_WRAPPER: " + reason)


# why the tests with a lowered file size limit do not run under a wrapper
FSIZE_UNDER_WRAPPER = ("the file size limit would bind the wrapper too, and valgrind writes "
                       "files of its own (vgdb's shared memory file in /tmp)")


class Result:
    def __init__(self, status, stdout, stderr):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr


def sanitizer_build():
    """True when the binary is built with AddressSanitizer."""
    with open(binary_path(), "rb") as f:
        return b"__asan_init" in f.read()


def run(args, cwd, input_data=None, stdin=None, fsize_limit=None, as_user=None, timeout=30,
        limits=(), closed=(), env=None):
    """Run the binary with args in cwd (under the wrapper, if any); stdout is
    decoded as latin-1 so that every byte survives. limits: (resource, value)
    pairs set as both limits; closed: descriptors closed before the start;
    env: variables added to the environment."""

    def prepare():
        if fsize_limit is not None:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (fsize_limit, fsize_limit))
        for which, value in limits:
            resource.setrlimit(which, (value, value))
        for fd in closed:
            os.close(fd)
        if as_user is not None:
            os.setgroups([])
            os.setgid(as_user)
            os.setuid(as_user)

    kwargs = {}
    if env:
        kwargs["env"] = dict(os.environ, **env)
    if input_data is not None:
        kwargs["input"] = input_data
    else:
        kwargs["stdin"] = subprocess.DEVNULL if stdin is None else stdin
    command = wrapper()
    if command:
        timeout *= WRAPPED_TIMEOUT_FACTOR
    proc = subprocess.run(command + [binary_path()] + list(args), cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout, preexec_fn=prepare,
                          **kwargs)
    return Result(proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1"))


def allowed_failure_tails(segments, limit, name, return_flag_steps=(),
                          reason="File too large"):
    """Possible ends of stdout after the output file reached limit bytes:
    "cannot write", the step whose writer was running when the failure was
    seen (within WRITE_WINDOW bytes of buffering after the limit, or none when
    only the close sees it), then the driver's line."""
    tails = set()
    start = 0
    for step, piece in segments:
        end = start + len(piece)
        if end > limit and start <= limit + WRITE_WINDOW:
            tail = step + "\n"
            if step in return_flag_steps:
                tail += "return_flag\n"
            tails.add(tail)
        start = end
    if start <= limit + WRITE_WINDOW:
        tails.add("")
    return {"cannot write %s: %s\n%s%s" % (name, reason, t, FAIL_LINE) for t in tails}


def zero_write_env(test, path, after):
    """The environment in which every write() to the file at path returns 0
    once after bytes have reached it (tests/e2e/zero_write_shim.c, built by
    CMake and named by $TVQ_ZERO_WRITE_SHIM); skips the test without it."""
    shim = os.environ.get("TVQ_ZERO_WRITE_SHIM")
    if not shim:
        test.skipTest("TVQ_ZERO_WRITE_SHIM is not set (the shim is built with the tests)")
    # AddressSanitizer wants its runtime loaded first; the shim only passes
    # writes on.
    asan = os.environ.get("ASAN_OPTIONS", "")
    return {"LD_PRELOAD": os.path.abspath(shim), "TVQ_ZERO_WRITE_NAME": os.path.realpath(path),
            "TVQ_ZERO_WRITE_AFTER": str(after),
            "ASAN_OPTIONS": (asan + ":" if asan else "") + "verify_asan_link_order=0"}


class FifoFeeder:
    """Writes data into a FIFO from a thread; stop() makes sure the thread ends
    even when the program never opened or never drained the FIFO."""

    def __init__(self, path, data):
        self.path = path
        self.data = data
        self.thread = threading.Thread(target=self._feed, daemon=True)
        self.thread.start()

    def _feed(self):
        try:
            with open(self.path, "wb") as f:
                f.write(self.data)
        except (BrokenPipeError, OSError):
            pass

    def stop(self):
        if self.thread.is_alive():
            fd = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK)
            try:
                while self.thread.is_alive():
                    try:
                        os.read(fd, 1 << 16)
                    except BlockingIOError:
                        pass
                    self.thread.join(0.01)
            finally:
                os.close(fd)
        self.thread.join()


class E2ETestCase(unittest.TestCase):
    """Every test runs in a fresh temporary directory, removed afterwards;
    file names given to the program are relative to it."""

    maxDiff = 4000

    def setUp(self):
        binary_path()
        self.root = tempfile.mkdtemp(prefix="tvq-e2e-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.dir = self.root

    def new_case(self):
        """A fresh empty directory for the next case of a table."""
        self.dir = tempfile.mkdtemp(dir=self.root)
        return self.dir

    def path(self, name):
        return os.path.join(self.dir, name)

    def write_file(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read_file(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def tvq(self, *args, **kwargs):
        return run(args, self.dir, **kwargs)

    def assertBytesEqual(self, expected, got, what="output"):
        """Equality of long byte strings, reported by the first difference."""
        if expected == got:
            return
        at = next((i for i, (a, b) in enumerate(zip(expected, got)) if a != b),
                  min(len(expected), len(got)))
        self.fail("%s differs at byte %d (expected %d bytes, got %d):\n expected %r\n      got %r"
                  % (what, at, len(expected), len(got), expected[max(0, at - 40):at + 40],
                     got[max(0, at - 40):at + 40]))

    def assertRun(self, result, status, stdout):
        """Exact exit status and stdout; nothing on stderr."""
        self.assertEqual(stdout, result.stdout, "stdout")
        self.assertEqual(status, result.status, "exit status")
        self.assertEqual("", result.stderr, "stderr")

    def assertMatchesModel(self, result, expected, out_name):
        self.assertRun(result, expected.status, expected.stdout)
        self.assertBytesEqual(expected.out, self.read_file(out_name), out_name)

    def assertWriteFailure(self, result, expected, out_name, limit, return_flag_steps=(),
                           reason="File too large"):
        """A run whose writes fail once limit bytes are written (a file size
        limit, or writes that make no progress): the output is the first limit
        bytes of the full output; stdout is a beginning of the successful
        run's stdout, then one allowed failure tail naming reason; exit 255."""
        self.assertEqual(255, result.status, "exit status; stdout ends:\n" + result.stdout[-500:])
        self.assertEqual("", result.stderr, "stderr")
        self.assertNotIn("conversion is done!!", result.stdout)
        self.assertEqual(1, result.stdout.count("cannot write "), result.stdout)
        self.assertTrue(result.stdout.endswith(FAIL_LINE), result.stdout)
        at = result.stdout.index("cannot write ")
        head, tail = result.stdout[:at], result.stdout[at:]
        self.assertTrue(expected.stdout.startswith(head),
                        "stdout before the failure is not a beginning of the normal stdout:\n"
                        + head)
        self.assertIn(tail, allowed_failure_tails(expected.segments, limit, out_name,
                                                  return_flag_steps, reason))
        self.assertGreater(len(expected.out), limit, "test needs more output than the limit")
        self.assertBytesEqual(expected.out[:limit], self.read_file(out_name), out_name)
