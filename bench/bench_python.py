#!/usr/bin/python3
"""Benchmark of the Python module tvq, all in one run:

- tvq.read of a 64 MiB block file against numpy.fromfile of the same file;
- tvq.write of 1,000,000 records against numpy's tofile of as many bytes;
- both against the way a user has without the module: -b2t, then
  numpy.loadtxt of the listing and the values joined from their words; and
  numpy.savetxt of the values, then -t2b;
- tvq.iterate over a 1 GiB file with step=1_000_000: the peak resident memory
  of a child process that does only that, beside one that only imports;
- on a 256 MiB file, against tvq.read of it: tvq.open with .header and
  .ender (at most 1/50), len(tvq.open(p)) (at most 1/2) and
  tvq.read(p, start=len - 100) (at most 1/2).

Run with Debian's python3 on a release build:

    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release && cmake --build build-bench -j2
    /usr/bin/python3 bench/bench_python.py [--build build-bench] [--reps 5]

Files go to a new directory under /tmp, removed at the end (about 1.2 GB).
"""

import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from tvqmodel import BLOCK_SIZE as BLOCK, RECORDS_PER_BLOCK  # noqa: E402

MIB = 1 << 20


def timed(function, reps, before=None):
    """Median wall time of reps runs of function (before() runs untimed)."""
    times = []
    for _ in range(reps):
        if before:
            before()
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


# Makes a block file of random values: path, records.
MAKE = """
import sys
import numpy as np
import tvq
count = int(sys.argv[2])
rng = np.random.default_rng(18)
values = np.zeros(count, tvq.dtype())
values["v0"] = rng.integers(-2**31, 2**31, count)
for name in values.dtype.names[3:]:
    values[name] = rng.uniform(-1e6, 1e6, count).astype(np.float32)
tvq.write(sys.argv[1], values)
"""


