"""A definition compiled into one decode program (see bitloom._program) that the core runs over
every packet of a file: the checks of the fixed fields at their anchors (their values are read
afterwards, a column per field), the variable-size fields, the routing among containers on raw
integers, each container's packets ending at its own container number. What the program cannot express (a criterion on a calibrated float or on text, a
dynamic size from a calibrated value, entries read one packet at a time) becomes a `python`
step: the packets that reach it are decoded by the column path in Python instead.

Each step that can stop a packet carries the reason decode_file reports for it, so a packet the
program refuses is counted under the same reason as on the Python path, and a packet that
decodes gives the same raw values: Python then calibrates whole columns as before.
"""
from __future__ import annotations

import itertools
import math
import threading
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import bitloom
import numpy as np

from ._model import (AllOf, AnyOf, BinaryEncoding, Comparison, Criterion, DynamicSize, Entry, FloatEncoding,
                     IntegerEncoding, ParameterType, StringEncoding, is_fixed, label_ranges)
from ._plan import Block, Segment, Structure, Variable, _depends
from ._structure import MAX_ELEMENTS, MISSING, _array, _as_array, _empty, _of_aggregates, produces

if TYPE_CHECKING:
    from ._definition import Definition

REASONS = bitloom._PROGRAM_REASONS
OK, PYTHON = REASONS.index("ok"), REASONS.index("needs python")

_OPS = {"==": "==", "eq": "==", "!=": "!=", "neq": "!=", "<": "<", "lt": "<", "<=": "<=", "leq": "<=",
        ">": ">", "gt": ">", ">=": ">=", "geq": ">="}
_INT64, _UINT64 = -(1 << 63), (1 << 64) - 1
_NUMBER_SLOTS = frozenset({"u8", "u16", "u32", "u64", "i8", "i16", "i32", "i64", "f32", "f64"})


class _Unfit(Exception):
    """An entry the program cannot express: the packets that reach it go to Python."""


def _read_whole(place: Place) -> set[str]:
    return {n for step, _ in place.structures for n in step.names}


@dataclass(slots=True)
class Place:
    """Where a container's packets leave their values: per parameter (slot, what it holds:
    "number", "text" or "bytes"), per anchor after the first the slot of its positions, and in
    raw mode per variable-size field the slot of its whole field's bits."""

    values: dict[str, tuple[int, str]] = field(default_factory=dict)
    anchors: dict[int, int] = field(default_factory=dict)
    whole: dict[str, int] = field(default_factory=dict)
    in_register: set[str] = field(default_factory=set)
    aligned: dict[int, bool] = field(default_factory=lambda: {0: True})
    # the entries read by the program that Python reads per packet: (step, what its slots hold)
    structures: list[tuple[Structure, Any]] = field(default_factory=list)
    placed: set[str] = field(default_factory=set)  # every parameter (or leaf) given a value so far

    def copy(self) -> Place:
        return Place(dict(self.values), dict(self.anchors), dict(self.whole), set(self.in_register),
                     dict(self.aligned), list(self.structures), set(self.placed))


@dataclass(slots=True)
class Compiled:
    program: Any  # the bitloom._program capsule
    names: list[str]  # container number -> name
    places: dict[str, Place]  # container -> where its packets' values lie (containers the program ends in)
    blame: dict[int, tuple[str, dict[int, str]]]  # step -> (its reason, per program reason another)
    # Nothing of variable size, and each container has at most one inheritor: reading the
    # routing fields as whole columns costs less than walking each packet, so the column path
    # in Python decodes a large file of these (measured on JPSS: the walk made decode_file 1.3x
    # slower on 7200 packets, and 1.3x faster on one).
    by_columns: bool = False
    cuts: bool = False  # some field's bytes are cut out of the data in Python (which needs bytes)

    def reason(self, step: int, why: int) -> str:
        found = self.blame.get(step)
        if found is None:
            return f"not decoded: {REASONS[why]} (step {step})"
        return found[1].get(why, found[0])


def compile_definition(definition: Definition, raw: bool) -> Compiled:
    return _Compiler(definition, raw).run()


