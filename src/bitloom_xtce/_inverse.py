"""Engineering values back to raw values: the inverse of ParameterType.calibrate.

Calibrated numbers are inverted against the decoder's own forward arithmetic, so a raw value
found here decodes to the value asked for as nearly as the encoding allows:

* the raw value chosen is the one whose calibrated value is nearest the value asked for (ties go
  to the even raw value): a linear calibration (a polynomial of degree one, a time type's scale and
  offset) is solved directly and the answer checked against its neighbours; any other calibration
  that is monotonic over the raw encoding's range is searched by bisection, and so is a linear one
  where its solution lands among raw values that calibrate alike (a slope below the rounding of
  the calibrated values) or far from its answer (64-bit raw values): both ways give the same raw
  value;
* a value more than half a raw step beyond the calibrated values of the ends of the raw range is
  out of range, and so is an infinity: ValueError naming the parameter, the value and the range;
* a calibrator that is not monotonic over that range has no inverse: ValueError;
* an order-0 spline (a step function) takes only its levels, exactly;
* a float encoding's raw value is found in binary64 and rounded to the encoding's format when the
  field is written.

Every function takes a numpy column and returns one; Inverse.one does one value of a polynomial
calibration in plain Python numbers, with the same arithmetic, for encoding one packet.
"""
from __future__ import annotations

import math
import struct
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._model import (BinaryEncoding, Calibrator, FloatEncoding, IntegerEncoding, Lookup, ParameterType, Polynomial,
                     Spline, StringEncoding, _as_float)

_SIGN = np.int64(0x7FFFFFFFFFFFFFFF)


def integer_range(enc: IntegerEncoding) -> tuple[int, int]:
    """The raw values an integer encoding can hold."""
    bits, form = enc.bits, enc.form
    if form == "unsigned":
        return 0, (1 << bits) - 1
    if form in ("twosComplement", "twosCompliment"):
        return -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    if form in ("onesComplement", "signMagnitude"):
        return -((1 << (bits - 1)) - 1), (1 << (bits - 1)) - 1
    digits = bits // 8 if form == "BCD" else bits // 4
    return 0, 10 ** digits - 1


# Largest finite magnitudes of the float formats, where they are below binary64's: a larger value
# overflows (the formats without infinities refuse it when the field is written).
FLOAT_LIMITS = {"ieee754_f16": 65504.0, "ieee754_f32": float(np.finfo(np.float32).max)}


def _float_keys(x: np.ndarray) -> np.ndarray:
    """binary64 values as int64 keys in the same order (the map is its own inverse)."""
    bits = np.ascontiguousarray(x, dtype=np.float64).view(np.int64)
    return bits ^ ((bits >> 63) & _SIGN)


def _key_floats(keys: np.ndarray) -> np.ndarray:
    return (keys ^ ((keys >> 63) & _SIGN)).view(np.float64)


_PACK = struct.Struct("<d")
_UNPACK = struct.Struct("<q")


def _float_key(x: float) -> int:
    """_float_keys of one value."""
    bits = _UNPACK.unpack(_PACK.pack(x))[0]
    return bits ^ 0x7FFFFFFFFFFFFFFF if bits < 0 else bits


def _key_float(key: int) -> float:
    return _PACK.unpack(_UNPACK.pack(key ^ 0x7FFFFFFFFFFFFFFF if key < 0 else key))[0]


def _dtype_for(lo: int, hi: int) -> type:
    return np.uint64 if hi > 0x7FFFFFFFFFFFFFFF else np.int64


