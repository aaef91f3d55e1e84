"""-t2b: text data lines to binary block file."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tvqlib as t  # noqa: E402
import tvqmodel as m  # noqa: E402

H = m.header_block()
N = m.ender_block()
TAIL = "data_reader_flag\nreturn_flag\n" + m.FAIL_LINE


def words_of(integer, floats):
    """12 data words of a line holding integer and floats (Python numbers)."""
    return m.line_words([integer] + list(floats))


def converted_stdout(n):
    """stdout of a successful run over n data lines."""
    out = []
    for i in range(n):
        if i and i % m.RECORDS_PER_BLOCK == 0:
            out.append(m.GOTO_TEXT)
        if i % 100 == 0:
            out.append("now reading line #%d\n" % i)
    if n and n % m.RECORDS_PER_BLOCK == 0:
        out.append(m.GOTO_TEXT)
    return "".join(out) + "\n %d events converted \n" % n + m.DONE_TEXT


def blocks_of(words):
    """Expected file for the data words of each line, built block by block."""
    chunks = [words[i:i + 481] for i in range(0, len(words), 481)]
    if len(words) % 481 == 0:
        chunks.append([])
    return H + b"".join(m.event_block([m.Record(i + 1, w) for i, w in enumerate(chunk)])
                        for chunk in chunks) + N


class TextToBinary(t.E2ETestCase):

    def convert(self, text, **kwargs):
        self.write_file("in.txt", text)
        return self.tvq("-t2b", "in.txt", "out.tvq", **kwargs)

    def test_no_data_line(self):
        """Header, one event block without records, ender."""
        for description, text in [
            ("empty file", b""),
            ("comments only", b"# run 2002\nc comment\n% comment\n// comment\n\n\n"
                              b"cabbage 1 2 3 4 5 6\n#1 2 3 4 5 6"),
            ("one empty line", b"\n"),
        ]:
            with self.subTest(description):
                self.new_case()
                result = self.convert(text)
                self.assertRun(result, 0, "\n 0 events converted \n" + m.DONE_TEXT)
                out = self.read_file("out.tvq")
                self.assertEqual(3 * m.BLOCK_SIZE, len(out))
                self.assertBytesEqual(H + m.event_block([]) + N, out)
                self.assertEqual([[]], m.read_t2b_file(out))
                self.assertMatchesModel(result, m.model_t2b(text), "out.tvq")

    def test_one_line_byte_example(self):
        result = self.convert(b"5 2 0 0 0 0\n")
        self.assertRun(result, 0, "now reading line #0\n\n 1 events converted \n" + m.DONE_TEXT)
        out = self.read_file("out.tvq")
        event = bytes.fromhex("0000" "000000000000" "1180" "0100" "0100" "0e00" "0100"
                              "0500000000000040") + bytes(16) + b"\xff\xff\xff\xff"
        event += bytes(m.BLOCK_SIZE - len(event))
        self.assertBytesEqual(H + event + N, out)
        # header fields as laid out in the block
        self.assertEqual(b"\x01\x00" + bytes(18) + b"RUN-1001  START => 33:33:33  STOP => 44:44:44 "
                         b"  PRINT => xx:xx:xx  01-JAN-01" + bytes(4) + b"hello world",
                         out[:111])
        self.assertEqual(b"goodnight world", out[180:195])
        self.assertEqual(b"\xff\xff", out[2 * m.BLOCK_SIZE:2 * m.BLOCK_SIZE + 2])
        self.assertEqual(out[2:m.BLOCK_SIZE], out[2 * m.BLOCK_SIZE + 2:])

    def test_line_counts(self):
        """Block boundaries: exact stdout, blocks, records per block, ids and
        data words of every record."""
        cases = [
            # (data lines, records per event block)
            (1, [1]),
            (100, [100]),
            (480, [480]),
            (481, [481, 0]),
            (482, [481, 1]),
            (962, [481, 481, 0]),
            (970, [481, 481, 8]),
        ]
        for count, per_block in cases:
            with self.subTest(lines=count):
                self.new_case()
                lines, words = m.generate_lines(count, seed=count)
                text = b"".join(lines)
                result = self.convert(text)
                self.assertRun(result, 0, converted_stdout(count))
                out = self.read_file("out.tvq")
                self.assertEqual(m.BLOCK_SIZE * (len(per_block) + 2), len(out))
                records = m.read_t2b_file(out)
                self.assertEqual(per_block, [len(b) for b in records])
                self.assertEqual(words, [r for b in records for r in b])
                self.assertBytesEqual(blocks_of(words), out)
                self.assertBytesEqual(m.model_t2b(text).out, out, "model")

    def test_970_lines_stdout(self):
        lines, _ = m.generate_lines(970, seed=1, comment_every=4)
        result = self.convert(b"".join(lines))
        stdout = ("now reading line #0\nnow reading line #100\nnow reading line #200\n"
                  "now reading line #300\nnow reading line #400\n"
                  "\n goto next event block\n\n"
                  "now reading line #500\nnow reading line #600\nnow reading line #700\n"
                  "now reading line #800\nnow reading line #900\n"
                  "\n goto next event block\n\n"
                  "\n 970 events converted \n"
                  "\n conversion is done!!\n\n")
        self.assertRun(result, 0, stdout)
        self.assertEqual([481, 481, 8], [len(b) for b in m.read_t2b_file(self.read_file("out.tvq"))])

    GOOD = [
        # (description, line, integer, floats)
        ("six integers", b"1 2 3 4 5 6\n", 1, [2, 3, 4, 5, 6]),
        ("seventh value ignored", b"1 2 3 4 5 6 7\n", 1, [2, 3, 4, 5, 6]),
        ("text after the sixth value", b"1 2 3 4 5 6 # note\n", 1, [2, 3, 4, 5, 6]),
        ("integer stops at the point", b"1.5 2 3 4 5 6\n", 1, [0.5, 2, 3, 4, 5]),
        ("minus one", b"-1 0 0 0 0 0\n", -1, [0, 0, 0, 0, 0]),
        ("carriage return", b"1 2 3 4 5 6\r\n", 1, [2, 3, 4, 5, 6]),
        ("tabs and leading blanks", b" \t 7\t-2.5 1e2 .25 -0 +3\n", 7, [-2.5, 100, 0.25, -0.0, 3]),
        ("no separator needed", b"8-1-2-3-4-5\n", 8, [-1, -2, -3, -4, -5]),
        ("largest integer", b"2147483647 0.125 0 0 0 0\n", 2**31 - 1, [0.125, 0, 0, 0, 0]),
        ("smallest integer", b"-2147483648 1 1 1 1 1\n", -2**31, [1, 1, 1, 1, 1]),
        ("leading zeros and plus", b"+0042 007 1 1 1 1\n", 42, [7, 1, 1, 1, 1]),
        ("big floats", b"0 65504 -1048576.5 3.75e5 7.8125e-3 16777216\n", 0,
         [65504, -1048576.5, 375000, 7.8125e-3, 16777216]),
    ]

    BAD = [
        # (description, line, message)
        ("five values", b"1 2 3 4 5\n", m.SCAN_FAIL_TEXT),
        ("letter in place of the sixth", b"1 2 3 4 5 x\n", m.SCAN_FAIL_TEXT),
        ("comma", b"1,2 3 4 5 6 7\n", m.SCAN_FAIL_TEXT),
        ("blank before the number sign", b" # not a comment\n", m.SCAN_FAIL_TEXT),
        ("slash and another character", b"/x 1 2 3 4 5 6\n", m.SCAN_FAIL_TEXT),
        ("capital C", b"C 1 2 3 4 5 6\n", m.SCAN_FAIL_TEXT),
        ("carriage return only", b"\r\n", m.SCAN_FAIL_TEXT),
        ("blanks only", b"   \t\n", m.SCAN_FAIL_TEXT),
        ("single slash at the end of the file", b"/", m.SCAN_FAIL_TEXT),
        ("above the 32-bit range", b"2147483648 0 0 0 0 0\n",
         "integer 2147483648 does not fit in 32 bits\n"),
        ("below the 32-bit range", b"-2147483649 0 0 0 0 0\n",
         "integer -2147483649 does not fit in 32 bits\n"),
        ("above the 64-bit range", b"99999999999999999999999 1 2 3 4 5\n",
         "integer 99999999999999999999999 does not fit in 32 bits\n"),
        ("2 to the 32", b"4294967296 0 0 0 0 0\n",
         "integer 4294967296 does not fit in 32 bits\n"),
        ("written with a plus", b"+2147483648 0 0 0 0 0\n",
         "integer +2147483648 does not fit in 32 bits\n"),
    ]

    def test_data_lines(self):
        """One line between two good lines: its words, or the failure with
        the file cut after the first record."""
        first = b"# data\n1 1 1 1 1 1\n"
        last = b"2 2 2 2 2 2\n"
        for description, line, integer, floats in self.GOOD:
            with self.subTest(description):
                self.new_case()
                text = first + line + last
                result = self.convert(text)
                self.assertRun(result, 0, "now reading line #0\n\n 3 events converted \n"
                               + m.DONE_TEXT)
                expected = [words_of(1, [1] * 5), words_of(integer, floats),
                            words_of(2, [2] * 5)]
                out = self.read_file("out.tvq")
                self.assertEqual([expected], m.read_t2b_file(out))
                self.assertBytesEqual(m.model_t2b(text).out, out, "model")
        for description, line, message in self.BAD:
            with self.subTest(description):
                self.new_case()
                text = first + line + (last if line.endswith(b"\n") else b"")
                result = self.convert(text)
                self.assertRun(result, 255, "now reading line #0\n" + message + TAIL)
                partial = m.event_block([m.Record(1, words_of(1, [1] * 5))])[:8 + 34]
                self.assertBytesEqual(H + partial, self.read_file("out.tvq"))
                self.assertMatchesModel(result, m.model_t2b(text), "out.tvq")

    def test_comments(self):
        """Comment lines are skipped and not counted; the header and ender
        carry the compiled-in texts whatever the comments say."""
        text = (b"# RUN-9999 header text\n"
                b"c\n%\n//\n\n"
                b"1 0 0 0 0 0\n"
                b"#1 2 3 4 5 6\n"
                b"c 1 2 3 4 5 6\n"
                b"cobalt\n"
                b"%d %f\n"
                b"//1 2 3 4 5 6\n"
                b"2 0 0 0 0 0\n"
                b"# last line without newline")
        result = self.convert(text)
        self.assertRun(result, 0, "now reading line #0\n\n 2 events converted \n" + m.DONE_TEXT)
        out = self.read_file("out.tvq")
        self.assertEqual([[words_of(1, [0] * 5), words_of(2, [0] * 5)]], m.read_t2b_file(out))

    def test_long_lines(self):
        """Lines are read in pieces of at most 16383 characters, each piece
        handled as a line of its own."""
        pad = lambda s, n: s + b" " * (n - len(s))  # noqa: E731
        cases = [
            ("16383 characters, then its newline alone",
             pad(b"1 2 3 4 5 6", 16383) + b"\n3 3 3 3 3 3\n",
             [words_of(1, [2, 3, 4, 5, 6]), words_of(3, [3] * 5)]),
            ("16382 characters and the newline",
             pad(b"1 2 3 4 5 6", 16382) + b"\n3 3 3 3 3 3\n",
             [words_of(1, [2, 3, 4, 5, 6]), words_of(3, [3] * 5)]),
            ("a line of two pieces",
             pad(b"1 2 3 4 5 6", 16383) + b"7 8 9 10 11 12\n",
             [words_of(1, [2, 3, 4, 5, 6]), words_of(7, [8, 9, 10, 11, 12])]),
            ("a number cut by the piece end",
             pad(b"1 2 3 4 5", 16382) + b"65 1 1 1 1 1\n",
             [words_of(1, [2, 3, 4, 5, 6]), words_of(5, [1] * 5)]),
        ]
        for description, text, expected in cases:
            with self.subTest(description):
                self.new_case()
                result = self.convert(text)
                self.assertRun(result, 0, "now reading line #0\n\n 2 events converted \n"
                               + m.DONE_TEXT)
                out = self.read_file("out.tvq")
                self.assertEqual([expected], m.read_t2b_file(out))
                self.assertBytesEqual(m.model_t2b(text).out, out, "model")

    def test_bad_line_in_the_second_block(self):
        """The 550th data line is bad: the header, the first event block and
        the first 68 records of the second stay, nothing after them."""
        lines, words = m.generate_lines(600, seed=5)
        lines[549] = b"550 1 2 3 oops\n"
        result = self.convert(b"".join(lines))
        stdout = ("".join("now reading line #%d\n" % i for i in (0, 100, 200, 300, 400))
                  + m.GOTO_TEXT + "now reading line #500\n" + m.SCAN_FAIL_TEXT + TAIL)
        self.assertRun(result, 255, stdout)
        out = self.read_file("out.tvq")
        second = m.event_block([m.Record(i + 1, w) for i, w in enumerate(words[481:549])],
                               markers=False)
        self.assertEqual(2 * m.BLOCK_SIZE + 8 + 68 * 34, len(out))
        self.assertBytesEqual(blocks_of(words[:481])[:2 * m.BLOCK_SIZE] + second[:8 + 68 * 34],
                              out)
        self.assertMatchesModel(result, m.model_t2b(b"".join(lines)), "out.tvq")

    def test_bad_first_line(self):
        for description, text, message in [
            ("text", b"abc\n1 2 3 4 5 6\n", m.SCAN_FAIL_TEXT),
            ("after comments", b"# x\n\n1 2 3\n", m.SCAN_FAIL_TEXT),
            ("integer out of range", b"-99999999999 1 2 3 4 5\n",
             "integer -99999999999 does not fit in 32 bits\n"),
        ]:
            with self.subTest(description):
                self.new_case()
                result = self.convert(text)
                self.assertRun(result, 255, message + TAIL)
                self.assertBytesEqual(H + bytes(8), self.read_file("out.tvq"))

    def test_integer_out_of_range_after_good_lines(self):
        lines, words = m.generate_lines(3, seed=2)
        text = b"".join(lines) + b"2147483648 1 2 3 4 5\n1 2 3 4 5 6\n"
        result = self.convert(text)
        self.assertRun(result, 255, "now reading line #0\ninteger 2147483648 does not fit "
                       "in 32 bits\n" + TAIL)
        partial = m.event_block([m.Record(i + 1, w) for i, w in enumerate(words)])
        self.assertBytesEqual(H + partial[:8 + 3 * 34], self.read_file("out.tvq"))

    def test_read_error(self):
        """A line read failing with EIO (/proc/self/mem read from offset 0)
        ends the process at once with status 1; the header block and the
        event block's flag and blank are already written."""
        if not os.path.exists("/proc/self/mem"):
            self.skipTest("no /proc/self/mem")
        result = self.tvq("-t2b", "/proc/self/mem", "out.tvq")
        self.assertRun(result, 1, "cannot read /proc/self/mem: Input/output error\nfgets error")
        self.assertBytesEqual(H + bytes(8), self.read_file("out.tvq"))

    def test_input_from_pipe(self):
        """Text read from a pipe gives the same file as from a regular file."""
        lines, words = m.generate_lines(600, seed=12, comment_every=3)
        text = b"".join(lines)
        result = self.tvq("-t2b", "/dev/stdin", "out.tvq", input_data=text)
        self.assertRun(result, 0, converted_stdout(600))
        self.assertBytesEqual(blocks_of(words), self.read_file("out.tvq"))

    def test_write_failure(self):
        t.skip_if_wrapped(self, t.FSIZE_UNDER_WRAPPER)
        lines, _ = m.generate_lines(481 * 8 + 10, seed=4)
        text = b"".join(lines)
        expected = m.model_t2b(text)
        total = len(expected.out)
        self.assertEqual(11 * m.BLOCK_SIZE, total)
        self.write_file("in.txt", text)
        for limit in (1000, 20000, total // 2, total - 1):
            with self.subTest(limit=limit):
                name = "out%d" % limit
                result = self.tvq("-t2b", "in.txt", name, fsize_limit=limit)
                self.assertWriteFailure(result, expected, name, limit,
                                        return_flag_steps=("write_event_block_binary",))

    def test_dump_of_the_output(self):
        """-b2rb of a file written by -t2b."""
        lines, words = m.generate_lines(970, seed=8, comment_every=5)
        text = b"".join(lines)
        self.write_file("in.txt", text)
        result = self.tvq("-t2b", "in.txt", "out.tvq")
        self.assertEqual(0, result.status, result.stdout)
        binary = self.read_file("out.tvq")
        self.assertBytesEqual(blocks_of(words), binary)
        result = self.tvq("-b2rb", "out.tvq", "out.dump")
        self.assertMatchesModel(result, m.model_b2rb(m.model_t2b(text).out, "out.tvq"),
                                "out.dump")
        dump = self.read_file("out.dump").split(b"\n")
        # the first record of the first event block
        at = 1 + 2 + 1024 + 1 + 2
        self.assertEqual(b"0000 0000 0000 0000 8011 0001 0001 000e ", dump[at])


if __name__ == "__main__":
    unittest.main()
