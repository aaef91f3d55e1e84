#!/usr/bin/python3
"""Benchmark of the Python module tvq: each figure a ratio to a floor timed in
the same process, all in one run.

- tvq.read of a 64 MiB block file against numpy.fromfile of it (at most 2x),
  and values() of the same file open (tvq.open) against tvq.read (at most 1x);
- tvq.write of 1,000,000 records against numpy's tofile of as many bytes (at
  most 1.5x);
- tvq.iterate over a 1 GiB file with step=1_000_000 and step=10_000_000
  against reading the file and copying it once into an array of a step's
  rows (at most 1.3x), the larger step no slower than the smaller (within 5%,
  the noise of one run), after a first pass of the process (printed too:
  the memory of its first two chunks is new, which the kernel zeroes); the
  peak resident memory of a child process that only iterates, beside one
  that only imports (step 1M: under 100 MiB);
- on a 256 MiB file, against tvq.read of it: tvq.open with .header and .ender
  (at most 1/50), len(tvq.open(p)) (at most 1/2) and tvq.read(p,
  start=len - 100) (at most 1/2);
- once, the way a user goes without the module: -b2t, then numpy.loadtxt of
  the listing and the values joined from their words; numpy.savetxt of the
  values, then -t2b (at least 50x slower than tvq.read and tvq.write).

Each round runs every figure in a new child process of each build given
(--build, and --before for a build to compare with), the builds alternating,
and the medians over the rounds are printed side by side. Run with Debian's
python3 on release builds:

    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release && cmake --build build-bench -j2
    /usr/bin/python3 bench/bench_python.py --build build-bench [--before OTHER] [--rounds 5]

Files go to a new directory under /tmp, removed at the end (about 1.6 GB).
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from tvqmodel import BLOCK_SIZE as BLOCK, RECORDS_PER_BLOCK  # noqa: E402

MIB = 1 << 20
STEPS = (1_000_000, 10_000_000)

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

# Iterates over a file: the peak resident memory of a process that does it.
ITERATE = """
import sys
import tvq
n = 0
for chunk in tvq.iterate(sys.argv[1], step=int(sys.argv[2])):
    n += len(chunk)
"""


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


def removed(*paths):
    return lambda: [os.remove(p) for p in paths if os.path.exists(p)]


def copy_floor(path, rows):
    """Reads a file and copies it once into an array of rows' bytes, reused:
    the least that a reader of values in chunks does."""
    import numpy as np

    piece = bytearray(MIB)
    view = memoryview(piece)
    out = np.empty(rows * 32, np.uint8)
    at = 0
    with open(path, "rb", buffering=0) as f:
        while True:
            got = f.readinto(view)
            if not got:
                return
            if at + got > len(out):
                at = 0
            out[at:at + got] = np.frombuffer(piece, np.uint8, got)
            at += got


def measure(work, reps):
    """The figures of the tvq on sys.path, in seconds: {name: median}."""
    import numpy as np
    import tvq

    read, lazy, huge = (os.path.join(work, name) for name in ("read.tvq", "lazy.tvq", "huge.tvq"))
    out, plain = os.path.join(work, "write-%d.tvq" % os.getpid()), os.path.join(work, "plain.bin")
    figures = {}
    tvq.read(read)
    figures["fromfile"] = timed(lambda: np.fromfile(read, np.uint8), reps)
    figures["read"] = timed(lambda: tvq.read(read), reps)
    with tvq.open(read) as f:
        figures["values"] = timed(f.values, reps)

    data = tvq.read(read)[:int(os.environ["TVQ_BENCH_WRITE_RECORDS"])]
    removed(out)()
    tvq.write(out, data)
    raw = np.fromfile(out, np.uint8)
    figures["write"] = timed(lambda: tvq.write(out, data), reps, before=removed(out))
    figures["tofile"] = timed(lambda: raw.tofile(plain), reps, before=removed(plain))
    removed(out, plain)()
    del data, raw

    figures["floor"] = timed(lambda: copy_floor(huge, STEPS[0]), reps)
    for step in STEPS:
        # The first pass of a process takes its chunks' memory new from the
        # kernel; the passes after it, the memory the chunks before left.
        figures["first %d" % step] = timed(
            lambda: [None for _ in tvq.iterate(huge, step=step)], 1)
        figures["iterate %d" % step] = timed(
            lambda: [None for _ in tvq.iterate(huge, step=step)], reps)

    count = len(tvq.open(lazy))

    def heads():
        f = tvq.open(lazy)
        return f.header, f.ender

    figures["read 256"] = timed(lambda: tvq.read(lazy), reps)
    figures["open"] = timed(heads, reps)
    figures["len"] = timed(lambda: len(tvq.open(lazy)), reps)
    figures["tail"] = timed(lambda: tvq.read(lazy, start=count - 100), reps)
    return figures


def child(python_dir, *args, env=None):
    """Runs this script, or code given, in a new python with python_dir's tvq."""
    return subprocess.run([sys.executable] + list(args), check=True, stdout=subprocess.PIPE,
                          universal_newlines=True,
                          env=dict(os.environ, PYTHONPATH=python_dir, **(env or {}))).stdout


