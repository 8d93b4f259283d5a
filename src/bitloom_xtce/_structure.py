"""Aggregates, arrays, repeated, conditional and indirect entries.

Two ways to decode them. A plain entry whose aggregate or array type has a fixed size is cut
into its leaves (`P.member`, `P[i]`), which become ordinary fixed fields of the compiled column
path; `assemble` and `assemble_columns` put the leaves back together. Everything else (sizes,
counts or conditions known only per packet) is read one packet at a time by `Reader`, the one
place the per-packet logic lives; `split` turns a value it read into the columns decode_file
gives.
"""
from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any

import bitloom
import numpy as np

from ._errors import PacketError
from ._fields import measure
from ._model import (BinaryEncoding, Container, Count, Entry, FloatEncoding, IntegerEncoding, Parameter,
                     ParameterType, StringEncoding, Value, is_fixed)
from ._text import TEXT_KINDS, parse_numbers

MAX_LEAVES = 1 << 16  # leaves of one fixed-size structure read by the compiled path; more are read per packet
MAX_ELEMENTS = 1 << 24  # elements of one array or occurrences of one entry in a packet
ZERO_WIDTH = 4096  # repeats and array elements a packet may have beyond its bits
MISSING: Any = object()  # an entry whose include condition failed: no value


# -- fixed-size structures as leaves ----------------------------------------------------------

def fixed_shape(ptype: ParameterType) -> tuple[int, ...] | None:
    """An array type's shape when its dimensions are all fixed; None otherwise."""
    shape = []
    for first, last in ptype.dimensions:
        if not isinstance(first, int) or not isinstance(last, int):
            return None
        shape.append(max(0, last - first + 1))
    return tuple(shape) if ptype.dimensions else None


def leaves(name: str, ptype: ParameterType) -> list[tuple[str, ParameterType]] | None:
    """The fixed-size fields a value of `ptype` is made of, in order; None if its size is
    known only per packet (or it has more than MAX_LEAVES fields)."""
    out: list[tuple[str, ParameterType]] = []
    todo: list[tuple[str, ParameterType]] = [(name, ptype)]
    while todo:  # depth first, in decoding order
        at, t = todo.pop()
        if t.kind == "aggregate":
            todo.extend(reversed([(f"{at}.{m}", mt) for m, mt in t.members]))
        elif t.kind == "array":
            shape = fixed_shape(t)
            if shape is None or math.prod(shape) > MAX_LEAVES:
                return None
            assert t.element is not None
            todo.extend((f"{at}[{i}]", t.element) for i in reversed(range(math.prod(shape))))
        elif is_fixed(t.encoding):
            out.append((at, t))
        else:
            return None
        if len(out) + len(todo) > MAX_LEAVES:
            return None
    return out


def _array(elements: list, shape: tuple[int, ...], element: ParameterType) -> Value:
    """An array value: numbers and text as a numpy array, aggregates as (nested) lists of dicts."""
    if element.kind == "aggregate":
        for size in reversed(shape[1:]):
            elements = [elements[i:i + size] for i in range(0, len(elements), size)]
        return elements
    return _as_array(elements, shape) if elements else _empty(element, shape)


def _empty(ptype: ParameterType, shape: tuple[int, ...], calibrated: bool | None = None) -> np.ndarray:
    """No values of a type (an empty array or repeat), with the dtype its values have when there
    are some: as read (`calibrated` None: int64 integers, float64 floats, text), raw (text as
    bytes) or calibrated; arrays of a fixed shape as their elements' type, with that shape after
    `shape`."""
    inner = fixed_shape(ptype) if ptype.kind == "array" else ()
    while ptype.kind == "array" and ptype.element is not None and inner is not None:
        ptype = ptype.element
        more = fixed_shape(ptype) if ptype.kind == "array" else ()
        inner = None if more is None else inner + more
    enc = ptype.encoding
    dtype: Any = object
    if inner is None or ptype.structured:
        return np.empty(shape, dtype=object)
    if calibrated and ptype.calibrated_differs:
        dtype = _CALIBRATED.get(ptype.kind, np.float64)
    elif isinstance(enc, StringEncoding):
        dtype = object if calibrated is False else np.dtypes.StringDType()
    elif isinstance(enc, FloatEncoding):
        dtype = np.float64
    elif isinstance(enc, IntegerEncoding):
        dtype = np.uint64 if not enc.signed and enc.bits == 64 else np.int64
    return np.empty(shape + inner, dtype=dtype)


