"""The format's geometry and the settings a build is made with."""

import os
import re

__all__ = ["BLOCK_SIZE", "BLOCK_WORDS", "DUMP_LINES", "FLAG_HEADER", "FLAG_EVENT", "FLAG_ENDER",
           "END_MARKER", "EVENT_SIZE_BIT", "FID", "LINE_PIECE", "TEXT_FIELDS", "Layout",
           "read_layout", "SHIPPED_SETTINGS", "SHIPPED", "USER", "DATA_WORDS", "RECORD_BYTES",
           "RECORDS_PER_BLOCK"]

BLOCK_SIZE = 16384
BLOCK_WORDS = BLOCK_SIZE // 2
DUMP_LINES = BLOCK_WORDS // 8

FLAG_HEADER = 0x0001
FLAG_EVENT = 0x0000
FLAG_ENDER = 0xFFFF
END_MARKER = 0xFFFF
EVENT_SIZE_BIT = 0x8000
FID = 1

LINE_PIECE = 16384 - 1  # characters a line read takes at most (line buffer - 1)

# (name, byte offset, length) of the text fields of a header or ender block,
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

SHIPPED_SETTINGS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src",
                                "user_settings.h")


class Layout:
    """The settings of one build: texts (field name -> bytes) written into its
    header and ender blocks, its line format ("%d" and "%f" conversions) and
    its bytes per value (2 or 4)."""

    def __init__(self, texts, line_format, data_size):
        self.texts = dict(texts)
        self.line_format = line_format
        self.data_size = data_size
        self.kinds = re.findall(r"%([df])", line_format)
        self.data_words = len(self.kinds) * data_size // 2
        self.record_bytes = 2 * (self.data_words + 5)
        # records that fit between an event block's head and its two markers
        self.records_per_block = (BLOCK_SIZE - 8 - 4) // self.record_bytes


def read_layout(path):
    """The settings of a settings header, read as data (C definitions of
    DATA_SIZE, NUMBER_OF_DATA, USER_LINE_FORMAT and the user_ texts)."""
    with open(path, encoding="utf-8") as f:
        text = f.read()

    def value(name):
        match = re.search(r"\b%s\b(?:\[\d*\])?\s*=(?!=)\s*([^;]+);" % name, text)
        if not match:
            raise SystemExit("%s: no %s" % (path, name))
        return match.group(1).strip()

    layout = Layout({name: value("user_" + name).strip('"').encode()
                     for name, _, _ in TEXT_FIELDS},
                    value("USER_LINE_FORMAT").strip('"'), int(value("DATA_SIZE")))
    if int(value("NUMBER_OF_DATA")) != len(layout.kinds):
        raise SystemExit("%s: NUMBER_OF_DATA differs from the format" % path)
    return layout


SHIPPED = read_layout(SHIPPED_SETTINGS)
USER = SHIPPED.texts
DATA_WORDS = SHIPPED.data_words
RECORD_BYTES = SHIPPED.record_bytes
RECORDS_PER_BLOCK = SHIPPED.records_per_block
