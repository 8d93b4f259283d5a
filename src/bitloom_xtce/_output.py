"""Where decode writes: the --out directory, checked before any decoding, and one file per
container under a name made safe from the container's name. A run writes into a directory of
its own inside --out and moves its files into place only once it has decoded something, so a
run that fails leaves --out as it found it, and one that succeeds leaves no file of an earlier
run beside its own."""
from __future__ import annotations

import contextlib
import hashlib
import json
import os
import pathlib
import re
import shutil
import tempfile
from typing import Any

from ._source import USAGE, CommandError

PLOT = "plot.png"
CSV_LIST = "bitloom-csv.json"  # the CSV files a run wrote: CSV has no metadata to recognise them by
_STAGING = ".bitloom-partial-"
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
    if path.name in (PLOT, CSV_LIST):
        return True
    if path.suffix != ".parquet":
        return False
    import pyarrow.parquet as pq
    try:
        metadata = pq.read_schema(path).metadata or {}
    except Exception:  # not Parquet, or unreadable: not ours to remove
        return False
    return b"container" in metadata


def _listed(out: pathlib.Path) -> set[str]:
    """The names of the CSV files an earlier run listed in --out."""
    try:
        names = json.loads((out / CSV_LIST).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return set()
    if not isinstance(names, dict):
        return set()
    return {name for name in names.values()
            if isinstance(name, str) and name.endswith(".csv") and pathlib.Path(name).name == name}


def prepare_out(out: pathlib.Path, keep: pathlib.Path | None = None) -> list[pathlib.Path]:
    """Create --out, or clear what an earlier run wrote there (and the directories of runs that
    were killed before they finished, but `keep`); returns the files removed."""
    try:
        out.mkdir(parents=True, exist_ok=True)
        listed = _listed(out)
        removed = sorted(p for p in out.iterdir() if p.is_file() and (p.name in listed or _ours(p)))
        for path in removed:
            path.unlink()
        for path in out.iterdir():
            if path.name.startswith(_STAGING) and path.is_dir() and not path.is_symlink() \
                    and (keep is None or path.name != keep.name):
                shutil.rmtree(path, ignore_errors=True)
    except OSError as e:
        raise CommandError(f"--out {out}: cannot be created or cleared: {e.strerror or e}") from None
    return removed


class Staging:
    """The directory a run writes into, inside --out (created, with its parents, when missing).
    Leaving it by an exception removes it, and --out and its parents if this run created them;
    `commit()` clears what an earlier run wrote in --out, moves the new files there and returns
    the files removed."""

    def __init__(self, out: pathlib.Path) -> None:
        self.out = out
        self._created: list[pathlib.Path] = []
        missing = out
        while not missing.exists():
            self._created.append(missing)
            missing = missing.parent
        try:
            out.mkdir(parents=True, exist_ok=True)
            self.directory = pathlib.Path(tempfile.mkdtemp(prefix=_STAGING, dir=out))
        except OSError as e:
            self._remove_created()
            doing = "be created" if self._created else "be written into"
            raise CommandError(f"--out {out}: cannot {doing}: {e.strerror or e}") from None

    def commit(self) -> list[pathlib.Path]:
        removed = prepare_out(self.out, keep=self.directory)
        try:
            for path in sorted(self.directory.iterdir()):
                os.replace(path, self.out / path.name)
            self.directory.rmdir()
        except OSError as e:
            raise CommandError(f"--out {self.out}: cannot move the files written into it: {e.strerror or e}") \
                from None
        self._created = []
        return removed

    def _remove_created(self) -> None:
        for path in self._created:  # deepest first; one that holds anything stays
            with contextlib.suppress(OSError):
                path.rmdir()

    def __enter__(self) -> Staging:
        return self

    def __exit__(self, kind: object, *exc: object) -> None:
        if kind is not None:
            shutil.rmtree(self.directory, ignore_errors=True)
            self._remove_created()


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


# -- CSV ----------------------------------------------------------------------------------------


def _plain(value: Any) -> Any:
    """What json cannot write by itself, in the cells of array columns."""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).hex()
    return str(value)


def csv_columns(table: Any) -> Any:
    """An Arrow table with what CSV cannot hold as text: binary fields as hexadecimal, arrays
    (fixed or of any size) as JSON lists in one cell; absent values stay empty cells."""
    import pyarrow as pa
    types = pa.types
    arrays = []
    for field, column in zip(table.schema, table.columns):
        kind = field.type
        if types.is_binary(kind) or types.is_large_binary(kind) or types.is_fixed_size_binary(kind):
            column = pa.array([None if v is None else v.hex() for v in column.to_pylist()], type=pa.string())
        elif types.is_list(kind) or types.is_large_list(kind) or types.is_fixed_size_list(kind):
            column = pa.array([None if v is None else json.dumps(v, default=_plain) for v in column.to_pylist()],
                              type=pa.string())
        elif types.is_null(kind):
            column = column.cast(pa.string())
        arrays.append(column)
    return pa.Table.from_arrays(arrays, names=table.column_names)


class CsvTables:
    """CSV files written a result at a time, one per container, as ParquetTables writes Parquet
    (`names`: container -> file name without ".csv"); `paths` maps each container written to
    its file, which close() lists in CSV_LIST beside them."""

    def __init__(self, directory: pathlib.Path, names: dict[str, str]) -> None:
        self.directory, self.names = directory, names
        self.paths: dict[str, str] = {}
        self._writers: dict[str, Any] = {}

    def write(self, result: Any) -> None:
        import pyarrow.csv as pcsv
        from ._tables import to_arrow
        for name, table in to_arrow(result).items():
            table = csv_columns(table)
            writer = self._writers.get(name)
            if writer is None:
                path = self.directory / f"{self.names.get(name) or file_names([name])[name]}.csv"
                writer = self._writers[name] = (pcsv.CSVWriter(path, table.schema), table.schema)
                self.paths[name] = str(path)
            elif not table.schema.equals(writer[1]):
                table = table.cast(writer[1])
            writer[0].write_table(table)

    def close(self) -> None:
        while self._writers:
            self._writers.popitem()[1][0].close()
        if self.paths:
            listed = {name: pathlib.Path(path).name for name, path in self.paths.items()}
            (self.directory / CSV_LIST).write_text(json.dumps(listed, indent=1) + "\n", encoding="utf-8")

    def __enter__(self) -> CsvTables:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
