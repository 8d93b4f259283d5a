"""Reading an XTCE document into the model.

Every element and attribute is either understood or refused with an XtceError naming it:
descriptive elements (descriptions, aliases, units, ancillary data, the header) are read past,
anything else that would change how packets decode must be handled here.
"""
from __future__ import annotations

import math
from typing import Literal

from ._crc import ErrorCheck, error_check
from ._errors import XtceError
from ._model import (OPERATORS, AllOf, AnyOf, BinaryEncoding, Calibrator, Comparison, Container,
                     ContextCalibrator, Criterion, DynamicSize, Encoding, Entry, FloatEncoding,
                     IntegerEncoding, Kind, Location, Parameter, ParameterType, Polynomial, Spline,
                     StringEncoding)
from ._xml import EARLIER, XSI, Element, fail, text

# Elements that describe without changing how anything decodes; read past with their contents.
DESCRIPTIVE = frozenset({"LongDescription", "AliasSet", "AncillaryDataSet", "UnitSet", "Header"})
NAMED = ("name", "shortDescription")

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
XSI_PREFIX = "{" + XSI + "}"
PARAMETER_ATTRIBUTES = frozenset((*NAMED, "parameterTypeRef", "initialValue"))


_SETS: dict[tuple[str, ...], frozenset[str]] = {}


def _names(names: tuple[str, ...]) -> frozenset[str]:
    found = _SETS.get(names)
    if found is None:
        found = _SETS[names] = frozenset(names)
    return found


def check_attributes(node: Element, attributes: tuple[str, ...]) -> None:
    attrib = node.attrib
    if attrib and not attrib.keys() <= _names(attributes):
        allowed = _names(attributes)
        for key in attrib:
            if key not in allowed and not key.startswith(XSI_PREFIX):
                raise fail(node, f"attribute {key!r} is not supported")


def check(node: Element, attributes: tuple[str, ...] = (), children: tuple[str, ...] = ()) -> list[Element]:
    """Refuse attributes and child elements not listed; return the children that are."""
    check_attributes(node, attributes)
    if not len(node):
        return []
    wanted = _names(children)
    kept = []
    for child in node:
        if child.tag in wanted:
            kept.append(child)
        elif child.tag not in DESCRIPTIVE:
            raise fail(child, f"element not supported inside <{node.tag}>")
    return kept


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
    try:
        value = int(text) if kind is int else _int_or_float(text)
    except ValueError:
        raise fail(node, f"{what} {text!r} is not a{'n integer' if kind is int else ' number'}") from None
    if isinstance(value, float) and not math.isfinite(value):
        raise fail(node, f"{what} {text!r} is not finite")
    return value


def _int_or_float(text: str) -> int | float:
    try:
        return int(text)
    except ValueError:
        return float(text)


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
    return int(bits)


def ref_name(text: str) -> str:
    """References may be paths through nested space systems; names are unique across them."""
    return text.rstrip("/").rpartition("/")[2] if "/" in text else text


