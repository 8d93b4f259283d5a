"""What a loaded definition is made of: encodings, calibrators, parameter types, parameters,
restriction criteria and containers.

Calibrators, enumerations and criteria work on a single value and on a numpy column alike: the
arithmetic is written once, with the same operations in the same order, so the one-packet path
and the column path give the same bits.
"""
from __future__ import annotations

import bisect
import heapq
import math
import operator
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any, Literal, NamedTuple, TypeAlias

import numpy as np

from ._crc import ErrorCheck
from ._errors import PacketError
from ._text import TEXT_KINDS, binary_integer, parse_numbers, text_boolean
from ._time import TimeScale
from ._validity import Checks

Value: TypeAlias = Any  # int, float, str, bytes, bool or a numpy column of them
Lookup: TypeAlias = Callable[[str, bool], Value]  # (parameter name, calibrated) -> value

# ---------------------------------------------------------------------------------------------
# Encodings


@dataclass(frozen=True, slots=True)
class DynamicSize:
    """A size taken from another parameter's value: `slope * value + intercept` bits."""

    parameter: str
    calibrated: bool
    slope: int | float
    intercept: int | float

    def bits(self, value: Value) -> Value:
        """The size for a value or a column of them. Integers stay exact whatever their size
        (a column goes to Python integers when int64 would overflow); otherwise the arithmetic
        is binary64, the same operations on one value and on a column."""
        slope, intercept = self.slope, self.intercept
        exact = isinstance(slope, int) and isinstance(intercept, int)
        if not isinstance(value, np.ndarray):
            if exact and isinstance(value, int):
                return slope * value + intercept
            return _float(slope) * float(value) + _float(intercept)
        if not (exact and value.dtype.kind in "iu"):
            return value.astype(np.float64) * _float(slope) + _float(intercept)
        if value.dtype.itemsize <= 4 and -(1 << 31) < slope < 1 << 31 and -(1 << 62) < intercept < 1 << 62:
            return value.astype(np.int64) * slope + intercept  # within int64 whatever the values
        if len(value):
            ends = (int(value.min()), int(value.max()))
            products = [slope * v for v in ends]
            every = (slope, intercept, *ends, *products, *(p + intercept for p in products))
            if all(_INT64[0] <= v <= _INT64[1] for v in every):
                return value.astype(np.int64) * slope + intercept
        return value.astype(object) * slope + intercept

    def parameters(self) -> list[tuple[str, bool]]:
        return [(self.parameter, self.calibrated)]

    def value(self, get: Lookup) -> Value:
        """One packet's value (a KeyError if the parameter has none)."""
        given = get(self.parameter, self.calibrated)
        return self.bits(given.item() if isinstance(given, np.generic) else given)

    def __repr__(self) -> str:
        kind = "calibrated" if self.calibrated else "raw"
        return f"{self.slope} * {self.parameter} ({kind}) + {self.intercept} bits"


@dataclass(frozen=True, slots=True)
class DiscreteLookup:
    """A count, index or size from a table: the value of the first entry, in document order,
    whose criterion holds on the packet's values."""

    table: tuple[tuple[int, Criterion], ...]

    def parameters(self) -> list[tuple[str, bool]]:
        return [p for _, criterion in self.table for p in criterion.parameters()]

    def value(self, get: Lookup) -> int:
        """One packet's value; a PacketError where no criterion holds."""
        for value, criterion in self.table:
            holds = criterion.evaluate(get)
            if isinstance(holds, np.ndarray) and holds.size != 1:
                raise PacketError(f"a lookup table's criterion {criterion!r} tests {holds.size} values, not one")
            if holds:
                return value
        raise PacketError(f"no criterion of the lookup table {self!r} holds")

    def column(self, get: Lookup, rows: int) -> np.ndarray:
        """The values of a column of packets: int64, masked where no criterion holds."""
        out = np.zeros(rows, dtype=np.int64)
        missing = np.ones(rows, dtype=bool)
        for value, criterion in self.table:
            hit = np.broadcast_to(np.asarray(criterion.evaluate(get), dtype=bool), (rows,)) & missing
            out[hit] = value
            missing &= ~hit
        return np.ma.masked_array(out, missing) if missing.any() else out

    def __repr__(self) -> str:
        return "DiscreteLookup(" + ", ".join(f"{v} if {c!r}" for v, c in self.table) + ")"


@dataclass(frozen=True, slots=True)
class IntegerEncoding:
    bits: int
    form: str  # the XTCE name: unsigned, twosComplement, signMagnitude, onesComplement, BCD, packedBCD
    reader: str  # the unpack_parameters encoding name
    byte_order: str = "big"
    reverse_bits: bool = False
    calibrator: Calibrator | None = None
    context_calibrators: tuple[ContextCalibrator, ...] = ()
    check: ErrorCheck | None = None  # the field holds a CRC, checksum or parity of the packet

    @property
    def signed(self) -> bool:
        return self.form not in ("unsigned", "BCD", "packedBCD")

    def __repr__(self) -> str:
        return f"IntegerEncoding({self.form}, {self.bits} bits{_order(self)})"


