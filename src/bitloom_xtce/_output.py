"""Where decode writes: the --out directory, checked before any decoding, and one file per
container under a name made safe from the container's name."""
from __future__ import annotations

import hashlib
import os
import pathlib
import re

from ._source import USAGE, CommandError

PLOT = "plot.png"
_UNSAFE = re.compile(r"[^A-Za-z0-9._-]+")
_LONGEST = 120  # characters of a container's name kept in its file name


def check_out(out: pathlib.Path, overwrite: bool) -> None:
    """Refuse an --out that is not a directory, or that holds files while --overwrite is not
    given, or that cannot be created (as far as can be told before creating it)."""
    if out.exists():
        if not out.is_dir():
            raise CommandError(f"--out {out}: exists and is not a directory", USAGE)
        if not overwrite and any(out.iterdir()):
            raise CommandError(f"--out {out}: is not empty; give --overwrite to replace the "
                               "Parquet files and plot in it", USAGE)
        return
    parent = out.parent
    while not parent.exists():
        parent = parent.parent
    if not parent.is_dir():
        raise CommandError(f"--out {out}: cannot be created: {parent} is not a directory", USAGE)
    if not os.access(parent, os.W_OK | os.X_OK):
        raise CommandError(f"--out {out}: cannot be created: {parent} is not writable")


def _ours(path: pathlib.Path) -> bool:
    """A file an earlier run wrote: the plot, or a Parquet file naming its container in its
    metadata. Anything else (a user's own Parquet files among them) is left alone."""
    if path.name == PLOT:
        return True
    if path.suffix != ".parquet":
        return False
    import pyarrow.parquet as pq
    try:
        metadata = pq.read_schema(path).metadata or {}
    except Exception:  # not Parquet, or unreadable: not ours to remove
        return False
    return b"container" in metadata


def prepare_out(out: pathlib.Path) -> list[pathlib.Path]:
    """Create --out, or clear what an earlier run wrote there; returns the files removed."""
    try:
        out.mkdir(parents=True, exist_ok=True)
        removed = sorted(p for p in out.iterdir() if p.is_file() and _ours(p))
        for path in removed:
            path.unlink()
    except OSError as e:
        raise CommandError(f"--out {out}: cannot be created or cleared: {e.strerror or e}") from None
    return removed


def file_names(containers: list[str]) -> dict[str, str]:
    """A file name (without suffix) for each container: its name with anything but letters,
    digits, '.', '_' and '-' replaced by '_', no leading dot, at most _LONGEST characters. A
    name that cleaning changed, or that would collide with another (case aside, as some file
    systems ignore it), gets part of a hash of the container's name; names that need no
    cleaning are kept as they are."""
    cleaned = {}
    for name in containers:
        safe = _UNSAFE.sub("_", name).lstrip(".")[:_LONGEST] or "_"
        cleaned[name] = safe
    names: dict[str, str] = {}
    taken: set[str] = set()
    # Names kept as they are first, so that a container is not renamed for another's sake.
    for name in sorted(containers, key=lambda n: cleaned[n] != n):
        safe = cleaned[name]
        if safe != name or safe.casefold() in taken:
            safe = f"{safe}-{hashlib.sha256(name.encode('utf-8', 'surrogatepass')).hexdigest()[:10]}"
        names[name] = safe
        taken.add(safe.casefold())
    return {name: names[name] for name in containers}
