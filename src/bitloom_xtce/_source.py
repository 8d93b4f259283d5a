"""The command line's inputs: a file named on the command line, read whole (definitions, scan) or
a piece at a time (decode's packets, standard input too), decompressed when it is gzip, bzip2 or
xz (recognised by its first bytes, whatever its name), and the error that stands for a user's
mistake or a failure to be reported in one line."""
from __future__ import annotations

import bz2
import gzip
import lzma
import os
import pathlib
import stat
import sys
import zlib
from typing import IO, Any

USAGE = 2  # the command line asks for something impossible: fix the command
FAILURE = 1  # the files could not be read, written or decoded


class CommandError(Exception):
    """Shown to the user as one line `error: MESSAGE` and ended with `status`."""

    def __init__(self, message: str, status: int = FAILURE) -> None:
        super().__init__(message)
        self.status = status


# Magic bytes -> (format name, decompressor); None: a format that is recognised, only to say so.
_FORMATS = (
    (b"\x1f\x8b", "gzip", gzip.decompress),
    (b"BZh", "bzip2", bz2.decompress),
    (b"\xfd7zXZ\x00", "xz", lzma.decompress),
    (b"\x28\xb5\x2f\xfd", "zstd data", None),
    (b"PK\x03\x04", "a zip archive", None),
)


def check_file(path: pathlib.Path, what: str) -> None:
    """A usage error unless `path` names an existing file (`what` says which argument it is)."""
    if not path.exists():
        raise CommandError(f"{what} {path}: no such file", USAGE)
    if path.is_dir():
        raise CommandError(f"{what} {path}: is a directory, not a file", USAGE)


def read_input(path: pathlib.Path, what: str) -> tuple[bytes, str | None]:
    """The contents of `path`, decompressed; and the compression it had (None: none)."""
    check_file(path, what)
    try:
        data = path.read_bytes()
    except OSError as e:
        raise CommandError(f"{what} {path}: cannot read: {e.strerror or e}") from None
    for magic, name, decompress in _FORMATS:
        if data.startswith(magic):
            if decompress is None:
                raise CommandError(f"{what} {path}: is {name}; only gzip, bzip2 and xz are read as they are: "
                                   "extract it first")
            try:
                return decompress(data), name
            except (OSError, EOFError, ValueError, lzma.LZMAError, zlib.error) as e:
                raise CommandError(f"{what} {path}: damaged {name} data: {e}") from None
    return data, None


STDIN = "-"  # the name that stands for standard input
_HEAD = max(len(magic) for magic, _, _ in _FORMATS)
_STREAMS = {"gzip": lambda f: gzip.GzipFile(fileobj=f, mode="rb"), "bzip2": bz2.BZ2File, "xz": lzma.LZMAFile}


class _Counted:
    """A binary file read through `read(n)`, the bytes already taken from its start (`head`)
    given back first; `count` is the number of bytes taken from the file."""

    def __init__(self, f: IO[bytes], head: bytes) -> None:
        self._f, self._head, self.count = f, head, len(head)

    def read(self, n: int = -1) -> bytes:
        if self._head:
            if 0 <= n < len(self._head):
                part, self._head = self._head[:n], self._head[n:]
                return part
            part, self._head = self._head, b""
            more = self._f.read(n - len(part) if n >= 0 else -1) or b""
            self.count += len(more)
            return part + more
        got = self._f.read(n) or b""
        self.count += len(got)
        return got

    def readable(self) -> bool:
        return True


class PacketInput:
    """Packets named on the command line, read a piece at a time (`read(n)`, fewer bytes only at
    the end): a file, or standard input for "-", decompressed while it is read when it starts as
    gzip, bzip2 or xz does. `consumed()` counts the bytes taken from the file itself (compressed
    ones when it is compressed) and `size` is the file's size (None for a pipe), for a progress
    bar; `compression` names the compression (None: none). A read that fails ends in a
    CommandError."""

    def __init__(self, path: pathlib.Path, what: str) -> None:
        self.what = what
        self.stdin = str(path) == STDIN
        self.name = "standard input" if self.stdin else str(path)
        self.compression: str | None = None
        f: Any
        if self.stdin:
            f = getattr(sys.stdin, "buffer", None)
            if f is None:
                raise CommandError(f"{what} -: there is no standard input to read", USAGE)
            if f.isatty():
                raise CommandError(f"{what} -: standard input is a terminal: pipe or redirect the packets "
                                   "into it", USAGE)
            self._own = None
        else:
            check_file(path, what)
            try:
                f = self._own = open(path, "rb")
            except OSError as e:
                raise CommandError(f"{what} {path}: cannot read: {e.strerror or e}") from None
        try:
            info = os.fstat(f.fileno())
            self.size = info.st_size if stat.S_ISREG(info.st_mode) else None
        except (OSError, ValueError, AttributeError):  # a replaced sys.stdin without a descriptor
            self.size = None
        head = b""
        while len(head) < _HEAD:  # a pipe may give its first bytes in pieces
            part = self._guard(f.read, _HEAD - len(head))
            if not part:
                break
            head += part
        self._counted = _Counted(f, head)
        self._stream: Any = self._counted
        for magic, name, decompress in _FORMATS:
            if head.startswith(magic):
                if decompress is None:
                    self.close()
                    raise CommandError(f"{what} {self.name}: is {name}; only gzip, bzip2 and xz are read as "
                                       "they are: extract it first")
                self.compression = name
                self._stream = _STREAMS[name](self._counted)
                break

    def _guard(self, read: Any, n: int) -> bytes:
        try:
            return read(n)
        except (OSError, EOFError, ValueError, lzma.LZMAError, zlib.error) as e:
            if self.compression is not None and not isinstance(e, ValueError):
                raise CommandError(f"{self.what} {self.name}: damaged {self.compression} data: {e}") from None
            raise CommandError(f"{self.what} {self.name}: cannot read: {getattr(e, 'strerror', None) or e}") \
                from None

    def read(self, n: int) -> bytes:
        return self._guard(self._stream.read, n)

    def consumed(self) -> int:
        return self._counted.count

    def close(self) -> None:
        if self._own is not None:
            self._own.close()
            self._own = None

    def __enter__(self) -> PacketInput:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
