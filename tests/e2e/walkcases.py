"""Cases of the block walk shared by -b2rb and -b2t: wrong block types,
truncated inputs, bytes after the ender, non-seekable inputs and write
failures. A test class mixes WalkCases into tvqlib.E2ETestCase and sets
OPTION and MODEL."""

import os
import subprocess

import tvqlib as t
import tvqmodel as m

H = m.header_block()
N = m.ender_block()
E1 = m.event_block([m.Record(1, [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12]),
                    m.Record(2, [0xFFFF] * 12)])
E2 = m.event_block([m.Record(1, list(range(100, 112)))])
E3 = m.event_block([])


def lines(*texts):
    return "".join(x + "\n" for x in texts) + m.FAIL_LINE


NOT_HEADER = lines("this block is not header", "read_heaader_binary")
NOT_EVENT = lines("this block is not event block", "read_event_block_binary")


class WalkCases:
    OPTION = None
    MODEL = None

    def model(self, data, name):
        return type(self).MODEL(data, name)

    def convert_file(self, data, name="in", out="out"):
        self.write_file(name, data)
        return self.tvq(self.OPTION, name, out)

    def check_table(self, cases):
        """cases: (description, input bytes, expected stdout, blocks written
        to the output before the end). The output must be the model's, which
        writes those blocks and nothing of a block that failed."""
        for description, data, stdout, written in cases:
            with self.subTest(description):
                self.new_case()
                result = self.convert_file(data)
                expected = self.model(data, "in")
                self.assertRun(result, 255 if m.FAIL_LINE in stdout else 0, stdout)
                self.assertEqual(written, len(expected.segments), "model disagrees with table")
                self.assertBytesEqual(expected.out, self.read_file("out"), "out")

    def test_wrong_first_block(self):
        cases = [
            ("event block first", E1 + N, NOT_HEADER, 0),
            ("ender first", N + H + E1 + N, NOT_HEADER, 0),
            ("flag 2", m.raw_block(2) + E1 + N, NOT_HEADER, 0),
            ("flag 0x8000", m.raw_block(0x8000) + N, NOT_HEADER, 0),
            ("flag bytes 00 01 (big-endian 1)", m.raw_block(0x0100) + N, NOT_HEADER, 0),
            ("flag 0x0101", m.raw_block(0x0101) + N, NOT_HEADER, 0),
        ]
        self.check_table(cases)

    def test_wrong_block_in_the_middle(self):
        self.check_table([
            ("second header after one event block", H + E1 + H + N, NOT_EVENT, 2),
            ("second header right after the header", H + H + E1 + N, NOT_EVENT, 1),
            ("flag 2", H + E1 + E2 + m.raw_block(2, seed=5) + N, NOT_EVENT, 3),
            ("flag 0x0100", H + m.raw_block(0x0100) + N, NOT_EVENT, 1),
            ("flag 0xFFFE", H + E1 + m.raw_block(0xFFFE) + N, NOT_EVENT, 2),
            ("flag 0x7FFF", H + E1 + m.raw_block(0x7FFF) + N, NOT_EVENT, 2),
            ("flag 0x00FF (bytes ff 00)", H + m.raw_block(0x00FF) + N, NOT_EVENT, 1),
        ])

    def test_truncated_input(self):
        self.check_table([
            ("empty input", b"",
             lines("end of file", "no header block: in is empty", "read_heaader_binary"), 0),
            ("one byte", H[:1],
             lines("end of file", "block 0 of in is incomplete: 1 of 16384 bytes",
                   "read_heaader_binary"), 0),
            ("header flag only", H[:2],
             lines("end of file", "block 0 of in is incomplete: 2 of 16384 bytes",
                   "read_heaader_binary"), 0),
            ("a short text file", b"hello\n",
             lines("end of file", "block 0 of in is incomplete: 6 of 16384 bytes",
                   "read_heaader_binary"), 0),
            ("header less one byte", H[:-1],
             lines("end of file", "block 0 of in is incomplete: 16383 of 16384 bytes",
                   "read_heaader_binary"), 0),
            ("header only", H,
             lines("end of file", "no ender block: in ends after 1 blocks", "read_one_block"), 1),
            ("header and an event block", H + E1,
             lines("end of file", "no ender block: in ends after 2 blocks", "read_one_block"), 2),
            ("header and three event blocks", H + E1 + E2 + E3,
             lines("end of file", "no ender block: in ends after 4 blocks", "read_one_block"), 4),
            ("100 bytes of an event block", H + E1[:100],
             lines("end of file", "block 1 of in is incomplete: 100 of 16384 bytes",
                   "read_one_block"), 1),
            ("event block less one byte", H + E1 + E2[:-1],
             lines("end of file", "block 2 of in is incomplete: 16383 of 16384 bytes",
                   "read_one_block"), 2),
            ("first byte of the ender", H + E1 + N[:1],
             lines("end of file", "block 2 of in is incomplete: 1 of 16384 bytes",
                   "read_one_block"), 2),
            ("ender flag only", H + E1 + N[:2],
             lines("end of file", "block 2 of in is incomplete: 2 of 16384 bytes",
                   "read_one_block"), 2),
            ("ender less one byte", H + N[:-1],
             lines("end of file", "block 1 of in is incomplete: 16383 of 16384 bytes",
                   "read_one_block"), 1),
            ("odd length", H + E1[:3],
             lines("end of file", "block 1 of in is incomplete: 3 of 16384 bytes",
                   "read_one_block"), 1),
        ])

    def test_bytes_after_the_ender_are_not_read(self):
        base = H + E1 + E2 + N
        for description, extra in [
            ("a partial block", b"\x01\x00garbage"),
            ("a random block", m.raw_block(1, seed=9)),
            ("an event block and a half", E1 + E2[:5000]),
            ("a second ender", N),
        ]:
            with self.subTest(description):
                self.new_case()
                self.write_file("plain", base)
                plain = self.tvq(self.OPTION, "plain", "plain.out")
                result = self.convert_file(base + extra)
                expected = self.model(base, "in")
                self.assertMatchesModel(result, expected, "out")
                self.assertRun(plain, 0, m.DONE_TEXT)
                self.assertBytesEqual(self.read_file("plain.out"), self.read_file("out"))

    def test_ender_flag_ends_the_walk(self):
        """A block with word 0 0xFFFF is the ender whatever its other words;
        what follows it, even a corrupt block, is not read."""
        data = H + E1 + m.raw_block(0xFFFF, seed=3) + m.raw_block(7, seed=4) + H[:10]
        result = self.convert_file(data)
        expected = self.model(data, "in")
        self.assertEqual(3, len(expected.segments))
        self.assertMatchesModel(result, expected, "out")

    PIPE_INPUTS = [
        ("a complete file", H + E1 + E2 + E3 + N),
        ("no event block", H + N),
        ("bytes after the ender", H + E1 + N + E2 + b"tail"),
        ("empty", b""),
        ("shorter than a block", H[:500]),
        ("header only", H),
        ("ends inside the second event block", H + E1 + E2[:9000]),
        ("ends at a block boundary", H + E1 + E2),
        ("wrong block in the middle", H + E1 + H + N),
    ]

    def test_input_from_stdin(self):
        for description, data in self.PIPE_INPUTS:
            with self.subTest(description):
                self.new_case()
                result = self.tvq(self.OPTION, "/dev/stdin", "out", input_data=data)
                self.assertMatchesModel(result, self.model(data, "/dev/stdin"), "out")
                self.write_file("file", data)
                self.tvq(self.OPTION, "file", "file.out")
                self.assertBytesEqual(self.read_file("file.out"), self.read_file("out"),
                                      "output from a pipe and from a file")

    def test_input_from_fifo(self):
        for description, data in self.PIPE_INPUTS:
            with self.subTest(description):
                self.new_case()
                os.mkfifo(self.path("fifo"))
                feeder = t.FifoFeeder(self.path("fifo"), data)
                try:
                    result = self.tvq(self.OPTION, "fifo", "out", timeout=20)
                except subprocess.TimeoutExpired:
                    self.fail("the program did not finish reading a FIFO")
                finally:
                    feeder.stop()
                self.assertMatchesModel(result, self.model(data, "fifo"), "out")

    def test_read_error(self):
        """Reading /proc/self/mem from offset 0 fails with EIO: the error is
        reported with the block number, nothing is written."""
        if not os.path.exists("/proc/self/mem"):
            self.skipTest("no /proc/self/mem")
        result = self.tvq(self.OPTION, "/proc/self/mem", "out")
        self.assertRun(result, 255, lines(
            "cannot read block 0 of /proc/self/mem: Input/output error", "read_heaader_binary"))
        self.assertEqual(b"", self.read_file("out"))

    def big_input(self):
        """An input whose output is well over WRITE_WINDOW bytes beyond the
        middle limit of test_write_failure."""
        raise NotImplementedError

    def test_write_failure(self):
        t.skip_if_wrapped(self, t.FSIZE_UNDER_WRAPPER)
        data = self.big_input()
        expected = self.model(data, "in")
        self.assertEqual(0, expected.status)
        total = len(expected.out)
        self.assertGreater(total, 2 * t.WRITE_WINDOW + 20000, "input too small")
        self.write_file("in", data)
        for limit in (1000, total // 2, total - 1):
            for source in ("file", "pipe"):
                with self.subTest(limit=limit, source=source):
                    name = "out%d%s" % (limit, source)
                    if source == "file":
                        result = self.tvq(self.OPTION, "in", name, fsize_limit=limit)
                    else:
                        result = self.tvq(self.OPTION, "/dev/stdin", name, input_data=data,
                                          fsize_limit=limit)
                    self.assertWriteFailure(result, expected, name, limit)
