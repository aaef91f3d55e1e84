"""What a reading call is given, turned into what the core reads: a path
(str, bytes or os.PathLike), a binary file object, seekable or not, or a URL
read through fsspec ("http://...", "memory://...", "file://..."). Data
compressed with gzip, bzip2, xz or zstd is known by its first bytes and read
as it is decompressed. Messages name the source as the user gave it."""

import atexit
import codecs
import errno
import io
import os
import re
import stat
import weakref

from . import _tvq

BLOCK_SIZE = _tvq.BLOCK_SIZE
HEAD = 16  # the first bytes looked at, and shown in messages
# Word 0 of an event, header or ender block: a file that starts otherwise is
# no block file.
FLAGS = (b"\x00\x00", b"\x01\x00", b"\xff\xff")
# A remote file read in ranges: small ones while only the header and the last
# block are wanted, large ones for a walk.
SMALL_RANGES, LARGE_RANGES = BLOCK_SIZE, 4 << 20
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*(::[A-Za-z][A-Za-z0-9+.-]*)*://")


def _gzip(raw):
    import gzip
    return gzip.GzipFile(fileobj=raw, mode="rb")


def _bzip2(raw):
    import bz2
    return bz2.BZ2File(raw, "rb")


def _xz(raw):
    import lzma
    return lzma.LZMAFile(raw, "rb")


def _zstd(raw):
    try:
        import zstandard
    except ImportError:
        raise ImportError("reading zstd data needs the zstandard module "
                          "(Debian: python3-zstandard)") from None
    return zstandard.ZstdDecompressor().stream_reader(raw, read_across_frames=True,
                                                      closefd=False)


# first bytes, name, a decompressing reader of a binary file object
COMPRESSIONS = [(re.compile(re.escape(b"\x1f\x8b")), "gzip", _gzip),
                (re.compile(b"BZh[1-9]"), "bzip2", _bzip2),
                (re.compile(re.escape(b"\xfd7zXZ\x00")), "xz", _xz),
                (re.compile(re.escape(b"\x28\xb5\x2f\xfd")), "zstd", _zstd)]
# What a file that is no block file looks like, by its first bytes.
LOOKS = [(re.compile(re.escape(start)), name) for start, name in [
    (b"PK\x03\x04", "zip archive"), (b"PK\x05\x06", "zip archive"),
    (b"\x89HDF\r\n\x1a\n", "HDF5 file"), (b"\x93NUMPY", "NumPy .npy file"),
    (b"CDF\x01", "netCDF file"), (b"CDF\x02", "netCDF file"), (b"root", "ROOT file"),
    (b"SQLite format 3\x00", "SQLite database"), (b"\x89PNG", "PNG picture"),
    (b"%PDF", "PDF document"), (b"\x7fELF", "program (ELF)"),
    (b"7z\xbc\xaf\x27\x1c", "7-Zip archive"), (b"Rar!", "RAR archive"),
    (b"\x04\x22\x4d\x18", "lz4 data")]] + [
        (pattern, name + " data") for pattern, name, _ in COMPRESSIONS]


def _compression(head):
    for pattern, name, reader in COMPRESSIONS:
        if pattern.match(head):
            return name, reader
    return None


def looks(head):
    """What the first bytes of a file that is no block file look like, in a
    few words, with the bytes; None for the start of a block file."""
    if not head or head[:2] in FLAGS:
        return None
    for start, name in LOOKS:
        if start.match(head):
            return "%s? first bytes %s" % (name, _hex(head))
    try:  # a character cut at the end is left out
        text = codecs.getincrementaldecoder("utf-8")().decode(head)
    except UnicodeDecodeError:
        text = ""
    if text and all(c.isprintable() or c in "\t\n\r" for c in text):
        return 'text? first bytes "%s"' % text.encode("unicode_escape").decode("ascii")
    return "no block file: first bytes %s" % _hex(head)


def _hex(data):
    return " ".join("%02x" % byte for byte in data)


def checked_path(given):
    """A path as bytes; a NUL in it is refused (the system would cut the name
    at it)."""
    path = os.fsencode(given)
    if b"\0" in path:
        raise ValueError("embedded null byte in the path %r" % (given,))
    return path


def name_of(given):
    """The name that messages give a source (bytes), found without reading."""
    if isinstance(given, (str, bytes, os.PathLike)):
        return os.fsencode(given)
    name = getattr(given, "name", None)
    return os.fsencode(name if isinstance(name, (str, bytes)) else repr(given))