@dataclass(frozen=True, slots=True)
class FloatEncoding:
    bits: int
    form: str  # IEEE754_1985, IEEE754, MILSTD_1750A, DEC, IBM, TI
    reader: str
    byte_order: str = "big"
    reverse_bits: bool = False
    calibrator: Calibrator | None = None
    context_calibrators: tuple[ContextCalibrator, ...] = ()

    def __repr__(self) -> str:
        return f"FloatEncoding({self.form}, {self.bits} bits{_order(self)})"


@dataclass(frozen=True, slots=True)
class StringEncoding:
    """Text in one of the character encodings. Its field is `bits` wide or sized per packet by
    another parameter (`dynamic`); inside the field the text may end at a termination character
    or be counted by a leading size tag (in bytes). Without either size the field itself ends
    at the termination character or after the counted bytes."""

    charset: str  # the XTCE name, e.g. "UTF-8"
    reader: str
    codec: str  # Python's codec for the same characters
    unit: int  # bytes per code unit: the termination character is searched on unit boundaries
    bits: int | None = None
    terminator: bytes | None = None
    leading_bits: int | None = None
    dynamic: DynamicSize | DiscreteLookup | None = None
    max_bits: int | None = None
    byte_order: str = "big"

    @property
    def fixed(self) -> bool:
        return self.bits is not None

    @property
    def plain(self) -> bool:
        """A fixed-size field whose bytes are the whole text: the packet reader decodes it."""
        return self.bits is not None and self.terminator is None and self.leading_bits is None

    def __repr__(self) -> str:
        if self.bits is not None:
            size = f"{self.bits} bits"
            if self.terminator is not None:
                size += f", ends at 0x{self.terminator.hex()}"
            if self.leading_bits is not None:
                size += f", {self.leading_bits}-bit size tag"
        elif self.terminator is not None:
            size = f"ends at 0x{self.terminator.hex()}"
        elif self.leading_bits is not None:
            size = f"{self.leading_bits}-bit size tag"
        else:
            size = repr(self.dynamic)
        return f"StringEncoding({self.charset}, {size})"


@dataclass(frozen=True, slots=True)
class BinaryEncoding:
    bits: int | None = None
    dynamic: DynamicSize | DiscreteLookup | None = None
    check: ErrorCheck | None = None

    @property
    def fixed(self) -> bool:
        return self.bits is not None

    def __repr__(self) -> str:
        return f"BinaryEncoding({self.bits} bits)" if self.bits is not None else \
            f"BinaryEncoding({self.dynamic!r})"


Encoding: TypeAlias = IntegerEncoding | FloatEncoding | StringEncoding | BinaryEncoding


def _order(encoding: IntegerEncoding | FloatEncoding) -> str:
    text = ", little-endian" if encoding.byte_order == "little" else ""
    return text + (", bits reversed" if encoding.reverse_bits else "")


def is_fixed(encoding: Encoding) -> bool:
    return not isinstance(encoding, (StringEncoding, BinaryEncoding)) or encoding.fixed


# ---------------------------------------------------------------------------------------------
# Calibrators


def _as_float(x: Value) -> Value:
    return x.astype(np.float64) if isinstance(x, np.ndarray) else float(x)


def _nonzero(x: np.ndarray) -> np.ndarray:
    return x != 0


def _float(number: int | float) -> float:
    """A number as binary64; an integer beyond its range is infinite."""
    try:
        return float(number)
    except OverflowError:
        return float("inf") if number > 0 else float("-inf")


_INT64 = (-(1 << 63), (1 << 63) - 1)


@dataclass(frozen=True, slots=True)
class Polynomial:
    """sum(coefficient * x**exponent), terms in document order, powers by repeated products."""

    terms: tuple[tuple[float, int], ...]

    def __call__(self, x: Value, get: Lookup | None = None) -> Value:
        x = _as_float(x)
        total: Value = 0.0
        for coefficient, exponent in self.terms:
            power: Value = 1.0
            for _ in range(exponent):
                power = power * x
            total = total + coefficient * power
        if isinstance(x, np.ndarray) and not isinstance(total, np.ndarray):  # constant terms only
            total = np.full(x.shape, total)
        return total

    def __repr__(self) -> str:
        return "Polynomial(" + " + ".join(f"{c!r}*x^{e}" for c, e in self.terms) + ")"


