# SPDX-License-Identifier: MIT
"""Kavrin archives (.kvn) from Python, through libkavrin.

open(path) gives a seekable binary file of an archive's restored bytes, read in place at any
offset (wave, soundfile and numpy read it directly); compress, expand, info and test work as
kvn's commands of those names. The interpreter's lock is released while the library decodes.
Failures raise Error, an OSError carrying the library's message and its status.
"""

import io
import os
import threading

from . import _kavrin

__all__ = ["Error", "Reader", "open", "compress", "expand", "info", "test",
           "AUTO", "NONE", "BITS8", "BITS16", "BITS24", "BITS32", "library_version"]

AUTO = _kavrin.AUTO
NONE = _kavrin.NONE
BITS8 = _kavrin.BITS8
BITS16 = _kavrin.BITS16
BITS24 = _kavrin.BITS24
BITS32 = _kavrin.BITS32
library_version = _kavrin.version

# The library's statuses (kavrin.h).
DAMAGED = -1
REFUSED = -2
MACHINE = -3
STOPPED = -4


class Error(OSError):
    """A failure of libkavrin: str() is its message; .status a kavrin status (DAMAGED, REFUSED,
    MACHINE, STOPPED); .errno the system's error number behind it, or None."""

    status = 0


_kavrin._set_error_class(Error)


class ArchiveFile(io.RawIOBase):
    """The restored bytes of one archive, read only and seekable."""

    def __init__(self, reader, path):
        super().__init__()
        self._archive = _kavrin.Archive(reader._native, os.fsencode(path))
        self._position = 0
        self.name = path

    def readable(self):
        return True

    def seekable(self):
        return True

    def readinto(self, buffer):
        self._checkClosed()
        got = self._archive.readinto(buffer, self._position)
        self._position += got
        return got

    def readall(self):
        self._checkClosed()
        rest = max(0, self._archive.size - self._position)
        data = bytearray(rest)
        got = self._archive.readinto(data, self._position) if rest else 0
        self._position += got
        del data[got:]
        return bytes(data)

    def seek(self, offset, whence=io.SEEK_SET):
        self._checkClosed()
        if whence == io.SEEK_SET:
            base = 0
        elif whence == io.SEEK_CUR:
            base = self._position
        elif whence == io.SEEK_END:
            base = self._archive.size
        else:
            raise ValueError("invalid whence ({}, should be 0, 1 or 2)".format(whence))
        if base + offset < 0:
            raise ValueError("negative seek position {}".format(base + offset))
        self._position = base + offset
        return self._position

    def tell(self):
        self._checkClosed()
        return self._position

    def info(self):
        """The archive's header: restored_size, archive_size, filter_mode, type_text (bytes)."""
        return self._archive.info()

    def close(self):
        archive = getattr(self, "_archive", None)  # None when the open failed
        if archive is not None and not self.closed:
            archive.close()
        super().close()


class Reader:
    """Decoded spans and decoders shared by the archives opened through it, within
    memory_bytes (0: 64 MiB), on up to `threads` decoding threads (0: 2)."""

    def __init__(self, memory_bytes=0, threads=0):
        self._native = _kavrin.Reader(memory_bytes, threads)

    def open(self, path):
        return ArchiveFile(self, path)


_default = None
_default_lock = threading.Lock()


def open(path):
    """Opens the archive at `path` (its header checked) for reading its restored bytes; the
    reads check the rest, and damage raises at the read that meets it."""
    global _default
    with _default_lock:
        if _default is None:
            _default = Reader()
    return _default.open(path)


def _flags(replace, verify=False):
    return (_kavrin.REPLACE if replace else 0) | (_kavrin.VERIFY if verify else 0)


def _path(path):
    return None if path is None else os.fsencode(path)


def compress(path, folder=None, mode=AUTO, threads=0, replace=False, verify=False):
    """Compresses the file at `path` into an archive named as kvn names it, in `folder` (None:
    beside it); returns the archive's path. The source is kept."""
    return os.fsdecode(_kavrin.compress(os.fsencode(path), _path(folder), mode, threads,
                                        _flags(replace, verify)))


def expand(path, folder=None, threads=0, replace=False):
    """Expands the archive at `path` into the file it was made from, in `folder` (None: beside
    it); returns that file's path."""
    return os.fsdecode(_kavrin.expand(os.fsencode(path), _path(folder), threads, _flags(replace)))


def info(path):
    """The header of the archive at `path`, read without decoding: a dict of restored_size,
    archive_size, filter_mode and type_text (bytes)."""
    return _kavrin.info(os.fsencode(path))


def test(path, threads=0):
    """Decodes the archive at `path` whole; raises Error when it is damaged."""
    _kavrin.test(os.fsencode(path), threads)