def listed(given):
    """The sources of one (a path, a URL or a file object) or of an iterable
    of them, as a list."""
    if isinstance(given, (str, bytes, os.PathLike)) or hasattr(given, "read"):
        return [given]
    return list(given)


def is_url(given):
    return isinstance(given, str) and _URL.match(given) is not None


def _fsspec():
    try:
        import fsspec
    except ImportError:
        raise ImportError("reading URLs needs fsspec (Debian: python3-fsspec)") from None
    return fsspec


def _remote_failure(error, name):
    """The OSError of a failed remote call, for the source as given: an HTTP
    status in its words, a failed connection by its errno; no client
    library's internals."""
    cause = error
    while cause.__cause__ is not None:
        cause = cause.__cause__
    status = getattr(cause, "status", None)
    if isinstance(status, int) and status >= 400:
        number = {401: errno.EACCES, 403: errno.EACCES, 404: errno.ENOENT,
                  410: errno.ENOENT}.get(status, errno.EIO)
        from http import HTTPStatus  # only a remote source's failure needs it
        try:
            words = getattr(cause, "message", None) or HTTPStatus(status).phrase
        except ValueError:
            words = "error"
        return OSError(number, "HTTP %d %s" % (status, words), name)
    if isinstance(cause, OSError) and cause.errno:
        return OSError(cause.errno, os.strerror(cause.errno), name)
    if isinstance(error, FileNotFoundError):
        return FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), name)
    return OSError(errno.EIO, str(cause) or type(cause).__name__, name)


class _Stream(io.RawIOBase):
    """A source's bytes as the core and the decompressors read them: the
    bytes read to look at first, then the rest; failures of a remote source
    as the OSError of their kind. Closing closes what it owns."""

    def __init__(self, inner, name, head=b"", seekable=False, owned=True, remote=False):
        super().__init__()
        self._inner, self._name, self._head = inner, name, head
        self._seekable, self._owned, self._remote = seekable, owned, remote
        #: a read of the source itself failed (not a decompression)
        self.failed = False
        if remote and owned:
            _REMOTE.add(self)

    def readable(self):
        return True

    def seekable(self):
        return self._seekable

    def _call(self, call, *args):
        try:
            return call(*args)
        except Exception as error:  # noqa: BLE001 - said as an OSError
            self.failed = True
            if self._remote:
                raise _remote_failure(error, os.fsdecode(self._name)) from None
            raise

    def seek(self, offset, whence=io.SEEK_SET):
        return self._call(self._inner.seek, offset, whence)

    def tell(self):
        return self._call(self._inner.tell)

    def readinto(self, buffer):
        if self._head:
            count = min(len(buffer), len(self._head))
            buffer[:count] = self._head[:count]
            self._head = self._head[count:]
            return count
        response, loop = getattr(self._inner, "r", None), getattr(self._inner, "loop", None)
        if response is not None and loop is not None:  # a streamed HTTP response
            data = self._call(_fsspec().asyn.sync, loop, _gather, response.content, len(buffer))
            buffer[:len(data)] = data
            return len(data)
        if hasattr(self._inner, "readinto"):
            got = self._call(self._inner.readinto, buffer)
            if got is not None and not 0 <= got <= len(buffer):  # Python's read() trusts it
                raise ValueError("readinto() gave %d bytes, not 0 to %d" % (got, len(buffer)))
            return got
        data = self._call(self._inner.read, len(buffer))
        buffer[:len(data)] = data
        return len(data)

    def close(self):
        if not self.closed and self._owned:
            _close(self._inner)
        super().close()


async def _release(response):
    response.close()


async def _gather(content, size):
    """size bytes of a response's body (fewer at its end): one call from
    another thread for many pieces of the body. Its own bytes: a call given
    up (Ctrl-C) still writes nothing of the caller's."""
    pieces, got = [], 0
    while got < size:
        data = await content.read(size - got)
        if not data:
            break
        pieces.append(data)
        got += len(data)
    return b"".join(pieces)


def _close(stream):
    """Closes a stream; a streamed HTTP response at once, which its own
    close() leaves to the client's thread: one still open when Python ends
    is said on standard error."""
    response, loop = getattr(stream, "r", None), getattr(stream, "loop", None)
    running = None
    if response is not None and loop is not None:
        import asyncio  # loaded already by the client that made the stream
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            pass
    # In the client's own thread (a collection of garbage may run there),
    # its close() does it.
    if response is not None and loop is not None and running is not loop:
        try:
            _fsspec().asyn.sync(loop, _release, response, timeout=5)
        except Exception:  # noqa: BLE001 - its close() below tries again
            pass
    stream.close()


