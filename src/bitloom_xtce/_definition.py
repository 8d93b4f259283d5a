"""A loaded definition: decoding one packet, or a whole file into columns."""
from __future__ import annotations

import contextlib
import gc
import hashlib
import mmap
import os
import re
import threading
import warnings
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, field
from functools import partial
from typing import TYPE_CHECKING, Any, NamedTuple, cast

import bitloom
import numpy as np

from . import _compile
from ._commands import Command, Commands, build_commands
from ._encode import Encoder, concrete_below, declared_checks
from ._errors import PacketError, XtceError, XtceWarning
from ._fields import measure, take_bits
from ._load import CONTAINER, PARAMETER, TYPE, Loader
from ._model import (BinaryEncoding, Container, Criterion, NameMap, Parameter, ParameterType, StringEncoding,
                     Tolerated, Value)
from ._plan import Block, Field, Placements, Segment, Structure, Variable, check_criterion, compile_container
from ._structure import (MISSING, Reader, _empty, assemble, assemble_columns, checked_columns, column, columns_of,
                         leaves, member_value, needs_raw_form, raw_form, split)
from ._structure import column as _structure_column
from ._text import TEXT_KINDS, parse_numbers
from ._validity import AlarmLevel, evaluate_any
from ._xml import Document, Documents, Element, Refusal, Source

if TYPE_CHECKING:
    from ._stream import DecodeStream
    from ._commands import CommandBlock


class DecodeWarning(UserWarning):
    """Packets of a file that were not decoded: they match no concrete container, are too short
    for theirs, or are cut off at the end of the file."""


class Skipped(tuple[int, int]):
    """The packets of a file skipped for one reason. It unpacks as (count, byte offset of the
    first one); `offsets` and `indices` hold every one's byte offset and number in the file
    (from 0, in file order, as numpy arrays)."""

    offsets: np.ndarray
    indices: np.ndarray

    def __new__(cls, offsets: np.ndarray, indices: np.ndarray) -> Skipped:
        record = super().__new__(cls, (len(offsets), int(offsets[0])))
        record.offsets = offsets
        record.indices = indices
        return record

    def __repr__(self) -> str:
        return f"Skipped({self[0]}, first at byte {self[1]})"

    def __reduce__(self) -> tuple[Any, ...]:  # from worker processes, by pickle
        return Skipped, (self.offsets, self.indices)

    @classmethod
    def join(cls, parts: list[tuple[Skipped, int, int]]) -> Skipped:
        """One record from those of consecutive pieces (of a stream, or files one after
        another): (record, byte offset and packet number at which its piece starts)."""
        offsets = np.concatenate([np.asarray(r.offsets, dtype=np.int64) + np.int64(at) for r, at, _ in parts])
        indices = np.concatenate([np.asarray(r.indices, dtype=np.int64) + np.int64(n) for r, _, n in parts])
        order = np.argsort(offsets, kind="stable")
        return cls(offsets[order], indices[order])


class FileResult(dict[str, dict[str, np.ndarray]]):
    """decode_file's result: container name -> {parameter name -> column}, in the order the
    containers first occur. `packets` counts the packets found, `skipped` maps each reason a
    packet was not decoded to a Skipped record: (count, byte offset of the first such packet),
    with every such packet's offset and number; `packet_index` maps each container to the index
    in the file of each of its rows' packets. `invalid` and `alarms` map each container to
    {parameter -> column} for the parameters whose types have a valid range (True where the value
    lies outside it) or alarms (AlarmLevel numbers, uint8). `gaps` maps each APID to the number of
    sequence counts missing among its packets, and `attributes` maps parameters to their
    ``units`` and ``description`` (those the definition gives)."""

    packets: int
    skipped: dict[str, Skipped]
    packet_index: dict[str, np.ndarray]
    invalid: dict[str, dict[str, np.ndarray]]
    alarms: dict[str, dict[str, np.ndarray]]
    gaps: dict[int, int]

    @property
    def attributes(self) -> dict[str, dict[str, str]]:
        """Parameter -> its units and description (those the definition gives)."""
        state = self.__dict__
        made = state.get("_attributes")
        if made is None:  # copied on first use from the entries the definition keeps for these columns
            shared = state.get("_shared_attributes", {})
            made = state.setdefault("_attributes", {name: entry.copy() for name, entry in shared.items()})
        return made

    @attributes.setter
    def attributes(self, value: dict[str, dict[str, str]]) -> None:
        self.__dict__["_attributes"] = value

    def _share_attributes(self, shared: dict[str, dict[str, str]]) -> None:
        """Take `shared` (never changed: copied before any caller sees it) as the attributes."""
        self.__dict__.pop("_attributes", None)
        self.__dict__["_shared_attributes"] = shared

    def __getstate__(self) -> dict[str, Any]:
        self.attributes  # noqa: B018 (made, so that the copy or pickle holds its own)
        return {key: value for key, value in self.__dict__.items() if key != "_shared_attributes"}

    def to_pandas(self) -> dict[str, Any]:
        """One pandas DataFrame per container (needs pandas: ``bitloom[pandas]``)."""
        from ._tables import to_pandas
        return to_pandas(self)

    def to_xarray(self) -> dict[str, Any]:
        """One xarray Dataset per container, over a ``packet`` dimension (needs xarray:
        ``bitloom[xarray]``)."""
        from ._tables import to_xarray
        return to_xarray(self)

    def to_arrow(self) -> dict[str, Any]:
        """One pyarrow Table per container, units and descriptions in the field metadata (needs
        pyarrow: ``bitloom[arrow]``)."""
        from ._tables import to_arrow
        return to_arrow(self)

    def to_parquet(self, directory: str | os.PathLike[str]) -> dict[str, str]:
        """Write DIRECTORY/CONTAINER.parquet for each container; returns the paths by container."""
        from ._tables import ParquetTables
        with ParquetTables(directory) as writer:
            writer.write(self)
        return writer.paths


class CheckedPacket(NamedTuple):
    """decode_checked's result: the container the packet matched, its values (as decode gives
    them), and for the parameters whose types have them, whether each value is invalid and its
    alarm level."""

    container: str
    values: dict[str, Value]
    invalid: dict[str, bool]
    alarms: dict[str, AlarmLevel]


_Skips = dict[str, list[np.ndarray]]  # reason -> byte offsets of the packets skipped for it
_TRUNCATED = "truncated at the end of the data"


# Why packets are not decoded: decode's PacketError carries the same reason that decode_file
# counts the packet under.

def _too_short(container: str) -> str:
    return f"too short for container {container!r}"


def _before_start(container: str) -> str:
    return f"with an entry before the packet's start in container {container!r}"


def _bad(container: str, parameter: str) -> str:
    return f"with a bad {parameter!r} field in container {container!r}"


def _bad_value(container: str, parameter: str) -> str:
    return f"with a bad {parameter!r} value in container {container!r}"


def _ambiguous(container: str) -> str:
    return f"matching more than one container below {container!r}"


def _unmatched(container: str) -> str:
    return f"matching no concrete container below {container!r}"


def _field_error(container: str, parameter: str, detail: str) -> PacketError:
    return PacketError(f"container {container!r}: {parameter!r}: {detail}", _bad(container, parameter))


@dataclass(slots=True)
class _Group:
    """Packets that have followed the same containers so far. Fixed-size fields are read only
    when a restriction, a dynamic size or the final columns need them: `known` lists those that
    the steps run so far have placed, and `values` holds those read already."""

    offsets: np.ndarray  # byte offsets in the data (uint64)
    bits: np.ndarray  # packet sizes in bits (int64)
    anchors: list[Any]  # per anchor: bit positions from each packet's start (0: the start itself)
    known: dict[str, tuple[Block, Field]]
    values: dict[str, np.ndarray] = field(default_factory=dict)  # raw values (text as text)
    fields: dict[str, np.ndarray] = field(default_factory=dict)  # text and binary field bytes
    calibrated: dict[str, np.ndarray] = field(default_factory=dict)
    items: dict[str, np.ndarray] = field(default_factory=dict)  # values read per packet (objects; MISSING)
    flat: dict[str, Any] = field(default_factory=dict)  # of items: the same values in one array (_compile.Flat)
    rows: np.ndarray | None = None  # each packet's place among the packets decoded (intp), when known
    threads: int = 1  # for the reader's calls over its packets

    def take(self, mask: np.ndarray) -> _Group:
        if mask.all():  # no copies when every packet goes the same way
            return _Group(self.offsets, self.bits, list(self.anchors), dict(self.known), dict(self.values),
                          dict(self.fields), dict(self.calibrated), dict(self.items), dict(self.flat), self.rows,
                          self.threads)
        return _Group(self.offsets[mask], self.bits[mask],
                      [a if isinstance(a, int) else a[mask] for a in self.anchors], dict(self.known),
                      {k: v[mask] for k, v in self.values.items()},
                      {k: v[mask] for k, v in self.fields.items()}, {},
                      {k: v[mask] for k, v in self.items.items()},
                      rows=None if self.rows is None else self.rows[mask], threads=self.threads)


@dataclass(slots=True)
class _Columns:
    """How a concrete container's packets become columns once they are routed to it: one reader
    call per anchor for every fixed field of the container and its base containers."""

    reads: list[tuple[int, int, list[dict], frozenset[str]]]  # (anchor, start bit after it, recipe, its names)
    extracted: list[Field]  # binary and terminated or counted text: bytes cut out in Python
    texts: list[Field]  # plain text in a recipe; its bytes are cut out for raw=True only
    # (parameter, whether its calibrated value may differ, structured, its column_calibrator)
    calibrate: list[tuple[str, bool, bool, Callable[[np.ndarray], Any] | None]]
    fixed: dict[str, bool]  # parameters read per packet -> whether their values have one shape
    checked: list[tuple[str, list[tuple[str, Any]]]]  # (parameter, checked_columns) of those with checks
    differing: list[tuple[str, Callable[[np.ndarray], Any] | None]]  # of calibrate: those that may differ
    structured: bool  # some parameter is a structure
    resolved: dict[Any, Any] = field(default_factory=dict)  # a read (and names left out) -> its resolved recipe

    def recipe(self, key: Any, items: list[dict]) -> Any:
        """The recipe of a read resolved once (bitloom._column_recipe), for every file after."""
        found = self.resolved.get(key)
        if found is None:
            found = bitloom._column_recipe(cast(Any, items))
            if len(self.resolved) < 64:  # kept: the names read for routing vary little
                self.resolved[key] = found
        return found