@dataclass(slots=True, eq=False)
class Inverse:
    """The inverse of one forward map (a calibrator, then a time type's scale and offset) over a
    raw domain: the integers lo..hi of an integer encoding, or the finite binary64 values of a
    float encoding (searched through order-preserving integer keys)."""

    forward: Callable[[np.ndarray], np.ndarray]  # raw column -> calibrated column, as decoding does it
    lo: int  # domain, as keys
    hi: int
    floats: bool
    affine: tuple[float, float] | None  # (a, b): forward(x) = a x + b, up to rounding
    steps: bool  # a step function: only its levels are values
    describe: str  # the calibration, for messages
    scalar: bool = False  # forward gives a Python float for one raw value, as it does in a column
    ends: tuple[float, float] | None = None  # the calibrated values of lo and hi, once computed

    def raws(self, keys: np.ndarray) -> np.ndarray:
        return _key_floats(keys) if self.floats else keys

    def evaluate(self, keys: np.ndarray) -> np.ndarray:
        with np.errstate(over="ignore", invalid="ignore"):  # beyond binary64: infinite, out of range
            return np.asarray(self.forward(self.raws(keys)), dtype=np.float64)

    def calibrated_ends(self) -> tuple[float, float]:
        found = self.ends
        if found is None:  # two threads may both compute it: the same values
            dtype = np.int64 if self.floats else _dtype_for(self.lo, self.hi)
            low, high = self.evaluate(np.array([self.lo, self.hi], dtype=dtype)).tolist()
            found = self.ends = (low, high)
        return found

    def __call__(self, name: str, values: np.ndarray) -> np.ndarray:
        v = np.asarray(values, dtype=np.float64)
        if len(v) == 0:
            return self.raws(np.zeros(0, dtype=np.int64 if self.floats else _dtype_for(self.lo, self.hi)))
        nan = np.isnan(v)
        if nan.any():
            raise ValueError(f"{name}: NaN has no raw value ({self.describe})")
        dtype = np.int64 if self.floats else _dtype_for(self.lo, self.hi)
        lo: np.ndarray = np.array(self.lo, dtype=dtype)
        hi: np.ndarray = np.array(self.hi, dtype=dtype)
        increasing = self.increasing
        if self.affine == (1.0, 0.0) and not self.floats and self.hi < 1 << 53:  # integers read as floats
            nearest = np.clip(np.rint(v), self.lo, self.hi)  # ties to even; half a step past an end: the end
            wrong = ~(np.abs(v - nearest) <= 0.5)
            keys = nearest.astype(dtype) if not wrong.any() else nearest
        elif self.steps:  # a level's first raw value: one past the last below it
            keys = self._guess(v, lo, hi, dtype, increasing, strict=True)
            keys = np.where((self.evaluate(keys) < v) == increasing, np.minimum(keys + dtype(1), hi), keys)
            wrong = self.evaluate(keys) != v
        else:
            keys, wrong, unsure = self._settle(v, self._guess(v, lo, hi, dtype, increasing), lo, hi)
            if self.affine is not None and unsure.any():  # settle those by the search
                rows = np.flatnonzero(unsure)
                again, wrong_again, _ = self._settle(v[rows], self._guess(v[rows], lo, hi, dtype, increasing,
                                                                          search=True), lo, hi)
                keys[rows], wrong[rows] = again, wrong_again
        wrong |= np.isinf(v)
        if wrong.any():
            i = int(np.argmax(wrong))
            self._refuse(name, float(v[i]))
        return self.raws(keys)

    @property
    def increasing(self) -> bool:
        low, high = self.calibrated_ends()
        return high >= low

    def _refuse(self, name: str, value: float) -> None:
        low, high = sorted(self.calibrated_ends())
        if self.steps and low <= value <= high:
            raise ValueError(f"{name}: {value!r} is not one of the levels of its calibration ({self.describe})")
        raws = f"raw {self.lo} to {self.hi}" if not self.floats else "its float encoding's range"
        raise ValueError(f"{name}: {_shown(value)} is outside the range {low!r} to {high!r} of its calibrated values "
                         f"({raws}, {self.describe})")

    def one(self, name: str, value: float) -> int | float:
        """The raw value of one calibrated value, as __call__ gives it for a column of one, found
        the same way in Python numbers (the forward map evaluated as decoding does it) where the
        map gives the same numbers for one value as for a column (polynomials); by the column
        path where the answer is unsure."""
        a_b = self.affine
        if not self.scalar or self.steps or not math.isfinite(value):
            return self(name, np.array([value], dtype=np.float64)).tolist()[0]
        lo, hi, floats, forward = self.lo, self.hi, self.floats, self.forward
        if a_b == (1.0, 0.0) and not floats and hi < 1 << 53:  # integers read as floats
            nearest = min(max(round(value), lo), hi)
            if abs(value - nearest) <= 0.5:
                return nearest
            self._refuse(name, value)
        at: Callable[[int], float] = (lambda k: forward(_key_float(k))) if floats else forward  # noqa: E731
        if a_b is None:  # bisection, as _guess does it
            low, high = lo, hi
            increasing = self.increasing
            while low != high:
                span = high - low
                mid = low + (span >> 1) + (span & 1)
                f = at(mid)
                if (f <= value) if increasing else (f >= value):
                    low = mid
                else:
                    high = mid - 1
            key = low
        elif floats:
            x = min(max((value - a_b[1]) / a_b[0], _key_float(lo)), _key_float(hi))
            key = _float_key(0.0 if x != x else x)
        else:
            x = (value - a_b[1]) / a_b[0]
            top = float(hi)
            top = top if top <= hi else math.nextafter(top, -math.inf)
            key = int(min(max(x if math.isinf(x) else float(round(x)), float(lo)), top))
        for _ in range(8):  # as _settle does it
            up, down = (key + 1 if key < hi else key), (key - 1 if key > lo else key)
            f_up, f_here, f_down = at(up), at(key), at(down)
            d_up, d_here, d_down = abs(f_up - value), abs(f_here - value), abs(f_down - value)
            odd = key & 1
            if key < hi and (d_up < d_here or (d_up == d_here and odd)):
                key = up
            elif key > lo and (d_down < d_here or (d_down == d_here and odd)):
                key = down
            else:
                break
        else:
            return self(name, np.array([value], dtype=np.float64)).tolist()[0]
        if (key < hi and f_up == f_here) or (key > lo and f_down == f_here):
            return self(name, np.array([value], dtype=np.float64)).tolist()[0]
        step_up, step_down = abs(f_up - f_here), abs(f_here - f_down)
        if (value > f_here) == (f_up >= f_here):
            step = step_up if key < hi else step_down
        else:
            step = step_down if key > lo else step_up
        if d_here > step / 2 + 4 * math.ulp(abs(value)):
            self._refuse(name, value)
        return _key_float(key) if floats else key

    def _guess(self, v: np.ndarray, lo: np.ndarray, hi: np.ndarray, dtype: type, increasing: bool,
               strict: bool = False, search: bool = False) -> np.ndarray:
        if self.affine is not None and not search:
            a, b = self.affine
            with np.errstate(over="ignore"):  # infinite: clipped to an end, then found out of range
                x = (v - b) / a
            if self.floats:
                x = np.clip(x, _key_floats(lo), _key_floats(hi))
                return _float_keys(np.where(np.isnan(x), 0.0, x))
            # In range of the key type before the cast; the neighbour search does the rest.
            top = float(self.hi)
            top = top if top <= self.hi else math.nextafter(top, -math.inf)
            return np.clip(np.rint(x), float(self.lo), top).astype(dtype)
        # Bisection: the largest key whose value is at most v (at least v if decreasing; strictly
        # below or above with `strict`).
        low: np.ndarray = np.full(len(v), lo, dtype=dtype)
        high: np.ndarray = np.full(len(v), hi, dtype=dtype)
        unsigned = np.uint64
        for _ in range(66):
            span = high.astype(unsigned) - low.astype(unsigned)  # wraps right for int64 too
            active = span != 0
            if not active.any():
                break
            mid = (low.astype(unsigned) + (span >> unsigned(1)) + (span & unsigned(1))).astype(dtype)
            f = self.evaluate(mid)
            below = (f < v if strict else f <= v) if increasing else (f > v if strict else f >= v)
            low = np.where(active & below, mid, low)
            high = np.where(active & ~below, mid - dtype(1), high)
        return low

    def _settle(self, v: np.ndarray, keys: np.ndarray, lo: np.ndarray,
                hi: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Move each key to a neighbour while that neighbour's value is nearer v (ties: the even
        key); then which values lie more than half a step (to the neighbour on v's side, the
        other side's at an end) from the value of their key, and which keys are unsure: still
        moving after eight steps, or beside a neighbour of the same value (where a start from
        elsewhere could stop at another key)."""
        one = keys.dtype.type(1)
        moving = np.zeros(len(keys), dtype=bool)
        for _ in range(8):
            up, down = np.where(keys < hi, keys + one, keys), np.where(keys > lo, keys - one, keys)
            f_up, f_here, f_down = self.evaluate(up), self.evaluate(keys), self.evaluate(down)
            d_up, d_here, d_down = np.abs(f_up - v), np.abs(f_here - v), np.abs(f_down - v)
            odd = (keys & one) != 0
            go_up = (keys < hi) & ((d_up < d_here) | ((d_up == d_here) & odd))
            go_down = ~go_up & (keys > lo) & ((d_down < d_here) | ((d_down == d_here) & odd))
            if not (go_up.any() or go_down.any()):
                break
            keys = np.where(go_up, up, np.where(go_down, down, keys))
        else:  # still moving after eight steps: the values of where the keys are now
            moving = go_up | go_down
            up, down = np.where(keys < hi, keys + one, keys), np.where(keys > lo, keys - one, keys)
            f_up, f_here, f_down = self.evaluate(up), self.evaluate(keys), self.evaluate(down)
            d_here = np.abs(f_here - v)
        unsure = moving | ((keys < hi) & (f_up == f_here)) | ((keys > lo) & (f_down == f_here))
        step_up, step_down = np.abs(f_up - f_here), np.abs(f_here - f_down)
        toward_up = (v > f_here) == (f_up >= f_here)
        step = np.where(toward_up, np.where(keys < hi, step_up, step_down), np.where(keys > lo, step_down, step_up))
        return keys, d_here > step / 2 + 4 * np.spacing(np.abs(v)), unsure


def _polynomial_terms(poly: Polynomial) -> list[float]:
    """Coefficients by exponent (index)."""
    coefficients = [0.0] * (max(e for _, e in poly.terms) + 1)
    for c, e in poly.terms:
        coefficients[e] += c
    while len(coefficients) > 1 and coefficients[-1] == 0:
        coefficients.pop()
    return coefficients


def _turning_point(coefficients: list[float], lo: float, hi: float) -> float | None:
    """Where the polynomial turns inside (lo, hi), if it does."""
    derivative = np.polynomial.Polynomial(coefficients).deriv()
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        roots: list[complex] = [complex(r) for r in derivative.roots()]
    inside = sorted(r.real for r in roots if abs(r.imag) <= 1e-9 * (1 + abs(r)) and lo < r.real < hi)
    points = [lo, *inside, hi]
    signs = set()
    for a, b in zip(points, points[1:]):
        with np.errstate(over="ignore", invalid="ignore"):  # over a float encoding's range
            slope = float(derivative(a / 2 + b / 2))
        if slope:
            signs.add(slope > 0)
    if len(signs) > 1:
        return next((r for r in inside), lo)
    return None


def inverse_for(name: str, ptype: ParameterType, calibrator: Calibrator | None) -> Inverse:
    """How to invert `ptype`'s calibration when `calibrator` applies (None: no calibrator)."""
    enc = ptype.encoding
    assert isinstance(enc, (IntegerEncoding, FloatEncoding))
    # A time type's scale and offset are undone before (TimeScale.number): what is inverted here
    # is its calibrator alone.
    time = False
    scale, offset = 1.0, 0.0

    def forward(raw: np.ndarray) -> np.ndarray:
        value = calibrator(raw) if calibrator is not None else _as_float(raw)
        return _as_float(value) * scale + offset if time else value

    if isinstance(enc, FloatEncoding):
        limit = FLOAT_LIMITS.get(enc.reader, float(np.finfo(np.float64).max))
        lo, hi = int(_float_keys(np.array([-limit]))[0]), int(_float_keys(np.array([limit]))[0])
        floats = True
    else:
        lo, hi = integer_range(enc)
        floats = False
    describe = "no calibrator" if calibrator is None else repr(calibrator)
    if time:
        describe += f", seconds = value * {scale!r} + {offset!r}"
    affine = None
    steps = False
    if calibrator is None:
        affine = (scale, offset)
    elif isinstance(calibrator, Polynomial):
        coefficients = _polynomial_terms(calibrator)
        if len(coefficients) == 1 or not any(coefficients[1:]):
            raise ValueError(f"{name}: its calibrator {calibrator!r} is constant: no inverse")
        if len(coefficients) == 2:
            affine = (coefficients[1] * scale, coefficients[0] * scale + offset)
        else:
            low, high = (float(_key_floats(np.array([k]))[0]) for k in (lo, hi)) if floats else (float(lo), float(hi))
            turn = _turning_point(coefficients, low, high)
            if turn is not None:
                raise ValueError(f"{name}: its calibrator {calibrator!r} is not monotonic over the raw range "
                                 f"{low:.17g} to {high:.17g} (it turns near raw {turn:.6g}): a calibrated value "
                                 "has no single raw value (give raw values, raw=True)")
    else:
        assert isinstance(calibrator, Spline)
        if not calibrator.extrapolate:  # NaN outside the points: keep to them
            first, last = calibrator.raw[0], calibrator.raw[-1]
            if floats:
                lo = max(lo, int(_float_keys(np.array([first]))[0]))
                hi = min(hi, int(_float_keys(np.array([last]))[0]))
            else:
                lo, hi = max(lo, math.ceil(first)), min(hi, math.floor(last))
            if lo > hi:
                raise ValueError(f"{name}: no raw value of its encoding lies between its spline's points")
        differences = np.diff(calibrator.calibrated)
        if (differences > 0).any() and (differences < 0).any():
            raise ValueError(f"{name}: its calibrator {calibrator!r} is not monotonic (its calibrated points "
                             "rise and fall): a calibrated value has no single raw value (give raw values, raw=True)")
        if not differences.any():
            raise ValueError(f"{name}: its calibrator {calibrator!r} is constant: no inverse")
        steps = calibrator.order == 0
    return Inverse(forward, lo, hi, floats, affine, steps, describe, calibrator is None or isinstance(calibrator,
                                                                                                      Polynomial))


# ---------------------------------------------------------------------------------------------
# Parameter types


class Converter:
    """Values of one parameter type to raw values: numbers for numeric encodings (int64 or
    uint64 columns for integers, float64 for floats), str for text (its field is made later),
    bytes for binary data."""

    def __init__(self, name: str, ptype: ParameterType) -> None:
        self.name = name
        self.ptype = ptype
        self._inverses: dict[int, Inverse] = {}
        self._labels: dict[str, int] | None = None

    def inverse(self, calibrator: Calibrator | None) -> Inverse:
        key = id(calibrator)
        found = self._inverses.get(key)
        if found is None:
            found = self._inverses[key] = inverse_for(self.name, self.ptype, calibrator)
        return found

    @property
    def numeric_identity(self) -> bool:
        """Whether calibrated values are raw values (integers without a calibrator)."""
        ptype = self.ptype
        return ptype.kind == "integer" and not ptype.calibrated_differs

    def one(self, value: object, get: Lookup | None) -> object:
        """The raw value of one calibrated value (for a type whose calibrated values differ)."""
        ptype, enc = self.ptype, self.ptype.encoding
        if isinstance(value, np.generic) and not isinstance(value, (np.str_, np.datetime64, np.timedelta64)):
            value = value.item()
        if ptype.kind == "enumerated":
            return self._enumerated([value])[0]  # type: ignore[arg-type]
        if ptype.kind == "boolean":
            if isinstance(value, (bool, np.bool_)) or value in (0, 1):
                return int(value)  # type: ignore[call-overload]
            raise ValueError(f"{self.name}: {value!r} is not a boolean (True or False)")
        if (ptype.kind == "float" and isinstance(enc, IntegerEncoding) and enc.calibrator is None
                and not enc.context_calibrators and isinstance(value, (int, float)) and not isinstance(value, bool)):
            # An integer read as a float: the nearest integer (ties to even), half a step either way.
            if value != value:
                raise ValueError(f"{self.name}: NaN has no raw value")
            if isinstance(value, int):
                return value
            nearest = round(value) if abs(value) != float("inf") else None
            if nearest is not None and abs(value - nearest) <= 0.5:
                return nearest
        if (isinstance(enc, (IntegerEncoding, FloatEncoding)) and ptype.time is None and not enc.context_calibrators
                and isinstance(value, (int, float)) and not isinstance(value, bool) and ptype.calibrated_differs
                and ptype.kind in ("integer", "float")):
            inverse = self.inverse(enc.calibrator)
            try:
                number = float(value)
            except OverflowError:  # an integer beyond binary64: beyond every calibrated value too
                inverse._refuse(self.name, value)  # type: ignore[arg-type]
            return inverse.one(self.name, number)
        column = np.array([value], dtype=object if isinstance(value, str) else None)
        return self.raw(column, get).tolist()[0]

    def raw(self, column: np.ndarray, get: Lookup | None) -> np.ndarray:
        """Raw values for a column of calibrated values."""
        ptype, enc, name = self.ptype, self.ptype.encoding, self.name
        if isinstance(enc, (StringEncoding, BinaryEncoding)):
            return column
        if ptype.kind == "enumerated":
            return self._enumerated(column)
        if ptype.kind == "boolean":
            return _booleans(name, column)
        assert isinstance(enc, (IntegerEncoding, FloatEncoding))
        if not ptype.calibrated_differs:
            return column
        if ptype.time is not None:
            try:
                values = ptype.time.number(column, get)
            except ValueError as e:
                raise ValueError(f"{name}: {e}") from None
        else:
            values = _numbers(name, column)
        if not enc.context_calibrators:
            return self.inverse(enc.calibrator)(name, values)
        if get is None:
            raise ValueError(f"{name}: context calibrators need the packet's other values")
        # The first context that matches decides, row by row, as in decoding.
        out: np.ndarray | None = None
        decided = np.zeros(len(values), dtype=bool)
        choices = [(np.broadcast_to(np.asarray(c.criterion.evaluate(get), dtype=bool), decided.shape), c.calibrator)
                   for c in enc.context_calibrators]
        for match, calibrator in [*choices, (np.ones(len(values), bool), enc.calibrator)]:
            rows = match & ~decided
            if rows.any():
                part = self.inverse(calibrator)(name, values[rows])
                if out is None:
                    out = np.zeros(len(values), dtype=part.dtype)
                out[rows] = part
                decided |= rows
        assert out is not None or not len(values)
        return out if out is not None else values

    def _enumerated(self, column: Any) -> np.ndarray:
        """Labels to their values; an integer that is one of the enumeration's values (not a
        bool) is taken as that value."""
        if self._labels is None:
            labels: dict[str, int] = {}
            for value, _, label in self.ptype.enumeration:
                labels.setdefault(label, value)
            self._labels = labels
        labels = self._labels
        if len(column) == 1:  # one packet: no numpy round trip
            return np.array([self._value_of(column[0])], dtype=np.int64)
        try:
            distinct, where = np.unique(column, return_inverse=True)
        except TypeError:  # labels mixed with None or numbers: not sortable
            distinct, where = column, np.arange(len(column))
        values = [labels[label] if isinstance(label, str) and label in labels else self._value_of(label)
                  for label in distinct.tolist()]
        return np.array(values, dtype=np.int64)[where]

    def _value_of(self, label: object) -> int:
        assert self._labels is not None
        if isinstance(label, str) and label in self._labels:
            return self._labels[label]
        if isinstance(label, np.integer):
            label = int(label)
        if isinstance(label, int) and not isinstance(label, bool) and any(
                low <= label <= high for low, high, _ in self.ptype.enumeration):
            return label
        raise ValueError(self._no_label(label))

    def _no_label(self, label: object) -> str:
        known = [label for _, _, label in self.ptype.enumeration]
        shown = ", ".join(map(repr, known[:12])) + (", ..." if len(known) > 12 else "")
        if isinstance(label, int) and not isinstance(label, bool):
            return f"{self.name}: {label!r} is not one of its values, nor a label ({shown})"
        return f"{self.name}: {label!r} is not one of its labels ({shown})"


def _booleans(name: str, column: np.ndarray) -> np.ndarray:
    if column.dtype == bool:
        return column.astype(np.int64)
    if column.dtype.kind in "iu" and ((column == 0) | (column == 1)).all():
        return column.astype(np.int64)
    for value in column.tolist():
        if not isinstance(value, (bool, np.bool_)) and value not in (0, 1):
            raise ValueError(f"{name}: {value!r} is not a boolean (True or False)")
    return np.array([int(v) for v in column.tolist()], dtype=np.int64)


def _shown(value: float | int) -> str:
    """A number for a message: an integer beyond binary64 in six digits and its exponent."""
    if isinstance(value, int) and abs(value) >= 1 << 1024:
        digits = str(abs(value))
        return f"{'-' if value < 0 else ''}{digits[0]}.{digits[1:6]}e+{len(digits) - 1}"
    return repr(value)


def _numbers(name: str, column: np.ndarray) -> np.ndarray:
    if column.dtype.kind in "iufb":
        return column.astype(np.float64)
    try:
        return column.astype(np.float64)
    except OverflowError:
        huge = next(v for v in column.tolist() if isinstance(v, int) and abs(v) >= 1 << 1024)
        raise ValueError(f"{name}: {_shown(huge)} is beyond the range of binary64, and of its calibrated "
                         "values") from None
    except (TypeError, ValueError):
        bad = next((v for v in column.tolist() if not isinstance(v, (int, float))), None)
        raise ValueError(f"{name}: {bad!r} is not a number") from None
