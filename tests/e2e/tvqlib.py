"""The harness of the tvqconverter end-to-end tests: a runner for the binary
given in $TVQCONVERTER, run under the command in $TVQ_WRAPPER when that is set
(a memory checker, for instance), the allowed ends of a run whose writes fail,
a FIFO feeder, the zero-write shim's environment, and a base TestCase that
gives every test its own temporary directory. The format model the tests
compare with is the package tvqmodel beside this directory, put on the path
here.
"""

import os
import resource
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(1, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from tvqmodel import FAIL_LINE  # noqa: E402

# ------------------------------------------------------------------ running

# Output buffering allowed between a failed write and its report: the
# program's 256 KiB output buffer and one block's worth of output on top.
WRITE_WINDOW = 256 * 1024 + 64 * 1024


def binary_path():
    path = os.environ.get("TVQCONVERTER")
    if not path:
        raise RuntimeError("set TVQCONVERTER to the path of the tvqconverter binary")
    path = os.path.abspath(path)
    if not os.access(path, os.X_OK):
        raise RuntimeError("TVQCONVERTER=%s is not an executable file" % path)
    return path


def wrapper():
    """The words of $TVQ_WRAPPER, put before the binary on every run, e.g.
    TVQ_WRAPPER="valgrind -q --error-exitcode=99 --leak-check=full"; a checker
    that finds a fault then shows up as a wrong exit status and output on
    stderr. Empty when the variable is unset or blank."""
    return shlex.split(os.environ.get("TVQ_WRAPPER", ""))


# A wrapped run is many times slower: every timeout is stretched by this.
WRAPPED_TIMEOUT_FACTOR = 10


def skip_if_wrapped(test, reason):
    """Skip test when the runs go through a wrapper that cannot take part in
    it; reason says why."""
    if wrapper():
        test.skipTest("under TVQ_WRAPPER: " + reason)


# why the tests with a lowered file size limit do not run under a wrapper
FSIZE_UNDER_WRAPPER = ("the file size limit would bind the wrapper too, and valgrind writes "
                       "files of its own (vgdb's shared memory file in /tmp)")


class Result:
    def __init__(self, status, stdout, stderr):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr


def sanitizer_build():
    """True when the binary is built with AddressSanitizer."""
    with open(binary_path(), "rb") as f:
        return b"__asan_init" in f.read()


def run(args, cwd, input_data=None, stdin=None, fsize_limit=None, as_user=None, timeout=30,
        limits=(), closed=(), env=None):
    """Run the binary with args in cwd (under the wrapper, if any); stdout is
    decoded as latin-1 so that every byte survives. limits: (resource, value)
    pairs set as both limits; closed: descriptors closed before the start;
    env: variables added to the environment."""

    def prepare():
        if fsize_limit is not None:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (fsize_limit, fsize_limit))
        for which, value in limits:
            resource.setrlimit(which, (value, value))
        for fd in closed:
            os.close(fd)
        if as_user is not None:
            os.setgroups([])
            os.setgid(as_user)
            os.setuid(as_user)

    kwargs = {}
    if env:
        kwargs["env"] = dict(os.environ, **env)
    if input_data is not None:
        kwargs["input"] = input_data
    else:
        kwargs["stdin"] = subprocess.DEVNULL if stdin is None else stdin
    command = wrapper()
    if command:
        timeout *= WRAPPED_TIMEOUT_FACTOR
    proc = subprocess.run(command + [binary_path()] + list(args), cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout, preexec_fn=prepare,
                          **kwargs)
    return Result(proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1"))


def allowed_failure_tails(segments, limit, name, return_flag_steps=(),
                          reason="File too large"):
    """Possible ends of stdout after the output file reached limit bytes:
    "cannot write", the step whose writer was running when the failure was
    seen (within WRITE_WINDOW bytes of buffering after the limit, or none when
    only the close sees it), then the driver's line."""
    tails = set()
    start = 0
    for step, piece in segments:
        end = start + len(piece)
        if end > limit and start <= limit + WRITE_WINDOW:
            tail = step + "\n"
            if step in return_flag_steps:
                tail += "return_flag\n"
            tails.add(tail)
        start = end
    if start <= limit + WRITE_WINDOW:
        tails.add("")
    return {"cannot write %s: %s\n%s%s" % (name, reason, t, FAIL_LINE) for t in tails}


def zero_write_env(test, path, after):
    """The environment in which every write() to the file at path returns 0
    once after bytes have reached it (tests/e2e/zero_write_shim.c, built by
    CMake and named by $TVQ_ZERO_WRITE_SHIM); skips the test without it."""
    shim = os.environ.get("TVQ_ZERO_WRITE_SHIM")
    if not shim:
        test.skipTest("TVQ_ZERO_WRITE_SHIM is not set (the shim is built with the tests)")
    # AddressSanitizer wants its runtime loaded first; the shim only passes
    # writes on.
    asan = os.environ.get("ASAN_OPTIONS", "")
    return {"LD_PRELOAD": os.path.abspath(shim), "TVQ_ZERO_WRITE_NAME": os.path.realpath(path),
            "TVQ_ZERO_WRITE_AFTER": str(after),
            "ASAN_OPTIONS": (asan + ":" if asan else "") + "verify_asan_link_order=0"}


class FifoFeeder:
    """Writes data into a FIFO from a thread; stop() makes sure the thread ends
    even when the program never opened or never drained the FIFO."""

    def __init__(self, path, data):
        self.path = path
        self.data = data
        self.thread = threading.Thread(target=self._feed, daemon=True)
        self.thread.start()

    def _feed(self):
        try:
            with open(self.path, "wb") as f:
                f.write(self.data)
        except (BrokenPipeError, OSError):
            pass

    def stop(self):
        if self.thread.is_alive():
            fd = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK)
            try:
                while self.thread.is_alive():
                    try:
                        os.read(fd, 1 << 16)
                    except BlockingIOError:
                        pass
                    self.thread.join(0.01)
            finally:
                os.close(fd)
        self.thread.join()