def load(source: Source | list[Source] | tuple[Source, ...], *, root: str | None = None,
         strict: bool = False) -> Definition:
    """Load an XTCE definition: one document (a path, its bytes or an open file) or a list of
    documents that make one definition (their space systems side by side, references from one
    into another resolved like references within one). `root` names the container that
    decoding starts from; by default the one container without a base container that others
    inherit from (or the only container without a base).

    What never changes how a packet decodes is read past and listed on the result's
    `tolerated`, with one XtceWarning; `strict=True` refuses it instead (a validation mode)."""
    sources = list(source) if isinstance(source, (list, tuple)) else [source]
    if not sources:
        raise XtceError("no document to load")
    with _collector_paused():
        several = len(sources) > 1
        documents = Documents([Document(s, f"document {i + 1}" if several else "") for i, s in enumerate(sources)])
        loader = Loader(strict)
        try:
            for document in documents.documents:
                loader.collect(document.root)
            loader.build()
            definition = Definition(loader, root)
            definition._commands = build_commands(loader, definition)
            definition._source = (tuple(d._data for d in documents.documents), strict)
        except Refusal as e:
            e.element = loader.origin.get(id(e.element), e.element)
            raise documents.error(e) from None
        tolerated = tuple(_tolerated(loader, documents))
        definition.tolerated = tolerated
        # The element tree goes before the collector resumes: its first pass then looks only at
        # what the definition keeps.
        del documents, loader
    if tolerated:
        warnings.warn("read past or read leniently (strict=True refuses these): "
                      + "; ".join(map(str, tolerated)), XtceWarning, stacklevel=2)
    return definition


def _tolerated(loader: Loader, documents: Documents) -> Iterator[Tolerated]:
    for what, (element, count) in loader.tolerated.items():
        element = loader.origin.get(id(element), element)
        document = next((d for d in documents.documents if d.has(element)), None)
        label = document.label if document is not None and len(documents.documents) > 1 else ""
        yield Tolerated(what, document.line(element) if document is not None else 0, count, label)


