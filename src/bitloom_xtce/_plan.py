"""Containers translated into decoding steps.

Every entry's position is kept as (anchor, bits): anchor 0 is where the packet (the root
container) starts, and each field whose size is known only per packet (a string ended by a
termination character or sized by a tag, dynamic binary or text) starts a new anchor just after
it. All fields with a fixed size hang off some anchor at a fixed distance, so each anchor's
fields make one reader recipe, decoded in one compiled call per packet (or per column); only the
variable-size fields themselves are measured in Python.

A container's steps continue from where its base container's steps end, so a packet is decoded
by running the steps of each container on its inheritance chain in turn, choosing the next
container by the restriction criteria on the values decoded so far.
"""
from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from typing import Any

from ._xml import Element, Refusal
from dataclasses import replace

from ._model import (BinaryEncoding, Container, Criterion, DiscreteLookup, Entry, FloatEncoding,
                     IntegerEncoding, MathOperation, Parameter, ParameterType, StringEncoding, is_fixed)
from ._structure import MAX_LEAVES, entry_bits, leaves, produces, static_shape


@dataclass(slots=True, eq=False)
class Field:
    parameter: Parameter
    anchor: int
    offset: int  # bits after the anchor
    bits: int
    item: dict | None = None  # its reader recipe item (from its block's start), once prepared


@dataclass(slots=True)
class Block:
    """The fixed-size fields that hang off one anchor."""

    anchor: int
    fields: list[Field] = field(default_factory=list)
    start: int = 0  # lowest field offset: the reader is called at anchor + start
    end: int = 0  # highest field end
    recipe: list[dict] = field(default_factory=list)  # numbers, and plain text when calibrated
    extracted: list[Field] = field(default_factory=list)  # bytes cut out in Python
    texts: list[Field] = field(default_factory=list)  # plain fixed-size text
    # Fields whose bits may hold no value of their encoding (invalid text, BCD digits, reserved
    # float patterns), in the order the one-packet path reads them: recipe, then the cut out text.
    fallible: list[Field] = field(default_factory=list)
    names: frozenset[str] = frozenset()
    prepared: bool = False

    def prepare(self) -> Block:
        """Build the recipes on first use (a large definition loads faster without them)."""
        if not self.prepared:
            self._finish()
            self.prepared = True
        return self

    def _finish(self) -> None:
        self.start = min(f.offset for f in self.fields)
        self.end = max(f.offset + f.bits for f in self.fields)
        for f in self.fields:
            enc = f.parameter.type.encoding
            if isinstance(enc, (IntegerEncoding, FloatEncoding)):
                f.item = reader_item(f, self.start, enc.reader, enc.byte_order, enc.reverse_bits)
                self.recipe.append(f.item)
            elif isinstance(enc, StringEncoding) and enc.plain:
                f.item = reader_item(f, self.start, enc.reader, "big", False)
                self.recipe.append(f.item)
                self.texts.append(f)
            else:
                self.extracted.append(f)
        self.names = frozenset(f.parameter.name for f in self.fields)
        self.fallible = [f for f in self.fields if f.item is not None and f.item["encoding"] not in TOTAL_READERS] \
            + [f for f in self.extracted if isinstance(f.parameter.type.encoding, StringEncoding)]


# The reader encodings that give a value for every bit pattern of a field.
TOTAL_READERS = frozenset({
    "unsigned", "twos_complement", "ones_complement", "sign_magnitude",
    "ieee754_f16", "ieee754_f32", "ieee754_f64", "ieee754_f128", "mil_std_1750a_f32", "mil_std_1750a_f48",
    "ibm_f32", "ibm_f64", "ti_f32", "ti_f40", "iso_8859_1", "windows_1252",
})


def reader_item(f: Field, start: int, encoding: str, byte_order: str, reverse: bool) -> dict:
    return {"name": f.parameter.name, "encoding": encoding, "bits": f.bits, "byte_order": byte_order,
            "reverse_bits": reverse, "offset_bits": f.offset - start}


@dataclass(slots=True)
class Variable:
    """A field whose size is known only per packet; it makes the anchor `creates`."""

    parameter: Parameter
    anchor: int
    offset: int
    creates: int


@dataclass(slots=True)
class Structure:
    """An entry read one packet at a time (repeated, conditional, indirect, or a structure whose
    size is known only per packet); it makes the anchor `creates`."""

    entry: Entry
    anchor: int
    offset: int
    creates: int
    names: list[str]  # the parameters it can give values to
    fixed: dict[str, bool]  # parameter -> whether its value has the same shape in every packet