def peak_rss(python_dir, code, *args):
    """Peak resident memory (MiB) of a child python running code. Linux
    counts in it the memory of this process when it started the child: this
    one must stay small."""
    out = child(python_dir, "-c", "import resource, sys\n" + code +
                "\nprint(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)\n", *args)
    return int(out.split()[-1]) / 1024


def make_files(work, python_dir, args):
    """The block files of the figures: read.tvq (64 MiB), lazy.tvq (256 MiB)
    and huge.tvq (about 1 GiB: the event blocks of read.tvq again and again)."""
    made = {}
    for name, mib in (("read.tvq", args.read_mib), ("lazy.tvq", args.lazy_mib)):
        path = os.path.join(work, name)
        made[name] = RECORDS_PER_BLOCK * (mib * MIB // BLOCK - 2) - 1
        child(python_dir, "-c", MAKE, path, str(made[name]))
    read = os.path.join(work, "read.tvq")
    events = os.path.getsize(read) - 2 * BLOCK
    # A piece at a time: this process stays small (see peak_rss()).
    with open(read, "rb") as source, open(os.path.join(work, "huge.tvq"), "wb") as f:
        f.write(source.read(BLOCK))
        for _ in range(max(1, args.iterate_mib * MIB // events)):
            source.seek(BLOCK)
            for left in range(events, 0, -MIB):
                f.write(source.read(min(MIB, left)))
        f.write(source.read(BLOCK))
    return made


def users_way(work, build, python_dir, records):
    """Seconds of the user's way without the module, read and write, and
    whether tvq.write gives the bytes of -t2b."""
    code = """
import os, subprocess, sys, time
import numpy as np
import tvq
work, binary, records = sys.argv[1], sys.argv[2], int(sys.argv[3])
read = os.path.join(work, "read.tvq")
listing, text = os.path.join(work, "read.listing"), os.path.join(work, "write.txt")
ours, theirs = os.path.join(work, "ours.tvq"), os.path.join(work, "theirs.tvq")
start = time.perf_counter()
subprocess.run([binary, "-b2t", read, listing], check=True, stdout=subprocess.DEVNULL)
words = np.loadtxt(listing, dtype=np.uint32, ndmin=2)
joined = words[:, 2::2] | (words[:, 3::2] << 16)
joined[:, 0].view(np.int32), joined[:, 1:].view(np.float32)
t_read = time.perf_counter() - start
data = tvq.read(read)[:records]
start = time.perf_counter()
np.savetxt(text, np.column_stack([data[n] for n in data.dtype.names[2:]]),
           fmt=["%d"] + ["%.9g"] * 5)
subprocess.run([binary, "-t2b", text, theirs], check=True, stdout=subprocess.DEVNULL)
t_write = time.perf_counter() - start
tvq.write(ours, data)
same = open(ours, "rb").read() == open(theirs, "rb").read()
for path in (listing, text, ours, theirs):
    os.remove(path)
print(t_read, t_write, same)
"""
    t_read, t_write, same = child(python_dir, "-c", code, work,
                                  os.path.join(build, "tvqconverter"), str(records)).split()
    return float(t_read), float(t_write), same == "True"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build-bench", help="build directory (release)")
    parser.add_argument("--before", help="another build, measured in the same run")
    parser.add_argument("--rounds", type=int, default=5, help="child processes of each build")
    parser.add_argument("--reps", type=int, default=3, help="timed runs in a child")
    parser.add_argument("--read-mib", type=int, default=64)
    parser.add_argument("--write-records", type=int, default=1_000_000)
    parser.add_argument("--iterate-mib", type=int, default=1024)
    parser.add_argument("--lazy-mib", type=int, default=256)
    parser.add_argument("--child", help=argparse.SUPPRESS)  # the work directory, in a child
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure(args.child, args.reps)))
        return 0

    builds = [("after", args.build)] + ([("before", args.before)] if args.before else [])
    dirs = {label: os.path.abspath(os.path.join(build, "python")) for label, build in builds}
    work = tempfile.mkdtemp(prefix="tvq-bench-")
    runs = {label: [] for label, _ in builds}
    try:
        made = make_files(work, dirs["after"], args)
        memory = {label: {step: peak_rss(dirs[label], ITERATE, os.path.join(work, "huge.tvq"),
                                         str(step)) for step in STEPS} for label, _ in builds}
        import_rss = peak_rss(dirs["after"], "import tvq")
        for round_ in range(args.rounds):
            for label, _ in builds[round_ % len(builds):] + builds[:round_ % len(builds)]:
                runs[label].append(json.loads(child(
                    dirs[label], os.path.abspath(__file__), "--child", work, "--reps",
                    str(args.reps), env={"TVQ_BENCH_WRITE_RECORDS": str(args.write_records)})))
        huge_mib = os.path.getsize(os.path.join(work, "huge.tvq")) / MIB
        t_users_read, t_users_write, same = users_way(work, builds[0][1], dirs["after"],
                                                      args.write_records)
    finally:
        shutil.rmtree(work)

    medians = {label: {name: statistics.median(run[name] for run in runs[label])
                       for name in runs[label][0]} for label in runs}
    iterate = ["iterate %d" % step for step in STEPS]
    # (what, figure of its seconds and of its floor's, target, its floor's name)
    rows = [
        ("tvq.read, %d MiB / numpy.fromfile" % args.read_mib, "read", "fromfile", 2),
        ("open file's values() / tvq.read", "values", "read", 1),
        ("tvq.write, %d rows / tofile" % args.write_records, "write", "tofile", 1.5),
        ("tvq.iterate, step 1M / read + copy", iterate[0], "floor", 1.3),
        ("tvq.iterate, step 10M / read + copy", iterate[1], "floor", 1.3),
        ("iterate step 10M / step 1M", iterate[1], iterate[0], 1.05),
        ("tvq.open + .header + .ender / read", "open", "read 256", 1 / 50),
        ("len(tvq.open(p)) / read", "len", "read 256", 1 / 2),
        ("tvq.read(p, start=len-100) / read", "tail", "read 256", 1 / 2),
    ]
    labels = [label for label, _ in reversed(builds)]
    print("%d rounds of a child process a build, %d timed runs in each; medians. Files: read "
          "%d MiB (%d records), iterate %.0f MiB, lazy %d MiB (%d records)." % (
              args.rounds, args.reps, args.read_mib, made["read.tvq"], huge_mib, args.lazy_mib,
              made["lazy.tvq"]))
    print()
    print("%-38s" % "" + "".join("%9s s %8s" % (label, "ratio") for label in labels) +
          "  %8s" % "target")
    ok = True
    for what, name, floor, target in rows:
        line = "%-38s" % what
        for label in labels:
            figure = medians[label]
            line += "%11.4f %7.3fx" % (figure[name], figure[name] / figure[floor])
        after = medians["after"][name] / medians["after"][floor]
        ok = ok and after <= target
        print(line + "  %8.3g %s" % (target, "PASS" if after <= target else "MISS"))
    print("%-38s" % ("tvq.read %d MiB, the floor above" % args.lazy_mib) + "".join(
        "%11.4f %8s" % (medians[label]["read 256"], "") for label in labels))
    print("%-38s" % ("read + copy of %.0f MiB, the floor" % huge_mib) + "".join(
        "%11.4f %8s" % (medians[label]["floor"], "") for label in labels))
    for step in STEPS:
        print("%-38s" % ("first pass of a process, step %dM" % (step // 1_000_000)) + "".join(
            "%11.4f %7.3fx" % (medians[label]["first %d" % step],
                               medians[label]["first %d" % step] / medians[label]["floor"])
            for label in labels))
    print()
    for step in STEPS:
        print("peak RSS of tvq.iterate over %.0f MiB, step %d: " % (huge_mib, step) + ", ".join(
            "%s %.1f MiB" % (label, memory[label][step]) for label in labels))
    print("(python + import tvq alone: %.1f MiB); step 1M under 100 MiB: %s" % (
        import_rss, "PASS" if memory["after"][STEPS[0]] < 100 else "MISS"))
    ok = ok and memory["after"][STEPS[0]] < 100
    after = medians["after"]
    print("the user's way: -b2t + numpy.loadtxt %.2f s (%.0fx tvq.read), numpy.savetxt + -t2b "
          "%.2f s (%.0fx tvq.write); at least 50x: %s" % (
              t_users_read, t_users_read / after["read"], t_users_write,
              t_users_write / after["write"],
              "PASS" if min(t_users_read / after["read"], t_users_write / after["write"]) >= 50
              else "MISS"))
    ok = ok and min(t_users_read / after["read"], t_users_write / after["write"]) >= 50
    print("tvq.write gives the bytes of -t2b from the same values: %s" % same)
    ok = ok and same
    print("targets: %s" % ("PASS" if ok else "MISS"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
