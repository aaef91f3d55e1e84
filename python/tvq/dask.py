"""Many block files on a Dask cluster: one dataframe over all their values,
and the program's conversions run on the workers.

    import tvq.dask
    frame = tvq.dask.read("runs/*.tvq")           # one partition per file
    frame = tvq.dask.read("runs/*.tvq", blocksize="128 MiB", include_path_column=True)
    frame.groupby("event_id").v1.mean().compute()
    table = tvq.dask.convert("runs/*.tvq", "-b2t", "listings")

Both use the scheduler in force: the workers of a dask.distributed Client once
one is made (a LocalCluster, or a scheduler elsewhere), else Dask's own
threads. Paths are made absolute on the calling machine, so that every worker
finds the same files: on a cluster they must lie on a file system that all
workers share, or be URLs (through fsspec: http://, s3://, ...), which each
worker opens itself.
"""

import glob
import os
import secrets
import signal
import shutil
import subprocess

import warnings

import dask
import dask.base
import dask.dataframe
import dask.utils
import numpy
import pandas

from . import _tvq
from .frames import data_frame
from .layout import Layout
from .reading import _ALL, _skip, read as tvq_read
from .sources import expand, is_url, name_of, source, stamp as _stamp

# The program's conversions and the name each gives its output in out_dir.
OUTPUT_SUFFIXES = {"-b2rb": ".rb", "-b2t": ".txt", "-t2b": ".tvq"}


def _files(paths):
    """Absolute paths of a glob pattern (a str, sorted), of one path (a
    path-like object) or of a list of paths (file objects kept as they are,
    for read in threads of this process); URLs as they are, those of a
    pattern sorted."""
    if is_url(paths):
        return expand(paths)
    if isinstance(paths, (str, bytes)):
        pattern = os.fsdecode(paths)
        found = sorted(glob.glob(pattern))
        if not found:
            raise FileNotFoundError("no file matches %r" % (pattern,))
        return [os.path.abspath(path) for path in found]
    if isinstance(paths, os.PathLike):
        paths = [paths]
    files = [path if is_url(path) else os.path.abspath(os.fsdecode(path))
             if isinstance(path, (str, bytes, os.PathLike)) else path for path in paths]
    if not files:
        raise ValueError("no files given")
    return files