_CALIBRATED = {"enumerated": np.dtypes.StringDType(), "string": np.dtypes.StringDType(), "boolean": np.bool_,
               "absolute_time": np.dtype("datetime64[ns]"), "relative_time": np.dtype("timedelta64[ns]"),
               "binary": np.dtype(object)}


def _of_aggregates(ptype: ParameterType) -> bool:
    while ptype.kind == "array" and ptype.element is not None:
        ptype = ptype.element
    return ptype.kind == "aggregate"


def _as_array(items: list, shape: tuple[int, ...] | None = None) -> np.ndarray:
    """A list as a numpy array; an object array when its items are arrays of different shapes,
    or bytes (numpy's own bytes type drops trailing zero bytes)."""
    try:
        array = _texts(items)  # numpy's fixed-width text would drop trailing NULs
        if array is None:
            array = _integers(items) if items and isinstance(items[0], int) else None
            if array is None:
                array = np.array(items) if not items or not isinstance(items[0], bytes) else None
    except (ValueError, TypeError):
        array = None
    if array is None:
        array = np.empty(len(items), dtype=object)
        array[:] = items
        return array.reshape(shape) if shape is not None and math.prod(shape) == len(items) else array
    if shape is not None:
        array = array.reshape(shape + array.shape[1:])
    return array


def _texts(items: list) -> np.ndarray | None:
    """Texts (and None, an enumeration value without a label) as a text array that keeps None;
    None if not all text."""
    if not any(isinstance(v, str) for v in items) or not all(v is None or isinstance(v, str) for v in items):
        return None
    if any(v is None for v in items):
        return np.array(items, dtype=np.dtypes.StringDType(na_object=None))
    return np.array(items, dtype=np.dtypes.StringDType())


def _integers(items: list) -> np.ndarray | None:
    """Python integers as int64, uint64 where they need it, else objects (numpy would make
    int64 and uint64 values together float64, rounding them); None if not all integers."""
    if not all(type(v) is int for v in items):
        return None
    low, high = min(items), max(items)
    dtype = np.int64 if low >= -(1 << 63) and high < 1 << 63 else np.uint64 if low >= 0 and high < 1 << 64 else object
    return np.array(items, dtype=dtype)


def assemble(name: str, ptype: ParameterType, get: Callable[[str], Value]) -> Value:
    """One packet's value of a fixed-size structure from its leaves' values."""
    if ptype.kind == "aggregate":
        return {m: assemble(f"{name}.{m}", mt, get) for m, mt in ptype.members}
    if ptype.kind == "array":
        shape = fixed_shape(ptype)
        assert shape is not None and ptype.element is not None
        return _array([assemble(f"{name}[{i}]", ptype.element, get) for i in range(math.prod(shape))],
                      shape, ptype.element)
    return get(name)


def assemble_columns(name: str, ptype: ParameterType, get: Callable[[str], np.ndarray],
                     rows: int) -> dict[str, np.ndarray]:
    """The columns of a fixed-size structure from its leaves' columns: one per leaf member
    (`P.a.b`), arrays as (rows x shape) columns (an array of aggregates: one such column per
    member)."""
    if ptype.kind == "aggregate":
        out: dict[str, np.ndarray] = {}
        for m, mt in ptype.members:
            out.update(assemble_columns(f"{name}.{m}", mt, get, rows))
        return out
    if ptype.kind == "array":
        shape = fixed_shape(ptype)
        assert shape is not None and ptype.element is not None
        parts = [assemble_columns(f"{name}[{i}]", ptype.element, get, rows) for i in range(math.prod(shape))]
        out = {}
        for suffix in columns_of("", ptype.element):
            if parts:
                stacked = np.stack([p[f"{name}[{i}]{suffix}"] for i, p in enumerate(parts)], axis=1)
            else:
                stacked = np.empty((rows, 0))
            out[name + suffix] = stacked.reshape((rows, *shape) + stacked.shape[2:])
        return out
    return {name: get(name)}


def columns_of(name: str, ptype: ParameterType) -> list[str]:
    """The column names of a parameter's value in decode_file: its leaf members."""
    if ptype.kind == "aggregate":
        return [c for m, mt in ptype.members for c in columns_of(f"{name}.{m}", mt)]
    if ptype.kind == "array":
        assert ptype.element is not None
        return columns_of(name, ptype.element)
    return [name]


