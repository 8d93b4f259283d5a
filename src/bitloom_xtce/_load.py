"""Reading XTCE documents into the model.

What changes where or how a bit is read is either understood or refused with an XtceError naming
the element, its name and its line. What never does is read past: documentation silently
(descriptions, aliases, units, ancillary data, the header), everything else (algorithms,
alarms, display hints, streams, elements of other namespaces...) listed on
`Definition.tolerated`, as are spellings outside the schema that generators write and that mean
one thing only. Parameter types that cannot be decoded (no data encoding, an invalid size, a
structure not read yet) are refused only when a container places a parameter of theirs; until
then they are listed too. With `strict=True` everything that would be listed is refused.
CommandMetaData is kept for _commands, which reads it once the telemetry is built.

Loading runs in phases: every space system's types, parameters and containers are first
declared under their qualified names (so that references may point anywhere in the tree, or
into another document, in any order), then types are built (with what they inherit through
baseType), then parameters, then containers, and last the cross references are checked.
"""
from __future__ import annotations

import math
import re
from fractions import Fraction
from collections import Counter
from itertools import repeat
from operator import itemgetter
from typing import Literal, cast

import numpy as np

from ._crc import ErrorCheck, error_check
from ._errors import XtceError
from ._model import (MATH_OPERATORS, OPERATORS, AllOf, AnyOf, BinaryEncoding, Calibrator, Comparison,
                     Container, ContextCalibrator, Criterion, DiscreteLookup, DynamicSize, Encoding, Entry, FloatEncoding,
                     Indirect, IntegerEncoding, Kind, Location, MathOperation, Parameter, ParameterType, Polynomial,
                     Repeat, Spline, StringEncoding)
from ._time import UNITS, TimeScale, parse_epoch
from ._validity import LEVELS, RANGE_TAGS, Alarm, AlarmLevel, Checks, Range, ValidRange
from ._xml import EARLIER, XML, XSI, Element, Refusal, fail, text

# Documentation in the schema: read past silently, with its contents, wherever it occurs.
DESCRIPTIVE = frozenset({"LongDescription", "AliasSet", "AncillaryDataSet", "UnitSet", "Header"})
# Elements that never change where or how a bit is read: read past and listed (refused when strict).
READ_PAST = {
    "ServiceSet": "services",
    "MessageSet": "messages", "StreamSet": "streams", "AlgorithmSet": "algorithms",
    "DefaultAlarm": "alarms of a kind not evaluated", "ContextAlarmList": "context alarms, not evaluated yet",
    "BinaryContextAlarmList": "context alarms, not evaluated yet", "ValidRangeSet": "a validity range",
    "ValidRange": "a validity range on a type that has none",
    "SizeRangeInCharacters": "a validity range", "ToString": "a display hint",
    "DefaultRateInStream": "an expected rate", "RateInStreamSet": "an expected rate",
    "TimeAssociation": "a time association", "SystemName": "a parameter property",
    "ValidityCondition": "a parameter property", "PhysicalAddressSet": "a parameter property",
    "ErrorDetectCorrect": "an error check description",
    "ShortDescription": "a description as an element (the schema has an attribute)",
    "NextContainer": "the container expected next in a stream",
}
# Alarm definitions read past: they need more than the value itself.
UNEVALUATED_ALARMS = {
    "CustomAlarm": "a custom alarm algorithm",
    "ChangeAlarmRanges": "alarms on changes between values, not evaluated yet",
    "AlarmMultiRanges": "alarm multi-ranges, not evaluated yet",
}
# Entries that place part of a value, the rest of it in other packets: refused.
SEGMENT_ENTRIES = {"ParameterSegmentRefEntry": "a parameter split over several packets",
                   "ContainerSegmentRefEntry": "a container split over several packets",
                   "StreamSegmentEntry": "a piece of a stream"}
CHECKED = ("ValidRange", "DefaultAlarm", "ContextAlarmList")
CONDITION_TAGS = ("WatchAlarm", "WarningAlarm", "DistressAlarm", "CriticalAlarm", "SevereAlarm")
CODE_ENCODINGS = ("IntegerDataEncoding", "FloatDataEncoding", "BinaryDataEncoding")  # of enumerations, booleans  # children of integer and float types that checks read
BOUNDS = ("minInclusive", "minExclusive", "maxInclusive", "maxExclusive")
TIME_UNITS = UNITS
STRUCTURE_TYPES = {"AggregateParameterType": "aggregate", "ArrayParameterType": "array"}
NAMED = ("name", "shortDescription")
MAX_NESTING = 100  # containers included in or inheriting from each other, and nested conditions
MAX_ENTRIES = 2_000_000  # entries of all containers, once inclusion and inheritance are expanded
MAX_BITS = 1 << 32
MAX_ELEMENTS = 1 << 24  # elements of one array whose dimensions are fixed

TYPE, PARAMETER, CONTAINER = 0, 1, 2
CATEGORIES = ("parameter type", "parameter", "container")

INTEGER_FORMS = {
    "unsigned": "unsigned", "twosComplement": "twos_complement",
    "twosCompliment": "twos_complement",  # a misspelling some mission databases use
    "onesComplement": "ones_complement", "signMagnitude": "sign_magnitude",
    "BCD": "bcd", "packedBCD": "packed_bcd",
}
FLOAT_FORMS = {  # (XTCE encoding, size) -> reader name
    **{(form, bits): f"ieee754_f{bits}" for form in ("IEEE754", "IEEE754_1985") for bits in (16, 32, 64, 128)},
    ("IEEE754_1985", 80): "ieee754_1985_f80",
    ("MILSTD_1750A", 32): "mil_std_1750a_f32", ("MILSTD_1750A", 48): "mil_std_1750a_f48",
    ("DEC", 32): "dec_f32", ("DEC", 64): "dec_f64",
    ("IBM", 32): "ibm_f32", ("IBM", 64): "ibm_f64",
    ("TI", 32): "ti_f32", ("TI", 40): "ti_f40",
}
CHARSETS = {  # XTCE name -> (reader name, Python codec, bytes per code unit)
    "US-ASCII": ("us_ascii", "ascii", 1), "ISO-8859-1": ("iso_8859_1", "latin-1", 1),
    "Windows-1252": ("windows_1252", "cp1252", 1), "UTF-8": ("utf8", "utf-8", 1),
    "UTF-16": ("utf16", "utf-16", 2), "UTF-16LE": ("utf16le", "utf-16-le", 2),
    "UTF-16BE": ("utf16be", "utf-16-be", 2), "UTF-32": ("utf32", "utf-32", 4),
    "UTF-32LE": ("utf32le", "utf-32-le", 4), "UTF-32BE": ("utf32be", "utf-32-be", 4),
}
BYTE_ORDERS = {"mostSignificantByteFirst": "big", "leastSignificantByteFirst": "little"}
BIT_ORDERS = {"mostSignificantBitFirst": False, "leastSignificantBitFirst": True}
KNOWN_NAMESPACES = ("{" + XSI + "}", "{" + XML + "}")
XINCLUDE = "{http://www.w3.org/2001/XInclude}"
PARAMETER_ATTRIBUTES = frozenset((*NAMED, "parameterTypeRef", "initialValue"))
ENCODING_TAGS = frozenset({"IntegerDataEncoding", "FloatDataEncoding", "StringDataEncoding", "BinaryDataEncoding"})
MATH_UNCLEAR = ("!", "~", "div")  # operators whose operand count the standard's own notes contradict

# Numbers as the XML schema writes them: ASCII digits, no underscores, no other scripts.
_INTEGER = re.compile(r"[+-]?[0-9]+", re.ASCII)
_DECIMAL = re.compile(r"[+-]?([0-9]+(\.[0-9]*)?|\.[0-9]+)([eE][+-]?[0-9]+)?", re.ASCII)
_NAME = re.compile(r"[^./:\[\] ]+")  # the schema's names; only strict loads hold names to it

_SETS: dict[tuple[str, ...], frozenset[str]] = {}


def _names(names: tuple[str, ...]) -> frozenset[str]:
    found = _SETS.get(names)
    if found is None:
        found = _SETS[names] = frozenset(names)
    return found


def only(node: Element, tags: tuple[str, ...], required: bool = True) -> Element | None:
    """The one child among `tags` (descriptive elements aside)."""
    if not len(node):
        found = []
    else:
        wanted = _names(tags)
        found = [c for c in node if c.tag in wanted]
    if len(found) > 1:
        raise fail(found[1], f"more than one of {', '.join(tags)} inside <{node.tag}>")
    if not found and required:
        raise fail(node, f"needs one of {', '.join(tags)}")
    return found[0] if found else None


def required(node: Element, key: str) -> str:
    try:
        return node.attrib[key]
    except KeyError:
        raise fail(node, f"attribute {key!r} is required") from None


def number(node: Element, text: str, what: str, kind: type = float) -> int | float:
    """A number written as the XML schema writes integers (or decimals and doubles)."""
    written = text.strip(" \t\r\n")
    if _INTEGER.fullmatch(written):
        if len(written) > 40:
            raise fail(node, f"{what} {written[:20]!r}... is out of range")
        return int(written)
    if kind is int or not _DECIMAL.fullmatch(written):
        raise fail(node, f"{what} {text!r} is not a{'n integer' if kind is int else ' number'}")
    value = float(written)
    if not math.isfinite(value):
        raise fail(node, f"{what} {text!r} is not finite")
    return value


def real(node: Element, text: str, what: str) -> float:
    value = number(node, text, what)
    try:
        return float(value)
    except OverflowError:
        raise fail(node, f"{what} {text!r} is out of range") from None


def boolean(node: Element, key: str, default: bool) -> bool:
    text = node.attrib.get(key)
    if text is None:
        return default
    if text.strip().lower() in ("true", "1"):
        return True
    if text.strip().lower() in ("false", "0"):
        return False
    raise fail(node, f"attribute {key}={text!r} is not a boolean")


