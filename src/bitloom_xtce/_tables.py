"""Results as the tables other libraries use: pandas DataFrames, xarray Datasets, Arrow tables and
Parquet files; and joining the results of consecutive pieces into one.

Each library is imported when its conversion is first used. A column may be a plain numpy array
(numbers, booleans, numpy text), an object array (bytes of binary fields; arrays of differing
sizes), an array of more than one dimension (one row per packet, fixed-size arrays) or a masked
array (numpy.ma: values absent from some packets). Each converts without loss:

======================  ==========================  ===========================  =====================
column                  Arrow                       pandas                       xarray
======================  ==========================  ===========================  =====================
numbers, booleans       the same type, no copy      the same dtype, no copy      the same dtype
numpy text              string                      str                          object (str)
bytes objects           binary                      object (bytes)               object (bytes)
n x k (x ...) arrays    fixed_size_list             object: one array per row    dimensions added
arrays of any size      list (null for None)        object (as they are)         object (as they are)
masked                  nulls                       nullable dtypes (Int16...)   NaN (None: 64-bit int)
======================  ==========================  ===========================  =====================
"""
from __future__ import annotations

import json
import os
import pathlib
from typing import Any

import numpy as np

from ._definition import FileResult, Skipped


def _need(module: str, extra: str) -> Any:
    import importlib
    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise ImportError(f"{module} is needed for this: pip install 'bitloom[{extra}]'") from e


def _attributes(result: dict[str, Any]) -> dict[str, dict[str, str]]:
    return getattr(result, "attributes", None) or {}


# -- joining --------------------------------------------------------------------------------------


def concat(results: list[FileResult]) -> FileResult:
    """Join the results of consecutive pieces of one stream (iter_decode's chunks, say) into one:
    each container's rows (and packet indexes) in order, the counts added up."""
    return join_results(list(results), consume=False)


def join_results(results: list[FileResult], consume: bool) -> FileResult:
    """concat; with `consume`, each column is taken out of the results as soon as it is joined,
    so that the pieces and the whole are not all held at once."""
    out = FileResult()
    pieces: dict[str, list[dict[str, np.ndarray]]] = {}
    for result in results:
        for name, columns in result.items():
            pieces.setdefault(name, []).append(columns)
    for name, parts in pieces.items():
        names = list(parts[0])
        if any(list(p) != names for p in parts):
            raise ValueError(f"container {name!r} has different columns in the results joined")
        out[name] = {key: _join([p.pop(key) if consume else p[key] for p in parts]) for key in names}
    out.packets = sum(getattr(r, "packets", 0) for r in results)
    out.packet_index = {name: np.concatenate([r.packet_index[name] for r in results if name in r])
                        for name in pieces if all(hasattr(r, "packet_index") for r in results)}
    for checks in ("invalid", "alarms"):  # container -> {parameter -> column}, as the tables
        if all(hasattr(r, checks) for r in results):
            held = {name: [getattr(r, checks)[name] for r in results if name in r] for name in pieces}
            setattr(out, checks, {name: {key: _join([p.pop(key) if consume else p[key] for p in parts])
                                         for key in parts[0]} for name, parts in held.items()})
    out.skipped, out.gaps, out.attributes = {}, {}, {}
    records: dict[str, list[Any]] = {}
    for result in results:
        for reason, record in getattr(result, "skipped", {}).items():
            records.setdefault(reason, []).append(record)
    for reason, held in records.items():  # records of a stream's pieces hold offsets in the stream
        if all(isinstance(r, Skipped) for r in held):
            out.skipped[reason] = Skipped.join([(r, 0, 0) for r in held])
        else:
            out.skipped[reason] = (sum(r[0] for r in held), min(r[1] for r in held))
    for result in results:
        for apid, missing in getattr(result, "gaps", {}).items():
            out.gaps[apid] = out.gaps.get(apid, 0) + missing
        out.attributes.update(_attributes(result))
    return out


def _join(columns: list[np.ndarray]) -> np.ndarray:
    if len(columns) == 1:
        return columns[0]
    if any(isinstance(c, np.ma.MaskedArray) for c in columns):
        return np.ma.concatenate(columns)
    return np.concatenate(columns)


# -- Arrow and Parquet -------------------------------------------------------------------------


