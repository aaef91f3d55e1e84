#!/usr/bin/env python3
"""Benchmark of tvqconverter against its peers and its limits.

For each conversion ("-b2rb", "-b2t", "-t2b") the script generates a
deterministic input, runs the program, its peers (other tools doing the same
kind of work) and its limit (the bare cost of moving that many bytes)
interleaved in the same run, and prints median wall times, throughput, ratios
and peak resident memory, then the targets with PASS or MISS.

Every output of the program is compared byte for byte with an expected file
computed here from the generated data (a sanity check, not a test suite).

Python 3.8 or later, standard library only.  The peer of "-t2b"
(sscanf_peer.c) and the memory probe (maxrss.c) are compiled with cc into the
work directory.  See README.md.
"""

import argparse
import os
import random
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_DIR = os.path.dirname(BENCH_DIR)

# The tests' model of the format: block builders and the expected outputs.
sys.path.insert(0, os.path.join(REPO_DIR, "tests"))
import tvqmodel as model  # noqa: E402

BLOCK_SIZE = model.BLOCK_SIZE
RECORDS_PER_BLOCK = model.RECORDS_PER_BLOCK
DATA_BYTES = 2 * model.DATA_WORDS
RECORD_DATA = struct.Struct("<%dH" % model.DATA_WORDS)

HEXDUMP_FORMAT = '8/2 "%04x " " \\n"'
MB = 1e6

# Targets: time over the dd limit, speed-up over the sscanf loop, memory.
TARGET_DD_RATIO = {"-b2rb": 1.2, "-b2t": 1.6}
TARGET_T2B_SPEEDUP = 8
TARGET_RSS_KIB = 4096


# --------------------------------------------------------------------------
# generators
# --------------------------------------------------------------------------

def event_block(records_data):
    """An event block from a list of record data (bytes; at most a block's)."""
    return model.event_block([model.Record(r + 1, RECORD_DATA.unpack(data))
                              for r, data in enumerate(records_data)])


def generate_block_file(path, n_blocks, seed, expect_b2rb=None, expect_b2t=None):
    """A valid block file of n_blocks blocks (header, n_blocks - 2 full event
    blocks, ender) with data words from a seeded PRNG; optionally also the
    exact outputs that -b2rb and -b2t must give for it."""
    assert n_blocks >= 2
    rng = random.Random(seed)
    header = model.header_block()
    ender = model.ender_block()
    fb = open(path, "wb")
    fr = open(expect_b2rb, "wb") if expect_b2rb else None
    ft = open(expect_b2t, "wb") if expect_b2t else None
    fb.write(header)
    if fr:
        fr.write(b"\n#  start header\n\n" + model.dump_block(header) + b"\n")
    if ft:
        ft.write(b"\n" + model.header_listing(b"#  start header\n\n", header))
    n = RECORDS_PER_BLOCK * DATA_BYTES
    for k in range(1, n_blocks - 1):
        data = rng.getrandbits(8 * n).to_bytes(n, "little")
        blk = event_block([data[i:i + DATA_BYTES] for i in range(0, n, DATA_BYTES)])
        fb.write(blk)
        if fr:
            fr.write(b"#  %d event block\n\n" % k + model.dump_block(blk) + b"\n")
        if ft:
            ft.write(model.event_listing(blk, k)[0])
    fb.write(ender)
    if fr:
        fr.write(b"#  start ender\n\n" + model.dump_block(ender) + b"\n")
        fr.close()
    if ft:
        ft.write(model.header_listing(b"#  start ender\n\n", ender))
        ft.close()
    fb.close()


def _decimal_text(rng):
    """A decimal number of 1 to 7 significant digits, in one of the forms
    sscanf's %f reads: 42, 0.0042, 4.2, 420.5, -3.25e-04, 6E+12 ..."""
    sig = rng.randint(1, 7)
    digits = str(rng.randint(10 ** (sig - 1), 10 ** sig - 1))
    sign = "-" if rng.random() < 0.25 else ""
    style = rng.random()
    if style < 0.2:
        exp = rng.randint(-20, 20)
        mant = digits[0] + ("." + digits[1:] if sig > 1 else "")
        text = "%s%s%s%+03d" % (sign, mant, rng.choice("eE"), exp)
    else:
        point = rng.randint(-2, sig + 2)   # digits before the decimal point
        if point <= 0:
            text = sign + "0." + "0" * (-point) + digits
        elif point >= sig:
            text = sign + digits + "0" * (point - sig)
            if rng.random() < 0.3:
                text += ".0"
        else:
            text = sign + digits[:point] + "." + digits[point:]
    return text