class Cache:
    """The compiled programs of a definition (plain and raw), each made once on first use."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._made: dict[bool, Compiled] = {}

    def get(self, definition: Definition, raw: bool) -> Compiled:
        made = self._made.get(raw)
        if made is None:
            with self._lock:
                made = self._made.get(raw)
                if made is None:
                    made = self._made[raw] = compile_definition(definition, raw)
        return made


_KINDS: dict[tuple[str, int], str | None] = {}
_KINDS_LOCK = threading.Lock()


def _kind(item: dict) -> str | None:
    """The slot kind of a reader item: the element type unpack_columns gives for it."""
    key = (item["encoding"], item["bits"])
    if key in _KINDS:
        return _KINDS[key]
    probe = dict(item, name="x", offset_bits=0)
    dtype = bitloom.unpack_columns(b"", [probe], np.zeros(0, np.uint64))["x"].dtype  # type: ignore[list-item]
    kind: str | None
    if dtype.kind == "T":
        kind = "text"
    else:
        kind = {"u": "u", "i": "i", "f": "f"}.get(dtype.kind)
        kind = None if kind is None else f"{kind}{8 * dtype.itemsize}"
    with _KINDS_LOCK:
        _KINDS[key] = kind
    return kind


class _Compiler:
    def __init__(self, definition: Definition, raw: bool) -> None:
        self.d = definition
        self.raw = raw
        self.steps: list[Any] = []
        self.blame: dict[int, tuple[str, dict[int, str]]] = {}
        self.slots: list[Any] = []
        self.registers: dict[str, int] = {}
        self.scratch = 0  # temporaries made
        self.names: list[str] = []
        self.places: dict[str, Place] = {}
        self.fails: list[tuple[int, str]] = []  # (step that jumps to a fail step, its reason)
        self.positions = 1
        self.cut = False  # whether some field's bytes are cut out in Python
        self.bad = ""  # the reason of the entry read whole being compiled
        self.sized = False  # a container's own size moved the cursor (past what was read)
        self.pending: list[tuple] = []  # fixed-size fields to read at once (see read)
        self.pending_bits = self.pending_at = 0
        needed: set[str] = set()
        for c in definition._containers.values():
            if c.restriction is not None:
                needed.update(n for n, _ in c.restriction.parameters())
        for segment in definition._segments.values():
            for step in segment.steps:
                if isinstance(step, Variable):
                    enc = step.parameter.type.encoding
                    if enc.dynamic is not None:  # type: ignore[union-attr]
                        needed.update(n for n, _ in enc.dynamic.parameters())  # type: ignore[union-attr]
                elif isinstance(step, Structure):
                    needed.update(self._referenced(step.entry))
                self.positions = max(self.positions, segment.anchors)
        self.needed = needed
        self.spare_position = self.positions  # the start of a field, for its whole bits in raw mode
        self.positions += 1

    def run(self) -> Compiled:
        segment = self.d._root_segment()
        self.container(segment, Place())
        # The fail steps that checks jump to, after the containers' steps.
        for at, reason in self.fails:
            target = len(self.steps)
            self.steps[at] = self.steps[at][:2] + (target,)
            self.steps.append(("fail",))
            self.blame[target] = (reason, {})
        by_columns = not self.slots and not self.cut and all(s[0] != "python" for s in self.steps) \
            and all(len(self.d._containers[n].children) <= 1 for n in self.names)
        description = {"steps": self.steps, "registers": len(self.registers), "positions": self.positions,
                       "slots": self.slots, "containers": len(self.names)}
        if any(place.structures for place in self.places.values()):
            # Loops take several steps per element, however few bits it takes: the budget is
            # per byte a bound on the elements' steps, the reader's bound on elements alike.
            description["budget"] = (4096, 1024)
        return Compiled(bitloom._program(description), self.names, self.places, self.blame, by_columns,
                        self.cut)

    # -- slots, registers, steps

    def slot(self, kind: Any) -> int:
        """A slot of `kind`, of one field of one container: its values are then those of the
        container's packets (or of its inheritors'), taken without a search."""
        self.slots.append(kind)
        return len(self.slots) - 1

    def register(self, name: str) -> int:
        if name not in self.registers:
            self.registers[name] = len(self.registers)
        return self.registers[name]

    def temporary(self) -> int:
        self.scratch += 1
        return self.register(f"\0{self.scratch}")  # no parameter has such a name

    def emit(self, step: tuple, reason: str | None = None, others: dict[int, str] | None = None) -> int:
        if self.pending:
            self.flush()
        at = len(self.steps)
        self.steps.append(step)
        if reason is not None:
            self.blame[at] = (reason, others or {})
        return at

    def read(self, cursor: int, item: tuple, bits: int) -> None:
        """A fixed-size field at P[cursor] (with P[cursor] then moved past it); fields that
        follow one another are read by one step, and the cursor moved once, when a step that
        is not such a read comes."""
        self.pending.append((self.pending_bits,) + item)
        self.pending_bits += bits
        self.pending_at = cursor

    def flush(self) -> None:
        fields, bits = self.pending, self.pending_bits
        self.pending, self.pending_bits = [], 0
        self.emit(("fields", self.pending_at, fields), self.bad)
        self.emit(("seek", self.pending_at, self.pending_at, bits), self.bad)

    def check(self, condition: tuple, reason: str) -> None:
        """Go on where `condition` holds, else fail the packet for `reason`."""
        self.fails.append((self.emit(("if", condition, None)), reason))

    # -- containers

    def container(self, segment: Segment, place: Place) -> None:
        from ._definition import _ambiguous
        name = segment.container.name
        number = len(self.names)
        self.names.append(name)
        for step in segment.steps:
            if isinstance(step, Block):
                done = self.block(step.prepare(), name, place)
            elif isinstance(step, Variable):
                done = self.variable(step, name, place)
            else:
                done = self.structure(step, name, place)
            if not done:
                self.emit(("python",))
                return
        container = segment.container
        if not container.children:
            self.places[name] = place
            self.emit(("container", number))  # where its packets end
            self.emit(("end",))
            return
        conditions = [self.criterion(self.d._containers[c].restriction, place.in_register)
                      for c in container.children]
        if any(c is None for c in conditions):
            self.emit(("python",))
            return
        self.places[name] = place
        route = self.emit(("route",), _ambiguous(name))
        self.emit(("container", number))  # no inheritor's criteria hold
        self.emit(("end",))
        targets = []
        for child in container.children:
            targets.append(len(self.steps))
            self.container(self.d._segments[child], place.copy())
        self.steps[route] = ("route", "unique", list(zip(conditions, targets)))

    def block(self, block: Block, container: str, place: Place) -> bool:
        """A block's checks: its extent, and each field that may hold no value of its encoding.
        Its values are read afterwards in Python, a column per field for all the packets of a
        container (one reader call per anchor): the program keeps only those that routing or
        a dynamic size needs, in registers, and the text it measures inside a field."""
        from ._definition import _bad, _before_start, _too_short
        at = block.anchor
        if place.structures and not _read_whole(place).isdisjoint(f.parameter.name for f in block.fields):
            return False  # a parameter read again after an entry read whole
        place.placed.update(f.parameter.name for f in block.fields)
        fallible = {id(f) for f in block.fallible}
        self.cut = self.cut or bool(block.extracted)
        kept: list[tuple] = []
        for f in block.fields:
            if id(f) in fallible or f.item is None or f.parameter.name not in self.needed \
                    or not isinstance(f.parameter.type.encoding, IntegerEncoding):
                continue
            kind = _kind(f.item)
            if kind is None or kind == "text":
                return False
            kept.append((f.offset, f.bits, f.item["encoding"], None, self.register(f.parameter.name),
                         {"byte_order": f.item["byte_order"], "reverse_bits": f.item["reverse_bits"]}))
        if at != 0 and block.start < 0:
            self.check((">=", ("pos", at), -block.start), _before_start(container))
        if kept:  # the block's first and last bits with them: the step checks the whole extent
            kept += [(block.start, 1, "raw", None, None), (block.end - 1, 1, "raw", None, None)]
            self.emit(("fields", at, kept), _too_short(container))
        else:
            self.emit(("measure", at, block.start, ("plain",), block.end - block.start, None, None),
                      _too_short(container))
        texts: dict[str, int] = {}
        for f in block.fallible:  # each alone: a packet is refused for the first that fails
            name = f.parameter.name
            enc = f.parameter.type.encoding
            if f.item is not None:
                kind = _kind(f.item)
                if kind is None:
                    return False
                register = None
                if kind != "text" and name in self.needed and isinstance(enc, IntegerEncoding):
                    register = self.register(name)
                self.emit(("fields", at, [(f.offset, f.bits, f.item["encoding"], None, register,
                                           {"byte_order": f.item["byte_order"],
                                            "reverse_bits": f.item["reverse_bits"]})]), _bad(container, name))
            else:  # text of a fixed size that ends at a termination character or is counted inside
                assert isinstance(enc, StringEncoding)
                if enc.leading_bits is not None:
                    form: tuple = ("tagged", enc.leading_bits, 8)
                else:
                    assert enc.terminator is not None
                    if not (place.aligned.get(at, False) and f.offset % 8 == 0):
                        return False
                    form = ("terminated", enc.terminator, enc.unit)
                slot = self.slot(("text", enc.reader))
                self.emit(("measure", at, f.offset, form, f.bits, slot, None), _bad(container, name))
                texts[name] = slot
        for f in block.fields:
            name = f.parameter.name
            place.whole.pop(name, None)
            if name in texts:
                place.values[name] = (texts[name], "text")
            else:
                place.values.pop(name, None)  # read in Python
            if name in self.registers and name in self.needed and f.item is not None \
                    and isinstance(f.parameter.type.encoding, IntegerEncoding):
                place.in_register.add(name)
            else:
                place.in_register.discard(name)
        return True

    def variable(self, step: Variable, container: str, place: Place) -> bool:
        from ._definition import _bad, _before_start
        parameter = step.parameter
        name = parameter.name
        enc = parameter.type.encoding
        assert isinstance(enc, (StringEncoding, BinaryEncoding))
        at, offset = step.anchor, step.offset
        bad = _bad(container, name)
        if name in _read_whole(place):
            return False
        place.placed.add(name)
        start_aligned = place.aligned.get(at, False) and offset % 8 == 0
        size: Any = None
        size_register = None
        if enc.dynamic is not None:
            dynamic = enc.dynamic
            if not isinstance(dynamic, DynamicSize):  # a size from a lookup table
                return False
            source = self.d._parameters[dynamic.parameter].type
            if dynamic.parameter not in place.in_register or (dynamic.calibrated and source.calibrated_differs) \
                    or not (isinstance(dynamic.slope, int) and isinstance(dynamic.intercept, int)) \
                    or not (_INT64 <= dynamic.slope <= -_INT64 - 1 and _INT64 <= dynamic.intercept <= -_INT64 - 1):
                return False
            size_register = self.registers[dynamic.parameter]
        if at != 0 and offset < 0:
            self.check((">=", ("pos", at), -offset), _before_start(container))
        if isinstance(enc, BinaryEncoding):
            assert enc.dynamic is not None and size_register is not None
            form: tuple = ("plain",)
            size = ("reg", size_register, enc.dynamic.slope, enc.dynamic.intercept)
            slot = self.slot("span")
            kind = "bytes"
            s, i = enc.dynamic.slope, enc.dynamic.intercept
            end_aligned = start_aligned and s % 8 == 0 and i % 8 == 0
        else:
            slot = self.slot(("text", enc.reader))
            kind = "text"
            if enc.dynamic is not None:
                assert size_register is not None
                size = self.text_bits(size_register, enc.dynamic, bad)
                if enc.leading_bits is not None:
                    form = ("tagged", enc.leading_bits, 8)
                elif enc.terminator is not None:
                    if not start_aligned:
                        return False
                    form = ("terminated", enc.terminator, enc.unit)
                else:
                    form = ("plain",)
                end_aligned = start_aligned
            elif enc.leading_bits is not None:
                if not start_aligned:  # text of variable size starts on a byte boundary
                    self.whole_bytes(("pos", at), offset, bad)
                form = ("tagged", enc.leading_bits, 8, enc.max_bits)
                end_aligned = enc.leading_bits % 8 == 0
            else:
                assert enc.terminator is not None
                form = ("terminated", enc.terminator, enc.unit, enc.max_bits)
                end_aligned = True
        if self.raw:
            self.emit(("seek", self.spare_position, at, offset), bad)
        self.emit(("measure", at, offset, form, size, slot, step.creates), bad)
        anchor = self.slot("i64")
        self.emit(("emit", anchor, ("pos", step.creates)))
        if self.raw:
            whole_slot = self.slot("span")
            self.emit(("span", whole_slot, self.spare_position, step.creates), bad)
            place.whole[name] = whole_slot
        else:
            place.whole.pop(name, None)
        place.values[name] = (slot, kind)
        place.anchors[step.creates] = anchor
        place.aligned[step.creates] = end_aligned
        place.in_register.discard(name)
        return True

    # -- entries read whole: repeats, arrays, include conditions

    def _referenced(self, entry: Entry) -> set[str]:
        """What an entry's conditions, counts, dimensions and sizes read, its inner entries' too."""
        found: set[str] = set()
        entries, types, seen = [entry], [], set()
        while entries:
            e = entries.pop()
            found.update(_depends(e))
            if e.kind == "container" and e.ref not in seen:
                seen.add(e.ref)
                entries.extend(self.d._containers[e.ref].entries)
            elif e.kind == "parameter":
                types.append(self.d._parameters[e.ref].type)
        while types:
            t = types.pop()
            types.extend(mt for _, mt in t.members)
            if t.element is not None:
                types.append(t.element)
            found.update(c.parameter for d in t.dimensions for c in d if isinstance(c, DynamicSize))
            dynamic = getattr(t.encoding, "dynamic", None)
            if isinstance(dynamic, DynamicSize):
                found.add(dynamic.parameter)
        return found

    def structure(self, step: Structure, container: str, place: Place) -> bool:
        """An entry read whole (a repeat, an array, an include condition, all nested as they
        come): its leaves into slots, in reading order, with the counts and the outcome of each
        condition, so that Python makes each packet's value from them (see Shapes). False where
        the program cannot express it (the packets that reach it go to Python)."""
        from ._definition import _bad
        if not place.placed.isdisjoint(step.names):  # an earlier value kept where this gives none
            return False
        mark = (len(self.steps), len(self.slots), len(self.fails), self.positions, self.scratch)
        known = set(place.in_register)
        self.bad = _bad(container, step.entry.ref)
        try:
            cursor = step.creates  # the anchor after the entry: where it ends
            self.emit(("seek", cursor, step.anchor, step.offset), self.bad)
            shape, _ = self.entry(step.entry, cursor, cursor, known, False)
            if self.raw and _texts(shape) and _flat_names(shape, self.d._parameters) is None:
                raise _Unfit  # raw text in a shape made packet by packet: see Reader and raw_form
            anchor = self.slot("i64")
            self.emit(("emit", anchor, ("pos", cursor)))
        except _Unfit:
            self.pending, self.pending_bits = [], 0
            del self.steps[mark[0]:], self.slots[mark[1]:], self.fails[mark[2]:]
            for at in [at for at in self.blame if at >= mark[0]]:
                del self.blame[at]
            self.positions, self.scratch = mark[3], mark[4]
            return False
        place.structures.append((step, shape))
        place.anchors[step.creates] = anchor
        place.aligned[step.creates] = False
        place.placed.update(step.names)
        for name in step.names:
            place.values.pop(name, None)
            place.whole.pop(name, None)
        place.in_register = known
        return True

    def position(self) -> int:
        self.positions += 1
        return self.positions - 1

    def entry(self, entry: Entry, cursor: int, start: int, known: set[str], looped: bool) -> tuple[tuple, int]:
        """An entry at P[cursor] (its container starts at P[start]), as the per-packet reader
        reads it; its shape and the fewest bits it takes."""
        bad = self.bad
        names = produces(entry, self.d._containers)
        if entry.indirect is not None:
            raise _Unfit
        test = present = None
        if entry.condition is not None:
            condition = self.criterion(entry.condition, known)
            if condition is None:
                raise _Unfit
            present = self.slot("u8")
            test = self.emit(("if", condition, None), bad)
            self.emit(("emit", present, 1))
        if entry.location is not None:
            if looped or entry.location.from_end:  # a location may go back: an occurrence could take no bits
                raise _Unfit
            self.emit(("seek", cursor, start if entry.location.from_start else cursor, entry.location.bits), bad)
        count = None
        if entry.repeat is None:
            body, least = self.once(entry, cursor, known, looped)
        else:
            gap = entry.repeat.offset
            if not isinstance(gap, int) or gap < 0:
                raise _Unfit
            left = self.counted(entry.repeat.count, known)
            count = self.slot("i64")
            self.emit(("emit", count, ("reg", left)))
            head = self.emit(("loop", left, None), bad)
            known.difference_update(names)  # each occurrence reads its own
            sized, self.sized = self.sized, False
            body, each = self.once(entry, cursor, known, True)
            if each + gap <= 0:
                raise _Unfit  # occurrences that take no bits: the reader's budget decides
            if gap:  # Offset: between occurrences (the loop's register holds how many are left)
                between = self.emit(("if", (">", ("reg", left), 0), None))
                self.emit(("seek", cursor, cursor, gap), bad)
                self.steps[between] = self.steps[between][:2] + (len(self.steps),)
            if gap or self.sized:  # else its last read ended inside the packet
                self.check(("<=", ("pos", cursor), ("size",)), bad)
            self.sized = self.sized or sized
            self.emit(("jump", head))
            self.steps[head] = ("loop", left, len(self.steps))
            repeats = entry.repeat.count
            least = each * repeats + gap * max(0, repeats - 1) if isinstance(repeats, int) else 0
            known.difference_update(names)  # a value per occurrence
        if test is not None:
            skip = self.emit(("jump", None))
            self.steps[test] = self.steps[test][:2] + (len(self.steps),)
            self.emit(("emit", present, 0))
            self.steps[skip] = ("jump", len(self.steps))
            known.difference_update(names)
            least = 0
        return ("entry", present, count, body, names), least

    def once(self, entry: Entry, cursor: int, known: set[str], looped: bool) -> tuple[tuple, int]:
        if entry.kind == "container":
            container = self.d._containers[entry.ref]
            start = self.position()
            self.emit(("seek", start, cursor, 0))
            inner, least = [], 0
            for e in container.entries:
                shape, bits = self.entry(e, cursor, start, known, looped)
                inner.append(shape)
                least += bits
            if container.size is not None:
                self.emit(("seek", cursor, start, container.size))
                self.sized = True  # the cursor moved without a read
                least = container.size
            return ("container", inner), least
        name = entry.ref
        shape, least = self.value(name, self.d._parameters[name].type, cursor, entry.dimensions or None, known,
                                  looped)
        return ("parameter", name, shape), least

    def value(self, name: str | None, ptype: ParameterType, cursor: int, dimensions: tuple | None,
              known: set[str], looped: bool) -> tuple[tuple, int]:
        """A value of `ptype` at P[cursor], P[cursor] moved past it; `name`: the parameter's
        (a leaf of a structure has none: nothing reads it by name)."""
        bad = self.bad
        if ptype.kind == "aggregate":
            members, least = [], 0
            for member, mtype in ptype.members:
                shape, bits = self.value(None, mtype, cursor, None, known, looped)
                members.append((member, shape))
                least += bits
            return ("aggregate", members), least
        if ptype.kind == "array":
            element = ptype.element
            assert element is not None
            sizes: list[Any] = []  # per dimension its size, or ("slot", k) where it is per packet
            total: Any = 1  # the elements: a constant, or ("reg", k)
            for first, last in dimensions or ptype.dimensions:
                if isinstance(first, int) and isinstance(last, int):
                    size = max(0, last - first + 1)
                    sizes.append(size)
                    if isinstance(total, int):
                        total *= size
                    else:
                        self.emit(("calc", total[1], "*", total, size), bad)
                    continue
                size = self.temporary()
                self.emit(("calc", size, "-", self.operand(last, known), self.operand(first, known)), bad)
                self.emit(("calc", size, "+", ("reg", size), 1), bad)
                self.at_least_zero(size)
                slot = self.slot("i64")
                self.emit(("emit", slot, ("reg", size)))
                sizes.append(("slot", slot))
                if isinstance(total, int):
                    product = self.temporary()
                    self.emit(("calc", product, "*", ("reg", size), total), bad)
                    total = ("reg", product)
                else:
                    self.emit(("calc", total[1], "*", total, ("reg", size)), bad)
            if not isinstance(total, int):
                self.check(("<=", total, MAX_ELEMENTS), bad)
            elif total > MAX_ELEMENTS:
                raise _Unfit
            if total == 0:
                return ("array", sizes, None, element), 0
            fixed = not element.structured and is_fixed(element.encoding) and isinstance(total, int)
            kind = self.number_kind(element) if fixed else None
            if kind is not None:  # one read of every element
                enc = element.encoding
                assert isinstance(total, int) and isinstance(enc, (IntegerEncoding, FloatEncoding)) and enc.bits
                slot = self.slot(kind)
                self.read(cursor, (enc.bits, enc.reader, slot, None,
                                   {"byte_order": enc.byte_order, "reverse_bits": enc.reverse_bits,
                                    "count": total, "stride": enc.bits}), total * enc.bits)
                return ("array", sizes, ("leaf", slot), element), total * enc.bits
            left = self.temporary()
            self.emit(("calc", left, "+", total, 0), bad)
            head = self.emit(("loop", left, None), bad)
            shape, each = self.value(None, element, cursor, None, known, True)
            if each <= 0:
                raise _Unfit  # elements that take no bits: the reader's budget decides
            self.emit(("jump", head))
            self.steps[head] = ("loop", left, len(self.steps))
            return ("array", sizes, shape, element), each * total if isinstance(total, int) else 0
        enc = ptype.encoding
        if isinstance(enc, (IntegerEncoding, FloatEncoding)):
            kind = self.number_kind(ptype)
            if kind is None or not enc.bits:
                raise _Unfit
            slot = self.slot(kind)
            register = self.register(name) if name is not None and name in self.needed \
                and isinstance(enc, IntegerEncoding) else None
            self.read(cursor, (enc.bits, enc.reader, slot, register,
                               {"byte_order": enc.byte_order, "reverse_bits": enc.reverse_bits}), enc.bits)
            if name is not None:
                (known.add if register is not None else known.discard)(name)
            return ("leaf", slot), enc.bits
        if name is not None:
            known.discard(name)
        return self.measured(ptype, cursor, known)

    def measured(self, ptype: ParameterType, cursor: int, known: set[str]) -> tuple[tuple, int]:
        """Text or binary at P[cursor] (its bytes as the reader measures them)."""
        bad = self.bad
        enc = ptype.encoding
        if isinstance(enc, BinaryEncoding):
            if enc.bits is not None:
                size: Any = enc.bits
            else:
                assert enc.dynamic is not None
                size = ("reg", self.size_register(enc.dynamic, known), enc.dynamic.slope, enc.dynamic.intercept)
            slot = self.slot("span")
            self.emit(("measure", cursor, 0, ("plain",), size, slot, cursor), bad)
            return ("bytes", slot), enc.bits or 0
        if not isinstance(enc, StringEncoding) or ptype.kind != "string":
            raise _Unfit  # numbers as text are checked in Python
        least = 0
        if enc.bits is not None or enc.dynamic is not None:
            if enc.terminator is not None:
                raise _Unfit  # a terminator inside needs a byte boundary the program cannot know here
            form: tuple = ("tagged", enc.leading_bits, 8) if enc.leading_bits is not None else ("plain",)
            if enc.bits is not None:
                size = least = enc.bits
            else:
                assert enc.dynamic is not None
                size = self.text_bits(self.size_register(enc.dynamic, known), enc.dynamic, bad)
        elif enc.leading_bits is not None:
            self.whole_bytes(("pos", cursor), 0, bad)  # text of variable size starts on a byte boundary
            form, size, least = ("tagged", enc.leading_bits, 8, enc.max_bits), None, enc.leading_bits
        else:
            assert enc.terminator is not None
            form, size, least = ("terminated", enc.terminator, enc.unit, enc.max_bits), None, 8 * enc.unit
        slot = self.slot(("text", enc.reader))
        if not self.raw:
            self.emit(("measure", cursor, 0, form, size, slot, cursor), bad)
            return ("leaf", slot), least
        # raw=True gives the text's whole field (its size tag or terminator too)
        self.emit(("seek", self.spare_position, cursor, 0))
        self.emit(("measure", cursor, 0, form, size, slot, cursor), bad)
        whole = self.slot("span")
        self.emit(("span", whole, self.spare_position, cursor), bad)
        return ("leaf", slot, whole), least

    def number_kind(self, ptype: ParameterType) -> str | None:
        enc = ptype.encoding
        if not isinstance(enc, (IntegerEncoding, FloatEncoding)) or enc.bits is None:
            return None
        kind = _kind({"encoding": enc.reader, "bits": enc.bits, "byte_order": enc.byte_order,
                      "reverse_bits": enc.reverse_bits})
        return kind if kind in _NUMBER_SLOTS else None

    def size_register(self, dynamic: Any, known: set[str]) -> int:
        """The register of a dynamic size's parameter, where the program can use it."""
        if not isinstance(dynamic, DynamicSize):  # a lookup table
            raise _Unfit
        source = self.d._parameters[dynamic.parameter].type
        if dynamic.parameter not in known or (dynamic.calibrated and source.calibrated_differs) \
                or not (isinstance(dynamic.slope, int) and isinstance(dynamic.intercept, int)) \
                or not (_INT64 <= dynamic.slope <= -_INT64 - 1 and _INT64 <= dynamic.intercept <= -_INT64 - 1):
            raise _Unfit
        return self.registers[dynamic.parameter]

    def operand(self, count: Any, known: set[str]) -> Any:
        """A count or an index: a constant, or a register with the value from its parameter."""
        if isinstance(count, int):
            if not _INT64 <= count <= -_INT64 - 1:
                raise _Unfit
            return count
        source = self.size_register(count, known)
        if count.slope == 1 and count.intercept == 0:
            return ("reg", source)
        value = self.temporary()
        self.emit(("calc", value, "*", ("reg", source), count.slope), self.bad)
        self.emit(("calc", value, "+", ("reg", value), count.intercept), self.bad)
        return ("reg", value)

    def counted(self, count: Any, known: set[str]) -> int:
        """A register with a repeat count (none below 0), checked against the most a packet may have."""
        left = self.temporary()
        self.emit(("calc", left, "+", self.operand(count, known), 0), self.bad)
        if isinstance(count, int) and count > MAX_ELEMENTS:
            raise _Unfit
        self.check(("<=", ("reg", left), MAX_ELEMENTS), self.bad)
        self.at_least_zero(left)
        return left

    def at_least_zero(self, register: int) -> None:
        test = self.emit(("if", ("<", ("reg", register), 0), None))
        self.emit(("calc", register, "+", 0, 0))
        self.steps[test] = ("if", ("<", ("reg", register), 0), len(self.steps))

    def text_bits(self, source: int, dynamic: Any, reason: str) -> tuple:
        """A text's size in bits from its size parameter's, which must be whole bytes: checked
        unless slope and intercept make it so (a count of bytes), where the measure step computes it."""
        if dynamic.slope % 8 == 0 and dynamic.intercept % 8 == 0:
            return ("reg", source, dynamic.slope, dynamic.intercept)
        bits = self.temporary()
        self.emit(("calc", bits, "*", ("reg", source), dynamic.slope), reason)
        self.emit(("calc", bits, "+", ("reg", bits), dynamic.intercept), reason)
        self.whole_bytes(("reg", bits), 0, reason)
        return ("reg", bits)

    def whole_bytes(self, value: tuple, plus: int, reason: str) -> None:
        """Fail the packet for `reason` unless value + plus is a multiple of 8."""
        if value[0] == "reg" and not plus:
            here, whole = value[1], self.temporary()
        else:
            here, whole = self.temporary(), self.temporary()
            self.emit(("calc", here, "+", value, plus), reason)
        self.emit(("calc", whole, "//", ("reg", here), 8), reason)
        self.emit(("calc", whole, "*", ("reg", whole), 8), reason)
        self.check(("==", ("reg", whole), ("reg", here)), reason)

    # -- restriction criteria

    def criterion(self, criterion: Criterion | None, known: set[str], depth: int = 0) -> tuple | None:
        """A restriction as a program condition, or None where it needs Python (also where it
        nests deeper than the program takes: 32 levels, two of them for an enumeration's)."""
        if criterion is None:
            return ("==", 0, 0)
        if isinstance(criterion, (AllOf, AnyOf)):
            if depth >= 29:
                return None
            terms = [self.criterion(t, known, depth + 1) for t in criterion.terms]
            if any(t is None for t in terms):
                return None
            return ("and" if isinstance(criterion, AllOf) else "or", *terms)
        assert isinstance(criterion, Comparison)
        if criterion.other is not None or criterion.parameter not in known:
            return None
        op = _OPS.get(criterion.op)
        ptype = self.d._parameters[criterion.parameter].type
        value = criterion.value
        register = ("reg", self.registers[criterion.parameter])
        if op is None:
            return None
        if criterion.calibrated and ptype.calibrated_differs and ptype.kind != "string":
            if ptype.kind == "enumerated" and op in ("==", "!=") and isinstance(value, str):
                starts, ends, labels = label_ranges(ptype.enumeration)
                ranges = [(a, b) for a, b, label in zip(starts, ends, labels) if label == value]
                if any(not (_INT64 <= v <= _UINT64) for r in ranges for v in r):
                    return None
                if op == "==":
                    if not ranges:
                        return ("==", 0, 1)
                    return ("or", *[("==", register, a) if a == b else ("and", (">=", register, a), ("<=", register, b))
                                    for a, b in ranges])
                if not ranges:
                    return ("==", 0, 0)
                return ("and", *[("!=", register, a) if a == b else ("or", ("<", register, a), (">", register, b))
                                 for a, b in ranges])
            if ptype.kind == "boolean" and op in ("==", "!=") and isinstance(value, bool):
                return ("!=" if (op == "==") == value else "==", register, 0)
            return None
        if isinstance(value, bool) or not isinstance(value, int) or not (_INT64 <= value <= _UINT64):
            if isinstance(value, float) and math.isfinite(value) and not isinstance(value, bool):
                return (op, register, value)
            return None
        return (op, register, value)



