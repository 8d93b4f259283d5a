"""Telecommands: argument types, meta commands and their command containers, and the packets
they make.

A command packet is laid out by the telemetry machinery: each argument becomes a parameter of
its command (under its own name), each CommandContainer a container whose base is the base meta
command's container or a telemetry container (a CCSDS header with restriction criteria that fill
the APID and packet type), and each FixedValueEntry a field whose value never changes. Every
concrete meta command gets its own parameters and containers, so arguments of the same name in
different commands never meet, and its own Encoder over them; a packet is decoded by trying the
concrete commands in turn. A command whose layout depends on its arguments' values (repeated and
conditional entries, arrays sized by another argument) is laid out per shape of the values given
(see _Shapes). A BlockMetaCommand is a list of steps, each a command with its arguments' values.

Argument types are read by the parameter type code (an IntegerArgumentType is read as an
IntegerParameterType with the same children), by a Loader over a second set of categories:
argument types where parameter types are, then meta commands and command containers; parameters
and telemetry containers are shared with the telemetry's loader.

Commanding never stops the telemetry from loading: what cannot be read (a construct not supported,
a reference to nothing) drops the argument type or meta command concerned, and is listed on
`tolerated`. With strict=True it is refused.
"""
from __future__ import annotations

import dataclasses
import math
import re
import threading
from collections import ChainMap, Counter
from collections.abc import Mapping
from dataclasses import dataclass, field
from fractions import Fraction
from operator import itemgetter
from typing import TYPE_CHECKING, Any

import numpy as np

from ._encode import Encoder
from ._errors import PacketError
from ._load import (CONTAINER, DESCRIPTIVE, MAX_ELEMENTS, MAX_NESTING, NAMED, PARAMETER, READ_PAST, STRUCTURE_TYPES,
                    TYPE, TYPE_TAGS, Loader, Scope, boolean, literal_for, number, only, real, required)
from ._model import (BinaryEncoding, Container, DynamicSize, Entry, IntegerEncoding, Location, NameMap, Parameter,
                     ParameterType, StringEncoding)
from ._plan import Block, Segment, Structure, check_criterion, compile_container
from ._structure import leaves
from ._validity import Range
from ._xml import EARLIER, Element, Refusal, fail

if TYPE_CHECKING:
    from ._definition import Definition

COMMAND, COMMAND_CONTAINER = 3, 4
ARGUMENT_TYPE_TAGS = {
    "IntegerArgumentType": "IntegerParameterType", "FloatArgumentType": "FloatParameterType",
    "EnumeratedArgumentType": "EnumeratedParameterType", "BooleanArgumentType": "BooleanParameterType",
    "StringArgumentType": "StringParameterType", "BinaryArgumentType": "BinaryParameterType",
    "AbsoluteTimeArgumentType": "AbsoluteTimeParameterType",
    "RelativeTimeArgumentType": "RelativeTimeParameterType",
    "RelativeTimeAgumentType": "RelativeTimeParameterType",  # the schema's own spelling
    "AggregateArgumentType": "AggregateParameterType", "ArrayArgumentType": "ArrayParameterType",
}
PARAMETER_TYPE_TAGS = (*TYPE_TAGS, *STRUCTURE_TYPES)
# Elements of a meta command that never change its packet: read past and listed.
COMMAND_READ_PAST = {
    "ParameterToSetList": "parameters set by a command, not set",
    "ParametersToSuspendAlarmsOnSet": "alarms suspended by a command, not evaluated",
    "SystemName": "a meta command property",
}
CONTAINER_READ_PAST = {"DefaultRateInStream", "RateInStreamSet"}


# ---------------------------------------------------------------------------------------------
# What a definition's commands are


@dataclass(slots=True)
class Argument:
    """An argument of a meta command: its type, its default value (from initialValue, the
    argument's or its type's; None if it has none) and the ranges its values must lie in (any
    one of them; on calibrated values unless `valid_calibrated` is False)."""

    name: str
    type: ParameterType
    default: Any = None
    description: str = ""
    valid: tuple[Range, ...] = ()  # of text: its length in characters
    valid_calibrated: bool = True
    pattern: re.Pattern[str] | None = None  # text must match it (restrictionPattern)
    member_defaults: dict[str, Any] = field(default_factory=dict)  # an aggregate's: its members' initialValue

    def __repr__(self) -> str:
        extra = f", default {self.default!r}" if self.default is not None else ""
        return f"Argument({self.name!r}, {self.type.kind}, {self.type.encoding!r}{extra})"


@dataclass(frozen=True, slots=True)
class Significance:
    """How much a command matters (DefaultSignificance): its consequence level (normal, vital,
    critical, forbidden, user1, user2), why, and the space system at risk."""

    consequence: str = "normal"
    reason: str = ""
    system_at_risk: str | None = None


@dataclass(frozen=True, slots=True)
class Verifier:
    """How a command stage is verified (VerifierSet), as a record: the stage (`Accepted`,
    `Complete`, ...), what shows it (`check`: a condition written out, or `container: NAME`),
    and the window in which it is checked (durations as written, and what they count from).
    Verifiers are not evaluated."""

    stage: str
    name: str = ""
    check: str = ""
    window: tuple[str | None, str | None, str] | None = None  # (start, stop, relative to)


@dataclass(frozen=True, slots=True)
class Constraint:
    """A condition that must hold for a command to be sent (TransmissionConstraintList), not
    evaluated: the condition written out, the time out as written, whether suspendable."""

    check: str
    timeout: str | None = None
    suspendable: bool = False


@dataclass(frozen=True, slots=True)
class Interlock:
    """What later commands wait for after this one (Interlock), not evaluated."""

    scope: str | None = None
    waits_for: str = "complete"
    progress: float | None = None
    suspendable: bool = False


@dataclass(slots=True)
class Command:
    """A meta command. `arguments` are those encode_command takes (its own and those it inherits,
    less those that an ArgumentAssignment fixes, listed in `assignments` with their values);
    `defaults` the values used for the arguments left out. An abstract meta command, or one
    without a CommandContainer anywhere on its inheritance chain, makes no packet."""

    name: str
    qualified_name: str
    abstract: bool
    arguments: dict[str, Argument]
    assignments: dict[str, Any]
    base: str | None = None
    description: str = ""
    container: str | None = None  # the command container its packet is laid out by
    # Read and shown, never changing the packet; inherited from the base command unless given:
    significance: Significance | None = None
    context_significance: tuple[tuple[str, Significance], ...] = ()  # (the context written out, its significance)
    verifiers: tuple[Verifier, ...] = ()  # a stage's verifiers replace the base's of the same stage
    constraints: tuple[Constraint, ...] = ()  # the base's, then its own
    interlock: Interlock | None = None

    @property
    def defaults(self) -> dict[str, Any]:
        return {name: a.default for name, a in self.arguments.items() if a.default is not None}

    def __repr__(self) -> str:
        text = f"Command({self.name!r}" + (", abstract" if self.abstract else "")
        text += f", arguments {list(self.arguments)}"
        if self.base is not None:
            text += f", base {self.base!r}"
        return text + ")"


@dataclass(slots=True)
class CommandBlock:
    """A BlockMetaCommand: meta commands sent in order (`steps`: each a command's name and the
    values of its arguments; arguments left out take their defaults)."""

    name: str
    qualified_name: str
    steps: tuple[tuple[str, dict[str, Any]], ...]
    description: str = ""

    def __repr__(self) -> str:
        return f"CommandBlock({self.name!r}, steps {[n for n, _ in self.steps]})"


@dataclass(slots=True, eq=False)
class _ReadContainer:
    """A command container as read: its container (internal name), the arguments and fixed
    fields its entries place, its element for refusals."""

    container: Container
    element: Element
    arguments: list[tuple[str, Element]]
    fixed: dict[str, tuple[Parameter, Any]]  # pseudo-parameter -> (it, its raw value)
    comparisons: list[tuple[Element, Any]]
    includes: list[str]  # command containers its entries include
    parameters: set[str]  # telemetry parameters it places, or its base and included telemetry containers do


@dataclass(slots=True, eq=False)
class _World:
    """One concrete command's parameters and containers, with its encoder and decoder."""

    command: Command
    container: str
    parameters: dict[str, Parameter]
    placed: list[str]  # arguments its packet places
    fixed: dict[str, Any]  # pseudo-parameter -> raw value
    structured: dict[str, ParameterType]  # arguments whose values are split into fields
    encoder: Encoder
    decoder: Definition
    computed: frozenset[str] = frozenset()  # arguments the packet sets itself: sizes, restrictions
    assigned_raw: dict[str, Any] = field(default_factory=dict)
    unchecked: Any = None  # its decoder without checks, made when first needed
    signature: list[tuple[int, int, int]] = field(default_factory=list)  # (first bit, bits, value) of fixed fields
    shapes: _Shapes | None = None  # when its layout depends on its arguments' values
    repeated: frozenset[str] = frozenset()  # arguments of repeated entries: given as lists
    optional: frozenset[str] = frozenset()  # fixed values placed only where a condition holds
    members: dict[str, str] = field(default_factory=dict)  # aggregate members placed by their own entries -> the argument
    padded: frozenset[str] = frozenset()  # text arguments of fixed-size fields: shorter text padded with NULs
    repeated_fixed: frozenset[str] = frozenset()  # fixed values placed once per occurrence


# ---------------------------------------------------------------------------------------------
# Loading


