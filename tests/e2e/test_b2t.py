"""-b2t: binary block file to text listing."""

import os
import random
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tvqlib as t  # noqa: E402
import tvqmodel as m  # noqa: E402
from walkcases import WalkCases, H, N, E2  # noqa: E402

USER_FIELDS = (b"#  RUN-1001\n"
               b"#  START => 33:33:33 \n"
               b"#   STOP => 44:44:44 \n"
               b"#  PRINT => xx:xx:xx \n"
               b"#   01-JAN-01\n"
               b"#  hello world\n"
               b"#  goodnight world\n"
               b"\n")
HEADER_LISTING = b"#  start header\n\n" + USER_FIELDS
ENDER_LISTING = b"#  start ender\n\n" + USER_FIELDS
INCONSISTENT = "event_size or segment_size is wrong\n"


def rec(event_id, data, **raw):
    return m.Record(event_id, data, **raw)


def full_records(count, value=lambda i, j: (i * 12 + j) % 65536):
    return [rec(i + 1, [value(i, j) for j in range(12)]) for i in range(count)]


class Listing(t.E2ETestCase):

    def convert(self, data):
        self.write_file("in", data)
        return self.tvq("-b2t", "in", "out")

    def check_listing(self, data, listing, stdout=m.DONE_TEXT, status=0):
        """Exact listing written by hand, and the model agreeing with it."""
        result = self.convert(data)
        self.assertRun(result, status, stdout)
        self.assertBytesEqual(listing, self.read_file("out"))
        expected = m.model_b2t(data, "in")
        self.assertEqual((listing, stdout), (expected.out, expected.stdout), "model")

    def test_one_record_example(self):
        """The record -t2b writes for the data line 5 2 0 0 0 0."""
        data = H + m.event_block([rec(1, [5, 0, 0, 0x4000] + [0] * 8)]) + N
        listing = (b"\n" + HEADER_LISTING
                   + b"#  1 event block\n\n"
                   + b"   1    1    5    0    0 16384    0    0    0    0    0    0    0    0 \n"
                   + b"\n"
                   + ENDER_LISTING)
        self.check_listing(data, listing)

    def test_empty_event_block(self):
        data = H + m.event_block([]) + N
        self.check_listing(data, b"\n" + HEADER_LISTING + b"#  1 event block\n\n\n"
                           + ENDER_LISTING)

    def test_no_event_block(self):
        self.check_listing(H + N, b"\n" + HEADER_LISTING + ENDER_LISTING)

    def test_five_digit_and_unsigned_words(self):
        data = H + m.event_block([rec(65535, [9999, 10000, 65535, 0, 1, 12345, 0x8000, 32767,
                                              99, 100, 1000, 54321], segment_id=40000)]) + N
        line = (b"65535 40000 9999 10000 65535    0    1 12345 32768 32767   99  100 1000 54321 \n")
        self.check_listing(data, b"\n" + HEADER_LISTING + b"#  1 event block\n\n" + line + b"\n"
                           + ENDER_LISTING)

    def test_every_word_value(self):
        """Each value 0 to 65535 once, as the data of block-filling records."""
        values = list(range(65536))
        data = H + b"".join(m.event_block([rec(1, values[k:k + 8183])], markers=k + 8183 > 65536)
                            for k in range(0, 65536, 8183)) + N
        result = self.convert(data)
        self.assertMatchesModel(result, m.model_b2t(data, "in"), "out")
        listed = [r[2:] for b in m.parse_listing_records(self.read_file("out")) for r in b]
        self.assertEqual(values, [v for r in listed for v in r])

    def test_records_of_other_sizes(self):
        """Records with 0, 1, 3 and 40 data words: the segment size says how
        many words a record lists."""
        data = H + m.event_block([rec(1, []), rec(2, [7]), rec(3, [1, 2, 3]),
                                  rec(4, list(range(40)))]) + N
        body = (b"   1    1 \n"
                b"   2    1    7 \n"
                b"   3    1    1    2    3 \n"
                b"   4    1 " + b"".join(b"%4d " % i for i in range(40)) + b"\n")
        self.check_listing(data, b"\n" + HEADER_LISTING + b"#  1 event block\n\n" + body
                           + b"\n" + ENDER_LISTING)

    def test_fields_filling_their_width(self):
        """Texts that fill their fields are listed whole and stop at the field
        end even when the next bytes are not zero; a text stops at its first
        zero byte; 8-bit characters are copied as they are."""
        texts = dict(run_number=b"ABCDEFGH", start_time=b"S" * 18, stop_time=b"T" * 18,
                     print_time=b"P" * 18, print_date=b"0123456789",
                     header=bytes(range(0x21, 0x71)), ender=b"\xe9t\xe9" + b"E" * 77)
        header = m.header_block(overrides={28: b"xy", 66: b"zw", 96: b"QQQQ", 260: b"RRRR"},
                                **texts)
        ender = m.ender_block(run_number=b"ab\0cdefg", header=b"short", ender=b"",
                              overrides={96: b"\x01\x02\x03\x04"})
        fields = (b"#  ABCDEFGH\n#  " + b"S" * 18 + b"\n#  " + b"T" * 18 + b"\n#  "
                  + b"P" * 18 + b"\n#  0123456789\n#  " + bytes(range(0x21, 0x71))
                  + b"\n#  \xe9t\xe9" + b"E" * 77 + b"\n\n")
        ender_fields = (b"#  ab\n#  START => 33:33:33 \n#   STOP => 44:44:44 \n"
                        b"#  PRINT => xx:xx:xx \n#   01-JAN-01\n#  short\n#  \n\n")
        self.check_listing(header + ender, b"\n#  start header\n\n" + fields
                           + b"#  start ender\n\n" + ender_fields)

    def test_full_block_of_481_records(self):
        records = full_records(481)
        data = H + m.event_block(records) + m.event_block(full_records(3)) + N
        self.assertEqual(m.BLOCK_SIZE * 4, len(data))
        result = self.convert(data)
        self.assertMatchesModel(result, m.model_b2t(data, "in"), "out")
        listed = m.parse_listing_records(self.read_file("out"))
        self.assertEqual([[[r.event_id, 1] + r.data for r in records],
                          [[i + 1, 1] + [i * 12 + j for j in range(12)] for i in range(3)]],
                         listed)

    def test_end_of_records(self):
        """The listing of a block ends at a word without bit 15 or at a FID
        other than 1, without a message; the rest of the block is not listed."""
        good = rec(1, [1] * 12)
        after = [rec(3, [3] * 12)]
        first = b"   1    1 " + b"   1 " * 12 + b"\n"
        cases = [
            ("event size without bit 15", [good, rec(2, [2] * 12, event_size=0x0011)] + after),
            ("event size 0x7FFF", [good, rec(2, [2] * 12, event_size=0x7FFF)] + after),
            ("zero word", [good, rec(2, [2] * 12, event_size=0)] + after),
            ("FID 0", [good, rec(2, [2] * 12, fid=0)] + after),
            ("FID 2", [good, rec(2, [2] * 12, fid=2)] + after),
            ("FID 0xFFFF", [good, rec(2, [2] * 12, fid=0xFFFF)] + after),
        ]
        for description, records in cases:
            with self.subTest(description):
                self.new_case()
                data = H + m.event_block(records) + N
                self.check_listing(data, b"\n" + HEADER_LISTING + b"#  1 event block\n\n"
                                   + first + b"\n" + ENDER_LISTING)

    def test_inconsistent_record_then_next_block(self):
        """The bad record's event id stays on its line and the next event
        block's listing goes on right after it; the conversion succeeds."""
        block1 = m.event_block([rec(1, [1] * 12), rec(2, [9] * 12, segment_size=13),
                                rec(3, [3] * 12)])
        block2 = m.event_block([rec(1, [2] * 12)])
        listing = (b"\n" + HEADER_LISTING
                   + b"#  1 event block\n\n"
                   + b"   1    1 " + b"   1 " * 12 + b"\n"
                   + b"   2 #  2 event block\n\n"
                   + b"   1    1 " + b"   2 " * 12 + b"\n"
                   + b"\n" + ENDER_LISTING)
        self.check_listing(H + block1 + block2 + N, listing, INCONSISTENT + m.DONE_TEXT)

    def test_inconsistent_records_in_several_blocks(self):
        """Inconsistent first records (event size minus segment size 2 and 4)
        in the last two event blocks: the ender listing follows the event id."""
        block1 = m.event_block([rec(17, [0] * 12, event_size=0x8010)])
        block2 = m.event_block([rec(7, [0] * 12, event_size=0x8012)])
        listing = (b"\n" + HEADER_LISTING
                   + b"#  1 event block\n\n"
                   + b"  17 #  2 event block\n\n"
                   + b"   7 #  start ender\n\n" + USER_FIELDS)
        self.check_listing(H + block1 + block2 + N, listing,
                           INCONSISTENT * 2 + m.DONE_TEXT)

    def test_corrupt_records(self):
        """Records that would run past the end of the block or with a segment
        size below 2: a message, the block's listing ends there without its
        closing newline, the walk goes on and the conversion succeeds."""
        full = full_records(481)  # words 4 to 8180

        def record_at(position, n, **raw):
            """filler records, then a record of n data words at position"""
            rest = position - (4 + 481 * 17)
            fill = [] if rest == 0 else [rec(482, [5] * (rest - 5))]
            return full + fill + [rec(99, [1] * n, **raw)]

        past = "record at word %d of event block %d runs past the end of the block\n"
        small = "segment size %d is too small at word %d of event block %d\n"
        cases = [
            # (description, records of event block 2, message or None)
            ("head at word 8188 runs past", record_at(8188, 0), past % (8188, 2)),
            ("head at word 8189 runs past", record_at(8189, 0), past % (8189, 2)),
            ("head at word 8190 runs past", record_at(8190, 0), past % (8190, 2)),
            ("record at 8187 with no data fits", record_at(8187, 0), None),
            ("record at 8187 with one data word runs past", record_at(8187, 1),
             past % (8187, 2)),
            ("record at 8186 with one data word fits", record_at(8186, 1), None),
            ("one record filling the block", [rec(1, [3] * 8183)], None),
            ("one record one word too long", [rec(1, [3] * 8184)], past % (4, 2)),
            ("largest event size", [rec(1, [3] * 9000, event_size=0xFFFF,
                                        segment_size=32764)], past % (4, 2)),
            ("segment size 0", [rec(1, [1] * 12), rec(2, [], event_size=0x8003,
                                                       segment_size=0)], small % (0, 21, 2)),
            ("segment size 1", [rec(1, [], event_size=0x8004, segment_size=1)],
             small % (1, 4, 2)),
            # the words of a record at the end of the block are taken as far
            # as they lie in it; the listing ends as shown
            ("no record starts at word 8191", record_at(8191, 0), None,
             b"   5 \n\n#  3"),
            ("FID at word 8191 other than 1", record_at(8190, 0, fid=2), None, b"   5 \n\n#  3"),
            ("head at word 8188 lists its event id", record_at(8188, 0), past % (8188, 2),
             b"   5 \n  99 #  3"),
            ("segment size at word 8191 checked", record_at(8188, 0, segment_size=9),
             INCONSISTENT, b"  99 #  3"),
            ("segment size 1 at word 8191", record_at(8188, 0, event_size=0x8004,
                                                      segment_size=1),
             small % (1, 8188, 2), b"  99 #  3"),
            ("event id at word 8191, segment size outside", record_at(8189, 0, segment_size=9),
             past % (8189, 2), b"  99 #  3"),
            ("record at 8186: words up to 8191 listed", record_at(8186, 2), past % (8186, 2),
             b"  99    1    1 #  3"),
            ("record at 8187: segment id listed", record_at(8187, 1), past % (8187, 2),
             b"  99    1 #  3"),
        ]
        for description, records, message, *ends in cases:
            with self.subTest(description):
                self.new_case()
                data = H + E2 + m.event_block(records, clip=True) + E2 + N
                result = self.convert(data)
                stdout = (message or "") + m.DONE_TEXT
                expected = m.model_b2t(data, "in")
                self.assertEqual(stdout, expected.stdout, "model")
                self.assertMatchesModel(result, expected, "out")
                # the block's closing newline is written only when no message
                listing = self.read_file("out")
                closed = b" \n\n#  3 event block\n" in listing
                self.assertEqual(message is None, closed, "closing newline of event block 2")
                if ends:
                    self.assertIn(ends[0] + b" event block\n", listing)

    def test_round_trip(self):
        """-t2b of generated data lines, then -b2t: every record line lists
        event id, segment id 1 and the twelve words of its data line."""
        lines, words = m.generate_lines(1000, seed=7, comment_every=9)
        self.write_file("data.txt", b"".join(lines))
        result = self.tvq("-t2b", "data.txt", "data.tvq")
        self.assertEqual(0, result.status, result.stdout)
        binary = self.read_file("data.tvq")
        result = self.tvq("-b2t", "data.tvq", "data.lst")
        self.assertMatchesModel(result, m.model_b2t(binary, "data.tvq"), "data.lst")
        listed = m.parse_listing_records(self.read_file("data.lst"))
        self.assertEqual([481, 481, 38], [len(b) for b in listed])
        flat = [r for b in listed for r in b]
        ids = [i + 1 for n in (481, 481, 38) for i in range(n)]
        self.assertEqual([[i, 1] + w for i, w in zip(ids, words)], flat)


class Walk(WalkCases, t.E2ETestCase):
    OPTION = "-b2t"
    MODEL = staticmethod(m.model_b2t)

    def big_input(self):
        rng = random.Random(3)
        blocks = [m.event_block(full_records(481, lambda i, j: rng.randrange(10000, 65536)))
                  for _ in range(20)]
        return H + b"".join(blocks) + N


if __name__ == "__main__":
    unittest.main()
