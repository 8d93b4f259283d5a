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

import math
import threading
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import bitloom
import numpy as np

from ._model import (AllOf, AnyOf, BinaryEncoding, Comparison, Criterion, IntegerEncoding, StringEncoding,
                     label_ranges)
from ._plan import Block, Segment, Variable

if TYPE_CHECKING:
    from ._definition import Definition

REASONS = bitloom._PROGRAM_REASONS
OK, PYTHON = REASONS.index("ok"), REASONS.index("needs python")

_OPS = {"==": "==", "eq": "==", "!=": "!=", "neq": "!=", "<": "<", "lt": "<", "<=": "<=", "leq": "<=",
        ">": ">", "gt": ">", ">=": ">=", "geq": ">="}
_INT64, _UINT64 = -(1 << 63), (1 << 64) - 1


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

    def copy(self) -> Place:
        return Place(dict(self.values), dict(self.anchors), dict(self.whole), set(self.in_register),
                     dict(self.aligned))


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
        needed: set[str] = set()
        for c in definition._containers.values():
            if c.restriction is not None:
                needed.update(n for n, _ in c.restriction.parameters())
        for segment in definition._segments.values():
            for step in segment.steps:
                if isinstance(step, Variable):
                    enc = step.parameter.type.encoding
                    if enc.dynamic is not None:  # type: ignore[union-attr]
                        needed.add(enc.dynamic.parameter)  # type: ignore[union-attr]
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
        at = len(self.steps)
        self.steps.append(step)
        if reason is not None:
            self.blame[at] = (reason, others or {})
        return at

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
                done = False
            if not done:
                self.emit(("python",))
                return
        container = segment.container
        if not container.children:
            self.places[name] = place
            self.emit(("container", number))  # where its packets end
            self.emit(("end",))
            return
        conditions = [self.criterion(self.d._containers[c].restriction, place) for c in container.children]
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
        start_aligned = place.aligned.get(at, False) and offset % 8 == 0
        size: Any = None
        size_register = None
        if enc.dynamic is not None:
            dynamic = enc.dynamic
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
                # The size in bits, which must be whole bytes: checked unless slope and intercept
                # make it so (a count of bytes), where the measure step computes it.
                s, i = enc.dynamic.slope, enc.dynamic.intercept
                if s % 8 == 0 and i % 8 == 0:
                    size = ("reg", size_register, s, i)
                else:
                    bits, whole = self.temporary(), self.temporary()
                    self.emit(("calc", bits, "*", ("reg", size_register), s), bad)
                    self.emit(("calc", bits, "+", ("reg", bits), i), bad)
                    self.emit(("calc", whole, "//", ("reg", bits), 8), bad)
                    self.emit(("calc", whole, "*", ("reg", whole), 8), bad)
                    self.check(("==", ("reg", whole), ("reg", bits)), bad)
                    size = ("reg", bits)
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
                    here, whole = self.temporary(), self.temporary()
                    self.emit(("calc", here, "+", ("pos", at), offset), bad)
                    self.emit(("calc", whole, "//", ("reg", here), 8), bad)
                    self.emit(("calc", whole, "*", ("reg", whole), 8), bad)
                    self.check(("==", ("reg", whole), ("reg", here)), bad)
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

    # -- restriction criteria

    def criterion(self, criterion: Criterion | None, place: Place, depth: int = 0) -> tuple | None:
        """A restriction as a program condition, or None where it needs Python (also where it
        nests deeper than the program takes: 32 levels, two of them for an enumeration's)."""
        if criterion is None:
            return ("==", 0, 0)
        if isinstance(criterion, (AllOf, AnyOf)):
            if depth >= 29:
                return None
            terms = [self.criterion(t, place, depth + 1) for t in criterion.terms]
            if any(t is None for t in terms):
                return None
            return ("and" if isinstance(criterion, AllOf) else "or", *terms)
        assert isinstance(criterion, Comparison)
        if criterion.other is not None or criterion.parameter not in place.in_register:
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

