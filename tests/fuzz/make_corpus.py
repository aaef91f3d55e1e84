#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses under corpus/<harness>/.

Run from anywhere: python3 tests/fuzz/make_corpus.py
Every file it writes is made here from the block format and the line format;
the directories are emptied first, so the output is exactly this script's.

Inputs of fuzz_b2rb and fuzz_b2t start with a mode byte (see build_block_file
in fuzz_support.h): 0 the rest is the file as it stands, 1 a list of block
descriptions, 2 record operations, 3 raw event block words.
"""

import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
sys.path.insert(0, os.path.join(HERE, ".."))

import tvqmodel as model  # noqa: E402


def event_block(records, end=(0xFFFF, 0xFFFF)):
    """An event block of records as -t2b writes them, (integer, floats) each."""
    return model.event_block([model.Record(i + 1, model.line_words([integer] + floats))
                              for i, (integer, floats) in enumerate(records)],
                             markers=False, tail=end)


HEADER = model.header_block()
ENDER = model.ender_block()
FEW = [(5, [2, 0, 0, 0, 0]), (-1, [1, 1, 1, 1, 1]), (42, [12.75, -0.001, 65535, 1e6, -7.5])]
FULL = [(i, [float(i), 0.5, -1.0, 1e6, 3.25]) for i in range(481)]


def raw(data):
    return b"\x00" + data


def block_list(*blocks):
    """Mode 1: each block is (control byte, extra bytes)."""
    out = bytearray(b"\x01")
    for control, extra in blocks:
        out.append(control)
        out += extra
    return bytes(out)


def records(ending, *ops):
    """Mode 2: ending byte, then operation bytes."""
    return bytes([2, ending]) + b"".join(ops)


def op(kind, high=0, extra=b""):
    return bytes([(high << 3) | kind]) + extra


def block_file_seeds(listing):
    """Seeds shared by fuzz_b2rb and fuzz_b2t; more record seeds for the listing."""
    seeds = {
        "raw_empty": raw(b""),
        "raw_one_byte": raw(b"\x01"),
        "raw_partial_header": raw(HEADER[:100]),
        "raw_header_only": raw(HEADER),
        "raw_header_ender": raw(HEADER + ENDER),
        "raw_first_block_event": raw(event_block([])),
        "raw_header_partial_block": raw(HEADER + event_block(FEW)[:3000]),
        "raw_header_event_ender": raw(HEADER + event_block(FEW) + ENDER),
        "blocks_header_events_ender": block_list((0, b""), (1, b""), (1, b""), (2, b"")),
        "blocks_header_twice": block_list((0, b""), (0, b""), (2, b"")),
        "blocks_odd_flag": block_list((0, b""), (3, b"\x34\x12"), (2, b"")),
        "blocks_partial_ender": block_list((0, b""), (1, b""), (2 | 4, b"\x00\x20")),
        "blocks_filled_header": block_list((0 | (31 << 3), bytes(range(1, 249))), (2, b"")),
        "blocks_no_ender": block_list((0, b""), (1, b""), (1, b"")),
        "records_few": records(0, op(0, 0, b"\x0c" + bytes(24)), op(0, 0, b"\x0c" + bytes(range(24))),
                               op(6, 0)),
        "records_two_blocks_trailing": records(1, op(1, 0, b"\x02\x01\x00\x02\x00"), op(6, 0),
                                               op(1, 0, b"\x00"), op(6, 1)),
        "records_no_ender": records(2, op(0, 0, b"\x03abcdef"), op(6, 0)),
        "records_half_ender": records(3, op(0, 0, b"\x01\xff\xff"), op(6, 0)),
        "words_block": bytes([3]) + bytes(range(256)) * 4,
    }
    if listing:
        seeds.update({
            "raw_full_block": raw(HEADER + event_block(FULL) + ENDER),
            "raw_no_bit15": raw(HEADER + event_block([], end=(0x0011, 1)) + ENDER),
            "records_segment_0": records(0, op(0, 0, b"\x01\x07\x00"), op(3, 0), op(6, 0)),
            "records_segment_1": records(0, op(3, 1), op(6, 0)),
            "records_inconsistent": records(0, op(7, 0, b"\x11\x00\x0d\x00"), op(6, 0)),
            "records_head_past_end": records(0, op(4, 2), op(0, 0, b"\x00"), op(6, 0)),
            "records_data_past_end": records(0, op(4, 20), op(0, 0, b"\x20"), op(6, 0)),
            "records_long_record": records(0, op(5, 0, b"\xfa\x1f"), op(6, 0)),
            "records_long_record_fits": records(0, op(5, 0, b"\xf0\x1f"), op(6, 0)),
            "records_last_word": records(0, op(4, 0), op(0, 0, b"\x00")),
            "records_fid_wrong": records(0, op(0, 0, b"\x00"), op(6, 2, b"\x05"), op(0, 0, b"\x00")),
        })
    return seeds


def data_line(integer, floats):
    return " ".join([str(integer)] + [repr(f) for f in floats]) + "\n"


def t2b_seeds():
    example = (
        "# run 1001: one data line per event\n"
        "// comment\n"
        "c calibration\n"
        "\n"
        "5 2 0 0 0 0\n"
        "1 0.5 -1.25 100 3.1415927 2.5e-3\n"
        "-1 1 1 1 1 1\n"
        "42 12.75 -0.001 65535 1e6 -7.5\n"
        "% end of run\n"
    )
    full = "".join("%d %d 0.5 -1 1e6 3.25\n" % (i, i) for i in range(481))
    return {
        "empty": b"",
        "comments_only": b"# a\nc b\n% c\n// d\n\n",
        "example": example.encode(),
        "one_line_no_newline": b"5 2 0 0 0 0",
        "crlf": b"1 2 3 4 5 6\r\n7 8 9 10 11 12\r\n",
        "point_in_integer": b"1.5 2 3 4 5 6\n",
        "seven_values": b"1 2 3 4 5 6 7 # x\n",
        "bad_line_after_good": b"1 2 3 4 5 6\nx\n",
        "integer_too_large": b"1 2 3 4 5 6\n2147483648 1 1 1 1 1\n",
        "integer_limits": b"2147483647 1 1 1 1 1\n-2147483648 1 1 1 1 1\n",
        "spellings": b"+7 0x1p3 inf -nan 1e-45 -0\n8 1e39 .5 5. 1E+2 0X1.8P-1\n",
        "blank_then_hash": b" #\n",
        "capital_c": b"C 1 2 3 4 5\n",
        "full_block": full.encode(),
        "full_block_and_one": (full + "7 1 1 1 1 1\n").encode(),
        "full_block_then_bad": (full + "bad\n").encode(),
        "long_line": ("1 2 3 4 5 " + "6" * 16373 + "\n").encode(),
        "long_comment_piece": ("#" + "x" * 16382 + "\n1 2 3 4 5 6\n").encode(),
    }


def line_seeds():
    return {
        "good": b"1 2 3 4 5 6\n",
        "comments": b"# x\nc\n%\n//\n\n",
        "slash_data": b"/x 1 2 3 4 5\n",
        "negative": b"-1 0 0 0 0 0\n",
        "point": b"1.5 2 3 4 5 6\n",
        "too_few": b"1 2 3 4 5\n",
        "limits": b"2147483647 1 1 1 1 1\n-2147483648 1 1 1 1 1\n-2147483649 1 1 1 1 1\n",
        "too_large": b"99999999999999999999 1 1 1 1 1\n",
        "spellings": b"1 0x1p3 inf nan -0 1e-45\n",
        "cr_only": b"\r\n",
        "crlf": b"1 2 3 4 5 6\r\n",
        "capital_c": b"C 1 2 3 4 5\n",
        "blank_hash": b" #\n",
        "no_separator": b"1-2-3-4-5-6\n",
        "nul_inside": b"1 2 3\x004 5 6\n1 2 3 4 5 6\n",
        "bad_then_good": b"x\n1 2 3 4 5 6\n",
        "round_trip": b"7 1.2345678901234567e+02 -9.8765432109876543e-05 3.0000000000000000e+00 "
                      b"1.6777217000000000e+07 8.3886085000000000e+06\n",
        # fuzz_support.h's BUILT_LINE: a line of halfway points and 15 to 19 digits
        "built": bytes([0xFE]) + bytes(range(1, 40)),
    }


def scan_seeds():
    return {
        "plain": b"1 2 3 4 5 6",
        "example": b"42 12.75 -0.001 65535 1e6 -7.5\n",
        "pi": b"1 0.5 -1.25 100 3.1415927 2.5e-3\n",
        "ties": b"16777217 16777217 33554433 1.00000005960464477539062500 0.1 0.30000000000000004\n",
        "long_digits": b"0 1234567890123456789012345 0.000000000000000000000000000001 1e38 3.4028235e38 3.4028236e38\n",
        "subnormal": b"0 1e-40 1.4e-45 7e-46 1e-38 1.1754942e-38\n",
        "overflow": b"0 1e39 -1e39 1e99999 1e-99999 0e99999\n",
        "hex": b"0x10 0x1p3 0X1.8P-1 0x.8p1 0x1 -0x1p-149\n",
        "inf_nan": b"0 inf -INF nan NAN(123) infinity\n",
        "signs": b"+1 +2 -3 -0 +.5 -5.\n",
        "exponent_forms": b"1 1e 1e+ 1e5 1E-5 2e+10\n",
        "int_limits": b"-2147483648 1 1 1 1 1\n",
        "int_too_large": b"2147483648 1 1 1 1 1\n",
        "leading_zeros": b"00000000001 000000000000000000001.5 1 1 1 1\n",
        "no_space": b"1-2-3-4-5-6",
        "tabs": b"\t1\v2\f3\r4\n5 6",
        "fraction_exact": b"7 0.5 0.25 0.125 1048576.5 16777216\n",
        "many_fraction": b"1 1.0000000000000000000000001 9.999999999e9 1.5e-10 123456.789e-3 4e10\n",
        "round_trip": b"7 1.2345678901234567e+02 -9.8765432109876543e-05 1.6777217000000000e+07 "
                      b"8388608.500000000000 9999999999999999999\n",
        "built": bytes([0xFE]) + bytes(range(200, 240)),
    }


def write(harness, seeds):
    directory = os.path.join(CORPUS, harness)
    if os.path.isdir(directory):
        shutil.rmtree(directory)
    os.makedirs(directory)
    for name, data in sorted(seeds.items()):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)


def main():
    write("fuzz_b2rb", block_file_seeds(listing=False))
    write("fuzz_b2t", block_file_seeds(listing=True))
    write("fuzz_t2b", t2b_seeds())
    write("fuzz_data_line", line_seeds())
    write("fuzz_scan_diff", scan_seeds())


if __name__ == "__main__":
    main()
