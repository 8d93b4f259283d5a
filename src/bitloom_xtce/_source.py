"""The command line's inputs: a file named on the command line, read whole, decompressed when it
is gzip, bzip2 or xz (recognised by its first bytes, whatever its name), and the error that
stands for a user's mistake or a failure to be reported in one line."""
from __future__ import annotations

import bz2
import gzip
import lzma
import pathlib
import zlib

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