@dataclass(frozen=True, slots=True)
class Spline:
    """Piecewise: order 0 takes the value of the point at or below x, order 1 interpolates
    linearly. Outside the points: the end value or end segment if `extrapolate`, else NaN. NaN
    gives NaN."""

    raw: tuple[float, ...]
    calibrated: tuple[float, ...]
    order: int
    extrapolate: bool

    def __call__(self, x: Value, get: Lookup | None = None) -> Value:
        xs, ys = self.raw, self.calibrated
        if isinstance(x, np.ndarray):
            x = x.astype(np.float64)
            k = np.searchsorted(np.asarray(xs), x, side="right") - 1
            if self.order == 0:
                out = np.asarray(ys)[np.clip(k, 0, len(xs) - 1)]
            else:
                m = np.clip(k, 0, len(xs) - 2)
                x0, x1 = np.asarray(xs)[m], np.asarray(xs)[m + 1]
                y0, y1 = np.asarray(ys)[m], np.asarray(ys)[m + 1]
                out = y0 + (x - x0) * (y1 - y0) / (x1 - x0)
            outside = np.isnan(x) if self.extrapolate else ~((x >= xs[0]) & (x <= xs[-1]))
            return np.where(outside, np.nan, out)
        q = float(x)
        if q != q or not self.extrapolate and not xs[0] <= q <= xs[-1]:
            return float("nan")
        i: int = bisect.bisect_right(xs, q) - 1
        if self.order == 0:
            return ys[min(max(i, 0), len(xs) - 1)]
        j = min(max(i, 0), len(xs) - 2)
        a0, a1, b0, b1 = xs[j], xs[j + 1], ys[j], ys[j + 1]
        return b0 + (q - a0) * (b1 - b0) / (a1 - a0)

    def __repr__(self) -> str:
        return f"Spline(order {self.order}, {len(self.raw)} points)"


def _factorial(x: float) -> float:
    if x < 0 or x != x:
        return float("nan")
    try:
        return math.gamma(x + 1.0)
    except OverflowError:
        return float("inf")


def _bitwise(op: Callable[[Any, Any], Any]) -> Callable[[Any, Any], Any]:
    return lambda a, b: op(a.astype(np.int64), b.astype(np.int64)).astype(np.float64)


def _truth(op: Callable[..., Any]) -> Callable[..., Any]:
    return lambda *args: op(*args).astype(np.float64)


# Operators of a MathOperation: (operands taken from the stack, results left on it, function of
# float64 columns). A stack operator's function returns the items it leaves, as a tuple.
MATH_OPERATORS: dict[str, tuple[int, int, Callable[..., Any]]] = {
    "+": (2, 1, np.add), "-": (2, 1, np.subtract), "*": (2, 1, np.multiply), "/": (2, 1, np.true_divide),
    "%": (2, 1, np.mod), "^": (2, 1, np.power), "y^x": (2, 1, lambda a, b: np.power(b, a)),
    "ln": (1, 1, np.log), "log": (1, 1, np.log10), "e^x": (1, 1, np.exp), "1/x": (1, 1, np.reciprocal),
    "x!": (1, 1, np.frompyfunc(_factorial, 1, 1)),
    "tan": (1, 1, np.tan), "cos": (1, 1, np.cos), "sin": (1, 1, np.sin), "atan": (1, 1, np.arctan),
    "atan2": (2, 1, lambda a, b: np.arctan2(b, a)), "acos": (1, 1, np.arccos), "asin": (1, 1, np.arcsin),
    "tanh": (1, 1, np.tanh), "cosh": (1, 1, np.cosh), "sinh": (1, 1, np.sinh), "atanh": (1, 1, np.arctanh),
    "acosh": (1, 1, np.arccosh), "asinh": (1, 1, np.arcsinh),
    "swap": (2, 2, lambda a, b: (b, a)), "drop": (1, 0, lambda a: ()), "dup": (1, 2, lambda a: (a, a)),
    "over": (2, 3, lambda a, b: (a, b, a)),
    "<<": (2, 1, _bitwise(np.left_shift)), ">>": (2, 1, _bitwise(np.right_shift)),
    "&": (2, 1, _bitwise(np.bitwise_and)), "|": (2, 1, _bitwise(np.bitwise_or)),
    "xor": (2, 1, _bitwise(np.bitwise_xor)),
    "&&": (2, 1, _truth(lambda a, b: (a != 0) & (b != 0))), "||": (2, 1, _truth(lambda a, b: (a != 0) | (b != 0))),
    ">": (2, 1, _truth(np.greater)), ">=": (2, 1, _truth(np.greater_equal)), "<": (2, 1, _truth(np.less)),
    "<=": (2, 1, _truth(np.less_equal)), "==": (2, 1, _truth(np.equal)), "!=": (2, 1, _truth(np.not_equal)),
    "min": (2, 1, np.minimum), "max": (2, 1, np.maximum), "abs": (1, 1, np.abs), "int": (1, 1, np.trunc),
}