def _column_types(name: str, ptype: ParameterType) -> list[tuple[str, ParameterType]]:
    """(column name, the type of its values) of a parameter's value, as columns_of names them;
    arrays of aggregates have columns of their members' arrays (the array type itself here)."""
    if ptype.kind == "aggregate":
        return [c for m, mt in ptype.members for c in _column_types(f"{name}.{m}", mt)]
    if ptype.kind == "array" and _of_aggregates(ptype):
        return [(c, ptype) for c in columns_of(name, ptype)]
    return [(name, ptype)]


def checked_columns(name: str, ptype: ParameterType) -> list[tuple[str, Any]]:
    """(column name, Checks) of the leaf members of a parameter's value whose types have a valid
    range or alarms, named as columns_of names them."""
    if ptype.kind == "aggregate":
        return [c for m, mt in ptype.members for c in checked_columns(f"{name}.{m}", mt)]
    if ptype.kind == "array":
        assert ptype.element is not None
        return checked_columns(name, ptype.element)
    return [(name, ptype.checks)] if ptype.checks is not None else []


def split(name: str, ptype: ParameterType, value: Value, calibrated: bool | None = None) -> dict[str, Value]:
    """A value read per packet as {column name: value}: aggregates by leaf member; a list (the
    elements of an array of aggregates, or the occurrences of a repeated entry) as one array
    per member."""
    if isinstance(value, list):
        if not value:  # no occurrences: each column empty, of its values' dtype
            return {c: _empty(t, (0,), calibrated) for c, t in _column_types(name, ptype)}
        parts = [split(name, ptype, v, calibrated) for v in value]
        return {c: _as_array([p[c] for p in parts]) for c in columns_of(name, ptype)}
    if ptype.kind == "aggregate":
        out: dict[str, Value] = {}
        for m, mt in ptype.members:
            out.update(split(f"{name}.{m}", mt, value[m], calibrated))
        return out
    if ptype.kind == "array" and isinstance(value, dict):
        assert ptype.element is not None
        return split(name, ptype.element, value, calibrated)
    return {name: value}


def member_value(values: dict[str, Value], name: str) -> Value:
    """`P.a.b` from P's value (a dict of its members) when P was read whole; KeyError if none."""
    if name in values:
        return values[name]
    head, dot, rest = name.partition(".")
    while dot:
        if head in values:
            value = values[head]
            for member in rest.split("."):
                if not isinstance(value, dict):
                    raise PacketError(f"{name!r}: {head!r} holds several values here (a repeated entry or an "
                                      "array), not one")
                value = value[member]
            return value
        more, dot, rest = rest.partition(".")
        head = f"{head}.{more}"
    raise KeyError(name)


# -- one packet at a time -----------------------------------------------------------------------

def _one_truth(holds: Any, ref: str) -> bool:
    if isinstance(holds, np.ndarray) and holds.size != 1:  # it compared a repeated or array value
        raise PacketError(f"the include condition of {ref!r} tests {holds.size} values, not one")
    return bool(holds)