Step = Block | Variable | Structure


@dataclass(slots=True)
class Segment:
    """What one container adds to its base container's decoding."""

    container: Container
    steps: list[Step]
    names: list[str]  # every parameter of the chain up to this container, in entry order
    cursor: tuple[int, int]  # where the next entry would start
    anchors: int  # anchors in use after these steps
    chain: list[str]  # container names from the root down to this one


class Placements:
    """How many entries of all containers place each parameter (counted on first use)."""

    __slots__ = ("containers", "parameters", "counts", "read", "included")

    def __init__(self, containers: dict[str, Container], parameters: dict[str, Parameter] | None = None) -> None:
        self.containers = containers
        self.parameters = parameters
        self.counts: Counter[str] | None = None
        self.read: set[str] | None = None
        self.included: set[str] | None = None

    def __call__(self, name: str) -> int:
        if self.counts is None:
            self.counts = Counter(n for c in self.containers.values() for e in c.entries if e.kind != "container"
                                  for n in ([e.ref] if e.kind == "parameter" else produces(e, self.containers)))
        return self.counts[name]

    def only_included(self, container: Container) -> bool:
        """Whether a container is a part that others include (no base container of its own):
        what it reads may come from the container that includes it."""
        if self.included is None:
            self.included = {e.ref for c in self.containers.values() for e in c.entries if e.kind == "container"}
        return container.base is None and container.name in self.included

    def referenced(self, name: str) -> bool:
        """Whether a condition, repeat count, dimension, indirection, restriction, dynamic size,
        calibrator (context or operand) or time reference reads the parameter's value (as one
        value: such a parameter is not split into elements)."""
        if self.read is None:
            read = {n for c in self.containers.values() for e in c.entries for n in _depends(e)}
            read.update(n for c in self.containers.values() if c.restriction is not None
                        for n, _ in c.restriction.parameters())
            for parameter in (self.parameters or {}).values():
                dynamic = getattr(parameter.type.encoding, "dynamic", None)
                if dynamic is not None:
                    read.update(n for n, _ in dynamic.parameters())
                read.update(_calibration_inputs(parameter.type))
            self.read = {n.replace("/", ".").partition(".")[0] for n in read} | read
        return name in self.read


def _calibration_inputs(ptype: ParameterType) -> set[str]:
    """The parameters a type's calibrators (contexts, operands) and time reference read, its
    members' and elements' too."""
    found: set[str] = set()
    todo = [ptype]
    while todo:
        t = todo.pop()
        todo.extend(mt for _, mt in t.members)
        if t.element is not None:
            todo.append(t.element)
        enc = t.encoding
        if isinstance(enc, (IntegerEncoding, FloatEncoding)):
            calibrators = [enc.calibrator, *(c.calibrator for c in enc.context_calibrators)]
            found.update(n for c in enc.context_calibrators for n, _ in c.criterion.parameters())
            found.update(value[0] for c in calibrators if isinstance(c, MathOperation)
                         for kind, value in c.steps if kind == "parameter")
        offset_from = getattr(t.time, "offset_from", None)
        if offset_from is not None:
            found.add(offset_from[0])
    return found


def compile_container(container: Container, containers: dict[str, Container],
                      parameters: dict[str, Parameter], base: Segment | None, element: Element,
                      placements: Placements | None = None) -> Segment:
    """A container's steps; `element` is its SequenceContainer, which refusals name."""
    return _Compiler(containers, parameters, base, element, placements).compile(container)


