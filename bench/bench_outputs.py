#!/usr/bin/python3
"""Benchmark of what python3 -m tvq writes from a run of about 200 MiB, each
command in a child process of its own: wall time (median) and peak resident
memory, against the way to the same output with the values read whole
(tvq.read, then numpy, h5py or pandas), timed in the same run, alternately.

- plot: streaming histograms and the PNG, against tvq.read + numpy.histogram
  of every field + the PNG;
- export to .h5, .csv and .npy, against h5py's create_dataset (the same
  chunks and compression), pandas' to_csv and numpy.save of tvq.read.

    /usr/bin/python3 bench/bench_outputs.py [--build build-bench] [--reps 3] [--mib 200]

Files go to a new directory under /tmp, removed at the end (about 1 GB).
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))

# Makes a block file of random values (a fill value of +-3.4e38 here and
# there): path, records.
MAKE = """
import sys
import numpy as np
import tvq
count = int(sys.argv[2])
rng = np.random.default_rng(25)
values = np.zeros(count, tvq.dtype())
values["v0"] = rng.integers(0, 4096, count)
for name in values.dtype.names[3:]:
    values[name] = rng.normal(1000, 50, count)
values["v5"][::1000] = 3.4e38
values["v5"][1::1000] = -3.4e38
tvq.write(sys.argv[1], values)
"""

# The same outputs from the values read whole: sys.argv[1] the run, [2] the output.
WHOLE = {
    "plot": """
import numpy as np, tvq
from matplotlib.figure import Figure
values = tvq.read(sys.argv[1])
fig = Figure()
for i, name in enumerate(values.dtype.names[2:]):
    column = values[name][np.isfinite(values[name])].astype(np.float64)
    counts, edges = np.histogram(column, 100)
    fig.add_subplot(2, 3, i + 1).stairs(counts, edges, fill=True)
fig.savefig(sys.argv[2], format="png")
""",
    ".h5": """
import h5py, numpy as np, tvq
values = tvq.read(sys.argv[1])
packed = np.empty(len(values), [(n, values.dtype[n]) for n in values.dtype.names])
for name in values.dtype.names:
    packed[name] = values[name]
with h5py.File(sys.argv[2], "w") as f:
    f.create_dataset("run", data=packed, chunks=(1 << 16,), shuffle=True, compression="gzip",
                     compression_opts=1)
""",
    ".csv": "import tvq\ntvq.to_pandas(sys.argv[1]).to_csv(sys.argv[2], index=False)\n",
    ".npy": "import numpy as np, tvq\nnp.save(sys.argv[2], tvq.read(sys.argv[1]))\n",
}


def run(maxrss, python_dir, argv, output):
    """(wall time s, peak RSS MiB) of a child; its output removed after."""
    result = output + ".rss"
    start = time.perf_counter()
    subprocess.run([maxrss, result] + argv, check=True, stdout=subprocess.DEVNULL,
                   env=dict(os.environ, PYTHONPATH=python_dir))
    elapsed = time.perf_counter() - start
    with open(result) as f:
        rss = int(f.read().split()[0]) / 1024
    os.remove(result)
    os.remove(output)
    return elapsed, rss


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build-bench", help="build directory (release)")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--mib", type=int, default=200, help="size of the run")
    args = parser.parse_args()
    python_dir = os.path.abspath(os.path.join(args.build, "python"))
    work = tempfile.mkdtemp(prefix="tvq-bench-")
    try:
        maxrss = os.path.join(work, "maxrss")
        subprocess.run(["cc", "-O2", "-o", maxrss, os.path.join(BENCH, "maxrss.c")], check=True)
        source = os.path.join(work, "run.tvq")
        records = (args.mib << 20) // 16384 * 481
        subprocess.run([sys.executable, "-c", MAKE, source, str(records)], check=True,
                       env=dict(os.environ, PYTHONPATH=python_dir))
        print("run: %.1f MiB, %d records, %d reps (median)" % (
            os.path.getsize(source) / (1 << 20), records, args.reps))
        print("%-8s %9s %9s   %-34s %9s %9s" % ("", "time s", "peak MiB", "values read whole",
                                                "time s", "peak MiB"))
        for what, code in WHOLE.items():
            output = os.path.join(work, "out" + (".png" if what == "plot" else what))
            command = [sys.executable, "-m", "tvq", "plot" if what == "plot" else "export",
                       source, "-o", output]
            ours, theirs = [], []
            for _ in range(args.reps):  # alternately
                ours.append(run(maxrss, python_dir, command, output))
                theirs.append(run(maxrss, python_dir, [sys.executable, "-c", "import sys\n" +
                                                       code, source, output], output))
            peer = {"plot": "tvq.read + numpy.histogram", ".h5": "tvq.read + h5py",
                    ".csv": "tvq.to_pandas + DataFrame.to_csv",
                    ".npy": "tvq.read + numpy.save"}[what]
            print("%-8s %9.2f %9.0f   %-34s %9.2f %9.0f" % (
                what, statistics.median(t for t, _ in ours), max(m for _, m in ours), peer,
                statistics.median(t for t, _ in theirs), max(m for _, m in theirs)))
    finally:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