# Remote streams still open: closed before Python ends, while the client's
# thread still runs.
_REMOTE = weakref.WeakSet()
atexit.register(lambda: [stream.close() for stream in list(_REMOTE)])


class _Decompressed(io.RawIOBase):
    """A compressed stream, decompressed as it is read. Data that does not
    decompress ends the stream there, so that the walk finds what is missing
    and names the block; the source keeps the reason for its messages."""

    def __init__(self, source, raw, reader):
        super().__init__()
        # weak: the source holds its stream, which is closed when neither is used
        self._source, self._raw = weakref.proxy(source), raw
        self._reader = reader(raw)
        self._out = 0
        self._ended = False

    def readable(self):
        return True

    def readinto(self, buffer):
        if self._ended:
            return 0
        try:  # one read of the compressed data at most: what it gave is not lost
            got = self._reader.readinto1(buffer)
        except Exception as error:  # noqa: BLE001 - each library has its own
            if self._raw.failed:
                raise
            self._ended = True
            self._source.cut(self._out, error)
            return 0
        if self._out < HEAD:
            self._source.heard(bytes(buffer[:min(got, HEAD - self._out)]), self._out)
        self._out += got
        return got

    def close(self):
        if not self.closed:
            self._reader.close()
            self._raw.close()
        super().close()


def _head_of(read):
    """The first HEAD bytes that read() gives (fewer at the end)."""
    head = b""
    while len(head) < HEAD:
        got = read(HEAD - len(head))
        if not got:
            break
        head += got
    return head