# -- the values of entries read whole, from their slots -----------------------------------------

def _used(shape: tuple, into: list[int]) -> list[int]:
    """The slots a shape reads, in no particular order."""
    kind = shape[0]
    if kind in ("leaf", "bytes"):
        into.extend(shape[1:])
    elif kind == "entry":
        into.extend(k for k in shape[1:3] if k is not None)
        _used(shape[3], into)
    elif kind == "container":
        for inner in shape[1]:
            _used(inner, into)
    elif kind == "parameter":
        _used(shape[2], into)
    elif kind == "aggregate":
        for _, member in shape[1]:
            _used(member, into)
    else:  # array
        into.extend(size[1] for size in shape[1] if not isinstance(size, int))
        if shape[2] is not None:
            _used(shape[2], into)
    return into


@dataclass(slots=True)
class Flat:
    """The values of a parameter read whole, of the packets where the entry gave one, in one
    array: `counts` per such packet (None: one value each), `present` per packet (None: all)."""

    values: np.ndarray  # as the per-packet values hold them: integers int64, floats float64
    counts: np.ndarray | None
    present: np.ndarray | None
    member: bool = False  # of a leaf of aggregates: each packet's values gathered from its dicts


def _texts(shape: tuple) -> bool:
    """Whether a shape holds text with its whole field's bytes (raw=True)."""
    kind = shape[0]
    if kind == "leaf":
        return len(shape) == 3
    if kind == "entry":
        return _texts(shape[3])
    if kind == "container":
        return any(_texts(inner) for inner in shape[1])
    if kind == "parameter":
        return _texts(shape[2])
    if kind == "aggregate":
        return any(_texts(member) for _, member in shape[1])
    return kind == "array" and shape[2] is not None and _texts(shape[2])


