"""Block files built from readable descriptions: "header, event block with
these records, block with flag 0x1234, 100 bytes of a header" is
header_block() + event_block([...]) + raw_block(0x1234) + header_block()[:100]."""

import random
import struct

from .layout import (BLOCK_SIZE, BLOCK_WORDS, DATA_WORDS, END_MARKER, EVENT_SIZE_BIT, FID,
                     FLAG_ENDER, FLAG_EVENT, FLAG_HEADER, TEXT_FIELDS, USER)

__all__ = ["words_to_block", "block_words", "header_block", "ender_block", "Record",
           "event_block", "raw_block", "sample_file"]


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

    Texts default to those of the shipped settings; each given text must fit
    its field and is zero padded. overrides maps byte offsets to raw bytes
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
