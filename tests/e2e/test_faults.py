"""Faults end to end: outputs cut short by a file size limit, block files cut
at any length, inputs that are not regular files, output names that exist as
something other than a regular file, and text input with NUL bytes or very
long lines."""

import os
import resource
import stat
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tvqlib as t  # noqa: E402
import tvqmodel as m  # noqa: E402
from walkcases import H, N, E1, E2, lines  # noqa: E402
from test_cli import listing  # noqa: E402

OPTIONS = ("-b2rb", "-b2t", "-t2b")
WALK_MODELS = {"-b2rb": m.model_b2rb, "-b2t": m.model_b2t}
TAIL = "data_reader_flag\nreturn_flag\n" + m.FAIL_LINE


def full_block(seed):
    """An event block holding 481 records of varied words."""
    words = lambda i, j: (seed * 7919 + i * 12 + j * 4099) % 65536  # noqa: E731
    return m.event_block([m.Record(i + 1, [words(i, j) for j in range(12)])
                          for i in range(m.RECORDS_PER_BLOCK)])


# header, three event blocks, ender: 5 blocks, 81920 bytes
FIVE_BLOCKS = H + E1 + E2 + full_block(1) + N


def t2b_text():
    """Data lines for three event blocks and a bit, with comments, the last
    line without its newline."""
    data_lines, _ = m.generate_lines(2 * m.RECORDS_PER_BLOCK + 40, seed=31, comment_every=7)
    return b"".join(data_lines)[:-1]


def input_for(option):
    return t2b_text() if option == "-t2b" else FIVE_BLOCKS


def model_for(option, data, name):
    return m.model_t2b(data) if option == "-t2b" else WALK_MODELS[option](data, name)


def line_words(integer, floats):
    """The 12 data words of a data line holding integer and floats, each of
    which a single-precision float holds exactly."""
    return m.line_words([integer] + list(floats))


class TrickleFeeder(t.FifoFeeder):
    """Writes data into a FIFO in pieces of the given sizes, in turn, with a
    pause after each, so that the reader meets short reads anywhere."""

    def __init__(self, path, data, sizes):
        self.sizes = sizes
        super().__init__(path, data)

    def _feed(self):
        try:
            fd = os.open(self.path, os.O_WRONLY)
        except OSError:
            return
        try:
            pos = 0
            turn = 0
            while pos < len(self.data):
                size = self.sizes[turn % len(self.sizes)]
                turn += 1
                pos += os.write(fd, self.data[pos:pos + size])
                time.sleep(0.0005)
        except OSError:
            pass
        finally:
            os.close(fd)


