"""decode and decode_file agree packet by packet: definitions generated as XTCE documents
(inheritance, every encoding, numbers and times written as text, calibrators, enumerations,
dynamic sizes and lookup tables, locations, restriction criteria, include conditions: see CONDITIONS) and packets (random and mutated), compared value for value. A packet that decode
refuses must be skipped by decode_file under the reason decode's PacketError gives, and no other.

BITLOOM_AGREEMENT_EXAMPLES=5000 runs a longer search than the default of make test."""
import math
import os
import struct
import warnings
from xml.sax.saxutils import quoteattr

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings, strategies as st

import bitloom_xtce
from bitloom_xtce import PacketError, XtceError

NS = 'xmlns:xtce="http://www.omg.org/spec/XTCE/20180204"'
INTEGER_FORMS = {"unsigned": (1, 1), "twosComplement": (1, 1), "onesComplement": (1, 1),
                 "signMagnitude": (2, 1), "BCD": (8, 8), "packedBCD": (4, 4)}  # lowest size, step
FLOAT_FORMS = [("IEEE754", 16), ("IEEE754_1985", 32), ("IEEE754", 64), ("IEEE754", 128), ("IEEE754_1985", 80),
               ("MILSTD_1750A", 32), ("MILSTD_1750A", 48), ("DEC", 32), ("DEC", 64), ("IBM", 32), ("IBM", 64),
               ("TI", 32), ("TI", 40)]
CHARSETS = {"US-ASCII": 1, "ISO-8859-1": 1, "Windows-1252": 1, "UTF-8": 1, "UTF-16": 2, "UTF-16LE": 2,
            "UTF-16BE": 2, "UTF-32": 4, "UTF-32LE": 4, "UTF-32BE": 4}
OPERATORS = ["==", "!=", "&lt;", "&lt;=", "&gt;", "&gt;="]
BIG = [2**63 - 1, 2**63, 2**64 - 1, 2**64 + 3, -(2**63), -(2**63) - 1]
FLOATS = st.floats(allow_nan=False, allow_infinity=False, width=64) | st.sampled_from([0.0, -0.0, 1.0, 0.5, 1e300])
HEADER = ("H", "S", "L")  # the primary header: a selector, a sequence count, the length field
# Include conditions on entries, read by restrictions, sizes and calibrators too; without them:
# BITLOOM_AGREEMENT_CONDITIONS=0.
CONDITIONS = os.environ.get("BITLOOM_AGREEMENT_CONDITIONS", "1") != "0"


def tag(name, attributes="", inner=""):
    return f"<xtce:{name}{attributes}>{inner}</xtce:{name}>" if inner else f"<xtce:{name}{attributes}/>"