class _Compiler:
    # A class, not nested functions: functions that call each other from a closure make a
    # reference cycle, which would keep the whole document alive until the garbage collector runs.

    def __init__(self, containers: dict[str, Container], parameters: dict[str, Parameter],
                 base: Segment | None, element: Element, placements: Placements | None = None) -> None:
        self.placements = placements
        self.containers = containers
        self.parameters = parameters
        self.base = base
        self.element = element
        self.cursor = base.cursor if base is not None else (0, 0)
        self.anchors = base.anchors if base is not None else 1
        self.known = list(base.names) if base is not None else []
        self.seen = set(self.known)
        self.fields: list[Field] = []
        self.steps: list[Step] = []
        self.names: list[str] = []
        self.part = False  # compiling a container that others include, on its own
        self.end: tuple[int, int] | None = None

    def compile(self, container: Container) -> Segment:
        self.part = self.placements is not None and self.placements.only_included(container)
        # the end of the container whose entries are walked, where it gives its size; else the packet's
        self.end = (0, container.size) if container.size is not None else None
        self.walk(container.entries, (0, 0))
        self.sized(container, (0, 0))
        self.flush()
        base = self.base
        chain = (base.chain if base is not None else []) + [container.name]
        return Segment(container, self.steps, list(dict.fromkeys(self.known + self.names)), self.cursor,
                       self.anchors, chain)

    def walk(self, entries: tuple[Entry, ...], start: tuple[int, int]) -> None:
        parameters, fields, names, seen = self.parameters, self.fields, self.names, self.seen
        for index, entry in enumerate(entries):
            if not entry.plain:
                self.ahead(entry, entries[index:])
            position = self.cursor
            if entry.location is not None and entry.location.from_end:
                bits = entry_bits(entry, parameters, self.containers)
                if bits is None:
                    raise Refusal(self.element, f"entry {entry.ref!r} is placed from the end of its container: "
                                                "that needs an entry of a fixed size")
                if self.end is None:  # the packet's end: known per packet
                    self.structure(entry, position, whole=True)
                    continue
                position = (self.end[0], self.end[1] - entry.location.bits - bits)
                entry = entry._replace(location=None)
                if position[0] == 0 and position[1] < 0:
                    raise Refusal(self.element, f"entry {entry.ref!r} would start {-position[1]} bits before the packet")
            elif entry.location is not None:
                origin = start if entry.location.from_start else position
                position = (origin[0], origin[1] + entry.location.bits)
                if position[0] == 0 and position[1] < 0:
                    raise Refusal(self.element, f"entry {entry.ref!r} would start {-position[1]} bits before the packet")
            if entry.kind == "container" and entry.plain:
                self.cursor = position
                included = self.containers[entry.ref]
                outer = self.end
                if included.size is not None:
                    self.end = (position[0], position[1] + included.size)
                self.walk(included.entries, position)
                self.end = outer
                self.sized(included, position)
                continue
            parameter = parameters[entry.ref] if entry.kind == "parameter" else None
            if parameter is not None and entry.dimensions and all(isinstance(c, int) for d in entry.dimensions
                                                                  for c in d):
                # the dimensions an entry gives: the parameter's type with them
                parameter = parameters[entry.ref] = replace(parameter, type=replace(
                    parameter.type, dimensions=entry.dimensions))
                entry = entry._replace(dimensions=())
            parts = None
            if parameter is not None and entry.plain:
                parts = leaves(parameter.name, parameter.type)
            elif parameter is not None and self.repeated_leaves(entry, parameter):
                # A fixed count of fixed-size fields, back to back: read as an array of its
                # occurrences (the parameter is placed by this entry only).
                assert entry.repeat is not None and isinstance(entry.repeat.count, int)
                shape = ((0, entry.repeat.count - 1),)
                parameter = parameters[entry.ref] = replace(parameter, type=ParameterType(
                    parameter.type.name, "array", parameter.type.encoding, element=parameter.type,
                    dimensions=shape, rank=1))
                parts = leaves(parameter.name, parameter.type)
            if parts is None:
                self.structure(entry._replace(location=None), position)
                continue
            assert parameter is not None
            at = position[1]
            for name, ptype in parts:
                leaf = parameters.get(name) if name != parameter.name else parameter
                if leaf is None or leaf.type is not ptype:
                    leaf = parameters[name] = Parameter(name, ptype, "", name)
                bits = ptype.encoding.bits
                assert bits is not None
                fields.append(Field(leaf, position[0], at, bits))
                at += bits
                seen.add(name)
            self.cursor = (position[0], at)
            names.append(parameter.name)
            seen.add(parameter.name)

    def ahead(self, entry: Entry, rest: tuple[Entry, ...]) -> None:
        """Refuse an entry whose condition, repeat or indirection reads itself or a parameter that
        its container decodes after it (decoding would look for a value that is not there yet).
        Parameters of a container that includes this one are decoded before it, and allowed."""
        def root(name: str) -> str:
            return name.replace("/", ".").partition(".")[0]
        needed = [n for n in _depends(entry) if n not in self.seen and root(n) not in self.seen]
        if needed:
            later = {n for e in rest for n in produces(e, self.containers)}
            for name in needed:
                if name in later or root(name) in later:
                    raise Refusal(self.element, f"entry {entry.ref!r} depends on {name!r}, which is not decoded "
                                                "before it")

    def repeated_leaves(self, entry: Entry, parameter: Parameter) -> bool:
        repeat = entry.repeat
        if repeat is None or entry.condition is not None or entry.dimensions or self.placements is None:
            return False
        if not isinstance(repeat.count, int) or repeat.offset != 0 or not 0 < repeat.count:
            return False
        per = leaves(parameter.name, parameter.type)
        if per is None or len(per) * repeat.count > MAX_LEAVES or parameter.type.kind == "array":
            return False
        return self.placements(parameter.name) == 1 and not self.placements.referenced(parameter.name)

    def variable(self, parameter: Parameter, position: tuple[int, int]) -> None:
        enc = parameter.type.encoding
        assert isinstance(enc, (StringEncoding, BinaryEncoding))
        if enc.dynamic is not None and not decoded(enc.dynamic.parameter, self.seen) and not (
                self.part and enc.dynamic.parameter in self.parameters):  # else from the including container
            raise Refusal(self.element, f"the size of {parameter.name!r} comes from {enc.dynamic.parameter!r}, "
                          "which is not decoded before it")
        self.flush()
        self.steps.append(Variable(parameter, position[0], position[1], self.anchors))
        self.cursor = (self.anchors, 0)
        self.anchors += 1

    def structure(self, entry: Entry, position: tuple[int, int], whole: bool = False) -> None:
        """A step for an entry read per packet (`whole`: even a plain one)."""
        ptype = self.parameters[entry.ref].type if entry.kind == "parameter" else None
        if entry.plain and not whole and ptype is not None and not ptype.structured and \
                not isinstance(getattr(ptype.encoding, "dynamic", None), DiscreteLookup):  # that: read per packet
            self.variable(self.parameters[entry.ref], position)
            self.names.append(entry.ref)
            self.seen.add(entry.ref)
            return
        self.flush()
        produced = produces(entry, self.containers)
        fixed = {n: static_shape(entry, self.parameters[n].type) for n in produced}
        self.steps.append(Structure(entry, position[0], position[1], self.anchors, produced, fixed))
        self.cursor = (self.anchors, 0)
        self.anchors += 1
        self.names.extend(produced)
        self.seen.update(produced)

    def sized(self, container: Container, start: tuple[int, int]) -> None:
        """A container that gives its own size ends there, however far its entries reach."""
        if container.size is None:
            return
        end = (start[0], start[1] + container.size)
        if self.cursor[0] == end[0] and self.cursor[1] > end[1]:
            raise Refusal(self.element, f"the entries of {container.name!r} end {self.cursor[1] - start[1]} bits "
                                        f"after its start, past its size of {container.size} bits")
        self.cursor = end

    def flush(self) -> None:
        # The fixed fields listed so far are decoded before the variable-size field that follows
        # (its size may come from one of them), grouped by anchor.
        by_anchor: dict[int, Block] = {}
        for f in self.fields:
            block = by_anchor.get(f.anchor)
            if block is None:
                block = by_anchor[f.anchor] = Block(f.anchor)
            block.fields.append(f)
        self.steps.extend(by_anchor.values())
        self.fields.clear()


