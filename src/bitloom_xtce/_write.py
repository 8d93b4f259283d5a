"""Writing structures: the values of aggregates, arrays and repeated, conditional or indirect
entries as the fields that encoding lays out.

A fixed-size structure is laid out as its leaves (`P.member`, `P[i]`), as decoding reads it:
`flatten` and `leaf_columns` turn its value (or a column of them, or decode_file's leaf columns)
into the leaves' values. An entry read per packet is written by `Writer`, the mirror of
`_structure.Reader`: it walks the entry with the values given, evaluating conditions, counts and
dimensions on the values known so far, and gives builder items placed from the entry's start.
"""
from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np

from ._errors import PacketError
from ._inverse import Converter
from ._layout import binary_field, builder_item, float_one, integer_one, raw_text_field, text_field
from ._model import (BinaryEncoding, Container, Count, DynamicSize, Entry, FloatEncoding, IntegerEncoding, Lookup,
                     Parameter, ParameterType, StringEncoding, Value)
from ._structure import MAX_ELEMENTS, _as_array, _of_aggregates, columns_of, fixed_shape, produces

# -- values of fixed-size structures as their leaves ------------------------------------------


def flatten(name: str, ptype: ParameterType, value: Any) -> dict[str, Any]:
    """One packet's value of a structure (nested dicts, sequences or numpy arrays, as decode
    gives it) as {leaf: value}, leaves named as decoding names them."""
    if ptype.kind == "aggregate":
        if not isinstance(value, Mapping):
            raise ValueError(f"{name}: {_shown(value)} is not a mapping of its members "
                             f"({', '.join(m for m, _ in ptype.members)})")
        unknown = [k for k in value if k not in dict(ptype.members)]
        if unknown:
            raise ValueError(f"{name}: no member {unknown[0]!r} (its members: "
                             f"{', '.join(m for m, _ in ptype.members)})")
        out: dict[str, Any] = {}
        for member, mtype in ptype.members:
            if member not in value:
                raise ValueError(f"{name}: no value for its member {member!r}")
            out.update(flatten(f"{name}.{member}", mtype, value[member]))
        return out
    if ptype.kind == "array":
        shape = fixed_shape(ptype)
        assert shape is not None and ptype.element is not None
        out = {}
        for i, item in enumerate(elements(name, value, shape)):
            out.update(flatten(f"{name}[{i}]", ptype.element, item))
        return out
    return {name: value}


def elements(name: str, value: Any, shape: tuple[int, ...]) -> list[Any]:
    """The elements of an array value of `shape`, in reading order (the last index fastest)."""
    if isinstance(value, (str, bytes, Mapping)) or value is None:
        raise ValueError(f"{name}: {_shown(value)} is not an array of {' x '.join(map(str, shape))} elements")
    array = value if isinstance(value, np.ndarray) else _objects(value)
    if array.shape[:len(shape)] != shape:
        raise ValueError(f"{name}: an array of shape {array.shape[:len(shape)] or '()'}, its type's is {shape}")
    flat = array.reshape((math.prod(shape),) + array.shape[len(shape):])
    return [flat[i] for i in range(len(flat))]


def _objects(value: Any) -> np.ndarray:
    """Nested sequences as an object array (numpy's bytes and text types would drop trailing
    zero bytes and NULs)."""
    try:
        return np.array(value, dtype=object)
    except ValueError:  # ragged
        out = np.empty(len(value), dtype=object)
        out[:] = list(value)
        return out