class _CommandLoader(Loader):
    """The telemetry loader's state with argument types in place of parameter types, and meta
    commands and command containers as two more categories."""

    categories = ("argument type", "parameter", "container", "meta command", "command container")

    def __init__(self, main: Loader) -> None:
        self.__dict__.update(main.__dict__)
        self.main = main
        self.mirrors: dict[int, Scope] = {}
        self.scopes = {}
        self.top = self.mirror(main.top)
        # parameters of CommandMetaData over the telemetry's, which they never change
        self.declared = ({}, ChainMap({}, main.declared[PARAMETER]), main.declared[CONTAINER], {}, {})
        self.counts = ({}, ChainMap({}, main.counts[PARAMETER]), main.counts[CONTAINER], {}, {})
        self.by_name = ({}, {}, main.by_name[CONTAINER], {}, {})
        self.parameters = ChainMap({}, main.parameters)
        self.type_by_qualified, self.types, self.unusable, self.merged = {}, {}, {}, {}
        self.building, self.comparisons, self.numeric_refs, self.time_refs = [], [], [], []
        self.member_refs = {}
        self.valid: dict[str, tuple[tuple[Range, ...], bool]] = {}  # argument type -> its valid ranges
        self.patterns: dict[str, re.Pattern[str]] = {}  # string argument type -> its restrictionPattern
        self.arguments_in_scope: dict[str, Any] = {}  # argument names that references may name
        self.read_containers: dict[str, _ReadContainer] = {}  # qualified command container -> as read
        self.parsing: list[str] = []  # command containers being read, each reading those it names
        self.container_failures: dict[str, str] = {}
        self.built: dict[str, Command] = {}
        self.depth: dict[str, int] = {}  # meta command -> how many it inherits from, itself included
        self.failed: dict[str, str] = {}  # qualified meta command -> why it is not loaded
        self.own_container: dict[str, str] = {}  # qualified meta command -> its qualified command container
        self.telemetry: Any = None  # the Definition of the telemetry, once built
        self.block_nodes: list[tuple[Element, Scope]] = []
        self.member_initials: dict[int, dict[str, tuple[Element, str]]] = {}  # aggregate type -> initialValues

    def mirror(self, scope: Scope) -> Scope:
        found = self.mirrors.get(id(scope))
        if found is None:
            parent = self.mirror(scope.parent) if scope.parent is not None else None
            found = self.mirrors[id(scope)] = Scope(scope.path, parent)
            found.names = (  # type: ignore[assignment]
                {}, ChainMap({}, scope.names[PARAMETER]), scope.names[CONTAINER], {}, {})
            self.scopes[scope.path] = found
        return found

    def refused(self, what: str, problem: Refusal) -> None:
        """A command construct that cannot be read: refused when strict, else listed."""
        if self.strict:
            raise problem
        self.tolerate(problem.element, f"{what}: {problem.message.replace(EARLIER, '?')}")

    # -- declarations ---------------------------------------------------------------------------

    def collect_commands(self) -> None:
        for node, scope in self.main.command_nodes:
            here = self.mirror(scope)
            try:
                self.check_attributes(node, ())
            except Refusal as problem:
                self.refused("<CommandMetaData> attributes", problem)
            for child in node:
                tag = child.tag
                try:
                    if tag in DESCRIPTIVE:
                        continue
                    if tag == "ArgumentTypeSet":
                        self.declare_each(TYPE, self.members(child, tuple(ARGUMENT_TYPE_TAGS)), here)
                    elif tag == "MetaCommandSet":
                        commands = self.members(child, ("MetaCommand", "BlockMetaCommand"))
                        self.block_nodes.extend((c, here) for c in commands if c.tag == "BlockMetaCommand")
                        for command in commands:
                            if command.tag == "BlockMetaCommand":
                                continue
                            if not self.declare_each(COMMAND, [command], here):
                                continue
                            inner = [c for c in command if c.tag == "CommandContainer"]
                            if inner and self.declare_each(COMMAND_CONTAINER, inner[:1], here):
                                self.own_container[here.names[COMMAND][command.attrib["name"]]] = \
                                    here.names[COMMAND_CONTAINER][inner[0].attrib["name"]]
                    elif tag == "CommandContainerSet":
                        self.declare_each(COMMAND_CONTAINER, self.members(child, ("SequenceContainer",
                                                                                  "CommandContainer")), here)
                    elif tag == "ParameterTypeSet":  # beside the argument types
                        self.declare_each(TYPE, self.members(child, PARAMETER_TYPE_TAGS), here)
                    elif tag == "ParameterSet":
                        self.declare_each(PARAMETER, self.members(child, ("Parameter",)), here)
                    else:
                        self.read_past(child, node)
                except Refusal as problem:
                    self.refused(f"<{tag}> not loaded", problem)
        for category in (TYPE, COMMAND, COMMAND_CONTAINER):
            self.counts[category].update(Counter(map(itemgetter(2), self.declared[category].values())))
        own = Counter(map(itemgetter(2), self.declared[PARAMETER].maps[0].values()))
        self.counts[PARAMETER].update({n: self.main.counts[PARAMETER].get(n, 0) + k for n, k in own.items()})

    def members(self, node: Element, tags: tuple[str, ...], past: dict[str, str] | None = None) -> list[Element]:
        self.check_attributes(node, ())
        kept = []
        for child in node:
            if child.tag in tags:
                kept.append(child)
            elif past and child.tag in past:
                self.tolerate(child, f"<{child.tag}>: {past[child.tag]}, not loaded yet")
            elif child.tag not in DESCRIPTIVE:
                try:
                    self.read_past(child, node)
                except Refusal as problem:
                    self.refused(f"<{child.tag}> not loaded", problem)
        return kept

    def declare_each(self, category: int, nodes: list[Element], scope: Scope) -> bool:
        declared = True
        for node in nodes:
            try:
                self.declare(category, [node], scope)
            except Refusal as problem:
                self.refused(f"<{node.tag}> not loaded", problem)
                declared = False
        return declared

    # -- argument types -------------------------------------------------------------------------

    def type_node(self, qualified: str) -> Element:
        """The argument type's element (with its base type's merged in) as the parameter type
        of the same kind; its valid ranges are kept aside."""
        merged = super().type_node(qualified)
        tag = ARGUMENT_TYPE_TAGS.get(merged.tag, merged.tag if merged.tag in PARAMETER_TYPE_TAGS else None)
        if tag is None:
            raise fail(merged, "not an argument type")
        node = Element(tag, dict(merged.attrib))
        ranges: list[Range] = []
        calibrated = True
        for child in merged:
            if child.tag == "ValidRangeSet":
                self.check(child, ("validRangeAppliesToCalibrated",), ("ValidRange",))
                calibrated = boolean(child, "validRangeAppliesToCalibrated", True)
                for valid in child:
                    if valid.tag == "ValidRange":
                        self.check(valid, ("minInclusive", "minExclusive", "maxInclusive", "maxExclusive"))
                        ranges.append(self.bounds(valid))
            elif child.tag == "SizeRangeInCharacters" and tag == "StringParameterType":
                self.check(child, ("minInclusive", "maxInclusive"))
                ranges.append(self.bounds(child))
            elif child.tag == "ValidRange" and tag in ("IntegerParameterType", "FloatParameterType"):
                self.check(child, ("minInclusive", "minExclusive", "maxInclusive", "maxExclusive",
                                   "validRangeAppliesToCalibrated"))
                calibrated = boolean(child, "validRangeAppliesToCalibrated", True)
                ranges.append(self.bounds(child))
            else:
                node.append(child)
        if ranges and tag not in ("IntegerParameterType", "FloatParameterType", "StringParameterType"):
            raise fail(merged, f"a valid range on <{merged.tag}>: only integer and float arguments have one")
        self.valid[qualified] = (tuple(ranges), calibrated)
        if "restrictionPattern" in merged.attrib:
            try:
                self.patterns[qualified] = re.compile(merged.attrib["restrictionPattern"])
            except re.error as e:
                raise fail(merged, f"restrictionPattern {merged.attrib['restrictionPattern']!r} is not a regular "
                                   f"expression this library reads: {e}") from None
        self.origin[id(node)] = self.origin.get(id(merged), merged)
        return node

    def structure_type(self, node: Element, name: str) -> ParameterType:
        """An aggregate or array argument type; the initialValue of an aggregate's members kept."""
        made = super().structure_type(node, name)
        members = only(node, ("MemberList",), required=False) if made.kind == "aggregate" else None
        written = {m.attrib.get("name", "").strip(): (m, m.attrib["initialValue"])
                   for m in (members if members is not None else ())
                   if m.tag == "Member" and "initialValue" in m.attrib}
        if written:
            self.member_initials[id(made)] = written
        return made

    def member_defaults(self, ptype: ParameterType) -> dict[str, Any]:
        """The values of an aggregate type's members that have an initialValue (of a scalar type)."""
        defaults = {}
        types = dict(ptype.members)
        for member, (element, written) in self.member_initials.get(id(ptype), {}).items():
            if not types[member].structured:
                defaults[member] = self.value_of(element, Argument(member, types[member]), written, "initialValue")
        return defaults

    def discrete_lookup(self, node: Element) -> Any:
        raise fail(node, "a count or index from a lookup table is not supported in commands")

    def dynamic_value(self, node: Element) -> Any:
        """A size from another argument (ArgumentInstanceRef) or a parameter."""
        ref = only(node, ("ArgumentInstanceRef", "ParameterInstanceRef"))
        assert ref is not None
        if ref.tag == "ParameterInstanceRef":
            return super().dynamic_value(node)
        from ._model import DynamicSize
        self.check(node, (), ("ArgumentInstanceRef", "LinearAdjustment"))
        self.check(ref, ("argumentRef", "useCalibratedValue"))
        slope, intercept = self.linear_adjustment(node)
        return DynamicSize(required(ref, "argumentRef").strip(), boolean(ref, "useCalibratedValue", True),
                           slope, intercept)

    def usable(self, name: str, user: Element) -> Parameter:
        if name not in self.parameters and name not in self.unusable_parameters:
            raise fail(user, f"parameter {name!r} is not loaded")  # one of CommandMetaData's, listed
        here, self.unusable = self.unusable, self.main.unusable  # parameters' types are the telemetry's
        try:
            return super().usable(name, user)
        finally:
            self.unusable = here

    def parameter_ref(self, ref: str, node: Element, attribute: str = "parameterRef") -> str:
        """Criteria in commanding may test the command's arguments as well as parameters."""
        if ref.strip() in self.arguments_in_scope:
            return ref.strip()
        return super().parameter_ref(ref, node, attribute)

    def build_argument_types(self) -> None:
        for qualified in self.declared[TYPE]:
            if qualified in self.type_by_qualified or qualified in self.unusable:
                continue
            marks = len(self.comparisons), len(self.numeric_refs), len(self.time_refs)
            try:
                self.build_type(qualified)
            except Refusal as problem:  # types that hold each other: unusable in tolerant mode too
                if self.strict:
                    raise
                del self.comparisons[marks[0]:], self.numeric_refs[marks[1]:], self.time_refs[marks[2]:]
                self.unusable[qualified] = problem
        try:
            for node, comparison in self.comparisons:
                for ref, _ in comparison.parameters():
                    self.usable(ref, node)
                if comparison.literal is not None:
                    comparison.value = literal_for(node, self.main.parameters[comparison.parameter],
                                                   comparison.calibrated, comparison.literal)
            for node, name, calibrated, use in self.numeric_refs:
                kind = self.usable(name, node).type.kind
                if kind not in ("integer", "float"):
                    raise fail(node, f"{use} from {name!r}, a {kind} parameter")
            if self.member_refs:
                node = next(iter(self.member_refs.values()))[0]
                raise fail(node, "a reference to a member of an aggregate parameter in commanding")
        except Refusal as problem:  # the argument types concerned are not marked: drop them all
            if self.strict:
                raise
            for qualified in list(self.type_by_qualified):
                self.unusable[qualified] = problem
            self.type_by_qualified.clear()
        self.comparisons.clear()

    def build_parameters(self) -> None:
        """The parameters of CommandMetaData: of its parameter types, or of the telemetry's."""
        for qualified, (node, scope, name) in self.declared[PARAMETER].maps[0].items():
            here = self.scope
            self.scope = scope
            try:
                self.check(node, ("name", "shortDescription", "parameterTypeRef", "initialValue"),
                           ("ParameterProperties",))
                ref = required(node, "parameterTypeRef")
                try:
                    ptype = self.argument_type(ref, node)[1]
                except Refusal:
                    main_scope = self.main.scopes[scope.path]
                    self.main.scope = main_scope
                    type_qualified = self.main.find(TYPE, ref, node, "parameterTypeRef")
                    ptype = self.main.type_by_qualified.get(type_qualified)  # type: ignore[assignment]
                    if ptype is None:
                        raise fail(node, f"parameterTypeRef {ref!r}: "
                                         + self.main.unusable[type_qualified].message.replace(EARLIER, "?"))
            except Refusal as problem:
                self.refused("<Parameter>s of <CommandMetaData> not loaded", problem)
                continue
            finally:
                self.scope = here
            key = self.key(PARAMETER, qualified)
            self.parameters.maps[0][key] = Parameter(key, ptype, node.attrib.get("shortDescription", ""), qualified,
                                                     node.attrib.get("initialValue"))

    def argument_type(self, ref: str, node: Element) -> tuple[str, ParameterType]:
        qualified = self.find(TYPE, ref, node, "argumentTypeRef")
        ptype = self.type_by_qualified.get(qualified)
        if ptype is None:
            problem = self.unusable[qualified]
            raise fail(node, f"argumentTypeRef {ref!r}: {problem.message.replace(EARLIER, '?')}")
        return qualified, ptype

    # -- meta commands --------------------------------------------------------------------------

    def build_commands(self) -> dict[str, Command]:
        for qualified in self.declared[COMMAND]:
            self.command(qualified, [])
        keys = {q: self.key(COMMAND, q) for q in self.built}
        return {keys[q]: c for q, c in self.built.items()}

    def command(self, qualified: str, chain: list[str]) -> Command | None:
        if qualified in self.built or qualified in self.failed:
            return self.built.get(qualified)
        node, scope, name = self.declared[COMMAND][qualified]
        if qualified in chain:
            loop = chain[chain.index(qualified):] + [qualified]
            problem = fail(node, "meta command inheritance loops: " + " -> ".join(q.rpartition("/")[2] for q in loop))
            self.failed[qualified] = problem.message
            self.refused("<MetaCommand>s not loaded", problem)
            return None
        here = self.scope
        try:
            if len(chain) >= MAX_NESTING:
                raise fail(node, f"meta commands inherit from each other more than {MAX_NESTING} deep")
            self.scope = scope
            command = self.meta_command(node, qualified, name, chain + [qualified])
            depth = self.depth[command.base] + 1 if command.base is not None else 1
            if depth > MAX_NESTING:
                raise fail(node, f"meta commands inherit from each other more than {MAX_NESTING} deep")
            self.depth[command.name] = depth
        except Refusal as problem:
            self.failed[qualified] = problem.message
            self.refused("<MetaCommand>s not loaded", problem)
            return None
        finally:
            self.scope = here
        self.built[qualified] = command
        return command

    def meta_command(self, node: Element, qualified: str, name: str, chain: list[str]) -> Command:
        self.check_attributes(node, (*NAMED, "abstract"))
        parts: dict[str, Element] = {}
        for child in node:
            tag = child.tag
            if tag in ("BaseMetaCommand", "ArgumentList", "CommandContainer"):
                if tag in parts:
                    raise fail(child, f"more than one <{tag}> inside <MetaCommand>")
                parts[tag] = child
            elif tag in ("DefaultSignificance", "ContextSignificanceList", "VerifierSet", "TransmissionConstraintList",
                         "Interlock"):
                if tag in parts:
                    raise fail(child, f"more than one <{tag}> inside <MetaCommand>")
                parts[tag] = child
            elif tag in COMMAND_READ_PAST:
                self.tolerate(child, f"<{tag}>: {COMMAND_READ_PAST[tag]}")
            elif tag not in DESCRIPTIVE:
                self.read_past(child, node)
        base: Command | None = None
        arguments: dict[str, Argument] = {}
        assignments: dict[str, Any] = {}
        container = None
        if (found := parts.get("BaseMetaCommand")) is not None:
            self.check(found, ("metaCommandRef",), ("ArgumentAssignmentList",))
            ref = required(found, "metaCommandRef")
            base_qualified = self.find(COMMAND, ref, found, "metaCommandRef")
            here = self.scope
            base = self.command(base_qualified, chain)
            self.scope = here
            if base is None:  # the base's own reason is listed (or refused) already
                raise fail(found, "its base meta command is not loaded")
            arguments.update(base.arguments)
            assignments.update(base.assignments)
            container = base.container
            if (listed := only(found, ("ArgumentAssignmentList",), required=False)) is not None:
                for assignment in self.check(listed, (), ("ArgumentAssignment",)):
                    self.check(assignment, ("argumentName", "argumentValue"))
                    argument = required(assignment, "argumentName").strip()
                    if argument not in arguments:
                        raise fail(assignment, f"argumentName {argument!r}: the base meta command {base.name!r} "
                                               "has no such argument" + (" left to assign" if argument in assignments
                                                                         else ""))
                    assignments[argument] = self.value_of(assignment, arguments.pop(argument),
                                                          required(assignment, "argumentValue"), "argumentValue")
        own = dict(arguments)
        if (listed := parts.get("ArgumentList")) is not None:
            for element in self.check(listed, (), ("Argument",)):
                self.check(element, (*NAMED, "argumentTypeRef", "initialValue"))
                argument = self.name(element)
                if argument in own or argument in assignments:
                    raise fail(element, f"a second argument named {argument!r}")
                type_qualified, ptype = self.argument_type(required(element, "argumentTypeRef"), element)
                written = element.attrib.get("initialValue", ptype.initial)
                valid, calibrated = self.valid.get(type_qualified, ((), True))
                made = Argument(argument, ptype, None, element.attrib.get("shortDescription", ""), valid, calibrated,
                                self.patterns.get(type_qualified))
                if ptype.kind == "aggregate":
                    made.member_defaults = self.member_defaults(ptype)
                if written is not None and ptype.structured:
                    made.default = self.structure_value(element, made, written)
                elif written is not None:
                    made.default = self.value_of(element, made, written, "initialValue")
                elif made.member_defaults and len(made.member_defaults) == len(ptype.members):
                    made.default = dict(made.member_defaults)
                own[argument] = made
        if parts.get("CommandContainer") is not None:
            container_qualified = self.own_container.get(qualified)
            if container_qualified is None:  # declared twice: listed already
                raise fail(parts["CommandContainer"], "its CommandContainer is not loaded")
            container = self.main_container_name(container_qualified)
            self.arguments_in_scope = {**own, **assignments}
            try:
                self.read_container(container_qualified)
            finally:
                self.arguments_in_scope = {}
        result = Command(self.key(COMMAND, qualified), qualified, boolean(node, "abstract", False), own, assignments,
                       base.name if base is not None else None, node.attrib.get("shortDescription", ""), container)
        if base is not None:
            result.significance, result.verifiers = base.significance, base.verifiers
            result.context_significance = base.context_significance
            result.constraints, result.interlock = base.constraints, base.interlock
        if (found := parts.get("DefaultSignificance")) is not None:
            result.significance = self.significance(found)
        if (found := parts.get("ContextSignificanceList")) is not None:
            contexts = []
            for context in self.check(found, (), ("ContextSignificance",)):
                self.check(context, (), ("ContextMatch", "Significance"))
                match, significance = only(context, ("ContextMatch",)), only(context, ("Significance",))
                assert match is not None and significance is not None
                contexts.append((_written(match), self.significance(significance)))
            result.context_significance = tuple(contexts)
        if (found := parts.get("VerifierSet")) is not None:
            own_verifiers = [self.verifier(v) for v in found if v.tag not in DESCRIPTIVE]
            stages = {v.stage for v in own_verifiers}
            result.verifiers = tuple(v for v in result.verifiers if v.stage not in stages) + tuple(own_verifiers)
        if (found := parts.get("TransmissionConstraintList")) is not None:
            constraints = []
            for constraint in found:
                if constraint.tag == "TransmissionConstraint":
                    constraints.append(Constraint(_written(constraint), constraint.attrib.get("timeOut"),
                                                  boolean(constraint, "suspendable", False)))
            result.constraints = result.constraints + tuple(constraints)
        if (found := parts.get("Interlock")) is not None:
            progress = found.attrib.get("verificationProgressPercentage")
            result.interlock = Interlock(found.attrib.get("scopeToSpaceSystem"),
                                       found.attrib.get("verificationToWaitFor", "complete").strip(),
                                       real(found, progress, "verificationProgressPercentage")
                                       if progress is not None else None, boolean(found, "suspendable", False))
        return result

    def significance(self, node: Element) -> Significance:
        self.check(node, ("spaceSystemAtRisk", "reasonForWarning", "consequenceLevel"))
        return Significance(node.attrib.get("consequenceLevel", "normal").strip(), node.attrib.get("reasonForWarning", ""),
                            node.attrib.get("spaceSystemAtRisk"))

    def verifier(self, node: Element) -> Verifier:
        stage = node.tag.removesuffix("Verifier")
        window = None
        if (found := only(node, ("CheckWindow",), required=False)) is not None:
            window = (found.attrib.get("timeToStartChecking"), found.attrib.get("timeToStopChecking"),
                      found.attrib.get("timeWindowIsRelativeTo", "timeLastVerifierPassed").strip())
        return Verifier(stage, node.attrib.get("name", ""), _written(node), window)

    # -- command blocks -------------------------------------------------------------------------

    def build_blocks(self, commands: dict[str, Command], worlds: dict[str, _World]) -> dict[str, CommandBlock]:
        blocks: dict[str, CommandBlock] = {}
        for node, scope in self.block_nodes:
            here = self.scope
            self.scope = scope
            try:
                block = self.block(node, commands, worlds)
            except Refusal as problem:
                self.refused("<BlockMetaCommand>s not loaded", problem)
                continue
            finally:
                self.scope = here
            if block.name in commands or block.name in blocks:
                self.refused("<BlockMetaCommand>s not loaded",
                             fail(node, f"a second meta command or block named {block.name!r}"))
                continue
            blocks[block.name] = block
        return blocks

    def block(self, node: Element, commands: dict[str, Command], worlds: dict[str, _World]) -> CommandBlock:
        import json
        self.check(node, NAMED, ("MetaCommandStepList",))
        name = self.name(node)
        listed = only(node, ("MetaCommandStepList",))
        assert listed is not None
        steps = []
        for step in self.check(listed, (), ("MetaCommandStep",)):
            self.check(step, ("metaCommandRef",), ("ArgumentAssigmentList", "ArgumentAssignmentList"))
            qualified = self.find(COMMAND, required(step, "metaCommandRef"), step, "metaCommandRef")
            command = self.built.get(qualified)
            if command is None:
                raise fail(step, f"metaCommandRef {step.attrib['metaCommandRef'].strip()!r}: that meta command is "
                                 "not loaded")
            key = self.key(COMMAND, qualified)
            if key not in worlds:
                raise fail(step, f"meta command {key!r} makes no packet"
                                 + (": it is abstract" if command.abstract else ""))
            values: dict[str, Any] = {}
            for listed_values in step:
                if listed_values.tag not in ("ArgumentAssigmentList", "ArgumentAssignmentList"):
                    continue
                for assignment in self.check(listed_values, (), ("ArgumentAssignment",)):
                    self.check(assignment, ("argumentName", "argumentValue"))
                    argument = required(assignment, "argumentName").strip()
                    if argument not in command.arguments:
                        raise fail(assignment, f"argumentName {argument!r}: meta command {key!r} has no such "
                                               "argument" + (" left to assign" if argument in command.assignments
                                                             else ""))
                    written = required(assignment, "argumentValue")
                    target = command.arguments[argument]
                    if target.type.structured:
                        try:
                            values[argument] = json.loads(written)
                            _flatten(argument, target.type, values[argument], {})
                        except ValueError:
                            raise fail(assignment, f"argumentValue of {argument!r} is not its value in JSON") from None
                    else:
                        values[argument] = self.value_of(assignment, target, written, "argumentValue")
            steps.append((key, values))
        if not steps:
            raise fail(listed, "has no <MetaCommandStep>")
        return CommandBlock(name, f"{self.scope.path}/{name}", tuple(steps), node.attrib.get("shortDescription", ""))

    def structure_value(self, node: Element, argument: Argument, written: str) -> Any:
        """The initialValue of an aggregate or array argument, written in JSON (an object of its
        members' values, an array of its elements); None, listed, when it is written otherwise."""
        import json
        try:
            value = json.loads(written)
            _flatten(argument.name, argument.type, value, {})
        except ValueError:
            self.tolerate(node, "an initialValue of an aggregate or array argument that is not its value in JSON "
                                "(not used)")
            return None
        return value

    def value_of(self, node: Element, argument: Argument, written: str, what: str) -> Any:
        """A default or assigned value, written as text, as a value of the argument's type."""
        from ._encode import initial_value
        ptype = argument.type
        written = written.strip()
        try:
            if ptype.kind == "absolute_time":
                return np.datetime64(written.removesuffix("Z").removesuffix("z"), "ns")
            if ptype.kind == "relative_time":
                return duration(written)
            value = initial_value(Parameter(argument.name, ptype), written)
        except ValueError:
            raise fail(node, f"{what} {written!r} is not a value of argument {argument.name!r} "
                             f"({ptype.kind})") from None
        if ptype.kind == "enumerated" and value not in {label for _, _, label in ptype.enumeration}:
            try:  # a value of the enumeration: its label
                code = int(written, 0)
                value = next(label for low, high, label in ptype.enumeration if low <= code <= high)
            except (ValueError, StopIteration):
                raise fail(node, f"{what} {written!r} is not a label of argument {argument.name!r}, nor one of its "
                                 "values") from None
        return value

    # -- command containers ---------------------------------------------------------------------

    def main_container_name(self, qualified: str) -> str:
        """The name a command container has among the telemetry's containers in a command's world."""
        key = self.key(COMMAND_CONTAINER, qualified)
        return key if key not in self.main.containers else f"{key} (command)"

    def read_container(self, qualified: str) -> _ReadContainer:
        found = self.read_containers.get(qualified)
        if found is not None:
            return found
        if qualified in self.container_failures:
            node = self.declared[COMMAND_CONTAINER][qualified][0]
            raise fail(node, self.container_failures[qualified])
        node, scope, _ = self.declared[COMMAND_CONTAINER][qualified]
        if len(self.parsing) >= MAX_NESTING:
            raise fail(node, f"command containers nested more than {MAX_NESTING} deep")
        if qualified in self.parsing:
            names = self.parsing[self.parsing.index(qualified):] + [qualified]
            raise fail(node, "command containers include or extend each other: "
                             + " -> ".join(q.rpartition("/")[2] for q in names))
        self.parsing.append(qualified)
        here = self.scope
        self.scope = self.declared[COMMAND_CONTAINER][qualified][1]
        try:
            made = self.command_container(node, qualified)
        except Refusal as problem:
            self.container_failures[qualified] = problem.message
            raise
        finally:
            self.scope = here
            self.parsing.pop()
        self.read_containers[qualified] = made
        return made

    def container_target(self, ref: str, node: Element) -> tuple[str, str | None]:
        """(name in a command's world, qualified command container or None) of a containerRef."""
        try:
            qualified = self.find(COMMAND_CONTAINER, ref, node, "containerRef")
        except Refusal:
            return self.container_ref(ref, node), None
        return self.main_container_name(qualified), qualified

    def command_container(self, node: Element, qualified: str) -> _ReadContainer:
        name = self.main_container_name(qualified)
        children = ("EntryList", "BaseContainer", "BinaryEncoding")
        self.check_attributes(node, (*NAMED, "abstract", "idlePattern"))
        for child in node:
            if child.tag in CONTAINER_READ_PAST:
                self.tolerate(child, f"<{child.tag}>: {READ_PAST[child.tag]}")
            elif child.tag not in children and child.tag not in DESCRIPTIVE:
                self.read_past(child, node)
        entries: list[Entry] = []
        arguments: list[tuple[str, Element]] = []
        fixed: dict[str, tuple[Parameter, Any]] = {}
        includes: list[str] = []
        parameters: set[str] = set()  # the telemetry parameters its entries place
        marks = len(self.comparisons)
        entry_list = only(node, ("EntryList",), required=False)
        for entry in entry_list if entry_list is not None else ():
            tag = entry.tag
            if tag in DESCRIPTIVE:
                continue
            keys = {"ArgumentRefEntry": "argumentRef", "ParameterRefEntry": "parameterRef",
                    "ContainerRefEntry": "containerRef", "FixedValueEntry": "binaryValue"}
            key = keys.get(tag)
            if key is None:
                self.read_past(entry, entry_list)  # type: ignore[arg-type]
                if tag[0] == "{" or tag in READ_PAST:
                    continue
                raise fail(entry, f"<{tag}> in a command container is not supported")
            extra = ("name", "sizeInBits") if tag == "FixedValueEntry" else ()
            location, repeat, condition = self.entry_parts(entry, key, extra)
            if tag == "ArgumentRefEntry":
                argument = required(entry, key).strip()
                arguments.append((argument, entry))
                entries.append(Entry("parameter", argument, location, repeat, condition))
            elif tag == "ParameterRefEntry":
                target = Loader.parameter_ref(self, required(entry, key), entry)  # a parameter, never an argument
                self.usable(target, entry)
                parameters.add(target)
                entries.append(Entry("parameter", target, location, repeat, condition))
            elif tag == "ContainerRefEntry":
                target, command_qualified = self.container_target(required(entry, key), entry)
                if command_qualified is not None:
                    self.read_container(command_qualified)
                    includes.append(command_qualified)
                else:
                    parameters.update(self.main_names(target))
                entries.append(Entry("container", target, location, repeat, condition))
            else:
                parameter, value = self.fixed_field(entry, name, len(fixed))
                fixed[parameter.name] = (parameter, value)
                entries.append(Entry("parameter", parameter.name, location, repeat, condition))
        base = restriction = size = None
        if (base_node := only(node, ("BaseContainer",), required=False)) is not None:
            self.check(base_node, ("containerRef",), ("RestrictionCriteria",))
            base, command_qualified = self.container_target(required(base_node, "containerRef"), base_node)
            if command_qualified is not None:
                self.read_container(command_qualified)
                includes.append(command_qualified)
            else:
                parameters.update(self.main_names(base))
            if (crit := only(base_node, ("RestrictionCriteria",), required=False)) is not None:
                self.check(crit, (), ("Comparison", "ComparisonList", "BooleanExpression"))
                restriction = self.criterion(crit)
        if (encoding := only(node, ("BinaryEncoding",), required=False)) is not None:
            size = self.container_size(encoding)
        comparisons = self.comparisons[marks:]
        del self.comparisons[marks:]
        # abstract or not, a command container lays out the packets of the meta commands that use it
        container = Container(name, False, tuple(entries), base, restriction, [],
                              node.attrib.get("shortDescription", ""), size)
        return _ReadContainer(container, node, arguments, fixed, comparisons, includes, parameters)

    def entry_parts(self, entry: Element, key: str, extra: tuple[str, ...]) -> tuple:
        """An entry's location, repeat and include condition (each None when not given); counts
        and conditions may name arguments (ArgumentInstanceRef) as well as parameters."""
        location, repeat, condition = self.entry_options(entry, key, (), extra)
        if location is not None and location.from_end:
            raise fail(entry, "an entry placed from the container's end is not supported in commands")
        return location, repeat, condition

    def condition_form(self, node: Element) -> Element:
        return self.parameter_form(node)

    def parameter_form(self, node: Element, depth: int = 0) -> Element:
        """A criterion on arguments written as one on parameters: ArgumentInstanceRef as
        ParameterInstanceRef, and a Comparison holding its reference as one with parameterRef."""
        if depth > 2 * MAX_NESTING:  # a condition is two elements a level (ANDedConditions, Condition)
            raise fail(node, f"conditions nested more than {MAX_NESTING} deep")
        made = Element(node.tag, dict(node.attrib))
        made.text = node.text
        self.origin[id(made)] = self.origin.get(id(node), node)
        for child in node:
            if node.tag == "Comparison" and child.tag in ("ArgumentInstanceRef", "ParameterInstanceRef"):
                ref = child.attrib.get("argumentRef", child.attrib.get("parameterRef"))
                if ref is None:
                    raise fail(child, f"<{child.tag}> names nothing")
                made.attrib["parameterRef"] = ref
                if "useCalibratedValue" in child.attrib:
                    made.attrib["useCalibratedValue"] = child.attrib["useCalibratedValue"]
                continue
            inner = self.parameter_form(child, depth + 1)
            if child.tag == "ArgumentInstanceRef":
                inner.tag = "ParameterInstanceRef"
                if "argumentRef" in inner.attrib:
                    inner.attrib["parameterRef"] = inner.attrib.pop("argumentRef")
            made.append(inner)
        return made

    def main_names(self, container: str) -> list[str]:
        """The parameters a telemetry container, its base containers and what it includes place."""
        return self.telemetry._segments[container].names

    def fixed_field(self, entry: Element, container: str, index: int) -> tuple[Parameter, Any]:
        """A FixedValueEntry as a parameter of its own, whose value is fixed."""
        bits = int(number(entry, required(entry, "sizeInBits"), "sizeInBits", int))
        if not 1 <= bits <= 1 << 20:
            raise fail(entry, f"sizeInBits {bits}: 1 to {1 << 20} are supported")
        written = required(entry, "binaryValue").strip()
        try:
            value = int(written, 16) if written else 0
        except ValueError:
            raise fail(entry, f"binaryValue {written!r} is not hexadecimal") from None
        if value >> bits:
            raise fail(entry, f"binaryValue {written!r} does not fit in {bits} bits")
        label = entry.attrib.get("name") or f"FixedValue{index + 1}"
        name = f"{label} ({container} fixed value)"
        if bits <= 64:
            ptype = ParameterType(name, "integer", IntegerEncoding(bits, "unsigned", "unsigned"))
            return Parameter(name, ptype, "", name, str(value)), value
        data = value.to_bytes((bits + 7) // 8, "big")
        ptype = ParameterType(name, "binary", BinaryEncoding(bits))
        return Parameter(name, ptype, "", name, data.hex()), data


# ---------------------------------------------------------------------------------------------
# Each command's world


def _world(loader: _CommandLoader, definition: Definition, qualified: str, command: Command,
           qualified_of: dict[str, str]) -> _World:
    """The parameters, containers and segments of one concrete command's packets (over the
    telemetry's, which are not copied)."""
    node = loader.declared[COMMAND][qualified][0]
    own = loader.own_container
    container_qualified = None
    at = qualified
    while container_qualified is None:  # the nearest command container up the inheritance chain
        container_qualified = own.get(at)
        if container_qualified is None:
            base = loader.built[at].base
            if base is None:
                raise fail(node, "no CommandContainer on its inheritance chain: it makes no packet")
            at = qualified_of[base]
    top = loader.read_container(container_qualified)
    parameters: Any = ChainMap({}, loader.parameters)
    placeable = {**command.arguments, **{n: None for n in command.assignments}}
    all_arguments = dict(command.arguments)
    ancestors: list[Command] = []
    at = qualified
    while at is not None:
        c = loader.built[at]
        ancestors.append(c)
        at = qualified_of[c.base] if c.base is not None else None
    for c in ancestors:  # the types of assigned arguments: from where they are declared
        for n, a in c.arguments.items():
            all_arguments.setdefault(n, a)
    # every command container the packet uses, from the top one down its bases and inclusions
    read: dict[str, _ReadContainer] = {}
    todo = [container_qualified]
    while todo:
        q = todo.pop()
        if q in read:
            continue
        read[q] = loader.read_container(q)
        todo.extend(read[q].includes)
    fixed: dict[str, Any] = {}
    placed: list[str] = []
    members: dict[str, tuple[str, ParameterType]] = {}  # `a.m` placed by its own entry -> (a, its type)
    for held in read.values():
        for argument, entry in held.arguments:
            if argument not in placeable:
                found = _member(argument, all_arguments)
                if found is None:
                    raise fail(entry, f"argumentRef {argument!r}: meta command {command.name!r} has no such "
                                      "argument")
                members[argument] = found
            placed.append(argument)
        for name, (parameter, value) in held.fixed.items():
            parameters[name] = parameter
            fixed[name] = value
    for argument, (base, _) in members.items():
        if base in placed:
            raise fail(node, f"argument {base!r} is placed whole and its member {argument!r} by an entry of its own")
    used = {p for held in read.values() for p in held.parameters}
    for argument in dict.fromkeys(placed):  # an argument's name hides a parameter's in the command's parts
        if argument in used:
            raise fail(node, f"argument {argument!r} has the name of a parameter that its packet places too: "
                             "not supported")
        ptype = members[argument][1] if argument in members else all_arguments[argument].type
        parameters[argument] = Parameter(argument, ptype, "", argument)
    for held in read.values():
        for element, comparison in held.comparisons:
            for ref, _ in comparison.parameters():
                if ref in placeable and ref not in parameters:
                    raise fail(element, f"a criterion tests argument {ref!r}, which the packet does not place")
                if ref not in parameters:
                    loader.usable(ref, element)
            if comparison.literal is not None:
                comparison.value = literal_for(element, parameters[comparison.parameter], comparison.calibrated,
                                               comparison.literal)
    containers: Any = ChainMap({}, definition._containers)
    for held in read.values():
        containers[held.container.name] = dataclasses.replace(held.container, children=[])
    chain = [top.container.name]
    while containers[chain[-1]].base is not None:
        chain.append(containers[chain[-1]].base)  # type: ignore[arg-type]
        if len(chain) > 100:
            raise fail(top.element, "container inheritance loops or nests more than 100 deep")
    chain.reverse()
    for upper, lower in zip(chain, chain[1:]):
        containers[upper] = dataclasses.replace(containers[upper], children=[lower])
    segments: dict[str, Segment] = {}
    elements = {held.container.name: held.element for held in read.values()}
    for name in chain:
        if name in definition._segments and name not in elements:  # a telemetry container, routed to this command
            segments[name] = dataclasses.replace(definition._segments[name], container=containers[name])
            continue
        base = segments[containers[name].base] if containers[name].base is not None else None  # type: ignore[index]
        if base is not None:
            check_criterion(containers[name].restriction, base.names, elements[name])
        segments[name] = compile_container(containers[name], containers, parameters, base, elements[name])
    structured = {n: parameters[n].type for n in dict.fromkeys(placed) if parameters[n].type.structured}
    flat = {}
    for name in chain:  # fixed-size structures as their fields, for the encoder
        names = []
        for n in segments[name].names:
            parts = leaves(n, parameters[n].type) if n in structured else None
            names.extend([p for p, _ in parts] if parts is not None else [n])
        flat[name] = dataclasses.replace(segments[name], names=names)
    encoder = _command_encoder(parameters, containers, flat, chain[0])
    decoder = object.__new__(type(definition))  # the definition's decoding over this command's parts
    decoder.__dict__.update(definition.__dict__)
    decoder._parameters = parameters
    decoder._containers = containers
    decoder._segments = segments
    decoder.root = chain[0]
    decoder._plans, decoder._error_checks, decoder._tested, decoder._routed = {}, {}, {}, None
    decoder._read_whole = {n for s in segments.values() for step in s.steps if isinstance(step, Structure)
                           for n in step.names}
    decoder._encoder = encoder
    world = _World(command, chain[-1], parameters, list(dict.fromkeys(placed)), fixed, structured, encoder, decoder)
    world.members = {n: base for n, (base, _) in members.items()}
    world.padded = frozenset(n for n in dict.fromkeys(placed) if _pads(parameters[n].type))
    if any(isinstance(step, Structure) for name in chain if name in elements for step in segments[name].steps):
        world.shapes = _Shapes(world, containers, segments, chain, elements)
        world.repeated = frozenset(n for held in read.values() for e in held.container.entries
                                   if e.repeat is not None for n in _entry_names(e, containers) if n in placeable)
        world.optional = frozenset(n for held in read.values() for e in held.container.entries
                                   if e.condition is not None for n in _entry_names(e, containers) if n in fixed)
        world.repeated_fixed = frozenset(n for held in read.values() for e in held.container.entries
                                         if e.repeat is not None for n in _entry_names(e, containers) if n in fixed)
    for name, value in command.assignments.items():  # the raw values of assigned arguments, checked now
        if name in world.placed and name not in structured and not isinstance(parameters[name].type.encoding,
                                                                               BinaryEncoding):
            try:
                world.assigned_raw[name] = encoder.one(name, True)(value, _no_lookup)
            except ValueError as e:
                raise fail(node, f"the value assigned to argument {name!r} cannot be encoded: {e}") from None
    known = {**fixed, **world.assigned_raw}
    for name in chain:  # fields at fixed places whose values are fixed: a packet's first sorting
        for step in segments[name].steps:
            for f in step.fields if isinstance(step, Block) and step.anchor == 0 else ():
                enc = f.parameter.type.encoding
                if f.parameter.name in known and isinstance(enc, IntegerEncoding) and enc.form == "unsigned" and \
                        (enc.byte_order == "big" or enc.bits <= 8) and not enc.reverse_bits:
                    world.signature.append((f.offset, f.bits, known[f.parameter.name]))
    world.signature.sort()
    computed: set[str] = set()
    for name in chain:
        restriction = containers[name].restriction
        computed.update(p for p, _ in (restriction.parameters() if restriction is not None else ()))
    world.computed = frozenset(computed)
    return world


def _command_encoder(parameters: Any, containers: Any, segments: dict[str, Segment], root: str) -> Encoder:
    encoder = Encoder(parameters, containers, segments, root)
    if encoder.header is not None:  # a telecommand's packet type is 1 unless told otherwise
        version = next(iter(encoder.header.defaults))
        defaults = {n: (1 if v == 0 else v) for n, v in encoder.header.defaults.items() if n != version}
        encoder.header = dataclasses.replace(encoder.header, defaults={version: 0, **defaults})
    return encoder


# ---------------------------------------------------------------------------------------------
# Commands whose layout depends on their arguments' values


MAX_SHAPES = 256  # layouts kept per command (a new one costs a few milliseconds)
_MISSING = object()


class _Shapes:
    """The packets of a command whose layout depends on its arguments' values: repeated and
    conditional entries, arrays sized by another argument, structures holding fields of variable
    size. For the values given, each command container's entries are written out as they are
    then (conditions decided, repeats and arrays as one entry per occurrence and element, named
    `a[0]`, `a.m`, ...), every one a plain field, and laid out by an encoder made for that shape
    and kept for the next packets of the same shape."""

    def __init__(self, world: _World, containers: Any, segments: dict[str, Segment], chain: list[str],
                 elements: dict[str, Element]) -> None:
        self.world = world
        self.parameters = world.parameters
        self.containers = containers
        self.segments = segments
        self.chain = chain
        self.elements = elements
        self.made: dict[tuple, Encoder] = {}
        self.lock = threading.Lock()
        self.arguments = {*world.command.arguments, *world.command.assignments}
        self.checks = frozenset(n for n in world.placed if getattr(self.parameters[n].type.encoding, "check", None))

    def encode(self, values: dict[str, Any], raw: bool, sequence_count: int | None,
               explicit: set[str] | None = None) -> bytes:
        """A packet; `explicit` are the arguments the caller gave (the others are defaults,
        which a count or size from the data overrides), all of them when None."""
        walk = _Unroll(self, dict(values), raw, set(values) if explicit is None else explicit)
        for name in self.chain:
            if name in self.elements:
                walk.container(name)
        walk.finish()
        key = tuple(walk.key)
        encoder = self.made.get(key)
        if encoder is None:
            encoder = self.build(walk)
            with self.lock:
                if len(self.made) >= MAX_SHAPES:
                    self.made.pop(next(iter(self.made)))
                encoder = self.made.setdefault(key, encoder)
        return encoder.encode(self.world.container, walk.packet_values(), raw, sequence_count)

    def build(self, walk: _Unroll) -> Encoder:
        parameters: Any = ChainMap(dict(walk.leaves), self.parameters)
        containers: Any = ChainMap(dict(walk.containers), self.containers)
        segments: dict[str, Segment] = {}
        for name in self.chain:
            if name not in self.elements:
                segments[name] = self.segments[name]
                continue
            base = segments[containers[name].base] if containers[name].base is not None else None
            try:
                segments[name] = compile_container(containers[name], containers, parameters, base,
                                                   self.elements[name])
            except Refusal as e:
                raise ValueError(f"meta command {self.world.command.name!r}: {e.message}") from None
        encoder = _command_encoder(parameters, containers, segments, self.chain[0])
        encoder._counts = self.world.encoder._counts  # one sequence counter per APID for every command
        encoder._lock = self.world.encoder._lock
        return encoder


class _Unroll:
    """One packet's command containers written out for its values (see _Shapes)."""

    def __init__(self, shapes: _Shapes, given: dict[str, Any], raw: bool, explicit: set[str]) -> None:
        from ._definition import _Values

        self.shapes = shapes
        self.explicit = explicit
        self.given = given  # argument -> value; sizes and counts derived from the data are added
        self.raw = raw
        self.key: list[Any] = []  # the decisions that make the layout
        self.containers: dict[str, Container] = {}
        self.leaves: dict[str, Parameter] = {}  # the parameters of occurrences, elements and members
        self.values: dict[str, Any] = {}  # of leaves
        self.scalars: list[str] = []  # arguments and parameters placed under their own names
        self.sized: set[str] = set()  # arguments that size text or binary fields, set by the encoder
        self.raws: dict[str, Any] = {}
        self.get = _Values(shapes.parameters, self.raw_of).get
        self.occurrence: int | None = None  # of the repeated container being written out
        self.suffix = ""  # of the names of its copy and leaves: [i], or [i][j] inside another's occurrence
        self.outer: list[dict[str, Any]] = []  # `current` of the occurrences this one is inside
        self.occurrences: dict[str, list[Any]] = {}  # its arguments' values, in the occurrences that place them
        self.taken: dict[str, int] = {}  # how many of those are placed so far
        self.current: dict[str, Any] = {}  # their values in this occurrence, so far
        self.derived: dict[str, Any] = {}  # counts of repeats inside this occurrence, from its data

    @property
    def command(self) -> str:
        return self.shapes.world.command.name

    def raw_of(self, name: str) -> Any:
        current = next((c for c in (self.current, *reversed(self.outer)) if name in c), None)
        if current is not None:  # within an occurrence: its value there
            value = current[name]
            ptype = self.shapes.parameters[name].type
            if self.raw or ptype.kind in ("string", "binary") or ptype.structured:
                return value
            return self.shapes.world.encoder.one(name, True)(value, self.get)
        found = self.raws.get(name, _MISSING)
        if found is _MISSING:
            parameter = self.shapes.parameters.get(name)
            if name not in self.given:  # a parameter's initial value, else nothing
                written = None if parameter is None else parameter.initial or parameter.type.initial
                if parameter is None or name in self.shapes.arguments or written is None:
                    raise KeyError(name)
                from ._encode import initial_value
                self.given[name] = initial_value(parameter, written)
            found = self.given[name]
            ptype = self.shapes.parameters[name].type
            if not self.raw and ptype.kind not in ("string", "binary") and not ptype.structured:
                found = self.shapes.world.encoder.one(name, True)(found, self.get)
            self.raws[name] = found
        return found

    def container(self, name: str) -> None:
        if name not in self.containers:
            container = self.shapes.containers[name]
            self.containers[name] = dataclasses.replace(container, entries=tuple(self.entries(container.entries)))

    def entries(self, entries: tuple[Entry, ...]) -> list[Entry]:
        out: list[Entry] = []
        for entry in entries:
            if entry.condition is not None:
                try:
                    holds = bool(entry.condition.evaluate(self.get))
                except KeyError as e:
                    raise ValueError(f"meta command {self.command!r}: no value for {e.args[0]!r}, on which the "
                                     f"inclusion of entry {entry.ref!r} depends ({entry.condition!r})") from None
                self.key.append(holds)
                if not holds:
                    left = [n for n in _entry_names(entry, self.shapes.containers) if n in self.explicit
                            and n in self.shapes.world.command.arguments]
                    if left and self.occurrence is None:  # in a repeated container: counted at its end
                        raise ValueError(f"meta command {self.command!r}: argument {left[0]!r} is given, but its "
                                         f"entry is left out of the packet ({entry.condition!r} does not hold)")
                    continue
            location = entry.location
            if entry.kind == "container" and entry.repeat is not None:
                self.repeated_container(entry, location, out)
                continue
            if entry.kind == "container":
                if entry.ref in self.shapes.elements and self.occurrence is None:
                    self.container(entry.ref)
                    out.append(Entry("container", entry.ref, location))
                elif entry.ref in self.shapes.elements:  # inside an occurrence: its own copy
                    out.append(Entry("container", self.copy(entry.ref), location))
                else:
                    out.append(Entry("container", entry.ref, location))
                continue
            name = entry.ref
            ptype = self.shapes.parameters[name].type
            if self.occurrence is not None:  # an entry of a repeated container: this occurrence's value
                value = _MISSING
                found = self.occurrences.get(name)
                if found is not None and self.taken[name] < len(found):  # in the occurrences that place it
                    value = self.current[name] = found[self.taken[name]]
                    self.taken[name] += 1
                elif name in self.derived:  # a count this occurrence's data gives
                    value = self.current[name] = self.derived[name]
                leaf = f"{name}{self.suffix}"
                if entry.repeat is not None:  # its repeats in this occurrence
                    self.repeated_parameter(name, leaf, ptype, value, entry, location, out)
                    continue
                self.leaves[leaf] = Parameter(leaf, ptype, "", leaf, self.shapes.parameters[name].initial)
                self.place(leaf, ptype, value, location, out)
                continue
            value = self.given.get(name, _MISSING)
            if entry.repeat is None:
                self.place(name, ptype, value, location, out)
                continue
            self.repeated_parameter(name, name, ptype, value, entry, location, out)
        return out

    def repeated_parameter(self, name: str, leaf: str, ptype: ParameterType, value: Any, entry: Entry,
                           location: Location | None, out: list[Entry]) -> None:
        """A repeated parameter entry's occurrences, `leaf[i]` each."""
        assert entry.repeat is not None
        count = self.count(entry.repeat.count, name, value)
        gap = self.count(entry.repeat.offset, name, _MISSING, "offset between repeats")
        self.key.append((count, gap))
        items = [_MISSING] * count if value is _MISSING else _items(name, value, 1)[1]
        initial = self.shapes.parameters[name].initial
        for i, item in enumerate(items):
            self.leaves[f"{leaf}[{i}]"] = Parameter(f"{leaf}[{i}]", ptype, "", f"{leaf}[{i}]", initial)
            self.place(f"{leaf}[{i}]", ptype, item, location if i == 0 else (Location(gap, False) if gap else None),
                       out)

    def counts_given(self, name: str) -> dict[str, Any]:
        """The arguments of a repeated container's occurrence that count a repeat inside it, not
        given, from the number of repeats given in this occurrence."""
        derived: dict[str, Any] = {}
        for inner in self.shapes.containers[name].entries:
            count = inner.repeat.count if inner.repeat is not None else None
            if not isinstance(count, DynamicSize) or inner.condition is not None:
                continue
            counter = count.parameter
            refs = [inner.ref] if inner.kind == "parameter" else [
                n for n in _entry_names(inner, self.shapes.containers) if n in self.shapes.arguments]
            ref = next((n for n in refs if self.taken.get(n, 0) < len(self.occurrences.get(n, ()))), None)
            if counter in self.occurrences or counter not in self.shapes.arguments or ref is None:
                continue
            if self.shapes.parameters[counter].type.calibrated_differs and count.calibrated == self.raw:
                continue  # the count's argument is calibrated: given, it is checked instead
            n = _items(ref, self.occurrences[ref][self.taken[ref]], 1)[0][0]
            value = (Fraction(n) - Fraction(count.intercept)) / Fraction(count.slope)
            if value.denominator != 1:
                raise ValueError(f"{ref}: {n} occurrences given: no whole value of {counter!r} gives that "
                                 f"({count!r})")
            derived[counter] = int(value)
        return derived

    def repeated_container(self, entry: Entry, location: Location | None, out: list[Entry]) -> None:
        """A repeated command container: a copy of it per occurrence, each of its arguments given
        as a list of their values in each (inside an occurrence of another repeated container,
        that occurrence's list)."""
        assert entry.repeat is not None
        names = [n for n in _entry_names(entry, self.shapes.containers) if n in self.shapes.arguments]
        if self.occurrence is None:
            given = {n: self.given[n] for n in names if n in self.given}
        else:  # this occurrence's values, each taken once for all the repeats
            given = {}
            for n in names:
                found = self.occurrences.get(n)
                if found is not None and self.taken[n] < len(found):
                    given[n] = found[self.taken[n]]
                    self.taken[n] += 1
        first = next((n for n in names if n in given), None)
        count = self.count(entry.repeat.count, first or entry.ref, given[first] if first else _MISSING)
        gap = self.count(entry.repeat.offset, entry.ref, _MISSING, "offset between repeats")
        self.key.append((count, gap))
        occurrences = {n: _items(n, value, 1)[1] for n, value in given.items()}
        taken = dict.fromkeys(occurrences, 0)
        outer = self.occurrence, self.suffix, self.occurrences, self.taken, self.current, self.derived
        self.outer.append(self.current)
        try:
            for i in range(count):
                self.occurrence, self.suffix = i, f"{outer[1]}[{i}]"
                self.occurrences, self.taken, self.current = occurrences, taken, {}
                self.derived = self.counts_given(entry.ref)
                copy = self.copy(entry.ref)
                out.append(Entry("container", copy, location if i == 0 else (Location(gap, False) if gap else None)))
        finally:
            self.occurrence, self.suffix, self.occurrences, self.taken, self.current, self.derived = outer
            self.outer.pop()
        for n, items in occurrences.items():
            if taken[n] != len(items):
                raise ValueError(f"{n}: {len(items)} occurrences given, the packet places {taken[n]} ({entry.ref!r} "
                                 f"repeats {count} times)")

    def copy(self, name: str) -> str:
        """A command container's copy for the current occurrence."""
        renamed = f"{name}{self.suffix}"
        container = self.shapes.containers[name]
        self.containers[renamed] = dataclasses.replace(container, name=renamed,
                                                       entries=tuple(self.entries(container.entries)))
        return renamed

    def count(self, count: Any, name: str, value: Any, what: str = "repeat count") -> int:
        """A repeat's count: fixed, from the argument it names, or from the occurrences given."""
        if isinstance(count, int):
            if value is not _MISSING and what == "repeat count":
                n = _items(name, value, 1)[0][0]
                if n != count:
                    raise ValueError(f"{name}: {n} occurrences given, its entry repeats {count} times")
            return count
        assert isinstance(count, DynamicSize)
        if value is not _MISSING and what == "repeat count":
            n = _items(name, value, 1)[0][0]
            self.derive(count, n, f"{name}: {n} occurrences given")
            return n
        try:
            made = count.bits(self.get(count.parameter, count.calibrated))
        except KeyError:
            raise ValueError(f"meta command {self.command!r}: no value for {count.parameter!r}, which gives the "
                             f"{what} of {name!r}") from None
        if isinstance(made, np.generic):
            made = made.item()
        if made != int(made) or not 0 <= made <= MAX_ELEMENTS:
            raise ValueError(f"{count.parameter}: it makes the {what} of {name!r} {made!r}, not a whole number "
                             f"from 0 to {MAX_ELEMENTS}")
        return int(made)

    def derive(self, dynamic: DynamicSize, wanted: int, what: str) -> None:
        """The value of the argument that gives a count, from the count the data has; or, when
        it is given, a check that the two agree."""
        name = dynamic.parameter
        if name in self.explicit or name in self.shapes.world.command.assignments or \
                name not in self.shapes.arguments or name in self.current:
            try:
                have = dynamic.bits(self.get(name, dynamic.calibrated))
            except KeyError:
                raise ValueError(f"{what}: the count comes from {name!r}, which has no value") from None
            if have != wanted:
                raise ValueError(f"{what}, but {name!r} ({self.given.get(name)!r}) makes it {have!r}")
            return
        value = (Fraction(wanted) - Fraction(dynamic.intercept)) / Fraction(dynamic.slope)
        if value.denominator != 1:
            raise ValueError(f"{what}: no whole value of {name!r} gives that ({dynamic!r})")
        if self.shapes.parameters[name].type.calibrated_differs and dynamic.calibrated == self.raw:
            raise ValueError(f"{what}: give {name!r} as well (its value is calibrated)")
        self.given[name] = int(value)
        self.raws.pop(name, None)
        argument = self.shapes.world.command.arguments.get(name)
        if argument is not None and argument.valid:
            _check_range(self.shapes.world, argument, self.given[name])

    def place(self, name: str, ptype: ParameterType, value: Any, location: Location | None,
              out: list[Entry]) -> None:
        """A value's entries: one per field of a structure, in order."""
        if ptype.kind in ("aggregate", "array"):
            if value is _MISSING:
                raise ValueError(f"meta command {self.command!r}: no value for argument {name!r} (given none, and "
                                 "it has no default)")
            if ptype.kind == "aggregate":
                _check_members(name, ptype, value)
                parts = [(f"{name}.{m}", mt, value[m] if m in value else _MISSING) for m, mt in ptype.members]
            else:
                assert ptype.element is not None
                shape, items = _items(name, value, ptype.rank)
                self.key.append(tuple(shape))
                for d, ((first, last), n) in enumerate(zip(ptype.dimensions, shape)):
                    low = self.count(first, name, _MISSING, "first index")
                    if isinstance(last, int):
                        if n != max(0, last - low + 1):
                            raise ValueError(f"{name}: an array of shape {tuple(shape)}, its type's dimension {d + 1} "
                                             f"has {max(0, last - low + 1)} elements")
                    else:
                        self.derive(last, low + n - 1, f"{name}: {n} elements in dimension {d + 1}")
                parts = [(f"{name}[{i}]", ptype.element, item) for i, item in enumerate(items)]
            for i, (leaf, leaf_type, item) in enumerate(parts):
                self.leaves[leaf] = Parameter(leaf, leaf_type, "", leaf)
                self.place(leaf, leaf_type, item, location if i == 0 else None, out)
            return
        enc = ptype.encoding
        dynamic = getattr(enc, "dynamic", None)
        if dynamic is not None:
            self.sized.add(dynamic.parameter)
        out.append(Entry("parameter", name, location))
        if name in self.leaves:
            if value is not _MISSING:
                self.values[name] = value
            elif self.leaves[name].initial is None:
                raise ValueError(f"meta command {self.command!r}: no value for {name!r}")
        else:
            self.scalars.append(name)

    def finish(self) -> None:
        arguments = self.shapes.world.command.arguments
        missing = [n for n in dict.fromkeys(self.scalars) if n in arguments and n not in self.given and
                   n not in self.sized and n not in self.shapes.world.computed and n not in self.shapes.checks]
        if missing:
            raise ValueError(f"meta command {self.command!r}: no value for argument{'s' if len(missing) > 1 else ''} "
                             f"{', '.join(map(repr, missing))} (given none, and it has no default)")

    def packet_values(self) -> dict[str, Any]:
        out = {n: self.given[n] for n in dict.fromkeys(self.scalars) if n in self.given}
        out.update(self.values)
        return out


def _entry_names(entry: Entry, containers: Any) -> list[str]:
    from ._structure import produces
    return produces(entry, containers)


def _items(name: str, value: Any, rank: int) -> tuple[list[int], list[Any]]:
    """The shape of a value of `rank` dimensions (nested sequences, or a numpy array) and its
    elements in order."""
    level = [value]
    shape = []
    for _ in range(rank):
        sizes = set()
        for item in level:
            if isinstance(item, (str, bytes, bytearray, Mapping)) or not hasattr(item, "__len__"):
                raise ValueError(f"{name}: {value!r} is not {'an array' if rank > 1 else 'a sequence'} of "
                                 f"{rank} dimension{'s' if rank > 1 else ''}")
            sizes.add(len(item))
        if len(sizes) > 1:
            raise ValueError(f"{name}: rows of different lengths ({', '.join(map(str, sorted(sizes)))})")
        shape.append(sizes.pop() if sizes else 0)
        level = [x for item in level for x in item]
    return shape, level


class Commands:
    """A definition's meta commands and what makes their packets."""

    def __init__(self, commands: dict[str, Command], worlds: dict[str, _World], aliases: dict[str, str],
                 blocks: dict[str, CommandBlock] | None = None) -> None:
        self.commands = commands
        self.worlds = worlds
        self.map = NameMap(commands, "meta commands", aliases)
        self.blocks = NameMap(blocks or {}, "command blocks")
        self._counts: dict[Any, int] = {}
        self._lock = threading.Lock()
        # worlds by the values of their fixed fields at fixed places: (first bit, bits) of each
        # such field -> their values -> the worlds
        self.sorted: dict[tuple[tuple[int, int], ...], dict[tuple[int, ...], list[int]]] = {}
        self.unsorted: list[int] = []
        self.order = list(worlds.values())
        for i, world in enumerate(self.order):
            world.encoder._counts = self._counts  # one sequence counter per APID for every command
            world.encoder._lock = self._lock
            if not world.signature:
                self.unsorted.append(i)
                continue
            places = tuple((start, bits) for start, bits, _ in world.signature)
            values = tuple(value for _, _, value in world.signature)
            self.sorted.setdefault(places, {}).setdefault(values, []).append(i)

    def command(self, name: str) -> Command:
        try:
            return self.map[name]
        except KeyError as e:
            known = [n for n in self.commands if not self.commands[n].abstract]
            hint = f" (concrete ones: {', '.join(known[:8])}{', ...' if len(known) > 8 else ''})" if known else ""
            raise ValueError(f"no meta command named {name!r}{hint}" if e.args[0] == name else e.args[0]) from None

    def encode_block(self, name: str, arguments: Mapping[str, Any], sequence_count: int | None) -> list[bytes]:
        """The packets of a command block's steps, in order; the sequence count given is the
        first step's, and each step takes the next."""
        block = self.blocks[name]
        if arguments:
            raise ValueError(f"command block {block.name!r} takes no arguments: its steps give them "
                             f"({next(iter(arguments))!r} given)")
        packets = []
        for i, (command, values) in enumerate(block.steps):
            count = None if sequence_count is None else (sequence_count + i) % (1 << 14)
            try:
                packets.append(self.encode(command, values, count))
            except ValueError as e:
                raise ValueError(f"command block {block.name!r}, step {i + 1} ({command}): {e}") from None
        return packets

    def encode(self, name: str, arguments: Mapping[str, Any], sequence_count: int | None = None) -> bytes:
        command = self.command(name)
        if command.abstract:
            below = [n for n, c in self.commands.items() if c.base == command.name]
            raise ValueError(f"meta command {command.name!r} is abstract: encode one that inherits from it"
                             + (f" ({', '.join(below[:8])})" if below else ""))
        world = self.worlds.get(command.name)
        if world is None:
            raise ValueError(f"meta command {command.name!r} makes no packet: it has no CommandContainer")
        unknown = [k for k in arguments if k not in command.arguments]
        if unknown:
            fixed = [k for k in unknown if k in command.assignments]
            if fixed:
                raise ValueError(f"meta command {command.name!r}: argument {fixed[0]!r} is fixed to "
                                 f"{command.assignments[fixed[0]]!r} by its ArgumentAssignment")
            raise ValueError(f"meta command {command.name!r} has no argument {unknown[0]!r} (its arguments: "
                             f"{', '.join(command.arguments) or 'none'})")
        values: dict[str, Any] = {}
        missing = []
        for name_, argument in command.arguments.items():
            if name_ in arguments:
                value = arguments[name_]
                if argument.member_defaults and isinstance(value, Mapping):
                    value = {**{k: v for k, v in argument.member_defaults.items() if k not in value}, **value}
            elif argument.default is not None:
                value = argument.default
            else:
                if world.shapes is None and (name_ in world.placed or name_ in world.members.values()) and \
                        name_ not in world.computed and name_ not in _made(world):
                    missing.append(name_)
                continue
            if argument.valid or argument.pattern is not None:
                if world.shapes is not None and not argument.type.structured:  # each occurrence of a repeat
                    for item in _occurrences(value):
                        _check_range(world, argument, item)
                else:
                    _check_range(world, argument, value)
            values[name_] = _padded(argument.type, value) if name_ in world.padded else value
        if missing:
            raise ValueError(f"meta command {command.name!r}: no value for argument{'s' if len(missing) > 1 else ''} "
                             f"{', '.join(map(repr, missing))} (given none, and it has no default)")
        values.update(command.assignments)
        _add_members(world, values)
        if world.shapes is not None:
            return world.shapes.encode(values, False, sequence_count, set(arguments))
        packet_values: dict[str, Any] = {}
        for name_ in world.placed:
            if name_ not in values:  # the size of a field, or fixed by a restriction: computed
                continue
            if name_ in world.structured:
                _flatten(name_, world.structured[name_], values[name_], packet_values)
            else:
                packet_values[name_] = values[name_]
        return world.encoder.encode(world.container, packet_values, False, sequence_count)

    def candidates(self, packet: bytes) -> list[_World]:
        """The commands a packet may be, by the values of their fixed fields at fixed places."""
        found = list(self.unsorted)
        if self.sorted:
            size = len(packet) * 8
            whole = int.from_bytes(packet, "big")
            for places, table in self.sorted.items():
                if all(start + bits <= size for start, bits in places):
                    key = tuple((whole >> (size - start - bits)) & ((1 << bits) - 1) for start, bits in places)
                    found.extend(table.get(key, ()))
        return [self.order[i] for i in sorted(found)]

    @staticmethod
    def _otherwise(world: _World, packet: bytes) -> bool:
        """Whether a packet would be the command's but for its checks."""
        try:
            segment, values, fields, get = _unchecked(world)._decode_one(packet)
        except PacketError:
            return False
        raw = world.decoder._shown(segment, values, fields, get, True)
        shown = world.decoder._shown(segment, values, fields, get, False) if world.shapes is not None else None
        return segment.container.name == world.container and _mismatch(world, raw, get, len(packet), shown) is None

    def decode(self, data: bytes) -> tuple[str, dict[str, Any]]:
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"data must be bytes, not {type(data).__name__}")
        packet = bytes(data)
        matches: list[tuple[_World, dict[str, Any]]] = []
        near: list[str] = []
        for world in self.candidates(packet):
            try:
                segment, values, fields, get = world.decoder._decode_one(packet)
            except PacketError as e:
                if e.reason is None and self._otherwise(world, packet):  # only its check fails
                    near.append(f"{world.command.name}: {e}")
                continue
            if segment.container.name != world.container:
                continue
            raw = world.decoder._shown(segment, values, fields, get, True)
            shown = world.decoder._shown(segment, values, fields, get, False) if world.shapes is not None else None
            why = _mismatch(world, raw, get, len(packet), shown)
            if why is not None:
                continue
            if shown is None:
                shown = world.decoder._shown(segment, values, fields, get, False)
            matches.append((world, _arguments(world, shown)))
        if len(matches) > 1:  # a command and those that narrow it: the narrowest
            names = {w.command.name for w, _ in matches}
            bases = {w.command.base for w, _ in matches}
            matches = [(w, v) for w, v in matches if w.command.name not in bases] if len(names) > 1 else matches
        if not matches:
            raise ValueError(f"the packet ({len(packet)} bytes) matches no meta command"
                             + (f": {near[0]}" if len(near) == 1 else ""))
        if len(matches) > 1:
            raise ValueError("the packet matches more than one meta command: "
                             + ", ".join(w.command.name for w, _ in matches))
        world, arguments = matches[0]
        return world.command.name, arguments