class Reader:
    """Reads entries of one packet bit by bit: conditions, repeats, dynamic dimensions and
    indirect references are evaluated on the values read so far (`get`). Raw values go into
    `values`; an entry whose condition fails gives none."""

    __slots__ = ("parameters", "containers", "packet", "limit", "values", "get", "items", "budget", "texts",
                 "current", "end", "first")

    def __init__(self, parameters: dict[str, Parameter], containers: dict[str, Container], packet: bytes,
                 limit: int, values: dict[str, Value], get: Callable[[str, bool], Value],
                 texts: dict[str, list[bytes]] | None = None, first: int = 0) -> None:
        self.parameters = parameters
        self.containers = containers
        self.packet = packet
        self.limit = limit
        self.values = values
        self.get = get
        self.items: dict[int, list[dict]] = {}
        self.budget = 0
        # per parameter, the bytes of each text field its value holds, in reading order (see raw_form)
        self.texts: dict[str, list[bytes]] = {} if texts is None else texts
        self.current: list[bytes] = []
        self.end = limit  # the end of the container read: the packet's, or one that gives its own size
        self.first = first  # the packet's first bit in `packet` (a file holds several packets)

    def step(self, entry: Entry, cursor: int) -> int:
        # Occurrences and elements that take bits cannot outnumber the bits left; those that
        # take none (empty containers or arrays, offsets back) would repeat without end.
        self.budget = max(0, self.limit - cursor) + ZERO_WIDTH
        try:
            return self.entry(entry, cursor, cursor)
        except KeyError as e:  # a value an include condition left out
            raise PacketError(f"entry {entry.ref!r}: {e.args[0]!r} has no value in this packet") from None
        except (TypeError, IndexError) as e:
            raise PacketError(f"entry {entry.ref!r}: {type(e).__name__}: {e}") from None

    def entries(self, entries: tuple[Entry, ...], start: int) -> int:
        cursor = start
        for entry in entries:
            cursor = self.entry(entry, cursor, start)
        return cursor

    def entry(self, entry: Entry, cursor: int, start: int) -> int:
        """Read one entry at `cursor` (`start`: where its container starts); where it ends."""
        if entry.condition is not None and not _one_truth(entry.condition.evaluate(self.get), entry.ref):
            return cursor
        if entry.location is not None and entry.location.from_end:
            bits = entry_bits(entry, self.parameters, self.containers)
            assert bits is not None  # refused at load otherwise
            cursor = self.end - entry.location.bits - bits
            if cursor < self.first:
                raise PacketError(f"the packet ({(self.limit - self.first) // 8} bytes) is too short: {entry.ref!r}, "
                                  f"placed {entry.location.bits} bits before the end of its container, would start "
                                  f"{self.first - cursor} bits before the packet")
        elif entry.location is not None:
            cursor = (start if entry.location.from_start else cursor) + entry.location.bits
        if entry.repeat is None:
            return self.once(entry, cursor)
        count = self.count(entry.repeat.count, "repeat count")
        gap = self.count(entry.repeat.offset, "offset between repeats")
        if count > MAX_ELEMENTS:
            raise PacketError(f"a repeat count of {count}: at most {MAX_ELEMENTS}")
        names = self.produces(entry)
        occurrences: dict[str, list] = {n: [] for n in names}
        self.spend(count)
        texts: dict[str, list[bytes]] = {n: [] for n in names}
        for i in range(count):
            for n in names:
                self.values.pop(n, None)
                self.texts.pop(n, None)
            cursor = self.once(entry, cursor) + (gap if i < count - 1 else 0)  # Offset: between occurrences
            if cursor > self.limit:
                raise PacketError(f"repeat {i + 1} of {count} ends at bit {cursor}, after the packet's end")
            for n in names:
                if n in self.values:
                    occurrences[n].append(self.values[n])
                    texts[n].extend(self.texts.get(n, ()))
        for n in names:
            found = occurrences[n]
            ptype = self.parameters[n].type
            self.values[n] = found if _of_aggregates(ptype) else _as_array(found) if found else _empty(ptype, (0,))
            self.texts[n] = texts[n]
        return cursor

    def produces(self, entry: Entry) -> list[str]:
        return produces(entry, self.containers)

    def once(self, entry: Entry, cursor: int) -> int:
        if entry.kind == "container":
            container = self.containers[entry.ref]
            if container.size is None:
                return self.entries(container.entries, cursor)
            outer, self.end = self.end, cursor + container.size
            try:
                self.entries(container.entries, cursor)
            finally:
                self.end = outer
            return cursor + container.size
        if entry.kind == "indirect":
            assert entry.indirect is not None
            key = self.get(entry.indirect.parameter, entry.indirect.calibrated)
            name = entry.indirect.choices.get(str(key.item() if isinstance(key, np.generic) else key).strip())
            if name is None:
                raise PacketError(entry.indirect.unknown(key))
        else:
            name = entry.ref
        ptype = self.parameters[name].type
        self.current = []
        partial = None
        if ptype.kind == "aggregate":  # visible while it is read: a member's size may name an earlier one
            partial = self.values[name] = {}
        value, cursor = self.read(ptype, cursor, entry.dimensions or None, partial)
        self.values[name] = value
        self.texts[name] = self.current
        return cursor

    def spend(self, n: int) -> None:
        self.budget -= n
        if self.budget < 0:
            raise PacketError("more repeats and array elements than the bits left in the packet: the definition "
                              "repeats entries that take no bits")

    def count(self, count: Count, what: str) -> int:
        if isinstance(count, int):
            return count
        try:
            value = count.value(self.get)
        except KeyError:
            names = ", ".join(repr(n) for n in dict.fromkeys(n for n, _ in count.parameters()))
            raise PacketError(f"the {what} comes from {names}, not read before it") from None
        if isinstance(value, np.generic):
            value = value.item()
        if not isinstance(value, (int, float)) or value != int(value):
            raise PacketError(f"the {what} {value!r} is not a whole number")
        return int(value)

    def read(self, ptype: ParameterType, cursor: int, dimensions: tuple | None = None,
             into: dict[str, Value] | None = None) -> tuple[Value, int]:
        if ptype.kind == "aggregate":
            value: dict[str, Value] = {} if into is None else into  # members placed as they are read
            for member, mtype in ptype.members:
                if mtype.kind == "aggregate":
                    value[member] = {}
                    cursor = self.read(mtype, cursor, None, value[member])[1]
                else:
                    value[member], cursor = self.read(mtype, cursor)
            return value, cursor
        if ptype.kind == "array":
            shape = tuple(max(0, self.count(last, "last index") - self.count(first, "first index") + 1)
                          for first, last in dimensions or ptype.dimensions)
            n = math.prod(shape)
            element = ptype.element
            assert element is not None
            least = element.encoding.bits if not element.structured and is_fixed(element.encoding) else 0
            if n > MAX_ELEMENTS or n * (least or 0) > self.limit - cursor:
                raise PacketError(f"an array of {' x '.join(map(str, shape))} elements does not fit the packet")
            self.spend(n)
            elements = []
            for _ in range(n):
                item, cursor = self.read(element, cursor)
                elements.append(item)
            return _array(elements, shape, element), cursor
        enc = ptype.encoding
        if isinstance(enc, (IntegerEncoding, FloatEncoding)):
            if cursor < self.first or cursor + enc.bits > self.limit:
                raise PacketError(f"the packet ({self.limit // 8} bytes) is too short: a field ends at bit "
                                  f"{cursor + enc.bits}")
            items = self.items.get(id(enc))
            if items is None:
                items = self.items[id(enc)] = [{"name": "v", "encoding": enc.reader, "bits": enc.bits,
                                                "byte_order": enc.byte_order, "reverse_bits": enc.reverse_bits}]
            try:
                return bitloom.unpack_parameters(self.packet, cursor, items)["v"], cursor + enc.bits
            except ValueError as e:  # bits that are no value of the encoding (a BCD digit above 9...)
                raise PacketError(str(e).removeprefix("ValueError: ")) from None
        assert isinstance(enc, (StringEncoding, BinaryEncoding))
        size = enc.dynamic.value(self.get) if enc.dynamic else None
        bits, raw, text = measure(enc, self.packet, cursor, self.limit, size)
        if text is None:
            return raw, cursor + bits
        if ptype.kind in TEXT_KINDS:
            parse_numbers(ptype.kind, text)  # a text that gives no value makes the packet bad, as where read alone
        self.current.append(raw)
        return text, cursor + bits


