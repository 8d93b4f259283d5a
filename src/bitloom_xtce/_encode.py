"""Packets from values: Definition.encode and Definition.encode_many.

A container's packets hold the entries of every container on its inheritance chain, laid out
where decoding reads them. The values come by parameter name; what is not given comes from

* the restriction criteria on the chain (an equality fills its parameter: the APID of a packet
  type, its type field), and a value given that breaks a criterion is refused;
* the sizes of text and binary fields whose size another parameter gives (that parameter is set
  from the field's length);
* the CCSDS primary header, when the root container has one (see `find_header`): the packet data
  length from the layout, the sequence count from the caller or a per-APID counter;
* the check values (CRCs, checksums, parity) that encodings declare, computed last;
* a parameter's initialValue.

Anything else missing is an error naming it. The values are then checked the way decoding would
route the packet: it must decode as the container asked for.

One packet and many share all of this: a value of one packet is a scalar, of many a numpy column.
"""
from __future__ import annotations

import threading
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any, cast

import bitloom
import numpy as np

from ._crc import ErrorCheck
from ._inverse import FLOAT_LIMITS, Converter, integer_range
from ._layout import (FLOAT_ENCODERS, PIECE, U64, Words, binary_field, builder_item, float_column, float_one,
                      float_patterns, integer_column, integer_one, integer_patterns, pattern_bytes, place_bytes,
                      place_rows, raw_text_field, text_column, text_field, word_type)
from ._model import (AllOf, AnyOf, BinaryEncoding, Comparison, Container, Criterion, DynamicSize, FloatEncoding,
                     IntegerEncoding, Lookup, Parameter, ParameterType, StringEncoding)
from ._plan import Block, Field, Segment, Structure, Variable
from ._structure import columns_of, leaves, member_value, produces
from ._write import Writer, flatten, leaf_columns, unsplit

COUNT_MODULUS = 1 << 14
MAX_CCSDS = 65535 + 7


@dataclass(frozen=True, slots=True)
class Header:
    """The CCSDS primary header found in a root container: the names of its fields, and the
    values of those a telemetry packet has unless told otherwise (version 0, type 0 for
    telemetry, sequence flags 3 for an unsegmented packet)."""

    apid: str
    count: str | None
    length: str
    defaults: dict[str, int]


def find_header(segment: Segment) -> Header | None:
    """A definition has a CCSDS primary header when its root container places unsigned integers,
    big-endian, without calibration, of 3 bits at bit 0 (the version), 11 bits at bit 5 (the APID)
    and 16 bits at bit 32 (the packet data length); the packet type is the 1-bit field at bit 3,
    the sequence flags the 2-bit field at bit 16 and the sequence count the 14-bit field at bit
    18, where there are such fields. The names of the fields do not matter."""
    places: dict[tuple[int, int], str] = {}
    for step in segment.steps:
        if isinstance(step, Block) and step.anchor == 0:
            for f in step.fields:
                enc = f.parameter.type.encoding
                if isinstance(enc, IntegerEncoding) and enc.form == "unsigned" and enc.byte_order == "big" \
                        and not enc.reverse_bits and enc.calibrator is None and not enc.context_calibrators \
                        and f.parameter.type.kind == "integer":
                    places.setdefault((f.offset, f.bits), f.parameter.name)
    if (0, 3) not in places or (5, 11) not in places or (32, 16) not in places:
        return None
    defaults = {places[where]: value for where, value in (((0, 3), 0), ((3, 1), 0), ((16, 2), 3)) if where in places}
    return Header(places[(5, 11)], places.get((18, 14)), places[(32, 16)], defaults)


@dataclass(slots=True, eq=False)
class Plan:
    """How one container's packets are laid out."""

    container: Container
    chain: list[str]
    names: list[str]
    steps: list[Field | Variable]  # in layout order
    items: list[dict[str, Any]]  # builder items (no value, no place), one per step
    fixed: bool  # no field of variable size: every field at the same place in every packet
    sized: dict[str, list[Parameter]]  # size parameter -> the parameters whose field it sizes
    checks: list[tuple[Field, ErrorCheck]]
    fields: set[str]  # parameters held as field bytes (text and binary)
    placed: list[dict[str, Any]] = field(default_factory=list)  # of a fixed plan: items with their places
    names_in_order: list[str] = field(default_factory=list)  # the parameter of each step
    known: frozenset[str] = frozenset()
    ones: dict[bool, dict[str, Any]] = field(default_factory=dict)  # Encoder.ones
    initial: dict[str, str] = field(default_factory=dict)  # parameter -> its initialValue
    contextual: frozenset[str] = frozenset()  # parameters with context calibrators
    words: Words | None = None  # the numpy layout of a fixed plan
    places: list[tuple[int, int]] = field(default_factory=list)  # of a fixed plan: (start, width)
    starts: dict[int, int] = field(default_factory=dict)  # of a fixed plan: id(field) -> its first bit
    total: int = 0  # of a fixed plan: the packet's bits
    flat: dict[str, list[str]] = field(default_factory=dict)  # fixed-size structure -> its leaves
    whole: dict[str, bool] = field(default_factory=dict)  # parameter written per packet -> whether repeated
    parts: dict[str, list[str]] = field(default_factory=dict)  # structure -> decode_file's columns of it
    # of a plan laid out end to end: (id of a group's first field, bit of its anchor in a byte) ->
    # the Words of the fixed-size fields after one anchor
    groups: dict[tuple[int, int], Words] = field(default_factory=dict)


def concrete_below(containers: dict[str, Container], todo: list[str]) -> list[str]:
    """The containers that a packet can decode as, from those in `todo` down their inheritors."""
    out, todo = [], list(todo)
    while todo:
        name = todo.pop(0)
        if not containers[name].abstract:
            out.append(name)
        todo.extend(containers[name].children)
    return out


def declared_checks(chain: list[str], segments: dict[str, Segment]) -> list[tuple[Field, ErrorCheck]]:
    """The fields of a container's chain whose encodings declare a check, in packet order."""
    found = []
    for link in chain:
        for step in segments[link].steps:
            for f in step.fields if isinstance(step, Block) else ():
                enc = f.parameter.type.encoding
                if isinstance(enc, (IntegerEncoding, BinaryEncoding)) and enc.check is not None:
                    found.append((f, enc.check))
    return sorted(found, key=lambda c: (c[0].anchor, c[0].offset))


