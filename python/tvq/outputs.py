"""New output files, made whole or not at all: written under a temporary
name beside the output and linked to it only when complete. A link never
replaces anything, so a name taken meanwhile is refused and left as it is,
and only the temporary file, whose random name nobody else knows, is ever
removed."""

import errno
import os
import secrets


def refuse_existing(path):
    """FileExistsError, in the program's words, if anything is at path (a
    file, a directory, a link, dangling or not)."""
    try:
        os.lstat(path)  # also the ValueError of a NUL in the name
    except FileNotFoundError:
        return
    raise FileExistsError(errno.EEXIST, "all ready exist %s" % os.fsdecode(path), path)


class NewFile:
    """with NewFile(path) as new: write new.name (a temporary name beside
    path, in the same directory). When the block ends normally, new.name
    becomes path; after an exception (KeyboardInterrupt too), or when path
    was taken meanwhile (FileExistsError), nothing is left behind.

    With create=True the temporary file is made empty (modes as any new file
    gets) for the block to fill; with create=False whoever writes it makes
    it. OSErrors about new.name are raised as about path."""

    def __init__(self, path, create=True):
        self.path = os.fsdecode(path)
        self._create = create
        self.name = os.path.join(os.path.dirname(os.path.abspath(self.path)),
                                 ".tvq-%s.part" % secrets.token_hex(8))

    def __enter__(self):
        refuse_existing(self.path)
        if self._create:
            try:
                os.close(os.open(self.name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC,
                                 0o666))
            except OSError as error:
                raise self._about_path(error) from None
            except BaseException:  # an interrupt, the file made or not
                self._remove()
                raise
        return self

    def __exit__(self, kind, error, trace):
        try:
            if kind is None:
                try:
                    self._link()
                except FileExistsError:
                    refuse_existing(self.path)
                    raise
                except OSError as failure:
                    raise self._about_path(failure) from None
            elif isinstance(error, OSError) and error.filename == self.name:
                raise self._about_path(error) from None
        finally:
            # Whatever stopped the block, an interrupt too: the name was ours
            # whenever something is there.
            self._remove()

    def _remove(self):
        try:
            os.unlink(self.name)
        except FileNotFoundError:
            pass

    def _link(self):
        try:
            os.link(self.name, self.path)
        except OSError as error:
            if error.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.ENOSYS):
                raise
            # A file system without links: the name is taken by a new empty
            # file of ours, which the complete one then replaces.
            os.close(os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC,
                             0o666))
            try:
                os.rename(self.name, self.path)
            except OSError:
                os.unlink(self.path)
                raise

    def _about_path(self, error):
        text = (error.strerror or "").replace(self.name, self.path)
        return type(error)(error.errno, text, self.path)