class WriteLimits(t.E2ETestCase):
    """The output file reaches a file size limit (SIGXFSZ ignored), or its
    writes stop making progress (write() returns 0, injected): the program
    stops with "cannot write" and exit 255, and the output is the beginning
    of the full output. The limits here sit at the edges of the writers'
    pieces; the other write failure tests take limits inside them."""

    # (failure, its reason in the message)
    FAILURES = [
        ("file size limit", "File too large"),
        ("write without progress", "No space left on device"),
    ]

    def run_failing(self, failure, option, name, limit, **feed):
        """A run whose writes to out fail, in the way failure names, once
        limit bytes have reached it. A write that makes no progress must
        not make the program spin: the run has a short timeout."""
        if failure == "file size limit":
            t.skip_if_wrapped(self, t.FSIZE_UNDER_WRAPPER)
            return self.tvq(option, name, "out", fsize_limit=limit, **feed)
        env = t.zero_write_env(self, self.path("out"), limit)
        try:
            return self.tvq(option, name, "out", env=env, timeout=20, **feed)
        except subprocess.TimeoutExpired:
            self.fail("the program did not stop at a write that makes no progress")

    def limits(self, segments):
        """(description, limit) at the edges of the output's pieces."""
        ends = []
        total = 0
        for _, piece in segments:
            total += len(piece)
            ends.append(total)
        return [
            ("nothing may be written", 0),
            ("one byte", 1),
            ("first piece exactly", ends[0]),
            ("first piece and one byte", ends[0] + 1),
            ("second piece less one byte", ends[1] - 1),
            ("second piece exactly", ends[1]),
            ("everything before the ender", ends[-2]),
            ("ender less its last 100 bytes", total - 100),
        ]

    def test_limits_at_piece_edges(self):
        for option in OPTIONS:
            data = input_for(option)
            expected = model_for(option, data, "in")
            self.assertEqual(0, expected.status)
            self.assertEqual(5, len(expected.segments), "input should give five pieces")
            steps = ("write_event_block_binary",) if option == "-t2b" else ()
            for failure, reason in self.FAILURES:
                for source in ("file", "pipe"):
                    for description, limit in self.limits(expected.segments):
                        with self.subTest(option=option, failure=failure, source=source,
                                          limit=description):
                            self.new_case()
                            self.write_file("in", data)
                            name = "in" if source == "file" else "/dev/stdin"
                            feed = {"input_data": data} if source == "pipe" else {}
                            expected = model_for(option, data, name)
                            result = self.run_failing(failure, option, name, limit, **feed)
                            self.assertWriteFailure(result, expected, "out", limit,
                                                    return_flag_steps=steps, reason=reason)

    def test_limit_equal_to_the_output(self):
        """An output of exactly the limit is no failure."""
        for option in OPTIONS:
            for failure, _ in self.FAILURES:
                with self.subTest(option=option, failure=failure):
                    self.new_case()
                    data = input_for(option)
                    expected = model_for(option, data, "in")
                    self.write_file("in", data)
                    result = self.run_failing(failure, option, "in", len(expected.out))
                    self.assertMatchesModel(result, expected, "out")