class Encoder:
    def __init__(self, parameters: dict[str, Parameter], containers: dict[str, Container],
                 segments: dict[str, Segment], root: str | None) -> None:
        self.parameters = parameters
        self.containers = containers
        self.segments = segments
        self.root = root
        self.header = find_header(segments[root]) if root is not None else None
        self._plans: dict[str, Plan] = {}
        self._converters: dict[str, Converter] = {}
        self._one: dict[tuple[str, bool], Callable[[Any, Lookup], Any]] = {}
        self._counts: dict[Any, int] = {}
        self._lock = threading.Lock()
        self._local = threading.local()
        self.writing: dict[Any, Any] = {}  # the Writers' converters, by type

    def converter(self, name: str) -> Converter:
        found = self._converters.get(name)
        if found is None:
            found = self._converters[name] = Converter(name, self.parameters[name].type)
        return found

    def plan(self, name: str) -> Plan:
        found = self._plans.get(name)
        if found is not None:
            return found
        if name not in self.containers:
            raise ValueError(f"no container named {name!r}")
        container = self.containers[name]
        if container.abstract:
            concrete = concrete_below(self.containers, container.children)
            raise ValueError(f"container {name!r} is abstract: encode one of its inheritors"
                             + (f" ({', '.join(concrete[:8])}{', ...' if len(concrete) > 8 else ''})" if concrete else ""))
        segment = self.segments[name]
        if self.root is None:
            raise ValueError("the definition has no single root container: name it with "
                             "bitloom_xtce.load(..., root=NAME)")
        if segment.chain[0] != self.root:
            raise ValueError(f"container {name!r} does not extend the root container {self.root!r}, so its packets "
                             "would not decode as it")
        # Structures: those of fixed size are laid out as their leaves, entries read per packet
        # (repeated, conditional, indirect, sized per packet) are written by a Writer.
        whole = {n: part.entry.repeat is not None or (part.entry.kind == "container" and n in repeated_inside(
                     part.entry, self.containers))
                 for link in segment.chain for part in self.segments[link].steps if isinstance(part, Structure)
                 for n in part.names}
        flat = {n: [leaf for leaf, _ in leaves(n, self.parameters[n].type) or []] for n in segment.names
                if self.parameters[n].type.structured and n not in whole}
        names = [leaf for n in segment.names for leaf in flat.get(n, [n])]
        parts = {n: columns_of(n, self.parameters[n].type) for n in [*flat, *whole]}
        steps: list[Field | Variable | Structure] = []
        for link in segment.chain:
            for part in self.segments[link].steps:
                if isinstance(part, Block):
                    steps.extend(part.fields)
                else:
                    steps.append(part)
        items: list[dict[str, Any]] = []
        sized: dict[str, list[Parameter]] = {}
        fields: set[str] = set()
        for step in steps:
            if isinstance(step, Structure):
                items.append({})
                continue
            p = step.parameter
            enc = p.type.encoding
            items.append(builder_item(p.name, enc, step.bits if isinstance(step, Field) else 0))
            if isinstance(enc, (StringEncoding, BinaryEncoding)):
                fields.add(p.name)
                if enc.dynamic is not None:
                    sized.setdefault(enc.dynamic.parameter, []).append(p)
        checks = declared_checks(segment.chain, self.segments)  # a check may cover an earlier one
        for f, check in checks:
            if check.algorithm.bits > f.bits:
                raise ValueError(f"{f.parameter.name}: its {check.algorithm!r} has {check.algorithm.bits} bits, "
                                 f"its field {f.bits}")
        fixed = not any(isinstance(s, (Variable, Structure)) for s in steps)
        plan = Plan(container, segment.chain, names, steps, items, fixed, sized, checks, fields,  # type: ignore[arg-type]
                    known=frozenset(names) | frozenset(flat) | frozenset(whole) | frozenset(
                        c for columns in parts.values() for c in columns),
                    contextual=frozenset(n for n in names if getattr(
                        self.parameters[n].type.encoding, "context_calibrators", ())),
                    initial={n: text for n in names if n not in whole and not self.parameters[n].type.structured
                             and (text := self.parameters[n].initial or self.parameters[n].type.initial) is not None},
                    flat=flat, whole=whole, parts=parts)
        if fixed:
            plan.places = [(s.offset, s.bits) for s in steps]  # type: ignore[union-attr]
            plan.starts = {id(s): s.offset for s in steps}
            plan.placed = [dict(item, offset_bits=s.offset) for s, item in zip(steps, items)]
            plan.names_in_order = [s.parameter.name for s in steps]
            plan.total = max((start + bits for start, bits in plan.places), default=0)
            ends = sorted(plan.places)
            overlapping = any(a[0] + a[1] > b[0] for a, b in zip(ends, ends[1:]))
            if not overlapping:
                plan.words = Words(plan.places)
        self._plans[name] = plan
        return plan

    def one(self, name: str, calibrated: bool) -> Callable[[Any, Lookup], Any]:
        """How one value of a number parameter (calibrated or raw) becomes its checked raw value."""
        key = (name, calibrated)
        found = self._one.get(key)
        if found is None:
            ptype = self.parameters[name].type
            found = self._one[key] = _one_value(name, ptype.encoding, self.converter(name).one
                                                if calibrated and ptype.calibrated_differs else None)
        return found

    def ones(self, plan: Plan, calibrated: bool) -> dict[str, Callable[[Any, Lookup], Any]]:
        """one() for every number parameter of a plan."""
        found = plan.ones.get(calibrated)
        if found is None:
            found = plan.ones[calibrated] = {n: self.one(n, calibrated) for n in plan.names
                                             if n not in plan.fields and n not in plan.whole}
        return found

    def placed(self, plan: Plan) -> list[dict[str, Any]]:
        """The builder items of a fixed plan, with their places, for this thread: they are used
        again with new values, so that bitloom finds what it made of them in its cache."""
        mine = self._local.__dict__.setdefault("placed", {})
        items = mine.get(plan.container.name)
        if items is None:
            items = mine[plan.container.name] = [dict(item) for item in plan.placed]
        return items

    def counts(self, apid: Any, n: int) -> Any:
        """The next `n` sequence counts of an APID (a scalar for None: one packet)."""
        with self._lock:
            first = self._counts.get(apid, 0)
            self._counts[apid] = (first + (n or 1)) % COUNT_MODULUS
        return first if not n else (first + np.arange(n, dtype=np.int64)) % COUNT_MODULUS

    # -- the two entry points -------------------------------------------------------------------

    def encode(self, container: str, values: Mapping[str, Any], raw: bool, sequence_count: Any) -> bytes:
        if not isinstance(values, Mapping):
            if not hasattr(values, "items"):
                raise TypeError(f"values must be a mapping of parameter names to values, not {type(values).__name__}")
            values = dict(values.items())  # a pandas row, for one
        batch = Batch(self, self.plan(container), raw, None)
        batch.run(values, sequence_count)
        return batch.pack_one(0)

    def encode_many(self, container: str, columns: Mapping[str, Any], raw: bool, sequence_count: Any) -> bytes:
        if not hasattr(columns, "keys"):
            raise TypeError(f"columns must be a mapping of parameter names to columns, not {type(columns).__name__}")
        plan = self.plan(container)
        if plan.whole:  # entries written per packet: packet by packet
            return self._each(container, plan, columns, raw, sequence_count)
        if plan.flat:
            columns = self._leaf_columns(plan, columns)
        arrays: dict[str, np.ndarray] = {}
        n = None
        for name in columns.keys():
            column = _column(name, columns[name], plan, self.parameters)
            if n is None:
                n = len(column)
            elif len(column) != n:
                raise ValueError(f"columns of different lengths: {name!r} has {len(column)} rows, "
                                 f"{next(iter(arrays))!r} {n}")
            arrays[name] = column
        if n is None:
            if sequence_count is None or np.ndim(sequence_count) == 0:
                raise ValueError("no columns: the number of packets is unknown")
            n = len(sequence_count)
        if n == 0:
            return b""
        batch = Batch(self, plan, raw, n)
        batch.run(arrays, sequence_count)
        return batch.pack_many()


    def _leaf_columns(self, plan: Plan, columns: Mapping[str, Any]) -> dict[str, Any]:
        """Columns with those of fixed-size structures (their values, or decode_file's columns of
        them) as their leaves' columns."""
        given = dict(columns.items())
        rows = next((len(c) for c in given.values() if not isinstance(c, (str, bytes))), 0)
        for name, part_names in plan.parts.items():
            if name not in plan.flat or (name not in given and not any(c in given for c in part_names)):
                continue
            found = leaf_columns(name, self.parameters[name].type, given, rows)
            for c in (name, *part_names):
                given.pop(c, None)
            given.update(found)
        return given

    def _each(self, container: str, plan: Plan, columns: Mapping[str, Any], raw: bool, sequence_count: Any) -> bytes:
        """encode_many for containers with entries written per packet: one packet at a time; a
        masked value (an entry decode_file found excluded) is left out."""
        if not hasattr(columns, "keys"):
            raise TypeError(f"columns must be a mapping of parameter names to columns, not {type(columns).__name__}")
        given = {name: columns[name] for name in columns.keys()}
        lengths = {len(c) for c in given.values()}
        if len(lengths) > 1:
            raise ValueError(f"columns of different lengths: {sorted(lengths)}")
        rows = lengths.pop() if lengths else (len(sequence_count) if np.ndim(sequence_count) else 0)
        if np.ndim(sequence_count) and len(sequence_count) != rows:
            raise ValueError(f"sequence_count has {len(sequence_count)} values for {rows} packets")
        out = []
        for i in range(rows):
            values = {name: column[i] for name, column in given.items() if column[i] is not np.ma.masked}
            count = None if sequence_count is None else int(sequence_count[i]) if np.ndim(sequence_count) else \
                (int(sequence_count) + i) % COUNT_MODULUS
            out.append(self.encode(container, values, raw, count))
        return b"".join(out)