def _leaf(shape: tuple) -> bool:
    return shape[0] in ("leaf", "bytes")


def _flat_names(shape: tuple, parameters: dict) -> dict[str, tuple] | None:
    """Where every packet's value of each parameter of an entry is its leaf slot's values, split
    by one count (a repeat or a one-dimensional array of numbers, text, bytes or aggregates of
    such, also of a container of such parameters, each maybe with its own include condition; or
    one value): per parameter (leaf, its dimension size when an array, the slot of its own
    condition's outcomes). None for other shapes (made packet by packet)."""
    _, present, count, body, names = shape
    if body[0] == "parameter":
        inner = [(None, body)]
    elif body[0] == "container" and all(e[2] is None and e[3][0] == "parameter" for e in body[1]):
        inner = [(e[1], e[3]) for e in body[1]]
    else:
        return None
    if len({p[1] for _, p in inner}) != len(inner):
        return None  # a parameter placed twice
    found = {}
    for condition, (_, name, value) in inner:
        if _leaf(value) or _record(value) and condition is None:
            found[name] = (value, None, condition)
        elif value[0] == "array" and count is None and len(value[1]) == 1 and value[2] is not None \
                and (_leaf(value[2]) or _record(value[2])) and len(inner) == 1:
            found[name] = (value[2], value[1][0], None)
        else:
            return None
    return found