def _written(node: Element) -> str:
    """What a verifier or constraint checks, written out: its comparisons and conditions as
    `P == v`, joined by and / or; a container as `container: NAME`."""
    parts = []
    for child in node:
        tag = child.tag
        if tag == "Comparison":
            ref = child.attrib.get("parameterRef", "?")
            parts.append(f"{ref} {child.attrib.get('comparisonOperator', '==')} {child.attrib.get('value', '')}")
        elif tag == "ComparisonList":
            parts.append(" and ".join(_written(_one(c)) for c in child))
        elif tag == "BooleanExpression":
            parts.append(_written(child))
        elif tag in ("ANDedConditions", "ORedConditions"):
            joined = f" {'and' if tag[0] == 'A' else 'or'} ".join(_written(_one(c)) for c in child)
            parts.append(f"({joined})")
        elif tag == "Condition":
            refs = [c.attrib.get("parameterRef", c.attrib.get("argumentRef", "?")) for c in child
                    if c.tag in ("ParameterInstanceRef", "ArgumentInstanceRef")]
            op = next((c.text or "").strip() for c in child if c.tag == "ComparisonOperator") \
                if any(c.tag == "ComparisonOperator" for c in child) else "=="
            value = next(((c.text or "").strip() for c in child if c.tag == "Value"), refs[1] if len(refs) > 1 else "")
            parts.append(f"{refs[0] if refs else '?'} {op} {value}")
        elif tag == "ContainerRef":
            parts.append(f"container: {child.attrib.get('containerRef', '?')}")
        elif tag in ("ParameterValueChange", "CustomAlgorithm"):
            parts.append(f"<{tag}>")
    return " and ".join(p for p in parts if p)