def _nine_digit_text(rng):
    """A single-precision value between -10^6 and 10^6 as "%.9g" prints it,
    the shortest form that always gives the same float back, as numpy.savetxt
    writes floats with fmt="%.9g" (bench_python.py): -482817.719, 5.06250048 ..."""
    value = struct.unpack("<f", struct.pack("<f", rng.uniform(-1e6, 1e6)))[0]
    return "%.9g" % value


def _seventeen_digit_text(rng):
    """A double as "%.16e" prints it, 17 significant digits with an exponent,
    which is what round-trip printing of doubles writes:
    -3.1415926535897931e+00, 2.0000000000000001e-07 ..."""
    value = rng.uniform(1.0, 10.0) * 10.0 ** rng.randint(-30, 30)
    return "%.16e" % (-value if rng.random() < 0.25 else value)


# The float shapes of the text input: name, what the report calls it, the
# generator of one float's text.
FLOAT_SHAPES = {
    "short": ("floats of 1-7 digits", lambda rng: _decimal_text(rng)),
    "nine": ("9-digit floats (%.9g)", _nine_digit_text),
    "long": ("17-digit floats (%.16e)", _seventeen_digit_text),
}


def float32_bytes(text):
    """The single-precision float nearest to the decimal text (ties to even),
    as sscanf's %f gives it. float() rounds to a double first, which can only
    go wrong when that double lies exactly halfway between two floats: then
    the exact decimal decides."""
    double = float(text)
    bits = struct.unpack("<Q", struct.pack("<d", double))[0]
    packed = struct.pack("<f", double)
    if bits & ((1 << 29) - 1) == 1 << 28:
        from fractions import Fraction
        exact = Fraction(text.strip())
        f = struct.unpack("<f", packed)[0]
        f_bits = struct.unpack("<I", packed)[0]
        # the other float of the pair: one step further from zero, or nearer
        other = struct.pack("<I", f_bits + 1 if abs(double) > abs(f) else f_bits - 1)
        if abs(Fraction(struct.unpack("<f", other)[0]) - exact) < abs(Fraction(f) - exact):
            packed = other
    return packed


def _integer_value(rng):
    x = rng.random()
    if x < 0.5:
        return rng.randint(0, 999)
    if x < 0.75:
        return rng.randint(1000, 65535)
    if x < 0.9:
        return rng.randint(65536, 2 ** 31 - 1)
    return rng.randint(-2 ** 31, -1)


COMMENT_LINES = ["# calibration run, detector A\n", "c  channel map unchanged\n",
                 "% threshold 12.5 mV\n", "// beam off\n", "\n"]
POOL_SIZE = 1 << 16