@contextlib.contextmanager
def _collector_paused() -> Iterator[None]:
    """Loading a large document makes tens of thousands of objects that all live as long as its
    definition, and no reference cycles: the cyclic garbage collector's passes over them while
    they are made free nothing, and took a quarter of the time of a large load."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


class Definition:
    """The telemetry of an XTCE document: its parameters, containers and how to decode packets;
    and its telecommands."""

    _commands: Commands | None = None  # the meta commands, when the documents have CommandMetaData

    def __init__(self, loader: Loader, root: str | None) -> None:
        # with the leaves of fixed-size structures (`P.member`, `P[i]`), which the public map leaves out
        self._parameters = dict(loader.parameters)
        self._containers = loader.containers
        self.parameters: NameMap = NameMap(loader.parameters, "parameters", loader.aliases(PARAMETER))
        self.containers: NameMap = NameMap(self._containers, "containers", loader.aliases(CONTAINER))
        self.types: NameMap = NameMap({k: t for k, (_, t) in loader.types.items()}, "parameter types",
                                      loader.aliases(TYPE))
        self.tolerated: tuple[Tolerated, ...] = ()  # what loading read past or read leniently
        self._segments: dict[str, Segment] = {}
        self._plans: dict[str, _Columns] = {}  # concrete container -> how its columns are read
        self._tested: dict[str, list[str]] = {}  # container -> parameters its inheritors' restrictions test
        self._routed: set[str] | None = None
        self._source: tuple[tuple[bytes, ...], bool] | None = None  # the documents and strict, for pickling
        self._placements = Placements(self._containers, self._parameters)  # how many entries place each parameter
        self._text_fields: dict[str, list[tuple[str, str, str]]] = {}  # container -> its numbers as text (see _texts)
        for name in self._containers:
            self._segment(name, loader.container_nodes)
        self._read_whole = {n for segment in self._segments.values() for step in segment.steps
                            if isinstance(step, Structure) for n in step.names}
        if root is not None:
            root = loader.aliases(CONTAINER).get(root, root)
            if root not in self._containers:
                raise XtceError(f"root container {root!r}: no container has that name")
        self.root = root if root is not None else self._find_root()
        self._encoder = Encoder(self._parameters, self._containers, self._segments, self.root)
        self._error_checks: dict[str, list[tuple[Field, Any]]] = {}  # container -> the checks its packets carry
        self._compiled = _compile.Cache()  # the decode programs, made on first use
        self._known: dict[str, dict[str, tuple[Block, Field]]] = {}  # container -> its fixed fields, by name
        self._attributes: dict[tuple, dict[str, dict[str, str]]] = {}  # a result's columns -> their attributes

    def __repr__(self) -> str:
        return (f"<Definition: {len(self._parameters)} parameters, {len(self._containers)} containers, "
                f"root {self.root!r}>")

    def __reduce__(self) -> tuple[Any, ...]:
        # Pickled as its documents: loaded again where it is unpickled, once per process.
        if self._source is None:
            raise TypeError("only a definition made by bitloom_xtce.load can be pickled")
        return _reload, (*self._source, self.root)

    def _digest(self) -> str:
        """A digest of what pickling sends: equal for definitions loaded from the same documents."""
        if self._source is None:
            raise TypeError("only a definition made by bitloom_xtce.load can be sent to other processes")
        return _digest(*self._source, self.root)

    def _segment(self, name: str, elements: dict[str, Element]) -> Segment:
        segment = self._segments.get(name)
        if segment is None:
            container = self._containers[name]
            base = self._segment(container.base, elements) if container.base is not None else None
            if base is not None:
                many = {n for link in base.chain for step in self._segments[link].steps if isinstance(step, Structure)
                        and step.entry.repeat is not None for n in step.names}
                many.update(n for n in base.names if self._parameters[n].type.kind == "array")
                check_criterion(container.restriction, base.names, elements[name], many)
            segment = compile_container(container, self._containers, self._parameters, base, elements[name],
                                        self._placements)
            self._segments[name] = segment
        return segment

    def _find_root(self) -> str | None:
        included = {e.ref for c in self._containers.values() for e in c.entries if e.kind == "container"}
        tops = [c.name for c in self._containers.values() if c.base is None and c.name not in included]
        with_children = [n for n in tops if self._containers[n].children]
        if len(with_children) == 1:
            return with_children[0]
        if not with_children and len(tops) == 1:
            return tops[0]
        return None

    def _root_segment(self) -> Segment:
        if self.root is None:
            raise ValueError("the definition has no single root container: name it with "
                             "bitloom_xtce.load(..., root=NAME)")
        return self._segments[self.root]

    def concrete(self) -> list[str]:
        """The containers a packet can decode as: reachable from the root, not abstract."""
        return concrete_below(self._containers, [self.root] if self.root else [])

    # -- one packet -------------------------------------------------------------------------

    def decode(self, packet: bytes, raw: bool = False) -> dict[str, Value]:
        """Decode one packet: parameter name -> value, for every parameter of the container it
        matches and of that container's base containers. `raw=True` gives the values before
        calibration and enumeration (text and binary fields as their bytes)."""
        return self.decode_with_container(packet, raw)[1]

    def decode_with_container(self, packet: bytes, raw: bool = False) -> tuple[str, dict[str, Value]]:
        """As decode, and the name of the concrete container the packet matched."""
        segment, values, fields, get = self._decode_one(packet)
        return segment.container.name, self._shown(segment, values, fields, get, raw)

    def decode_checked(self, packet: bytes, raw: bool = False) -> CheckedPacket:
        """As decode_with_container, with the checks the parameter types define: `invalid`
        (parameter -> whether its value lies outside its type's valid range) and `alarms`
        (parameter -> its AlarmLevel), each for the parameters whose types have them."""
        segment, values, fields, get = self._decode_one(packet)
        invalid: dict[str, bool] = {}
        alarms: dict[str, AlarmLevel] = {}
        for n in segment.names:
            ptype = self._parameters[n].type
            if ptype.checks is not None and n in values:
                checked = [(n, ptype.checks, get(n, False), get(n, True))]
            elif ptype.structured and (n in values or n not in self._read_whole):
                # structures: each leaf member that has checks, named as decode_file's columns
                leaves = checked_columns(n, ptype)
                if not leaves:
                    continue
                if n in self._read_whole:
                    raws, calibrated = split(n, ptype, values[n], False), split(n, ptype, get(n, True), True)
                else:
                    raws = split(n, ptype, assemble(n, ptype, lambda leaf: values[leaf]), False)
                    calibrated = split(n, ptype, assemble(n, ptype, lambda leaf: get(leaf, True)), True)
                checked = [(c, checks, raws[c], calibrated[c]) for c, checks in leaves]
            else:
                continue
            _record_checks(checked, invalid, alarms, get)
        shown = self._shown(segment, values, fields, get, raw)
        return CheckedPacket(segment.container.name, shown, invalid, alarms)

    def _shown(self, segment: Segment, values: dict[str, Value], fields: dict[str, bytes],
               get: Callable[[str, bool], Value], raw: bool) -> dict[str, Value]:
        """A packet's values as decode gives them: structures whole, and no value for an entry
        whose include condition failed."""
        shown: dict[str, Value] = {}
        for leaf, kind, whole in self._texts(segment):  # numbers and times as text: they must parse
            if leaf in values and not isinstance(values[leaf], np.ndarray):
                try:
                    parse_numbers(kind, values[leaf])
                except PacketError as e:
                    raise PacketError(f"container {segment.container.name!r}: {whole!r}: {e}",
                                      _bad_value(segment.container.name, whole)) from None
        for n in segment.names:
            ptype = self._parameters[n].type
            try:
                if ptype.structured and n not in self._read_whole:  # a fixed-size structure: from its leaves
                    shown[n] = assemble(n, ptype, (lambda leaf: fields.get(leaf, values[leaf])) if raw else
                                        (lambda leaf: get(leaf, True)))
                elif n in values:  # else its include condition failed
                    shown[n] = fields.get(n, values[n]) if raw else get(n, True)
            except PacketError as e:
                raise PacketError(f"container {segment.container.name!r}: {n!r}: {e}",
                                  _bad_value(segment.container.name, n)) from None
        return shown

    def _decode_one(self, packet: bytes) -> tuple[Segment, dict[str, Value], dict[str, bytes],
                                                   Callable[[str, bool], Value]]:
        """Follow a packet down the containers: the last one's segment, raw values, field
        bytes, and a lookup of raw or calibrated values."""
        packet = _buffer(packet, "packet")
        limit = len(packet) * 8
        anchors = [0]
        values: dict[str, Value] = {}
        fields: dict[str, bytes] = {}
        segment = self._root_segment()
        lookup = _Values(self._parameters, partial(_present, values))
        get = lookup.get

        while True:
            name = segment.container.name
            for step in segment.steps:
                if isinstance(step, Block):
                    self._block_one(step.prepare(), name, packet, limit, anchors, values, fields)
                elif isinstance(step, Structure):
                    reader = Reader(self._parameters, self._containers, packet, limit, values, get)
                    try:
                        anchors.append(reader.step(step.entry, anchors[step.anchor] + step.offset))
                    except PacketError as e:
                        raise PacketError(f"container {name!r}: {e}", _bad(name, step.entry.ref)) from None
                    for n, texts in reader.texts.items():  # what raw=True gives for the texts inside
                        if n in values and needs_raw_form(values[n], texts):
                            fields[n] = raw_form(self._parameters[n].type, values[n], texts)
                else:
                    self._variable_one(step, name, packet, limit, anchors, values, fields, get)
                lookup.calibrated.clear()  # a parameter listed again has a new value
            following = self._next(segment.container, get)
            if following is None:
                break
            segment = self._segments[following]
        self._verify_one(segment, packet, anchors, values, fields)
        return segment, values, fields, get

    def _declared_checks(self, name: str) -> list[tuple[Field, Any]]:
        found = self._error_checks.get(name)
        if found is None:
            found = self._error_checks[name] = declared_checks(self._segments[name].chain, self._segments)
        return found

    def _verify_one(self, segment: Segment, packet: bytes, anchors: list[int], values: dict[str, Value],
                    fields: dict[str, bytes]) -> None:
        """A packet whose CRC, checksum or parity field disagrees with its bytes is refused."""
        for f, check in self._declared_checks(segment.container.name):
            name = f.parameter.name
            stored = int.from_bytes(fields[name], "big") if name in fields else values[name]
            start = anchors[f.anchor] + f.offset
            try:
                first, stop = check.region(len(packet) * 8, start, f.bits)
            except ValueError as e:
                raise PacketError(f"container {segment.container.name!r}: {name}: its {check.algorithm!r} {e}") from None
            computed = check.compute(packet, first, stop)
            if computed != stored:
                raise PacketError(f"container {segment.container.name!r}: {name} is 0x{stored:x}, the packet's "
                                  f"{check.algorithm!r} is 0x{computed:x}")

    def _next(self, container: Container, get: Callable[[str, bool], Value]) -> str | None:
        matches = []
        for name in container.children:
            restriction = self._containers[name].restriction
            try:
                holds = restriction is None or restriction.evaluate(get)
            except PacketError:  # it tests a parameter this packet does not have (an include condition left it out)
                holds = False
            if isinstance(holds, np.ndarray) and holds.size != 1:  # a repeated value
                raise PacketError(f"the restriction of {name!r} tests {holds.size} values, not one")
            if holds:
                matches.append(name)
        if len(matches) == 1:
            return matches[0]
        if len(matches) > 1:
            raise PacketError(f"the packet matches more than one container below {container.name!r}: "
                              + ", ".join(matches), _ambiguous(container.name))
        return None  # the deepest container reached, abstract or not

    @staticmethod
    def _block_one(block: Block, container: str, packet: bytes, limit: int, anchors: list[int],
                   values: dict[str, Value], fields: dict[str, bytes]) -> None:
        base = anchors[block.anchor]
        start, end = base + block.start, base + block.end
        if start < 0:
            first = min(block.fields, key=lambda f: f.offset).parameter.name
            raise PacketError(f"container {container!r}: {first!r} would start {-start} bits before the packet",
                              _before_start(container))
        if end > limit:
            last = max(block.fields, key=lambda f: f.offset + f.bits).parameter.name
            raise PacketError(f"container {container!r}: the packet ({limit // 8} bytes) is too short: "
                              f"{last!r} ends at bit {end}", _too_short(container))
        if block.recipe:
            try:
                values.update(bitloom.unpack_parameters(packet, start, cast(Any, block.recipe)))
            except ValueError:
                for f in block.fallible:  # the first field that fails on its own
                    if f.item is None:
                        continue
                    try:
                        bitloom.unpack_parameters(packet, start, cast(Any, [f.item]))
                    except ValueError as e:
                        raise _field_error(container, f.parameter.name, str(e).removeprefix("ValueError: ")) from None
                raise
        for f in block.texts:
            fields[f.parameter.name] = take_bits(packet, base + f.offset, f.bits)
        for f in block.extracted:
            enc = f.parameter.type.encoding
            assert isinstance(enc, (StringEncoding, BinaryEncoding))
            try:
                _, raw_field, text = measure(enc, packet, base + f.offset, limit, None)
            except PacketError as e:
                raise _field_error(container, f.parameter.name, str(e)) from None
            fields[f.parameter.name] = raw_field
            values[f.parameter.name] = raw_field if text is None else text

    @staticmethod
    def _variable_one(step: Variable, container: str, packet: bytes, limit: int, anchors: list[int],
                      values: dict[str, Value], fields: dict[str, bytes], get: Callable[[str, bool], Value]) -> None:
        enc = step.parameter.type.encoding
        assert isinstance(enc, (StringEncoding, BinaryEncoding))
        start = anchors[step.anchor] + step.offset
        if start < 0:
            raise PacketError(f"container {container!r}: {step.parameter.name!r} would start {-start} bits "
                              "before the packet", _before_start(container))
        try:
            size = enc.dynamic.bits(get(enc.dynamic.parameter, enc.dynamic.calibrated)) if enc.dynamic else None
        except (PacketError, KeyError):  # its size parameter's entry was left out by its include condition
            raise _field_error(container, step.parameter.name, f"its size comes from {enc.dynamic.parameter!r}, "
                               "which has no value in this packet") from None
        try:
            bits, raw_field, text = measure(enc, packet, start, limit, size)
        except PacketError as e:
            raise _field_error(container, step.parameter.name, str(e)) from None
        fields[step.parameter.name] = raw_field
        values[step.parameter.name] = raw_field if text is None else text
        anchors.append(start + bits)

    # -- whole files --------------------------------------------------------------------------

    def decode_file(self, data: Any, framing: str | int = "ccsds", raw: bool = False, *,
                    prefix_bytes: int = 0, unmatched: str = "skip", segmented: bool = False,
                    threads: int = 1) -> FileResult:
        """Split `data` into packets and decode each with its concrete container. Returns
        container name -> {parameter name -> numpy column}, one row per packet in file order.
        Packets that decode refuses (too short, a field whose bits are no value of its encoding,
        more than one concrete container), packets that match no concrete container and a packet
        cut off at the end are skipped and reported in one DecodeWarning (counts and first
        offsets), and in the result's `skipped`; the result's `gaps` counts the sequence counts
        missing per APID. `prefix_bytes` skips that many bytes before each packet (a per-packet
        marker some recorders write). `framing=N` reads packets of N bytes each instead of space
        packets (no primary header: no gaps counted, no segments joined). `unmatched="keep"`
        puts a packet that matches no concrete container in the table of the deepest (abstract)
        container it reached instead of skipping it. `segmented=True` puts segmented packets
        back together first.

        `data` is the file's bytes, any buffer (an mmap, a bytearray, a memoryview), read in
        place, or a path, which is mapped into memory rather than read. `threads=N` decodes
        the packets on N threads."""
        from ._stream import _check_options, decode_piece
        if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
            raise ValueError(f"threads must be a positive int, got {threads!r}")
        _check_options(framing, prefix_bytes, unmatched, segmented)
        given: contextlib.AbstractContextManager[Any] = \
            contextlib.nullcontext(data) if isinstance(data, (bytes, mmap.mmap)) else _file_data(data)
        with given as view:
            result, _ = decode_piece(self, view, framing, raw, prefix_bytes, segmented, unmatched=unmatched,
                                     threads=threads)
        _warn_skipped(result, 3)
        return result

    def iter_decode(self, source: Any, *, chunk_bytes: int = 64 << 20, framing: str | int = "ccsds",
                    raw: bool = False, prefix_bytes: int = 0, unmatched: str = "skip",
                    segmented: bool = False) -> DecodeStream:
        """Decode a stream a chunk at a time: `source` is a path, a binary file object (a pipe
        too), a socket, bytes, or an iterable of bytes. Yields one result like decode_file's per
        chunk of about `chunk_bytes` bytes (a packet cut by the chunk's end goes into the next),
        so memory stays bounded whatever the size of the stream. Returns a DecodeStream."""
        from ._stream import DecodeStream
        return DecodeStream(self, source, chunk_bytes=chunk_bytes, framing=framing, raw=raw,
                            prefix_bytes=prefix_bytes, unmatched=unmatched, segmented=segmented)

    def _decode_frames(self, data: bytes, offsets: np.ndarray, lengths: np.ndarray, raw: bool,
                       skipped: _Skips, keep: bool, threads: int = 1) -> FileResult:
        """Decode the packets at `offsets` (`lengths` bytes each) into a result's tables; those
        not decoded are counted into `skipped` (those that match no concrete container kept in
        their abstract one's table with `keep`)."""
        result = FileResult()
        result.packets = len(offsets) + (1 if _TRUNCATED in skipped else 0)
        found: dict[str, tuple[dict[str, np.ndarray], np.ndarray, _Checked]] = {}  # columns, rows, checks
        if len(offsets):
            with np.errstate(all="ignore"):  # overflow to infinity and NaN, as for one packet
                self._run_program(data, offsets, lengths, raw, found, skipped, keep, threads)
        order = self._concrete_order()
        result.packet_index, result.invalid, result.alarms = {}, {}, {}
        for name in sorted(found, key=lambda n: order.get(n, len(order))):
            result[name], rows, (invalid, alarms) = found[name]
            result.packet_index[name] = rows.astype(np.int64, copy=False)
            result.invalid[name], result.alarms[name] = invalid, alarms
        result.skipped = {}
        if not skipped:
            return result
        # Reassembled packets lie behind the data: the offsets are not sorted then.
        sorter = np.argsort(offsets, kind="stable")
        signed = offsets.astype(np.int64)
        for reason, parts in skipped.items():
            where = np.sort(np.concatenate([np.asarray(part, dtype=np.int64) for part in parts]))
            # A packet's number is its place among the packets; one cut off at the end comes
            # after them all.
            found_at = np.searchsorted(signed, where, sorter=sorter)
            inside = found_at < len(offsets)
            numbers = np.full(len(where), len(offsets), dtype=np.int64)
            numbers[inside] = sorter[found_at[inside]]
            result.skipped[reason] = Skipped(where, numbers)
        return result

    def _concrete_order(self) -> dict[str, int]:
        """The place of each concrete container in concrete(), made once per root."""
        made = self.__dict__.get("_order")
        if made is None or made[0] != self.root or made[1] is not self._containers:
            made = self._order = (self.root, self._containers, {name: i for i, name in enumerate(self.concrete())})
        return made[2]

    def _run_program(self, data: Any, offsets: np.ndarray, lengths: np.ndarray, raw: bool,
                     found: dict[str, tuple[dict[str, np.ndarray], np.ndarray, _Checked]],
                     skipped: _Skips, keep: bool, threads: int) -> None:
        """Decode the packets with the compiled program: the raw columns of each container its
        packets end in, made columns as _route makes them; the packets the program cannot take
        go through _route."""
        compiled = self._compiled.get(self, raw)
        if compiled.by_columns and len(offsets) >= _COLUMNS_FROM:
            group = _Group(offsets, lengths * 8, [0], {}, rows=np.arange(len(offsets)), threads=threads)
            self._route(self._root_segment(), group, data, raw, found, skipped, keep)
            return
        out = bitloom._run_program(compiled.program, data, offsets, lengths, threads=threads)
        reasons, containers, steps, slots = out["reason"], out["container"], out["step"], out["slots"]
        few = len(reasons) <= _FEW_PACKETS  # plain Python costs less than numpy's calls then
        every = not (any(reasons.tolist()) if few else reasons.any())  # every packet decoded
        failed = np.flatnonzero(reasons > _compile.PYTHON) if not every else ()
        if len(failed):
            keys = steps[failed].astype(np.int64) * 256 + reasons[failed]
            for key in np.unique(keys).tolist():
                reason = compiled.reason(key >> 8, key & 255)
                skipped.setdefault(reason, []).append(offsets[failed[keys == key]])
        python = reasons == _compile.PYTHON if not every else None
        python_data: Any = data if isinstance(data, (bytes, mmap.mmap)) else None
        if python is not None and python.any():
            python_data = python_data if python_data is not None else bytes(data)
            group = _Group(offsets[python], lengths[python] * 8, [0], {}, rows=np.flatnonzero(python),
                           threads=threads)
            self._route(self._root_segment(), group, python_data, raw, found, skipped, keep)
        done = np.flatnonzero(reasons == _compile.OK) if not every else np.arange(len(reasons))
        if not len(done):
            return
        ended = containers[done] if not every else containers
        numbers = sorted(set(ended.tolist())) if few else np.flatnonzero(np.bincount(ended)).tolist()
        if (raw or compiled.cuts) and python_data is None:  # some fields' bytes are cut out in Python
            python_data = bytes(data)
        for number in numbers:
            rows = done if len(numbers) == 1 else done[ended == number]
            name = compiled.names[number]
            segment = self._segments[name]
            place = compiled.places[name]
            whole = every and len(numbers) == 1  # the packets as they are
            group = _Group(offsets if whole else offsets[rows], (lengths if whole else lengths[rows]) * 8,
                           [0] * segment.anchors, dict(self._placed(name)), rows=rows, threads=threads)
            for anchor, k in place.anchors.items():
                group.anchors[anchor] = _taken(slots[k], rows)
            for n, (k, kind) in place.values.items():
                if kind == "bytes":
                    cut = _span_bytes(data, slots[k][0], slots[k][1], _taken_at(slots[k], rows))
                    group.values[n] = group.fields[n] = cut
                else:
                    group.values[n] = _taken(slots[k], rows)
            for n, k in place.whole.items():
                group.fields[n] = _span_bytes(data, slots[k][0], slots[k][1], _taken_at(slots[k], rows))
            for step, shape in place.structures:  # entries read whole
                group.items.update(_compile.entry_values(step, shape, self._parameters, slots, rows, data,
                                                         group.flat, group.fields))
            self._settle(segment, group, python_data if python_data is not None else data, raw, found, skipped,
                         keep)

    def _placed(self, name: str) -> dict[str, tuple[Block, Field]]:
        """The fixed fields of a container and its base containers by parameter, where each is
        read (a parameter listed twice where it is listed last)."""
        placed = self._known.get(name)
        if placed is None:
            placed = {}
            for link in self._segments[name].chain:
                for step in self._segments[link].steps:
                    if isinstance(step, Block):
                        for f in step.prepare().fields:
                            placed.pop(f.parameter.name, None)
                            placed[f.parameter.name] = (step, f)
            self._known[name] = placed
        return placed

    def _route(self, segment: Segment, group: _Group, data: bytes, raw: bool,
               found: dict[str, tuple[dict[str, np.ndarray], np.ndarray, _Checked]],
               skipped: _Skips, keep: bool) -> None:
        """Run one container's steps over a group, then send its packets on to the inheritors
        whose restrictions they meet, or make them this container's columns."""
        name = segment.container.name
        for step in segment.steps:
            if isinstance(step, Block):
                step.prepare()
                starts = group.anchors[step.anchor] + step.start
                if not isinstance(starts, int):  # a negative location after a variable-size field
                    group = _skip(group, starts < 0, _before_start(name), skipped)
                short = (group.anchors[step.anchor] + step.end) > group.bits
                group = _skip(group, short, _too_short(name), skipped)
                for f in step.fields:
                    group.known[f.parameter.name] = (step, f)
                for kept in (group.values, group.fields, group.calibrated, group.items):  # read at an earlier place
                    if kept and not kept.keys().isdisjoint(step.names):
                        for stale in kept.keys() & step.names:
                            del kept[stale]
                if step.fallible and len(group.offsets):
                    group = _check(data, group, step, name, skipped)
            else:
                if isinstance(step, Structure):
                    group = _skip(group, self._structure_columns(step, group, data), _bad(name, step.entry.ref),
                                  skipped)
                else:
                    early, bad = self._variable_columns(step, group, data)
                    group = _drop(group, [(early, _before_start(name)), (bad, _bad(name, step.parameter.name))],
                                  skipped)
            if not len(group.offsets):
                return
        container = segment.container
        if container.children:
            tested = self._tested.get(name)
            if tested is None:
                tested = self._tested[name] = list(dict.fromkeys(
                    p for child in container.children
                    for p, _ in _criterion_parameters(self._containers[child].restriction)))
            _prefetch(data, group, tested, self._routing())
            get = self._getter(group, data)
            masks = []
            for child in container.children:
                restriction = self._containers[child].restriction
                if restriction is not None and any(np.ma.is_masked(get(p, False)) for p, _ in restriction.parameters()):
                    # it tests values some packets do not have (an include condition left them out):
                    # packet by packet, as decode does, where it does not hold for those
                    mask = np.array([_row_holds(restriction, _Values(self._parameters, _Row(get, i).raw).get)
                                     for i in range(len(group.offsets))], dtype=bool)
                else:
                    mask = np.ones(len(group.offsets), dtype=bool) if restriction is None else \
                        np.broadcast_to(np.asarray(restriction.evaluate(get), dtype=bool), group.offsets.shape)
                masks.append(mask)
            hits = masks[0].astype(np.int8) if len(masks) == 1 else np.sum(masks, axis=0)
            for child, mask in zip(container.children, masks):
                chosen = mask & (hits == 1)
                if chosen.any():
                    self._route(self._segments[child], group.take(chosen), data, raw, found, skipped, keep)
            _skip(group, hits > 1, _ambiguous(name), skipped)
            none = hits == 0
            if not none.any():
                return
            group = group.take(none)
        self._settle(segment, group, data, raw, found, skipped, keep)

    def _settle(self, segment: Segment, group: _Group, data: bytes, raw: bool,
                found: dict[str, tuple[dict[str, np.ndarray], np.ndarray, _Checked]],
                skipped: _Skips, keep: bool) -> None:
        """Make the packets that end in a container its columns: those whose checks fail or whose
        numbers and times written as text do not parse are skipped, then those of an abstract
        container (unless kept)."""
        name = segment.container.name
        container = segment.container
        for f, check in self._declared_checks(name):
            bad = self._failing(f, check, group, data)
            if bad.any():
                group = _skip(group, bad, f"failing the {check.algorithm!r} in {f.parameter.name!r} of container "
                                          f"{name!r}", skipped)
                if not len(group.offsets):
                    return
        for n, kind, whole in self._texts(segment):  # numbers and times as text: a packet whose text does not parse is skipped
            if n not in group.items:
                bad = parse_numbers(kind, self._getter(group, data)(n, False))[1]
                if bad is not None and bad.any():
                    group = _skip(group, bad, _bad_value(name, whole), skipped)
                    if not len(group.offsets):
                        return
        if container.abstract and not keep:  # after the checks decode makes of such a packet too
            _skip(group, np.ones(len(group.offsets), dtype=bool), _unmatched(name), skipped)
            return
        columns = self._columns(segment, group, data, raw)
        assert group.rows is not None  # the groups of a file know their packets' places
        found[name] = columns, group.rows, self._checks(segment, group, data, None if raw else columns)

    def _texts(self, segment: Segment) -> list[tuple[str, str, str]]:
        """(parameter or leaf of a fixed-size structure, its kind, the parameter) of a container's
        numbers and times written as text."""
        found = self._text_fields.get(segment.container.name)
        if found is None:
            found = self._text_fields[segment.container.name] = []
            for n in segment.names:
                ptype = self._parameters[n].type
                parts = (leaves(n, ptype) or []) if ptype.structured and n not in self._read_whole else [(n, ptype)]
                found.extend((leaf, t.kind, n) for leaf, t in parts
                             if isinstance(t.encoding, StringEncoding) and t.kind in TEXT_KINDS)
        return found

    def _column_plan(self, segment: Segment) -> _Columns:
        plan = self._plans.get(segment.container.name)
        if plan is None:
            plan = self._plans[segment.container.name] = _column_plan(segment, self._segments, self._parameters)
        return plan

    def _checks(self, segment: Segment, group: _Group, data: bytes,
                shown: dict[str, np.ndarray] | None = None) -> _Checked:
        """The invalid and alarm columns of a container's parameters that have checks (of the
        leaf members of structures, named as their columns). `shown`: the calibrated columns,
        when made already."""
        invalid: dict[str, np.ndarray] = {}
        alarms: dict[str, np.ndarray] = {}
        get = None
        for n, leaves in self._column_plan(segment).checked:
            ptype = self._parameters[n].type
            get = get or self._getter(group, data)
            if n not in group.items and not ptype.structured:
                checked = [(n, leaves[0][1], get(n, False), get(n, True))]
            else:
                raws, calibrated = self._structure_checked(segment, n, ptype, group, get, shown)
                checked = [(c, checks, raws[c], calibrated[c]) for c, checks in leaves]
            _record_checks(checked, invalid, alarms, get)
        return invalid, alarms

    def _structure_checked(self, segment: Segment, n: str, ptype: ParameterType, group: _Group,
                           get: Callable[[str, bool], Value], shown: dict[str, np.ndarray] | None
                           ) -> tuple[dict[str, np.ndarray], dict[str, np.ndarray]]:
        """The raw and calibrated columns of a structure's (or a repeated entry's) leaf members."""
        rows = len(group.offsets)
        if n not in group.items:  # a fixed-size structure: from its leaves
            raws = assemble_columns(n, ptype, lambda leaf: get(leaf, False), rows)
            return raws, shown if shown is not None else assemble_columns(n, ptype, lambda leaf: get(leaf, True), rows)
        plan = self._column_plan(segment)
        columns = columns_of(n, ptype)
        made: list[dict[str, np.ndarray]] = []
        for calibrate in (False, True):
            if calibrate and shown is not None:
                made.append(shown)
                continue
            per: dict[str, list] = {c: [] for c in columns}
            for i, value in enumerate(group.items[n].tolist()):
                if value is not MISSING and calibrate:
                    value = _calibrated_row(ptype, value, _Values(self._parameters, _Row(get, i).raw).get, n)
                parts = split(n, ptype, value, calibrate) if value is not MISSING else {}
                for c in columns:
                    per[c].append(parts.get(c, MISSING))
            made.append({c: column(per[c], plan.fixed[n]) for c in columns})
        return made[0], made[1]

    def _failing(self, f: Field, check: Any, group: _Group, data: bytes) -> np.ndarray:
        stored = self._getter(group, data)(f.parameter.name, False)
        if stored.dtype == object:  # a binary field: its bytes as a number
            stored = np.array([int.from_bytes(b, "big") for b in stored.tolist()], dtype=np.uint64)
        starts = group.anchors[f.anchor] + f.offset
        return check.failing(np.frombuffer(data, dtype=np.uint8), group.offsets, group.bits,
                             np.broadcast_to(np.asarray(starts, dtype=np.int64), group.offsets.shape), f.bits, stored)

    # -- encoding -------------------------------------------------------------------------------

    def encode(self, container: str, values: Mapping[str, Any], *, raw: bool = False,
               sequence_count: int | None = None) -> bytes:
        """One packet of `container` from its parameters' values (by name): calibrated values
        (labels, booleans, text, engineering units), or with `raw=True` the raw values decode
        gives with raw=True. Values that restriction criteria, sizes, the CCSDS header, check
        fields or initial values set may be left out. `sequence_count` sets the CCSDS sequence
        count (by default each APID's counter on this definition, from 0). See the encoding
        guide for the rules."""
        return self._encoder.encode(container, values, raw, sequence_count)

    def encode_many(self, container: str, columns: Mapping[str, Any], *, raw: bool = False,
                    sequence_count: Any = None) -> bytes:
        """Packets of `container` from columns of values (parameter name -> sequence, one value
        per packet; a column of decode_file's result serves as is), back to back. As encode;
        `sequence_count` is the first packet's count or one per packet."""
        return self._encoder.encode_many(container, columns, raw, sequence_count)

    # -- telecommands -----------------------------------------------------------------------

    @property
    def commands(self) -> Mapping[str, Command]:
        """The meta commands by name (qualified where two share a name): their arguments, the
        arguments' defaults and valid ranges, what ArgumentAssignments fix, whether abstract."""
        if self._commands is None:
            return NameMap({}, "meta commands")
        return self._commands.map

    @property
    def command_blocks(self) -> Mapping[str, CommandBlock]:
        """The BlockMetaCommands by name: each a list of steps, a meta command with its arguments'
        values."""
        if self._commands is None:
            return NameMap({}, "command blocks")
        return self._commands.blocks

    def encode_command(self, name: str, values: Mapping[str, Any] | None = None, /, *,
                       sequence_count: int | None = None, **arguments: Any) -> bytes | list[bytes]:
        """The packet of meta command `name` with its arguments' values, as keywords or as a
        mapping (calibrated: labels, booleans, text, engineering units, times). Arguments left out
        take their defaults; a value outside an argument's valid range, a missing or unknown
        argument, or an abstract command raises ValueError. The CCSDS header, fixed values, the
        length, the sequence count (`sequence_count`, else a counter per APID shared by the
        commands) and declared checks are filled in as for telemetry.

        For a command block (`command_blocks`), the list of its steps' packets in order, the
        first with `sequence_count` when given and each next step with the next count."""
        if self._commands is None:
            raise ValueError(f"no meta command named {name!r}: the definition has no commands")
        if values is not None:
            if not isinstance(values, Mapping):
                raise TypeError(f"values must be a mapping of argument names to values, not {type(values).__name__}")
            twice = values.keys() & arguments.keys()
            if twice:
                raise ValueError(f"argument {sorted(twice)[0]!r} given both in values and as a keyword")
            arguments = {**values, **arguments}
        if name not in self._commands.map and name in self._commands.blocks:
            return self._commands.encode_block(name, arguments, sequence_count)
        return self._commands.encode(name, arguments, sequence_count)

    def decode_command(self, data: bytes) -> tuple[str, dict[str, Value]]:
        """The meta command a packet is and its arguments' values: the one concrete meta command
        whose layout, fixed values, assignments, restriction criteria, length and checks the
        packet matches (of a command and one that narrows it, the narrower). ValueError when no
        command or more than one matches."""
        if self._commands is None:
            raise ValueError("the definition has no commands")
        return self._commands.decode(data)

    def _columns(self, segment: Segment, group: _Group, data: bytes, raw: bool) -> dict[str, np.ndarray]:
        plan = self._column_plan(segment)
        for k, (anchor, start, recipe, names) in enumerate(plan.reads):
            values = group.values
            if values.keys().isdisjoint(names):
                key: Any = k
                wanted = recipe
            else:  # those read for routing already are not read again
                key = (k, frozenset(names & values.keys()))
                wanted = [item for item in recipe if item["name"] not in values]
            if wanted:
                group.values.update(_unpack(data, wanted, group, anchor, start, plan.recipe(key, wanted)))
        for f in plan.extracted:  # (the program gives their values, and their bytes where raw)
            if f.parameter.name not in group.fields and (raw or f.parameter.name not in group.values):
                _cut(data, group, f)
        if raw:
            for f in plan.texts:
                if f.parameter.name not in group.fields:
                    _cut(data, group, f, keep_text=False)
        get = self._getter(group, data)
        values = group.values
        items, fields, calibrated = group.items, group.fields, group.calibrated
        if not items and not plan.structured:  # one column per parameter
            if raw:
                return {n: fields.get(n, values[n]) for n, _, _, _ in plan.calibrate}
            for n, direct in plan.differing:
                if n not in calibrated:
                    if direct is not None and type(values.get(n)) is np.ndarray:
                        calibrated[n] = direct(values[n])  # as get(n, True) makes it, with less on the way
                    else:
                        get(n, True)  # kept in calibrated
            return {n: calibrated[n] if differs else values[n] for n, differs, _, _ in plan.calibrate}
        out: dict[str, np.ndarray] = {}
        for n, differs, structured, direct in plan.calibrate:
            if direct is not None and not raw and n not in items and n not in calibrated \
                    and type(values.get(n)) is np.ndarray:
                out[n] = calibrated[n] = direct(values[n])  # as get(n, True) makes it, with less on the way
            elif n in items:  # read per packet: split into leaf columns
                self._split_columns(n, self._parameters[n].type, group, get, raw, plan.fixed[n], out)
            elif structured:  # a fixed-size structure: from its leaves' columns
                out.update(assemble_columns(n, self._parameters[n].type,
                                            (lambda leaf: fields.get(leaf, values[leaf])) if raw
                                            else (lambda leaf: get(leaf, True)), len(group.offsets)))
            elif raw:
                out[n] = fields.get(n, values[n])
            else:
                out[n] = get(n, True) if differs else values[n]
        return out

    def _split_columns(self, n: str, ptype: ParameterType, group: _Group, get: Callable[[str, bool], Value],
                       raw: bool, fixed: bool, out: dict[str, np.ndarray]) -> None:
        if group.flat:
            leaf_types = _leaf_types(n, ptype)
            if all(c in group.flat for c in leaf_types):  # (where raw, of the raw forms in group.fields)
                items = group.fields[n] if raw and n in group.fields else group.items[n]
                made = {c: _flat_column(group.flat[c], t, raw, fixed, items) for c, t in leaf_types.items()}
                if all(column is not None for column in made.values()):
                    out.update(made)  # type: ignore[arg-type]
                    return
        items = group.fields[n] if raw and n in group.fields else group.items[n]
        per: dict[str, list] = {}
        columns = columns_of(n, ptype)
        for i, value in enumerate(items.tolist()):
            if value is not MISSING and not raw:
                value = _calibrated_row(ptype, value, _Values(self._parameters, _Row(get, i).raw).get, n)
            parts = split(n, ptype, value, not raw) if value is not MISSING else {}
            for c in columns:
                per.setdefault(c, []).append(parts.get(c, MISSING))
        for c in columns:
            out[c] = column(per.get(c, []), fixed)

    def _structure_columns(self, step: Structure, group: _Group, data: bytes) -> np.ndarray:
        """Read an entry packet by packet (see Reader); the packets it fails on."""
        packet_bits = group.offsets.astype(np.int64) * 8
        starts = (packet_bits + group.anchors[step.anchor] + step.offset).tolist()
        limits = (packet_bits + group.bits).tolist()
        get = self._getter(group, data)
        per: dict[str, list] = {n: [] for n in step.names}
        raws: dict[str, list] = {}  # the raw=True values of those holding text, where not the same
        # a parameter decoded at an earlier place keeps that value where this entry gives none
        earlier = {n: get(n, False) for n in step.names if n in group.values or n in group.known or n in group.items}
        ends = np.zeros(len(starts), dtype=np.int64)
        bad = np.zeros(len(starts), dtype=bool)
        for i, (start, limit, first) in enumerate(zip(starts, limits, packet_bits.tolist())):
            local: dict[str, Value] = {}
            texts: dict[str, list[bytes]] = {}
            row = _Values(self._parameters, _Row(get, i, local).raw).get
            try:
                ends[i] = Reader(self._parameters, self._containers, data, limit, local, row,
                                 texts, first).step(step.entry, start)
            except PacketError:
                bad[i], ends[i], local, texts = True, start, {}, {}
            for n in step.names:
                if n in local or n not in earlier:
                    per[n].append(local.get(n, MISSING))
                else:
                    value = earlier[n][i]
                    per[n].append(MISSING if value is np.ma.masked or value is MISSING else
                                  value.item() if isinstance(value, np.generic) else value)
                shaped = n in local and needs_raw_form(local[n], texts.get(n))
                if shaped:
                    raws.setdefault(n, per[n][:-1])
                if n in raws:
                    raws[n].append(raw_form(self._parameters[n].type, local[n], texts.get(n, [])) if shaped
                                   else per[n][-1])
        group.anchors.append(ends - packet_bits)
        for n, items in raws.items():
            group.fields[n] = _object_column(items)
        for n in step.names:
            group.items[n] = _object_column(per[n])
            ptype = self._parameters[n].type
            group.values[n] = group.items[n] if ptype.structured else column(per[n], step.fixed[n])
        return bad

    def _routing(self) -> set[str]:
        """The parameters that restrictions test."""
        if self._routed is None:
            self._routed = {p for c in self._containers.values() for p, _ in _criterion_parameters(c.restriction)}
        return self._routed

    def _getter(self, group: _Group, data: bytes) -> Callable[[str, bool], Value]:
        """Raw or calibrated columns of a group by name, each fixed field read on first use."""
        return _Values(self._parameters, _GroupReader(group, data).column, group.calibrated).get

    def _variable_columns(self, step: Variable, group: _Group, data: bytes) -> tuple[np.ndarray, np.ndarray]:
        """Measure a variable-size field in every packet of a group and add the anchor after it.
        Returns the packets where it would start before the packet, and those where it does
        not fit or does not decode."""
        enc = step.parameter.type.encoding
        assert isinstance(enc, (StringEncoding, BinaryEncoding))
        packet_bits = group.offsets.astype(np.int64) * 8
        relative = group.anchors[step.anchor] + step.offset
        early = np.zeros(len(packet_bits), dtype=bool) if isinstance(relative, int) else relative < 0
        starts = packet_bits + relative
        limits = packet_bits + group.bits
        sizes: list[Any] = [None] * len(starts)
        if enc.dynamic is not None:
            get = self._getter(group, data)
            try:
                given = get(enc.dynamic.parameter, enc.dynamic.calibrated)
            except KeyError:  # a container that others include, decoded on its own: no size anywhere
                given = np.ma.masked_all(len(starts), dtype=np.int64)
            absent = np.ma.getmaskarray(given) if np.ma.is_masked(given) else None
            sizes = np.asarray(enc.dynamic.bits(np.ma.filled(given, 0) if absent is not None else given)).tolist()
            if absent is not None:  # no size where an include condition left its parameter out
                sizes = [None if a else n for n, a in zip(sizes, absent.tolist())]
        bad = np.zeros(len(starts), dtype=bool)
        widths = np.zeros(len(starts), dtype=np.int64)
        raw_fields: list[bytes] = []
        texts: list[str | None] = []
        before = set(np.flatnonzero(early).tolist()) if early.any() else None  # skipped for that, not measured
        for i, (s, limit, size) in enumerate(zip(starts.tolist(), limits.tolist(), sizes)):
            try:
                if before and i in before:
                    raise PacketError("before the packet")
                if size is None and enc.dynamic is not None:
                    raise PacketError("no size")
                bits, raw_field, text = measure(enc, data, s, limit, size)
            except PacketError:
                bad[i] = True
                bits, raw_field, text = 0, b"", ""
            widths[i] = bits
            raw_fields.append(raw_field)
            texts.append(text)
        group.anchors.append(starts - packet_bits + widths)
        group.items.pop(step.parameter.name, None)  # read per packet at an earlier place
        group.fields[step.parameter.name] = _object_column(raw_fields)
        group.values[step.parameter.name] = _text_column(texts) if isinstance(enc, StringEncoding) \
            else group.fields[step.parameter.name]
        return early, bad if before is None else bad & ~early


_Checked = tuple[dict[str, np.ndarray], dict[str, np.ndarray]]  # invalid, alarms: parameter -> column


def _buffer(data: Any, what: str) -> bytes:
    """The bytes of a bytes-like object (one with the buffer protocol). Anything else is a
    TypeError: bytes() would make an integer that many zero bytes, and text needs an encoding."""
    if isinstance(data, bytes):
        return data
    try:
        return bytes(memoryview(data))
    except TypeError:
        raise TypeError(f"{what} must be bytes or another bytes-like object, not {type(data).__name__}") from None


def _record_checks(checked: list[tuple[str, Any, Any, Any]], invalid: dict[str, Any], alarms: dict[str, Any],
                   get: Callable[[str, bool], Value]) -> None:
    """The invalid marks and alarm levels of (column, checks, raw values, values), one packet's or
    whole columns', where the checks give any; `get` gives the packets' values that context
    alarms and alarm conditions look at."""
    for name, checks, raw_values, values in checked:
        bad, levels = evaluate_any(checks, raw_values, values, checks.choose(get))
        if bad is not None:
            invalid[name] = bad
        if levels is not None:
            alarms[name] = levels


def _warn_skipped(result: FileResult, stacklevel: int) -> None:
    if result.skipped:
        total = sum(count for count, _ in result.skipped.values())
        detail = "; ".join(f"{count} {reason} (first at byte {first})"
                           for reason, (count, first) in result.skipped.items())
        warnings.warn(f"{total} of {result.packets} packets not decoded: {detail}", DecodeWarning,
                      stacklevel=stacklevel)


_LOADED: dict[str, Definition] = {}  # a few definitions unpickled lately, by digest
_LOADED_LOCK = threading.Lock()


def _digest(documents: tuple[bytes, ...], strict: bool, root: str | None) -> str:
    h = hashlib.blake2b(repr((len(documents), strict, root)).encode(), digest_size=16)
    for document in documents:
        h.update(len(document).to_bytes(8, "little"))
        h.update(document)
    return h.hexdigest()


def _reload(documents: tuple[bytes, ...], strict: bool, root: str | None) -> Definition:
    """An unpickled definition: its documents loaded (what loading reads past was reported where
    they were loaded first), or the same definition loaded before in this process."""
    key = _digest(documents, strict, root)
    with _LOADED_LOCK:
        definition = _LOADED.get(key)
    if definition is None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", XtceWarning)
            definition = load(list(documents), root=root, strict=strict)
        with _LOADED_LOCK:
            while len(_LOADED) >= 8:
                del _LOADED[next(iter(_LOADED))]
            _LOADED[key] = definition
    return definition


# From this many packets the column path reads a definition that it reads faster than the
# program (see _compile.Compiled.by_columns); below, the program's smaller cost per call wins.
_COLUMNS_FROM = 1024


@contextlib.contextmanager
def _file_data(data: Any) -> Iterator[Any]:
    """decode_file's data as a buffer read in place: a path mapped into memory."""
    if isinstance(data, (str, os.PathLike)):
        with open(data, "rb") as file:
            if os.fstat(file.fileno()).st_size == 0:
                yield b""
                return
            mapped = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
        try:
            yield mapped
        finally:
            with contextlib.suppress(BufferError):  # a view still held keeps it until collected
                mapped.close()
    elif isinstance(data, (bytes, mmap.mmap)):
        yield data
    else:
        try:
            view = memoryview(data)
        except TypeError:
            raise TypeError(f"data must be bytes, another bytes-like object or a path, not {type(data).__name__}") \
                from None
        with view:
            yield view if view.format == "B" and view.ndim == 1 and view.contiguous else view.cast("B")


def _taken_at(slot: tuple[np.ndarray, ...], rows: np.ndarray) -> np.ndarray | None:
    """Where the values of packets `rows` lie in a slot (each has one), None: all of them."""
    at = slot[-1]
    if len(at) == len(rows):
        return None
    return np.searchsorted(at, rows)


def _taken(slot: tuple[np.ndarray, ...], rows: np.ndarray) -> np.ndarray:
    where = _taken_at(slot, rows)
    return slot[0] if where is None else slot[0][where]


def _span_bytes(data: Any, starts: np.ndarray, bits: np.ndarray, where: np.ndarray | None) -> np.ndarray:
    """The bytes of spans (absolute start bits and widths) in the data, right-aligned as
    take_bits cuts them, as an object column (only those at `where` when given)."""
    return bitloom._span_bytes(data, starts, bits, where)


class _Values:
    """Raw and calibrated values by name, for restrictions, dynamic sizes and calibrators (a
    class rather than a closure that calls itself: a closure would make a reference cycle,
    keeping everything it reaches alive until the garbage collector runs)."""

    __slots__ = ("parameters", "raw", "calibrated")

    def __init__(self, parameters: dict[str, Parameter], raw: Callable[[str], Value],
                 calibrated: dict[str, Value] | None = None) -> None:
        self.parameters = parameters
        self.raw = raw
        self.calibrated = {} if calibrated is None else calibrated

    def get(self, name: str, want_calibrated: bool) -> Value:
        ptype: ParameterType = self.parameters[name].type
        if not want_calibrated or not ptype.calibrated_differs or ptype.kind == "string":
            return self.raw(name)
        if name not in self.calibrated:
            absent: list[np.ndarray] = []

            def lookup(other: str, calibrated: bool) -> Value:
                value = self.get(_same_element(name, other, self.parameters), calibrated)
                if np.ma.is_masked(value):  # left out of some packets by an include condition
                    absent.append(np.ma.getmaskarray(value))
                return value

            value = ptype.calibrate(self.raw(name), lookup, name)
            if absent:
                rows = np.shape(value)[0] if np.ndim(value) >= 1 else -1
                per_packet = [a.reshape(rows, -1).any(axis=1) for a in absent if a.ndim >= 1 and len(a) == rows]
                if per_packet:  # no value where an operand, context or reference has none
                    mask = np.logical_or.reduce(per_packet).reshape((rows,) + (1,) * (np.ndim(value) - 1))
                    value = np.ma.masked_array(value, mask=np.broadcast_to(mask, np.shape(value))
                                               | np.ma.getmaskarray(value))
            self.calibrated[name] = value
        return self.calibrated[name]


def _calibrated_row(ptype: ParameterType, value: Value, get: Callable[[str, bool], Value], name: str) -> Value:
    """One packet's value of a structure read per packet, calibrated; MISSING (no value, as for
    a calibrator whose context an include condition left out) where a calibrator finds no value
    it needs (decode raises PacketError for that packet)."""
    try:
        return ptype.calibrate(value, get, name)
    except PacketError:
        return MISSING


def _same_element(name: str, other: str, parameters: dict[str, Parameter]) -> str:
    """The parameter `other` names from the calibrator of `name`, a leaf of a fixed-size
    structure read as leaves (`P[1].k`): a sibling member (`P.m`) is the one of the same
    element (`P[1].m`)."""
    if "[" not in name:
        return other
    for end in reversed([i for i, c in enumerate(name) if c == "]"]):
        prefix = name[:end + 1]
        plain = _INDEXES.sub("", prefix)
        if other.startswith(plain + "."):
            indexed = prefix + other[len(plain):]
            if indexed in parameters:
                return indexed
    return other


_INDEXES = re.compile(r"\[\d+\]")


class _GroupReader:
    """A group's raw columns by name, each fixed field read on first use."""

    __slots__ = ("group", "data")

    def __init__(self, group: _Group, data: bytes) -> None:
        self.group = group
        self.data = data

    def column(self, name: str) -> np.ndarray:
        group = self.group
        column = group.values.get(name)
        if column is None and name not in group.known:  # a member of a structure read per packet
            values = [member_value({k: v[i] for k, v in group.items.items()}, name)
                      for i in range(len(group.offsets))]
            column = group.values[name] = _structure_column(values, True)
        elif column is None:
            block, f = group.known[name]
            if f.item is None:
                _cut(self.data, group, f)
            else:
                group.values.update(_unpack(self.data, [f.item], group, block.anchor, block.start))
            column = group.values[name]
        return column


class _Row:
    """Values of one packet of a group: those read so far in its entry, then the group's columns."""

    __slots__ = ("get", "row", "local")

    def __init__(self, get: Callable[[str, bool], Value], row: int, local: dict[str, Value] | None = None) -> None:
        self.get = get
        self.row = row
        self.local = {} if local is None else local

    def raw(self, name: str) -> Value:
        try:
            return member_value(self.local, name)
        except KeyError:
            value = self.get(name, False)[self.row]
        if value is MISSING or value is np.ma.masked:
            raise _no_value(name, self.local)
        return value.item() if isinstance(value, np.generic) else value


def _present(values: dict[str, Value], name: str) -> Value:
    """A value decoded from this packet; PacketError for one an include condition left out."""
    try:
        return member_value(values, name)
    except KeyError:
        raise _no_value(name, values) from None


def _no_value(name: str, values: dict[str, Value]) -> PacketError:
    """The error for a value asked for by name that the packet does not have as one value:
    left out by an include condition, or read as the elements of a fixed repeat."""
    elements = sum(1 for key in values if key.startswith(name + "[") and "]" not in key[len(name) + 1:-1])
    if elements:
        return PacketError(f"{name!r} has {elements} values, not one")
    return PacketError(f"{name!r} has no value in this packet")


def _row_holds(restriction: Criterion, get: Callable[[str, bool], Value]) -> bool:
    try:
        return bool(restriction.evaluate(get))
    except PacketError:  # a value this packet does not have
        return False


def _criterion_parameters(criterion: Criterion | None) -> list[tuple[str, bool]]:
    return criterion.parameters() if criterion is not None else []


def _prefetch(data: bytes, group: _Group, names: list[str], routing: set[str]) -> None:
    """Read the fixed fields among `names` that a group has not read yet, with the other
    fields of their blocks that some restriction tests: one reader call per block."""
    blocks: dict[int, Block] = {}
    for name in names:
        entry = group.known.get(name)
        if entry is not None and entry[1].item is not None and name not in group.values:
            blocks[id(entry[0])] = entry[0]
    for block in blocks.values():
        items = [f.item for f in block.fields if f.item is not None and f.parameter.name in routing
                 and f.parameter.name not in group.values and group.known[f.parameter.name][1] is f]
        group.values.update(_unpack(data, items, group, block.anchor, block.start))


def _skip(group: _Group, mask: np.ndarray, reason: str, skipped: _Skips) -> _Group:
    """Count the packets of `mask` as not decoded for `reason`; the group without them."""
    return _drop(group, [(mask, reason)], skipped)


def _drop(group: _Group, reasons: list[tuple[np.ndarray, str]], skipped: _Skips) -> _Group:
    """As _skip, for several disjoint masks at once."""
    out = None
    for mask, reason in reasons:
        if mask.any():
            skipped.setdefault(reason, []).append(group.offsets[mask])
            out = mask if out is None else out | mask
    return group if out is None else group.take(~out)


def _check(data: bytes, group: _Group, block: Block, container: str, skipped: _Skips) -> _Group:
    """Read a block's fields that may hold no value of their encoding now, as the one-packet
    path does, and skip the packets where one does not: counted under the first such field."""
    first = np.full(len(group.offsets), -1, dtype=np.int64)  # per packet: the first failing field
    items = [f.item for f in block.fallible if f.item is not None]
    if items:
        columns, failed = _read_rows(data, items, group, block.anchor, block.start)
        group.values.update(columns)
        if failed is not None:
            first = failed
    for k, f in enumerate(block.fallible[len(items):], len(items)):
        bad = _cut(data, group, f)
        if bad is not None:
            first[(first < 0) & bad] = k
    if not (first >= 0).any():
        return group
    return _drop(group, [(first == k, _bad(container, block.fallible[k].parameter.name))
                         for k in np.unique(first[first >= 0]).tolist()], skipped)


def _column_plan(segment: Segment, segments: dict[str, Segment], parameters: dict[str, Parameter]) -> _Columns:
    # Every fixed field on the chain, by anchor; a parameter listed twice is read where it is
    # listed last, as the one-packet path does.
    placed: dict[str, tuple[Block, Field]] = {}
    for name in segment.chain:
        for step in segments[name].steps:
            if isinstance(step, Block):
                step.prepare()
                for f in step.fields:
                    placed.pop(f.parameter.name, None)
                    placed[f.parameter.name] = (step, f)
    by_anchor: dict[int, list[tuple[Block, Field]]] = {}
    for block, f in placed.values():
        by_anchor.setdefault(f.anchor, []).append((block, f))
    reads, extracted, texts = [], [], []
    for anchor, entries in by_anchor.items():
        recipe = []
        start = 0 if anchor == 0 else min(f.offset for _, f in entries)
        for _, f in entries:
            if f.item is None:
                extracted.append(f)
                continue
            if isinstance(f.parameter.type.encoding, StringEncoding):
                texts.append(f)
            recipe.append(dict(f.item, offset_bits=f.offset - start))
        if recipe:
            reads.append((anchor, start, recipe, frozenset(item["name"] for item in recipe)))
    calibrate = []
    for name in segment.names:
        ptype = parameters[name].type
        differs = ptype.calibrated_differs and ptype.kind != "string"
        calibrate.append((name, differs, ptype.structured, ptype.column_calibrator() if differs else None))
    fixed = {n: f for name in segment.chain for step in segments[name].steps if isinstance(step, Structure)
             for n, f in step.fixed.items()}
    checked = [(name, leaves) for name in segment.names if (leaves := checked_columns(name, parameters[name].type))]
    differing = [(name, direct) for name, differs, _, direct in calibrate if differs]
    return _Columns(reads, extracted, texts, calibrate, fixed, checked, differing,
                    any(structured for _, _, structured, _ in calibrate))


def _unpack(data: bytes, recipe: list[dict], group: _Group, anchor: int, start: int,
            resolved: Any = None) -> dict[str, np.ndarray]:
    """Read `recipe` at `start` bits after an anchor of every packet of a group (`resolved`: the
    recipe as bitloom._column_recipe resolves it, when kept)."""
    return _unpack_at(data, recipe, *_positions(group, anchor, start), resolved, threads=group.threads)


def _positions(group: _Group, anchor: int, start: int) -> tuple[np.ndarray, Any]:
    """Byte offsets (uint64) and bit shifts (the same for all, or one per packet) of the bit
    `start` bits after an anchor of every packet of a group."""
    base = group.anchors[anchor]
    if isinstance(base, int):  # the packet start: the same for every packet
        first = base + start
        return (group.offsets if first < 8 else group.offsets + np.uint64(first >> 3)), first & 7
    absolute = group.offsets.astype(np.int64) * 8 + base + start
    shifts = absolute & 7
    offsets = (absolute >> 3).astype(np.uint64)
    if not len(shifts) or (shifts == shifts[0]).all():
        return offsets, int(shifts[0]) if len(shifts) else 0
    return offsets, shifts


def _unpack_at(data: bytes, recipe: list[dict], offsets: np.ndarray, shifts: Any,
               resolved: Any = None, *, threads: int = 1) -> dict[str, np.ndarray]:
    items = cast(Any, recipe)  # dicts of the reader's recipe items

    def read(at: np.ndarray, shift: int) -> dict[str, np.ndarray]:
        if resolved is None:
            return bitloom.unpack_columns(data, items, at, offset_bits=shift, threads=threads)
        return bitloom._unpack_columns(resolved, data, at, offset_bits=shift, threads=threads)

    if isinstance(shifts, int):
        return read(offsets, shifts)
    columns: dict[str, np.ndarray] = {}
    for shift in np.unique(shifts):
        rows = shifts == shift
        part = read(offsets[rows], int(shift))
        for key, column in part.items():
            if key not in columns:
                columns[key] = np.empty(len(offsets), dtype=column.dtype)
            columns[key][rows] = column
    return columns


_FAILED_PACKET = re.compile(r"packet (\d+) at byte \d+: ")


def _read_rows(data: bytes, recipe: list[dict], group: _Group, anchor: int,
               start: int) -> tuple[dict[str, np.ndarray], np.ndarray | None]:
    """As _unpack, where some packets may fail. Returns the columns (a failed packet's row holds
    a placeholder) and, if any packet failed, the index in `recipe` of each packet's first
    failing item (-1 where none fails)."""
    offsets, shifts = _positions(group, anchor, start)
    try:
        return _unpack_at(data, recipe, offsets, shifts), None
    except ValueError as e:
        if not _FAILED_PACKET.match(str(e)):
            raise
    first = np.full(len(offsets), -1, dtype=np.int64)
    for k, item in enumerate(recipe):
        rows = np.flatnonzero(first < 0)
        first[rows[_failing(data, item, offsets[rows], shifts if isinstance(shifts, int) else shifts[rows])]] = k
    good = first < 0
    part = _unpack_at(data, recipe, offsets[good], shifts if isinstance(shifts, int) else shifts[good])
    columns = {}
    for key, column in part.items():
        columns[key] = np.zeros(len(offsets), dtype=column.dtype)
        columns[key][good] = column
    return columns, first


def _failing(data: bytes, item: dict, offsets: np.ndarray, shifts: Any) -> np.ndarray:
    """The rows where one reader item fails. The reader names the first failing packet of a
    call; the next call starts after it, over a window that grows while no packet fails, so the
    work stays near one read of every packet however many fail."""
    if not isinstance(shifts, int):
        bad = []
        for shift in np.unique(shifts):
            rows = np.flatnonzero(shifts == shift)
            bad.append(rows[_failing(data, item, offsets[rows], int(shift))])
        return np.concatenate(bad)
    found: list[int] = []
    position, window = 0, len(offsets)
    while position < len(offsets):
        try:
            bitloom.unpack_columns(data, cast(Any, [item]), offsets[position:position + window], offset_bits=shifts)
        except ValueError as e:
            match = _FAILED_PACKET.match(str(e))
            if match is None:
                raise
            row = int(match.group(1))
            found.append(position + row)
            position += row + 1
            window = max(2 * (row + 1), 256)
        else:
            position += window
            window *= 2
    return np.array(found, dtype=np.int64)


def _cut(data: bytes, group: _Group, f: Field, keep_text: bool = True) -> np.ndarray | None:
    """Cut a fixed-size text or binary field out of every packet of a group (its bytes, and
    its text unless the reader gives that). Returns the packets whose text does not decode,
    if any (their rows hold empty text)."""
    enc = f.parameter.type.encoding
    assert isinstance(enc, (StringEncoding, BinaryEncoding))
    base = group.anchors[f.anchor]
    starts = (group.offsets.astype(np.int64) * 8 + base + f.offset).tolist()
    raw_fields: list[bytes] = []
    texts: list[str | None] = []
    bad = None
    for i, s in enumerate(starts):
        try:
            _, raw_field, text = measure(enc, data, s, s + f.bits, None)
        except PacketError:
            if bad is None:
                bad = np.zeros(len(starts), dtype=bool)
            bad[i] = True
            raw_field, text = take_bits(data, s, f.bits), ""
        raw_fields.append(raw_field)
        texts.append(text)
    name = f.parameter.name
    group.fields[name] = _object_column(raw_fields)
    if isinstance(enc, BinaryEncoding):
        group.values[name] = group.fields[name]
    elif keep_text:
        group.values[name] = _text_column(texts)
    return bad


def _flat_column(flat: _compile.Flat, ptype: ParameterType, raw: bool, fixed: bool, items: np.ndarray) -> np.ndarray | None:
    """The column of a parameter read whole from its values in one array (`items`: the same,
    packet by packet), as `column` makes it from each packet's value; None where only each
    packet's value gives it."""
    values, counts, present = flat.values, flat.counts, flat.present
    rows = len(items)
    kept = len(values) if counts is None else len(counts)
    if not kept or values.dtype == object and counts is None:
        return None
    # what a packet without values has: as the per-packet reader makes it (an aggregate's leaf:
    # as the aggregates' values are split into columns)
    element = ptype.element if ptype.kind == "array" and ptype.element is not None else ptype
    empty = _empty(element, (0,), not raw if flat.member else None)
    if not raw:
        calibrated = _compile.flat_calibrated(ptype, values, empty)
        if calibrated is None:
            return None
        values = calibrated[0]
        if not flat.member:
            empty = calibrated[1]
    if counts is not None and fixed and (counts != counts[0]).any():
        fixed = False  # a fixed count of occurrences, some left out by their conditions: ragged
    if counts is None or fixed:
        if counts is None:
            dense = values
        else:
            size = int(counts[0])
            dense = values.reshape(kept, size) if size else np.empty((kept, 0), dtype=empty.dtype)
        if present is None:
            return dense
        out = np.zeros((rows,) + dense.shape[1:], dtype=dense.dtype)
        mask = np.zeros(out.shape, dtype=bool)
        out[present] = dense
        mask[~present] = True
        return np.ma.masked_array(out, mask)
    if values is flat.values and not flat.member:  # the packets' values as they are
        if present is None:
            return items
        column = items.copy()
        column[~present] = None
        return np.ma.masked_array(column, ~present)
    ends = np.cumsum(counts).tolist()
    column = np.empty(rows, dtype=object)
    parts = [values[a:b] if a != b else empty for a, b in zip([0] + ends[:-1], ends)]
    if present is None:
        return _compile._objects(parts)
    column[present] = _compile._objects(parts)
    return np.ma.masked_array(column, ~present)


def _leaf_types(name: str, ptype: ParameterType) -> dict[str, ParameterType]:
    """The columns of a parameter read whole and the type of the values in each: its own type,
    or where it holds aggregates, their leaf members' types."""
    leaf = ptype
    while leaf.kind == "array" and leaf.element is not None and leaf.element.structured:
        leaf = leaf.element
    if leaf.kind != "aggregate":
        return {name: ptype}
    out: dict[str, ParameterType] = {}
    for member, mtype in leaf.members:
        out.update(_leaf_types(f"{name}.{member}", mtype))
    return out


def _object_column(items: list[Any]) -> np.ndarray:
    column = np.empty(len(items), dtype=object)
    column[:] = items
    return column


def _text_column(items: list[Any]) -> np.ndarray:
    return np.array(items, dtype=np.dtypes.StringDType())


_FEW_PACKETS = 16


def _check_framing(framing: str | int, prefix_bytes: int) -> None:
    """`framing` is "ccsds" (each packet's size in its primary header) or a size in bytes every
    packet has."""
    if isinstance(framing, int) and not isinstance(framing, bool):
        if framing < 1:
            raise ValueError(f"a packet size (framing) must be positive, not {framing}")
    elif framing != "ccsds":
        raise ValueError(f"framing {framing!r} is not supported ('ccsds', or every packet's size in bytes)")
    if prefix_bytes < 0:
        raise ValueError("prefix_bytes must not be negative")


def _frame(data: bytes, framing: str | int, prefix_bytes: int) -> tuple[np.ndarray, np.ndarray, _Skips]:
    """Packet offsets and lengths, and the truncated tail if there is one."""
    _check_framing(framing, prefix_bytes)
    skipped: _Skips = {}
    if isinstance(framing, int):
        step = prefix_bytes + framing
        offsets = np.arange(prefix_bytes, len(data) // step * step, step, dtype=np.uint64)
        lengths = np.full(len(offsets), framing, dtype=np.int64)
        end = int(offsets[-1]) + framing if len(offsets) else 0
        if end < len(data):
            skipped[_TRUNCATED] = [np.array([end], dtype=np.uint64)]
        return offsets, lengths, skipped
    # Packet by packet in Python where there is a prefix, and for the first few packets without
    # one: a file of a few packets needs no numpy call.
    starts: list[int] = []
    sizes: list[int] = []
    position = 0
    while position + prefix_bytes + 6 <= len(data) and (prefix_bytes or len(starts) <= _FEW_PACKETS):
        start = position + prefix_bytes
        end = start + 7 + (data[start + 4] << 8 | data[start + 5])
        if end > len(data):
            break
        starts.append(start)
        sizes.append(end - start)
        position = end
    if prefix_bytes or len(starts) <= _FEW_PACKETS:
        offsets = np.array(starts, dtype=np.uint64)
        lengths = np.array(sizes, dtype=np.int64)
    else:
        # Back to back: each packet's size is the distance to the next, the last one's is in
        # its header (when the header is all there).
        offsets = bitloom.packet_offsets(data, framing, allow_partial=True)
        if len(offsets) and int(offsets[-1]) + 6 > len(data):
            offsets = offsets[:-1]
        lengths = np.empty(len(offsets), dtype=np.int64)
        if len(offsets):
            np.subtract(offsets[1:], offsets[:-1], out=lengths[:-1], casting="unsafe")
            last = int(offsets[-1])
            lengths[-1] = (data[last + 4] << 8 | data[last + 5]) + 7
            if last + int(lengths[-1]) > len(data):
                offsets, lengths = offsets[:-1], lengths[:-1]
    end = int(offsets[-1]) + int(lengths[-1]) if len(offsets) else 0
    if end < len(data):
        skipped[_TRUNCATED] = [np.array([end], dtype=np.uint64)]
    return offsets, lengths, skipped
