"""The recipes of README.md "Converting many files", run as written there
(taken from README.md, with tvqconverter on PATH): each row of the table
converts a runs/ directory and checks the listings, the logs, the status the
recipe documents, and that no partial listing is ever left under a listing's
name: not after a failed conversion, not after an interrupt sent to the
whole process group in the middle of a conversion; a rerun then completes."""

import os
import re
import shlex
import shutil
import signal
import subprocess
import threading
import time
import unittest

import tvqlib as t
import tvqmodel as m
from walkcases import H, N, E1, E2

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "README.md")


def full_block(seed):
    words = lambda i, j: (seed * 7919 + i * 12 + j * 4099) % 65536  # noqa: E731
    return m.event_block([m.Record(i + 1, [words(i, j) for j in range(12)])
                          for i in range(m.RECORDS_PER_BLOCK)])


GOOD_A = H + E1 + E2 + N
GOOD_B = H + full_block(3) + N
CUT = (H + E1 + N)[:20000]
# a listing of several output buffers: the interrupted conversion has written
# some of it when its input stalls
LONG = H + b"".join(full_block(s) for s in range(30)) + N
STALL_AT = m.BLOCK_SIZE * 21


def readme_block(language, marker):
    """The body of the first ``` block of that language in README.md that
    holds marker."""
    with open(README, encoding="utf-8") as f:
        text = f.read()
    blocks = re.findall(r"^```%s\n(.*?)^```$" % re.escape(language), text, re.M | re.S)
    found = [b for b in blocks if marker in b]
    if not found:
        raise AssertionError("README.md: no ```%s block holds %r" % (language, marker))
    return found[0]


class StallingFeeder(t.FifoFeeder):
    """Writes the first part of data into a FIFO, then nothing until stop()."""

    def __init__(self, path, data):
        self.release = threading.Event()
        super().__init__(path, data)

    def _feed(self):
        try:
            with open(self.path, "wb") as f:
                f.write(self.data)
                f.flush()
                self.release.wait()
        except (BrokenPipeError, OSError):
            pass

    def stop(self):
        self.release.set()
        super().stop()


class Recipe:
    """A recipe of the README: the files it needs beside runs/, the command
    that runs it, its status on success and after a failure."""

    def __init__(self, name, files, command, status, failed_status):
        self.name = name
        self.files = files
        self.command = command
        self.status = status  # result -> the status the README documents
        self.failed_status = failed_status


def xargs_recipe():
    script = readme_block("sh", "xargs")
    # the last line echoes xargs's status
    return Recipe("xargs", {}, script,
                  lambda result: int(result.stdout.rstrip("\n").rsplit("\n", 1)[-1]), 123)


def make_recipe():
    return Recipe("make", {"Makefile": readme_block("make", "%.txt: %.tvq")},
                  readme_block("sh", "make -k"), lambda result: result.status, 2)


# Rows: (description, inputs {run name: bytes}, files made first
# {name: (bytes, age in seconds against the inputs)}, expected listings per
# recipe {run name: "model" or the bytes kept}, failing runs).
OLD = b"an old listing\n"
CASES = [
    ("every file converts", {"run1": GOOD_A, "run2": GOOD_B, "run3": LONG}, {},
     {"xargs": {}, "make": {}}, ()),
    ("a file cut short fails, the others convert", {"run1": GOOD_A, "run2": CUT}, {},
     {"xargs": {}, "make": {}}, ("run2",)),
    ("a temporary left by an interrupted run", {"run1": GOOD_A, "run2": GOOD_B},
     {"run1.txt.part": (b"partial", 0)}, {"xargs": {}, "make": {}}, ()),
    ("a listing older than its input", {"run1": GOOD_A, "run2": GOOD_B},
     {"run1.txt": (OLD, -1000)}, {"xargs": {"run1": OLD}, "make": {}}, ()),
    ("a listing newer than its input", {"run1": GOOD_A, "run2": GOOD_B},
     {"run1.txt": (OLD, 1000)}, {"xargs": {"run1": OLD}, "make": {"run1": OLD}}, ()),
]