@dataclass(frozen=True, slots=True)
class MathOperation:
    """A postfix expression: each operand is pushed on a stack (a number, the raw value `x`, or
    another parameter's value), each operator takes its operands off the top and pushes its
    result. A single value is evaluated as a column of one, so both paths run the same numpy
    operations on float64."""

    # ("value", float), ("this", None), ("parameter", (name, calibrated)) or ("operator", symbol)
    steps: tuple[tuple[str, Any], ...]

    def __call__(self, x: Value, get: Lookup | None = None) -> Value:
        column = isinstance(x, np.ndarray)
        values = np.asarray(x if column else [x], dtype=np.float64)
        stack: list[Any] = []
        with np.errstate(all="ignore"):
            for kind, argument in self.steps:
                if kind == "value":
                    stack.append(np.full(len(values), argument))
                elif kind == "this":
                    stack.append(values)
                elif kind == "parameter":
                    if get is None:
                        raise ValueError(f"{self!r} needs the packet's other values")
                    other = get(*argument)
                    stack.append(np.asarray(other if column else [other], dtype=np.float64))
                else:
                    takes, leaves, function = MATH_OPERATORS[argument]
                    operands = stack[len(stack) - takes:]
                    del stack[len(stack) - takes:]
                    result = function(*operands)
                    if leaves == 1:
                        stack.append(np.asarray(result, dtype=np.float64))
                    else:
                        stack.extend(result)
        result = stack[-1]
        return result if column else float(result[0])

    def parameters(self) -> list[tuple[str, bool]]:
        return [argument for kind, argument in self.steps if kind == "parameter"]

    def __repr__(self) -> str:
        shown = {"value": lambda a: repr(a), "this": lambda a: "x", "parameter": lambda a: a[0],
                 "operator": lambda a: a}
        return "MathOperation(" + " ".join(shown[kind](argument) for kind, argument in self.steps) + ")"


Calibrator: TypeAlias = Polynomial | Spline | MathOperation


@dataclass(frozen=True, slots=True)
class ContextCalibrator:
    criterion: Criterion
    calibrator: Calibrator


# ---------------------------------------------------------------------------------------------
# Criteria (restriction criteria and context matches)

OPERATORS: dict[str, Callable[[Value, Value], Value]] = {
    "==": operator.eq, "!=": operator.ne, "<": operator.lt, "<=": operator.le,
    ">": operator.gt, ">=": operator.ge,
    "eq": operator.eq, "neq": operator.ne, "lt": operator.lt, "leq": operator.le,
    "gt": operator.gt, "geq": operator.ge,
}


ORDERING = frozenset({"<", "<=", ">", ">=", "lt", "leq", "gt", "geq"})


def _compare(op: Callable[[Value, Value], Value], left: Value, right: Value) -> Value:
    """op(left, right), an integer against a float compared exactly, as Python compares them:
    numpy rounds the integers of a column to binary64 first, which ties values past 2**53."""
    result = op(left, right)
    if not isinstance(result, np.ndarray):
        return result
    kinds = (_kind(left), _kind(right))
    if kinds not in (("i", "f"), ("u", "f"), ("f", "i"), ("f", "u")):
        return result
    whole, other = (left, right) if kinds[0] in "iu" else (right, left)
    whole = np.asarray(whole)
    doubt = np.broadcast_to((whole.astype(np.float64) == other) & ((whole > 2**53) | (whole < -2**53)), result.shape)
    if doubt.any():
        exact = [np.broadcast_to(np.asarray(side).astype(object), result.shape)[doubt] for side in (left, right)]
        result = np.array(result, dtype=bool)
        result[doubt] = np.asarray(op(*exact), dtype=bool)
    return result


def _rows(value: Value, rows: np.ndarray) -> Value:
    """Some rows of a column (its values, unmasked); a single value as it is."""
    if not isinstance(value, np.ndarray):
        return value
    return np.ma.getdata(value)[rows] if value.shape[:1] == rows.shape else value


def _kind(value: Value) -> str:
    if isinstance(value, np.ndarray):
        return value.dtype.kind
    return "f" if isinstance(value, float) else "i" if isinstance(value, int) else ""


def _unlabeled(value: Value) -> Value:
    """Where a value is an enumeration value without a label (None, also in a column)."""
    if value is None:
        return True
    if isinstance(value, np.ndarray) and value.dtype.kind == "T" and hasattr(value.dtype, "na_object"):
        return np.array([v is None for v in value.tolist()], dtype=bool)
    return False


def _labelled(value: Value) -> Value:
    if value is None:
        return ""
    if isinstance(value, np.ndarray) and value.dtype.kind == "T" and hasattr(value.dtype, "na_object"):
        return np.array(["" if v is None else v for v in value.tolist()], dtype=np.dtypes.StringDType())
    return value