def repeated_inside(entry: Any, containers: dict[str, Container]) -> set[str]:
    """The parameters of a container entry that are written more than once per packet (inside a
    repeated entry of it, or of a container it includes)."""
    out: set[str] = set()
    todo = [containers[entry.ref]]
    while todo:
        for inner in todo.pop().entries:
            if inner.repeat is not None:
                out.update(produces(inner, containers))
            elif inner.kind == "container":
                todo.append(containers[inner.ref])
    return out


def _one_value(name: str, enc: Any, invert: Callable[[Any, Lookup], Any] | None) -> Callable[[Any, Lookup], Any]:
    """A raw number from one value: ints and floats well inside the encoding's range pass
    straight through, anything else is checked in full."""
    if isinstance(enc, IntegerEncoding):
        lo, hi = integer_range(enc)

        def check(value: Any, get: Lookup) -> Any:
            if invert is not None:
                value = invert(value, get)
            if type(value) is not int and isinstance(value, np.integer):
                value = int(value)
            return value if type(value) is int and lo <= value <= hi else integer_one(name, enc, value)
        return check
    limit = FLOAT_LIMITS.get(enc.reader) if enc.reader not in FLOAT_ENCODERS else 0.0

    def check_float(value: Any, get: Lookup) -> Any:
        if invert is not None:
            value = invert(value, get)
        if type(value) is not float and isinstance(value, np.floating):
            value = float(value)
        return value if type(value) is float and (limit is None or -limit <= value <= limit) \
            else float_one(name, enc, value)
    return check_float


def _column(name: str, values: Any, plan: Plan, parameters: dict[str, Parameter]) -> np.ndarray:
    if isinstance(values, (str, bytes)) or np.ndim(values) != 1:
        raise ValueError(f"column {name!r} is not a one-dimensional sequence of values")
    if name in plan.fields and not isinstance(values, np.ndarray):  # bytes stay whole: no numpy bytes_
        items = list(values)
        column = np.empty(len(items), dtype=object)
        column[:] = items
        return column
    column = np.asarray(values) if not isinstance(values, np.ndarray) else values
    if column.dtype.kind == "f" and not isinstance(values, np.ndarray) and any(
            isinstance(v, int) and abs(v) > 1 << 53 for v in values):  # large ints stay exact
        column = np.array(list(values), dtype=object)
    if column.dtype.kind == "S" and name in plan.fields:
        raise ValueError(f"column {name!r}: a numpy bytes_ column drops trailing zero bytes; give an "
                         "object column of bytes")
    if column.dtype.kind == "U":
        column = column.astype(object)
    return column


def _fills(criterion: Criterion, known: Any) -> list[Comparison] | None:
    """Equalities that would make `criterion` hold, for parameters not known yet (None where
    its terms contradict each other)."""
    if isinstance(criterion, Comparison):
        if criterion.other is None and criterion.op in ("==", "eq") and not known(criterion.parameter):
            return [criterion]
        return []
    if isinstance(criterion, AllOf):
        out: list[Comparison] = []
        for term in criterion.terms:
            part = _fills(term, known)
            if part is None:
                return None
            for c in part:
                if any(o.parameter == c.parameter and o.value != c.value for o in out):
                    return None
                out.append(c)
        return out
    assert isinstance(criterion, AnyOf)
    for term in criterion.terms:  # the first alternative that can hold
        part = _fills(term, known)
        if part is not None:
            return part
    return None


_NOTHING: dict[Any, Any] = {}  # (never written to: a plan without entries written per packet)