def read(paths, layout=None, data_size=None, names=None, *, columns=None, errors="strict",
         include_path_column=False, blocksize=None):
    """A dask DataFrame of the values of many block files: those of a glob
    pattern (a str) in sorted order, or of a list of paths in its order.

    The columns are those of tvq.read (block, event_id, then the layout's value
    fields), or those named in columns, and are known before any file is read;
    include_path_column=True adds a categorical column "path" (a str names it)
    with each row's file. One partition per file, or with blocksize (bytes, or
    a string such as "128 MiB") partitions of whole event blocks of at most
    that size: their rows are those of tvq.read, whatever lies after the walk's
    end. Each worker reads its own files when the frame is computed; a damaged
    file fails the computation with tvq.FormatError naming that file, a
    missing one with FileNotFoundError; errors="skip" keeps the records that
    -b2t lists in full, each problem a tvq.DamageWarning."""
    skip = _skip(errors)
    row_type, _ = Layout(layout, data_size, names).select(columns)
    path_column = ("path" if include_path_column is True else include_path_column) or None
    files = _files(paths)
    labels = [os.fsdecode(name_of(file)) for file in files]
    rows = (row_type, path_column, list(dict.fromkeys(labels)))
    meta = _frame(numpy.empty(0, row_type), rows, None)
    # The files' times and sizes in the name of the frame's pieces: a file
    # changed since an earlier read() is not taken for a piece that a cluster
    # still holds under the same name.
    stamps = [_stamp(path) for path in files]
    token = dask.base.tokenize(files, stamps, layout, data_size, names, columns, skip, path_column,
                               blocksize)
    shape = (layout, data_size, names, columns, skip)
    if blocksize is None:
        return dask.dataframe.from_map(_file_frame, files, labels, args=(shape, rows),
                                       meta=meta, label="tvq-read", token=token)
    blocks = max(1, dask.utils.parse_bytes(blocksize) // _tvq.BLOCK_SIZE)
    parts = []
    for index, (path, stamp, label) in enumerate(zip(files, stamps, labels)):
        # A file object is one partition: it may not seek.
        in_file = max(1, -(-(stamp[1] if stamp else 0) // _tvq.BLOCK_SIZE)) \
            if isinstance(path, str) else 1
        # A range is read only if the walk reached it: each knows from the
        # one before whether the walk went on past its end.
        reached = True
        for first in range(0, in_file, blocks):
            key = "%s-%d-%d" % (token, index, first)
            part = dask.delayed(_read_range, pure=True)(
                path if isinstance(path, str) else _Held(path),
                first, first + blocks if isinstance(path, str) else 0, shape,
                dask_key_name="tvq-range-" + key)
            parts.append(dask.delayed(_reached_frame, pure=True)(
                part, reached, rows, label, dask_key_name="tvq-read-" + key))
            reached = dask.delayed(_goes_on, pure=True)(part, reached,
                                                        dask_key_name="tvq-reached-" + key)
    return dask.dataframe.from_delayed(parts, meta=meta, prefix="tvq-read", verify_meta=False)


def _frame(values, rows, label):
    """A pandas DataFrame of value rows, with the path column if asked for:
    label, the file's name, of the categories of all files."""
    _, path_column, labels = rows
    frame = data_frame(values)
    if path_column is not None:
        frame[path_column] = pandas.Categorical.from_codes(
            numpy.full(len(values), labels.index(label) if len(values) else 0, numpy.int32),
            categories=labels)
    return frame


def _file_frame(path, label, shape, rows):
    layout, data_size, names, columns, skip = shape
    values = tvq_read(path, layout, data_size, names, columns=columns,
                      errors="skip" if skip else "strict")
    return _frame(values, rows, label)


class _Held:
    """A file object as a task's argument: Dask would read an iterator into a
    tuple."""

    def __init__(self, held):
        self.held = held


def _read_range(path, first, stop, shape):
    """The rows of event blocks first to stop - 1 (from the header for
    first 0): (values, whether the walk went on past them, what failed, the
    problems passed over). Nothing is raised: the range may lie after the
    walk's end, where nothing counts."""
    layout, data_size, names, columns, skip = shape
    values_layout = Layout(layout, data_size, names)
    row_type, pieces = values_layout.select(columns)
    values, failure, problems, went_on = numpy.empty(0, row_type), None, [], False
    try:
        src = source(path.held if isinstance(path, _Held) else path)
        if not src.seekable:  # read whole by the range from its start
            if first > 0:
                return values, False, None, []
            stop = 0
        reader = src.reader(values_layout, row_type, pieces, skip)
        if first > 0:
            reader.seek(first)
        reader.range(0, -1, stop)
        try:
            got = reader.next(_ALL)
            values = values if got is None else got
            went_on = reader.reached_stop()
        finally:
            problems = reader.problems()
            src.close()
    except (OSError, ValueError) as error:  # FormatError is a ValueError
        failure = error
    return values, went_on, failure, problems


def _reached_frame(part, reached, rows, label):
    values, _, failure, problems = part
    if not reached:
        values, problems, failure = values[:0], [], None
    for problem in problems:
        warnings.warn(problem, stacklevel=2)
    if failure is not None:
        raise failure
    return _frame(values, rows, label)


def _goes_on(part, reached):
    return reached and part[1]


def _program(program):
    """The program to run on this worker: the given one, else $TVQCONVERTER,
    else tvqconverter on PATH."""
    if program is None:
        program = os.environ.get("TVQCONVERTER") or shutil.which("tvqconverter") or "tvqconverter"
    return os.fspath(program)


def _convert_one(option, source, output, program, made):
    """Runs the program on one file: (exit status as a shell gives it, what the
    program printed). As in the README's recipes, the program writes under a
    temporary name beside the output (OUTPUT.part), which becomes the output
    only when the conversion succeeded: an output, once it exists, is
    complete, and a failed or interrupted conversion leaves none behind. An
    existing output is never replaced.

    made is a second name this call keeps for the output it made (a hard link,
    removed when the call returns): a task run again after its worker died
    knows its own output by it, not by its name, and converts again for the
    status and message, leaving the output as it is."""
    program = _program(program)
    ours = os.path.lexists(output) and _same_file(output, made)
    if os.path.lexists(output) and not ours:
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
    if status == 0 and not ours:
        try:
            _remove(made)  # of a try of this call that died before linking the output
            os.link(part, made)
            os.link(part, output)  # fails, replacing nothing, if the output appeared meanwhile
        except FileExistsError:
            status, message = 255, message + "all ready exist %s\n" % output
        except OSError as error:
            status, message = 255, message + "cannot rename %s to %s: %s\n" % (
                part, output, error.strerror)
        if status != 0:
            _remove(made)
    _remove(part)
    return status, message


def _remove(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


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
    call = secrets.token_hex(8)
    made = [output + ".made-" + call for output in outputs]
    try:
        results = dask.compute(*[run(option, source, output, program, kept)
                                 for source, output, kept in zip(files, outputs, made)])
    finally:
        for kept in made:
            _remove(kept)
    return pandas.DataFrame({
        "file": files,
        "output": outputs,
        "status": pandas.array([status for status, _ in results], dtype="int64"),
        "message": [message for _, message in results],
    })