def _record(shape: tuple) -> bool:
    """An aggregate of numbers, text (not raw) or bytes, nested aggregates of such too."""
    return shape[0] == "aggregate" and all(_leaf(m) and len(m) == 2 or _record(m) for _, m in shape[1])


def _record_leaves(shape: tuple, path: str = "") -> list[tuple[str, tuple]]:
    """(column suffix, leaf) of an aggregate's leaves in reading order."""
    out = []
    for member, inner in shape[1]:
        if inner[0] == "aggregate":
            out.extend(_record_leaves(inner, f"{path}.{member}"))
        else:
            out.append((f"{path}.{member}", inner))
    return out


def _record_maker(shape: tuple, at: list[int]) -> list[tuple[str, Any]]:
    """How to make an aggregate's dict from a row of its leaves' values: (member, the row's
    index, or a nested maker)."""
    made: list[tuple[str, Any]] = []
    for member, inner in shape[1]:
        if inner[0] == "aggregate":
            made.append((member, _record_maker(inner, at)))
        else:
            made.append((member, at[0]))
            at[0] += 1
    return made


def _make(maker: list[tuple[str, Any]], row: tuple) -> dict:
    return {member: row[i] if isinstance(i, int) else _make(i, row) for member, i in maker}


def _selected(slot: tuple, rows: np.ndarray, every: bool) -> np.ndarray | None:
    """The positions in a slot of the values of packets `rows`; None: all of them."""
    return None if every else np.flatnonzero(np.isin(slot[-1], rows))


