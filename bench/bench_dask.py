#!/usr/bin/python3
"""tvq.dask.read(...).sum().compute() over many block files on a LocalCluster
of 1 and of 2 worker processes, against a plain loop of tvq.read in one
process; prints the best of several runs of each, the speed-up of 2 workers
over 1, and the overhead of 1 worker over the plain loop (and over a loop of
what each partition does, tvq.to_pandas then pandas' sum: the scheduler's
share).

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


def plain(paths):
    """The sums of every field, file after file, with tvq.read and numpy."""
    sums = None
    for path in paths:
        values = tvq.read(path)
        part = np.array([values[name].sum(dtype=np.float64) for name in values.dtype.names])
        sums = part if sums is None else sums + part
    return sums


def plain_pandas(paths):
    """The same with what each partition does: tvq.to_pandas, then pandas' sum."""
    return sum(tvq.to_pandas(path).sum() for path in paths)


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
        plain(paths)  # into the page cache
        t_plain, sums = best(lambda: plain(paths), args.reps)
        t_pandas, _ = best(lambda: plain_pandas(paths), args.reps)
        t_one, one = on_cluster(paths, 1, args.reps)
        t_two, two = on_cluster(paths, 2, args.reps)
        for result in (one, two):
            assert np.allclose(result.to_numpy(dtype=np.float64), sums, rtol=1e-6), (result, sums)
        size = len(paths) * args.mib
        print("%-36s %8s %10s" % ("", "best s", "MiB/s"))
        for label, seconds in (("plain loop of tvq.read, one process", t_plain),
                               ("plain loop of tvq.to_pandas().sum()", t_pandas),
                               ("tvq.dask.read, 1 worker process", t_one),
                               ("tvq.dask.read, 2 worker processes", t_two)):
            print("%-36s %8.3f %10.0f" % (label, seconds, size / seconds))
        speedup, overhead = t_one / t_two, t_one / t_plain
        print("speed-up of 2 workers over 1: %.2f (target >= 1.6): %s"
              % (speedup, "PASS" if speedup >= 1.6 else "MISS"))
        print("1 worker over the plain loop: %.2fx (target <= 1.3x): %s"
              % (overhead, "PASS" if overhead <= 1.3 else "MISS"))
        print("1 worker over the loop of tvq.to_pandas().sum() (the scheduler's share): %.2fx"
              % (t_one / t_pandas))
    finally:
        shutil.rmtree(directory)


if __name__ == "__main__":
    main()