def _one(node: Element) -> Element:
    """An element as the only child of a wrapper, for _written."""
    wrapper = Element("_", {})
    wrapper.append(node)
    return wrapper


def _unchecked(world: _World) -> Definition:
    """The command's decoder without the verification of check fields."""
    found = world.unchecked
    if found is None:
        found = object.__new__(type(world.decoder))
        found.__dict__.update(world.decoder.__dict__)
        found._error_checks = {n: [] for n in world.decoder._segments}
        world.unchecked = found
    return found


_SEQUENCES = (list, tuple, np.ndarray)


def _member(path: str, arguments: Mapping[str, Argument]) -> tuple[str, ParameterType] | None:
    """(the argument, the member's type) of `a.m.n`, a member of an aggregate argument; None
    if it names none."""
    base, *names = path.split(".")
    if base not in arguments or not names:
        return None
    ptype = arguments[base].type
    for name in names:
        ptype = dict(ptype.members).get(name) if ptype.kind == "aggregate" else None  # type: ignore[assignment]
        if ptype is None:
            return None
    return base, ptype


def _pads(ptype: ParameterType) -> bool:
    """Whether text of a type is padded with NULs to its field: a field of whole bytes of a
    fixed size, with neither a termination character nor a size tag to end the text sooner."""
    enc = ptype.encoding
    return ptype.kind == "string" and isinstance(enc, StringEncoding) and enc.bits is not None and \
        enc.bits % 8 == 0 and enc.terminator is None and enc.leading_bits is None and enc.dynamic is None