class Recipes(t.E2ETestCase):

    def setUp(self):
        super().setUp()
        bin_dir = os.path.join(self.root, "bin")
        os.mkdir(bin_dir)
        program = os.path.join(bin_dir, "tvqconverter")
        with open(program, "w") as f:
            f.write("#!/bin/sh\nexec %s \"$@\"\n"
                    % " ".join(shlex.quote(w) for w in t.wrapper() + [t.binary_path()]))
        os.chmod(program, 0o755)
        self.env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"])

    def recipes(self):
        found = [xargs_recipe()]
        if shutil.which("make"):
            found.append(make_recipe())
        return found

    def start(self, recipe):
        for name, text in recipe.files.items():
            self.write_file(name, text.encode())
        # a session of its own: the whole process group can be interrupted
        return subprocess.Popen(["sh", "-c", recipe.command], cwd=self.dir, env=self.env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True)

    def run_recipe(self, recipe):
        proc = self.start(recipe)
        try:
            out, err = proc.communicate(timeout=120 * (10 if t.wrapper() else 1))
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.communicate()
            self.fail("the %s recipe did not finish" % recipe.name)
        result = t.Result(proc.returncode, out.decode("latin-1"), err.decode("latin-1"))
        return recipe.status(result), result

    def runs(self, name):
        return os.path.join(self.dir, "runs", name)

    def check_listings(self, inputs, kept=None, failing=(), partial_ok=()):
        """Each run's listing is its model, or the bytes kept; none for a
        failing run; no file in runs/ besides inputs, listings and logs
        (a temporary of a run in partial_ok allowed)."""
        kept = kept or {}
        for run, data in inputs.items():
            listing = self.runs(run + ".txt")
            if run in failing:
                self.assertFalse(os.path.lexists(listing), "listing of failed " + run)
                continue
            expected = kept.get(run, m.model_b2t(data, "runs/%s.tvq" % run).out)
            with open(listing, "rb") as f:
                self.assertBytesEqual(expected, f.read(), run + ".txt")
        for name in os.listdir(os.path.join(self.dir, "runs")):
            run, _, kind = name.partition(".")
            self.assertTrue(kind in ("tvq", "txt", "log") or run in partial_ok,
                            "left in runs/: " + name)

    def make_runs(self, inputs, made):
        os.mkdir(os.path.join(self.dir, "runs"))
        now = time.time()
        for run, data in inputs.items():
            self.write_file("runs/%s.tvq" % run, data)
            os.utime(self.runs(run + ".tvq"), (now, now))
        for name, (data, age) in made.items():
            self.write_file("runs/" + name, data)
            os.utime(self.runs(name), (now + age, now + age))

    def test_recipes(self):
        for recipe in self.recipes():
            for description, inputs, made, kept, failing in CASES:
                with self.subTest(recipe=recipe.name, case=description):
                    self.new_case()
                    self.make_runs(inputs, made)
                    status, result = self.run_recipe(recipe)
                    self.assertEqual(recipe.failed_status if failing else 0, status,
                                     result.stdout[-2000:] + result.stderr[-2000:])
                    for run in failing:
                        log = m.model_b2t(inputs[run], "runs/%s.tvq" % run).stdout
                        self.assertIn(log, result.stdout)
                    self.check_listings(inputs, kept[recipe.name], failing)

    def test_interrupt_then_rerun(self):
        """SIGINT to the recipe's whole process group while one conversion
        has written part of its listing and waits for more input (a FIFO
        that stalls): no partial listing stays under its name; a rerun with
        the whole input converts every file."""
        inputs = {"run1": GOOD_A, "run2": GOOD_B, "run3": LONG}
        for recipe in self.recipes():
            with self.subTest(recipe=recipe.name):
                self.new_case()
                self.make_runs({k: v for k, v in inputs.items() if k != "run3"}, {})
                os.mkfifo(self.runs("run3.tvq"))
                feeder = StallingFeeder(self.runs("run3.tvq"), LONG[:STALL_AT])
                proc = self.start(recipe)
                try:
                    self.wait_for_partial_output("run3", proc)
                    os.killpg(proc.pid, signal.SIGINT)
                    proc.communicate(timeout=60)
                finally:
                    feeder.stop()
                    if proc.poll() is None:
                        os.killpg(proc.pid, signal.SIGKILL)
                        proc.communicate()
                self.assertNotEqual(0, proc.returncode, "recipe not interrupted")
                self.assertFalse(os.path.lexists(self.runs("run3.txt")),
                                 "listing of the interrupted conversion")
                for run in ("run1", "run2"):
                    listing = self.runs(run + ".txt")
                    if os.path.lexists(listing):
                        with open(listing, "rb") as f:
                            self.assertBytesEqual(m.model_b2t(inputs[run], "x").out, f.read())

                os.unlink(self.runs("run3.tvq"))
                self.write_file("runs/run3.tvq", LONG)
                status, result = self.run_recipe(recipe)
                self.assertEqual(0, status, result.stdout[-2000:] + result.stderr[-2000:])
                self.check_listings(inputs)

    def wait_for_partial_output(self, run, proc):
        """Until a file of run beside its input and log holds some bytes."""
        deadline = time.time() + 60 * (10 if t.wrapper() else 1)
        while time.time() < deadline:
            if proc.poll() is not None:
                self.fail("the recipe ended before the interrupt: " + proc.stdout.read().decode())
            for name in os.listdir(os.path.join(self.dir, "runs")):
                if name.startswith(run + ".") and name not in (run + ".tvq", run + ".log"):
                    if os.path.getsize(self.runs(name)) > 0:
                        return
            time.sleep(0.01)
        self.fail("no output of %s appeared" % run)


if __name__ == "__main__":
    unittest.main()
