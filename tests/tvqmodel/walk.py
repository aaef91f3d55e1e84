"""-b2rb and -b2t: the block walk over the bytes of a binary file, the
readable dump and the text listing it writes, and the messages it prints."""

from .blocks import block_words
from .layout import BLOCK_SIZE, BLOCK_WORDS, EVENT_SIZE_BIT, FID, FLAG_ENDER, FLAG_EVENT, \
    FLAG_HEADER, TEXT_FIELDS
from .messages import DONE_TEXT, FAIL_LINE

__all__ = ["Expected", "dump_block", "field_text", "header_listing", "event_listing",
           "model_b2rb", "model_b2t", "parse_listing_records"]


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
    """The readable dump of one block: 1024 lines of eight words, each as
    "%04x " (four lower-case hex digits, high byte first, and a space)."""
    swapped = bytearray(BLOCK_SIZE)
    swapped[0::2] = block[1::2]
    swapped[1::2] = block[0::2]
    swapped = bytes(swapped)
    return b"".join(swapped[i:i + 16].hex(" ", 2).encode() + b" \n"
                    for i in range(0, BLOCK_SIZE, 16))


def field_text(block, offset, length):
    """A text field as listed: its bytes up to the first zero byte."""
    raw = block[offset:offset + length]
    end = raw.find(b"\0")
    return raw if end < 0 else raw[:end]


def header_listing(banner, block):
    """Listing of a header or ender block: banner, then its seven text fields."""
    out = [banner]
    for _, offset, length in TEXT_FIELDS:
        out.append(b"#  " + field_text(block, offset, length) + b"\n")
    out.append(b"\n")
    return b"".join(out)


_VALUES = {}


def _values(count):
    """The format of count values, each "%4d "."""
    if count not in _VALUES:
        _VALUES[count] = b"%4d " * count
    return _VALUES[count]


def event_listing(block, number):
    """Listing of one event block and the messages it prints. A record's
    words are taken in order as far as they lie in the block; the first word
    outside it ends the listing of the block."""
    w = block_words(block)
    out = [b"#  %d event block\n\n" % number]
    p = 4
    while p < BLOCK_WORDS - 1:
        start = p
        past = ["record at word %d of event block %d runs past the end of the block"
                % (start, number)]
        size = w[p]
        if not size & EVENT_SIZE_BIT or w[p + 1] != FID:
            break
        size &= 0x7FFF
        p += 2
        if p == BLOCK_WORDS:
            return b"".join(out), past
        out.append(b"%4d " % w[p])  # event id
        p += 1
        if p == BLOCK_WORDS:
            return b"".join(out), past
        segment = w[p]
        p += 1
        if size - segment != 3:
            return b"".join(out), ["event_size or segment_size is wrong"]
        if segment < 2:
            return b"".join(out), ["segment size %d is too small at word %d of event block %d"
                                   % (segment, start, number)]
        end = min(p + segment - 1, BLOCK_WORDS)  # segment id and data words
        out.append(_values(end - p) % w[p:end])
        if end < p + segment - 1:
            return b"".join(out), past
        p = end
        out.append(b"\n")
    out.append(b"\n")
    return b"".join(out), []


def _walk(data, name, writers, steps):
    """The block walk as the converter reads the file: header, event blocks
    until a block whose word 0 is 0xFFFF, ender; nothing after the ender is
    looked at. writers give (bytes, messages) for a block."""
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
    return _walk(data, name, (
        lambda b: (b"#  start header\n\n" + dump_block(b) + b"\n", []),
        lambda b, n: (b"#  %d event block\n\n" % n + dump_block(b) + b"\n", []),
        lambda b: (b"#  start ender\n\n" + dump_block(b) + b"\n", [])),
        ("write_header_readable_binary", "write_event_block_readable_binary",
         "write_ender_readable_binary"))


def model_b2t(data, name):
    """Expected run of -b2t on a file holding data, named name."""
    return _walk(data, name, (
        lambda b: (header_listing(b"#  start header\n\n", b), []),
        event_listing,
        lambda b: (header_listing(b"#  start ender\n\n", b), [])),
        ("write_header_txt", "write_event_block_txt", "write_ender_txt"))


def parse_listing_records(listing):
    """Record lines of a -b2t listing: lists of integers, per event block."""
    blocks = []
    for line in listing.split(b"\n"):
        if line.startswith(b"#  ") and line.endswith(b" event block"):
            blocks.append([])
        elif line and not line.startswith(b"#") and blocks:
            blocks[-1].append([int(x) for x in line.split()])
    return blocks