class Loader:
    def __init__(self) -> None:
        self.types: dict[str, tuple[Element, ParameterType]] = {}
        self.parameters: dict[str, Parameter] = {}
        self.parameter_nodes: dict[str, Element] = {}
        self.containers: dict[str, Container] = {}
        self.comparisons: list[tuple[Element, Comparison]] = []
        self.dynamic_refs: list[tuple[Element, DynamicSize]] = []
        self.container_nodes: dict[str, Element] = {}

    # -- space systems --------------------------------------------------------------------------

    def space_system(self, node: Element) -> None:
        if node.tag != "SpaceSystem":
            raise fail(node, "the document's root element must be <SpaceSystem>")
        for child in check(node, ("name", "shortDescription", "operationalStatus"),
                           ("TelemetryMetaData", "SpaceSystem")):
            if child.tag == "SpaceSystem":
                self.space_system(child)
            else:
                self.telemetry(child)

    def telemetry(self, node: Element) -> None:
        sets = check(node, (), ("ParameterTypeSet", "ParameterSet", "ContainerSet"))
        order = {"ParameterTypeSet": 0, "ParameterSet": 1, "ContainerSet": 2}
        for child in sorted(sets, key=lambda c: order[c.tag]):
            if child.tag == "ParameterTypeSet":
                for t in check(child, (), tuple(TYPE_TAGS)):
                    self.parameter_type(t)
            elif child.tag == "ParameterSet":
                for p in check(child, (), ("Parameter",)):
                    self.parameter(p)
            else:
                for c in check(child, (), ("SequenceContainer",)):
                    self.container(c)

    # -- parameter types ------------------------------------------------------------------------

    def parameter_type(self, node: Element) -> None:
        name = required(node, "name")
        if name in self.types:
            raise fail(node, f"a second parameter type named {name!r} (first at line {EARLIER})", self.types[name][0])
        kind: Kind = TYPE_TAGS[node.tag]
        common = (*NAMED, "initialValue")
        encoding_tags = ("IntegerDataEncoding", "FloatDataEncoding")
        enumeration: tuple[tuple[int, int, str], ...] = ()
        scale, offset, units = 1.0, 0.0, ""
        if kind == "integer":
            kids = check(node, (*common, "signed", "sizeInBits"), encoding_tags)
        elif kind == "float":
            kids = check(node, (*common, "sizeInBits"), encoding_tags)
        elif kind == "enumerated":
            kids = check(node, common, ("IntegerDataEncoding", "EnumerationList"))
            enumeration = self.enumeration(only(node, ("EnumerationList",)))  # type: ignore[arg-type]
        elif kind == "boolean":
            kids = check(node, (*common, "oneStringValue", "zeroStringValue"), ("IntegerDataEncoding",))
        elif kind == "string":
            kids = check(node, (*common, "characterWidth"), ("StringDataEncoding",))
        elif kind == "binary":
            kids = check(node, common, ("BinaryDataEncoding",))
        else:
            kids = check(node, common, ("Encoding", "ReferenceTime"))
            wrapper = only(node, ("Encoding",))
            assert wrapper is not None
            check(wrapper, ("units", "scale", "offset"), encoding_tags)
            scale = float(number(wrapper, wrapper.attrib.get("scale", "1"), "scale"))
            offset = float(number(wrapper, wrapper.attrib.get("offset", "0"), "offset"))
            units = wrapper.attrib.get("units", "seconds")
            if (ref := only(node, ("ReferenceTime",), required=False)) is not None:
                self.reference_time(ref)
            kids = [c for c in wrapper if c.tag in encoding_tags]
        enc_nodes = [c for c in kids if c.tag.endswith("DataEncoding")]
        if len(enc_nodes) != 1:
            where = enc_nodes[1] if enc_nodes else node
            raise fail(where, "needs exactly one data encoding" if enc_nodes else "has no data encoding")
        encoding = self.encoding(enc_nodes[0])
        if not units:  # the type's UnitSet: shown beside the name on plots, never used in decoding
            units = " ".join(u.text.strip() for unit_set in node if unit_set.tag == "UnitSet"
                             for u in unit_set if u.tag == "Unit" and u.text and u.text.strip())
        self.types[name] = (node, ParameterType(name, kind, encoding, enumeration, scale, offset, units,
                                                node.attrib.get("initialValue")))

    def reference_time(self, node: Element) -> None:
        kids = check(node, (), ("Epoch", "OffsetFrom"))
        if len(kids) != 1:
            raise fail(node, "needs one <Epoch> or <OffsetFrom>")
        check(kids[0], ("parameterRef", "instance", "useCalibratedValue", "relativeTo"), ())

    def enumeration(self, node: Element) -> tuple[tuple[int, int, str], ...]:
        entries = []
        for e in check(node, (), ("Enumeration",)):
            check(e, ("value", "maxValue", "label", "shortDescription"), ())
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
        if node.tag == "IntegerDataEncoding":
            check(node, ("encoding", "sizeInBits", "changeThreshold", *orders),
                  ("DefaultCalibrator", "ContextCalibratorList", "ErrorDetectCorrect"))
            form = node.attrib.get("encoding", "unsigned")
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
            check(node, ("encoding", "sizeInBits", "changeThreshold", *orders),
                  ("DefaultCalibrator", "ContextCalibratorList"))
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
            check(node, orders, ("SizeInBits", "ErrorDetectCorrect"))
            if reverse or byte_order != "big":
                raise fail(node, "byte or bit order other than the default is not supported for binary data")
            size = only(node, ("SizeInBits",))
            assert size is not None
            value = only(size, ("FixedValue", "DynamicValue", "DiscreteLookupList"))
            assert value is not None
            check(size, (), ("FixedValue", "DynamicValue"))
            if value.tag == "FixedValue":
                check(value)
                return BinaryEncoding(bits=positive_size(value, text(value).strip(), "FixedValue"),
                                      check=self.error_check(node))
            if only(node, ("ErrorDetectCorrect",), required=False) is not None:
                raise fail(node, "a check value in binary data of dynamic size is not supported")
            return BinaryEncoding(dynamic=self.dynamic_value(value))
        raise fail(node, "not a data encoding")

    @staticmethod
    def error_check(node: Element) -> ErrorCheck | None:
        found = only(node, ("ErrorDetectCorrect",), required=False)
        return error_check(found) if found is not None else None

    def string_encoding(self, node: Element, byte_order: str, reverse: bool) -> StringEncoding:
        check(node, ("encoding", "byteOrder", "bitOrder"), ("SizeInBits", "Variable"))
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
            kids = check(size, (), ("Fixed", "TerminationChar", "LeadingSize"))
            fixed = only(size, ("Fixed",))
            assert fixed is not None
            check(fixed, (), ("FixedValue",))
            value = only(fixed, ("FixedValue",))
            assert value is not None
            check(value)
            bits = positive_size(value, text(value).strip(), "FixedValue")
            if bits % 8:
                raise fail(value, f"a string field of {bits} bits: not whole bytes")
        else:
            kids = check(size, ("maxSizeInBits",), ("DynamicValue", "TerminationChar", "LeadingSize"))
            max_bits = positive_size(size, required(size, "maxSizeInBits"), "maxSizeInBits")
            if (dyn := only(size, ("DynamicValue",), required=False)) is not None:
                dynamic = self.dynamic_value(dyn)
        for kid in kids:
            if kid.tag == "TerminationChar":
                check(kid)
                try:
                    terminator = bytes.fromhex(text(kid).strip() or "00")
                except ValueError:
                    raise fail(kid, f"TerminationChar {text(kid).strip()!r} is not hexadecimal") from None
                if len(terminator) != unit:
                    raise fail(kid, f"TerminationChar of {len(terminator)} bytes for {charset} "
                                   f"(code units of {unit} bytes)")
            elif kid.tag == "LeadingSize":
                check(kid, ("sizeInBitsOfSizeTag",))
                leading = positive_size(kid, kid.attrib.get("sizeInBitsOfSizeTag", "16"), "sizeInBitsOfSizeTag")
                if leading > 64:
                    raise fail(kid, f"a size tag of {leading} bits: at most 64")
        if terminator is not None and leading is not None:
            raise fail(size, "both a termination character and a leading size")
        if size.tag == "Variable" and dynamic is None and terminator is None and leading is None:
            raise fail(size, "needs a DynamicValue, a TerminationChar or a LeadingSize")
        return StringEncoding(charset, reader, codec, unit, bits, terminator, leading, dynamic, max_bits)

    def dynamic_value(self, node: Element) -> DynamicSize:
        check(node, (), ("ParameterInstanceRef", "LinearAdjustment"))
        ref = only(node, ("ParameterInstanceRef",))
        assert ref is not None
        name, calibrated = self.instance_ref(ref)
        slope: int | float = 1
        intercept: int | float = 0
        if (adj := only(node, ("LinearAdjustment",), required=False)) is not None:
            check(adj, ("slope", "intercept"))
            slope = number(adj, adj.attrib.get("slope", "1"), "slope")
            intercept = number(adj, adj.attrib.get("intercept", "0"), "intercept")
        size = DynamicSize(name, calibrated, slope, intercept)
        self.dynamic_refs.append((node, size))
        return size

    def instance_ref(self, node: Element) -> tuple[str, bool]:
        check(node, ("parameterRef", "instance", "useCalibratedValue"))
        if node.attrib.get("instance", "0") != "0":
            raise fail(node, "instance other than 0 is not supported")
        return ref_name(required(node, "parameterRef")), boolean(node, "useCalibratedValue", True)

    def calibrators(self, node: Element) -> tuple[Calibrator | None, tuple[ContextCalibrator, ...]]:
        default = None
        contexts = []
        for child in node:
            if child.tag == "DefaultCalibrator":
                default = self.calibrator(child)
            elif child.tag == "ContextCalibratorList":
                for context in check(child, (), ("ContextCalibrator",)):
                    check(context, (), ("ContextMatch", "Calibrator"))
                    match = only(context, ("ContextMatch",))
                    cal = only(context, ("Calibrator",))
                    assert match is not None and cal is not None
                    check(match, (), ("Comparison", "ComparisonList", "BooleanExpression"))
                    contexts.append(ContextCalibrator(self.criterion(match), self.calibrator(cal)))
        return default, tuple(contexts)

    def calibrator(self, node: Element) -> Calibrator:
        check(node, NAMED, ("PolynomialCalibrator", "SplineCalibrator"))
        inner = only(node, ("PolynomialCalibrator", "SplineCalibrator"))
        assert inner is not None
        if inner.tag == "PolynomialCalibrator":
            terms = []
            for term in check(inner, (), ("Term",)):
                check(term, ("coefficient", "exponent"))
                coefficient = float(number(term, required(term, "coefficient"), "coefficient"))
                exponent = number(term, required(term, "exponent"), "exponent")
                if exponent != int(exponent) or exponent < 0 or exponent > 64:
                    raise fail(term, f"exponent {exponent!r}: a whole number 0 to 64 is supported")
                terms.append((coefficient, int(exponent)))
            if not terms:
                raise fail(inner, "has no <Term>")
            return Polynomial(tuple(terms))
        check(inner, ("order", "extrapolate"), ("SplinePoint",))
        order = int(number(inner, inner.attrib.get("order", "0"), "order", int))
        if order not in (0, 1):
            raise fail(inner, f"spline order {order} is not supported (0 or 1)")
        points = []
        for point in inner:
            if point.tag == "SplinePoint":
                check(point, ("raw", "calibrated"))
                points.append((float(number(point, required(point, "raw"), "raw")),
                               float(number(point, required(point, "calibrated"), "calibrated"))))
        if len(points) < 2:
            raise fail(inner, "needs at least two <SplinePoint>s")
        if any(a[0] >= b[0] for a, b in zip(points, points[1:])):
            raise fail(inner, "spline points must have increasing raw values")
        return Spline(tuple(p[0] for p in points), tuple(p[1] for p in points), order,
                      boolean(inner, "extrapolate", False))

    # -- criteria -------------------------------------------------------------------------------

    def criterion(self, node: Element) -> Criterion:
        """The one criterion inside `node` (RestrictionCriteria or ContextMatch)."""
        inner = only(node, ("Comparison", "ComparisonList", "BooleanExpression"))
        assert inner is not None
        if inner.tag == "Comparison":
            return self.comparison(inner)
        if inner.tag == "ComparisonList":
            terms: list[Criterion] = [self.comparison(c) for c in check(inner, (), ("Comparison",))]
            if not terms:
                raise fail(inner, "has no <Comparison>")
            return terms[0] if len(terms) == 1 else AllOf(terms)
        check(inner, (), ("Condition", "ANDedConditions", "ORedConditions"))
        expression = only(inner, ("Condition", "ANDedConditions", "ORedConditions"))
        assert expression is not None
        return self.condition(expression)

    def comparison(self, node: Element) -> Comparison:
        check(node, ("parameterRef", "value", "comparisonOperator", "useCalibratedValue", "instance"))
        if node.attrib.get("instance", "0") != "0":
            raise fail(node, "instance other than 0 is not supported")
        op = node.attrib.get("comparisonOperator", "==")
        if op not in OPERATORS:
            raise fail(node, f"comparison operator {op!r} is not supported")
        result = Comparison(ref_name(required(node, "parameterRef")), op, required(node, "value"),
                            boolean(node, "useCalibratedValue", True))
        self.comparisons.append((node, result))
        return result

    def condition(self, node: Element) -> Criterion:
        if node.tag in ("ANDedConditions", "ORedConditions"):
            parts = [self.condition(c) for c in check(node, (), ("Condition", "ANDedConditions", "ORedConditions"))]
            if len(parts) < 2:
                raise fail(node, "needs at least two conditions")
            return AllOf(parts) if node.tag == "ANDedConditions" else AnyOf(parts)
        kids = check(node, (), ("ParameterInstanceRef", "ComparisonOperator", "Value"))
        refs = [k for k in kids if k.tag == "ParameterInstanceRef"]
        ops = [k for k in kids if k.tag == "ComparisonOperator"]
        values = [k for k in kids if k.tag == "Value"]
        if len(ops) != 1 or not 1 <= len(refs) <= 2 or len(refs) + len(values) != 2:
            raise fail(node, "needs a ParameterInstanceRef, a ComparisonOperator and a Value "
                            "or a second ParameterInstanceRef")
        op = text(ops[0]).strip()
        check(ops[0])
        if op not in OPERATORS:
            raise fail(ops[0], f"comparison operator {op!r} is not supported")
        name, calibrated = self.instance_ref(refs[0])
        if values:
            check(values[0])
            result = Comparison(name, op, text(values[0]).strip(), calibrated)
            self.comparisons.append((values[0], result))
            return result
        other = self.instance_ref(refs[1])
        result = Comparison(name, op, None, calibrated, other)
        self.comparisons.append((node, result))
        return result

    # -- parameters and containers --------------------------------------------------------------

    def parameter(self, node: Element) -> None:
        attrib = node.attrib
        if len(node) or not attrib.keys() <= PARAMETER_ATTRIBUTES:
            check(node, tuple(PARAMETER_ATTRIBUTES), ("ParameterProperties",))
            if (props := only(node, ("ParameterProperties",), required=False)) is not None:
                check(props, ("dataSource", "readOnly", "persistence"), ())
        name = attrib.get("name") or required(node, "name")
        if name in self.parameters:
            raise fail(node, f"a second parameter named {name!r} (first at line {EARLIER})", self.parameter_nodes[name])
        type_name = ref_name(attrib.get("parameterTypeRef") or required(node, "parameterTypeRef"))
        found = self.types.get(type_name)
        if found is None:
            raise fail(node, f"parameterTypeRef {type_name!r} names no parameter type")
        self.parameters[name] = Parameter(name, found[1], attrib.get("shortDescription", ""),
                                          attrib.get("initialValue"))
        self.parameter_nodes[name] = node

    def container(self, node: Element) -> None:
        check(node, (*NAMED, "abstract"), ("EntryList", "BaseContainer"))
        name = required(node, "name")
        if name in self.containers:
            raise fail(node, f"a second container named {name!r} (first at line {EARLIER})", self.container_nodes[name])
        entries = []
        entry_list = only(node, ("EntryList",), required=False)
        if entry_list is not None:
            check_attributes(entry_list, ())
        kind: Literal["parameter", "container"]
        for entry in entry_list if entry_list is not None else ():
            tag = entry.tag
            if tag == "ParameterRefEntry":
                key, kind = "parameterRef", "parameter"
            elif tag == "ContainerRefEntry":
                key, kind = "containerRef", "container"
            elif tag in DESCRIPTIVE:
                continue
            else:
                raise fail(entry, "element not supported inside <EntryList>")
            attrib = entry.attrib
            if len(attrib) == 1 and not len(entry) and key in attrib:  # the usual entry: a bare reference
                entries.append(Entry(kind, ref_name(attrib[key])))
                continue
            check(entry, (key,), ("LocationInContainerInBits",))
            location = None
            if (loc := only(entry, ("LocationInContainerInBits",), required=False)) is not None:
                check(loc, ("referenceLocation",), ("FixedValue",))
                reference = loc.attrib.get("referenceLocation", "previousEntry")
                if reference not in ("previousEntry", "containerStart"):
                    raise fail(loc, f"referenceLocation {reference!r} is not supported")
                value = only(loc, ("FixedValue", "DynamicValue", "DiscreteLookupList"))
                assert value is not None
                check(value)
                location = Location(int(number(value, text(value).strip(), "FixedValue", int)),
                                    reference == "containerStart")
            entries.append(Entry("parameter" if key == "parameterRef" else "container",
                                 ref_name(required(entry, key)), location))
        base = restriction = None
        if (base_node := only(node, ("BaseContainer",), required=False)) is not None:
            check(base_node, ("containerRef",), ("RestrictionCriteria",))
            base = ref_name(required(base_node, "containerRef"))
            if (crit := only(base_node, ("RestrictionCriteria",), required=False)) is not None:
                check(crit, (), ("Comparison", "ComparisonList", "BooleanExpression"))
                restriction = self.criterion(crit)
        self.containers[name] = Container(name, boolean(node, "abstract", False), tuple(entries), base,
                                          restriction, [], node.attrib.get("shortDescription", ""))
        self.container_nodes[name] = node

    # -- cross references -----------------------------------------------------------------------

    def resolve(self) -> None:
        nodes = self.container_nodes
        for name, container in self.containers.items():
            node = nodes[name]
            for entry in container.entries:
                table = self.parameters if entry.kind == "parameter" else self.containers
                if entry.ref not in table:
                    raise fail(node, f"entry {entry.ref!r} names no {entry.kind}")
            if container.base is not None:
                if container.base not in self.containers:
                    raise fail(node, f"BaseContainer {container.base!r} names no container")
                self.containers[container.base].children.append(name)
        links = {name: [e.ref for e in c.entries if e.kind == "container"] + ([c.base] if c.base else [])
                 for name, c in self.containers.items()}
        done: set[str] = set()
        for name in self.containers:  # inheritance and inclusion must not loop
            self._no_cycle(name, nodes, [], links, done)
        for node, comparison in self.comparisons:
            for ref, _ in comparison.parameters():
                if ref not in self.parameters:
                    raise fail(node, f"parameterRef {ref!r} names no parameter")
            if comparison.literal is not None:
                comparison.value = literal_for(node, self.parameters[comparison.parameter],
                                               comparison.calibrated, comparison.literal)
        for node, size in self.dynamic_refs:
            if size.parameter not in self.parameters:
                raise fail(node, f"parameterRef {size.parameter!r} names no parameter")
            ptype = self.parameters[size.parameter].type
            if ptype.kind not in ("integer", "float") and not (ptype.kind == "enumerated" and not size.calibrated):
                raise fail(node, f"a size from {size.parameter!r}, a {ptype.kind} parameter")

    def _no_cycle(self, name: str, nodes: dict[str, Element], path: list[str], links: dict[str, list[str]],
                  done: set[str]) -> None:
        if name in done:  # explored already, and no loop found from it
            return
        if name in path:
            raise fail(nodes[name], "container inheritance or inclusion loops: " + " -> ".join(path + [name]))
        for ref in links[name]:
            self._no_cycle(ref, nodes, path + [name], links, done)
        done.add(name)


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
        if isinstance(enc, StringEncoding):
            return text
        if isinstance(enc, BinaryEncoding):
            return bytes.fromhex(text.removeprefix("0x"))
        numeric_calibrated = calibrated and ptype.calibrated_differs
        if isinstance(enc, IntegerEncoding) and not numeric_calibrated:
            value = _int_or_float(text)
            if isinstance(value, float) and not value.is_integer():
                raise fail(node, f"{text!r} can never equal an integer parameter {parameter.name!r}")
            return int(value)
        return float(text)
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