def _chosen(slot: tuple, rows: np.ndarray, every: bool) -> np.ndarray:
    where = _selected(slot, rows, every)
    return slot[0] if where is None else slot[0][where]


def _flat_values(slot: tuple, where: np.ndarray | None, data: Any) -> np.ndarray | None:
    from ._definition import _span_bytes
    if len(slot) == 3:
        return _span_bytes(data, slot[0], slot[1], where)
    values = slot[0] if where is None else slot[0][where]
    kind = values.dtype.kind
    if kind in "iu":
        if values.dtype == np.uint64 and len(values) and int(values.max()) >= 1 << 63:
            return None  # each packet's array is uint64 or int64 by its own values
        return values.astype(np.int64)
    return values.astype(np.float64) if kind == "f" else values


def entry_values(step: Structure, shape: tuple, parameters: dict, slots: list, rows: np.ndarray,
                 data: Any, flat: dict[str, Flat] | None = None,
                 fields: dict[str, np.ndarray] | None = None) -> dict[str, np.ndarray]:
    """Per parameter an entry gives values to, each packet's (`rows`) raw value as the per-packet
    reader makes it (MISSING where the entry gave none), as an object column. Where the shape
    allows, made from whole slots at once, and their flat form put in `flat`."""
    from ._definition import _object_column, _span_bytes
    simple = _flat_names(shape, parameters)
    if simple is not None:
        # what a packet without occurrences or elements has, as the per-packet reader makes it
        empties = {n: _empty(parameters[n].type.element if size is not None else parameters[n].type, (0,))
                   for n, (_, size, _) in simple.items()}
        return _split_entry(shape, simple, empties, slots, rows, data, flat, {} if fields is None else fields)
    used = sorted(set(_used(shape, [])))
    columns: dict[int, list] = {}
    starts: dict[int, list[int]] = {}
    for k in used:
        slot = slots[k]
        if len(slot) == 3:  # spans: binary fields' bytes
            columns[k] = _span_bytes(data, slot[0], slot[1], None).tolist()
        else:
            columns[k] = slot[0].tolist()
        starts[k] = np.searchsorted(slot[-1], rows).tolist()
    made = _Made(parameters, columns)
    per: dict[str, list] = {n: [] for n in step.names}
    for i in range(len(rows)):
        made.at = {k: starts[k][i] for k in used}
        values: dict[str, Any] = {}
        made.entry(shape, values)
        for n in step.names:
            per[n].append(values.get(n, MISSING))
    return {n: _object_column(items) for n, items in per.items()}


