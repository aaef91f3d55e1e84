"""Command line of tvqconverter: usage messages, open failures, exit status."""

import os
import socket
import stat
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tvqlib as t  # noqa: E402
import tvqmodel as m  # noqa: E402

TEXT_INPUT = b"# two data lines\n1 2 3 4 5 6\n-1 0.5 0 0 0 0\n"

# option -> a valid input for it
INPUTS = {
    "-b2rb": m.sample_file(),
    "-b2t": m.sample_file(),
    "-t2b": TEXT_INPUT,
}

NOBODY = 65534


def listing(directory):
    """Names and contents of everything under directory (symlinks by target)."""
    result = {}
    for base, dirs, files in os.walk(directory):
        for name in dirs + files:
            path = os.path.join(base, name)
            rel = os.path.relpath(path, directory)
            st = os.lstat(path)
            if stat.S_ISLNK(st.st_mode):
                result[rel] = ("link", os.readlink(path))
            elif stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    result[rel] = ("file", f.read(), stat.S_IMODE(st.st_mode))
            else:
                result[rel] = ("other", stat.S_IFMT(st.st_mode))
    return result


class ArgumentCheck(t.E2ETestCase):
    """Wrong command lines: the usage texts, exit 255, no file touched."""

    CASES = [
        # (arguments, expected stdout)
        ([], m.USAGE_TEXT),
        (["-b2rb"], m.USAGE_TEXT),
        (["-b2rb", "in"], m.USAGE_TEXT),
        (["-b2rb", "in", "out", "more"], m.USAGE_TEXT),
        (["-t2b", "in", "out", "more", "again"], m.USAGE_TEXT),
        (["-x"], m.USAGE_TEXT),
        (["b2rb", "in"], m.USAGE_TEXT),
        (["", "", "", ""], m.USAGE_TEXT),
        (["b2rb", "in", "out"], m.NO_DASH_TEXT),
        (["t2b", "in", "out"], m.NO_DASH_TEXT),
        (["", "in", "out"], m.NO_DASH_TEXT),
        (["+b2rb", "in", "out"], m.NO_DASH_TEXT),
        ([" -b2rb", "in", "out"], m.NO_DASH_TEXT),
        (["-x", "in", "out"], m.BAD_OPTION_TEXT),
        (["-b2", "in", "out"], m.BAD_OPTION_TEXT),
        (["-", "in", "out"], m.BAD_OPTION_TEXT),
        (["--b2rb", "in", "out"], m.BAD_OPTION_TEXT),
        (["-b2rbx", "in", "out"], m.BAD_OPTION_TEXT),
        (["-B2RB", "in", "out"], m.BAD_OPTION_TEXT),
        (["-b2r", "in", "out"], m.BAD_OPTION_TEXT),
        (["-b2t ", "in", "out"], m.BAD_OPTION_TEXT),
        (["-t2", "in", "out"], m.BAD_OPTION_TEXT),
        (["-t2bb", "in", "out"], m.BAD_OPTION_TEXT),
        (["-x", "missing", "out"], m.BAD_OPTION_TEXT),
    ]

    def test_usage_messages(self):
        for args, stdout in self.CASES:
            with self.subTest(args=args):
                self.new_case()
                self.write_file("in", INPUTS["-b2rb"])
                before = listing(self.dir)
                result = self.tvq(*args)
                self.assertRun(result, 255, stdout)
                self.assertEqual(before, listing(self.dir), "files changed")