@dataclass(slots=True)
class Comparison:
    """parameter (raw or calibrated) <op> a literal, or another parameter's value."""

    parameter: str
    op: str
    literal: str | None  # as written; `value` holds it parsed for the parameter's type
    calibrated: bool
    other: tuple[str, bool] | None = None  # (parameter, calibrated) on the right-hand side
    value: Value = None

    def evaluate(self, get: Lookup) -> Value:
        try:
            right = get(*self.other) if self.other is not None else self.value
            left = get(self.parameter, self.calibrated)
        except KeyError:  # one packet: a parameter whose entry's include condition failed has no value
            return False
        if isinstance(left, np.ndarray) or isinstance(right, np.ndarray):  # columns: no value, no match
            missing = np.ma.getmaskarray(get(self.parameter, False)) if isinstance(left, np.ma.MaskedArray) or \
                np.ma.getmask(get(self.parameter, False)) is not np.ma.nomask else None
            if self.other is not None and np.ma.getmask(get(self.other[0], False)) is not np.ma.nomask:
                other = np.ma.getmaskarray(get(self.other[0], False))
                missing = other if missing is None else missing | other
            if missing is not None and missing.any():
                result = np.zeros(missing.shape, dtype=bool)
                rows = ~missing
                if rows.any():  # compared where both sides have values
                    result[rows] = np.asarray(self._evaluate(_rows(left, rows), _rows(right, rows)), dtype=bool)
                return result
        return self._evaluate(left, right)

    def _evaluate(self, left: Value, right: Value) -> Value:
        if isinstance(left, np.ndarray) and left.dtype == object and isinstance(right, bytes):
            # Compared as Python bytes: numpy's own bytes scalar would drop trailing zero bytes.
            right, boxed = np.empty((), dtype=object), right
            right[()] = boxed
        if self.op in ORDERING:  # an enumeration value without a label is in no order, as NaN
            missing = _unlabeled(left) | _unlabeled(right)
            if missing is True:
                return False
            if np.any(missing):
                return OPERATORS[self.op](_labelled(left), _labelled(right)) & ~missing
        return _compare(OPERATORS[self.op], left, right)

    def parameters(self) -> list[tuple[str, bool]]:
        return [(self.parameter, self.calibrated)] + ([self.other] if self.other else [])

    def __repr__(self) -> str:
        right = self.other[0] if self.other is not None else repr(self.value)
        return f"{self.parameter}{'' if self.calibrated else ' (raw)'} {self.op} {right}"


@dataclass(slots=True)
class AllOf:
    terms: list[Criterion]

    def evaluate(self, get: Lookup) -> Value:
        result = self.terms[0].evaluate(get)
        for term in self.terms[1:]:
            result = result & term.evaluate(get)
        return result

    def parameters(self) -> list[tuple[str, bool]]:
        return [p for t in self.terms for p in t.parameters()]

    def __repr__(self) -> str:
        return "(" + " and ".join(map(repr, self.terms)) + ")"


@dataclass(slots=True)
class AnyOf:
    terms: list[Criterion]

    def evaluate(self, get: Lookup) -> Value:
        result = self.terms[0].evaluate(get)
        for term in self.terms[1:]:
            result = result | term.evaluate(get)
        return result

    def parameters(self) -> list[tuple[str, bool]]:
        return [p for t in self.terms for p in t.parameters()]

    def __repr__(self) -> str:
        return "(" + " or ".join(map(repr, self.terms)) + ")"


Criterion: TypeAlias = Comparison | AllOf | AnyOf


def label_ranges(entries: tuple[tuple[int, int, str], ...]) -> tuple[list[int], list[int], list[str]]:
    """An enumeration as sorted disjoint ranges (starts, ends, labels): each value takes the
    label of the first entry, in document order, whose value..maxValue holds it."""
    order = sorted(range(len(entries)), key=lambda k: entries[k][0])
    pieces: list[tuple[int, int, int]] = []  # (start, end, entry)
    if all(entries[a][1] < entries[b][0] for a, b in zip(order, order[1:])):
        pieces = [(entries[k][0], entries[k][1], k) for k in order]
    else:
        # Between two consecutive bounds the entries that hold a value do not change: sweep the
        # bounds with the entries begun so far, by document order (ended ones dropped lazily).
        bounds = sorted({v for low, high, _ in entries for v in (low, high + 1)})
        begun: list[tuple[int, int]] = []  # (entry, end)
        taken = 0
        for low, after in zip(bounds, bounds[1:]):
            while taken < len(order) and entries[order[taken]][0] <= low:
                heapq.heappush(begun, (order[taken], entries[order[taken]][1]))
                taken += 1
            while begun and begun[0][1] < low:
                heapq.heappop(begun)
            if begun:
                k = begun[0][0]
                if pieces and pieces[-1][2] == k and pieces[-1][1] == low - 1:
                    pieces[-1] = (pieces[-1][0], after - 1, k)
                else:
                    pieces.append((low, after - 1, k))
    return [p[0] for p in pieces], [p[1] for p in pieces], [entries[p[2]][2] for p in pieces]


_FEW = 16  # columns this short are labelled value by value