def _padded(ptype: ParameterType, value: Any) -> Any:
    """Text shorter than its fixed field with the NULs that fill it (NUL characters: a code unit
    each); anything else as it is."""
    from ._layout import TEXT_ENCODERS
    enc = ptype.encoding
    assert isinstance(enc, StringEncoding) and enc.bits is not None
    if not isinstance(value, str):
        return value
    try:
        short = enc.bits // 8 - len(TEXT_ENCODERS[enc.reader](value))
    except ValueError:
        return value  # refused when it is written
    return value + "\0" * (short // enc.unit) if short > 0 and short % enc.unit == 0 else value


def _add_members(world: _World, values: dict[str, Any]) -> dict[str, Any]:
    """`values` with the members that entries of their own place (`a.m`), from their aggregates."""
    for leaf, base in world.members.items():
        if base in values:
            values[leaf] = _member_value(leaf, values[base])
    return values


def _member_value(path: str, value: Any) -> Any:
    """The value of member `a.m.n` in the value of aggregate argument `a`."""
    base, *names = path.split(".")
    at = base
    for name in names:
        if not isinstance(value, Mapping):
            raise ValueError(f"{at}: {value!r} is not a mapping of its members' values")
        if name not in value:
            raise ValueError(f"{at}: no value for its member {name!r}")
        value, at = value[name], f"{at}.{name}"
    return value


def _arguments(world: _World, shown: dict[str, Any], among: Mapping[str, Any] | None = None) -> dict[str, Any]:
    """A command's arguments in a packet's values: those it places (among those of `among`),
    aggregates placed member by member put together."""
    among = world.command.arguments if among is None else among
    found = {n: shown[n] for n in among if n in world.placed and n in shown}
    for name in world.padded:
        if isinstance(found.get(name), str):
            found[name] = found[name].rstrip("\0")
    for leaf, base in world.members.items():
        if leaf in shown and base in among:
            at = found.setdefault(base, {})
            *inner, last = leaf.split(".")[1:]
            for name in inner:
                at = at.setdefault(name, {})
            at[last] = shown[leaf]
    return found


def _occurrences(value: Any) -> list[Any]:
    """The values of a repeated entry's occurrences, of repeats inside repeats too, in order."""
    items = [value]
    while any(isinstance(item, _SEQUENCES) for item in items):
        items = [x for item in items for x in (item if isinstance(item, _SEQUENCES) else [item])]
    return items


def _mismatch(world: _World, raw: dict[str, Any], get: Any, size: int,
              shown: dict[str, Any] | None = None) -> str | None:
    """Why a packet decoded with a command's layout is not that command's (None if it is)."""
    for name, value in world.fixed.items():
        found = raw.get(name, _MISSING)
        if found is _MISSING and name in world.optional:  # its entry's condition did not hold
            continue
        if name in world.repeated_fixed and isinstance(found, _SEQUENCES):
            wrong = next((item for item in _occurrences(found) if item != value), _MISSING)
            if wrong is not _MISSING:
                return f"{name} is {wrong!r}, not {value!r}"
        elif found != value:
            return f"{name} is {None if found is _MISSING else found!r}, not {value!r}"
    for name, value in world.assigned_raw.items():
        if raw.get(name) != value and get(name, True) != world.command.assignments[name]:
            return f"{name} is {raw.get(name)!r}, not the assigned {value!r}"
    header = world.encoder.header
    if header is not None and header.length in raw:
        return None if raw[header.length] + 7 == size else "its length field disagrees with its size"
    given: dict[str, Any] = {}
    if world.shapes is not None and shown is not None:  # laid out again from the values decoded
        arguments = world.command.arguments
        try:
            values = {**{n: v for n, v in _arguments(world, shown, arguments).items() if n not in world.shapes.checks},
                      **world.command.assignments}
            again = world.shapes.encode(_add_members(world, values), False, None)
        except ValueError as e:
            return str(e)
        return None if len(again) == size else f"{size} bytes, its layout {len(again)}"
    try:
        checks = {f.parameter.name for f, _ in world.encoder.plan(world.container).checks}  # verified by decoding
    except ValueError as e:  # a layout that encoding does not support
        return str(e)
    for name, value in raw.items():
        if name in checks:
            continue
        if name in world.structured:
            _flatten(name, world.structured[name], value, given)
        else:
            given[name] = value
    try:
        again = world.encoder.encode(world.container, given, True, None)
    except ValueError as e:
        return str(e)
    return None if len(again) == size else f"{size} bytes, its layout {len(again)}"


_DURATION = re.compile(r"(-)?P(?:(\d+(?:\.\d*)?)D)?(?:T(?:(\d+(?:\.\d*)?)H)?(?:(\d+(?:\.\d*)?)M)?"
                       r"(?:(\d+(?:\.\d*)?)S)?)?", re.ASCII)


def duration(text: str) -> np.timedelta64:
    """A duration written as seconds or as the XML schema's days, hours, minutes and seconds
    (``PT1M30.5S``), to the nanosecond; ValueError for anything else."""
    text = text.strip()
    found = _DURATION.fullmatch(text)
    if found is None or text in ("P", "-P") or text.endswith("T"):
        seconds = Fraction(text) if re.fullmatch(r"[+-]?(\d+(\.\d*)?|\.\d+)", text, re.ASCII) else None
        if seconds is None:
            raise ValueError(f"{text!r} is not a duration")
    else:
        sign, days, hours, minutes, secs = found.groups()
        seconds = sum(Fraction(v or "0") * unit for v, unit in ((days, 86400), (hours, 3600), (minutes, 60), (secs, 1)))
        seconds = -seconds if sign else seconds
    nanoseconds = round(seconds * 10 ** 9)
    if abs(nanoseconds) >= 1 << 63:
        raise ValueError(f"{text!r} is out of range")
    return np.timedelta64(nanoseconds, "ns")


def _made(world: _World) -> set[str]:
    """The arguments the packet's layout sets: sizes of other fields, checks."""
    plan = world.encoder.plan(world.container)
    return set(plan.sized) | {f.parameter.name for f, _ in plan.checks}


def _no_lookup(name: str, calibrated: bool) -> Any:
    raise ValueError(f"a value that depends on {name!r}")


def _inside(r: Range, value: Any) -> bool:
    """Whether one number lies within a range (NaN within none), compared exactly."""
    if value != value:
        return False
    if r.low is not None and not (value >= r.low if r.low_inclusive else value > r.low):
        return False
    return r.high is None or bool(value <= r.high if r.high_inclusive else value < r.high)


def _check_range(world: _World, argument: Argument, value: Any) -> None:
    if argument.type.kind == "string":
        if not isinstance(value, str):
            return  # refused as text when encoded
        if argument.pattern is not None and argument.pattern.fullmatch(value) is None:
            raise ValueError(f"argument {argument.name!r}: {value!r} does not match its restrictionPattern "
                             f"{argument.pattern.pattern!r}")
        if argument.valid and not any(_inside(r, len(value)) for r in argument.valid):
            raise ValueError(f"argument {argument.name!r}: {value!r} has {len(value)} characters, outside its size "
                             f"range {' or '.join(map(repr, argument.valid))}")
        return
    if argument.valid_calibrated:
        checked = value
    else:
        checked = world.encoder.one(argument.name, True)(value, _no_lookup)
    if isinstance(checked, (bool, np.bool_)) or not isinstance(checked, (int, float, np.integer, np.floating)):
        return  # refused as a value of its type when encoded
    if not any(_inside(r, checked) for r in argument.valid):
        ranges = " or ".join(map(repr, argument.valid))
        raise ValueError(f"argument {argument.name!r}: {value!r} is outside its valid range {ranges}"
                         + ("" if argument.valid_calibrated else f" (raw value {checked!r})"))


def _check_members(name: str, ptype: ParameterType, value: Any) -> None:
    """An aggregate's value: a mapping naming only its members."""
    if not isinstance(value, Mapping):
        raise ValueError(f"{name}: {value!r} is not a mapping of its members' values")
    members = dict(ptype.members)
    unknown = [k for k in value if k not in members]
    if unknown:
        raise ValueError(f"{name}: no member {unknown[0]!r} (its members: {', '.join(members)})")


def _flatten(name: str, ptype: ParameterType, value: Any, out: dict[str, Any]) -> None:
    """A structure's value as the values of its fields, named as `leaves` names them."""
    if ptype.kind == "aggregate":
        _check_members(name, ptype, value)
        for member, mtype in ptype.members:
            if member not in value:
                raise ValueError(f"{name}: no value for its member {member!r}")
            _flatten(f"{name}.{member}", mtype, value[member], out)
        return
    if ptype.kind == "array":
        shape = tuple(int(b) - int(a) + 1 for a, b in ptype.dimensions)
        assert ptype.element is not None
        if ptype.element.kind == "aggregate" or ptype.element.structured:
            items = _nested(value, len(shape))
        else:
            array = np.asarray(value, dtype=object)
            if array.shape != shape:
                raise ValueError(f"{name}: an array of shape {array.shape}, its type's is {shape}")
            items = array.reshape(-1).tolist()
        if len(items) != math.prod(shape):
            raise ValueError(f"{name}: {len(items)} elements, its type has {math.prod(shape)}")
        for i, item in enumerate(items):
            _flatten(f"{name}[{i}]", ptype.element, item, out)
        return
    out[name] = value


def _nested(value: Any, depth: int) -> list[Any]:
    items = [value]
    for _ in range(depth):
        items = [x for item in items for x in list(item)]
    return items


def build_commands(main: Loader, definition: Definition) -> Commands | None:
    """The meta commands of the CommandMetaData the loader kept; None if there is none."""
    if not main.command_nodes:
        return None
    loader = _CommandLoader(main)
    loader.telemetry = definition
    loader.collect_commands()
    loader.build_argument_types()
    loader.build_parameters()
    commands = loader.build_commands()
    worlds: dict[str, _World] = {}
    qualified_of = {c.name: q for q, c in loader.built.items()}
    for qualified, command in list(loader.built.items()):
        if command.abstract or command.container is None:
            continue
        try:
            worlds[command.name] = _world(loader, definition, qualified, command, qualified_of)
        except Refusal as problem:
            loader.refused("<MetaCommand>s that make no packet", problem)
            del commands[command.name]
    for qualified, problem in loader.unusable.items():  # argument types that cannot be read (never when strict)
        node = loader.declared[TYPE][qualified][0]
        loader.tolerate(node, f"<{node.tag}>s that cannot be read: " + problem.message.replace(EARLIER, "?"))
    aliases = {q: loader.key(COMMAND, q) for q in loader.built}
    blocks = loader.build_blocks(commands, worlds)
    return Commands(commands, worlds, aliases, blocks)