class OpenFailures(t.E2ETestCase):
    """Inputs that cannot be opened and outputs that exist or cannot be
    created: the message, exit 255, and every existing file unchanged."""

    def prepare(self, option, kind):
        """Build the situation named kind in a fresh directory; returns the
        input and output names to pass and the expected stdout."""
        self.new_case()
        self.write_file("in", INPUTS[option])
        self.write_file("other", b"precious contents\n")
        d = self.dir
        if kind == "missing input":
            return "nothere", "out", "cannot open nothere\n"
        if kind == "missing input, existing output":
            self.write_file("out", b"keep me\n")
            return "nothere", "out", "cannot open nothere\n"
        if kind == "missing input, output in missing directory":
            return "nothere", "nodir/out", "cannot open nothere\n"
        if kind == "empty input name":
            return "", "out", "cannot open \n"
        if kind == "input is a directory":
            os.mkdir(os.path.join(d, "indir"))
            return "indir", "out", "indir is a directory\ncannot open indir\n"
        if kind == "input is a directory, existing output":
            os.mkdir(os.path.join(d, "indir"))
            self.write_file("out", b"keep me\n")
            return "indir", "out", "indir is a directory\ncannot open indir\n"
        if kind == "output exists":
            self.write_file("out", b"keep me\n")
            return "in", "out", "all ready exist out\n"
        if kind == "empty output file exists":
            self.write_file("out", b"")
            return "in", "out", "all ready exist out\n"
        if kind == "input is output":
            return "in", "in", "all ready exist in\n"
        if kind == "input is output, other spelling":
            return "in", "./in", "all ready exist ./in\n"
        if kind == "output is a dangling symlink":
            os.symlink("target-not-there", os.path.join(d, "out"))
            return "in", "out", "all ready exist out\n"
        if kind == "output is a symlink to a file":
            os.symlink("other", os.path.join(d, "out"))
            return "in", "out", "all ready exist out\n"
        if kind == "output is a symlink loop":
            os.symlink("loop", os.path.join(d, "loop"))
            return "in", "loop", "all ready exist loop\n"
        if kind == "output is a directory":
            os.mkdir(os.path.join(d, "outdir"))
            return "in", "outdir", "all ready exist outdir\n"
        if kind == "output is a FIFO":
            os.mkfifo(os.path.join(d, "fifo"))
            return "in", "fifo", "all ready exist fifo\n"
        if kind == "output is a socket":
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            sock.bind(os.path.join(d, "sock"))
            sock.close()
            return "in", "sock", "all ready exist sock\n"
        if kind == "output is /dev/null":
            return "in", "/dev/null", "all ready exist /dev/null\n"
        if kind == "output in a missing directory":
            return "in", "nodir/out", "cannot open nodir/out\n"
        if kind == "output below a regular file":
            return "in", "other/out", "cannot open other/out\n"
        if kind == "output name too long":
            name = "n" * 300
            return "in", name, "cannot open %s\n" % name
        if kind == "empty output name":
            return "in", "", "cannot open \n"
        raise AssertionError(kind)

    KINDS = [
        "missing input",
        "missing input, existing output",
        "missing input, output in missing directory",
        "empty input name",
        "input is a directory",
        "input is a directory, existing output",
        "output exists",
        "empty output file exists",
        "input is output",
        "input is output, other spelling",
        "output is a dangling symlink",
        "output is a symlink to a file",
        "output is a symlink loop",
        "output is a directory",
        "output is a FIFO",
        "output is a socket",
        "output is /dev/null",
        "output in a missing directory",
        "output below a regular file",
        "output name too long",
        "empty output name",
    ]

    def test_open_failures(self):
        for option in ("-b2rb", "-b2t", "-t2b"):
            for kind in self.KINDS:
                with self.subTest(option=option, kind=kind):
                    in_name, out_name, stdout = self.prepare(option, kind)
                    before = listing(self.dir)
                    try:
                        result = self.tvq(option, in_name, out_name, timeout=10)
                    except subprocess.TimeoutExpired:
                        self.fail("the program blocked")
                    self.assertRun(result, 255, stdout)
                    self.assertEqual(before, listing(self.dir), "files changed")

    def test_unreadable_existing_output(self):
        """An existing output that the user may neither read nor write is
        still refused as existing and left alone. Root reads anything, so
        when the tests run as root the program runs as user nobody."""
        as_user = None
        if os.geteuid() == 0:
            os.chmod(self.root, 0o777)
            probe = t.run([], self.root, as_user=NOBODY)
            if probe.status != 255 or probe.stdout != m.USAGE_TEXT:
                self.skipTest("the binary cannot be run as user nobody")
            as_user = NOBODY
        for option in ("-b2rb", "-b2t", "-t2b"):
            with self.subTest(option=option):
                self.new_case()
                os.chmod(self.dir, 0o777)
                self.write_file("in", INPUTS[option])
                os.chmod(self.path("in"), 0o644)
                self.write_file("out", b"secret\n")
                os.chmod(self.path("out"), 0)
                before = listing(self.dir)
                result = t.run([option, "in", "out"], self.dir, as_user=as_user, timeout=10)
                self.assertRun(result, 255, "all ready exist out\n")
                self.assertEqual(before, listing(self.dir), "files changed")


class Success(t.E2ETestCase):
    """Each option with a valid input: exit 0, a new output file, and the
    closing message after the conversion's own messages."""

    def test_each_option_succeeds(self):
        stdout_t2b = "now reading line #0\n\n 2 events converted \n" + m.DONE_TEXT
        for option, stdout in (("-b2rb", m.DONE_TEXT), ("-b2t", m.DONE_TEXT),
                               ("-t2b", stdout_t2b)):
            with self.subTest(option=option):
                self.new_case()
                self.write_file("in", INPUTS[option])
                result = self.tvq(option, "in", "out")
                self.assertRun(result, 0, stdout)
                self.assertGreater(len(self.read_file("out")), 0)
                self.assertEqual(INPUTS[option], self.read_file("in"), "input changed")


if __name__ == "__main__":
    unittest.main()
