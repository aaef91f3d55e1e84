"""What a reading call is given, turned into what the core reads: a path
(str, bytes or os.PathLike) or a binary file object, seekable or not; and the
name that messages give it, the source as the user gave it."""

import io
import os
import stat


class Source:
    """A source for the core: .raw (a path as bytes, or the file object),
    .name (bytes, for messages) and .seekable (read by index: a regular file,
    or a file object that can seek). Anything else is a stream, read once."""

    def __init__(self, raw, name, seekable):
        self.raw, self.name, self.seekable = raw, name, seekable
        self._passes = 0

    def take(self):
        """What the core reads for one pass over the whole source, from its
        start. A stream gives one pass only: a second one is refused."""
        self._passes += 1
        if isinstance(self.raw, bytes):
            if self.seekable or self._passes == 1:
                return self.raw
        elif self.seekable:
            self.raw.seek(0)
            return self.raw
        elif self._passes == 1:
            return self.raw
        raise ValueError("%s is a stream, read once: this needs it read again (read it from a "
                         "regular file, or from io.BytesIO(stream.read()))" %
                         os.fsdecode(self.name))


def source(given):
    """The Source of what the user gave."""
    if isinstance(given, (str, bytes, os.PathLike)):
        path = os.fsencode(given)
        if b"\0" in path:
            raise ValueError("embedded null byte in the path %r" % (given,))
        try:
            seekable = stat.S_ISREG(os.stat(path).st_mode)
        except OSError:
            seekable = True  # the open says what is wrong with it
        return Source(path, path, seekable)
    if isinstance(given, io.TextIOBase):
        raise TypeError("a binary file object is read, not a text one (open it with 'rb')")
    if not (hasattr(given, "readinto") or hasattr(given, "read")):
        raise TypeError("a path or a binary file object, not %s" % type(given).__name__)
    name = getattr(given, "name", None)
    if not isinstance(name, (str, bytes)):
        name = repr(given)
    seekable = getattr(given, "seekable", None)
    return Source(given, os.fsencode(name), bool(seekable and seekable()))