class _Made:
    """One packet's values of an entry from the slots (each slot's next value at `at`)."""

    __slots__ = ("parameters", "columns", "at")

    def __init__(self, parameters: dict, columns: dict[int, list]) -> None:
        self.parameters = parameters
        self.columns = columns
        self.at: dict[int, int] = {}

    def take(self, k: int) -> Any:
        at = self.at[k]
        self.at[k] = at + 1
        return self.columns[k][at]

    def entry(self, shape: tuple, values: dict[str, Any]) -> None:
        _, present, count, body, names = shape
        if present is not None and not self.take(present):
            return
        if count is None:
            self.once(body, values)
            return
        occurrences: dict[str, list] = {n: [] for n in names}
        for _ in range(self.take(count)):
            for n in names:
                values.pop(n, None)
            self.once(body, values)
            for n in names:
                if n in values:
                    occurrences[n].append(values[n])
        for n in names:
            found = occurrences[n]
            ptype = self.parameters[n].type
            values[n] = found if _of_aggregates(ptype) else _as_array(found) if found else _empty(ptype, (0,))

    def once(self, shape: tuple, values: dict[str, Any]) -> None:
        if shape[0] == "container":
            for inner in shape[1]:
                self.entry(inner, values)
        else:
            values[shape[1]] = self.value(shape[2])

    def value(self, shape: tuple) -> Any:
        kind = shape[0]
        if kind in ("leaf", "bytes"):
            return self.take(shape[1])
        if kind == "aggregate":
            return {member: self.value(inner) for member, inner in shape[1]}
        dims = tuple(size if isinstance(size, int) else self.take(size[1]) for size in shape[1])
        element, n = shape[2], math.prod(dims)
        if element is None:
            elements = []
        elif element[0] in ("leaf", "bytes"):  # the next n values of its slot
            k = element[1]
            at = self.at[k]
            elements = self.columns[k][at:at + n]
            self.at[k] = at + n
        else:
            elements = [self.value(element) for _ in range(n)]
        return _array(elements, dims, shape[3])