def generate_text_file(path, n_lines, seed, expect_t2b=None, expect_peer=None, shape="short"):
    """A text file of n_lines data lines "int float float float float float"
    (values drawn from seeded pools of varied numbers, the floats of one of
    FLOAT_SHAPES, mostly single spaces, some tabs and double spaces) and a few
    comment lines; optionally also the exact -t2b output and the sscanf peer's
    output for it.  Returns the number of comment lines."""
    rng = random.Random(seed)
    ints = []
    for _ in range(POOL_SIZE):
        v = _integer_value(rng)
        ints.append((str(v), struct.pack("<i", v)))
    floats = []
    float_text = FLOAT_SHAPES[shape][1]
    for _ in range(POOL_SIZE):
        t = float_text(rng)
        floats.append((t, float32_bytes(t)))
    comment_every = max(1, n_lines // 8)
    comments = 0
    ft = open(path, "w", newline="\n")
    fo = open(expect_t2b, "wb") if expect_t2b else None
    fp = open(expect_peer, "wb") if expect_peer else None
    ft.write("# tvqconverter bench data: %d data lines, seed %d\n" % (n_lines, seed))
    comments += 1
    if fo:
        fo.write(model.header_block())
    lines = []
    block_data = []
    peer_data = []
    for i in range(n_lines):
        if i and i % comment_every == 0:
            lines.append(COMMENT_LINES[(i // comment_every) % len(COMMENT_LINES)])
            comments += 1
        r = rng.getrandbits(100)
        ti, bi = ints[r & 0xFFFF]
        f1 = floats[(r >> 16) & 0xFFFF]
        f2 = floats[(r >> 32) & 0xFFFF]
        f3 = floats[(r >> 48) & 0xFFFF]
        f4 = floats[(r >> 64) & 0xFFFF]
        f5 = floats[(r >> 80) & 0xFFFF]
        sep = (r >> 96) & 0xF
        sep = "\t" if sep == 0 else ("  " if sep == 1 else " ")
        lines.append(sep.join((ti, f1[0], f2[0], f3[0], f4[0], f5[0])) + "\n")
        data = b"".join((bi, f1[1], f2[1], f3[1], f4[1], f5[1]))
        if fo:
            block_data.append(data)
            if len(block_data) == RECORDS_PER_BLOCK:
                fo.write(event_block(block_data))
                block_data = []
        if fp:
            peer_data.append(data)
        if len(lines) >= 8192:
            ft.write("".join(lines))
            lines = []
            if fp:
                fp.write(b"".join(peer_data))
                peer_data = []
    ft.write("".join(lines))
    ft.close()
    if fp:
        fp.write(b"".join(peer_data))
        fp.close()
    if fo:
        # the last event block may hold no record at all
        fo.write(event_block(block_data))
        fo.write(model.ender_block())
        fo.close()
    return comments


# --------------------------------------------------------------------------
# running commands
# --------------------------------------------------------------------------

def exit_code(status):
    if os.WIFEXITED(status):
        return os.WEXITSTATUS(status)
    if os.WIFSIGNALED(status):
        return 128 + os.WTERMSIG(status)
    return 255


def spawn(argv, stdin=None, stdout=None, stderr=None):
    """Run argv with the given files as standard streams; returns (wall
    seconds, exit status).  The clock covers the spawn and the wait only."""
    actions = []
    if stdin:
        actions.append((os.POSIX_SPAWN_OPEN, 0, stdin, os.O_RDONLY, 0))
    if stdout:
        actions.append((os.POSIX_SPAWN_OPEN, 1, stdout,
                        os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644))
    if stderr and stderr == stdout:
        actions.append((os.POSIX_SPAWN_DUP2, 1, 2))
    elif stderr:
        actions.append((os.POSIX_SPAWN_OPEN, 2, stderr,
                        os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644))
    t0 = time.perf_counter()
    pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=actions)
    _, status, _ = os.wait4(pid, 0)
    t1 = time.perf_counter()
    return t1 - t0, exit_code(status)


class Command:
    """One command of a conversion.  make(out) gives (argv, stdin, stdout)
    for an output file name `out`; the command's stderr goes to a log."""

    def __init__(self, name, kind, make, expected=None, check_log=False):
        self.name = name
        self.kind = kind            # "program", "peer" or "limit"
        self.make = make
        self.expected = expected    # file the output must equal, or None
        self.check_log = check_log  # stdout must end with "conversion is done!!"
        self.times = []
        self.out_size = None
        self.rss_kib = None
        self.failed = None          # reason, once the command is out


def remove(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def first_difference(a, b):
    """None when files a and b are equal, else a description."""
    offset = 0
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            ca = fa.read(1 << 20)
            cb = fb.read(1 << 20)
            if ca != cb:
                n = min(len(ca), len(cb))
                i = next((j for j in range(n) if ca[j] != cb[j]), n)
                pos = offset + i
                if i == n and len(ca) != len(cb):
                    return "sizes differ: %d bytes, expected %d" % (
                        os.path.getsize(a), os.path.getsize(b))
                return "first difference at byte %d: got %r, expected %r" % (
                    pos, context_line(a, pos), context_line(b, pos))
            if not ca:
                return None
            offset += len(ca)


def context_line(path, pos):
    with open(path, "rb") as f:
        f.seek(max(0, pos - 60))
        chunk = f.read(120)
    return chunk


def write_scratch(path, size, chunk=bytes(b"\x5a" * (1 << 20))):
    """Write and delete a file of `size` bytes: wakes the write path of the
    kernel, which on these virtual machines is slow after an idle pause."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        left = size
        while left > 0:
            left -= os.write(fd, chunk if left >= len(chunk) else chunk[:left])
    finally:
        os.close(fd)
    os.unlink(path)


class Bench:
    def __init__(self, args):
        self.args = args
        self.work = args.workdir
        self.maxrss_tool = None
        self.sscanf_peer = None

    def path(self, name):
        return os.path.join(self.work, name)

    # --- tools built here -------------------------------------------------

    def build_tools(self):
        cc = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc") or shutil.which("clang")
        if not cc:
            print("no C compiler (cc): the sscanf peer is skipped")
        else:
            for src, attr in (("sscanf_peer.c", "sscanf_peer"), ("maxrss.c", "maxrss_tool")):
                exe = self.path(src[:-2])
                r = subprocess.run([cc, "-O2", "-o", exe, os.path.join(BENCH_DIR, src)],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                   universal_newlines=True)
                if r.returncode == 0:
                    setattr(self, attr, exe)
                else:
                    print("cannot build %s:\n%s" % (src, r.stdout))
        if self.maxrss_tool is None and os.path.exists("/usr/bin/time"):
            self.maxrss_tool = "/usr/bin/time"
        if self.maxrss_tool is None:
            print("no way to measure peak resident memory (no cc, no /usr/bin/time)")

    def measure_rss(self, argv, stdin, stdout, stderr):
        """Peak RSS in KiB of one untimed run, or None."""
        if not self.maxrss_tool:
            return None, None
        result = self.path("maxrss.result")
        remove(result)
        if self.maxrss_tool == "/usr/bin/time":
            wrapped = ["/usr/bin/time", "-f", "%M", "-o", result] + argv
        else:
            wrapped = [self.maxrss_tool, result] + argv
        _, rc = spawn(wrapped, stdin, stdout, stderr)
        try:
            with open(result) as f:
                return rc, int(f.read().split()[-1])
        except (OSError, ValueError, IndexError):
            return rc, None

    # --- one conversion ---------------------------------------------------

    def run_conversion(self, title, option, in_path, commands):
        args = self.args
        print()
        print("== %s: input %s (%.1f MB)" % (option, os.path.basename(in_path),
                                              os.path.getsize(in_path) / MB))
        sys.stdout.flush()
        tag = option.lstrip("-")
        log = self.path("%s.log" % tag)

        # untimed round: output size, correctness, peak memory
        for i, c in enumerate(commands):
            if c.failed:
                continue
            out = self.path("%s_%d_warm" % (tag, i))
            remove(out)
            argv, stdin, stdout = c.make(out)
            rc, rss = self.measure_rss(argv, stdin, stdout or log, log)
            if rc is None:
                _, rc = spawn(argv, stdin, stdout or log, log)
            c.rss_kib = rss
            problem = None
            if rc != 0:
                problem = "exit status %d" % rc
            elif not os.path.exists(out):
                problem = "no output file"
            elif c.check_log and "conversion is done!!" not in read_text(log):
                problem = "no \"conversion is done!!\" message"
            elif c.expected:
                problem = first_difference(out, c.expected)
            if problem:
                c.failed = problem
                print("  %s: %s" % (c.name, problem))
                tail = read_text(log)[-600:]
                if tail.strip():
                    print("    output ends with: %r" % tail)
            else:
                c.out_size = os.path.getsize(out)
                if c.expected:
                    print("  %s: output checked, equal to the expected %d bytes" % (
                        c.name, c.out_size))
            remove(out)
            remove(log)

        # timed rounds, interleaved; the starting command rotates
        live = [c for c in commands if not c.failed]
        scratch = self.path("scratch")
        for rep in range(args.reps):
            k = rep % len(live) if live else 0
            for c in live[k:] + live[:k]:
                if c.failed:
                    continue
                out = self.path("%s_%d_%d" % (tag, commands.index(c), rep))
                remove(out)
                argv, stdin, stdout = c.make(out)
                write_scratch(scratch, c.out_size)
                secs, rc = spawn(argv, stdin, stdout or log, log)
                if rc != 0:
                    c.failed = "exit status %d in timed run %d" % (rc, rep + 1)
                    print("  %s: %s" % (c.name, c.failed))
                else:
                    c.times.append(secs)
                remove(out)
                remove(log)
        self.print_table(option, in_path, commands)
        return commands

    def print_table(self, option, in_path, commands):
        in_size = os.path.getsize(in_path)
        prog = commands[0]
        prog_med = statistics.median(prog.times) if prog.times else None
        print()
        head = "%-40s %9s %8s %8s %9s %9s %9s %10s" % (
            "command", "median s", "min s", "max s", "in MB/s", "out MB/s",
            "x program", "peak RSS")
        print(head)
        print("-" * len(head))
        for c in commands:
            if c.failed and not c.times:
                print("%-40s %s" % (c.name, "skipped: " + c.failed))
                continue
            med = statistics.median(c.times)
            ratio = "%9.2f" % (med / prog_med) if prog_med else "%9s" % "-"
            rss = "%6d KiB" % c.rss_kib if c.rss_kib is not None else "%10s" % "-"
            print("%-40s %9.3f %8.3f %8.3f %9.1f %9.1f %s %10s" % (
                c.name, med, min(c.times), max(c.times), in_size / MB / med,
                c.out_size / MB / med, ratio, rss))
        print("(%d runs each; \"x program\" = median time / the program's median time; "
              "MB = 10^6 bytes)" % self.args.reps)

    # --- whole run --------------------------------------------------------

    def main(self):
        args = self.args
        os.makedirs(self.work, exist_ok=True)
        print("tvqconverter benchmark  %s" % time.strftime("%Y-%m-%d %H:%M:%S"))
        u = os.uname()
        print("host: %s %s, %d CPUs, python %s" % (u.sysname, u.release, os.cpu_count() or 0,
                                                  sys.version.split()[0]))
        print("load average: %.2f %.2f %.2f%s" % (os.getloadavg() + (
            "  (other work is running: times will be noisy)"
            if os.getloadavg()[0] > 0.5 else "",)))
        print("program: %s" % args.binary)
        print("work directory: %s" % self.work)
        self.build_tools()
        have_program = os.access(args.binary, os.X_OK)
        if not have_program:
            print("program not found: %s (peers and limits are still timed)" % args.binary)

        blocks_file = self.path("blocks.tvq")
        exp_b2rb = self.path("expected_b2rb.txt")
        exp_b2t = self.path("expected_b2t.txt")
        t0 = time.perf_counter()
        generate_block_file(blocks_file, args.blocks, args.seed, exp_b2rb, exp_b2t)
        print("generated in %.1f s: %s, %d blocks (%d event blocks of %d records), %.1f MB" % (
            time.perf_counter() - t0, os.path.basename(blocks_file), args.blocks,
            args.blocks - 2, RECORDS_PER_BLOCK, os.path.getsize(blocks_file) / MB))
        # one text input per float shape: (shape, text file, expected -t2b
        # output, expected peer output)
        text_inputs = []
        for shape in (args.shapes if "t2b" in args.only else []):
            suffix = "" if shape == "short" else "_" + shape
            text_file = self.path("lines%s.txt" % suffix)
            exp_t2b = self.path("expected_t2b%s.tvq" % suffix)
            exp_peer = self.path("expected_peer%s.bin" % suffix)
            t0 = time.perf_counter()
            comments = generate_text_file(text_file, args.lines, args.seed, exp_t2b, exp_peer,
                                          shape)
            print("generated in %.1f s: %s, %d data lines of %s + %d comment lines, %.1f MB" % (
                time.perf_counter() - t0, os.path.basename(text_file), args.lines,
                FLOAT_SHAPES[shape][0], comments, os.path.getsize(text_file) / MB))
            text_inputs.append((shape, text_file, exp_t2b, exp_peer))

        prog = args.binary
        name = os.path.basename(prog)

        def program(option, in_path, expected):
            c = Command("%s %s" % (name, option), "program",
                        lambda out: ([prog, option, in_path, out], None, None),
                        expected=expected, check_log=True)
            if not have_program:
                c.failed = "not built"
            if not args.baseline:
                return [c]
            # Another build of the program (an earlier commit, say), timed in
            # the same run and held to the same output.
            base = Command("baseline %s" % option, "peer",
                           lambda out: ([args.baseline, option, in_path, out], None, None),
                           expected=expected, check_log=True)
            return [c, base]

        def tool(name_, argv_head, in_path, kind="peer"):
            exe = shutil.which(argv_head[0])
            c = Command(name_, kind, lambda out: ([exe] + argv_head[1:] + [in_path], None, out))
            if exe is None:
                c.failed = "%s not installed" % argv_head[0]
            return c

        def dd_limit(src):
            exe = shutil.which("dd")
            c = Command("dd bs=1M (limit)", "limit",
                        lambda out: ([exe, "if=" + src, "of=" + out, "bs=1M"], None, None))
            if exe is None:
                c.failed = "dd not installed"
            return c

        results = {}
        if "b2rb" in args.only:
            cmds = program("-b2rb", blocks_file, exp_b2rb) + [
                    tool("xxd", ["xxd"], blocks_file),
                    tool("od -An -v -tx2 -w16", ["od", "-An", "-v", "-tx2", "-w16"], blocks_file),
                    tool("hexdump -v -e '%s'" % HEXDUMP_FORMAT,
                         ["hexdump", "-v", "-e", HEXDUMP_FORMAT], blocks_file),
                    dd_limit(exp_b2rb)]
            if args.check_peers:
                check_dump_peers(blocks_file, exp_b2rb)
            results["-b2rb"] = self.run_conversion("binary to readable dump", "-b2rb",
                                                  blocks_file, cmds)
        if "b2t" in args.only:
            cmds = program("-b2t", blocks_file, exp_b2t) + [
                    tool("od -An -v -tu2 -w34", ["od", "-An", "-v", "-tu2", "-w34"], blocks_file),
                    dd_limit(exp_b2t)]
            results["-b2t"] = self.run_conversion("binary to text listing", "-b2t",
                                                 blocks_file, cmds)
        for shape, text_file, exp_t2b, exp_peer in text_inputs:
            peer = Command("sscanf_peer (fgets+sscanf+fwrite)", "peer",
                           lambda out, f=text_file: ([self.sscanf_peer, f, out], None, None),
                           expected=exp_peer)
            if not self.sscanf_peer:
                peer.failed = "not built (no C compiler)"
            cat = tool("cat > file (limit)", ["cat"], text_file, kind="limit")
            cmds = program("-t2b", text_file, exp_t2b) + [peer, cat]
            key = "-t2b" if shape == "short" else "-t2b " + shape
            results[key] = self.run_conversion("text to binary", "-t2b", text_file, cmds)

        if "batch" in args.only and have_program:
            self.run_batch()

        print()
        print("load average at the end: %.2f %.2f %.2f" % os.getloadavg())
        self.print_targets(results)
        if have_program and results:
            self.print_memory(results)

    # --- many files -------------------------------------------------------

    def run_batch(self):
        """Converts a batch of files one after the other, then two at a time,
        interleaved over the repetitions; prints the speed-up."""
        args = self.args
        option = args.batch_option
        n_blocks = max(3, int(round(args.batch_mib * (1 << 20) / BLOCK_SIZE)))
        print()
        print("== batch: %s of %d files of %d blocks, serially and with 2 processes"
              % (option, args.batch_files, n_blocks))
        jobs = []
        for i in range(args.batch_files):
            src = self.path("batch_%03d.tvq" % i)
            expected = self.path("batch_%03d.expected" % i)
            if option == "-b2t":
                generate_block_file(src, n_blocks, args.seed + i, expect_b2t=expected)
            else:
                generate_block_file(src, n_blocks, args.seed + i, expect_b2rb=expected)
            jobs.append((src, self.path("batch_%03d.out" % i), expected))
        log = self.path("batch.log")

        def clean():
            for _, out, _ in jobs:
                remove(out)

        def convert_all(processes):
            """Wall time of the whole batch with at most `processes` at once."""
            pending = list(jobs)
            running = {}
            t0 = time.perf_counter()
            while pending or running:
                while pending and len(running) < processes:
                    src, out, _ = pending.pop(0)
                    actions = [(os.POSIX_SPAWN_OPEN, 1, log,
                                os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)]
                    pid = os.posix_spawn(args.binary, [args.binary, option, src, out],
                                         os.environ, file_actions=actions)
                    running[pid] = src
                pid, status = os.waitpid(-1, 0)
                src = running.pop(pid)
                if exit_code(status) != 0:
                    raise RuntimeError("%s %s failed: exit status %d" % (
                        option, src, exit_code(status)))
            return time.perf_counter() - t0

        clean()
        convert_all(2)
        for src, out, expected in jobs:
            problem = first_difference(out, expected)
            if problem:
                print("  %s: %s" % (os.path.basename(src), problem))
                return
        total_out = sum(os.path.getsize(out) for _, out, _ in jobs)
        print("  outputs checked, equal to the expected %d bytes" % total_out)
        times = {1: [], 2: []}
        for rep in range(args.reps):
            for processes in ((1, 2) if rep % 2 == 0 else (2, 1)):
                clean()
                write_scratch(self.path("scratch"), total_out // args.batch_files)
                times[processes].append(convert_all(processes))
        clean()
        remove(log)
        serial = statistics.median(times[1])
        parallel = statistics.median(times[2])
        in_size = sum(os.path.getsize(src) for src, _, _ in jobs)
        for processes in (1, 2):
            med = statistics.median(times[processes])
            print("  %d process%s  median %.3f s  min %.3f s  %7.1f MB/s in  %7.1f MB/s out" % (
                processes, "es" if processes > 1 else "  ", med, min(times[processes]),
                in_size / MB / med, total_out / MB / med))
        print("  speed-up with 2 processes: %.2f (%d runs each, %d CPUs, load average %.2f)"
              % (serial / parallel, args.reps, os.cpu_count() or 0, os.getloadavg()[0]))

    def print_targets(self, results):
        print()
        print("== targets (medians of %d interleaved runs)" % self.args.reps)

        def med(c):
            return statistics.median(c.times) if c and c.times else None

        def find(cmds, prefix):
            return next((c for c in cmds if c.name.startswith(prefix)), None)

        def line(text, value, ok, note=""):
            if value is None:
                print("  %-52s %s" % (text, "n/a"))
            else:
                print("  %-52s %6.2f  %s%s" % (text, value, "PASS" if ok else "MISS", note))

        for option in ["-b2rb", "-b2t"] + ["-t2b" if shape == "short" else "-t2b " + shape
                                           for shape in self.args.shapes]:
            cmds = results.get(option)
            if not cmds:
                continue
            p = med(cmds[0])
            if option in ("-b2rb", "-b2t"):
                d = med(find(cmds, "dd "))
                r = p / d if p and d else None
                most = TARGET_DD_RATIO[option]
                line("%s time / dd limit (at most %.1f)" % (option, most), r,
                     r is not None and r <= most)
            if option == "-b2rb":
                x = med(find(cmds, "xxd"))
                r = x / p if p and x else None
                line("-b2rb speed-up over xxd (at least 5)", r, r is not None and r >= 5)
            if option.startswith("-t2b"):
                s = med(find(cmds, "sscanf_peer"))
                r = s / p if p and s else None
                note = "" if self.args.lines == 1000000 else \
                    "  (target is set for 1,000,000 lines; this run: %d)" % self.args.lines
                shape = option[5:] or "short"
                line("-t2b over fgets+sscanf, %s (at least %d)" % (
                    FLOAT_SHAPES[shape][0], TARGET_T2B_SPEEDUP), r,
                    r is not None and r >= TARGET_T2B_SPEEDUP, note)

    def print_memory(self, results):
        """Peak RSS of the program for every conversion, on the benchmark's
        inputs and on minimal ones, to show it does not grow with the input."""
        small_blocks = self.path("small.tvq")
        small_text = self.path("small.txt")
        generate_block_file(small_blocks, 3, self.args.seed)
        generate_text_file(small_text, 1, self.args.seed)
        rows = []
        for option, small_in in (("-b2rb", small_blocks), ("-b2t", small_blocks),
                                 ("-t2b", small_text)):
            cmds = results.get(option)
            big = cmds[0].rss_kib if cmds else None
            out = self.path("small_out")
            remove(out)
            log = self.path("small.log")
            rc, small = self.measure_rss([self.args.binary, option, small_in, out], None, log, log)
            if rc != 0:
                small = None
            remove(out)
            remove(log)
            rows.append((option, small, big))
        print()
        print("== peak resident memory of the program (KiB; target: at most %d KiB)"
              % TARGET_RSS_KIB)
        worst = None
        for option, small, big in rows:
            print("  %-6s minimal input %8s   benchmark input %8s" % (
                option, small if small is not None else "-", big if big is not None else "-"))
            for v in (small, big):
                if v is not None:
                    worst = v if worst is None else max(worst, v)
        if worst is None:
            print("  peak RSS: n/a")
        else:
            print("  %-52s %6d  %s" % ("largest peak RSS, KiB (at most %d)" % TARGET_RSS_KIB,
                                       worst, "PASS" if worst <= TARGET_RSS_KIB else "MISS"))


def read_text(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("latin-1")
    except OSError:
        return ""


def check_dump_peers(blocks_file, expected_b2rb):
    """Check that od and hexdump print the same dump lines as the program
    (od without the trailing space, with a leading one)."""
    want = [ln for ln in open(expected_b2rb) if len(ln) == 41]
    for label, argv, fix in (
            ("od -An -v -tx2 -w16", ["od", "-An", "-v", "-tx2", "-w16"],
             lambda s: s[1:-1] + " \n"),
            ("hexdump", ["hexdump", "-v", "-e", HEXDUMP_FORMAT], lambda s: s)):
        if not shutil.which(argv[0]):
            print("  %s: not installed" % label)
            continue
        got = subprocess.run(argv + [blocks_file], stdout=subprocess.PIPE,
                             universal_newlines=True).stdout.splitlines(True)
        got = [fix(s) for s in got]
        same = got == want
        print("  %s: %d lines, %s the program's dump lines" % (
            label, len(got), "same as" if same else "DIFFERENT from"))


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size-mib", type=float, default=64,
                    help="size of the generated block file in MiB (default 64)")
    ap.add_argument("--lines", type=int, default=1000000,
                    help="data lines of the generated text file (default 1,000,000)")
    ap.add_argument("--reps", type=int, default=5, help="timed runs per command (default 5)")
    ap.add_argument("--binary", default=os.environ.get(
        "TVQCONVERTER", os.path.join(REPO_DIR, "build-bench", "tvqconverter")),
        help="the program (default $TVQCONVERTER or build-bench/tvqconverter)")
    ap.add_argument("--baseline", metavar="PATH",
                    help="another build of the program (an earlier commit), timed beside it")
    ap.add_argument("--workdir", help="work directory (default: a new one under /tmp, "
                    "removed at the end)")
    ap.add_argument("--keep", action="store_true", help="keep the work directory")
    ap.add_argument("--quick", action="store_true",
                    help="smoke run: 2 MiB, 20,000 lines, 3 runs")
    ap.add_argument("--only", default="b2rb,b2t,t2b",
                    help="conversions to run, comma separated (default b2rb,b2t,t2b); "
                    "\"batch\" converts many files serially and with 2 processes")
    ap.add_argument("--batch-files", type=int, default=16,
                    help="files of the batch (default 16)")
    ap.add_argument("--batch-mib", type=float, default=4,
                    help="size of each file of the batch in MiB (default 4)")
    ap.add_argument("--batch-option", default="-b2t", choices=("-b2t", "-b2rb"),
                    help="conversion of the batch (default -b2t)")
    ap.add_argument("--shapes", default=",".join(FLOAT_SHAPES),
                    help="float shapes of the -t2b inputs, comma separated (default "
                    + ",".join(FLOAT_SHAPES) + ": 1-7 digits, %%.9g, %%.16e)")
    ap.add_argument("--seed", type=int, default=1001, help="PRNG seed (default 1001)")
    ap.add_argument("--check-peers", action="store_true",
                    help="also check that od and hexdump print the program's dump lines")
    args = ap.parse_args(argv)
    if args.quick:
        args.size_mib, args.lines, args.reps = 2, 20000, 3
        args.batch_files, args.batch_mib = 4, 1
    args.blocks = max(3, int(round(args.size_mib * (1 << 20) / BLOCK_SIZE)))
    if args.lines < 0 or args.reps < 1:
        ap.error("--lines must be 0 or more and --reps at least 1")
    args.only = [s.strip().lstrip("-") for s in args.only.split(",") if s.strip()]
    args.shapes = [s.strip() for s in args.shapes.split(",") if s.strip()]
    unknown = [s for s in args.shapes if s not in FLOAT_SHAPES]
    if unknown:
        ap.error("unknown float shape: %s (known: %s)" % (", ".join(unknown),
                                                          ", ".join(FLOAT_SHAPES)))
    args.binary = os.path.abspath(args.binary)
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    own_workdir = args.workdir is None
    if own_workdir:
        args.workdir = tempfile.mkdtemp(prefix="tvq-bench-", dir="/tmp")
    args.workdir = os.path.abspath(args.workdir)
    try:
        Bench(args).main()
    finally:
        if own_workdir and not args.keep:
            shutil.rmtree(args.workdir, ignore_errors=True)
        elif own_workdir:
            print("work directory kept: %s" % args.workdir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
