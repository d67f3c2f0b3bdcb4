"""The file a recording writes: it grows by whole pieces and survives a failed write.

A full disk (ENOSPC) or the file-size limit (EFBIG: `ulimit -f`; Python
ignores SIGXFSZ, so the limit is a failed write, not the end of the process)
can cut a write anywhere. Each piece a writer hands to `extend` leaves the
file whole: CSV rows, an MCAP chunk followed by a footer, zip members
followed by their directory. The piece's `closing` bytes (the footer, the
directory) are the ones the next piece writes over. When a write fails, the
file is put back as the last whole piece left it: cut back to that length
and its closing bytes written again, into blocks the file already holds, so
putting them back needs no free space. The writer then raises `WriteError`.

An existing regular file is replaced only when asked (`overwrite`); a pipe,
a terminal or a device (`-o /dev/stdout`) is written in order, and there a
failed write cannot be taken back.
"""

from __future__ import annotations

import errno as errnos
import os
import stat


class WriteError(OSError):
    """A recording's write failed (disk full, file-size limit, a device
    error). `kept` is the number of samples the file holds, whole and
    readable; `note` says anything else a reader of the file should know."""

    def __init__(self, error: OSError, path: str, kept: int = 0, note: str = ""):
        super().__init__(error.errno, error.strerror or str(error), path)
        self.kept, self.note = kept, note

    def __str__(self):
        return f"cannot write {self.filename}: {self.strerror}"


class PartialWriteError(OSError):
    """A write that failed after `written` bytes of its data had reached the file."""

    def __init__(self, error: OSError, written: int):
        super().__init__(error.errno, error.strerror)
        self.written = written


def _pwrite(fd, data, offset):
    if hasattr(os, "pwrite"):
        return os.pwrite(fd, data, offset)
    os.lseek(fd, offset, os.SEEK_SET)  # Windows has no pwrite; one thread writes a recording
    return os.write(fd, data)


class RecordingFile:
    """An output opened for a recording. A new file is created (refused if a
    regular file is there, unless `overwrite`); `start()` empties a file
    being replaced, so that a recording that never starts leaves it as it was."""

    def __init__(self, path: str, overwrite: bool = False):
        self.path = path
        flags = os.O_WRONLY | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0) | getattr(os, "O_NOCTTY", 0)
        try:
            existing = os.stat(path)
        except FileNotFoundError:
            existing = None
        except OSError as error:
            raise WriteError(error, path) from None
        if existing is not None and stat.S_ISDIR(existing.st_mode):
            raise WriteError(OSError(errnos.EISDIR, os.strerror(errnos.EISDIR)), path)
        if existing is not None and stat.S_ISREG(existing.st_mode) and not overwrite:
            raise FileExistsError(errnos.EEXIST, "a file is there already", path)
        try:
            if existing is None:
                self.fd = os.open(path, flags | os.O_CREAT | os.O_EXCL, 0o666)
            else:
                self.fd = os.open(path, flags)
        except OSError as error:
            raise WriteError(error, path) from None
        self.created = existing is None
        self.regular = stat.S_ISREG(os.fstat(self.fd).st_mode)
        self.end = 0  # where the last whole piece ends
        self.closing = b""  # the bytes after it that keep the file whole
        self.started = False
        self.broken = False  # a failed write could not be taken back: the file may not open

    def start(self):
        """Empties a regular file that is being replaced."""
        if not self.started and self.regular:
            os.ftruncate(self.fd, 0)
        self.started = True

    def extend(self, data: bytes, closing: bytes = b"", whole=None):
        """Writes `data` at the end of the last piece and `closing` after it.
        If that fails, `whole(data, written)` says how much of the data
        written is whole and kept (default: none); the file is put back and
        the OSError raised."""
        self.start()
        piece = data + closing
        try:
            self._write_at(self.end, piece)
        except PartialWriteError as failed:
            kept = whole(data, min(failed.written, len(data))) if whole else 0
            try:
                self._put_back(self.end + kept)
            except OSError:
                self.broken = True
            self.end += kept
            raise OSError(failed.errno, failed.strerror) from None
        if self.regular and len(closing) < len(self.closing):
            os.ftruncate(self.fd, self.end + len(data) + len(closing))
        self.end += len(data)
        self.closing = closing

    def _put_back(self, end):
        if not self.regular:
            return  # written in order: what went out stays out
        os.ftruncate(self.fd, end + len(self.closing))
        if self.closing:
            self._write_at(end, self.closing)

    def _write_at(self, offset, data):
        view = memoryview(data)
        written = 0
        while written < len(view):
            try:
                if self.regular:
                    done = _pwrite(self.fd, view[written:], offset + written)
                else:
                    done = os.write(self.fd, view[written:])
            except InterruptedError:
                continue
            except OSError as error:
                raise PartialWriteError(error, written) from None
            if done == 0:
                raise PartialWriteError(OSError(errnos.ENOSPC, os.strerror(errnos.ENOSPC)), written)
            written += done

    def discard(self):
        """Closes a file no recording went into, removing it if it was made here."""
        self.close()
        if self.created and not self.started:
            try:
                os.unlink(self.path)
            except OSError:
                pass

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