def _label_table(starts: list[int], ends: list[int], labels: list[str],
                 dtype: np.dtype) -> tuple[np.ndarray, np.ndarray, np.ndarray, list[int]]:
    """An enumeration's ranges as arrays for columns of `dtype`: for integers, clipped to what
    the column can hold (and compared exactly); the labels with "" after them."""
    if dtype.kind in "iu":
        low, high = int(np.iinfo(dtype).min), int(np.iinfo(dtype).max)
        kept = [i for i in range(len(starts)) if starts[i] <= high and ends[i] >= low]
        first = np.array([max(starts[i], low) for i in kept], dtype=dtype)
        last = np.array([min(ends[i], high) for i in kept], dtype=dtype)
    else:
        kept = list(range(len(starts)))
        first, last = np.array(starts, dtype=np.float64), np.array(ends, dtype=np.float64)
    return first, last, np.array([labels[i] for i in kept] + [""], dtype=np.dtypes.StringDType()), kept


# ---------------------------------------------------------------------------------------------
# Parameter types and parameters

Kind: TypeAlias = Literal["integer", "float", "enumerated", "boolean", "string", "binary",
                          "absolute_time", "relative_time", "aggregate", "array"]
Count: TypeAlias = "int | DynamicSize | DiscreteLookup"  # a count or an index: fixed, or from the packet's values


@dataclass(slots=True)
class ParameterType:
    name: str
    kind: Kind
    encoding: Encoding
    enumeration: tuple[tuple[int, int, str], ...] = ()  # (value, max value, label)
    scale: float = 1.0  # time types: seconds = raw * scale + offset
    offset: float = 0.0
    units: str = ""
    time: TimeScale | None = None  # time types: how the number becomes a time
    checks: Checks | None = None  # a valid range and alarms, if the type has them
    truth: tuple[str, str] = ("True", "False")  # booleans encoded as text: the texts of true and false
    members: tuple[tuple[str, ParameterType], ...] = ()  # aggregates: (name, type) in decoding order
    element: ParameterType | None = None  # arrays: the type of each element
    dimensions: tuple[tuple[Count, Count], ...] = ()  # arrays: (first index, last index) per dimension
    rank: int = 0  # arrays: how many dimensions (the entry gives them when the type does not)
    initial: str | None = None  # initialValue, as written: the value encoding uses when given none
    _lookup: Any = field(default=None, init=False, repr=False)  # built on first use

    @property
    def structured(self) -> bool:
        return self.kind in ("aggregate", "array")

    @property
    def calibrated_differs(self) -> bool:
        """Whether the calibrated value can differ from the raw value."""
        enc = self.encoding
        if self.kind in ("enumerated", "boolean", "absolute_time", "relative_time", "aggregate", "array"):
            return True
        if self.kind == "float" and isinstance(enc, IntegerEncoding):
            return True
        if isinstance(enc, StringEncoding):
            return True  # raw text is its bytes
        return isinstance(enc, (IntegerEncoding, FloatEncoding)) and (
            enc.calibrator is not None or bool(enc.context_calibrators))

    def calibrate(self, raw: Value, get: Lookup | None = None, path: str | None = None) -> Value:
        """The engineering value of a raw value (or of a column of them). `get` gives other
        parameters' values, for context calibrators. `path`: the name of the parameter (or
        member) whose value this is; within each occurrence or element of an aggregate, `get`
        then gives its members (`path.member`) from that occurrence or element."""
        enc = self.encoding
        if self.kind == "aggregate":
            if isinstance(raw, list):  # occurrences of a repeated entry
                return [self.calibrate(r, get, path) for r in raw]
            inner = _Scope(path, raw, self, get).get if path is not None and get is not None else get
            return {name: member.calibrate(raw[name], inner, None if path is None else f"{path}.{name}")
                    for name, member in self.members}
        if self.kind == "array":
            return _calibrate_elements(self.element, raw, get, path)  # type: ignore[arg-type]
        column = isinstance(raw, np.ndarray)
        if isinstance(enc, StringEncoding):  # decoded text already: see Definition for the raw bytes
            if self.kind == "boolean":
                return text_boolean(raw, *self.truth)
            if self.kind not in TEXT_KINDS:
                return raw
            value = parse_numbers(self.kind, raw, lenient=True)[0]  # decoding refuses a bad text by itself
            if self.kind == "enumerated":
                return self._enumerate(value)
            return self.time.convert(value, get) if self.kind == "relative_time" else value  # type: ignore[union-attr]
        if isinstance(enc, BinaryEncoding):
            if self.kind not in ("enumerated", "boolean", "absolute_time", "relative_time"):
                return raw
            raw = binary_integer(raw)
            column = isinstance(raw, np.ndarray)
        if self.kind == "enumerated":
            return self._enumerate(raw)
        if self.kind == "boolean":
            return raw != 0 if column else bool(raw)
        value = raw
        if isinstance(enc, (IntegerEncoding, FloatEncoding)):
            value = self._apply_calibrators(raw, get)
        if self.time is not None:
            return self.time.convert(value, get)
        if self.kind == "float" and value is raw and isinstance(enc, IntegerEncoding):
            return _as_float(value)
        return value

    def column_calibrator(self) -> Callable[[np.ndarray], Value] | None:
        """calibrate for a column of raw integers where it needs nothing else (no other
        parameter, no time scale): labels, booleans, integers as floats; None otherwise."""
        enc = self.encoding
        if not isinstance(enc, IntegerEncoding):
            return None
        if self.kind == "enumerated":
            return self._enumerate
        if self.kind == "boolean":
            return _nonzero
        if self.kind == "float" and enc.calibrator is None and not enc.context_calibrators and self.time is None:
            return _as_float
        return None

    def _apply_calibrators(self, raw: Value, get: Lookup | None) -> Value:
        enc = self.encoding
        assert isinstance(enc, (IntegerEncoding, FloatEncoding))
        if not enc.context_calibrators:
            return enc.calibrator(raw, get) if enc.calibrator is not None else raw
        if get is None:
            raise ValueError(f"{self.name}: context calibrators need the packet's other values")
        if not isinstance(raw, np.ndarray):
            for context in enc.context_calibrators:
                if context.criterion.evaluate(get):
                    return context.calibrator(raw, get)
            return enc.calibrator(raw, get) if enc.calibrator is not None else _as_float(raw)  # a float, as when one matches
        # Columns: the first context that matches decides, row by row.
        result = enc.calibrator(raw, get) if enc.calibrator is not None else raw.astype(np.float64)
        decided = np.zeros(len(raw), dtype=bool)
        for context in enc.context_calibrators:
            match = np.asarray(context.criterion.evaluate(get), dtype=bool) & ~decided
            if match.any():
                result = np.where(match, context.calibrator(raw, get), result)
                decided |= match
        return result

    def _enumerate(self, raw: Value) -> Value:
        if self._lookup is None:
            self._lookup = (*label_ranges(self.enumeration), {})  # and per column type, its arrays
        starts, ends, labels = self._lookup[:3]
        if not isinstance(raw, np.ndarray):
            i = bisect.bisect_right(starts, raw) - 1
            return labels[i] if i >= 0 and raw <= ends[i] else None
        tables = self._lookup[3]
        table = tables.get(raw.dtype)
        if table is None:
            made = _label_table(starts, ends, labels, raw.dtype)
            table = tables[raw.dtype] = (*made, made[0].tolist(), made[1].tolist())
        first, last, names, kept, lows, highs = table
        if 0 < len(raw) <= _FEW and type(raw) is np.ndarray and raw.dtype.kind in "iuf":  # numpy's calls cost more
            places = []
            for value in raw.tolist():
                i = bisect.bisect_right(lows, value) - 1
                if i < 0 or not value <= highs[i]:
                    break  # one without a label: as below
                places.append(i)
            else:
                return names[places[0]:places[0] + 1].copy() if len(places) == 1 else names.take(places)
        at = np.searchsorted(first, raw, side="right") - 1
        inside = (at >= 0) & (raw <= last[np.maximum(at, 0)]) if kept else np.zeros(len(raw), bool)
        if inside.all():
            return names[at]
        out = np.array(names[np.where(inside, at, len(kept))], dtype=np.dtypes.StringDType(na_object=None))
        out[~inside] = None
        return out

    def __repr__(self) -> str:
        extra = f", {len(self.enumeration)} labels" if self.enumeration else ""
        return f"ParameterType({self.name!r}, {self.kind}, {self.encoding!r}{extra})"