def raw_form(ptype: ParameterType, value: Value, fields: list[bytes]) -> Value:
    """A value read per packet as raw=True gives it: each text in it replaced by its field's
    bytes (`fields`, in reading order: aggregate members in order, array elements and
    occurrences in order), text arrays then as object arrays of bytes."""
    return _raw_form(ptype, value, iter(fields)) if needs_raw_form(value, fields) else value


def needs_raw_form(value: Value, fields: list[bytes] | None) -> bool:
    """Whether raw=True gives a value read per packet differently: it holds text, or it is an
    empty text array (an empty bytes array then, as one with text would be)."""
    return bool(fields) or isinstance(value, np.ndarray) and value.size == 0 and value.dtype.kind == "T"


def _raw_form(ptype: ParameterType, value: Value, fields: Any) -> Value:
    leaf = ptype
    while leaf.kind == "array" and leaf.element is not None:
        leaf = leaf.element
    if isinstance(value, dict):
        return {m: _raw_form(mt, value[m], fields) for m, mt in leaf.members}
    if isinstance(value, list):
        return [_raw_form(leaf, v, fields) for v in value]
    text = isinstance(leaf.encoding, StringEncoding)
    if isinstance(value, np.ndarray):
        if not text and value.dtype != object:
            return value
        out = np.empty(value.shape, dtype=object)
        for index in np.ndindex(value.shape):
            out[index] = _raw_form(leaf, value[index], fields)
        return out
    return next(fields) if text else value


