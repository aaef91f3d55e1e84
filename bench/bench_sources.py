#!/usr/bin/python3
"""Benchmark of tvq's sources, all in one run, on a block file of random values:

- tvq.read of it gzip- and zstd-compressed against decompressing it alone
  (zcat, zstdcat; Python's gzip and zstandard modules), and the plain read;
- tvq.read of it from an HTTP server on 127.0.0.1 that serves byte ranges and
  from one that does not, against fetching its bytes alone (curl, fsspec's
  cat); tvq.open + .header + .ender of the URL: its time and the bytes the
  server sent;
- the peak resident memory of tvq.iterate over the gzip file (step 1,000,000)
  beside that over the plain file;
- Ctrl-C (SIGINT) 0.3 s into a read of the compressed file and of the URL:
  the time until KeyboardInterrupt (target: within 0.5 s).

    /usr/bin/python3 bench/bench_sources.py [--build build-bench] [--mib 256] [--reps 3]

Files go to a new directory under /tmp, removed at the end.
"""

import argparse
import gzip
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
sys.path.insert(0, HERE)
from bench_python import MAKE, MIB, peak_rss, timed  # noqa: E402
from conftest import http_server  # noqa: E402
from tvqmodel import BLOCK_SIZE as BLOCK, RECORDS_PER_BLOCK  # noqa: E402

COMPRESS = """
import gzip, sys, zstandard
data = open(sys.argv[1], "rb").read()
open(sys.argv[1] + ".gz", "wb").write(gzip.compress(data, 6))
open(sys.argv[1] + ".zst", "wb").write(zstandard.ZstdCompressor().compress(data))
"""
INTERRUPTED = """
import sys, time, tvq
print("go", flush=True)
try:
    tvq.read(sys.argv[1])
except KeyboardInterrupt:
    print(time.time(), flush=True)
"""


def interrupt_latency(python_dir, source):
    """Seconds from SIGINT, 0.3 s into tvq.read(source), to KeyboardInterrupt
    (None if the read ended first)."""
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED, source], stdout=subprocess.PIPE,
                             universal_newlines=True, env=dict(os.environ, PYTHONPATH=python_dir))
    child.stdout.readline()
    time.sleep(0.3)
    sent = time.time()
    child.send_signal(signal.SIGINT)
    out = child.communicate(timeout=60)[0].split()
    return float(out[0]) - sent if out else None


def command(*args):
    """A run of a peer tool, its output thrown away; None if it is missing."""
    if shutil.which(args[0]) is None:
        return None
    return lambda: subprocess.run(list(args), check=True, stdout=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build-bench", help="build directory (release)")
    parser.add_argument("--mib", type=int, default=256, help="size of the block file")
    parser.add_argument("--reps", type=int, default=3, help="timed runs of each")
    args = parser.parse_args()
    python_dir = os.path.abspath(os.path.join(args.build, "python"))
    sys.path.insert(0, python_dir)
    import fsspec
    import tvq
    import zstandard

    work = tempfile.mkdtemp(prefix="tvq-bench-sources-")
    rows, lines = [], []
    try:
        plain = os.path.join(work, "run.tvq")
        blocks = args.mib * MIB // BLOCK - 2
        subprocess.run([sys.executable, "-c", MAKE, plain, str(RECORDS_PER_BLOCK * blocks - 1)],
                       check=True, env=dict(os.environ, PYTHONPATH=python_dir))
        # Made by a child, and the peak memory measured first, while this
        # process is still small (a child starts as large as its parent).
        subprocess.run([sys.executable, "-c", COMPRESS, plain], check=True)
        rss = [peak_rss(python_dir, "import tvq\nn = 0\nfor c in tvq.iterate(sys.argv[1], "
                        "step=1_000_000):\n    n += len(c)\nprint(n)", path)
               for path in (plain, plain + ".gz")]
        size = os.path.getsize(plain)
        expected = tvq.read(plain).tobytes()

        def drain(stream):
            buffer = bytearray(1 << 20)
            while stream.readinto(buffer):
                pass

        t_plain = timed(lambda: tvq.read(plain), args.reps)
        for suffix, tool, module in (
                (".gz", "zcat", lambda p: drain(gzip.open(p))),
                (".zst", "zstdcat", lambda p: drain(zstandard.ZstdDecompressor().stream_reader(
                    open(p, "rb"), read_across_frames=True)))):
            path = plain + suffix
            assert tvq.read(path).tobytes() == expected
            peer = command(tool, path)
            rows.append(("tvq.read of %s" % suffix, timed(lambda: tvq.read(path), args.reps),
                         [(tool, peer and timed(peer, args.reps)),
                          ("Python's decompressor", timed(lambda: module(path), args.reps))]))
        for ranges in (True, False):
            with http_server(work, ranges) as (url, server):
                url += "run.tvq"
                assert tvq.read(url).tobytes() == expected
                fs = fsspec.filesystem("http")
                peer = command("curl", "-s", "-o", "/dev/null", url)
                rows.append(("tvq.read of a URL, %s" % ("ranges" if ranges else "no ranges"),
                             timed(lambda: tvq.read(url), args.reps),
                             [("curl", peer and timed(peer, args.reps)),
                              ("fsspec cat", timed(lambda: fs.cat(url), args.reps))]))
                server.sent = 0

                def heads():
                    with tvq.open(url) as f:
                        return f.header, f.ender

                t_heads = timed(heads, args.reps)
                lines.append("tvq.open + .header + .ender of the URL (%s): %.3f s, %.2f MiB "
                             "sent a time (file %.0f MiB)" % (
                                 "ranges" if ranges else "no ranges", t_heads,
                                 server.sent / args.reps / MIB, size / MIB))
                if ranges:
                    latency = [interrupt_latency(python_dir, url) for _ in range(3)]
        latency += [interrupt_latency(python_dir, plain + ".gz") for _ in range(3)]
    finally:
        shutil.rmtree(work)

    print("tvq.read of the plain file (%.0f MiB): %.3f s" % (size / MIB, t_plain))
    print("%-30s %8s   %s" % ("", "time s", "peers: time s (tvq / peer)"))
    for name, t, peers in rows:
        print("%-30s %8.3f   %s" % (name, t, ", ".join(
            "%s %s" % (peer, "missing" if tp is None else "%.3f (%.2fx)" % (tp, t / tp))
            for peer, tp in peers)))
    for line in lines:
        print(line)
    print("tvq.iterate, step=1_000_000: peak RSS %.1f MiB over the .gz, %.1f MiB over the plain "
          "file" % (rss[1], rss[0]))
    got = [x for x in latency if x is not None]
    print("Ctrl-C 0.3 s into a read (URL x3, .gz x3): %s s" % " ".join("%.3f" % x for x in got))
    ok = got and max(got) <= 0.5 and rss[1] < rss[0] + 16
    print("targets (Ctrl-C within 0.5 s, iterate over the .gz within 16 MiB of the plain file's): "
          "%s" % ("PASS" if ok else "MISS"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
