"""-t2b: the blocks a text input becomes, and a checker of -t2b files."""

import struct

from .blocks import block_words, ender_block, header_block
from .layout import BLOCK_SIZE, BLOCK_WORDS, END_MARKER, EVENT_SIZE_BIT, FID, FLAG_EVENT, SHIPPED
from .lines import parse_data_line, split_pieces
from .messages import DONE_TEXT, FAIL_LINE, GOTO_TEXT
from .walk import Expected

__all__ = ["record_bytes", "model_t2b", "read_t2b_file"]


def record_bytes(event_id, words):
    """A record as -t2b writes it: the five head words, then the data words."""
    head = [len(words) + 5 | EVENT_SIZE_BIT, FID, event_id, len(words) + 2, 1]
    return struct.pack("<%dH" % (5 + len(words)), *(head + list(words)))


def model_t2b(text, layout=SHIPPED):
    """Expected run of -t2b on a text input holding text (bytes), for a build
    with the settings of layout."""
    segments = [("write_header_binary", header_block(**layout.texts))]
    stdout = []
    pieces = iter(split_pieces(text))
    counter = 0
    while True:
        block = bytearray(struct.pack("<H", FLAG_EVENT) + bytes(6))
        used = previous = 8
        largest = 0
        records = 0
        while True:
            # room for the largest record so far and the two markers
            largest = max(largest, used - previous)
            previous = used
            if largest + used + 4 > BLOCK_SIZE:
                stdout.append(GOTO_TEXT)
                more = True
                break
            piece = next(pieces, None)
            if piece is None:
                stdout.append("\n %d events converted \n" % counter)
                more = False
                break
            parsed = parse_data_line(piece, layout)
            if parsed[0] == "comment":
                continue
            if parsed[0] == "bad":
                stdout += parsed[1] + ["data_reader_flag\n", "return_flag\n", FAIL_LINE]
                segments.append(("write_event_block_binary", bytes(block)))
                return Expected(b"".join(p for _, p in segments), "".join(stdout), 255,
                                segments)
            if counter % 100 == 0:
                stdout.append("now reading line #%d\n" % counter)
            counter += 1
            records += 1
            block += record_bytes(records, parsed[1])
            used += layout.record_bytes
        block += struct.pack("<2H", END_MARKER, END_MARKER)
        block += bytes(BLOCK_SIZE - len(block))
        segments.append(("write_event_block_binary", bytes(block)))
        if not more:
            break
    segments.append(("write_ender_binary", ender_block(**layout.texts)))
    stdout.append(DONE_TEXT)
    return Expected(b"".join(p for _, p in segments), "".join(stdout), 0, segments)


def read_t2b_file(data, layout=SHIPPED):
    """Check every block of a file written by -t2b and return, per event
    block, the list of the data words of each record.

    Checks: whole blocks only; block 0 is the header, the last block the
    ender with the texts of layout; every other block has flag 0 and three
    zero words, records with event size (n + 5)|0x8000 for the layout's n data
    words, FID 1, event ids 1, 2, 3, ..., segment size n + 2, segment id 1, at
    most layout.records_per_block of them (481 for the shipped layout), then
    the two 0xFFFF markers and zeros to the end of the block."""
    if len(data) % BLOCK_SIZE:
        raise AssertionError("file length %d is not a multiple of %d" % (len(data), BLOCK_SIZE))
    count = len(data) // BLOCK_SIZE
    if count < 3:
        raise AssertionError("file holds %d blocks, at least 3 expected" % count)
    blocks = [data[i * BLOCK_SIZE:(i + 1) * BLOCK_SIZE] for i in range(count)]
    if blocks[0] != header_block(**layout.texts):
        raise AssertionError("block 0 is not the user header block")
    if blocks[-1] != ender_block(**layout.texts):
        raise AssertionError("block %d is not the user ender block" % (count - 1))
    n = layout.data_words
    result = []
    for index in range(1, count - 1):
        w = block_words(blocks[index])
        if w[0:4] != (0, 0, 0, 0):
            raise AssertionError("block %d: flag and blank are %r" % (index, w[0:4]))
        p = 4
        records = []
        while w[p] != END_MARKER:
            head = w[p:p + 5]
            expected = (n + 5 | EVENT_SIZE_BIT, FID, len(records) + 1, n + 2, 1)
            if head != expected:
                raise AssertionError("block %d word %d: record head %r, expected %r"
                                     % (index, p, head, expected))
            if p + 5 + n + 2 > BLOCK_WORDS:
                raise AssertionError("block %d: record at word %d leaves no room for the markers"
                                     % (index, p))
            records.append(list(w[p + 5:p + 5 + n]))
            p += 5 + n
        if w[p + 1] != END_MARKER:
            raise AssertionError("block %d: second marker at word %d is %#x" % (index, p + 1, w[p + 1]))
        if any(w[p + 2:]):
            raise AssertionError("block %d: non-zero word after the markers" % index)
        if len(records) > layout.records_per_block:
            raise AssertionError("block %d holds %d records" % (index, len(records)))
        result.append(records)
    return result