class Source:
    """A source for the core. take() gives what the core reads for one pass
    from its start: a path (bytes) or a binary file object. .name (bytes)
    names it in messages; .seekable: its blocks can be read by their index;
    .repeatable: it can be read again from its start (a stream, such as a
    pipe, is read once)."""

    def __init__(self, name, opener, seekable, repeatable, head=None):
        self.name, self.seekable, self.repeatable = name, seekable, repeatable
        self._opener = opener
        self._compression = _compression(head) if head else None
        self._head = head  # the first bytes: of the data decompressed, if compressed
        self._stored = head  # the first bytes as stored
        if self._compression:
            self._head = None
        self._passes = 0
        self._current = None
        self._cut = None

    # ------------------------------------------------------------ passes

    def take(self, small=False):
        """What the core reads for a new pass; small: only the header and
        the last block are wanted."""
        self._passes += 1
        if self._passes > 1 and not self.repeatable:
            raise ValueError("%s is a stream, read once: this needs it read again (read it "
                             "from a regular file, or from io.BytesIO(stream.read()))" %
                             os.fsdecode(self.name))
        self.close()
        self._cut = None
        self._current = raw = self._opener(small)
        if self._compression is not None:
            self._current = raw = _Decompressed(self, raw, self._compression[1])
        return raw

    def close(self):
        """Closes the stream of the last pass, if this source opened it."""
        if isinstance(self._current, (_Stream, _Decompressed)):
            self._current.close()
        self._current = None

    def heard(self, data, at):
        """The decompressed bytes at offset at, while the first are kept."""
        if at == len(self._head or b""):
            self._head = (self._head or b"") + data

    def cut(self, at, error):
        """Decompressing ended after at bytes, for error."""
        kind = self._compression[0]
        if isinstance(error, EOFError):
            note = "%s data cut short after %d bytes" % (kind, at)
        else:
            note = "%s data? first bytes %s; it does not decompress after %d bytes: %s" % (
                kind, _hex(self._stored), at, error)
        self._cut = (at // BLOCK_SIZE, note)

    # ---------------------------------------------------------- messages

    def explained(self, error):
        """A FormatError or DamageWarning of this source, with what its first
        bytes look like if they are no block file's, and why decompressing
        stopped if that is where the damage lies."""
        if getattr(error, "explained", False):
            return error
        notes = []
        looking = looks(self._head)
        if looking is not None:
            notes.append(("%s data holding " % self._compression[0] if self._compression
                          else "") + looking)
        if self._cut is not None and (error.block is None or error.block >= self._cut[0]):
            notes.append(self._cut[1])
        if notes:
            said = " (%s)" % "; ".join(notes)
            error.args = (str(error) + said,) + tuple(error.args[1:])
            error.reason = (error.reason or "") + said
        error.explained = True
        return error

    def explaining(self, call, *args):
        """call(*args), its FormatError explained; a pass that fails is
        closed."""
        try:
            return call(*args)
        except BaseException as error:
            self.close()
            if isinstance(error, _tvq.FormatError):
                raise self.explained(error)
            raise

    def passing(self, call, *args):
        """call(*args) for a whole pass, closed when it returns."""
        try:
            return self.explaining(call, *args)
        finally:
            self.close()

    # ---------------------------------------------------- the core's calls

    def heads(self):
        """(header, ender) texts: of the header block and of the last block if
        it is an ender block. Of a source read by index, only those are read;
        of another, the header now and ender() when it is asked for (None
        here)."""
        return self.passing(_tvq.heads, self.take(small=True), self.name)

    def ender(self):
        """The texts of the last block if it is an ender block: the whole
        source is read for it, in bounded memory."""
        stream = self.take()
        first, last, size = b"", b"", 0
        try:
            while True:
                chunk = stream.read(1 << 20)
                if not chunk:
                    break
                size += len(chunk)
                if len(first) < BLOCK_SIZE:
                    first += chunk[:BLOCK_SIZE - len(first)]
                last = (last + chunk)[-BLOCK_SIZE:]
        finally:
            self.close()
        if size < 2 * BLOCK_SIZE or size % BLOCK_SIZE:
            return None
        return self.explaining(_tvq.heads, io.BytesIO(first + last), self.name)[1]

    def scan(self, skip):
        return self._problems(self.passing(_tvq.scan, self.take(), self.name, skip))

    def count(self, skip):
        return self._problems(self.passing(_tvq.count, self.take(), self.name, skip))

    def _problems(self, walked):
        walked["problems"] = [self.explained(problem) for problem in walked["problems"]]
        return walked

    def reader(self, layout, row_type, pieces, skip):
        """A value reader of one pass (see Reader)."""
        return Reader(self, layout, row_type, pieces, skip)


class Reader:
    """The core's value reader of a source, its damage explained."""

    def __init__(self, source, layout, row_type, pieces, skip):
        self._source = source
        self._reader = source.explaining(_tvq.Value_reader, source.take(), source.name,
                                         layout.format, layout.data_size, row_type, pieces, skip)

    def __getattr__(self, name):  # seek, range, header, ender, event_blocks, reached_stop
        return getattr(self._reader, name)

    def next(self, step, partial=False):
        got = self._source.explaining(self._reader.next, step, partial)
        if got is None:
            self._source.close()
        return got

    def problems(self):
        return [self._source.explained(problem) for problem in self._reader.problems()]


# ------------------------------------------------------------------ makers


def _sniffed(stream, name, owned, remote=False):
    """(raw, head) of a stream read as it comes: its first bytes read to
    look at, and given to the core first."""
    head = _head_of(_Stream(stream, name, owned=False, remote=remote).read)
    return _Stream(stream, name, head, owned=owned, remote=remote), head


def _stream_source(stream, name, owned):
    raw, head = _sniffed(stream, name, owned)
    return Source(name, lambda small: raw, False, False, head)


def _open_local(path, name):
    try:
        return io.FileIO(path, "rb")
    except OSError as error:  # in the core's words
        raise OSError(error.errno, "cannot open %s" % os.fsdecode(name),
                      os.fsdecode(name)) from None


def _path_source(path, name):
    """A local path, named name in messages: a regular file read by block
    index (by the core itself if it is named by its path) unless compressed;
    anything else (a FIFO, a device) as a stream."""
    try:
        status = os.stat(path)
    except OSError:
        status = None  # the core's open says what is wrong with it
    if name != path:  # read as a file object, which the core names by name
        def direct(small):
            return _Stream(_open_local(path, name), name, seekable=True)
    else:
        def direct(small):
            return path
    if status is None or stat.S_ISDIR(status.st_mode):
        return Source(name, direct, True, True)
    if not stat.S_ISREG(status.st_mode):
        return _stream_source(_open_local(path, name), name, owned=True)
    try:
        with io.FileIO(path, "rb") as stream:
            head = _head_of(stream.read)
    except OSError:
        head = None  # the core's open says what is wrong with it
    if not (head and _compression(head)):
        return Source(name, direct, True, True, head)
    return Source(name, lambda small: _Stream(_open_local(path, name), name), False, True, head)


def _object_source(given):
    """A binary file object: read by index (from its start) if it can seek,
    else once, as it comes."""
    if isinstance(given, io.TextIOBase):
        raise TypeError("a binary file object is read, not a text one (open it with 'rb')")
    if not (hasattr(given, "readinto") or hasattr(given, "read")):
        raise TypeError("a path, a URL or a binary file object, not %s" % type(given).__name__)
    name = name_of(given)
    seekable = getattr(given, "seekable", None)
    if not (seekable and seekable()):
        return _stream_source(given, name, owned=False)
    given.seek(0)
    head = _head_of(given.read)
    compression = _compression(head)

    def opener(small):
        given.seek(0)
        return _Stream(given, name, owned=False) if compression else given

    return Source(name, opener, compression is None, True, head)


def _protocols(fs):
    return fs.protocol if isinstance(fs.protocol, (tuple, list)) else (fs.protocol,)


def _url_source(url):
    """A URL through fsspec: a file:// one as a local path; HTTP read by
    ranges where the server serves them, else streamed (a request for each
    pass); other file systems as their files can be read."""
    fsspec = _fsspec()
    name = os.fsencode(url)
    try:
        fs, path = fsspec.core.url_to_fs(url)
    except (ImportError, ValueError) as error:
        raise ValueError("%s: %s" % (url, error)) from None
    if "file" in _protocols(fs):
        return _path_source(checked_path(path), name)
    over_http = "http" in _protocols(fs)

    def opened(**options):
        try:
            return fs.open(path, "rb", **options)
        except Exception as error:  # noqa: BLE001 - said as an OSError
            raise _remote_failure(error, url) from None

    try:
        size = fs.info(path).get("size")
    except Exception as error:  # noqa: BLE001 - said as an OSError
        raise _remote_failure(error, url) from None
    if over_http and size:
        # The first bytes asked for as a range: a server that serves ranges
        # sends them alone, another the whole file, read on as the first pass.
        stream = opened(block_size=0, size=size, headers={"Range": "bytes=0-%d" % (HEAD - 1)})
        probe = _Stream(stream, name, owned=False, remote=True)
        head = _head_of(probe.read)
        more = probe.read(1) if len(head) == HEAD else b""
        first, ranges = _Stream(stream, name, head + more, remote=True), not more
    else:
        stream = opened(block_size=0, size=size) if over_http else opened()
        first, head = _sniffed(stream, name, owned=True, remote=True)
        ranges = not over_http and bool(stream.seekable())
    if ranges:  # the first request is done with
        first.close()
    if _compression(head) is None and ranges:

        def ranged(small):
            # A look at the first and the last block asks for them alone.
            return _Stream(opened(block_size=SMALL_RANGES if small else LARGE_RANGES, size=size,
                                  cache_type="none" if small else "readahead")
                           if over_http else opened(),
                           name, seekable=True, remote=True)

        return Source(name, ranged, True, True, head)
    passes = [] if ranges else [first]

    def streamed(small):
        if passes:  # the first pass goes on with the first request
            return passes.pop()
        return _Stream(opened(block_size=0, size=size) if over_http else opened(), name,
                       remote=True)

    return Source(name, streamed, False, True, head)


def source(given):
    """The Source of what the user gave."""
    if is_url(given):
        return _url_source(given)
    if isinstance(given, (str, bytes, os.PathLike)):
        return _path_source(checked_path(given), os.fsencode(given))
    return _object_source(given)


def expand(url):
    """The URLs that a URL names: itself, or those of its glob pattern (* or
    [...]), sorted."""
    if not re.search(r"[*[]", url):
        return [url]
    try:
        fs, pattern = _fsspec().core.url_to_fs(url)
        found = sorted(fs.glob(pattern))
    except Exception as error:  # noqa: BLE001 - said as an OSError
        raise _remote_failure(error, url) from None
    if not found:
        raise FileNotFoundError("no file matches %r" % (url,))
    return [fs.unstrip_protocol(path) for path in found]


def stamp(given):
    """(version, size) of a path or URL, found without reading it (None where
    none is known): a piece of a frame computed from it is not taken for the
    same file changed."""
    try:
        if is_url(given):
            fs, path = _fsspec().core.url_to_fs(given)
            info = fs.info(path)
            return (str(info.get("ETag") or info.get("mtime") or info.get("LastModified")),
                    info.get("size") or 0)
        status = os.stat(given)
    except (OSError, TypeError, ValueError):  # TypeError: a file object
        return None
    return status.st_mtime_ns, status.st_size