def _depends(entry: Entry) -> list[str]:
    """The parameters an entry's condition, repeat, dimensions or indirection read."""
    names = [n for n, _ in entry.condition.parameters()] if entry.condition is not None else []
    counts: list[Any] = [c for d in entry.dimensions for c in d]
    if entry.repeat is not None:
        counts += [entry.repeat.count, entry.repeat.offset]
    names += [n for c in counts if not isinstance(c, int) for n, _ in c.parameters()]
    if entry.indirect is not None:
        names.append(entry.indirect.parameter)
    return names


def check_criterion(criterion: Criterion | None, names: list[str], element: Element,
                    many: set[str] | frozenset[str] = frozenset()) -> None:
    """A restriction may only test parameters that are decoded before it is evaluated, and that
    have one value (`many`: those that have one per repeat or array element)."""
    if criterion is None:
        return
    known = set(names)
    for name, _ in criterion.parameters():
        if not decoded(name, known):
            raise Refusal(element, f"its restriction tests {name!r}, which its base containers do not decode")
        if name in many:
            raise Refusal(element, f"its restriction tests {name!r}, which has a value per repeat or element, not one")


def decoded(name: str, known: set[str]) -> bool:
    """Whether a parameter, or the aggregate a member (`P.a.b`) belongs to, is among `known`."""
    while name not in known and "." in name:
        name = name.rpartition(".")[0]
    return name in known
