#!/usr/bin/python3
"""tvq.dask.read(...).sum().compute() over many block files on a LocalCluster
of 1 and of 2 worker processes, against a loop in one process that does the
same work as the workers (each file's tvq.to_pandas, then pandas' sum, the
sums added up); prints the best of several runs of each, the speed-up of 2
workers over 1, and the overhead of 1 worker over the loop (the scheduler's
share). Every result is checked against sums of the values in float64:
pandas sums float32 columns in float32, so a float field's sum is compared
within what float32 sums can be off by, an integer field's exactly.

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_dask.py
    PYTHONPATH=build/python /usr/bin/python3 bench/bench_dask.py --files 4 --mib 8 --reps 2

The files (16 of 64 MiB: 1 GiB) are written with tvq.write into a new
directory under /tmp, read once to have them in the page cache, and removed at
the end."""

import argparse
import os
import shutil
import sys
import tempfile
import time

import numpy as np

import tvq
import tvq.dask

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from tvqmodel import BLOCK_SIZE as BLOCK, RECORDS_PER_BLOCK  # noqa: E402


def make_files(directory, count, mib, seed):
    """count files of mib MiB each (header, event blocks, ender): one written
    with tvq.write, the others copies of it."""
    records = (mib * 1024 * 1024 // BLOCK - 2) * RECORDS_PER_BLOCK
    rng = np.random.default_rng(seed)
    values = np.empty(records, tvq.dtype())
    for name in values.dtype.names[2:]:
        kind = values.dtype[name].kind
        values[name] = rng.integers(-1000, 1000, records) if kind == "i" else rng.normal(0, 100, records)
    first = os.path.join(directory, "run0000.tvq")
    tvq.write(first, values)
    paths = [first]
    for i in range(1, count):
        paths.append(os.path.join(directory, "run%04d.tvq" % i))
        shutil.copyfile(first, paths[-1])
    return paths, records


def loop(paths):
    """What the workers do, file after file: tvq.to_pandas, then pandas' sum."""
    return sum(tvq.to_pandas(path).sum() for path in paths)


def reference(paths):
    """(sums in float64, what a float32 sum of each field may be off by, kind
    of each field) of the values of the files."""
    sums = bound = 0
    for path in paths:
        values = tvq.read(path)
        fields = [values[name].astype(np.float64) for name in values.dtype.names]
        sums = sums + np.array([field.sum() for field in fields])
        bound = bound + np.array([np.abs(field).sum() for field in fields])
    kinds = [values.dtype[name].kind for name in values.dtype.names]
    # float32 sums, pairwise or in order: a few ulps of each partial sum.
    return sums, 1e-5 * bound, kinds


def check(result, expected):
    """Each field's sum as the float64 one: integers exactly, floats within
    what float32 sums may be off by."""
    sums, bound, kinds = expected
    got = result.to_numpy(dtype=np.float64)
    exact = np.array([kind != "f" for kind in kinds])
    assert (got[exact] == sums[exact]).all() and (np.abs(got - sums) <= bound).all(), (
        result, sums)


def best(function, reps):
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
    return min(times), result


def on_cluster(paths, workers, reps):
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster):
        def run():
            # New times, so new names for the pieces: a cluster may still
            # hold the previous run's pieces under the old ones.
            for path in paths:
                os.utime(path)
            return tvq.dask.read(paths).sum().compute()

        tvq.dask.read(paths[:1]).sum().compute()  # workers import tvq and pandas once
        return best(run, reps)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--mib", type=int, default=64, help="size of each file")
    parser.add_argument("--reps", type=int, default=3, help="timed runs of each; the best counts")
    parser.add_argument("--seed", type=int, default=19)
    parser.add_argument("--no-malloc-trim", action="store_true",
                        help="workers without the MALLOC_TRIM_THRESHOLD_ that dask.distributed "
                             "sets (it makes every large array take new pages)")
    args = parser.parse_args()
    if args.no_malloc_trim:
        import dask
        import distributed  # noqa: F401  (its settings)

        environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
        environ.pop("MALLOC_TRIM_THRESHOLD_", None)
        dask.config.set({"distributed.nanny.pre-spawn-environ": environ})
    directory = tempfile.mkdtemp(prefix="tvq-bench-dask-")
    try:
        paths, records = make_files(directory, args.files, args.mib, args.seed)
        print("%d files of %d MiB, %d records each, in %s; %d cores"
              % (len(paths), args.mib, records, directory, os.cpu_count()))
        expected = reference(paths)  # the files in the page cache too
        t_loop, sums = best(lambda: loop(paths), args.reps)
        t_one, one = on_cluster(paths, 1, args.reps)
        t_two, two = on_cluster(paths, 2, args.reps)
        for result in (sums, one, two):
            check(result, expected)
        size = len(paths) * args.mib
        print("%-40s %8s %10s" % ("", "best s", "MiB/s"))
        for label, seconds in (("loop of tvq.to_pandas().sum(), one process", t_loop),
                               ("tvq.dask.read, 1 worker process", t_one),
                               ("tvq.dask.read, 2 worker processes", t_two)):
            print("%-40s %8.3f %10.0f" % (label, seconds, size / seconds))
        speedup, overhead = t_one / t_two, t_one / t_loop
        print("speed-up of 2 workers over 1: %.2f (target >= 1.6): %s"
              % (speedup, "PASS" if speedup >= 1.6 else "MISS"))
        print("1 worker over the loop (the scheduler's share): %.2fx (target <= 1.3x): %s"
              % (overhead, "PASS" if overhead <= 1.3 else "MISS"))
    finally:
        shutil.rmtree(directory)


if __name__ == "__main__":
    main()