def _split_entry(shape: tuple, names: dict[str, tuple], empties: dict[str, np.ndarray], slots: list,
                 rows: np.ndarray, data: Any, flat: dict[str, Flat] | None,
                 fields: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    _, present_slot, count_slot, _, _ = shape
    once = [k for k in (present_slot, count_slot) if k is not None] + \
        [size[1] for _, size, _ in names.values() if size is not None and not isinstance(size, int)]
    # Slots of one value per packet that hold as many as there are packets `rows`, the first
    # packets: every value of the entry's slots is theirs.
    every = bool(once) and len(rows) > 0 and int(rows[-1]) == len(rows) - 1 and \
        all(len(slots[k][-1]) == len(rows) for k in once)
    n = len(rows)
    present = None
    if present_slot is not None:
        present = _chosen(slots[present_slot], rows, every).astype(bool)
        if present.all():
            present = None
    kept = n if present is None else int(present.sum())
    counts = None
    if count_slot is not None:
        counts = _chosen(slots[count_slot], rows, every)
    out: dict[str, np.ndarray] = {}
    for name, (leaf, size, condition) in names.items():
        empty = empties[name]
        each, given = counts, present
        if size is not None:
            each = np.full(kept, size, np.int64) if isinstance(size, int) else \
                _chosen(slots[size[1]], rows, every)
        if condition is not None:  # its own include condition: per occurrence, or per packet
            held = _chosen(slots[condition], rows, every).astype(bool)
            if counts is None:
                given = held if present is None else present.copy()
                if present is not None:
                    given[present] = held
            else:
                total = np.concatenate([[0], np.cumsum(held, dtype=np.int64)])
                ends = np.cumsum(counts)
                each = total[ends] - total[ends - counts]
            if given is not None and given.all():
                given = None
        if leaf[0] == "aggregate":
            out[name] = _split_records(name, leaf, each, present, slots, rows, every, data, flat)
            continue
        slot = slots[leaf[1]]
        values = _flat_values(slot, _selected(slot, rows, every), data)
        uniform = values is not None
        if values is None:  # as Python integers, each packet's array made of its own
            values = _chosen(slot, rows, every).astype(object)
        if len(leaf) == 3:  # raw text: each packet's fields' bytes beside its values
            whole = _flat_values(slots[leaf[2]], _selected(slots[leaf[2]], rows, every), data)
            assert whole is not None
            forms = _raw_forms(whole, each, given, n)
            if forms is not None:
                fields[name] = forms
            if flat is not None:
                flat[name] = Flat(whole, each, given)
        items = np.empty(n, dtype=object)
        where = slice(None) if given is None else given
        if each is None:
            assert len(values) == (n if given is None else int(given.sum()))
            items[where] = values.tolist() if values.dtype.kind != "T" else list(values)
        else:
            assert int(each.sum()) == len(values)
            ends = np.cumsum(each).tolist()
            parts = [values[a:b] if a != b else empty  # no occurrences: as the per-packet reader has none
                     for a, b in zip([0] + ends[:-1], ends)]
            items[where] = _objects(parts if uniform else [_as_array(p.tolist()) if len(p) else p for p in parts])
        if given is not None:
            items[~given] = MISSING
        out[name] = items
        if flat is not None and len(leaf) == 2 and uniform:
            flat[name] = Flat(values, each, given)
    return out


def _split_records(name: str, shape: tuple, each: np.ndarray | None, present: np.ndarray | None, slots: list,
                   rows: np.ndarray, every: bool, data: Any, flat: dict[str, Flat] | None) -> np.ndarray:
    """Each packet's value of an aggregate read whole, or of its occurrences or elements (lists
    of dicts), from its leaves' slots; each leaf's flat form under its column's name."""
    lists = []
    for suffix, leaf in _record_leaves(shape):
        slot = slots[leaf[1]]
        values = _flat_values(slot, _selected(slot, rows, every), data)
        if values is None:  # as Python integers (a column then made packet by packet)
            values = _chosen(slot, rows, every).astype(object)
        elif flat is not None:
            flat[name + suffix] = Flat(values, each, present, True)
        lists.append(values.tolist() if values.dtype.kind != "T" else list(values))
    maker = _record_maker(shape, [0])
    if all(isinstance(i, int) for _, i in maker):
        keys = [member for member, _ in maker]
        records = list(map(dict, map(zip, itertools.repeat(keys), zip(*lists))))
    else:
        records = [_make(maker, row) for row in zip(*lists)]
    n = len(rows)
    items = np.empty(n, dtype=object)
    where = slice(None) if present is None else present
    if each is None:
        items[where] = _objects(records)
    else:
        ends = np.cumsum(each).tolist()
        items[where] = _objects([records[a:b] for a, b in zip([0] + ends[:-1], ends)])
    if present is not None:
        items[~present] = MISSING
    return items


def _raw_forms(whole: np.ndarray, each: np.ndarray | None, present: np.ndarray | None, n: int) -> np.ndarray | None:
    """Per packet the raw=True form of a text value: its field's bytes (an object array of them
    per occurrence); where a packet has no text (no value, no occurrences) its value as it is.
    None where no packet has text (the values serve as they are)."""
    if not len(whole):
        return None
    out = np.empty(n, dtype=object)
    where = slice(None) if present is None else present
    if each is None:
        out[where] = whole
    else:
        ends = np.cumsum(each).tolist()
        empty = np.empty(0, dtype=object)  # no text: no fields' bytes
        out[where] = _objects([whole[a:b] if a != b else empty for a, b in zip([0] + ends[:-1], ends)])
    if present is not None:
        out[~present] = MISSING
    return out


def flat_calibrated(ptype: ParameterType, values: np.ndarray,
                    empty: np.ndarray) -> tuple[np.ndarray, np.ndarray] | None:
    """The calibrated values of a parameter's flat values, with what `empty` (no values as read)
    calibrates to, where calibrating each packet's values alone gives the same values of the
    same type (no calibrator that reads other parameters, no labels whose type depends on the
    values); None otherwise."""
    leaf = ptype.element if ptype.kind == "array" and ptype.element is not None else ptype
    enc = leaf.encoding
    if leaf.calibrated_differs:
        if leaf.kind in ("string", "binary") and not isinstance(enc, (IntegerEncoding, FloatEncoding)):
            return values, empty
        if leaf.kind not in ("integer", "float", "boolean") or leaf.time is not None \
                or not isinstance(enc, (IntegerEncoding, FloatEncoding)) or enc.context_calibrators \
                or any(kind == "parameter" for kind, _ in getattr(enc.calibrator, "steps", ())):
            return None
    return ptype.calibrate(values, None), ptype.calibrate(empty, None)


def _objects(items: list) -> np.ndarray:
    """A list as a one-dimensional object array, arrays of one shape among its items too."""
    out = np.empty(len(items), dtype=object)
    for i, item in enumerate(items):
        out[i] = item
    return out
