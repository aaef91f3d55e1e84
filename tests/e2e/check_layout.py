"""End-to-end check of a build with another settings header.

    python3 tests/e2e/check_layout.py BINARY SETTINGS_HEADER

Reads the layout (DATA_SIZE, NUMBER_OF_DATA, USER_LINE_FORMAT) and the header
texts from the settings header, then runs BINARY:
- -t2b on one full event block of good data lines, a comment and three more
  lines: the blocks, record heads, data words, header texts and messages are
  checked; then -b2t of that file against the listing model;
- -t2b on a few good lines, a comment and a bad line, for each kind of bad
  line the layout has: the last value not a number, an integer outside 32
  bits in the last integer position, with DATA_SIZE 2 a value outside 16 bits.
Prints one line per check and exits non-zero on the first failure.
"""
import os
import random
import re
import struct
import sys
import tempfile

import tvqlib as t


def read_settings(path):
    text = open(path, encoding="utf-8").read()

    def value(name):
        match = re.search(r"\b%s\b[^=]*=\s*([^;]+);" % name, text)
        if not match:
            raise SystemExit("%s: no %s" % (path, name))
        return match.group(1).strip()

    layout = {
        "data_size": int(value("DATA_SIZE")),
        "format": value("USER_LINE_FORMAT").strip('"'),
        "user": {},
    }
    layout["kinds"] = re.findall(r"%([df])", layout["format"])
    if int(value("NUMBER_OF_DATA")) != len(layout["kinds"]):
        raise SystemExit("%s: NUMBER_OF_DATA differs from the format" % path)
    for name, _, _ in t.TEXT_FIELDS:
        layout["user"][name] = value("user_" + name).strip('"').encode()
    return layout


def good_line(layout, rng):
    """A data line of the layout and its data words."""
    tokens, words = [], []
    for kind in layout["kinds"]:
        if kind == "f":
            value = rng.randrange(-2**22, 2**22) / 64  # held exactly by a float
            tokens.append(repr(value).encode())
            bits = struct.unpack("<I", struct.pack("<f", value))[0]
            words += [bits & 0xFFFF, bits >> 16]
        elif layout["data_size"] == 2:
            value = rng.choice([rng.randrange(-2**15, 2**15), -2**15, 2**15 - 1, -1])
            tokens.append(b"%d" % value)
            words.append(value & 0xFFFF)
        else:
            value = rng.choice([rng.randrange(-2**31, 2**31), -2**31, 2**31 - 1, -1])
            tokens.append(b"%d" % value)
            words += [value & 0xFFFF, (value >> 16) & 0xFFFF]
    return b" ".join(tokens) + b"\n", words


def bad_lines(layout, rng):
    """(line, messages printed for it) for each kind of bad line."""
    base = good_line(layout, rng)[0].split()
    # the last value spelled as no number (a shorter line could be a comment)
    cases = [(b" ".join(base[:-1] + [b"x"]) + b"\n", [t.SCAN_FAIL_TEXT])]
    integers = [i for i, kind in enumerate(layout["kinds"]) if kind == "d"]
    if not integers:
        return cases
    last_integer = integers[-1]
    tokens = list(base)
    tokens[last_integer] = b"-4294967296"
    cases.append((b" ".join(tokens) + b"\n", ["integer -4294967296 does not fit in 32 bits\n"]))
    if layout["data_size"] == 2:
        tokens = list(base)
        tokens[last_integer] = b"32768"
        cases.append((b" ".join(tokens) + b"\n",
                      ["input data is too large or small for short\n",
                       "error@Cdata_reader::convert_data_to_data_t\n"]))
    return cases


def record_bytes(event_id, words):
    head = [len(words) + 5 | t.EVENT_SIZE_BIT, t.FID, event_id, len(words) + 2, 1]
    return struct.pack("<%dH" % (5 + len(words)), *(head + words))


def check(condition, what):
    if not condition:
        raise SystemExit("FAILED: " + what)
    print("ok: " + what)


def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: check_layout.py BINARY SETTINGS_HEADER")
    binary, settings = os.path.abspath(sys.argv[1]), sys.argv[2]
    layout = read_settings(settings)
    data_words = len(layout["kinds"]) * layout["data_size"] // 2
    per_block = t.records_per_block(data_words)
    print("layout %r, DATA_SIZE %d: %d data words and 5 head words a record, %d records a block"
          % (layout["format"], layout["data_size"], data_words, per_block))
    os.environ["TVQCONVERTER"] = binary
    rng = random.Random(12)
    with tempfile.TemporaryDirectory(prefix="tvq-layout-") as work:
        run_checks(layout, data_words, per_block, rng, work)


def run_checks(layout, data_words, per_block, rng, work):

    # a full block, a comment, then three more lines in a second block
    lines = [good_line(layout, rng) for _ in range(per_block + 3)]
    text = b"".join(line for line, _ in lines[:per_block]) + b"# a comment\n"
    text += b"".join(line for line, _ in lines[per_block:])
    source, binary_out, listing = (os.path.join(work, n) for n in ("in.txt", "out.tvq", "out.txt"))
    open(source, "wb").write(text)
    result = t.run(["-t2b", source, binary_out], cwd=work)
    progress = "".join("now reading line #%d\n" % i for i in range(0, len(lines), 100))
    check(result.status == 0, "-t2b of %d good lines and a comment succeeds" % len(lines))
    check(result.stdout == progress + t.GOTO_TEXT + "\n %d events converted \n" % len(lines)
          + t.DONE_TEXT, "-t2b messages")
    data = open(binary_out, "rb").read()
    check(len(data) == 4 * t.BLOCK_SIZE, "header, two event blocks and ender")
    records = t.read_t2b_file(data, data_words, layout["user"])
    check([len(block) for block in records] == [per_block, 3],
          "records per block: %d, then 3" % per_block)
    check([w for block in records for w in block] == [words for _, words in lines],
          "data words of every record")
    result = t.run(["-b2t", binary_out, listing], cwd=work)
    expected = t.model_b2t(data, binary_out)
    check(result.status == 0 and result.stdout == expected.stdout, "-b2t succeeds")
    check(open(listing, "rb").read() == expected.out, "-b2t listing")

    for number, (bad, messages) in enumerate(bad_lines(layout, rng)):
        good = lines[:3]
        source = os.path.join(work, "bad%d.txt" % number)
        output = os.path.join(work, "bad%d.tvq" % number)
        open(source, "wb").write(b"".join(line for line, _ in good) + b"# a comment\n" + bad)
        result = t.run(["-t2b", source, output], cwd=work)
        check(result.status == 255 and result.stdout == "now reading line #0\n" + "".join(messages)
              + "data_reader_flag\nreturn_flag\n" + t.FAIL_LINE,
              "bad line %r: messages and exit status" % bad)
        block = struct.pack("<H", t.FLAG_EVENT) + bytes(6)
        block += b"".join(record_bytes(i + 1, words) for i, (_, words) in enumerate(good))
        check(open(output, "rb").read() == t.header_block(**layout["user"]) + block,
              "bad line: the header and the unfinished block are kept")


if __name__ == "__main__":
    main()