def _shown(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def leaf_columns(name: str, ptype: ParameterType, given: Mapping[str, Any], rows: int) -> dict[str, Any]:
    """The leaves' columns of a fixed-size structure, from a column of its values (`name`: one
    value per packet) or from decode_file's columns of it (`P.member`, arrays with a packets
    axis first). Leaves given no column are left out."""
    if name in given and ptype.structured:
        column = given[name]
        if isinstance(column, np.ndarray) and ptype.kind == "array" and column.ndim > 1:
            column = list(column)  # (packets x shape): one array per packet
        if len(column) != rows:
            raise ValueError(f"column {name!r} has {len(column)} rows, not {rows}")
        out: dict[str, list] = {}
        for value in column:
            for leaf, item in flatten(name, ptype, value).items():
                out.setdefault(leaf, []).append(item)
        return out
    if ptype.kind == "aggregate":
        found: dict[str, Any] = {}
        for member, mtype in ptype.members:
            found.update(leaf_columns(f"{name}.{member}", mtype, given, rows))
        return found
    if ptype.kind == "array":
        shape = fixed_shape(ptype)
        assert shape is not None and ptype.element is not None
        size = math.prod(shape)
        inner: dict[str, Any] = {}
        for suffix in dict.fromkeys(columns_of("", ptype.element)):
            key = name + suffix
            if key not in given:
                continue
            column = given[key]
            array = column if isinstance(column, np.ndarray) and column.dtype != object else \
                _objects([_objects(v) if not isinstance(v, np.ndarray) else v for v in column])
            if array.shape[:1 + len(shape)] != (rows, *shape):
                raise ValueError(f"column {key!r}: shape {array.shape}, not ({rows}, "
                                 f"{', '.join(map(str, shape))}, ...): packets, then the array's shape")
            flat = array.reshape((rows, size) + array.shape[1 + len(shape):])
            for i in range(size):
                inner[f"{name}[{i}]{suffix}"] = flat[:, i]
        found = {}
        for i in range(size):
            found.update(leaf_columns(f"{name}[{i}]", ptype.element, inner, rows))
        return found
    if name not in given:
        return {}
    column = given[name]
    return {name: list(column) if isinstance(column, np.ndarray) and column.dtype == object else column}


def unsplit(name: str, ptype: ParameterType, repeated: bool, parts: Mapping[str, Any]) -> Any:
    """One packet's value of an entry read per packet from its decode_file columns' values
    (the inverse of `_structure.split`): aggregates from their members, lists of aggregates
    (arrays of them, or repeats) from arrays per member."""
    leaf = ptype
    while leaf.kind == "array" and leaf.element is not None:
        leaf = leaf.element
    if leaf.kind != "aggregate":
        return parts[name]
    if not (repeated or ptype.kind == "array"):
        return {m: unsplit(f"{name}.{m}", mt, False, parts) for m, mt in leaf.members}
    if ptype.kind == "array" and ptype.element is not None and ptype.element.kind == "array":
        raise ValueError(f"{name}: give its value (arrays of arrays of aggregates) under {name!r}")
    return _occurrences(name, leaf, parts)


def _occurrences(name: str, mtype: ParameterType, parts: Mapping[str, Any]) -> list:
    if mtype.kind == "aggregate":
        inner = {m: _occurrences(f"{name}.{m}", t, parts) for m, t in mtype.members}
        counts = {len(v) for v in inner.values()}
        if len(counts) != 1:
            raise ValueError(f"{name}: its members' columns hold different numbers of elements")
        return [{m: v[i] for m, v in inner.items()} for i in range(counts.pop())]
    return list(parts[name])


# -- entries read per packet ------------------------------------------------------------------


class Writer:
    """Writes one entry of one packet from the values given (calibrated, or raw with `raw`):
    `items` gets a builder item per field, placed in bits from the packet's start; the raw value
    of every parameter written goes into `raws`, where `get` finds it for the conditions, counts
    and sizes that follow."""

    def __init__(self, parameters: dict[str, Parameter], containers: dict[str, Container],
                 given: Mapping[str, Any], raws: dict[str, Any], lookup: Any, raw: bool,
                 converters: dict[Any, Any]) -> None:
        self.parameters = parameters
        self.containers = containers
        self.given = given
        self.raws = raws
        self.lookup = lookup  # raw and calibrated values by name (decoding's _Values)
        self.get: Lookup = lookup.get
        self.raw = raw
        self.converters = converters  # id(type) -> (its value to raw number, the type), shared
        self.items: list[dict[str, Any]] = []
        self.taking: list[dict[str, Any]] = []  # per repeat being written: name -> its occurrences left
        self.derived: set[str] = set()  # counts inside repeated containers set from the occurrences given

    def entry(self, entry: Entry, cursor: int, start: int) -> int:
        self.lookup.calibrated.clear()  # values written since may have changed
        names = produces(entry, self.containers)
        if entry.condition is not None and not _holds(entry.condition.evaluate(self.get)):
            for n in names:  # (inside a repeat, the occurrences given are those whose condition holds)
                if n in self.given and not any(n in level for level in self.taking):
                    raise ValueError(f"{n}: a value is given, but the include condition of its entry "
                                     f"({entry.condition!r}) does not hold")
            return cursor
        if entry.location is not None:
            if entry.location.from_end:
                raise ValueError(f"entry {entry.ref!r} is placed from the end of its container, which encoding "
                                 "does not know before it has written it")
            cursor = (start if entry.location.from_start else cursor) + entry.location.bits
        if entry.repeat is None:
            return self.once(entry, cursor)
        count = self.count(entry.repeat.count, "repeat count", entry, names)
        gap = self.count(entry.repeat.offset, "offset between repeats", None, names)
        # a container's entries may have conditions: fewer occurrences than repeats then
        occurrences = {n: self.occurrences(n, count, entry.kind == "container") for n in names if self.has(n)}
        written: dict[str, list] = {n: [] for n in names}
        self.taking.append(occurrences)
        try:
            for i in range(count):
                if entry.kind == "container":
                    self.counts_inside(entry.ref, occurrences)
                before = {n: self.raws.get(n, _NONE) for n in names}
                for n in names:
                    self.raws.pop(n, None)
                cursor = self.once(entry, cursor) + (gap if i < count - 1 else 0)  # Offset: between occurrences
                for n in names:
                    if n in self.raws:
                        written[n].append(self.raws[n])
                    elif before[n] is not _NONE:
                        self.raws[n] = before[n]
        finally:
            self.taking.pop()
        for n, left in occurrences.items():
            if left:
                raise ValueError(f"{n}: {len(left)} more occurrences given than its entry's {count} hold")
        for n in names:
            if written[n] or n in occurrences:
                self.raws[n] = written[n] if _of_aggregates(self.parameters[n].type) else _as_array(written[n])
        return cursor

    def counts_inside(self, name: str, occurrences: dict[str, list]) -> None:
        """For the next occurrence of a repeated container: the parameter that counts a repeat
        inside it, given for none of the occurrences, from the number of repeats given in this
        one (a whole number, of a type whose calibrated values are its raw values)."""
        for inner in self.containers[name].entries:
            count = inner.repeat.count if inner.repeat is not None else None
            if inner.kind != "parameter" or inner.condition is not None or not isinstance(count, DynamicSize):
                continue
            counter = count.parameter
            ptype = self.parameters[counter].type
            if ptype.calibrated_differs or not occurrences.get(inner.ref) or counter in self.given or \
                    (counter in occurrences and counter not in self.derived):
                continue
            value = occurrences[inner.ref][0]
            if isinstance(value, (str, bytes, Mapping)) or not hasattr(value, "__len__"):
                continue  # refused as a value of the repeat when it is written
            number = (len(value) - count.intercept) / count.slope
            if number != int(number):
                raise ValueError(f"{counter}: no whole value of it makes the repeat count of {inner.ref!r} "
                                 f"{len(value)} ({count!r})")
            occurrences[counter] = [int(number)]
            self.derived.add(counter)

    def has(self, name: str) -> bool:
        for level in reversed(self.taking):
            if name in level:
                return True
        return name in self.given

    def take(self, name: str) -> Any:
        """The value to write for a parameter now: its next occurrence inside a repeat."""
        for level in reversed(self.taking):
            if name in level:
                if not level[name]:
                    raise ValueError(f"{name}: fewer occurrences given than its entry's count")
                return level[name].pop(0)
        if name not in self.given:
            raise ValueError(f"no value for {name!r} (its entry is in the packet: no condition excludes it, "
                             "or an indirect entry chooses it)")
        return self.given[name]

    def occurrences(self, name: str, count: int, at_most: bool) -> list:
        value = self.take(name)
        if isinstance(value, (str, bytes, Mapping)) or value is None or not hasattr(value, "__len__"):
            raise ValueError(f"{name}: a repeated entry takes a sequence of its occurrences, not {_shown(value)}")
        items = list(value)
        if len(items) > count or not at_most and len(items) != count:
            raise ValueError(f"{name}: {len(items)} occurrences given, its entry repeats {count} times")
        return items

    def prepare(self, entry: Entry) -> None:
        """Set the parameter that gives a parameter entry's repeat count, or its one-dimensional
        array's last index, from the number of occurrences or elements given, where it is not
        given itself."""
        if entry.kind == "container" and entry.repeat is not None and isinstance(entry.repeat.count, DynamicSize):
            counter = entry.repeat.count.parameter
            if counter in self.raws or counter in self.given:
                return
            for inner in self.containers[entry.ref].entries:  # one placed in every occurrence, given
                value = self.given.get(inner.ref) if inner.kind == "parameter" and inner.condition is None else None
                if value is not None and hasattr(value, "__len__") and not isinstance(value, (str, bytes, Mapping)):
                    self.derive(entry.repeat.count, len(value), f"repeat count of {entry.ref!r}")
                    return
            return
        if entry.kind != "parameter" or entry.ref not in self.given:
            return
        value = self.given[entry.ref]
        if not hasattr(value, "__len__") or isinstance(value, (str, bytes, Mapping)):
            return
        count = entry.repeat.count if entry.repeat is not None else None
        if isinstance(count, DynamicSize):
            if count.parameter not in self.raws and count.parameter not in self.given:
                self.derive(count, len(value), f"repeat count of {entry.ref!r}")
            return
        ptype = self.parameters[entry.ref].type
        if entry.repeat is None and ptype.kind == "array":
            self.derive_dimensions(entry.ref, ptype, entry.dimensions or ptype.dimensions, value)

    def count(self, count: Count, what: str, entry: Entry | None, names: list[str]) -> int:
        if isinstance(count, int):
            return count
        try:
            value = count.value(self.get)
        except (KeyError, PacketError):
            sources = ", ".join(repr(n) for n in dict.fromkeys(n for n, _ in count.parameters()))
            raise ValueError(f"the {what} of {names[0]!r} comes from {sources}, which give it no value") from None
        value = _plain(value)
        if not isinstance(value, (int, float)) or value != int(value):
            raise ValueError(f"the {what} of {names[0]!r} is {value!r}, not a whole number")
        return int(value) if entry is None else max(0, int(value))  # a repeat count below 0 repeats nothing

    def derive(self, count: DynamicSize, wanted: int, what: str) -> None:
        """A count's parameter, not given, from the number of occurrences or elements given."""
        value = (wanted - count.intercept) / count.slope
        if value != int(value):
            raise ValueError(f"{count.parameter}: no whole value of it makes the {what} {wanted} ({count!r})")
        ptype = self.parameters[count.parameter].type
        number = int(value) if isinstance(ptype.encoding, IntegerEncoding) else float(value)
        self.raws[count.parameter] = self.convert(count.parameter, ptype, number, count.calibrated)

    def once(self, entry: Entry, cursor: int) -> int:
        if entry.kind == "container":
            container = self.containers[entry.ref]
            end = cursor
            start = cursor
            for inner in container.entries:
                end = self.entry(inner, end, start)
            return cursor + container.size if container.size is not None else end
        if entry.kind == "indirect":
            assert entry.indirect is not None
            key = _plain(self.get(entry.indirect.parameter, entry.indirect.calibrated))
            name = entry.indirect.choices.get(str(key).strip())
            if name is None:
                raise ValueError(entry.indirect.unknown(key))
        else:
            name = entry.ref
        ptype = self.parameters[name].type
        value = self.take(name)
        dimensions = entry.dimensions or None
        partial = None
        if ptype.kind == "aggregate":  # as the reader: a member's size may name an earlier one
            partial = self.raws[name] = {}
        raw, cursor = self.write(name, ptype, value, cursor, dimensions, partial)
        self.raws[name] = raw
        return cursor

    def derive_dimensions(self, name: str, ptype: ParameterType, dimensions: tuple, value: Any) -> None:
        """The parameter that gives a one-dimensional array's last index, not given, from the
        number of elements given."""
        if len(dimensions) != 1 or not hasattr(value, "__len__") or isinstance(value, (str, bytes, Mapping)):
            return
        first, last = dimensions[0]
        if isinstance(last, DynamicSize) and isinstance(first, int) and last.parameter not in self.raws \
                and last.parameter not in self.given:
            self.derive(last, first + len(value) - 1, f"last index of {name!r}")

    def write(self, name: str, ptype: ParameterType, value: Any, cursor: int,
              dimensions: tuple | None = None, into: dict[str, Any] | None = None) -> tuple[Any, int]:
        if ptype.kind == "aggregate":
            if not isinstance(value, Mapping):
                raise ValueError(f"{name}: {_shown(value)} is not a mapping of its members")
            unknown = [k for k in value if k not in dict(ptype.members)]
            if unknown:
                raise ValueError(f"{name}: no member {unknown[0]!r}")
            raws: dict[str, Any] = {} if into is None else into  # members placed as they are written
            for member, mtype in ptype.members:
                if member not in value:
                    raise ValueError(f"{name}: no value for its member {member!r}")
                if mtype.kind == "aggregate":
                    raws[member] = {}
                    cursor = self.write(f"{name}.{member}", mtype, value[member], cursor, None, raws[member])[1]
                else:
                    raws[member], cursor = self.write(f"{name}.{member}", mtype, value[member], cursor)
            return raws, cursor
        if ptype.kind == "array":
            shape = tuple(max(0, self.count(last, "last index", None, [name]) - self.count(first, "first index", None,
                                                                                        [name]) + 1)
                          for first, last in dimensions or ptype.dimensions)
            if math.prod(shape) > MAX_ELEMENTS:
                raise ValueError(f"{name}: an array of {' x '.join(map(str, shape))} elements")
            assert ptype.element is not None
            written = []
            for i, item in enumerate(elements(name, value, shape)):
                raw, cursor = self.write(f"{name}[{i}]", ptype.element, item, cursor)
                written.append(raw)
            if ptype.element.kind == "aggregate":
                for size in reversed(shape[1:]):
                    written = [written[i:i + size] for i in range(0, len(written), size)]
                return written, cursor
            return _as_array(written, shape), cursor
        enc = ptype.encoding
        if isinstance(enc, (IntegerEncoding, FloatEncoding)):
            raw = self.convert(name, ptype, value, not self.raw)
            self.items.append({**builder_item(name, enc, enc.bits), "value": raw, "offset_bits": cursor})
            return raw, cursor + enc.bits
        assert isinstance(enc, (StringEncoding, BinaryEncoding))
        size = None
        if enc.dynamic is not None:
            try:
                size = _plain(enc.dynamic.value(self.get))
            except PacketError as e:
                raise ValueError(f"{name}: {e}") from None
            if size != int(size) or size < 0:
                raise ValueError(f"{name}: {enc.dynamic!r} sizes it to {size!r} bits")
            size = int(size)
        if isinstance(enc, BinaryEncoding):
            if ptype.kind != "binary":
                raise ValueError(f"{name}: encoding a {ptype.kind} parameter as binary data inside a structure "
                                 "is not supported")
            width, data = binary_field(name, enc, value, size)
            raw_value: Any = data
        elif self.raw:
            width, data, raw_value = raw_text_field(name, enc, value, size)
        else:
            if ptype.kind != "string":
                raise ValueError(f"{name}: encoding a {ptype.kind} parameter as text inside a structure is not "
                                 "supported; give the text with raw=True")
            width, data = text_field(name, enc, value, size)
            raw_value = value
        self.items.append({**builder_item(name, enc, width), "value": data, "offset_bits": cursor})
        return raw_value, cursor + width

    def convert(self, name: str, ptype: ParameterType, value: Any, calibrated: bool) -> Any:
        enc = ptype.encoding
        key = (id(ptype), calibrated)
        found = self.converters.get(key)  # type: ignore[call-overload]
        if found is None:
            invert = Converter(name, ptype).one if calibrated and ptype.calibrated_differs else None
            found = self.converters[key] = (invert, ptype)  # type: ignore[index]
        invert = found[0]
        if invert is not None:
            value = invert(value, self.get)
        if isinstance(enc, IntegerEncoding):
            return integer_one(name, enc, value)
        assert isinstance(enc, FloatEncoding)
        return float_one(name, enc, value)


_NONE: Any = object()


def _plain(value: Value) -> Value:
    return value.item() if isinstance(value, np.generic) else value


def _holds(result: Any) -> bool:
    return bool(np.all(result))