class E2ETestCase(unittest.TestCase):
    """Every test runs in a fresh temporary directory, removed afterwards;
    file names given to the program are relative to it."""

    maxDiff = 4000

    def setUp(self):
        binary_path()
        self.root = tempfile.mkdtemp(prefix="tvq-e2e-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.dir = self.root

    def new_case(self):
        """A fresh empty directory for the next case of a table."""
        self.dir = tempfile.mkdtemp(dir=self.root)
        return self.dir

    def path(self, name):
        return os.path.join(self.dir, name)

    def write_file(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read_file(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def tvq(self, *args, **kwargs):
        return run(args, self.dir, **kwargs)

    def assertBytesEqual(self, expected, got, what="output"):
        """Equality of long byte strings, reported by the first difference."""
        if expected == got:
            return
        at = next((i for i, (a, b) in enumerate(zip(expected, got)) if a != b),
                  min(len(expected), len(got)))
        self.fail("%s differs at byte %d (expected %d bytes, got %d):\n expected %r\n      got %r"
                  % (what, at, len(expected), len(got), expected[max(0, at - 40):at + 40],
                     got[max(0, at - 40):at + 40]))

    def assertRun(self, result, status, stdout):
        """Exact exit status and stdout; nothing on stderr."""
        self.assertEqual(stdout, result.stdout, "stdout")
        self.assertEqual(status, result.status, "exit status")
        self.assertEqual("", result.stderr, "stderr")

    def assertMatchesModel(self, result, expected, out_name):
        self.assertRun(result, expected.status, expected.stdout)
        self.assertBytesEqual(expected.out, self.read_file(out_name), out_name)

    def assertWriteFailure(self, result, expected, out_name, limit, return_flag_steps=(),
                           reason="File too large"):
        """A run whose writes fail once limit bytes are written (a file size
        limit, or writes that make no progress): the output is the first limit
        bytes of the full output; stdout is a beginning of the successful
        run's stdout, then one allowed failure tail naming reason; exit 255."""
        self.assertEqual(255, result.status, "exit status; stdout ends:\n" + result.stdout[-500:])
        self.assertEqual("", result.stderr, "stderr")
        self.assertNotIn("conversion is done!!", result.stdout)
        self.assertEqual(1, result.stdout.count("cannot write "), result.stdout)
        self.assertTrue(result.stdout.endswith(FAIL_LINE), result.stdout)
        at = result.stdout.index("cannot write ")
        head, tail = result.stdout[:at], result.stdout[at:]
        self.assertTrue(expected.stdout.startswith(head),
                        "stdout before the failure is not a beginning of the normal stdout:\n"
                        + head)
        self.assertIn(tail, allowed_failure_tails(expected.segments, limit, out_name,
                                                  return_flag_steps, reason))
        self.assertGreater(len(expected.out), limit, "test needs more output than the limit")
        self.assertBytesEqual(expected.out[:limit], self.read_file(out_name), out_name)