class StartingConditions(t.E2ETestCase):
    """Runs started as a daemon or under limits may start them: standard
    descriptors closed, little address space, a small stack. Each run gives
    the output of a normal run, or, short of memory, exit 255 with a message;
    never a signal, nothing on standard error."""

    CASES = [
        # (option, description, input)
        ("-b2rb", "five blocks", FIVE_BLOCKS),
        ("-b2t", "inconsistent record in the second event block",
         H + E1 + m.event_block([m.Record(1, [1, 2, 3], segment_size=9)]) + N),
        ("-b2t", "cut inside the third event block", FIVE_BLOCKS[:50001]),
        ("-t2b", "three event blocks", t2b_text()),
        ("-t2b", "bad line in the second block",
         b"".join(m.generate_lines(500, seed=2)[0]) + b"1 2 3 x\n"),
    ]
    STACK = 32 * 1024
    AS_STEP = 64 * 1024
    REPORTS = ("out of memory\n", "out of memory\n" + m.FAIL_LINE, "cannot open in\n",
               "cannot open out\n")

    def convert(self, option, data, **kwargs):
        self.new_case()
        self.write_file("in", data)
        return self.tvq(option, "in", "out", **kwargs)

    def test_closed_standard_descriptors(self):
        """A closed descriptor is opened on /dev/null, so that no file of the
        conversion becomes a standard stream."""
        for option, description, data in self.CASES:
            expected = model_for(option, data, "in")
            for closed in ((0,), (1,), (2,), (0, 1), (0, 1, 2)):
                with self.subTest(option=option, input=description, closed=closed):
                    if 2 in closed:
                        t.skip_if_wrapped(self, "valgrind reports on standard error")
                    result = self.convert(option, data, closed=closed)
                    self.assertRun(result, expected.status, "" if 1 in closed else expected.stdout)
                    self.assertBytesEqual(expected.out, self.read_file("out"))

    # (input name, symbolic links made first as (name, target), refused),
    # with standard input closed: a name that leads to the program's own
    # standard input is refused; any other name is a file of its own.
    # "{pid}" stands for the program's process id.
    CLOSED_INPUT_NAMES = [
        ("/dev/stdin", (), True),
        ("/dev/fd/0", (), True),
        ("/proc/self/fd/0", (), True),
        ("/proc/thread-self/fd/0", (), True),
        ("/proc/self/fd/../fd/0", (), True),
        ("/proc/{pid}/fd/0", (), True),
        ("stdin-link", (("stdin-link", "/dev/stdin"),), True),
        ("link-to-link", (("link-to-link", "fd-link/0"), ("fd-link", "/proc/self/fd")), True),
        ("/dev/null", (), False),
        ("null-link", (("null-link", "/dev/null"),), False),
        ("/proc/self/fd/../../self/cwd/empty", (), False),
    ]

    def run_closed_input(self, option, name):
        """A run with standard input closed; a name with "{pid}" is given
        with the program's process id (that of the shell it is exec'd from).
        Returns the result and the name as given."""
        if "{pid}" not in name:
            return self.tvq(option, name, "out", closed=(0,)), name
        script = 'echo $$ >pid; exec "$@" "%s" out' % name.replace("{pid}", "$$")
        command = ["sh", "-c", script, "sh"] + t.wrapper() + [t.binary_path(), option]
        proc = subprocess.run(command, cwd=self.dir, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=300,
                              preexec_fn=lambda: os.close(0))
        given = name.replace("{pid}", self.read_file("pid").decode().strip())
        return t.Result(proc.returncode, proc.stdout.decode("latin-1"),
                        proc.stderr.decode("latin-1")), given

    def test_closed_standard_input_as_input(self):
        """A name for the standard input of a caller that closed it is no
        input, not an empty one; /dev/null, named as such or by a link, is
        an empty input, converted as with standard input open."""
        for option in OPTIONS:
            for name, links, refused in self.CLOSED_INPUT_NAMES:
                with self.subTest(option=option, name=name):
                    self.new_case()
                    self.write_file("empty", b"")
                    for link, target in links:
                        os.symlink(target, self.path(link))
                    result, given = self.run_closed_input(option, name)
                    if refused:
                        self.assertRun(result, 255,
                                       "%s is the standard input, which is closed\n"
                                       "cannot open %s\n" % (given, given))
                        self.assertFalse(os.path.lexists(self.path("out")), "output created")
                    else:
                        self.assertMatchesModel(result, model_for(option, b"", given), "out")

    def test_small_stack(self):
        t.skip_if_wrapped(self, "the stack limit would bind the wrapper too")
        for option, description, data in self.CASES:
            with self.subTest(option=option, input=description):
                result = self.convert(option, data, limits=[(resource.RLIMIT_STACK, self.STACK)])
                self.assertMatchesModel(result, model_for(option, data, "in"), "out")

    def test_address_space_sweep(self):
        """From the lowest address space limit at which the program loads
        (below it the dynamic loader fails with 127) to the first at which
        it succeeds; exit 255 leaves no output unless a conversion began."""
        t.skip_if_wrapped(self, "the address space limit would bind the wrapper too")
        if t.sanitizer_build():
            self.skipTest("AddressSanitizer reserves terabytes of address space")
        for option, _, data in self.CASES:
            expected = model_for(option, data, "in")
            if expected.status != 0:
                continue
            run_with = lambda steps: self.convert(  # noqa: E731
                option, data, limits=[(resource.RLIMIT_AS, steps * self.AS_STEP)])
            low, high = 16, 4096  # 1 MiB to 256 MiB
            while low < high:
                middle = (low + high) // 2
                low, high = (middle + 1, high) if run_with(middle).status == 127 else (low, middle)
            statuses = []
            for steps in range(low, low + 64):
                result = run_with(steps)
                statuses.append(result.status)
                with self.subTest(option=option, limit_kib=steps * self.AS_STEP // 1024):
                    if result.status == 0:
                        self.assertMatchesModel(result, expected, "out")
                        break
                    tail = next((r for r in self.REPORTS if result.stdout.endswith(r)), "")
                    self.assertRun(result, 255, expected.stdout[:len(result.stdout) - len(tail)]
                                   + (tail or "a report of the failure"))
                    if tail.endswith(m.FAIL_LINE):
                        self.assertTrue(expected.out.startswith(self.read_file("out")))
                    else:
                        self.assertFalse(os.path.lexists(self.path("out")), "output left")
            self.assertEqual((255, 0), (statuses[0], statuses[-1]), option)


def truncated_stdout(length, name):
    """stdout of -b2rb or -b2t on a block file cut after length bytes."""
    index, rest = divmod(length, m.BLOCK_SIZE)
    if rest:
        message = "block %d of %s is incomplete: %d of 16384 bytes" % (index, name, rest)
    elif index == 0:
        message = "no header block: %s is empty" % name
    else:
        message = "no ender block: %s ends after %d blocks" % (name, index)
    return lines("end of file", message,
                 "read_heaader_binary" if index == 0 else "read_one_block")


class TruncatedBlockFiles(t.E2ETestCase):
    """A block file of header, three event blocks and ender cut at every
    multiple of 4096 bytes and at odd lengths: the exact messages, exit 255,
    and the output holds exactly the complete blocks before the cut."""

    LENGTHS = (list(range(0, len(FIVE_BLOCKS), 4096))
               + [1, 3, 4095, 16383, 16385, 32769, 49151, 50001, 65538, 81919])
    PIPED = [1, 16384, 16385, 49151, 65536, 81919]

    def check(self, option, length, name, **feed):
        result = self.tvq(option, name, "out", **feed)
        whole = WALK_MODELS[option](FIVE_BLOCKS, name)
        complete = length // m.BLOCK_SIZE
        before = b"".join(piece for _, piece in whole.segments[:complete])
        self.assertRun(result, 255, truncated_stdout(length, name))
        self.assertBytesEqual(before, self.read_file("out"))
        self.assertEqual(before, WALK_MODELS[option](FIVE_BLOCKS[:length], name).out, "model")

    def test_cut_block_file(self):
        self.assertEqual(5 * m.BLOCK_SIZE, len(FIVE_BLOCKS))
        for option in WALK_MODELS:
            for length in self.LENGTHS:
                with self.subTest(option=option, length=length):
                    self.new_case()
                    self.write_file("in", FIVE_BLOCKS[:length])
                    self.check(option, length, "in")

    def test_cut_block_file_from_a_pipe(self):
        for option in WALK_MODELS:
            for length in self.PIPED:
                with self.subTest(option=option, length=length):
                    self.new_case()
                    self.check(option, length, "/dev/stdin", input_data=FIVE_BLOCKS[:length])

    def test_whole_file(self):
        """The same file uncut converts."""
        for option, model in WALK_MODELS.items():
            with self.subTest(option=option):
                self.new_case()
                self.write_file("in", FIVE_BLOCKS)
                result = self.tvq(option, "in", "out")
                self.assertMatchesModel(result, model(FIVE_BLOCKS, "in"), "out")


class NonRegularInputs(t.E2ETestCase):
    """Input from a pipe or a FIFO converts exactly as from a regular file,
    however the bytes arrive; a directory is refused before the output is
    created."""

    WALK_INPUTS = [
        ("five blocks", FIVE_BLOCKS),
        ("cut inside the third event block", FIVE_BLOCKS[:50001]),
        ("cut after the header", H),
    ]
    T2B_INPUTS = [
        ("three event blocks", t2b_text()),
        ("bad line in the second block",
         b"".join(m.generate_lines(500, seed=2)[0]) + b"1 2 3 x\n"),
        ("empty", b""),
        ("lines of several pieces",
         b"#" * 40000 + b"\n" + b"1 2 3 4 5 6".ljust(m.LINE_PIECE) + b"7 7 7 7 7 7\n"),
    ]
    # piece sizes for a FIFO fed slowly
    TRICKLES = [(1, 4095, 16383, 7)]

    def from_fifo(self, option, feeder):
        os.mkfifo(self.path("fifo"))
        feeder = feeder(self.path("fifo"))
        try:
            return self.tvq(option, "fifo", "fifo.out", timeout=60)
        except subprocess.TimeoutExpired:
            self.fail("the program did not finish reading a FIFO")
        finally:
            feeder.stop()

    def test_same_bytes_as_from_a_file(self):
        """-t2b from a pipe and a FIFO, every option from a FIFO fed in odd
        pieces: the same exit status, stdout and output bytes as from a file
        (the messages name the input as given)."""
        cases = [("-t2b", d, data) for d, data in self.T2B_INPUTS]
        cases += [(o, d, data) for o in WALK_MODELS for d, data in self.WALK_INPUTS]
        for option, description, data in cases:
            with self.subTest(option=option, input=description, way="file"):
                self.new_case()
                self.write_file("in", data)
                plain = self.tvq(option, "in", "in.out")
                from_file = self.read_file("in.out")
                self.assertMatchesModel(plain, model_for(option, data, "in"), "in.out")
            ways = [("FIFO, pieces %r" % (sizes,),
                     lambda path, s=sizes: TrickleFeeder(path, data, s))
                    for sizes in self.TRICKLES]
            if option == "-t2b":
                ways += [("pipe", None), ("FIFO", lambda path: t.FifoFeeder(path, data))]
            for way, feeder in ways:
                with self.subTest(option=option, input=description, way=way):
                    self.new_case()
                    if feeder is None:
                        name = "/dev/stdin"
                        result = self.tvq(option, name, "fifo.out", input_data=data)
                    else:
                        name = "fifo"
                        result = self.from_fifo(option, feeder)
                    self.assertRun(result, plain.status,
                                   plain.stdout.replace(" of in", " of " + name)
                                   .replace(": in ", ": %s " % name))
                    self.assertBytesEqual(from_file, self.read_file("fifo.out"),
                                          "output from %s and from a file" % way)

    def test_directory_as_input(self):
        """Other spellings of a directory than a plain name."""
        cases = [
            (".", None),
            ("indir/", "indir"),
            ("link-to-dir", "indir"),
        ]
        for option in OPTIONS:
            for name, make in cases:
                with self.subTest(option=option, name=name):
                    self.new_case()
                    if make:
                        os.mkdir(self.path("indir"))
                        self.write_file("indir/file", b"x")
                    if name == "link-to-dir":
                        os.symlink("indir", self.path(name))
                    before = listing(self.dir)
                    result = self.tvq(option, name, "out", timeout=10)
                    self.assertRun(result, 255, "%s is a directory\ncannot open %s\n"
                                   % (name, name))
                    self.assertEqual(before, listing(self.dir), "files changed")


class ExistingOutputs(t.E2ETestCase):
    """Output names that exist as something other than a regular file are
    refused at once, without opening them: no blocking, nothing written,
    nothing created, the thing under the name unchanged."""

    def test_fifo_with_a_reader(self):
        """A FIFO that someone reads: opening it for writing would succeed at
        once, so only the refusal keeps the data out of it."""
        for option in OPTIONS:
            with self.subTest(option=option):
                self.new_case()
                self.write_file("in", input_for(option))
                os.mkfifo(self.path("fifo"))
                reader = os.open(self.path("fifo"), os.O_RDONLY | os.O_NONBLOCK)
                try:
                    result = self.tvq(option, "in", "fifo", timeout=10)
                    try:
                        got = os.read(reader, 1 << 16)
                    except BlockingIOError:
                        got = b""
                finally:
                    os.close(reader)
                self.assertRun(result, 255, "all ready exist fifo\n")
                self.assertEqual(b"", got, "bytes written into the FIFO")
                self.assertTrue(stat.S_ISFIFO(os.lstat(self.path("fifo")).st_mode))

    def test_special_names(self):
        cases = [
            # (description, output name, how to make it)
            ("/dev/zero", "/dev/zero", None),
            ("symlink to /dev/null", "null", lambda d: os.symlink("/dev/null",
                                                                  os.path.join(d, "null"))),
            ("dangling symlink into another directory", "link", None),
            ("symlink to a FIFO nobody reads", "tofifo",
             lambda d: (os.mkfifo(os.path.join(d, "fifo")),
                        os.symlink("fifo", os.path.join(d, "tofifo")))),
        ]
        for option in OPTIONS:
            for description, name, make in cases:
                with self.subTest(option=option, output=description):
                    self.new_case()
                    self.write_file("in", input_for(option))
                    elsewhere = os.path.join(self.dir, "elsewhere")
                    os.mkdir(elsewhere)
                    target = os.path.join(elsewhere, "target")
                    if name == "link":
                        os.symlink(target, self.path("link"))
                    elif make:
                        make(self.dir)
                    path = name if os.path.isabs(name) else self.path(name)
                    st = os.lstat(path)
                    before = listing(self.dir)
                    try:
                        result = self.tvq(option, "in", name, timeout=10)
                    except subprocess.TimeoutExpired:
                        self.fail("the program blocked")
                    self.assertRun(result, 255, "all ready exist %s\n" % name)
                    self.assertEqual(before, listing(self.dir), "files changed")
                    after = os.lstat(path)
                    self.assertEqual((st.st_mode, st.st_rdev, st.st_size, st.st_mtime_ns),
                                     (after.st_mode, after.st_rdev, after.st_size,
                                      after.st_mtime_ns))
                    self.assertFalse(os.path.lexists(target), "target of the link created")


# two good lines around the line under test, and the words they give
FIRST = b"1 1 1 1 1 1\n"
LAST = b"2 2 2 2 2 2\n"
W1 = line_words(1, [1] * 5)
W2 = line_words(2, [2] * 5)


class TextLines(t.E2ETestCase):
    """-t2b input with NUL bytes and with lines far longer than the line
    buffer. A line is read like the C library's fgets: up to and with its
    newline, at most 16383 characters at a time, NUL bytes counted like any
    other character; every piece is a line of its own; the scan of a data
    line ends at its first NUL byte."""

    def check(self, text, outcome):
        """outcome: ("ok", words of every record) or ("bad", words of the
        records before the bad line, message)."""
        self.new_case()
        self.write_file("in.txt", text)
        result = self.tvq("-t2b", "in.txt", "out.tvq")
        out = self.read_file("out.tvq")
        records = outcome[1]
        if outcome[0] == "ok":
            self.assertRun(result, 0, "now reading line #0\n\n %d events converted \n"
                           % len(records) + m.DONE_TEXT)
            self.assertEqual([records], m.read_t2b_file(out))
            self.assertBytesEqual(H + m.event_block([m.Record(i + 1, w)
                                                     for i, w in enumerate(records)]) + N, out)
        else:
            self.assertRun(result, 255, "now reading line #0\n" + outcome[2] + TAIL)
            partial = m.event_block([m.Record(i + 1, w) for i, w in enumerate(records)],
                                    markers=False)
            self.assertBytesEqual(H + partial[:8 + m.RECORD_BYTES * len(records)], out)
        self.assertMatchesModel(result, m.model_t2b(text), "out.tvq")

    def test_nul_bytes(self):
        w3 = line_words(3, [3] * 5)
        bad = m.SCAN_FAIL_TEXT
        cases = [
            # (description, line between FIRST and LAST, outcome)
            ("NUL at the start of a data line", b"\x003 3 3 3 3 3\n", ("bad", [W1], bad)),
            ("NUL alone on a line", b"\x00\n", ("bad", [W1], bad)),
            ("NUL before a number sign", b"\x00# note\n", ("bad", [W1], bad)),
            ("NUL after a number sign", b"#\x00 note\n", ("ok", [W1, W2])),
            ("NUL after a c", b"c\x00\n", ("ok", [W1, W2])),
            ("NUL between two slashes", b"/\x00/ 3 3 3 3 3 3\n", ("bad", [W1], bad)),
            ("NUL inside the integer", b"3\x003 3 3 3 3 3\n", ("bad", [W1], bad)),
            ("NUL inside the third value", b"3 3 3\x00.5 3 3 3\n", ("bad", [W1], bad)),
            ("NUL inside the sixth value", b"3 3 3 3 3 3\x005\n", ("ok", [W1, w3, W2])),
            ("NUL right after the sixth value", b"3 3 3 3 3 3\x00\n", ("ok", [W1, w3, W2])),
            ("NUL and a bad seventh value", b"3 3 3 3 3 3 \x00 x y\n", ("ok", [W1, w3, W2])),
            ("NUL bytes fill the rest of the piece",
             b"3 3 3 3 3 3" + b"\x00" * (m.LINE_PIECE - 11) + b"\n", ("ok", [W1, w3, W2])),
            ("NUL bytes count toward the piece length",
             b"3 3 3 3 3 3" + b"\x00" * (m.LINE_PIECE - 10) + b"\n", ("bad", [W1, w3], bad)),
        ]
        for description, line, outcome in cases:
            with self.subTest(description):
                self.check(FIRST + line + LAST, outcome)
        with self.subTest("NUL as the last byte of the file"):
            self.check(FIRST + b"\x00", ("bad", [W1], bad))
        with self.subTest("NUL after the last line"):
            self.check(FIRST + LAST + b"\x00", ("bad", [W1, W2], bad))

    def test_lines_of_100000_characters(self):
        """100,000 characters and a newline: six pieces of 16383 characters
        and a last one of 1702 characters and the newline."""
        length = 100000
        rest = length - 6 * m.LINE_PIECE
        self.assertEqual(1702, rest)

        def pieces(*texts):
            """One line of the given pieces, each padded to a full piece, the
            last to what is left of the 100,000. The padding is not blank, so
            that a piece starting one character off would not scan."""
            sizes = [m.LINE_PIECE] * 6 + [rest]
            line = b"".join(text.ljust(size, b"z") for text, size in zip(texts, sizes))
            self.assertEqual(length, len(line))
            return line

        numbered = [b"%d 0 0 0 0 %d" % (k, k) for k in range(3, 10)]
        numbered_words = [line_words(k, [0, 0, 0, 0, k]) for k in range(3, 10)]
        bad = m.SCAN_FAIL_TEXT
        cases = [
            # (description, line between FIRST and LAST (without its newline), outcome)
            ("data line, then blanks", b"3 3 3 3 3 3".ljust(length),
             ("bad", [W1, line_words(3, [3] * 5)], bad)),
            ("data line with six values at the start of every piece", pieces(*numbered),
             ("ok", [W1] + numbered_words + [W2])),
            ("data line whose fourth piece is text", pieces(*(numbered[:3] + [b"x"]
                                                             + numbered[4:])),
             ("bad", [W1] + numbered_words[:3], bad)),
            ("comment of number signs", b"#" * length, ("ok", [W1, W2])),
            ("comment of the letter c", b"c" * length, ("ok", [W1, W2])),
            ("comment of slashes", b"/" * length, ("ok", [W1, W2])),
            ("comment with text after the sign", b"# " + b"x" * (length - 2),
             ("bad", [W1], bad)),
            ("comment whose second piece is a data line",
             pieces(b"#", b"5 5 5 5 5 5", b"#", b"#", b"c", b"%", b"//"),
             ("ok", [W1, line_words(5, [5] * 5), W2])),
        ]
        for description, line, outcome in cases:
            with self.subTest(description):
                self.check(FIRST + line + b"\n" + LAST, outcome)
        with self.subTest("last line of 100,000 characters without a newline"):
            self.check(FIRST + pieces(*numbered), ("ok", [W1] + numbered_words))


if __name__ == "__main__":
    unittest.main()
