"""-b2rb: binary block file to readable hexadecimal dump."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tvqlib as t  # noqa: E402
import tvqmodel as m  # noqa: E402
from walkcases import WalkCases, H, N, E1, E2, E3  # noqa: E402


def labels(dump):
    """The banner lines of a dump, in order."""
    return [line for line in dump.split(b"\n") if line.startswith(b"#")]


class Dump(t.E2ETestCase):

    def test_header_and_ender_of_zeros(self):
        """Written out by hand: a header block 1, 0, 0, ... and an ender block
        0xFFFF, 0, 0, ...: flag in the first group, lower-case hex, a space
        after every group, an empty line before and after every block."""
        data = m.raw_block(1) + m.raw_block(0xFFFF)
        zeros = ("0000 " * 8 + "\n") * 1023
        expected = ("\n"
                    "#  start header\n\n"
                    "0001 " + "0000 " * 7 + "\n" + zeros + "\n"
                    "#  start ender\n\n"
                    "ffff " + "0000 " * 7 + "\n" + zeros + "\n").encode()
        self.write_file("in", data)
        result = self.tvq("-b2rb", "in", "out")
        self.assertRun(result, 0, m.DONE_TEXT)
        self.assertBytesEqual(expected, self.read_file("out"))

    def test_word_order_and_hex_digits(self):
        """Bytes 34 12 give the word 1234; every hex digit appears."""
        words = [0x1234, 0xABCD, 0x00EF, 0x8000, 0x0001, 0xFFFE, 0x5678, 0x9A0B]
        header = m.raw_block(1, words=words[1:] + words)
        self.write_file("in", header + N)
        result = self.tvq("-b2rb", "in", "out")
        self.assertRun(result, 0, m.DONE_TEXT)
        out = self.read_file("out").split(b"\n")
        self.assertEqual(b"0001 abcd 00ef 8000 0001 fffe 5678 9a0b ", out[3])
        self.assertEqual(b"1234 abcd 00ef 8000 0001 fffe 5678 9a0b ", out[4])
        self.assertEqual(b"0000 " * 8, out[5])

    def test_complete_files(self):
        cases = [
            # (description, blocks, expected banners)
            ("header, three event blocks, ender",
             [m.raw_block(1, seed=1), m.raw_block(0, seed=2), E1, m.raw_block(0, seed=3),
              m.raw_block(0xFFFF, seed=4)],
             [b"#  start header", b"#  1 event block", b"#  2 event block",
              b"#  3 event block", b"#  start ender"]),
            ("no event block", [H, N], [b"#  start header", b"#  start ender"]),
            ("one event block", [H, E1, N],
             [b"#  start header", b"#  1 event block", b"#  start ender"]),
            ("empty event blocks", [H, E3, E3, N],
             [b"#  start header", b"#  1 event block", b"#  2 event block",
              b"#  start ender"]),
            ("twelve event blocks", [H] + [E2] * 12 + [N],
             [b"#  start header"] + [b"#  %d event block" % i for i in range(1, 13)]
             + [b"#  start ender"]),
        ]
        for description, blocks, banners in cases:
            with self.subTest(description):
                self.new_case()
                data = b"".join(blocks)
                self.write_file("in", data)
                result = self.tvq("-b2rb", "in", "out")
                self.assertMatchesModel(result, m.model_b2rb(data, "in"), "out")
                out = self.read_file("out")
                self.assertEqual(banners, labels(out))
                # an empty line, then per block: banner, empty line, 1024 lines, empty line
                self.assertEqual(1 + len(blocks) * (3 + 1024), out.count(b"\n"))
                self.assertEqual(data, self.input_from_dump(out))
                self.assertEqual(data, self.read_file("in"), "input changed")

    def input_from_dump(self, out):
        """Rebuild the blocks from the dump lines."""
        words = []
        for line in out.split(b"\n"):
            if line and not line.startswith(b"#"):
                self.assertEqual(40, len(line), line)
                words += [int(x, 16) for x in line.split()]
        return b"".join(m.words_to_block(words[i:i + m.BLOCK_WORDS])
                        for i in range(0, len(words), m.BLOCK_WORDS))


class Walk(WalkCases, t.E2ETestCase):
    OPTION = "-b2rb"
    MODEL = staticmethod(m.model_b2rb)

    def big_input(self):
        return H + (E1 + E2 + m.raw_block(0, seed=11) + E3) * 5 + N


if __name__ == "__main__":
    unittest.main()