def arrow_array(column: np.ndarray) -> Any:
    """One column as an Arrow array (no copy of plain numeric columns)."""
    pa = _need("pyarrow", "arrow")
    mask = np.ma.getmask(column) if isinstance(column, np.ma.MaskedArray) else np.ma.nomask
    values = np.ma.getdata(column)
    if values.ndim > 1:  # fixed-size arrays per packet, nested for each further dimension
        shape = (values.shape[0] * values.shape[1], *values.shape[2:])  # not -1: a dimension may be 0
        inner = values.reshape(shape)
        absent = None
        if mask is not np.ma.nomask:
            inner = np.ma.MaskedArray(inner, mask.reshape(shape))
            rows = np.asarray(mask).reshape(len(values), -1).all(axis=1) if values.size else np.zeros(len(values), bool)
            absent = pa.array(rows) if rows.any() else None  # a whole array absent: a null list
        if values.shape[1] == 0:  # Arrow has no fixed-size list of size 0: a list, empty in every row
            offsets = pa.array(np.zeros(len(values) + 1, dtype=np.int32))
            return pa.ListArray.from_arrays(offsets, arrow_array(inner), mask=absent)
        return pa.FixedSizeListArray.from_arrays(arrow_array(inner), values.shape[1], mask=absent)
    if values.dtype == object:
        if mask is not np.ma.nomask and mask.any():
            values = values.copy()
            values[mask] = None
        return _arrow_objects(values)
    if mask is not np.ma.nomask:
        if values.dtype.kind == "T":
            values = np.array(values, dtype=np.dtypes.StringDType(na_object=None))
            values[mask] = None
            return _arrow_text(values)
        return pa.array(values, mask=np.asarray(mask, dtype=bool))
    if values.dtype.kind == "T":
        return _arrow_text(values)
    return pa.array(values)


def _arrow_text(values: np.ndarray) -> Any:
    pa = _need("pyarrow", "arrow")
    try:
        return pa.array(values, type=pa.string())
    except (TypeError, pa.ArrowException):  # a pyarrow that does not read numpy's StringDType
        return pa.array(values.tolist(), type=pa.string())


def _arrow_objects(values: np.ndarray) -> Any:
    """Bytes, text, or arrays of any size (None for a missing one) as a binary, string or list
    array."""
    pa = _need("pyarrow", "arrow")
    present = [v for v in values if v is not None]
    if not present or not all(isinstance(v, np.ndarray) for v in present):
        return pa.array(values)
    sizes = np.array([0 if v is None else len(v) for v in values], dtype=np.int64)
    ends = np.cumsum(sizes)
    offsets = np.concatenate(([0], ends))
    items = _join(present) if len(present) > 1 else present[0]
    missing = pa.array(np.fromiter((v is None for v in values), dtype=bool, count=len(values)))
    kind = pa.LargeListArray if len(ends) and ends[-1] >= 2**31 else pa.ListArray
    index = np.int64 if kind is pa.LargeListArray else np.int32
    return kind.from_arrays(pa.array(offsets.astype(index)), arrow_array(items), mask=missing)


def arrow_table(name: str, columns: dict[str, np.ndarray], attributes: dict[str, dict[str, str]]) -> Any:
    """A container's columns as a table: units and descriptions in each field's metadata; the
    container's name (key "container") and all of them (key "parameters", JSON) in the schema's."""
    pa = _need("pyarrow", "arrow")
    arrays, fields = [], []
    for key, column in columns.items():
        array = arrow_array(column)
        arrays.append(array)
        fields.append(pa.field(key, array.type, metadata=attributes.get(key) or None))
    described = {key: attributes[key] for key in columns if key in attributes}
    metadata = {"container": name, "parameters": json.dumps(described)}
    return pa.Table.from_arrays(arrays, schema=pa.schema(fields, metadata=metadata))


def to_arrow(result: dict[str, dict[str, np.ndarray]]) -> dict[str, Any]:
    """One Arrow table per container."""
    attributes = _attributes(result)
    return {name: arrow_table(name, columns, attributes) for name, columns in result.items()}