def _calibrate_elements(element: ParameterType, raw: Value, get: Lookup | None, path: str | None = None) -> Value:
    """The elements of an array (or the occurrences of a repeated entry), calibrated: numbers
    all at once, as a column; aggregates and arrays one by one."""
    if isinstance(raw, list):
        return [_calibrate_elements(element, r, get, path) if isinstance(r, list) else
                element.calibrate(r, get, path) for r in raw]
    if element.structured or raw.dtype == object:
        out = np.empty(raw.shape, dtype=object)
        for index in np.ndindex(raw.shape):
            out[index] = element.calibrate(raw[index], get, path)
        return out
    if not element.calibrated_differs or element.kind == "string":
        return raw
    flat = element.calibrate(raw.reshape(-1), get)
    return np.asarray(flat).reshape(raw.shape)


class _Scope:
    """The values of one aggregate value (an occurrence of a repeated entry, or an element of an
    array) by their names (`path.member`), for the calibrators of its members: a context or
    operand naming a sibling member means the sibling in the same occurrence. Other names, and
    members this value does not hold, are looked up outside it."""

    __slots__ = ("path", "value", "ptype", "outer", "busy")

    def __init__(self, path: str, value: dict[str, Value], ptype: ParameterType, outer: Lookup) -> None:
        self.path, self.value, self.ptype, self.outer = path, value, ptype, outer
        self.busy: set[str] = set()  # members being calibrated: one calibrated with itself would not end

    def get(self, name: str, calibrated: bool) -> Value:
        if name.startswith(self.path + ".") and isinstance(self.value, dict):
            value, ptype = self.value, self.ptype
            for member in name[len(self.path) + 1:].split("."):
                if not isinstance(value, dict) or member not in value:
                    return self.outer(name, calibrated)
                value, ptype = value[member], dict(ptype.members)[member]
            if not calibrated or not ptype.calibrated_differs or ptype.kind == "string":
                return value
            if name in self.busy:
                raise PacketError(f"{name!r} is calibrated from its own calibrated value")
            self.busy.add(name)
            try:
                return ptype.calibrate(value, self.get, name)
            finally:
                self.busy.discard(name)
        return self.outer(name, calibrated)