class Builder:
    """Draws one definition: a type per parameter, the parameters each container lists, and what
    restrictions and dynamic sizes may refer to (parameters decoded before them)."""

    def __init__(self, draw):
        self.draw = draw
        self.types, self.parameters, self.containers = [], [], []
        self.kinds = {n: ("integer", True, []) for n in HEADER}  # parameter -> (kind, a number, labels)
        self.count = 0

    def integer_encoding(self, calibrated=True):
        draw = self.draw
        form = draw(st.sampled_from(list(INTEGER_FORMS)))
        low, step = INTEGER_FORMS[form]
        bits = draw(st.sampled_from([low, 8, 16, 64]) | st.integers(low // step, 64 // step).map(lambda n: n * step))
        bits = max(low, bits - bits % step)
        return tag("IntegerDataEncoding", f' encoding="{form}" sizeInBits="{bits}"{self.orders()}',
                   self.calibrators() if calibrated else "")

    def float_encoding(self):
        form, bits = self.draw(st.sampled_from(FLOAT_FORMS))
        return tag("FloatDataEncoding", f' encoding="{form}" sizeInBits="{bits}"{self.orders()}', self.calibrators())

    def orders(self):
        little = self.draw(st.booleans())
        reverse = self.draw(st.integers(0, 3)) == 0
        return (' byteOrder="leastSignificantByteFirst"' if little else "") + \
            (' bitOrder="leastSignificantBitFirst"' if reverse else "")

    def calibrator(self):
        draw = self.draw
        if draw(st.booleans()):  # a polynomial, constant ones included
            terms = draw(st.lists(st.tuples(FLOATS, st.integers(0, 3)), min_size=1, max_size=3))
            return tag("PolynomialCalibrator", "", "".join(
                tag("Term", f' coefficient="{c!r}" exponent="{e}"') for c, e in terms))
        raws = sorted(set(draw(st.lists(st.integers(-300, 300) | FLOATS.filter(lambda f: abs(f) < 1e30),
                                        min_size=2, max_size=4))))
        assume(len(raws) >= 2)
        points = "".join(tag("SplinePoint", f' raw="{r!r}" calibrated="{draw(FLOATS)!r}"') for r in raws)
        return tag("SplineCalibrator", f' order="{draw(st.integers(0, 1))}" extrapolate="{draw(st.booleans())}"'.lower(),
                   points)

    def calibrators(self):
        draw = self.draw
        inner = ""
        if draw(st.booleans()):
            inner += tag("DefaultCalibrator", "", self.calibrator())
        if draw(st.integers(0, 4)) == 0:
            match = tag("ContextMatch", "", self.criterion(["S"]))
            inner += tag("ContextCalibratorList", "", tag("ContextCalibrator", "", match + tag("Calibrator", "", self.calibrator())))
        return inner

    def dynamic(self, known):
        """A DynamicValue on a number decoded before, or None when there is none."""
        sizes = [p for p in known if self.kinds[p][1]]
        if not sizes:
            return None
        if self.draw(st.integers(0, 3)) == 0:  # a lookup table: the first entry whose test holds
            return tag("DiscreteLookupList", "", "".join(
                tag("DiscreteLookup", f' value="{self.draw(st.sampled_from([0, 8, 16, 24, 7, -8]))}"',
                    self.criterion(known)) for _ in range(self.draw(st.integers(1, 3)))))
        ref = self.draw(st.sampled_from(sizes))
        calibrated = self.kinds[ref][0] != "enumerated" and self.draw(st.booleans())
        number = st.sampled_from([0, 1, 8, 16, -8]) | st.sampled_from(BIG) | st.sampled_from([0.5, 8.0, 1e20, -1.5])
        slope, intercept = self.draw(number), self.draw(number)
        return tag("DynamicValue", "", tag("ParameterInstanceRef", f' parameterRef="{ref}" useCalibratedValue='
                                              f'"{str(calibrated).lower()}"')
                   + tag("LinearAdjustment", f' slope="{slope!r}" intercept="{intercept!r}"'))

    def string_type(self, name, known):
        draw = self.draw
        charset = draw(st.sampled_from(list(CHARSETS)))
        unit = CHARSETS[charset]
        end = draw(st.sampled_from(["", "term", "lead"]))
        inner = tag("TerminationChar", "", ("00" if draw(st.booleans()) else "2e") * unit) if end == "term" else \
            tag("LeadingSize", f' sizeInBitsOfSizeTag="{draw(st.sampled_from([8, 16, 5]))}"') if end == "lead" else ""
        dynamic = self.dynamic(known) if draw(st.booleans()) else None
        if dynamic is None and (end == "" or draw(st.booleans())):
            bits = 8 * unit * draw(st.integers(1, 4)) if draw(st.integers(0, 5)) else 8 * draw(st.integers(1, 6))
            size = tag("SizeInBits", "", tag("Fixed", "", tag("FixedValue", "", str(bits))) + inner)
        else:
            size = tag("Variable", f' maxSizeInBits="{draw(st.sampled_from([16, 64, 400]))}"', (dynamic or "") + inner)
        return tag("StringParameterType", f' name="{name}"', tag("StringDataEncoding", f' encoding="{charset}"', size))

    def parameter(self, known):
        """A new parameter of a new type; its name."""
        draw = self.draw
        name = f"p{self.count}"
        self.count += 1
        t = f"T{name}"
        kind = draw(st.sampled_from(["integer", "float", "float_int", "enumerated", "boolean", "string", "binary",
                                     "absolute_time", "relative_time", "text_number"]))
        labels = []
        if kind == "integer":
            xml = tag("IntegerParameterType", f' name="{t}"', self.integer_encoding())
        elif kind in ("float", "float_int"):
            encoding = self.float_encoding() if kind == "float" else self.integer_encoding()
            xml = tag("FloatParameterType", f' name="{t}"', encoding)
        elif kind == "enumerated":
            values = st.integers(-3, 20) | st.sampled_from(BIG)
            entries = []
            for k in range(draw(st.integers(1, 4))):
                value = draw(values)
                top = value + draw(st.sampled_from([0, 0, 1, 5, 255, 2**64]))
                entries.append(tag("Enumeration", f' value="{value}" maxValue="{top}" label="L{k}"'))
                labels.append(f"L{k}")
            xml = tag("EnumeratedParameterType", f' name="{t}"', self.integer_encoding(False)
                      + tag("EnumerationList", "", "".join(entries)))
        elif kind == "boolean":
            xml = tag("BooleanParameterType", f' name="{t}"', self.integer_encoding(False))
        elif kind == "string":
            xml = self.string_type(t, known)
        elif kind == "text_number":  # an integer, a float or a date-time written as text
            element = draw(st.sampled_from(["IntegerParameterType", "FloatParameterType", "AbsoluteTimeParameterType"]))
            ending = tag("TerminationChar", "", "00") if draw(st.booleans()) else ""
            text = tag("StringDataEncoding", ' encoding="US-ASCII"', tag("SizeInBits", "", tag("Fixed", "", tag(
                "FixedValue", "", str(8 * draw(st.integers(1, 4))))) + ending))
            xml = tag(element, f' name="{t}"', tag("Encoding", "", text) if "Time" in element else text)
            kind = {"I": "integer", "F": "float", "A": "absolute_time"}[element[0]]
        elif kind == "binary":
            dynamic = self.dynamic(known) if draw(st.booleans()) else None
            size = dynamic or tag("FixedValue", "", str(draw(st.integers(1, 40))))
            xml = tag("BinaryParameterType", f' name="{t}"', tag("BinaryDataEncoding", "", tag("SizeInBits", "", size)))
        else:
            element = "AbsoluteTimeParameterType" if kind == "absolute_time" else "RelativeTimeParameterType"
            encoding = self.integer_encoding(False) if draw(st.booleans()) else self.float_encoding()
            reference = tag("ReferenceTime", "", tag("Epoch", "", draw(st.sampled_from(["TAI", "UNIX", "GPS"])))) \
                if kind == "absolute_time" else ""
            xml = tag(element, f' name="{t}"', tag("Encoding", f' scale="{draw(FLOATS)!r}" offset="{draw(FLOATS)!r}"',
                                                   encoding) + reference)
        self.types.append(xml)
        self.parameters.append(tag("Parameter", f' name="{name}" parameterTypeRef="{t}"'))
        numeric = kind in ("integer", "float", "float_int", "enumerated") and "StringDataEncoding" not in xml
        self.kinds[name] = (kind, numeric, labels)
        return name

    def entries(self, known, count):
        """`count` entries of new parameters (or one listed again), some placed by a location."""
        draw = self.draw
        out = []
        for _ in range(count):
            before = list(known)
            new = not known or draw(st.integers(0, 5))
            name = self.parameter(known) if new else draw(st.sampled_from(known))
            location = ""
            if draw(st.integers(0, 3)) == 0:
                reference = draw(st.sampled_from(["containerStart", "previousEntry", "containerEnd"]))
                bits = draw(st.integers(0, 64) if reference != "previousEntry" else
                            st.integers(-24, 24) | st.sampled_from([-90, -130]))
                location = tag("LocationInContainerInBits", f' referenceLocation="{reference}"',
                               tag("FixedValue", "", str(bits)))
            condition = ""
            if CONDITIONS and new and before and draw(st.integers(0, 4)) == 0:  # included where a test holds
                condition = tag("IncludeCondition", "", self.criterion(before))
            out.append(tag("ParameterRefEntry", f' parameterRef="{name}"', location + condition))
            known.append(name)
        return "".join(out)

    def criterion(self, known):
        """A restriction on parameters in `known`."""
        draw = self.draw
        terms = [self.comparison(known) for _ in range(draw(st.integers(1, 3)))]
        numbers = [n for n in known if self.kinds.get(n, ("", True))[1]]
        if len(numbers) > 1 and draw(st.integers(0, 3)) == 0:  # two parameters compared
            first, second = draw(st.sampled_from(numbers)), draw(st.sampled_from(numbers))
            raw = ' useCalibratedValue="false"'
            terms.append((None, tag("ParameterInstanceRef", f' parameterRef="{first}"{raw}')
                          + tag("ComparisonOperator", "", draw(st.sampled_from(OPERATORS)))
                          + tag("ParameterInstanceRef", f' parameterRef="{second}"{raw}')))
        if len(terms) == 1:
            return tag("Comparison", terms[0][0])
        if draw(st.booleans()) and terms[-1][0] is not None:
            return tag("ComparisonList", "", "".join(tag("Comparison", t[0]) for t in terms))
        conditions = "".join(tag("Condition", "", t[1]) for t in terms)
        return tag("BooleanExpression", "", tag(draw(st.sampled_from(["ANDedConditions", "ORedConditions"])), "",
                                                conditions))

    def comparison(self, known):
        """(attributes of a Comparison, the inside of a Condition) for one test."""
        draw = self.draw
        name = draw(st.sampled_from(known))
        kind, numeric, labels = self.kinds.get(name, ("integer", True, []))
        calibrated = draw(st.booleans())
        op = draw(st.sampled_from(OPERATORS))
        if kind == "enumerated" and calibrated:
            value = draw(st.sampled_from(labels))
        elif kind == "boolean" and calibrated:
            value, op = draw(st.sampled_from(["true", "false"])), draw(st.sampled_from(OPERATORS[:2]))
        elif kind in ("string",):
            value, op = draw(st.sampled_from(["", "a", "A1"])), draw(st.sampled_from(OPERATORS[:2]))
        elif kind == "binary":
            value, op = draw(st.sampled_from(["00", "ff01"])), draw(st.sampled_from(OPERATORS[:2]))
        elif kind == "absolute_time" and calibrated:
            value = draw(st.sampled_from(["1958-01-01T00:00:00", "1970-01-01T00:00:10.5", "2017-01-01T00:00:00Z"]))
        elif draw(st.integers(0, 5)):
            value = str(draw(st.integers(-2, 5) | st.sampled_from(BIG)))
        else:  # a fraction: refused for a number that is an integer (see the test)
            value = repr(draw(FLOATS))
        use = f' useCalibratedValue="{str(calibrated).lower()}"'
        return (f' parameterRef="{name}" comparisonOperator="{op}" value={quoteattr(value)}{use}',
                tag("ParameterInstanceRef", f' parameterRef="{name}"{use}') + tag("ComparisonOperator", "", op)
                + tag("Value", "", value))

    def container(self, name, known, base=None, abstract=False, sub=None):
        draw = self.draw
        inner = self.entries(known, draw(st.integers(0, 3)))
        if sub is not None and draw(st.integers(0, 2)) == 0:
            inner += tag("ContainerRefEntry", f' containerRef="{sub[0]}"')
            known.extend(sub[1])
        body = tag("EntryList", "", inner)
        if base is not None:
            body += tag("BaseContainer", f' containerRef="{base[0]}"',
                        tag("RestrictionCriteria", "", self.criterion(base[1])))
        self.containers.append(tag("SequenceContainer", f' name="{name}"' + (' abstract="true"' if abstract else ""),
                                   body))

    def document(self):
        draw = self.draw
        header = [tag("Parameter", f' name="{n}" parameterTypeRef="U16"') for n in HEADER]
        self.parameters.extend(header)
        sub = None
        if draw(st.booleans()):  # a container included by reference, with its own parameters
            sub_known: list[str] = []
            sub_entries = self.entries(sub_known, draw(st.integers(1, 2)))
            self.containers.append(tag("SequenceContainer", ' name="Sub"', tag("EntryList", "", sub_entries)))
            sub = ("Sub", sub_known)
        root_known = list(HEADER)
        head = "".join(tag("ParameterRefEntry", f' parameterRef="{n}"') for n in HEADER)
        body = self.entries(root_known, draw(st.integers(0, 2)))
        self.containers.append(tag("SequenceContainer", ' name="R"' + (' abstract="true"' if draw(st.booleans()) else ""),
                                   tag("EntryList", "", head + body)))
        children = []
        for k in range(draw(st.integers(1, 3))):
            known = list(root_known)
            self.container(f"C{k}", known, ("R", ["H"] if draw(st.booleans()) else root_known),
                           draw(st.integers(0, 3)) == 0, sub)
            children.append((f"C{k}", known))
        for k in range(draw(st.integers(0, 2))):
            parent, known = draw(st.sampled_from(children))
            self.container(f"G{k}", list(known), (parent, known), False, sub)
        u16 = tag("IntegerParameterType", ' name="U16"', tag("IntegerDataEncoding", ' sizeInBits="16"'))
        return (f'<?xml version="1.0"?>\n<xtce:SpaceSystem name="T" {NS}><xtce:TelemetryMetaData>'
                + tag("ParameterTypeSet", "", u16 + "".join(self.types))
                + tag("ParameterSet", "", "".join(self.parameters))
                + tag("ContainerSet", "", "".join(self.containers))
                + "</xtce:TelemetryMetaData></xtce:SpaceSystem>")


BYTES = st.integers(1, 100).flatmap(lambda n: st.binary(min_size=n, max_size=n) | st.lists(
    st.sampled_from([0, 1, 2, 3, 8, 0x2E, 0x31, 0x41, 0x7F, 0x80, 0xC3, 0xFF]), min_size=n, max_size=n).map(bytes))


def packets(draw):
    """Space packets: a selector of 0 to 3 mostly, and a body random or mutated from an earlier one."""
    out = []
    for _ in range(draw(st.integers(1, 10))):
        if out and draw(st.booleans()):
            body = bytearray(draw(st.sampled_from(out))[6:])
            at = draw(st.integers(0, len(body) - 1))
            body[at] = draw(st.integers(0, 255))
            body = bytes(body[:draw(st.integers(1, len(body)))]) if draw(st.booleans()) else bytes(body)
        else:
            body = draw(BYTES)
        selector = draw(st.integers(0, 3) | st.integers(0, 0xFFFF))
        out.append(struct.pack(">HHH", selector, draw(st.integers(0, 0xFFFF)), len(body) - 1) + body)
    return out


def same(a, b):
    """Equal values of equal types; floats bit for bit, any NaN equal to any NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or struct.pack(">d", a) == struct.pack(">d", b)
    if isinstance(a, (np.datetime64, np.timedelta64)):
        return bool(np.isnat(a) and np.isnat(b) or a == b)
    return a == b


def check_agreement(definition, data_packets, raw):
    expected = []
    for packet in data_packets:
        try:
            expected.append(definition.decode_with_container(packet, raw))
        except PacketError as e:
            assert e.reason is not None, f"PacketError without a reason: {e}"
            expected.append(e)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", bitloom_xtce.DecodeWarning)
        # decode gives what it decoded of a packet that matches no concrete container, naming
        # the deepest container reached: decode_file does the same with unmatched="keep", and
        # by default skips exactly those packets.
        tables = definition.decode_file(b"".join(data_packets), raw=raw, unmatched="keep")
        plain = definition.decode_file(b"".join(data_packets), raw=raw)
    unmatched = {i for i, one in enumerate(expected)
                 if not isinstance(one, PacketError) and definition.containers[one[0]].abstract}
    assert {int(i) for reason, record in plain.skipped.items() if reason.startswith("matching no concrete")
            for i in record.indices} == unmatched
    assert tables.packets == len(data_packets)
    skipped = {int(i): reason for reason, record in tables.skipped.items() for i in record.indices}
    assert sum(count for count, _ in tables.skipped.values()) == len(skipped)
    rows: dict[str, int] = {}
    for i, one in enumerate(expected):
        if isinstance(one, PacketError):
            assert skipped.get(i) == one.reason, f"packet {i}: decode raised {one}"
            continue
        assert i not in skipped, f"packet {i}: decode_file skipped it {skipped[i]!r}, decode gave {one}"
        container, values = one
        row = rows.get(container, 0)
        rows[container] = row + 1
        columns = tables[container]
        assert [name for name in columns if name in values] == list(values)
        for name in columns:  # an entry whose include condition failed: no value
            if name not in values:
                assert np.ma.is_masked(columns[name][row]), f"packet {i} ({container}): {name} has a value"
        for name, value in values.items():
            got = columns[name][row]
            got = got.tolist() if isinstance(got, np.generic) and not isinstance(got, (np.datetime64, np.timedelta64)) \
                else got
            assert same(got, value), f"packet {i} ({container}), {name}: decode {value!r}, decode_file {got!r}"
    assert {name: len(next(iter(columns.values()), [])) for name, columns in tables.items()} == rows


@settings(max_examples=int(os.environ.get("BITLOOM_AGREEMENT_EXAMPLES", "80")), derandomize=True, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much])
@given(st.data())
def test_decode_and_decode_file_agree(data):
    text = Builder(data.draw).document()
    try:
        definition = bitloom_xtce.load(text.encode())
    except XtceError as e:  # places before the packet's start, a fraction for an integer, a duration
        # beyond the 64-bit nanosecond range
        assume(not any(m in str(e) for m in ("before the packet", "can never equal", "seconds is out of range",
                                             "needs an entry of a fixed size")))
        raise
    data_packets = packets(data.draw)
    for raw in (False, True):
        check_agreement(definition, data_packets, raw)


# -- the cases named when decode and decode_file disagreed, and packets that do not decode ----------

from test_xtce import BINARY, ENUM, STRING, TERM, ccsds_definition, ccsds_packet, child, cmp, integer  # noqa: E402

U8_PARAMS = '<xtce:Parameter name="n" parameterTypeRef="U8"/><xtce:Parameter name="w" parameterTypeRef="U8"/>'
SIZED = '<xtce:DynamicValue><xtce:ParameterInstanceRef parameterRef="n"/><xtce:LinearAdjustment slope="{}" ' \
        'intercept="{}"/></xtce:DynamicValue>'
ENTRIES = '<xtce:ParameterRefEntry parameterRef="n"/><xtce:ParameterRefEntry parameterRef="v"/>' \
          '<xtce:ParameterRefEntry parameterRef="w">{}</xtce:ParameterRefEntry>'
BEFORE = '<xtce:LocationInContainerInBits><xtce:FixedValue>-120</xtce:FixedValue></xtce:LocationInContainerInBits>'


def calibrated(calibrator, encoding="IntegerDataEncoding", size=8):
    return integer("Float", f'<xtce:{encoding} sizeInBits="{size}"><xtce:DefaultCalibrator>{calibrator}'
                            f'</xtce:DefaultCalibrator></xtce:{encoding}>')


def enumeration(entries, bits=8):
    return (f'<xtce:EnumeratedParameterType name="T"><xtce:IntegerDataEncoding sizeInBits="{bits}"/>'
            '<xtce:EnumerationList>' + "".join(f'<xtce:Enumeration value="{v}" maxValue="{hi}" label="{label}"/>'
                                                for v, hi, label in entries)
            + '</xtce:EnumerationList></xtce:EnumeratedParameterType>')


@pytest.mark.parametrize("type_xml, entries, payloads, expected", [
    # A constant polynomial: a column of that constant.
    (calibrated('<xtce:PolynomialCalibrator><xtce:Term coefficient="2.5" exponent="0"/></xtce:PolynomialCalibrator>'),
     None, [b"\x01", b"\x02"], [2.5, 2.5]),
    # Overlapping enumeration ranges: the first entry in document order holds the value.
    (enumeration([(0, 255, "ANY"), (5, 5, "FIVE")]), None, [b"\x05", b"\x06"], ["ANY", "ANY"]),
    (enumeration([(5, 5, "FIVE"), (0, 255, "ANY")]), None, [b"\x05", b"\x06"], ["FIVE", "ANY"]),
    # Enumeration values at and above 2**63, on a 64-bit unsigned field.
    (enumeration([(2**63, 2**63, "TOP"), (2**64, 2**65, "NEVER"), (0, 2**64 - 1, "REST")], 64), None,
     [b"\x80" + bytes(7), bytes(8)], ["TOP", "REST"]),
    # An order-0 spline: NaN for NaN, as order 1 gives.
    (calibrated('<xtce:SplineCalibrator order="0"><xtce:SplinePoint raw="0" calibrated="1"/><xtce:SplinePoint raw="1" '
                'calibrated="2"/></xtce:SplineCalibrator>', "FloatDataEncoding", 32),
     None, [b"\x7f\xc0\x00\x00", b"\x3f\x80\x00\x00"], [math.nan, 2.0]),
    # Dynamic sizes past 64 bits (slope or intercept at or above 2**63): too large, not wrapped.
    (BINARY.format(SIZED.format(2**62, 0)), "", [b"\x04\x01", b"\x00\x01"], [None, b""]),
    (BINARY.format(SIZED.format(2**63, 0)), "", [b"\x00\x01", b"\x02\x01"], [b"", None]),
    (BINARY.format(SIZED.format(8, 2**63)), "", [b"\x00\x01"], [None]),
    (BINARY.format(SIZED.format(8.0, 2**64)), "", [b"\x00\x01"], [None]),
    # A negative location after a variable-size field, in the first packet too: before the packet.
    (STRING.format(charset="US-ASCII", size='<xtce:Variable maxSizeInBits="80">' + TERM.format("00")
                   + '</xtce:Variable>'), BEFORE, [b"\x00a\x00\x01", b"\x00" + b"a" * 8 + b"\x00\x05"],
     [None, "a" * 8]),
])
def test_cases_where_the_paths_disagreed(type_xml, entries, payloads, expected):
    children = None if entries is None else child("P1", cmp("==", 1), ENTRIES.format(entries))
    definition = ccsds_definition(type_xml, children, U8_PARAMS if entries is not None else "")
    packets = [ccsds_packet(1, p) for p in payloads]
    for raw in (False, True):
        check_agreement(definition, packets, raw)
    got = []
    for packet in packets:
        try:
            got.append(definition.decode(packet)["v"])
        except PacketError:
            got.append(None)
    assert all(same(g, e) if e is not None else g is None for g, e in zip(got, expected)), got


FAILING = {  # type, a good field, a bad one, decode's message
    "US-ASCII": (STRING.format(charset="US-ASCII", size='<xtce:SizeInBits><xtce:Fixed><xtce:FixedValue>16'
                               '</xtce:FixedValue></xtce:Fixed></xtce:SizeInBits>'), b"ok", b"o\xff",
                 r"'v': Invalid US-ASCII byte: 0xFF \(must be <= 0x7F\)$"),
    "packed BCD": (integer("Integer", '<xtce:IntegerDataEncoding encoding="packedBCD" sizeInBits="8"/>'), b"\x12",
                   b"\x1a", r"'v': Invalid BCD digit: 10 \(must be 0-9\)$"),
    "DEC": (integer("Float", '<xtce:FloatDataEncoding encoding="DEC" sizeInBits="32"/>'), b"\x40\x80\x00\x00",
            b"\x80\x00\x00\x00", r"'v': DEC f32 pattern 0x80000000 denotes no value$"),
    "terminated UTF-8": (STRING.format(charset="UTF-8", size='<xtce:SizeInBits><xtce:Fixed><xtce:FixedValue>24'
                                       '</xtce:FixedValue></xtce:Fixed>' + TERM.format("00") + '</xtce:SizeInBits>'),
                         b"a\x00\x00", b"\xc3\x00\x00", r"'v': UTF-8 text b'\\xc3': "),
}


@pytest.mark.parametrize("name", list(FAILING))
def test_a_packet_that_does_not_decode_costs_only_itself(name):
    type_xml, good, bad, message = FAILING[name]
    definition = ccsds_definition(type_xml)
    packets = [ccsds_packet(1, p) for p in (good, bad, good, bad, bad)]
    with pytest.raises(PacketError, match="^container 'P1': " + message) as refused:
        definition.decode(packets[1])
    reason = refused.value.reason
    assert reason == "with a bad 'v' field in container 'P1'"
    with pytest.warns(bitloom_xtce.DecodeWarning, match=f"3 of 5 packets not decoded: 3 {reason} "
                                                        f"\\(first at byte {len(packets[0])}\\)"):
        tables = definition.decode_file(b"".join(packets))
    count, first = tables.skipped[reason]
    assert (count, first) == (3, len(packets[0])) and tables.skipped[reason].indices.tolist() == [1, 3, 4]
    assert tables.skipped[reason].offsets.tolist() == [len(packets[0]) * k for k in (1, 3, 4)]
    assert same(tables["P1"]["v"].tolist(), [definition.decode(packets[0])["v"]] * 2)


def test_many_bad_packets_at_any_bit_shift():
    # v (packed BCD) follows a binary field of n bits, so each packet reads it at its own shift;
    # the reader's failures are found again packet after packet, however many there are.
    types = integer("Integer", '<xtce:IntegerDataEncoding encoding="packedBCD" sizeInBits="8"/>') \
        + BINARY.format(SIZED.format(1, 0)).replace('name="T"', 'name="B"')
    entries = "".join(f'<xtce:ParameterRefEntry parameterRef="{n}"/>' for n in "nbv")
    definition = ccsds_definition(types, child("P1", cmp("==", 1), entries),
                                  '<xtce:Parameter name="n" parameterTypeRef="U8"/><xtce:Parameter name="b" parameterTypeRef="B"/>')
    rng = np.random.default_rng(7)
    shifts = rng.integers(0, 8, 3000)
    bad = rng.random(3000) < 0.3
    packets = []
    for shift, wrong in zip(shifts.tolist(), bad.tolist()):
        digits = 0x1A if wrong else 0x42
        packets.append(ccsds_packet(1, bytes([shift]) + (digits << (8 - shift)).to_bytes(2, "big")))
    with pytest.warns(bitloom_xtce.DecodeWarning):
        tables = definition.decode_file(b"".join(packets))
    assert tables.skipped["with a bad 'v' field in container 'P1'"].indices.tolist() == np.flatnonzero(bad).tolist()
    assert tables["P1"]["v"].tolist() == [42] * int((~bad).sum())


@pytest.mark.parametrize("op, value, picks", [("&gt;", 2**53 + 1, "C"), ("==", 2**53, "C"), ("==", 2**53 + 1, "P")])
def test_an_integer_and_a_float_compare_exactly(op, value, picks):
    # numpy compares a uint64 column with a float64 one after rounding the integers to binary64.
    types = integer("Integer", '<xtce:IntegerDataEncoding sizeInBits="64"/>') + integer("Float", '<xtce:FloatDataEncoding sizeInBits="64"/>').replace('"T"', '"F"')
    condition = ('<xtce:BooleanExpression><xtce:Condition><xtce:ParameterInstanceRef parameterRef="a"/>'
                 f'<xtce:ComparisonOperator>{op}</xtce:ComparisonOperator>'
                 '<xtce:ParameterInstanceRef parameterRef="b"/></xtce:Condition></xtce:BooleanExpression>')
    entries = '<xtce:ParameterRefEntry parameterRef="a"/><xtce:ParameterRefEntry parameterRef="b"/>'
    definition = ccsds_definition(types, child("P", cmp("==", 1), entries) + child("C", condition, "", "P"),
                                  '<xtce:Parameter name="a" parameterTypeRef="T"/><xtce:Parameter name="b" parameterTypeRef="F"/>')
    packets = [ccsds_packet(1, struct.pack(">Qd", value, float(2**53)))]
    assert definition.decode_with_container(packets[0])[0] == picks
    for raw in (False, True):
        check_agreement(definition, packets, raw)