def positive_size(node: Element, text: str, what: str) -> int:
    bits = number(node, text, what, int)
    if bits <= 0:
        raise fail(node, f"{what} must be positive, not {bits}")
    if bits > MAX_BITS:
        raise fail(node, f"{what} {bits} is too large (at most {MAX_BITS})")
    return int(bits)


class Scope:
    """A space system: its path, the one around it, and the qualified names of what it declares,
    by category (the space systems inside it are found by path: no reference cycles)."""

    __slots__ = ("path", "parent", "names")

    def __init__(self, path: str, parent: Scope | None) -> None:
        self.path = path
        self.parent = parent
        self.names: tuple[dict[str, str], dict[str, str], dict[str, str]] = ({}, {}, {})


class Loader:
    categories = CATEGORIES  # names of the categories, for messages

    def __init__(self, strict: bool = False) -> None:
        self.strict = strict
        self.command_nodes: list[tuple[Element, Scope]] = []  # CommandMetaData: see _commands
        self.top = Scope("", None)  # above every document's space system
        self.scopes: dict[str, Scope] = {"": self.top}  # by path
        # category -> qualified name -> (element, space system, name)
        self.declared: tuple[dict[str, tuple[Element, Scope, str]], ...] = ({}, {}, {})
        self.counts: tuple[dict[str, int], ...] = ({}, {}, {})  # category -> name -> how many declare it
        self.type_by_qualified: dict[str, ParameterType] = {}
        self.by_name: tuple[dict[str, str], ...] = ({}, {}, {})  # category -> name -> a qualified name it has
        self.types: dict[str, tuple[Element, ParameterType]] = {}
        self.parameters: dict[str, Parameter] = {}
        self.containers: dict[str, Container] = {}
        self.container_nodes: dict[str, Element] = {}
        self.comparisons: list[tuple[Element, Comparison]] = []
        self.numeric_refs: list[tuple[Element, str, bool, str]] = []  # (element, parameter, calibrated, use)
        self.time_refs: list[tuple[Element, str]] = []  # (OffsetFrom, the time parameter it names)
        self.unusable: dict[str, Refusal] = {}  # qualified type name -> why it cannot be decoded
        self.unusable_parameters: dict[str, str] = {}  # parameter -> its type (qualified), unusable
        self.merged: dict[str, Element] = {}  # qualified type name -> its element, with its base's merged in
        self.origin: dict[int, Element] = {}  # id of a merged element -> the element it stands for
        self.tolerated: dict[str, list] = {}  # what -> [first element, count]
        self.scope = self.top
        self.building: list[str] = []  # types being built: an aggregate builds its members' types first
        self.member_refs: dict[str, tuple[Element, str, list[str]]] = {}  # "P.a.b" -> (element, P, [a, b])
        self.alias_tables: dict[str, dict[str, str]] | None = None  # namespace -> alias -> parameter

    # -- what is read past ----------------------------------------------------------------------

    def tolerate(self, element: Element, what: str) -> None:
        if self.strict:
            raise fail(element, f"{what}: refused with strict=True")
        entry = self.tolerated.get(what)
        if entry is None:
            self.tolerated[what] = [element, 1]
        else:
            entry[1] += 1

    def check_attributes(self, node: Element, attributes: tuple[str, ...]) -> None:
        attrib = node.attrib
        if attrib and not attrib.keys() <= _names(attributes):
            allowed = _names(attributes)
            for key in attrib:
                if key in allowed or key.startswith(KNOWN_NAMESPACES):
                    continue
                if key[0] == "{":
                    self.tolerate(node, f"attributes of another namespace ({key.partition('}')[0][1:]})")
                else:
                    raise fail(node, f"attribute {key!r} is not supported")

    def check(self, node: Element, attributes: tuple[str, ...] = (), children: tuple[str, ...] = ()) -> list[Element]:
        """Refuse attributes and child elements that are not listed and that could change how
        bits are read; read past the others; return the children that are listed."""
        self.check_attributes(node, attributes)
        if not len(node):
            return []
        wanted = _names(children)
        kept = []
        for child in node:
            tag = child.tag
            if tag in wanted:
                kept.append(child)
            elif tag not in DESCRIPTIVE:
                self.read_past(child, node)
        return kept

    def read_past(self, child: Element, parent: Element) -> None:
        tag = child.tag
        why = READ_PAST.get(tag)
        if why is not None:
            self.tolerate(child, f"<{tag}>: {why}")
        elif tag.startswith(XINCLUDE):
            raise fail(child, "XInclude is not followed: load the documents together, load([main, included, ...])")
        elif tag[0] == "{":
            self.tolerate(child, f"elements of another namespace ({tag.partition('}')[0][1:]})")
        else:
            raise fail(child, f"element not supported inside <{parent.tag}>")

    # -- space systems: declarations ------------------------------------------------------------

    def collect(self, root: Element) -> None:
        """Declare what a document's space systems hold (nested ones too, in document order)."""
        if root.tag != "SpaceSystem":
            raise fail(root, "the document's root element must be <SpaceSystem>")
        todo: list[tuple[Element, Scope]] = [(root, self.top)]
        while todo:
            node, scope = todo.pop()
            tag = node.tag
            if tag == "SpaceSystem":
                path = f"{scope.path}/{self.name(node)}"
                inner = self.scopes.get(path)
                if inner is None:
                    inner = self.scopes[path] = Scope(path, scope)
                kids = self.check(node, (*NAMED, "operationalStatus"),
                                  ("TelemetryMetaData", "SpaceSystem", "CommandMetaData"))
                todo.extend((kid, inner) for kid in reversed(kids))
            elif tag == "TelemetryMetaData":
                self.telemetry(node, scope)
            else:
                self.command_metadata(node, scope)

    def command_metadata(self, node: Element, scope: Scope) -> None:
        """Commanding: kept for after the telemetry is built (its argument types, meta commands
        and command containers are not visible to telemetry)."""
        self.command_nodes.append((node, scope))

    def telemetry(self, node: Element, scope: Scope) -> None:
        for child in self.check(node, (), ("ParameterTypeSet", "ParameterSet", "ContainerSet")):
            if child.tag == "ParameterTypeSet":
                self.check_attributes(child, ())
                types = []  # every kind of type is declared; those not read are refused when placed
                for t in child:
                    if t.tag in DESCRIPTIVE:
                        continue
                    if t.tag[0] == "{" or t.tag in READ_PAST:
                        self.read_past(t, child)
                    else:
                        types.append(t)
                self.declare(TYPE, types, scope)
            elif child.tag == "ParameterSet":
                self.declare(PARAMETER, self.check(child, (), ("Parameter",)), scope)
            else:
                self.declare(CONTAINER, self.check(child, (), ("SequenceContainer",)), scope)

    def name(self, node: Element) -> str:
        name = required(node, "name")
        if not name.strip():
            raise fail(node, "an empty name")
        if "/" in name or (self.strict and not _NAME.fullmatch(name)):
            raise fail(node, f"name {name!r}: a name may not hold '/'" if "/" in name else
                       f"name {name!r} holds a character names may not (. / : [ ] or a space)")
        return name

    def declare(self, category: int, nodes: list[Element], scope: Scope) -> None:
        names, declared, path, strict = scope.names[category], self.declared[category], scope.path + "/", self.strict
        given = [node.attrib.get("name") for node in nodes]
        if not strict and None not in given and "" not in given and "/" not in "\x00".join(given) \
                and names.keys().isdisjoint(given) and len(set(given)) == len(given):
            # the usual set: every name new and plain, declared at once
            qualified = [path + name for name in given]
            names.update(zip(given, qualified))
            declared.update(zip(qualified, zip(nodes, repeat(scope), given)))
            return
        for node in nodes:
            name = node.attrib.get("name")
            if not name or strict or "/" in name:
                name = self.name(node)
            if name in names:
                raise fail(node, f"a second {self.categories[category]} named {name!r} (first at line {EARLIER})",
                           declared[names[name]][0])
            qualified = names[name] = path + name
            declared[qualified] = (node, scope, name)

    def count_names(self) -> None:
        """How many items of each category have each name, once everything is declared."""
        for category in (TYPE, PARAMETER, CONTAINER):
            declared = self.declared[category]
            counts = self.counts[category]
            if len(self.scopes) == 2:  # one space system: every name is unique
                counts.update(dict.fromkeys(map(itemgetter(2), declared.values()), 1))
            else:
                counts.update(Counter(map(itemgetter(2), declared.values())))

    def only_one(self, category: int, name: str) -> str:
        """The qualified name of the only item of a category that has a name."""
        by_name = self.by_name[category]
        if not by_name:
            by_name.update((entry[2], qualified) for qualified, entry in self.declared[category].items())
        return by_name[name]

    def key(self, category: int, qualified: str) -> str:
        """The name results use for an item: its own where no other item of its category in the
        definition has it, else its qualified name."""
        name = self.declared[category][qualified][2]
        return name if self.counts[category][name] == 1 else qualified

    def aliases(self, category: int) -> dict[str, str]:
        """Qualified name -> the name an item is listed under."""
        counts = self.counts[category]
        return {q: name if counts[name] == 1 else q for q, (_, _, name) in self.declared[category].items()}

    # -- references -----------------------------------------------------------------------------

    def find(self, category: int, ref: str, node: Element, attribute: str) -> str:
        """The qualified name a reference made in the current space system points to: a bare
        name is looked up there, then in the space systems around it; a path is absolute
        (from above the documents' space systems) or relative ('.', '..', or a child's name)."""
        scope = self.scope
        written = ref.strip()
        if "/" not in written:
            s: Scope | None = scope
            while s is not None:
                qualified = s.names[category].get(written)
                if qualified is not None:
                    return qualified
                s = s.parent
        else:
            found = self._path(category, written, scope)
            if found is not None:
                return found
        name = written.rstrip("/").rpartition("/")[2]
        count = self.counts[category].get(name, 0)
        if count == 1 and not self.strict:  # only one item has that name: what older loaders found
            self.tolerate(node, "references resolved outside their space system, by a name only one item has")
            return self.only_one(category, name)
        extra = f" reached from {scope.path or '/'}" if count else ""
        if count == 1:
            extra += f"; the only one named {name!r} is {self.only_one(category, name)}, refused with strict=True"
        elif count:
            extra += f" ({count} have that name)"
        raise fail(node, f"{attribute} {ref!r} names no {self.categories[category]}{extra}")

    def _path(self, category: int, ref: str, scope: Scope) -> str | None:
        parts = [p for p in ref.split("/") if p]
        if not parts:
            return None
        name = parts.pop()
        if ref.startswith("/"):
            starts = [self.top]
        elif parts and parts[0] in (".", ".."):
            starts = [scope]
        else:
            starts = []
            s: Scope | None = scope
            while s is not None:
                starts.append(s)
                s = s.parent
        for start in starts:
            here: Scope | None = start
            for part in parts:
                if here is None:
                    break
                here = here if part == "." else here.parent if part == ".." else \
                    self.scopes.get(f"{here.path}/{part}")
            if here is not None:
                qualified = here.names[category].get(name)
                if qualified is not None:
                    return qualified
        return None

    def parameter_ref(self, ref: str, node: Element, attribute: str = "parameterRef") -> str:
        try:
            return self.key(PARAMETER, self.find(PARAMETER, ref, node, attribute))
        except Refusal:
            member = self.member_ref(ref, node)
            if member is None:
                raise
            return member

    def member_ref(self, ref: str, node: Element) -> str | None:
        """A reference to a member of an aggregate parameter, written `P.member.inner` or
        `P/member/inner`: the name results use for it (`P.member.inner`), checked once every
        type is built. None if no parameter starts the reference."""
        written = ref.strip()
        cuts = [i for i, c in enumerate(written) if c in "./" and i > 0]
        for cut in reversed(cuts):
            head = written[:cut]
            try:
                qualified = self.find(PARAMETER, head, node, "parameterRef")
            except Refusal:
                continue
            members = [m for m in re.split(r"[./]", written[cut + 1:])]
            if not all(members):
                return None
            key = self.key(PARAMETER, qualified)
            name = ".".join([key, *members])
            self.member_refs.setdefault(name, (node, key, members))
            return name
        return None

    def container_ref(self, ref: str, node: Element, attribute: str = "containerRef") -> str:
        return self.key(CONTAINER, self.find(CONTAINER, ref, node, attribute))

    def usable(self, name: str, user: Element) -> Parameter:
        """The parameter a reference names, or the reason its type cannot be decoded."""
        parameter = self.parameters.get(name)
        if parameter is not None:
            return parameter
        reason = self.unusable_parameters.get(name)
        if reason is None:  # a member of an aggregate parameter (P/member): no parameter of its own
            raise fail(user, f"{name!r} names no parameter (a member of an aggregate is placed with its aggregate)")
        problem = self.unusable[reason]
        if problem.earlier is not None:
            raise fail(problem.element, f"{problem.message} (the type of {name!r}, which <{user.tag}> uses)",
                       problem.earlier)
        raise fail(problem.element, f"{problem.message} (the type of {name!r}, which <{user.tag}> at line "
                                    f"{EARLIER} uses)", user)

    # -- building -------------------------------------------------------------------------------

    def build(self) -> None:
        self.count_names()
        for qualified in self.declared[TYPE]:
            self.build_type(qualified)
        types, parameters, counts = self.type_by_qualified, self.parameters, self.counts[PARAMETER]
        for qualified, (node, scope, name) in self.declared[PARAMETER].items():
            attrib = node.attrib  # the usual parameter first: a name and a type in its own space system
            ref = attrib.get("parameterTypeRef")
            ptype = types.get(scope.names[TYPE].get(ref)) if ref is not None else None  # type: ignore[arg-type]
            if ptype is None or len(node) or not attrib.keys() <= PARAMETER_ATTRIBUTES:
                self.scope = scope
                self.parameter(node, qualified, name)
            else:
                key = name if counts[name] == 1 else qualified
                parameters[key] = Parameter(key, ptype, attrib.get("shortDescription", ""), qualified,
                                            attrib.get("initialValue"))
        for qualified, (node, scope, _) in self.declared[CONTAINER].items():
            self.scope = scope
            self.container(node, self.key(CONTAINER, qualified))
        self.resolve()
        for qualified, problem in self.unusable.items():  # types that no container places
            node = self.declared[TYPE][qualified][0]
            self.tolerate(node, f"<{node.tag}>s that no container places and that cannot be decoded: "
                                + problem.message.replace(EARLIER, "?"))

    def build_type(self, qualified: str) -> ParameterType | None:
        """A type, built on first use (an aggregate or array builds the types it holds first);
        None if it cannot be decoded (the reason is kept in `unusable`)."""
        if qualified in self.type_by_qualified or qualified in self.unusable:
            return self.type_by_qualified.get(qualified)
        node, scope, _ = self.declared[TYPE][qualified]
        if qualified in self.building:
            names = self.building[self.building.index(qualified):] + [qualified]
            raise fail(node, "types hold each other: " + " -> ".join(q.rpartition("/")[2] for q in names))
        if len(self.building) >= MAX_NESTING:
            raise fail(node, f"types nested more than {MAX_NESTING} deep")
        here, self.scope = self.scope, scope
        self.building.append(qualified)
        marks = len(self.comparisons), len(self.numeric_refs), len(self.time_refs)
        key = self.key(TYPE, qualified)
        try:
            ptype = self.parameter_type(self.type_node(qualified), key)
        except Refusal as problem:
            if self.strict or "hold each other" in problem.message or "nested more than" in problem.message:
                raise
            del self.comparisons[marks[0]:], self.numeric_refs[marks[1]:], self.time_refs[marks[2]:]
            self.unusable[qualified] = problem
            return None
        finally:
            self.building.pop()
            self.scope = here
        self.types[key] = (node, ptype)
        self.type_by_qualified[qualified] = ptype
        return ptype

    def held_type(self, node: Element, attribute: str) -> ParameterType:
        """The type an aggregate member or an array element has: built, or refused with the
        reason it cannot be decoded."""
        qualified = self.find(TYPE, required(node, attribute), node, attribute)
        ptype = self.build_type(qualified)
        if ptype is None:
            problem = self.unusable[qualified]
            raise fail(node, f"{attribute} {node.attrib[attribute]!r}: {problem.message.replace(EARLIER, '?')}")
        return ptype

    def structure_type(self, node: Element, name: str) -> ParameterType:
        common = (*NAMED, "initialValue", "baseType")
        if node.tag == "AggregateParameterType":
            self.check(node, common, ("MemberList",))
            members_node = only(node, ("MemberList",))
            assert members_node is not None
            members: list[tuple[str, ParameterType]] = []
            for member in self.check(members_node, (), ("Member",)):
                self.check(member, (*NAMED, "typeRef", "initialValue"))
                member_name = self.name(member)
                if "." in member_name or any(m == member_name for m, _ in members):
                    raise fail(member, f"member name {member_name!r}: " +
                               ("a member name may not hold '.'" if "." in member_name else "named twice"))
                members.append((member_name, self.held_type(member, "typeRef")))
            if not members:
                raise fail(members_node, "has no <Member>")
            return ParameterType(name, "aggregate", cast(Encoding, None), members=tuple(members))
        kids = self.check(node, (*common, "arrayTypeRef", "numberOfDimensions"), ("DimensionList",))
        element = self.held_type(node, "arrayTypeRef")
        dimensions = self.dimension_list(kids[0]) if kids else ()
        if "numberOfDimensions" in node.attrib:  # the older form: the entry gives the dimensions
            rank = int(number(node, node.attrib["numberOfDimensions"], "numberOfDimensions", int))
            if not 1 <= rank <= 32 or (dimensions and rank != len(dimensions)):
                raise fail(node, f"numberOfDimensions={rank}: " + (
                    f"its DimensionList has {len(dimensions)}" if dimensions else "1 to 32 are supported"))
        elif not dimensions:
            raise fail(node, "needs a DimensionList (or numberOfDimensions, and dimensions on its entries)")
        else:
            rank = len(dimensions)
        return ParameterType(name, "array", cast(Encoding, None), element=element, dimensions=dimensions, rank=rank)

    def dimension_list(self, node: Element) -> tuple:
        dimensions = []
        for dimension in self.check(node, (), ("Dimension",)):
            self.check(dimension, (), ("StartingIndex", "EndingIndex"))
            first, last = only(dimension, ("StartingIndex",)), only(dimension, ("EndingIndex",))
            assert first is not None and last is not None
            dimensions.append((self.count_value(first), self.count_value(last)))
        if not dimensions or len(dimensions) > 32:
            raise fail(node, f"{len(dimensions)} dimensions: 1 to 32 are supported")
        sizes = [b - a + 1 for a, b in dimensions if isinstance(a, int) and isinstance(b, int)]
        if any(size < 0 for size in sizes) or math.prod(sizes) > MAX_ELEMENTS:
            raise fail(node, f"dimensions of {' x '.join(map(str, sizes))} elements: each ends at or after "
                             f"the index before its start, at most {MAX_ELEMENTS} elements in all")
        return tuple(dimensions)

    def count_value(self, node: Element) -> int | DynamicSize | DiscreteLookup:
        """An index or count (IntegerValue): fixed, a linear function of a parameter's value, or
        the value of a lookup table."""
        self.check(node, (), ("FixedValue", "DynamicValue", "DiscreteLookupList"))
        value = only(node, ("FixedValue", "DynamicValue", "DiscreteLookupList"))
        assert value is not None
        if value.tag == "FixedValue":
            self.check(value)
            fixed = int(number(value, text(value), "FixedValue", int))
            if abs(fixed) > MAX_BITS:
                raise fail(value, f"{fixed} is out of range")
            return fixed
        if value.tag == "DiscreteLookupList":
            return self.discrete_lookup(value)
        return self.dynamic_value(value)

    def discrete_lookup(self, node: Element) -> DiscreteLookup:
        """A DiscreteLookupList: (value, criterion) in document order."""
        table = []
        for entry in self.check(node, (), ("DiscreteLookup",)):
            self.check(entry, ("value",), ("Comparison", "ComparisonList", "BooleanExpression"))
            value = int(number(entry, required(entry, "value"), "value", int))
            if abs(value) > MAX_BITS:
                raise fail(entry, f"{value} is out of range")
            table.append((value, self.criterion(entry)))
        if not table:
            raise fail(node, "has no <DiscreteLookup>")
        return DiscreteLookup(tuple(table))

    def type_node(self, qualified: str) -> Element:
        """A type's element with what it inherits through baseType merged in: an element given
        in the derived type replaces the base type's element of the same name (any data encoding
        replaces the base's data encoding), and its attributes replace the base's."""
        chain: list[tuple[str, str | None]] = []  # (type, its base type) from this type upwards
        seen: set[str] = set()
        current = qualified
        while current not in self.merged:
            if current in seen:
                names = [c for c, _ in chain]
                loop = names[names.index(current):] + [current]
                raise fail(self.declared[TYPE][qualified][0],
                           "baseType loops: " + " -> ".join(q.rpartition("/")[2] for q in loop))
            seen.add(current)
            node, scope, _ = self.declared[TYPE][current]
            base = node.attrib.get("baseType")
            if base is None:
                chain.append((current, None))
                break
            here, self.scope = self.scope, scope
            try:
                base_qualified = self.find(TYPE, base, node, "baseType")
            finally:
                self.scope = here
            chain.append((current, base_qualified))
            current = base_qualified
        for current, base_qualified in reversed(chain):
            node = self.declared[TYPE][current][0]
            if base_qualified is None:
                self.merged[current] = node
                continue
            base = self.merged[base_qualified]
            if base.tag != node.tag:
                raise fail(node, f"baseType {node.attrib['baseType']!r} is a <{base.tag}>, not a <{node.tag}>")
            merged = Element(node.tag, {**base.attrib, **node.attrib})
            del merged.attrib["baseType"]
            replaced = {child.tag for child in node}
            if replaced & ENCODING_TAGS:
                replaced |= ENCODING_TAGS
            merged.extend([child for child in base if child.tag not in replaced] + list(node))
            self.origin[id(merged)] = node
            self.merged[current] = merged
        return self.merged[qualified]

    # -- parameter types ------------------------------------------------------------------------

    def parameter_type(self, node: Element, name: str) -> ParameterType:
        kind: Kind | None = TYPE_TAGS.get(node.tag)
        if kind is None:
            if node.tag in STRUCTURE_TYPES:
                return self.structure_type(node, name)
            raise fail(node, "not a parameter type")
        common = (*NAMED, "initialValue", "baseType")
        ranged = (*common, "validRangeAppliesToCalibrated", "sizeInBits")
        encoding_tags = ("IntegerDataEncoding", "FloatDataEncoding")
        enumeration: tuple[tuple[int, int, str], ...] = ()
        scale, offset, units = 1.0, 0.0, ""
        time = None
        truth = ("True", "False")
        if kind in ("integer", "float"):  # numbers as text too
            kids = self.check(node, (*ranged, "signed"), (*encoding_tags, "StringDataEncoding", *CHECKED))
        elif kind == "enumerated":  # codes as floats, binary data or text too
            kids = self.check(node, (*common, "signed"), (*CODE_ENCODINGS, "StringDataEncoding", "EnumerationList",
                                                           "DefaultAlarm", "ContextAlarmList"))
            enumeration = self.enumeration(only(node, ("EnumerationList",)))  # type: ignore[arg-type]
        elif kind == "boolean":  # or the texts of true and false
            kids = self.check(node, (*common, "oneStringValue", "zeroStringValue"),
                              (*CODE_ENCODINGS, "StringDataEncoding"))
            truth = (node.attrib.get("oneStringValue", "True"), node.attrib.get("zeroStringValue", "False"))
        elif kind == "string":
            kids = self.check(node, (*common, "characterWidth", "restrictionPattern"), ("StringDataEncoding",))
        elif kind == "binary":
            kids = self.check(node, common, ("BinaryDataEncoding",))
        else:
            kids = self.check(node, common, ("Encoding", "ReferenceTime"))
            wrapper = only(node, ("Encoding",), required=False)
            if wrapper is None:
                raise fail(node, "has no data encoding")
            # a number, or text (an absolute time's date-time, a relative time's number), or
            # binary data read as an unsigned number
            time_tags = (*encoding_tags, "StringDataEncoding", "BinaryDataEncoding")
            self.check(wrapper, ("units", "scale", "offset"), time_tags)
            scale = real(wrapper, wrapper.attrib.get("scale", "1"), "scale")
            offset = real(wrapper, wrapper.attrib.get("offset", "0"), "offset")
            units = "UTC" if kind == "absolute_time" else "s"  # as decoded: datetime64 or timedelta64
            kids = [c for c in wrapper if c.tag in time_tags]
            dated = kind == "absolute_time" and any(c.tag == "StringDataEncoding" for c in kids)
            time = self.time_scale(node, kind, wrapper, dated)
        enc_nodes = [c for c in kids if c.tag.endswith("DataEncoding")]
        if len(enc_nodes) != 1:
            where = enc_nodes[1] if enc_nodes else node
            raise fail(where, "needs exactly one data encoding" if enc_nodes else "has no data encoding")
        encoding = self.encoding(enc_nodes[0])
        if "signed" in node.attrib:
            self.signed(node, kind, encoding)
        if not units:  # the type's UnitSet: shown beside the name on plots, never used in decoding
            units = " ".join(u.text.strip() for unit_set in node if unit_set.tag == "UnitSet"
                             for u in unit_set if u.tag == "Unit" and u.text and u.text.strip())
        checks = self.checks(node, kind, enumeration) if kind in ("integer", "float", "enumerated") else None
        if isinstance(encoding, BinaryEncoding) and kind not in ("binary", "string") and \
                (encoding.bits is None or encoding.bits > 64):
            what = {"enumerated": "an enumeration code", "boolean": "a boolean"}.get(kind, f"a{'n' * (kind[0] == 'a')} "
                                                                                   + kind.replace("_", " "))
            raise fail(enc_nodes[0], f"{what} in binary data needs a fixed size of at most 64 bits")
        return ParameterType(name, kind, encoding, enumeration, scale, offset, units, time, checks, truth,
                             initial=node.attrib.get("initialValue"))

    def signed(self, node: Element, kind: Kind, encoding: Encoding) -> None:
        """A `signed` attribute (the schema has it on integer types; generators write it on
        enumerated and float types too): it must not contradict the encoding."""
        if kind != "integer":
            self.tolerate(node, f"a signed attribute on <{node.tag}>, checked against its encoding")
        if not boolean(node, "signed", True) and isinstance(encoding, IntegerEncoding) and encoding.signed:
            raise fail(node, f"signed={node.attrib['signed']!r} contradicts its {encoding.form} encoding")

    def time_scale(self, node: Element, kind: Kind, wrapper: Element, dated: bool = False) -> TimeScale:
        """How a time type's number becomes a time: its scale, offset and units, exactly as
        written, and for an absolute time its reference (which a time written as a date-time,
        `dated`, does not need)."""
        factors = []
        for key, default in (("scale", "1"), ("offset", "0")):
            written = wrapper.attrib.get(key, default)
            real(wrapper, written, key)  # checked as the schema writes numbers
            factors.append(Fraction(written.strip(" \t\r\n")))
        units = wrapper.attrib.get("units", "seconds")
        if units not in TIME_UNITS:
            raise fail(wrapper, f"time units {units!r} are not supported ({', '.join(TIME_UNITS)}; "
                                "months and years have no fixed length)")
        unit = TIME_UNITS[units]
        scale, offset = factors[0] * unit, factors[1] * unit
        ref = only(node, ("ReferenceTime",), required=False)
        if kind == "relative_time":
            if ref is not None:
                self.tolerate(ref, "<ReferenceTime> of a relative time (a duration has none)")
            return TimeScale(scale, offset, False)
        if ref is None and dated:
            return TimeScale(scale, offset, True)
        if ref is None:
            raise fail(node, "an absolute time needs a <ReferenceTime> (an <Epoch> or <OffsetFrom>)")
        if dated:  # the text names its own instant
            return TimeScale(scale, offset, True)
        self.check(ref, (), ("Epoch", "OffsetFrom"))
        inner = only(ref, ("Epoch", "OffsetFrom"))
        assert inner is not None
        if inner.tag == "OffsetFrom":
            name, calibrated = self.instance_ref(inner)
            self.time_refs.append((inner, name))
            return TimeScale(scale, offset, True, offset_from=(name, True))
        self.check(inner)
        try:
            epoch_scale, epoch = parse_epoch(text(inner))
        except ValueError as e:
            raise fail(inner, str(e)) from None
        return TimeScale(scale, offset, True, epoch_scale, epoch, epoch_text=text(inner).strip())

    # -- validity and alarms --------------------------------------------------------------------

    def checks(self, node: Element, kind: Kind, enumeration: tuple[tuple[int, int, str], ...]) -> Checks | None:
        valid = alarm = None
        contexts = []
        if (found := only(node, ("ValidRange",), required=False)) is not None:
            self.check(found, (*BOUNDS, "validRangeAppliesToCalibrated"))
            valid = ValidRange(self.bounds(found), boolean(found, "validRangeAppliesToCalibrated", True))
        if (found := only(node, ("DefaultAlarm",), required=False)) is not None:
            alarm = self.alarm(found, kind, enumeration)
        if (found := only(node, ("ContextAlarmList",), required=False)) is not None:
            for context in self.check(found, (), ("ContextAlarm",)):
                match = only(context, ("ContextMatch",))
                assert match is not None
                self.check(match, (), ("Comparison", "ComparisonList", "BooleanExpression"))
                contexts.append((self.criterion(match), self.alarm(context, kind, enumeration, ("ContextMatch",))
                                 or Alarm()))
        return None if valid is None and alarm is None and not contexts else Checks(valid, alarm, tuple(contexts))

    def alarm(self, node: Element, kind: Kind, enumeration: tuple[tuple[int, int, str], ...],
              more: tuple[str, ...] = ()) -> Alarm | None:
        """A default or context alarm: ranges or labels, and alarm conditions."""
        if kind == "enumerated":
            return self.enumeration_alarm(node, enumeration, more)
        return self.numeric_alarm(node, more)

    def bounds(self, node: Element) -> Range:
        attrib = node.attrib
        ends: list[tuple[float | None, bool]] = []
        for side in ("min", "max"):
            inclusive, exclusive = attrib.get(side + "Inclusive"), attrib.get(side + "Exclusive")
            if inclusive is not None and exclusive is not None:
                raise fail(node, f"both {side}Inclusive and {side}Exclusive")
            written = inclusive if inclusive is not None else exclusive
            ends.append((None if written is None else real(node, written, side + ("Inclusive" if inclusive else
                                                                                  "Exclusive")), exclusive is None))
        (low, low_inclusive), (high, high_inclusive) = ends
        if low is not None and high is not None and low > high:
            raise fail(node, f"its minimum {low!r} is above its maximum {high!r}")
        return Range(low, low_inclusive, high, high_inclusive)

    def alarm_common(self, node: Element, attributes: tuple[str, ...], children: tuple[str, ...]
                     ) -> tuple[list[Element], tuple[tuple[AlarmLevel, Criterion], ...]]:
        """The children of an alarm that say how a value is judged, and its alarm conditions
        (level, criterion) in increasing severity."""
        kids = self.check(node, (*NAMED, "minViolations", "minConformance", *attributes),
                          (*children, "AlarmConditions", *UNEVALUATED_ALARMS))
        if node.attrib.get("minViolations", "1").strip() != "1":
            self.tolerate(node, "minViolations other than 1 (each value is judged on its own)")
        conditions = []
        for kid in kids:
            if kid.tag in UNEVALUATED_ALARMS:
                self.tolerate(kid, f"<{kid.tag}>: {UNEVALUATED_ALARMS[kid.tag]}")
            elif kid.tag == "AlarmConditions":
                for level in self.check(kid, (), CONDITION_TAGS):
                    self.check(level, (), ("Comparison", "ComparisonList", "BooleanExpression"))
                    conditions.append((AlarmLevel(CONDITION_TAGS.index(level.tag) + 1), self.criterion(level)))
        return [kid for kid in kids if kid.tag in children], tuple(sorted(conditions, key=itemgetter(0)))

    def numeric_alarm(self, node: Element, more: tuple[str, ...] = ()) -> Alarm | None:
        ranges = []
        statics, conditions = self.alarm_common(node, (), ("StaticAlarmRanges", *more))
        for static in statics:
            if static.tag != "StaticAlarmRanges":
                continue
            self.check(static, (*NAMED, "rangeForm", "minViolations"), RANGE_TAGS)
            form = static.attrib.get("rangeForm", "outside")
            if form not in ("outside", "inside"):
                raise fail(static, f"rangeForm {form!r} is neither 'outside' nor 'inside'")
            for kid in static:
                if kid.tag in RANGE_TAGS:
                    self.check(kid, BOUNDS)
                    ranges.append((AlarmLevel(RANGE_TAGS.index(kid.tag) + 1), self.bounds(kid), form == "inside"))
        if not ranges and not conditions:
            return None
        return Alarm(tuple(sorted(ranges, key=itemgetter(0))), conditions=conditions)

    def enumeration_alarm(self, node: Element, enumeration: tuple[tuple[int, int, str], ...],
                          more: tuple[str, ...] = ()) -> Alarm:
        default = self.alarm_level(node, node.attrib.get("defaultAlarmLevel", "normal"))
        labels = []
        known = {label for _, _, label in enumeration}
        listed, conditions = self.alarm_common(node, ("defaultAlarmLevel",), ("EnumerationAlarmList", *more))
        for found in listed:
            if found.tag != "EnumerationAlarmList":
                continue
            for kid in self.check(found, (), ("EnumerationAlarm",)):
                self.check(kid, ("alarmLevel", "enumerationLabel"))
                label = required(kid, "enumerationLabel")
                if label not in known:
                    raise fail(kid, f"{label!r} is not a label of the enumeration")
                labels.append((label, self.alarm_level(kid, required(kid, "alarmLevel"))))
        return Alarm((), tuple(labels), default, conditions)

    def alarm_level(self, node: Element, written: str) -> AlarmLevel:
        level = LEVELS.get(written.strip())
        if level is None:
            raise fail(node, f"alarm level {written!r} is not one of {', '.join(LEVELS)}")
        return level

    def enumeration(self, node: Element) -> tuple[tuple[int, int, str], ...]:
        entries = []
        for e in self.check(node, (), ("Enumeration",)):
            self.check(e, ("value", "maxValue", "label", "shortDescription"), ())
            value = int(number(e, required(e, "value"), "value", int))
            top = int(number(e, e.attrib.get("maxValue", str(value)), "maxValue", int))
            if top < value:
                raise fail(e, f"maxValue {top} is below value {value}")
            entries.append((value, top, required(e, "label")))
        return tuple(entries)

    # -- encodings ------------------------------------------------------------------------------

    def encoding(self, node: Element) -> Encoding:
        orders = ("byteOrder", "bitOrder")
        byte_order = BYTE_ORDERS.get(node.attrib.get("byteOrder", "mostSignificantByteFirst"))
        if byte_order is None:
            raise fail(node, f"byteOrder={node.attrib['byteOrder']!r} is not supported")
        reverse = BIT_ORDERS.get(node.attrib.get("bitOrder", "mostSignificantBitFirst"))
        if reverse is None:
            raise fail(node, f"bitOrder={node.attrib['bitOrder']!r} is not supported")
        if node.tag in ("IntegerDataEncoding", "FloatDataEncoding") and \
                (listed := only(node, ("ByteOrderList",), required=False)) is not None:
            byte_order = self.byte_order_list(node, listed, byte_order)
        if node.tag == "IntegerDataEncoding":
            self.check(node, ("encoding", "sizeInBits", "changeThreshold", *orders),
                       ("DefaultCalibrator", "ContextCalibratorList", "ErrorDetectCorrect", "ByteOrderList"))
            form = node.attrib.get("encoding", "unsigned")
            if form == "signed":  # what flight-software generators write for two's complement
                self.tolerate(node, 'encoding="signed" on <IntegerDataEncoding>, read as twosComplement')
                form = "twosComplement"
            if form not in INTEGER_FORMS:
                raise fail(node, f"integer encoding {form!r} is not supported")
            bits = positive_size(node, node.attrib.get("sizeInBits", "8"), "sizeInBits")
            limits = {"bcd": (8, 64, 8), "packed_bcd": (4, 64, 4), "sign_magnitude": (2, 64, 1)}
            low, high, step = limits.get(INTEGER_FORMS[form], (1, 64, 1))
            if not low <= bits <= high or bits % step:
                raise fail(node, f"{form} integers of {bits} bits are not supported "
                                f"({low} to {high} bits{f', a multiple of {step}' if step > 1 else ''})")
            default, contexts = self.calibrators(node)
            return IntegerEncoding(bits, form, INTEGER_FORMS[form], byte_order, reverse, default, contexts,
                                   self.error_check(node))
        if node.tag == "FloatDataEncoding":
            self.check(node, ("encoding", "sizeInBits", "changeThreshold", *orders),
                       ("DefaultCalibrator", "ContextCalibratorList", "ByteOrderList"))
            form = node.attrib.get("encoding", "IEEE754_1985")
            bits = positive_size(node, node.attrib.get("sizeInBits", "32"), "sizeInBits")
            reader = FLOAT_FORMS.get((form, bits))
            if reader is None:
                sizes = sorted(b for f, b in FLOAT_FORMS if f == form)
                raise fail(node, f"float encoding {form!r} of {bits} bits is not supported"
                                + (f" (sizes: {', '.join(map(str, sizes))})" if sizes else ""))
            default, contexts = self.calibrators(node)
            return FloatEncoding(bits, form, reader, byte_order, reverse, default, contexts)
        if node.tag == "StringDataEncoding":
            return self.string_encoding(node, byte_order, reverse)
        if node.tag == "BinaryDataEncoding":
            self.check(node, orders, ("SizeInBits", "ErrorDetectCorrect"))
            if reverse or byte_order != "big":
                raise fail(node, "byte or bit order other than the default is not supported for binary data")
            size = only(node, ("SizeInBits",))
            assert size is not None
            bits, dynamic = self.integer_value(size)
            if dynamic is not None and only(node, ("ErrorDetectCorrect",), required=False) is not None:
                raise fail(node, "a check value in binary data of dynamic size is not supported")
            return BinaryEncoding(bits, dynamic, self.error_check(node))
        raise fail(node, "not a data encoding")

    def byte_order_list(self, node: Element, listed: Element, written: str) -> str:
        """The byte order a ByteOrderList gives (the significance of each byte, in the order the
        bytes come): most or least significant byte first; others are refused."""
        significance = []
        for byte in self.check(listed, (), ("Byte",)):
            self.check(byte, ("byteSignificance",))
            significance.append(int(number(byte, required(byte, "byteSignificance"), "byteSignificance", int)))
        default = "16" if node.tag == "IntegerDataEncoding" else "32"
        size = int(number(node, node.attrib.get("sizeInBits", default), "sizeInBits", int))
        order = {tuple(range(size // 8 - 1, -1, -1)): "big", tuple(range(size // 8)): "little"}.get(tuple(significance))
        if size % 8 or order is None:
            raise fail(listed, f"byte significances {significance} for {size} bits: only the most or the least "
                               "significant byte first is supported")
        if "byteOrder" in node.attrib and order != written and size > 8:
            raise fail(listed, f"contradicts byteOrder={node.attrib['byteOrder']!r}")
        return order

    def integer_value(self, node: Element) -> tuple[int | None, DynamicSize | DiscreteLookup | None]:
        """A size in bits: fixed, from another parameter's value, or from a lookup table."""
        value = only(node, ("FixedValue", "DynamicValue", "DiscreteLookupList"))
        assert value is not None
        self.check(node, (), ("FixedValue", "DynamicValue", "DiscreteLookupList"))
        if value.tag == "FixedValue":
            self.check(value)
            return positive_size(value, text(value), "FixedValue"), None
        if value.tag == "DiscreteLookupList":
            return None, self.discrete_lookup(value)
        return None, self.dynamic_value(value)

    def error_check(self, node: Element) -> ErrorCheck | None:
        found = only(node, ("ErrorDetectCorrect",), required=False)
        return error_check(found, self.check) if found is not None else None

    def string_encoding(self, node: Element, byte_order: str, reverse: bool) -> StringEncoding:
        self.check(node, ("encoding", "byteOrder", "bitOrder"), ("SizeInBits", "Variable"))
        if reverse or byte_order != "big":
            raise fail(node, "byte or bit order other than the default is not supported for strings "
                            "(name the byte order in the encoding: UTF-16LE, UTF-32LE)")
        charset = node.attrib.get("encoding", "UTF-8")
        if charset not in CHARSETS:
            raise fail(node, f"string encoding {charset!r} is not supported")
        reader, codec, unit = CHARSETS[charset]
        size = only(node, ("SizeInBits", "Variable"))
        assert size is not None
        terminator = leading = dynamic = max_bits = bits = None
        if size.tag == "SizeInBits":
            kids = self.check(size, (), ("Fixed", "TerminationChar", "LeadingSize"))
            fixed = only(size, ("Fixed",), required=False)
            if fixed is None:  # older documents: a text that ends at its terminator or size tag
                if len(kids) != 1:
                    raise fail(size, "needs a <Fixed> size, a <TerminationChar> or a <LeadingSize>")
                self.tolerate(size, f"<SizeInBits> with only a <{kids[0].tag}> (an older form of <Variable>)")
            else:
                bits, dynamic = self.integer_value(fixed)
                if dynamic is not None:
                    self.tolerate(fixed, "<DynamicValue> inside <Fixed> (an older form of <Variable>)")
                elif bits % 8:
                    raise fail(fixed, f"a string field of {bits} bits: not whole bytes")
        else:
            kids = self.check(size, ("maxSizeInBits",), ("DynamicValue", "DiscreteLookupList", "TerminationChar",
                                                         "LeadingSize"))
            max_bits = positive_size(size, required(size, "maxSizeInBits"), "maxSizeInBits")
            if (dyn := only(size, ("DynamicValue", "DiscreteLookupList"), required=False)) is not None:
                dynamic = self.dynamic_value(dyn) if dyn.tag == "DynamicValue" else self.discrete_lookup(dyn)
        for kid in kids:
            if kid.tag == "TerminationChar":
                self.check(kid)
                try:
                    terminator = bytes.fromhex(text(kid).strip() or "00")
                except ValueError:
                    raise fail(kid, f"TerminationChar {text(kid).strip()!r} is not hexadecimal") from None
                if len(terminator) != unit:
                    raise fail(kid, f"TerminationChar of {len(terminator)} bytes for {charset} "
                                   f"(code units of {unit} bytes)")
            elif kid.tag == "LeadingSize":
                self.check(kid, ("sizeInBitsOfSizeTag",))
                leading = positive_size(kid, kid.attrib.get("sizeInBitsOfSizeTag", "16"), "sizeInBitsOfSizeTag")
                if leading > 64:
                    raise fail(kid, f"a size tag of {leading} bits: at most 64")
        if terminator is not None and leading is not None:
            raise fail(size, "both a termination character and a leading size")
        if size.tag == "Variable" and dynamic is None and terminator is None and leading is None:
            raise fail(size, "needs a DynamicValue, a TerminationChar or a LeadingSize")
        return StringEncoding(charset, reader, codec, unit, bits, terminator, leading, dynamic, max_bits)

    def dynamic_value(self, node: Element) -> DynamicSize:
        self.check(node, (), ("ParameterInstanceRef", "LinearAdjustment"))
        ref = only(node, ("ParameterInstanceRef",))
        assert ref is not None
        name, calibrated = self.instance_ref(ref)
        slope, intercept = self.linear_adjustment(node)
        self.numeric_refs.append((node, name, calibrated, "a size"))
        return DynamicSize(name, calibrated, slope, intercept)

    def linear_adjustment(self, node: Element) -> tuple[int | float, int | float]:
        """The (slope, intercept) of a dynamic value's LinearAdjustment: (1, 0) without one."""
        adj = only(node, ("LinearAdjustment",), required=False)
        if adj is None:
            return 1, 0
        self.check(adj, ("slope", "intercept"))
        return (number(adj, adj.attrib.get("slope", "1"), "slope"),
                number(adj, adj.attrib.get("intercept", "0"), "intercept"))

    def instance_ref(self, node: Element) -> tuple[str, bool]:
        self.check(node, ("parameterRef", "instance", "useCalibratedValue"))
        if node.attrib.get("instance", "0").strip() != "0":
            raise fail(node, "instance other than 0 is not supported")
        return self.parameter_ref(required(node, "parameterRef"), node), boolean(node, "useCalibratedValue", True)

    # -- calibrators ----------------------------------------------------------------------------

    def calibrators(self, node: Element) -> tuple[Calibrator | None, tuple[ContextCalibrator, ...]]:
        default = None
        contexts = []
        for child in node:
            if child.tag == "DefaultCalibrator":
                default = self.calibrator(child)
            elif child.tag == "ContextCalibratorList":
                for context in self.check(child, (), ("ContextCalibrator",)):
                    self.check(context, (), ("ContextMatch", "Calibrator"))
                    match = only(context, ("ContextMatch",))
                    cal = only(context, ("Calibrator",))
                    assert match is not None and cal is not None
                    self.check(match, (), ("Comparison", "ComparisonList", "BooleanExpression"))
                    contexts.append(ContextCalibrator(self.criterion(match), self.calibrator(cal)))
        return default, tuple(contexts)

    def calibrator(self, node: Element) -> Calibrator:
        tags = ("PolynomialCalibrator", "SplineCalibrator", "MathOperationCalibrator")
        self.check(node, NAMED, tags)
        inner = only(node, tags)
        assert inner is not None
        if inner.tag == "PolynomialCalibrator":
            terms = []
            for term in self.check(inner, NAMED, ("Term",)):
                self.check(term, ("coefficient", "exponent"))
                coefficient = real(term, required(term, "coefficient"), "coefficient")
                exponent = number(term, required(term, "exponent"), "exponent")
                if exponent != int(exponent) or exponent < 0 or exponent > 64:
                    raise fail(term, f"exponent {exponent!r}: a whole number 0 to 64 is supported")
                terms.append((coefficient, int(exponent)))
            if not terms:
                raise fail(inner, "has no <Term>")
            return Polynomial(tuple(terms))
        if inner.tag == "MathOperationCalibrator":
            return self.math_operation(inner)
        self.check(inner, (*NAMED, "order", "extrapolate"), ("SplinePoint",))
        order = int(number(inner, inner.attrib.get("order", "1"), "order", int))  # linear unless it says
        if order not in (0, 1):
            raise fail(inner, f"spline order {order} is not supported (0 or 1)")
        points = []
        for point in inner:
            if point.tag == "SplinePoint":
                self.check(point, ("raw", "calibrated", "order"))
                if "order" in point.attrib and int(number(point, point.attrib["order"], "order", int)) != order:
                    raise fail(point, f"an order of its own ({point.attrib['order']}, the spline's is {order}) "
                                      "is not supported")
                points.append((real(point, required(point, "raw"), "raw"),
                               real(point, required(point, "calibrated"), "calibrated")))
        if len(points) < 2:
            raise fail(inner, "needs at least two <SplinePoint>s")
        if any(a[0] >= b[0] for a, b in zip(points, points[1:])):
            raise fail(inner, "spline points must have increasing raw values")
        return Spline(tuple(p[0] for p in points), tuple(p[1] for p in points), order,
                      boolean(inner, "extrapolate", False))

    def math_operation(self, node: Element) -> MathOperation:
        steps: list[tuple[str, object]] = []
        depth = 0
        for child in self.check(node, NAMED, ("ValueOperand", "ThisParameterOperand", "ParameterInstanceRefOperand",
                                              "Operator")):
            tag = child.tag
            if tag == "Operator":
                self.check(child)
                symbol = text(child).strip()
                if symbol not in MATH_OPERATORS:
                    reason = " (what it takes from the stack is unclear)" if symbol in MATH_UNCLEAR else ""
                    raise fail(child, f"operator {symbol!r} is not supported{reason}")
                takes, leaves, _ = MATH_OPERATORS[symbol]
                if depth < takes:
                    raise fail(child, f"operator {symbol!r} needs {takes} operands, the stack holds {depth}")
                depth += leaves - takes
                steps.append(("operator", symbol))
                continue
            if tag == "ValueOperand":
                self.check(child)
                steps.append(("value", real(child, text(child), "ValueOperand")))
            elif tag == "ThisParameterOperand":
                self.check(child)
                steps.append(("this", None))
            else:
                name, calibrated = self.instance_ref(child)
                self.numeric_refs.append((child, name, calibrated, "an operand"))
                steps.append(("parameter", (name, calibrated)))
            depth += 1
        if depth != 1:
            raise fail(node, f"leaves {depth} values on the stack, not one")
        return MathOperation(tuple(steps))

    # -- criteria -------------------------------------------------------------------------------

    def criterion(self, node: Element) -> Criterion:
        """The one criterion inside `node` (RestrictionCriteria or ContextMatch)."""
        inner = only(node, ("Comparison", "ComparisonList", "BooleanExpression"))
        assert inner is not None
        if inner.tag == "Comparison":
            return self.comparison(inner)
        if inner.tag == "ComparisonList":
            terms: list[Criterion] = [self.comparison(c) for c in self.check(inner, (), ("Comparison",))]
            if not terms:
                raise fail(inner, "has no <Comparison>")
            return terms[0] if len(terms) == 1 else AllOf(terms)
        self.check(inner, (), ("Condition", "ANDedConditions", "ORedConditions"))
        expression = only(inner, ("Condition", "ANDedConditions", "ORedConditions"))
        assert expression is not None
        return self.condition(expression, 1)

    def comparison(self, node: Element) -> Comparison:
        self.check(node, ("parameterRef", "value", "comparisonOperator", "useCalibratedValue", "instance"))
        if node.attrib.get("instance", "0").strip() != "0":
            raise fail(node, "instance other than 0 is not supported")
        op = node.attrib.get("comparisonOperator", "==")
        if op not in OPERATORS:
            raise fail(node, f"comparison operator {op!r} is not supported")
        result = Comparison(self.parameter_ref(required(node, "parameterRef"), node), op, required(node, "value"),
                            boolean(node, "useCalibratedValue", True))
        self.comparisons.append((node, result))
        return result

    def condition(self, node: Element, depth: int) -> Criterion:
        if depth > MAX_NESTING:
            raise fail(node, f"conditions nested more than {MAX_NESTING} deep")
        if node.tag in ("ANDedConditions", "ORedConditions"):
            parts = [self.condition(c, depth + 1)
                     for c in self.check(node, (), ("Condition", "ANDedConditions", "ORedConditions"))]
            if len(parts) < 2:
                raise fail(node, "needs at least two conditions")
            return AllOf(parts) if node.tag == "ANDedConditions" else AnyOf(parts)
        kids = self.check(node, (), ("ParameterInstanceRef", "ComparisonOperator", "Value"))
        refs = [k for k in kids if k.tag == "ParameterInstanceRef"]
        ops = [k for k in kids if k.tag == "ComparisonOperator"]
        values = [k for k in kids if k.tag == "Value"]
        if len(ops) != 1 or not 1 <= len(refs) <= 2 or len(refs) + len(values) != 2:
            raise fail(node, "needs a ParameterInstanceRef, a ComparisonOperator and a Value "
                            "or a second ParameterInstanceRef")
        op = text(ops[0]).strip()
        self.check(ops[0])
        if op not in OPERATORS:
            raise fail(ops[0], f"comparison operator {op!r} is not supported")
        name, calibrated = self.instance_ref(refs[0])
        if values:
            self.check(values[0])
            result = Comparison(name, op, text(values[0]).strip(), calibrated)
            self.comparisons.append((values[0], result))
            return result
        other = self.instance_ref(refs[1])
        result = Comparison(name, op, None, calibrated, other)
        self.comparisons.append((node, result))
        return result

    # -- parameters and containers --------------------------------------------------------------

    def parameter(self, node: Element, qualified: str, name: str) -> None:
        attrib = node.attrib
        description = attrib.get("shortDescription", "")
        if len(node) or not attrib.keys() <= PARAMETER_ATTRIBUTES:
            for child in self.check(node, tuple(PARAMETER_ATTRIBUTES), ("ParameterProperties", "ShortDescription")):
                if child.tag == "ShortDescription":
                    self.tolerate(child, f"<ShortDescription>: {READ_PAST['ShortDescription']}")
                    description = description or text(child).strip()
                else:
                    self.check(child, ("dataSource", "readOnly", "persistence"), ())
        type_qualified = self.find(TYPE, attrib.get("parameterTypeRef") or required(node, "parameterTypeRef"), node,
                                   "parameterTypeRef")
        key = self.key(PARAMETER, qualified)
        if type_qualified in self.unusable:
            self.unusable_parameters[key] = type_qualified
            return
        self.parameters[key] = Parameter(key, self.type_by_qualified[type_qualified], description, qualified,
                                         attrib.get("initialValue"))

    def container(self, node: Element, name: str) -> None:
        self.check(node, (*NAMED, "abstract", "idlePattern"), ("EntryList", "BaseContainer", "BinaryEncoding"))
        entries = []
        entry_list = only(node, ("EntryList",), required=False)
        if entry_list is not None:
            self.check_attributes(entry_list, ())
        kind: Literal["parameter", "container"]
        parameters, names, counts = self.parameters, self.scope.names[PARAMETER], self.counts[PARAMETER]
        new_tuple = tuple.__new__  # an Entry made without the Python-level constructor: many are made
        for entry in entry_list if entry_list is not None else ():
            tag = entry.tag
            attrib = entry.attrib
            if tag == "ParameterRefEntry" and len(attrib) == 1 and not len(entry):  # the usual entry
                ref = attrib.get("parameterRef")
                qualified = names.get(ref) if ref is not None else None  # type: ignore[arg-type]
                if qualified is not None:
                    target = ref if counts[ref] == 1 else qualified  # type: ignore[index]
                    if target in parameters:
                        entries.append(new_tuple(Entry, ("parameter", target, None, None, None, (), None)))
                        continue
            if tag in ("ParameterRefEntry", "ArrayParameterRefEntry"):
                key, kind = "parameterRef", "parameter"
            elif tag == "ContainerRefEntry":
                key, kind = "containerRef", "container"
            elif tag == "IndirectParameterRefEntry":
                entries.append(self.indirect_entry(entry))
                continue
            elif tag in DESCRIPTIVE:
                continue
            else:
                if tag in SEGMENT_ENTRIES:
                    raise fail(entry, f"{SEGMENT_ENTRIES[tag]} is not supported")
                if tag in READ_PAST or tag[0] == "{":
                    self.read_past(entry, entry_list)  # type: ignore[arg-type]
                    continue
                raise fail(entry, "element not supported inside <EntryList>")
            location = repeat = condition = None
            dimensions: tuple = ()
            if len(attrib) != 1 or len(entry) or key not in attrib:  # more than a bare reference
                location, repeat, condition = self.entry_options(entry, key, ("DimensionList",))
                if (found := only(entry, ("DimensionList",), required=False)) is not None:
                    dimensions = self.dimension_list(found)
            ref = required(entry, key)
            if kind == "parameter":
                target = self.parameter_ref(ref, entry)
                if target not in parameters:
                    self.usable(target, entry)
                if dimensions or tag == "ArrayParameterRefEntry":
                    self.array_entry(entry, parameters[target], dimensions)
            else:
                target = self.container_ref(ref, entry)
            entries.append(Entry(kind, target, location, repeat, condition, dimensions))
        base = restriction = size = None
        if (base_node := only(node, ("BaseContainer",), required=False)) is not None:
            self.check(base_node, ("containerRef",), ("RestrictionCriteria",))
            base = self.container_ref(required(base_node, "containerRef"), base_node)
            if (crit := only(base_node, ("RestrictionCriteria",), required=False)) is not None:
                self.check(crit, (), ("Comparison", "ComparisonList", "BooleanExpression"))
                restriction = self.criterion(crit)
        if (encoding := only(node, ("BinaryEncoding",), required=False)) is not None:
            size = self.container_size(encoding)
        self.containers[name] = Container(name, boolean(node, "abstract", False), tuple(entries), base,
                                          restriction, [], node.attrib.get("shortDescription", ""), size)
        self.container_nodes[name] = node

    def entry_options(self, entry: Element, key: str, more: tuple[str, ...] = (),
                      attributes: tuple[str, ...] = ("aliasNameSpace",)) -> tuple:
        """An entry's location, repeat and include condition (each None when not given)."""
        self.check(entry, (key, "shortDescription", *attributes),
                   ("LocationInContainerInBits", "RepeatEntry", "IncludeCondition", *more))
        location = repeat = condition = None
        if (loc := only(entry, ("LocationInContainerInBits",), required=False)) is not None:
            location = self.location(loc)
        if (found := only(entry, ("RepeatEntry",), required=False)) is not None:
            self.check(found, (), ("Count", "Offset"))
            count = only(found, ("Count",))
            assert count is not None
            offset = only(found, ("Offset",), required=False)
            repeat = Repeat(self.count_value(count), self.count_value(offset) if offset is not None else 0)
            if isinstance(repeat.count, int) and not 0 <= repeat.count <= MAX_ELEMENTS:
                raise fail(count, f"a count of {repeat.count}: 0 to {MAX_ELEMENTS} are supported")
        if (found := only(entry, ("IncludeCondition",), required=False)) is not None:
            self.check(found, (), ("Comparison", "ComparisonList", "BooleanExpression"))
            condition = self.criterion(self.condition_form(found))
        return location, repeat, condition

    def condition_form(self, node: Element) -> Element:
        """An include condition as the criterion it is read as (commands rewrite theirs)."""
        return node

    def array_entry(self, entry: Element, parameter: Parameter, dimensions: tuple) -> None:
        ptype = parameter.type
        if ptype.kind != "array":
            raise fail(entry, f"{parameter.name!r} is a {ptype.kind} parameter, not an array")
        if dimensions and len(dimensions) != ptype.rank:
            raise fail(entry, f"{len(dimensions)} dimensions for {parameter.name!r}, whose type has {ptype.rank}")
        if not dimensions and not ptype.dimensions:
            raise fail(entry, f"the type of {parameter.name!r} gives no dimensions: the entry needs a DimensionList")

    def indirect_entry(self, entry: Element) -> Entry:
        location, repeat, condition = self.entry_options(entry, "aliasNameSpace", ("ParameterInstance",))
        instance = only(entry, ("ParameterInstance",))
        assert instance is not None
        name, calibrated = self.instance_ref(instance)
        namespace = entry.attrib.get("aliasNameSpace")
        if namespace is None:  # the value is a parameter's name (qualified, or its own where unique)
            choices = {n: listed for q, listed in self.aliases(PARAMETER).items() for n in (q, listed)}
        else:
            choices = self.alias_table(namespace)
            if not choices:
                raise fail(entry, f"no parameter has an alias in namespace {namespace!r}")
        # not the parameter naming the one read: read there, it would replace its own value
        choices = {key: chosen for key, chosen in choices.items() if chosen != name}
        return Entry("indirect", name, location, repeat, condition, (),
                     Indirect(name, calibrated, namespace, choices))

    def alias_table(self, namespace: str) -> dict[str, str]:
        """alias -> parameter, for the parameters that have an alias in a namespace."""
        if self.alias_tables is None:
            self.alias_tables = {}
            for qualified, (node, _, _) in self.declared[PARAMETER].items():
                for alias_set in node:
                    if alias_set.tag != "AliasSet":
                        continue
                    for alias in alias_set:
                        if alias.tag == "Alias" and "alias" in alias.attrib:
                            table = self.alias_tables.setdefault(alias.attrib.get("nameSpace", ""), {})
                            table.setdefault(alias.attrib["alias"].strip(), self.key(PARAMETER, qualified))
        return self.alias_tables.get(namespace, {})

    def location(self, node: Element) -> Location:
        self.check(node, ("referenceLocation",), ("FixedValue",))
        reference = node.attrib.get("referenceLocation", "previousEntry")
        if reference == "nextEntry":  # deprecated, and it places an entry by one not read yet
            raise fail(node, "referenceLocation 'nextEntry' is not supported (the schema deprecates it: place the "
                             "entry from the previous entry or the container's start or end)")
        if reference not in ("previousEntry", "containerStart", "containerEnd"):
            raise fail(node, f"referenceLocation {reference!r} is not supported")
        value = only(node, ("FixedValue", "DynamicValue", "DiscreteLookupList"))
        assert value is not None
        self.check(value)
        bits = int(number(value, text(value), "FixedValue", int))
        if abs(bits) > MAX_BITS:
            raise fail(value, f"a location of {bits} bits is out of range")
        return Location(bits, reference == "containerStart", reference == "containerEnd")

    def container_size(self, node: Element) -> int:
        """The size a container gives itself: its entries fit in it, and what follows it starts
        after it."""
        self.check(node, ("byteOrder", "bitOrder"), ("SizeInBits",))
        size = only(node, ("SizeInBits",))
        assert size is not None
        bits, dynamic = self.integer_value(size)
        if bits is None:
            raise fail(size, "a container size taken from a parameter is not supported")
        return bits

    # -- cross references -----------------------------------------------------------------------

    def resolve(self) -> None:
        containers = self.containers
        for name, container in containers.items():
            if container.base is not None:
                containers[container.base].children.append(name)
        self.check_structure()
        for name, (node, parameter, members) in self.member_refs.items():
            ptype = self.usable(parameter, node).type
            for i, member in enumerate(members):
                while ptype.kind == "array" and ptype.element is not None:  # a member of each element
                    ptype = ptype.element
                found = dict(ptype.members).get(member) if ptype.kind == "aggregate" else None
                if found is None:
                    raise fail(node, f"{'.'.join([parameter, *members[:i + 1]])!r}: {'.'.join([parameter, *members[:i]])!r} "
                                     f"is a {ptype.kind} parameter with no member {member!r}")
                ptype = found
            self.parameters[name] = Parameter(name, ptype, "", name)
        for node, comparison in self.comparisons:
            for ref, _ in comparison.parameters():
                self.usable(ref, node)
            if comparison.literal is not None:
                comparison.value = literal_for(node, self.parameters[comparison.parameter],
                                               comparison.calibrated, comparison.literal)
        for node, name, calibrated, use in self.numeric_refs:
            ptype = self.usable(name, node).type
            raw_code = ptype.kind in ("enumerated", "boolean") and not calibrated
            if ptype.kind not in ("integer", "float") and not raw_code:
                raise fail(node, f"{use} from {name!r}, a {ptype.kind} parameter")
        for node, name in self.time_refs:
            if self.usable(name, node).type.kind != "absolute_time":
                raise fail(node, f"a time offset from {name!r}, a {self.parameters[name].type.kind} parameter, "
                                 "not an absolute time")

    def check_structure(self) -> None:
        """Container inclusion and inheritance must not loop, nest deeper than MAX_NESTING, or
        expand to more than MAX_ENTRIES entries in all (a few kilobytes of containers that each
        include the one before twice would expand to billions). Walked without recursion."""
        containers, nodes = self.containers, self.container_nodes
        links = {name: [e.ref for e in c.entries if e.kind == "container"] + ([c.base] if c.base else [])
                 for name, c in containers.items()}
        depth: dict[str, int] = {}
        size: dict[str, int] = {}
        total = 0
        for start in containers:
            if start in depth:
                continue
            path = [start]
            stack = [iter(links[start])]
            on_path = {start}
            while stack:
                for ref in stack[-1]:
                    if ref in on_path:
                        loop = path[path.index(ref):] + [ref]
                        raise fail(nodes[ref], "container inheritance or inclusion loops: " + " -> ".join(loop))
                    if ref not in depth:
                        path.append(ref)
                        on_path.add(ref)
                        stack.append(iter(links[ref]))
                        break
                else:
                    stack.pop()
                    name = path.pop()
                    on_path.discard(name)
                    container = containers[name]
                    depth[name] = 1 + max((depth[r] for r in links[name]), default=0)
                    if depth[name] > MAX_NESTING:
                        raise fail(nodes[name], f"containers included or inherited more than {MAX_NESTING} deep")
                    size[name] = sum(size[e.ref] if e.kind == "container" else 1 for e in container.entries) + \
                        (size[container.base] if container.base else 0)
                    total += size[name]
                    if total > MAX_ENTRIES:
                        raise fail(nodes[name], f"expanding container inclusion and inheritance gives more than "
                                                f"{MAX_ENTRIES} entries (this container alone: {size[name]})")


def literal_for(node: Element, parameter: Parameter, calibrated: bool, text: str) -> object:
    """A comparison's literal as a value of the parameter's raw or calibrated type."""
    ptype = parameter.type
    enc = ptype.encoding
    text = text.strip()
    try:
        if calibrated and ptype.kind == "enumerated":
            if text not in {label for _, _, label in ptype.enumeration}:
                raise fail(node, f"{text!r} is not a label of {parameter.name!r}")
            return text
        if calibrated and ptype.kind == "boolean":
            lowered = text.lower()
            if lowered in ("true", "1"):
                return True
            if lowered in ("false", "0"):
                return False
            raise fail(node, f"{text!r} is not a boolean value for {parameter.name!r}")
        if calibrated and ptype.kind == "absolute_time":  # an instant, as ISO 8601 (UTC)
            try:
                return np.datetime64(text.removesuffix("Z").removesuffix("z"), "ns")
            except ValueError:
                raise fail(node, f"{text!r} is not a date-time (ISO 8601) for {parameter.name!r}") from None
        if calibrated and ptype.kind == "relative_time":  # a duration, in seconds
            seconds = real(node, text, f"value for {parameter.name!r} (seconds)")
            if not abs(seconds) < 9.2e9:
                raise fail(node, f"{text!r} seconds is out of range for {parameter.name!r}")
            return np.timedelta64(round(seconds * 1e9), "ns")
        if isinstance(enc, StringEncoding) and (ptype.kind == "string" or not calibrated):
            return text
        if isinstance(enc, BinaryEncoding) and (ptype.kind == "binary" or not calibrated):
            return bytes.fromhex(text.removeprefix("0x"))
        numeric_calibrated = calibrated and ptype.calibrated_differs
        value = number(node, text, f"value for {parameter.name!r} ({ptype.kind})")
        if isinstance(enc, IntegerEncoding) and not numeric_calibrated:
            if isinstance(value, float) and not value.is_integer():
                raise fail(node, f"{text!r} can never equal an integer parameter {parameter.name!r}")
            return int(value)
        return real(node, text, f"value for {parameter.name!r} ({ptype.kind})")
    except ValueError as e:
        if isinstance(e, XtceError):
            raise
        raise fail(node, f"value {text!r} does not parse for {parameter.name!r} ({ptype.kind})") from None


TYPE_TAGS: dict[str, Kind] = {
    "IntegerParameterType": "integer", "FloatParameterType": "float",
    "EnumeratedParameterType": "enumerated", "BooleanParameterType": "boolean",
    "StringParameterType": "string", "BinaryParameterType": "binary",
    "AbsoluteTimeParameterType": "absolute_time", "RelativeTimeParameterType": "relative_time",
}