@dataclass(slots=True)
class Parameter:
    """A parameter; `name` is the name results use: its own where no other parameter of the
    definition has it, else `qualified_name`, its path through the space systems."""

    name: str
    type: ParameterType
    description: str = ""
    qualified_name: str = ""
    initial: str | None = None  # initialValue, overriding its type's

    def __repr__(self) -> str:
        return f"Parameter({self.name!r}, {self.type.kind}, {self.type.encoding!r})"


# ---------------------------------------------------------------------------------------------
# Containers


@dataclass(frozen=True, slots=True)
class Location:
    """Where an entry starts: `bits` after the previous entry's end, or after the start of the
    container that lists it (reference "containerStart"); or, from the container's end
    ("containerEnd"), where it ends: `bits` before the end of the container that lists it."""

    bits: int
    from_start: bool
    from_end: bool = False


@dataclass(frozen=True, slots=True)
class Repeat:
    """An entry read `count` times, `offset` bits apart (after the end of each occurrence)."""

    count: Count
    offset: Count = 0


@dataclass(frozen=True, slots=True)
class Indirect:
    """The parameter read at an entry is the one whose alias in `namespace` equals the value of
    `parameter` (`choices`: alias -> parameter name); without a namespace (None), the one whose
    name, or qualified name, equals it."""

    parameter: str
    calibrated: bool
    namespace: str | None
    choices: dict[str, str]

    def unknown(self, key: object) -> str:
        """Why `key`, a value of the parameter, names no parameter."""
        what = "name" if self.namespace is None else f"alias in namespace {self.namespace!r}"
        return f"{self.parameter!r} is {key!r}: no parameter has that {what}"


class Entry(NamedTuple):  # a tuple: a large container has many, made quickly
    kind: Literal["parameter", "container", "indirect"]
    ref: str  # the parameter or container (for an indirect entry, the parameter giving the alias)
    location: Location | None = None
    repeat: Repeat | None = None
    condition: Criterion | None = None  # the entry is read only where it holds
    dimensions: tuple[tuple[Count, Count], ...] = ()  # array entries: the dimensions the entry gives
    indirect: Indirect | None = None

    @property
    def plain(self) -> bool:
        return self.repeat is None and self.condition is None and not self.dimensions and self.indirect is None


@dataclass(slots=True)
class Container:
    name: str
    abstract: bool
    entries: tuple[Entry, ...]
    base: str | None = None
    restriction: Criterion | None = None
    children: list[str] = field(default_factory=list)
    description: str = ""
    size: int | None = None  # bits, when the container gives its own size

    def __repr__(self) -> str:
        text = f"Container({self.name!r}"
        text += ", abstract" if self.abstract else ""
        text += f", {len(self.entries)} entries"
        if self.base is not None:
            text += f", base {self.base!r}"
            if self.restriction is not None:
                text += f" where {self.restriction!r}"
        return text + ")"


class NameMap(Mapping[str, Any]):
    """A read-only mapping (parameters or containers by name) with a short repr."""

    __slots__ = ("_items", "_what", "_aliases")

    def __init__(self, items: dict[str, Any], what: str, aliases: dict[str, str] | None = None) -> None:
        self._items = items
        self._what = what
        self._aliases = aliases or {}  # qualified name -> the name it is listed under

    def __getitem__(self, key: str) -> Any:
        try:
            return self._items[key]
        except KeyError:
            pass
        alias = self._aliases.get(key)
        if alias is not None:
            return self._items[alias]
        same = sorted(q for q in self._aliases if q.rpartition("/")[2] == key)
        if len(same) > 1:
            raise KeyError(f"{key!r} names {len(same)} {self._what}: {', '.join(same)}")
        raise KeyError(key)

    def __iter__(self):  # type: ignore[no-untyped-def]
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __repr__(self) -> str:
        names = list(self._items)
        shown = ", ".join(names[:6]) + (", ..." if len(names) > 6 else "")
        return f"<{len(names)} {self._what}: {shown}>"


class Tolerated(NamedTuple):
    """One kind of construct a load read past or read leniently: what it is, where it first
    occurs (line, and document when the definition has several) and how often."""

    what: str
    line: int
    count: int
    document: str = ""

    def __str__(self) -> str:
        where = f"line {self.line}" + (f" of {self.document}" if self.document else "")
        return f"{self.what} ({where}{f', {self.count} times' if self.count > 1 else ''})"