def produces(entry: Entry, containers: dict[str, Container]) -> list[str]:
    """The parameters an entry can give values to."""
    if entry.kind == "parameter":
        return [entry.ref]
    if entry.kind == "indirect":
        assert entry.indirect is not None
        return list(dict.fromkeys(entry.indirect.choices.values()))
    out: list[str] = []
    todo = [containers[entry.ref]]
    while todo:
        container = todo.pop()
        for inner in container.entries:
            if inner.kind == "container":
                todo.append(containers[inner.ref])
            else:
                out.extend(produces(inner, containers))
    return list(dict.fromkeys(out))


def entry_bits(entry: Entry, parameters: dict[str, Parameter], containers: dict[str, Container]) -> int | None:
    """The bits an entry takes when every packet gives it the same (a fixed-size parameter or a
    container that gives its own size, repeated a fixed number of times); else None."""
    if entry.kind == "indirect" or entry.dimensions and not all(isinstance(c, int) for d in entry.dimensions
                                                                 for c in d):
        return None
    if entry.kind == "container":
        once = containers[entry.ref].size
    else:
        ptype = parameters[entry.ref].type
        if entry.dimensions:
            ptype = ParameterType(ptype.name, "array", ptype.encoding, element=ptype.element,
                                  dimensions=entry.dimensions, rank=ptype.rank)
        parts = leaves(entry.ref, ptype)
        once = None if parts is None else sum(t.encoding.bits for _, t in parts)  # type: ignore[misc]
    repeat = entry.repeat
    if once is None or repeat is None:
        return once
    if not isinstance(repeat.count, int) or not isinstance(repeat.offset, int):
        return None
    return max(0, repeat.count) * once + max(0, repeat.count - 1) * repeat.offset


def static_shape(entry: Entry, ptype: ParameterType) -> bool:
    """Whether every packet's value of this entry has the same shape (a 2-D column then)."""
    if entry.repeat is not None and not isinstance(entry.repeat.count, int):
        return False
    if entry.dimensions and any(not isinstance(c, int) for d in entry.dimensions for c in d):
        return False
    todo = [ptype]
    while todo:
        t = todo.pop()
        if t.kind == "aggregate":
            todo.extend(mt for _, mt in t.members)
        elif t.kind == "array":
            if not entry.dimensions and fixed_shape(t) is None:
                return False
            assert t.element is not None
            todo.append(t.element)
    return True


def column(items: list[Value], fixed: bool) -> np.ndarray:
    """One decode_file column from per-packet values (MISSING where an entry's condition failed):
    numbers as a typed column, arrays of one shape as a (rows x shape) column when `fixed`,
    anything else as an object column of per-packet values; a numpy masked array where some
    packets have no value."""
    present = [v is not MISSING for v in items]
    values = [v for v in items if v is not MISSING]
    scalars = all(not isinstance(v, (np.ndarray, list, dict)) for v in values)
    if values and (scalars or fixed):
        try:
            dense = None if isinstance(values[0], bytes) else _texts(values) if scalars else \
                np.array(values, dtype=np.dtypes.StringDType()) if isinstance(values[0], str) else None
            if dense is None and scalars and isinstance(values[0], int):
                dense = _integers(values)
            if dense is None and not isinstance(values[0], (bytes, str)):
                dense = np.array(values)  # bytes stay whole; text keeps trailing NULs
        except (ValueError, TypeError):
            dense = None
        arrays = not scalars and all(isinstance(v, np.ndarray) for v in values)  # of bytes: object arrays
        if dense is not None and (scalars or dense.ndim > 1) and (dense.dtype != object or arrays):
            if all(present):
                return dense
            out = np.zeros((len(items),) + dense.shape[1:], dtype=dense.dtype)
            mask = np.zeros(out.shape, dtype=bool)
            keep = np.array(present)
            out[keep] = dense
            mask[~keep] = True
            return np.ma.masked_array(out, mask)
    out = np.empty(len(items), dtype=object)
    for i, v in enumerate(items):
        out[i] = None if v is MISSING else v
    if all(present):
        return out
    return np.ma.masked_array(out, [not p for p in present])