def peak_rss(python_dir, code, *args):
    """Peak resident memory (MiB) of a child python running code."""
    child = ("import resource, sys\n" + code +
             "\nprint(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)\n")
    out = subprocess.run([sys.executable, "-c", child] + list(args), check=True,
                         stdout=subprocess.PIPE, universal_newlines=True,
                         env=dict(os.environ, PYTHONPATH=python_dir)).stdout
    return int(out.split()[-1]) / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build-bench", help="build directory (release)")
    parser.add_argument("--reps", type=int, default=5, help="timed runs of the fast ones")
    parser.add_argument("--read-mib", type=int, default=64)
    parser.add_argument("--write-records", type=int, default=1_000_000)
    parser.add_argument("--iterate-mib", type=int, default=1024)
    parser.add_argument("--lazy-mib", type=int, default=256)
    args = parser.parse_args()

    python_dir = os.path.abspath(os.path.join(args.build, "python"))
    binary = os.path.abspath(os.path.join(args.build, "tvqconverter"))
    sys.path.insert(0, python_dir)

    work = tempfile.mkdtemp(prefix="tvq-bench-")
    rows = []
    try:
        # The files are made by a child, so that this process is still small
        # when it starts the one whose peak memory is measured.
        blocks = args.read_mib * MIB // BLOCK - 2
        big = os.path.join(work, "read.tvq")
        subprocess.run([sys.executable, "-c", MAKE, big, str(RECORDS_PER_BLOCK * blocks - 1)], check=True,
                       env=dict(os.environ, PYTHONPATH=python_dir))
        size = os.path.getsize(big)

        # A file of about iterate_mib MiB: the event blocks of that file again and again.
        huge = os.path.join(work, "iterate.tvq")
        with open(big, "rb") as source, open(huge, "wb") as f:
            f.write(source.read(BLOCK))
            for _ in range(max(1, args.iterate_mib * MIB // (size - 2 * BLOCK))):
                source.seek(BLOCK)
                for _ in range((size - 2 * BLOCK) // MIB):
                    f.write(source.read(MIB))
                f.write(source.read(size - 2 * BLOCK - (size - 2 * BLOCK) // MIB * MIB))
            f.write(source.read(BLOCK))
        huge_size = os.path.getsize(huge)
        start = time.perf_counter()
        iterate_rss = peak_rss(python_dir, "import tvq\nn = 0\nfor c in tvq.iterate(sys.argv[1], "
                               "step=1_000_000):\n    n += len(c)\nprint(n)", huge)
        t_iterate = time.perf_counter() - start
        import_rss = peak_rss(python_dir, "import tvq")
        os.remove(huge)

        import numpy as np
        import tvq
        print("read: %.1f MiB, %d records" % (size / MIB, RECORDS_PER_BLOCK * blocks - 1))
        tvq.read(big)
        t_fromfile = timed(lambda: np.fromfile(big, np.uint8), args.reps)
        t_read = timed(lambda: tvq.read(big), args.reps)
        listing = os.path.join(work, "read.listing")

        def users_read():
            subprocess.run([binary, "-b2t", big, listing], check=True, stdout=subprocess.DEVNULL)
            words = np.loadtxt(listing, dtype=np.uint32, ndmin=2)
            joined = words[:, 2::2] | (words[:, 3::2] << 16)
            return joined[:, 0].view(np.int32), joined[:, 1:].view(np.float32)

        t_users_read = timed(users_read, 1, before=lambda: os.path.exists(listing) and
                             os.remove(listing))
        rows.append(("tvq.read, %d MiB" % round(size / MIB), t_read, "numpy.fromfile", t_fromfile,
                     "-b2t + numpy.loadtxt", t_users_read))

        # Writing.
        data = tvq.read(big)[:args.write_records]
        out = os.path.join(work, "write.tvq")

        def remove(*paths):
            return lambda: [os.remove(p) for p in paths if os.path.exists(p)]

        t_write = timed(lambda: tvq.write(out, data), args.reps, before=remove(out))
        written = os.path.getsize(out)
        raw = np.fromfile(out, np.uint8)
        plain = os.path.join(work, "plain.bin")
        t_tofile = timed(lambda: raw.tofile(plain), args.reps, before=remove(plain))
        text = os.path.join(work, "write.txt")
        users_out = os.path.join(work, "users.tvq")

        def users_write():
            np.savetxt(text, np.column_stack([data[n] for n in data.dtype.names[2:]]),
                       fmt=["%d"] + ["%.9g"] * 5)
            subprocess.run([binary, "-t2b", text, users_out], check=True,
                           stdout=subprocess.DEVNULL)

        t_users_write = timed(users_write, 1, before=remove(text, users_out))
        same = open(out, "rb").read() == open(users_out, "rb").read()
        rows.append(("tvq.write, %d records" % len(data), t_write,
                     "numpy tofile of %.1f MiB" % (written / MIB), t_tofile,
                     "numpy.savetxt + -t2b", t_users_write))

        # What a run as a data set costs beside reading it whole.
        lazy = os.path.join(work, "lazy.tvq")
        blocks = args.lazy_mib * MIB // BLOCK - 2
        subprocess.run([sys.executable, "-c", MAKE, lazy, str(RECORDS_PER_BLOCK * blocks - 1)],
                       check=True, env=dict(os.environ, PYTHONPATH=python_dir))
        count = len(tvq.open(lazy))

        def heads():
            f = tvq.open(lazy)
            return f.header, f.ender

        t_whole = timed(lambda: tvq.read(lazy), args.reps)
        lazy_rows = [("tvq.open + .header + .ender", timed(heads, args.reps), 1 / 50),
                     ("len(tvq.open(p))", timed(lambda: len(tvq.open(lazy)), args.reps), 1 / 2),
                     ("tvq.read(p, start=len-100)",
                      timed(lambda: tvq.read(lazy, start=count - 100), args.reps), 1 / 2)]
    finally:
        shutil.rmtree(work)

    print()
    print("%-28s %9s  %-26s %9s %7s  %-22s %9s %9s" % (
        "", "time s", "numpy", "time s", "ratio", "the user's way today", "time s", "speed-up"))
    for name, t, peer, t_peer, way, t_way in rows:
        print("%-28s %9.3f  %-26s %9.3f %6.2fx  %-22s %9.2f %8.0fx" % (
            name, t, peer, t_peer, t / t_peer, way, t_way, t_way / t))
    print("tvq.write gives the bytes of -t2b from the same values: %s" % same)
    print("tvq.iterate over %.0f MiB, step=1_000_000: %.1f s, peak RSS %.1f MiB "
          "(python + import tvq alone: %.1f MiB)" % (huge_size / MIB, t_iterate, iterate_rss,
                                                      import_rss))
    print("\n%-28s %9s %9s %9s  (tvq.read of %d MiB: %.3f s)" % (
        "", "time s", "of read", "target", args.lazy_mib, t_whole))
    for name, t, target in lazy_rows:
        print("%-28s %9.4f %9.4f %9.4f" % (name, t, t / t_whole, target))
    ok = (rows[0][1] <= 2 * rows[0][3] and rows[1][1] <= 2 * rows[1][3] and
          all(r[5] >= 50 * r[1] for r in rows) and iterate_rss < 100 and same and
          all(t <= target * t_whole for _, t, target in lazy_rows))
    print("targets (<= 2x numpy, >= 50x the user's way, < 100 MiB, the fractions of read): %s" %
          ("PASS" if ok else "MISS"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