class Batch:
    """The values of one packet (scalars, n None) or of n packets (columns) on their way to
    raw values and fields."""

    def __init__(self, encoder: Encoder, plan: Plan, raw: bool, n: int | None) -> None:
        from ._definition import _Values  # decoding's own lookup of raw and calibrated values

        self.encoder = encoder
        self.plan = plan
        self.raw = raw
        self.n = n
        self.parameters = encoder.parameters
        self.raws: dict[str, Any] = {}  # numbers; text as its text; binary as its bytes
        self.fields: dict[str, tuple[Any, Any]] = {}  # text and binary: (widths, bytes)
        self.given: dict[str, tuple[Any, bool]] = {}  # text and binary until made: (value, whether raw)
        self.checks: dict[str, Any] = {}  # check values given, compared with those computed
        self.starts: dict[int, Any] = {}  # id(step) -> its first bit
        self.total: Any = 0  # packet bits
        # values of entries written per packet, as given; id(step) -> the items a Writer made for it
        self.structured: dict[str, Any] = {} if plan.whole else _NOTHING
        self.written: dict[int, list[dict[str, Any]]] = {} if plan.whole else _NOTHING
        self.lookup = _Values(self.parameters, self._raw if plan.whole else self.raws.__getitem__)
        self.get = self.lookup.get

    def _raw(self, name: str) -> Any:
        return member_value(self.raws, name)  # `P.member` of a structure written whole too

    def expand(self, values: Mapping[str, Any]) -> dict[str, Any]:
        """One packet's values with fixed-size structures as their leaves, and those of entries
        written per packet set aside (decode_file's columns of them put back together)."""
        plan, out = self.plan, {}
        pieces: dict[str, dict[str, Any]] = {}
        owner = {c: n for n, columns in plan.parts.items() for c in columns if c != n}
        for name, value in values.items():
            if name in plan.flat:
                out.update(flatten(name, self.parameters[name].type, value))
            elif name in plan.whole:
                self.structured[name] = value
            elif name in owner and (owner[name] in plan.whole or name not in self.parameters):  # not itself a leaf
                pieces.setdefault(owner[name], {})[name] = value
            else:
                out[name] = value
        for name, held in pieces.items():
            ptype = self.parameters[name].type
            if name in plan.whole:
                self.structured[name] = unsplit(name, ptype, plan.whole[name], held)
            else:
                out.update({k: v[0] for k, v in leaf_columns(name, ptype, {c: [v] for c, v in held.items()},
                                                              1).items()})
        return out

    def constant_column(self, values: list[Any]) -> np.ndarray:
        column = np.empty(len(values), dtype=object)
        column[:] = values
        return column

    def constant(self, value: Any) -> Any:
        if self.n is None:
            return value
        column = np.empty(self.n, dtype=object) if isinstance(value, (str, bytes)) else None
        if column is None:
            return np.full(self.n, value)
        column[:] = [value] * self.n
        return column

    # -- values to raw values -------------------------------------------------------------------

    def run(self, values: Mapping[str, Any], sequence_count: Any) -> None:
        plan, header = self.plan, self.encoder.header
        if (plan.flat or plan.whole) and self.n is None:
            values = self.expand(values)
        if not plan.known.issuperset(values):
            unknown = [k for k in values if k not in plan.known]
            raise ValueError(f"container {plan.container.name!r} (with its base containers) has no parameter "
                             + ", ".join(map(repr, unknown)))
        deferred = []
        fields, contextual, raws, calibrated = plan.fields, plan.contextual, self.raws, not self.raw
        ones = self.encoder.ones(plan, calibrated) if self.n is None else None
        get = self.get
        for name, value in values.items():
            if name in fields:
                self.given[name] = (value, self.raw)
            elif calibrated and name in contextual:
                deferred.append(name)
            elif ones is not None:
                raws[name] = ones[name](value, get)
            else:
                raws[name] = self.convert(name, value, calibrated)
        for f, _ in plan.checks:
            name = f.parameter.name
            if name in values:
                self.checks[name] = raws.pop(name) if name in raws else self.given.pop(name)[0]
        for f, _ in plan.checks:  # zero until computed
            if f.parameter.name in plan.fields:
                self.given[f.parameter.name] = (self.constant(bytes((f.bits + 7) >> 3)), True)
            else:
                self.raws[f.parameter.name] = self.constant(0)
        self.fill_from_criteria()
        self.make_fields()
        if self.structured:  # counts and last indices from the values of entries written per packet
            for step in plan.steps:
                if isinstance(step, Structure):
                    self.writer().prepare(step.entry)
        computed = {n for n in (header.length, header.count) if n is not None} if header is not None else set()
        self.fill_initial(computed | set(deferred))
        self.make_fields()
        for name, value in (header.defaults.items() if header is not None else ()):
            if name not in self.raws:
                self.raws[name] = self.constant(value)
        if not plan.known.issubset(self.raws.keys()):
            missing = [n for n in plan.names if n not in self.raws and n not in deferred and n not in computed
                       and n not in plan.whole]
        else:
            missing = []
        if missing:
            raise ValueError(f"no value for {', '.join(map(repr, missing))} (container {plan.container.name!r}: "
                             "not given, and no restriction, size or initial value sets it)")
        self.place()
        self.length()
        self.sequence(values, sequence_count)  # late: a packet refused before takes no count
        for name in deferred:
            self.raws[name] = self.convert(name, values[name], True)
        self.check_routing()

    def convert(self, name: str, value: Any, calibrated: bool) -> Any:
        """A raw value (or column) from a value of the parameter (calibrated or raw)."""
        if self.n is None:
            return self.encoder.one(name, calibrated)(value, self.get)
        ptype = self.parameters[name].type
        enc = ptype.encoding
        invert = calibrated and ptype.calibrated_differs
        column = self.encoder.converter(name).raw(value, self.get) if invert else value
        if isinstance(enc, IntegerEncoding):
            return integer_column(name, enc, column)
        assert isinstance(enc, FloatEncoding)
        return float_column(name, enc, column)

    def fill_from_criteria(self) -> None:
        containers = self.encoder.containers
        for name in self.plan.chain[1:]:
            restriction = containers[name].restriction
            if restriction is None:
                continue
            for comparison in _fills(restriction, lambda p: p in self.raws or p in self.given) or []:
                target = comparison.parameter
                if target in self.plan.fields:
                    self.given[target] = (self.constant(comparison.value), False)
                else:
                    self.raws[target] = self.convert(target, self.constant(comparison.value), comparison.calibrated)

    def fill_initial(self, skip: set[str]) -> None:
        for name, text in self.plan.initial.items():
            if name in self.raws or name in self.given or name in skip:
                continue
            value = self.constant(initial_value(self.parameters[name], text))
            if name in self.plan.fields:
                self.given[name] = (value, False)
            else:
                self.raws[name] = self.convert(name, value, True)

    def make_fields(self) -> None:
        """Text and binary fields from their values; the parameters that size them from their
        lengths."""
        plan = self.plan
        if not plan.fields:
            return
        for name in plan.names:
            if name not in self.given or name in self.fields:
                continue
            enc = self.parameters[name].type.encoding
            assert isinstance(enc, (StringEncoding, BinaryEncoding))
            value, raw = self.given[name]
            ptype = self.parameters[name].type
            if not raw and isinstance(enc, StringEncoding) and ptype.kind not in ("string", "binary"):
                value = value_text(name, ptype, value) if self.n is None else \
                    self.constant_column([value_text(name, ptype, v) for v in np.asarray(value).tolist()])
            size = self._size(enc.dynamic) if enc.dynamic is not None and enc.dynamic.parameter in self.raws else None
            width: Any
            data: Any
            text: Any
            if self.n is None:
                width, data, text = self._field(name, enc, value, raw, size)
            elif isinstance(enc, BinaryEncoding) and (whole := self._binary_column(enc, value, size)) is not None:
                width, data, text = whole, value, value
            elif isinstance(enc, StringEncoding) and not raw and size is None and \
                    (made_all := text_column(enc, value.tolist())) is not None:
                width, pieces = made_all
                data = np.empty(self.n, dtype=object)
                data[:] = pieces
                text = value.astype(np.dtypes.StringDType())
            else:
                sizes = np.asarray(size).tolist() if size is not None else [None] * self.n
                made = [self._field(name, enc, v, raw, s) for v, s in zip(value.tolist(), sizes)]
                width = np.array([m[0] for m in made], dtype=np.int64)
                data = np.empty(self.n, dtype=object)
                data[:] = [m[1] for m in made]
                text = data if isinstance(enc, BinaryEncoding) else \
                    np.array([m[2] for m in made], dtype=np.dtypes.StringDType())
            self.fields[name] = (width, data)
            self.raws[name] = text
        for size_name, sized in plan.sized.items():
            with_fields = [p for p in sized if p.name in self.fields]
            if size_name in self.raws or not with_fields:
                continue
            widths = [self.fields[p.name][0] for p in with_fields]
            if any(np.any(w != widths[0]) for w in widths[1:]):
                raise ValueError(f"{size_name}: the fields it sizes ({', '.join(p.name for p in with_fields)}) "
                                 "differ in size")
            dynamic = with_fields[0].type.encoding.dynamic  # type: ignore[union-attr]
            assert dynamic is not None
            value = (np.asarray(widths[0]) - dynamic.intercept) / dynamic.slope
            whole = np.rint(value)
            wrong = np.abs(value - whole) > 1e-9 * np.maximum(1, np.abs(value))
            if wrong.any():
                i = int(np.argmax(wrong)) if wrong.ndim else 0
                raise ValueError(f"{size_name}: no whole value of it sizes {with_fields[0].name!r} to its "
                                 f"{np.ravel(widths[0])[i]} bits ({dynamic!r})")
            if isinstance(self.parameters[size_name].type.encoding, IntegerEncoding):
                whole = whole.astype(np.int64)
            self.raws[size_name] = self.convert(size_name, whole.tolist() if self.n is None else whole,
                                                dynamic.calibrated)
        for name in plan.names:  # sizes given and the fields made with them agree
            dynamic = getattr(self.parameters[name].type.encoding, "dynamic", None)
            if name in self.fields and dynamic is not None and dynamic.parameter in self.raws:
                wanted, width = self._size(dynamic), self.fields[name][0]
                wrong = np.asarray(wanted != width)
                if wrong.any():
                    i = int(np.argmax(wrong)) if wrong.ndim else 0
                    raise ValueError(f"{name}: {dynamic.parameter!r} sizes it to {np.ravel(wanted)[i]} bits, "
                                     f"its value takes {np.ravel(width)[i]}")

    def _size(self, dynamic: DynamicSize) -> Any:
        bits = np.asarray(dynamic.bits(self.get(dynamic.parameter, dynamic.calibrated)))
        bad = ~np.isfinite(bits) | (bits < 0) | (bits != np.floor(bits)) if bits.dtype.kind == "f" else bits < 0
        if bad.any():
            i = int(np.argmax(bad)) if bad.ndim else 0
            raise ValueError(f"{dynamic.parameter}: it sizes a field to {np.ravel(bits)[i]!r} bits, not a whole "
                             "number")
        return int(bits) if self.n is None else bits.astype(np.int64)

    def _binary_column(self, enc: BinaryEncoding, column: np.ndarray, size: Any) -> np.ndarray | None:
        """The widths of a column of binary values that are bytes of whole-byte fields, each as
        long as its field; None if any is not (binary_field then says which and why)."""
        values = column.tolist()
        if not all(type(v) is bytes for v in values):
            return None
        lengths = np.fromiter(map(len, values), dtype=np.int64, count=len(values))
        width = np.full(len(values), enc.bits, dtype=np.int64) if enc.bits is not None else \
            np.asarray(size, dtype=np.int64) if size is not None else lengths << 3
        return width if np.array_equal(width, lengths << 3) else None

    def _field(self, name: str, enc: StringEncoding | BinaryEncoding, value: Any, raw: bool,
               size: int | None) -> tuple[int, bytes, str | None]:
        if isinstance(enc, BinaryEncoding):
            width, data = binary_field(name, enc, value, size)
            return width, data, None
        if raw:
            return raw_text_field(name, enc, value, size)
        width, data = text_field(name, enc, value, size)
        return width, data, value

    def sequence(self, values: Mapping[str, Any], sequence_count: Any) -> None:
        """The sequence count: from `sequence_count`, the values, or the APID's counter."""
        header = self.encoder.header
        if header is None or header.count is None:
            if sequence_count is not None:
                raise ValueError("sequence_count: the definition has no CCSDS primary header with a sequence count")
            return
        count = header.count
        if sequence_count is not None:
            if count in values:
                raise ValueError(f"a sequence count both as sequence_count and as {count!r}")
            if self.n is not None and np.ndim(sequence_count) == 0:
                sequence_count = (int(sequence_count) + np.arange(self.n, dtype=np.int64)) % COUNT_MODULUS
            elif self.n is not None:
                sequence_count = np.asarray(sequence_count)
                if len(sequence_count) != self.n:
                    raise ValueError(f"sequence_count has {len(sequence_count)} values for {self.n} packets")
            self.raws[count] = self.convert(count, sequence_count, False)
        elif count not in self.raws:
            apids = self.raws.get(header.apid)
            if self.n is None or apids is None:
                self.raws[count] = self.encoder.counts(apids, self.n or 0)
            else:
                counts = np.empty(self.n, dtype=np.int64)
                for apid in np.unique(apids).tolist():
                    rows = apids == apid
                    counts[rows] = self.encoder.counts(apid, int(rows.sum()))
                self.raws[count] = counts

    def place(self) -> None:
        """The first bit of every step, and the packet's size in bits."""
        plan = self.plan
        if plan.fixed:  # the same places in every packet
            self.starts = plan.starts
            self.total = plan.total
            return
        anchors: list[Any] = [0]
        total: Any = 0
        for step in self.plan.steps:
            start = anchors[step.anchor] + step.offset
            self.starts[id(step)] = start
            if isinstance(step, Structure):
                assert self.n is None  # encode_many writes such packets one at a time
                writer = self.writer()
                end = writer.entry(step.entry, start, start)
                self.written[id(step)] = writer.items
                anchors.append(end)
                total = max(total, end, *(i["offset_bits"] + i["bits"] for i in writer.items))
            elif isinstance(step, Variable):
                width = self.fields[step.parameter.name][0]
                enc = step.parameter.type.encoding
                if isinstance(enc, StringEncoding) and enc.dynamic is None and np.any(np.asarray(start) & 7):
                    raise ValueError(f"{step.parameter.name}: text of variable size must start on a byte boundary, "
                                     f"not at bit {np.ravel(start)[0]}")
                anchors.append(start + width)
                total = np.maximum(total, start + width)
            else:
                total = np.maximum(total, start + step.bits)
        self.total = int(total) if np.ndim(total) == 0 else total
        for name in self.structured:
            if name not in self.raws:
                raise ValueError(f"{name}: a value is given, but no entry of the packet places it (an indirect "
                                 "entry chooses another parameter)")

    def writer(self) -> Writer:
        return Writer(self.parameters, self.encoder.containers, self.structured, self.raws, self.lookup, self.raw,
                      self.encoder.writing)

    def length(self) -> None:
        """The CCSDS packet data length: the packet's size less 7 bytes. A larger one given makes
        the packet that long, zero-filled."""
        header = self.encoder.header
        if header is None:
            return
        octets = (self.total + 7) // 8
        name = header.length
        if self.n is None and 7 <= octets <= MAX_CCSDS:  # one packet, the usual case
            given = self.raws.get(name)
            if given is None:
                self.raws[name] = octets - 7
                return
            if given >= octets - 7:
                self.total = (given + 7) * 8
                return
        if np.any(octets > MAX_CCSDS):
            raise ValueError(f"a packet of {np.max(octets)} bytes: a space packet holds at most {MAX_CCSDS}")
        if np.any(octets < 7):
            raise ValueError(f"a packet of {np.min(octets)} bytes: a space packet holds at least 7")
        computed = octets - 7
        if name not in self.raws:
            self.raws[name] = self.constant(computed) if np.ndim(computed) == 0 else computed
            return
        given = self.raws[name]
        short = np.asarray(given < computed)
        if short.any():
            i = int(np.argmax(short)) if short.ndim else 0
            raise ValueError(f"{name}: {np.ravel(given)[i]} is less than the packet's data length "
                             f"{np.ravel(computed)[i] if np.ndim(computed) else computed} (its size less 7 bytes)")
        longest = (np.asarray(given) + 7) * 8
        self.total = int(longest) if self.n is None else (
            int(longest[0]) if (longest == longest[0]).all() else longest)

    def check_routing(self) -> None:
        """The packets must decode as the container asked for: meet each restriction on its chain,
        and no other container's where decoding chooses."""
        containers, chain, get = self.encoder.containers, self.plan.chain, self.get
        shape = () if self.n is None else (self.n,)
        if self.n is None:  # one packet: plain truth values
            for depth, name in enumerate(chain):
                below = chain[depth + 1] if depth + 1 < len(chain) else None
                for child in containers[name].children:
                    restriction = containers[child].restriction
                    if (restriction is None or bool(restriction.evaluate(get))) != (child == below):
                        break
                else:
                    continue
                break
            else:
                return
        for depth, name in enumerate(chain):
            below = chain[depth + 1] if depth + 1 < len(chain) else None
            for child in containers[name].children:
                restriction = containers[child].restriction
                match = np.ones(shape, dtype=bool) if restriction is None else \
                    np.broadcast_to(np.asarray(restriction.evaluate(get), dtype=bool), shape)
                if child == below:
                    if not match.all():
                        raise ValueError(self._broken(child, restriction, ~match, "does not hold"))
                elif match.any():
                    why = "holds too, and decoding refuses a packet that matches two containers" if below else \
                        "holds: the packet would decode as that container (encode it instead)"
                    raise ValueError(self._broken(child, restriction, match, why))

    def _broken(self, container: str, restriction: Criterion | None, rows: np.ndarray, why: str) -> str:
        i = int(np.argmax(rows)) if rows.ndim else 0
        shown = []
        for p, calibrated in (restriction.parameters() if restriction is not None else []):
            value = self.get(p, calibrated)
            value = np.ravel(value)[i] if np.ndim(value) else value
            shown.append(f"{p} is {value.item() if isinstance(value, np.generic) else value!r}")
        where = f" (packet {i})" if self.n is not None else ""
        return (f"the restriction of container {container!r}, {restriction!r}, {why}{where}"
                + (f": {', '.join(shown)}" if shown else ""))

    # -- layout ---------------------------------------------------------------------------------

    def pack_one(self, row: int | None) -> bytes:
        """One packet with the builder (`row`: which packet of a batch of columns)."""
        plan, raws, fields, starts = self.plan, self.raws, self.fields, self.starts
        one = self.n is None

        def at(value: Any) -> Any:
            return value if one or np.ndim(value) == 0 else value[row]

        items = []
        if one and plan.fixed and not fields:  # this thread's items of the plan: only their values change
            items = self.encoder.placed(plan)
            try:
                for item, name in zip(items, plan.names_in_order):
                    item["value"] = raws[name]
            except KeyError as e:  # a field the values do not reach (a repeated one that a restriction sets)
                raise ValueError(f"no value for {e.args[0]!r} (container {plan.container.name!r})") from None
        elif one:
            for step, item in zip(plan.steps, plan.items):
                if isinstance(step, Structure):
                    items.extend(self.written[id(step)])
                    continue
                name = step.parameter.name
                if name in fields:
                    width, value = fields[name]
                    items.append({**item, "bits": width, "value": value, "offset_bits": starts[id(step)]})
                else:
                    items.append({**item, "value": raws[name], "offset_bits": starts[id(step)]})
        else:
            for step, item in zip(plan.steps, plan.items):
                name = step.parameter.name
                if name in fields:
                    width, value = fields[name]
                    item = dict(item, bits=int(at(width)), value=at(value))
                else:
                    value = at(raws[name])
                    item = dict(item, value=value.item() if isinstance(value, np.generic) else value)
                item["offset_bits"] = int(at(starts[id(step)]))
                items.append(item)
        packet = bytearray(bitloom.pack_parameters(cast(Any, items)))
        size = (int(at(self.total)) + 7) >> 3
        if len(packet) < size:
            packet.extend(bytes(size - len(packet)))
        for f, check in plan.checks:
            start = int(at(self.starts[id(f)]))
            first, stop = self._region(f, check, len(packet) * 8, start)
            value = check.compute(packet, first, stop)
            self._compare_check(f.parameter.name, np.array([value], dtype=U64), row)
            pattern = self._check_pattern(f, np.array([value], dtype=U64))
            put_bits(packet, start, f.bits, int(pattern[0]))
        return bytes(packet)

    @staticmethod
    def _region(f: Field, check: ErrorCheck, packet_bits: int, start: int) -> tuple[int, int]:
        try:
            return check.region(packet_bits, start, f.bits)
        except ValueError as e:
            raise ValueError(f"{f.parameter.name}: its {check.algorithm!r} {e}") from None

    def _compare_check(self, name: str, values: np.ndarray, row: int | None) -> None:
        if name not in self.checks:
            return
        given = self.checks[name]
        given = given if self.n is None else np.asarray(given)[[row] if row is not None else slice(None)]
        if isinstance(given, (bytes, bytearray)):
            given = int.from_bytes(given, "big")
        wrong = np.asarray(np.asarray(given, dtype=object) != values.astype(object))
        if wrong.any():
            i = int(np.argmax(wrong)) if wrong.ndim else 0
            raise ValueError(f"{name}: {np.ravel(given)[i]!r} given, but the packet's check value is "
                             f"{int(values[i])} (leave it out: it is computed)")

    def _check_pattern(self, f: Field, values: np.ndarray) -> np.ndarray:
        enc = f.parameter.type.encoding
        if isinstance(enc, IntegerEncoding):
            if integer_range(enc)[1] <= 0x7FFFFFFFFFFFFFFF:
                values = values.astype(np.int64)
            return integer_patterns(enc, values)
        return values  # binary: the value right-aligned in the field

    def pack_many(self) -> bytes:
        """The packets of a batch: of one fixed layout as a matrix, else end to end in one byte
        array; packet by packet with the builder only where a packet's fields overlap."""
        plan, n = self.plan, self.n
        assert n is not None
        if plan.words is not None and np.ndim(self.total) == 0:
            return self._pack_matrix()
        packed = self._pack_flat()
        if packed is not None:
            return packed
        return b"".join(self.pack_one(i) for i in range(n))

    def _patterns(self, steps: list[Field], alone: set[int], rows: np.ndarray | None) -> list[Any]:
        """The patterns of fixed-size fields for Words.write (`alone`: the steps written as
        they are), of all packets or of those in `rows`."""
        patterns: list[Any] = []
        for i, step in enumerate(steps):
            name = step.parameter.name
            enc = step.parameter.type.encoding
            if name in self.fields:
                data = self.fields[name][1]
                data = data if rows is None else data[rows]
                count = len(data)
                matrix = np.frombuffer(b"".join(data.tolist()), dtype=np.uint8).reshape(count, -1)
                if step.bits <= 64:
                    padded = np.zeros((count, 8), dtype=np.uint8)
                    padded[:, 8 - matrix.shape[1]:] = matrix
                    patterns.append(padded.view(">u8").reshape(count).astype(U64))
                else:
                    patterns.append(matrix)
                continue
            raw = np.broadcast_to(self.raws[name], (self.n,)) if np.ndim(self.raws[name]) == 0 else self.raws[name]
            raw = raw if rows is None else raw[rows]
            dtype = word_type(enc, step.bits) if i in alone else None
            if dtype is not None:
                patterns.append((raw, dtype))
            elif isinstance(enc, IntegerEncoding):
                patterns.append(integer_patterns(enc, raw))
            else:
                assert isinstance(enc, FloatEncoding)
                patterns.append(float_patterns(name, enc, raw))
        return patterns

    def _pack_matrix(self) -> bytes:
        """Packets of one fixed layout: a (packets, bytes) matrix, each word of fields written
        in one assignment."""
        plan, n = self.plan, self.n
        assert n is not None and plan.words is not None
        size = (self.total + 7) >> 3
        packets = np.zeros((n, size), dtype=np.uint8)
        plan.words.write(packets, self._patterns(cast(list[Field], plan.steps), plan.words.alone, None))
        flat = packets.reshape(-1)
        offsets = np.arange(n, dtype=np.int64) * size
        for f, check in plan.checks:
            start = self.starts[id(f)]
            first, stop = self._region(f, check, size * 8, start)
            values = check.compute_many(flat, offsets, np.full(n, first), np.full(n, stop), size)
            self._compare_check(f.parameter.name, values, None)
            rows = self._check_pattern(f, values).astype(">u8").view(np.uint8).reshape(n, 8)
            place_rows(packets, start, f.bits, rows)
        return packets.tobytes()

    def _pack_flat(self) -> bytes | None:
        """Packets of different sizes or field places, end to end in one byte array: the
        fixed-size fields after each anchor combined into words as in a fixed layout and ORed in
        at the anchor's place in each packet, fields of variable size copied in, then the checks.
        None where a packet's fields overlap (the builder's order decides which bits win)."""
        plan, n = self.plan, self.n
        assert n is not None
        sizes = np.broadcast_to((np.asarray(self.total, dtype=np.int64) + 7) >> 3, (n,))
        offsets = np.zeros(n, dtype=np.int64)
        np.cumsum(sizes[:-1], out=offsets[1:])
        steps = cast(list[Field | Variable], plan.steps)
        widths = [self.fields[s.parameter.name][0] if isinstance(s, Variable) else s.bits for s in steps]
        if _overlapping([self.starts[id(s)] for s in steps], widths, n):
            return None
        flat = np.zeros(int(offsets[-1] + sizes[-1]), dtype=np.uint8)
        base = offsets << 3
        groups: dict[int, list[Field]] = {}
        for step, width in zip(steps, widths):
            if isinstance(step, Field):
                groups.setdefault(step.anchor, []).append(step)
                continue
            width = np.broadcast_to(np.asarray(width, dtype=np.int64), (n,))
            data = self.fields[step.parameter.name][1]
            place_bytes(flat, base + self.starts[id(step)], width, data.tolist())
        for fields in groups.values():
            self._place_group(flat, fields, base + (self.starts[id(fields[0])] - fields[0].offset))
        packet_bits = sizes << 3
        for f, check in plan.checks:
            start = np.broadcast_to(np.asarray(self.starts[id(f)], dtype=np.int64), (n,))
            try:
                first, stop = check.regions(packet_bits, start, f.bits)
            except ValueError as e:
                raise ValueError(f"{f.parameter.name}: its {check.algorithm!r} {e}") from None
            values = check.compute_many(flat, offsets, first, stop)
            self._compare_check(f.parameter.name, values, None)
            rows = pattern_bytes(self._check_pattern(f, values), f.bits)
            place_bytes(flat, base + start, np.full(n, f.bits, dtype=np.int64), rows)
        return flat.tobytes()

    def _place_group(self, flat: np.ndarray, fields: list[Field], anchor: np.ndarray) -> None:
        """OR the fixed-size fields that hang off one anchor (at bit `anchor` of each packet in
        `flat`) into place: laid out as a matrix by Words, one per bit position of the anchor
        within its byte."""
        lowest = min(f.offset for f in fields) & ~7
        phase = anchor & 7
        first = (anchor + lowest) >> 3
        phases = np.unique(phase).tolist() if phase.any() else [0]
        for p in phases:
            rows = None if len(phases) == 1 else np.flatnonzero(phase == p)
            key = (id(fields[0]), p)
            words = self.plan.groups.get(key)
            if words is None:
                words = self.plan.groups[key] = Words([(f.offset - lowest + p, f.bits) for f in fields])
            count = self.n if rows is None else len(rows)
            assert count is not None
            width = max((f.offset - lowest + p + f.bits + 7) >> 3 for f in fields)
            matrix = np.zeros((count, width), dtype=np.uint8)
            words.write(matrix, self._patterns(fields, words.alone, rows))
            firsts = first if rows is None else first[rows]
            step = max(1, PIECE // width)
            for k in range(0, count, step):  # bounded index arrays: some packets at a time
                flat[firsts[k:k + step, None] + np.arange(width)] |= matrix[k:k + step]


def _overlapping(starts: list[Any], widths: list[Any], n: int) -> bool:
    """Whether two fields share a bit in some packet (`starts`, `widths`: of each field in layout
    order, a scalar for all packets or a column)."""
    ends = [s + w for s, w in zip(starts, widths)]
    if all(np.all(e <= s) for e, s in zip(ends, starts[1:])):  # one after another, as usual
        return False
    starts = [np.broadcast_to(np.asarray(s, dtype=np.int64), (n,)) for s in starts]
    ends = [np.broadcast_to(np.asarray(e, dtype=np.int64), (n,)) for e in ends]
    for first in range(0, n, 1 << 16):  # the fields of each packet sorted, some packets at a time
        lo = np.stack([s[first:first + (1 << 16)] for s in starts])
        hi = np.stack([e[first:first + (1 << 16)] for e in ends])
        empty = lo == hi  # a field of no bits shares none
        lo, hi = np.where(empty, -1, lo), np.where(empty, -1, hi)
        order = np.argsort(lo, axis=0, kind="stable")
        lo, hi = np.take_along_axis(lo, order, axis=0), np.take_along_axis(hi, order, axis=0)
        if (hi[:-1] > lo[1:]).any():
            return True
    return False


def put_bits(packet: bytearray, start: int, bits: int, value: int | bytes) -> None:
    """Write a `bits`-bit pattern (an int, or right-aligned bytes) at bit `start`."""
    if isinstance(value, (bytes, bytearray)):
        value = int.from_bytes(value, "big")
    first, end = start >> 3, (start + bits + 7) >> 3
    shift = 8 * end - start - bits
    current = int.from_bytes(packet[first:end], "big")
    mask = ((1 << bits) - 1) << shift
    packet[first:end] = ((current & ~mask) | (value << shift)).to_bytes(end - first, "big")


def value_text(name: str, ptype: ParameterType, value: Any) -> str:
    """The text a number, label or boolean is written as where its type's encoding is text
    (decoding parses it back): booleans as the type's one or zero text, labels as their value."""
    if isinstance(value, np.generic):
        value = value.item()
    kind = ptype.kind
    if kind == "boolean":
        if value in (True, False):  # 0 and 1 too
            return ptype.truth[0] if value else ptype.truth[1]
        raise ValueError(f"{name}: {value!r} is not a boolean")
    if kind in ("integer", "float") and isinstance(value, str):  # its text already
        try:
            return str(int(value.strip())) if kind == "integer" else repr(float(value))
        except ValueError:
            raise ValueError(f"{name}: {value!r} is not {'an integer' if kind == 'integer' else 'a number'}") from None
    if kind == "enumerated" and isinstance(value, str):
        codes = [low for low, _, label in ptype.enumeration if label == value]
        if not codes:
            raise ValueError(f"{name}: {value!r} is not one of its labels")
        value = codes[0]
    if kind in ("integer", "enumerated"):
        if isinstance(value, float) and value.is_integer():
            value = int(value)
        if isinstance(value, bool) or not isinstance(value, int):
            raise ValueError(f"{name}: {value!r} is not an integer")
        return str(value)
    if kind == "float":
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise ValueError(f"{name}: {value!r} is not a number")
        return repr(float(value))
    raise ValueError(f"{name}: writing a {kind.replace('_', ' ')} value as text is not supported (give raw=True "
                     "and its text)")


def initial_value(p: Parameter, text: str) -> Any:
    """A parameter's initialValue as a calibrated value."""
    kind, enc = p.type.kind, p.type.encoding
    try:
        if kind == "integer" and not p.type.calibrated_differs:
            return int(text, 0)
        if kind in ("integer", "float"):
            return float(text)
        if kind == "boolean":
            lowered = text.strip().lower()
            if lowered in ("true", "1"):
                return True
            if lowered in ("false", "0"):
                return False
            raise ValueError(text)
        if kind == "binary":
            return bytes.fromhex(text.strip().removeprefix("0x"))
        if kind in ("enumerated", "string"):
            return text
    except ValueError:
        raise ValueError(f"{p.name}: its initialValue {text!r} does not parse as a {kind} value") from None
    raise ValueError(f"{p.name}: an initialValue of a {kind} parameter is not used; give a value")