class ParquetTables:
    """Parquet files written a result at a time: one file per container, each result's rows
    added as row groups, so a stream of any length is written in bounded memory. A file is
    named after its container, made safe (anything but letters, digits, '.', '_' and '-'
    replaced, a hash of the name added then), or as `names` (container -> file name without
    ".parquet") says. `paths` maps each container written to its file. Close it (or use
    ``with``) to finish the files; `options` go to pyarrow.parquet.ParquetWriter."""

    def __init__(self, directory: str | os.PathLike[str], names: dict[str, str] | None = None,
                 **options: Any) -> None:
        self._pq = _need("pyarrow.parquet", "arrow")
        self.directory = pathlib.Path(directory)
        self.directory.mkdir(parents=True, exist_ok=True)
        self.names = dict(names or {})
        self.options = options
        self.paths: dict[str, str] = {}
        self._writers: dict[str, Any] = {}

    def _path(self, name: str) -> pathlib.Path:
        stem = self.names.get(name)
        if stem is None:  # named as the command line names them, after the containers before it
            from ._output import file_names
            stem = file_names([*self.paths, name])[name]
        return self.directory / f"{stem}.parquet"

    def write(self, result: dict[str, dict[str, np.ndarray]]) -> None:
        """Add a result's rows to the files of its containers (a container's first rows create
        its file, with their column types)."""
        for name, table in to_arrow(result).items():
            writer = self._writers.get(name)
            if writer is None:
                path = self._path(name)
                writer = self._writers[name] = self._pq.ParquetWriter(path, table.schema, **self.options)
                self.paths[name] = str(path)
            elif not table.schema.equals(writer.schema, check_metadata=False):
                try:
                    table = table.cast(writer.schema)
                except Exception as e:
                    raise ValueError(f"container {name!r}: these columns do not fit the types of those "
                                     f"written before ({e})") from None
            writer.write_table(table)

    def close(self) -> None:
        """Finish the files."""
        while self._writers:
            self._writers.popitem()[1].close()

    def __enter__(self) -> ParquetTables:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


# -- pandas -------------------------------------------------------------------------------------------


def pandas_column(column: np.ndarray) -> Any:
    """One column as something a pandas DataFrame holds without loss."""
    pd = _need("pandas", "pandas")
    if column.ndim > 1:
        rows = np.empty(len(column), dtype=object)
        rows[:] = list(column)
        return rows
    if isinstance(column, np.ma.MaskedArray):
        mask = np.ma.getmaskarray(column)
        values = column.data
        kind = values.dtype.kind
        if kind in "iu":
            return pd.arrays.IntegerArray(values, mask)
        if kind == "f":
            return pd.arrays.FloatingArray(values.astype(np.float32) if values.itemsize < 4 else values, mask)
        if kind == "b":
            return pd.arrays.BooleanArray(values, mask)
        filled = values.astype(object)
        filled[mask] = None
        return pd.array(filled, dtype="str") if kind == "T" else filled
    if column.dtype.kind == "T":
        return pd.array(column, dtype="str")
    return column


def pandas_frame(columns: dict[str, np.ndarray]) -> Any:
    pd = _need("pandas", "pandas")
    return pd.DataFrame({key: pandas_column(column) for key, column in columns.items()}, copy=False)


def to_pandas(result: dict[str, dict[str, np.ndarray]]) -> dict[str, Any]:
    """One DataFrame per container, a row per packet."""
    return {name: pandas_frame(columns) for name, columns in result.items()}


# -- xarray ---------------------------------------------------------------------------------------


def _xarray_values(column: np.ndarray) -> np.ndarray:
    if not isinstance(column, np.ma.MaskedArray):
        return column.astype(object) if column.dtype.kind == "T" else column
    mask = np.ma.getmaskarray(column)
    values = column.data
    if values.dtype.kind == "f" or (values.dtype.kind in "iub" and values.itemsize <= 4):
        out = values.astype(np.result_type(values.dtype, np.float32) if values.dtype.kind == "f" else np.float64)
        out[mask] = np.nan
        return out
    out = values.astype(object)  # 64-bit integers (not all exact in a float), text and objects
    out[mask] = None
    return out


def to_xarray(result: dict[str, dict[str, np.ndarray]]) -> dict[str, Any]:
    """One Dataset per container: a ``packet`` dimension, and for an array column one more
    dimension per axis (NAME_index, then NAME_index2, ...); units and descriptions as the
    variables' attributes."""
    xr = _need("xarray", "xarray")
    attributes = _attributes(result)
    out = {}
    for name, columns in result.items():
        variables = {}
        for key, column in columns.items():
            dims = ["packet"] + [f"{key}_index" + (str(i) if i > 1 else "") for i in range(1, column.ndim)]
            variables[key] = xr.Variable(dims, _xarray_values(column), attrs=dict(attributes.get(key, {})))
        out[name] = xr.Dataset(variables, attrs={"container": name})
    return out
