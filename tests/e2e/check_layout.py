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
import sys
import tempfile

import tvqlib as t
import tvqmodel as m


def good_line(layout, rng):
    """A data line of the layout and its data words."""
    values = []
    for kind in layout.kinds:
        if kind == "f":
            values.append(rng.randrange(-2**22, 2**22) / 64)  # held exactly by a float
        elif layout.data_size == 2:
            values.append(rng.choice([rng.randrange(-2**15, 2**15), -2**15, 2**15 - 1, -1]))
        else:
            values.append(rng.choice([rng.randrange(-2**31, 2**31), -2**31, 2**31 - 1, -1]))
    tokens = [repr(v).encode() for v in values]
    return b" ".join(tokens) + b"\n", m.line_words(values, layout)


def bad_lines(layout, rng):
    """(line, messages printed for it) for each kind of bad line."""
    base = good_line(layout, rng)[0].split()
    # the last value spelled as no number (a shorter line could be a comment)
    cases = [(b" ".join(base[:-1] + [b"x"]) + b"\n", [m.SCAN_FAIL_TEXT])]
    integers = [i for i, kind in enumerate(layout.kinds) if kind == "d"]
    if not integers:
        return cases
    last_integer = integers[-1]
    tokens = list(base)
    tokens[last_integer] = b"-4294967296"
    cases.append((b" ".join(tokens) + b"\n", ["integer -4294967296 does not fit in 32 bits\n"]))
    if layout.data_size == 2:
        tokens = list(base)
        tokens[last_integer] = b"32768"
        cases.append((b" ".join(tokens) + b"\n",
                      ["input data is too large or small for short\n",
                       "error@Cdata_reader::convert_data_to_data_t\n"]))
    return cases


def check(condition, what):
    if not condition:
        raise SystemExit("FAILED: " + what)
    print("ok: " + what)


def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: check_layout.py BINARY SETTINGS_HEADER")
    binary, settings = os.path.abspath(sys.argv[1]), sys.argv[2]
    layout = m.read_layout(settings)
    data_words, per_block = layout.data_words, layout.records_per_block
    print("layout %r, DATA_SIZE %d: %d data words and 5 head words a record, %d records a block"
          % (layout.line_format, layout.data_size, data_words, per_block))
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
    check(result.stdout == progress + m.GOTO_TEXT + "\n %d events converted \n" % len(lines)
          + m.DONE_TEXT, "-t2b messages")
    data = open(binary_out, "rb").read()
    check(len(data) == 4 * m.BLOCK_SIZE, "header, two event blocks and ender")
    records = m.read_t2b_file(data, layout)
    check([len(block) for block in records] == [per_block, 3],
          "records per block: %d, then 3" % per_block)
    check([w for block in records for w in block] == [words for _, words in lines],
          "data words of every record")
    check(data == m.model_t2b(text, layout).out, "-t2b bytes as the model scans the lines")
    result = t.run(["-b2t", binary_out, listing], cwd=work)
    expected = m.model_b2t(data, binary_out)
    check(result.status == 0 and result.stdout == expected.stdout, "-b2t succeeds")
    check(open(listing, "rb").read() == expected.out, "-b2t listing")

    for number, (bad, messages) in enumerate(bad_lines(layout, rng)):
        good = lines[:3]
        source = os.path.join(work, "bad%d.txt" % number)
        output = os.path.join(work, "bad%d.tvq" % number)
        open(source, "wb").write(b"".join(line for line, _ in good) + b"# a comment\n" + bad)
        result = t.run(["-t2b", source, output], cwd=work)
        check(result.status == 255 and result.stdout == "now reading line #0\n" + "".join(messages)
              + "data_reader_flag\nreturn_flag\n" + m.FAIL_LINE,
              "bad line %r: messages and exit status" % bad)
        block = bytes(8) + b"".join(m.record_bytes(i + 1, words)
                                    for i, (_, words) in enumerate(good))
        check(open(output, "rb").read() == m.header_block(**layout.texts) + block,
              "bad line: the header and the unfinished block are kept")


if __name__ == "__main__":
    main()
