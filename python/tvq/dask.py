"""Many block files on a Dask cluster: one dataframe over all their values,
and the program's conversions run on the workers.

    import tvq.dask
    frame = tvq.dask.read("runs/*.tvq")           # one partition per file
    frame.groupby("event_id").v1.mean().compute()
    table = tvq.dask.convert("runs/*.tvq", "-b2t", "listings")

Both use the scheduler in force: the workers of a dask.distributed Client once
one is made (a LocalCluster, or a scheduler elsewhere), else Dask's own
threads. Paths are made absolute on the calling machine, so that every worker
finds the same files: on a cluster they must lie on a file system that all
workers share.
"""

import glob
import os
import signal
import shutil
import subprocess

import dask
import dask.base
import dask.dataframe
import numpy
import pandas

from .frames import to_pandas
from .layout import dtype as values_dtype

# The program's conversions and the name each gives its output in out_dir.
OUTPUT_SUFFIXES = {"-b2rb": ".rb", "-b2t": ".txt", "-t2b": ".tvq"}


def _files(paths):
    """Absolute paths of a glob pattern (a str, sorted), of one path (a
    path-like object) or of a list of paths."""
    if isinstance(paths, (str, bytes)):
        pattern = os.fsdecode(paths)
        found = sorted(glob.glob(pattern))
        if not found:
            raise FileNotFoundError("no file matches %r" % (pattern,))
        return [os.path.abspath(path) for path in found]
    if isinstance(paths, os.PathLike):
        paths = [paths]
    files = [os.path.abspath(os.fsdecode(path)) for path in paths]
    if not files:
        raise ValueError("no files given")
    return files


def read(paths, layout=None, data_size=None, names=None):
    """A dask DataFrame of the values of many block files, one partition per
    file: those of a glob pattern (a str) in sorted order, or of a list of
    paths in its order.

    The columns are those of tvq.read (block, event_id, then the layout's value
    fields) and are known before any file is read. Each worker reads its own
    files when the frame is computed; a damaged file fails the computation with
    tvq.FormatError naming that file, a missing one with FileNotFoundError."""
    meta = pandas.DataFrame(numpy.empty(0, dtype=values_dtype(layout, data_size, names)))
    files = _files(paths)
    # The files' times and sizes in the name of the frame's pieces: a file
    # changed since an earlier read() is not taken for a piece that a cluster
    # still holds under the same name.
    token = dask.base.tokenize(files, [_stamp(path) for path in files], layout, data_size, names)
    return dask.dataframe.from_map(to_pandas, files, args=(layout, data_size, names),
                                   meta=meta, label="tvq-read", token=token)


def _stamp(path):
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_mtime_ns, status.st_size


def _program(program):
    """The program to run on this worker: the given one, else $TVQCONVERTER,
    else tvqconverter on PATH."""
    if program is None:
        program = os.environ.get("TVQCONVERTER") or shutil.which("tvqconverter") or "tvqconverter"
    return os.fspath(program)


def _convert_one(option, source, output, program):
    """Runs the program on one file: (exit status as a shell gives it, what the
    program printed). As in the README's recipes, the program writes under a
    temporary name beside the output (OUTPUT.part), which becomes the output
    only when the conversion succeeded: an output, once it exists, is
    complete, and a failed or interrupted conversion leaves none behind. An
    existing output is never replaced."""
    program = _program(program)
    if os.path.lexists(output):
        return 255, "all ready exist %s\n" % output  # as the program refuses it
    part = output + ".part"
    for step in (lambda: os.makedirs(os.path.dirname(output), exist_ok=True),
                 lambda: os.unlink(part)):  # a temporary left by an interrupted run
        try:
            step()
        except OSError:
            pass  # the program says that it cannot open its output
    try:
        run = subprocess.run([program, option, source, part], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=False)
    except OSError as error:
        # What a shell answers for a program it cannot start.
        return 127, "cannot run %s: %s\n" % (program, error.strerror)
    message = os.fsdecode(run.stdout)
    status = run.returncode
    if status < 0:
        # Killed by a signal, which prints nothing: say which, as a shell does.
        try:
            name = signal.Signals(-status).name
        except ValueError:
            name = "signal %d" % -status
        message += "killed by %s\n" % name
        status = 128 - status
    if status == 0:
        try:
            os.link(part, output)  # fails, replacing nothing, if the output appeared meanwhile
        except FileExistsError:
            status, message = 255, message + "all ready exist %s\n" % output
        except OSError as error:
            status, message = 255, message + "cannot rename %s to %s: %s\n" % (
                part, output, error.strerror)
    try:
        os.unlink(part)
    except FileNotFoundError:
        pass
    return status, message


def convert(paths, option, out_dir, program=None):
    """Runs `tvqconverter OPTION FILE OUT_DIR/NAME` for every file, on the
    workers, and returns a pandas DataFrame with one row per file, in order:
    file and output (absolute paths), status (the exit status: 0 for a conversion that ran to
    its end) and message (everything the program printed).

    NAME is the file's name with the extension of the output: .rb for -b2rb,
    .txt for -b2t, .tvq for -t2b. An existing output is refused as the program
    refuses it ("all ready exist ...", status 255) and left as it is; the
    program writes NAME.part, which becomes NAME only when it succeeded, so a
    failed or interrupted conversion leaves no output behind. The program is `program` if given, else
    $TVQCONVERTER on the worker, else tvqconverter on the worker's PATH."""
    if option not in OUTPUT_SUFFIXES:
        raise ValueError("option must be one of %s, not %r" % (", ".join(OUTPUT_SUFFIXES), option))
    files = _files(paths)
    out_dir = os.path.abspath(os.fspath(out_dir))
    outputs = []
    for source in files:
        stem = os.path.splitext(os.path.basename(source))[0]
        outputs.append(os.path.join(out_dir, stem + OUTPUT_SUFFIXES[option]))
    seen = {}
    for source, output in zip(files, outputs):
        if output in seen:
            raise ValueError("%s and %s would both be converted to %s" % (seen[output], source, output))
        seen[output] = source
    if program is not None and os.sep in os.fspath(program):
        program = os.path.abspath(os.fspath(program))
    run = dask.delayed(_convert_one, pure=False)
    results = dask.compute(*[run(option, source, output, program)
                             for source, output in zip(files, outputs)])
    return pandas.DataFrame({
        "file": files,
        "output": outputs,
        "status": pandas.array([status for status, _ in results], dtype="int64"),
        "message": [message for _, message in results],
    })
