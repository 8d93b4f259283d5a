"""Validity ranges and static alarms of a parameter type, evaluated on whole columns.

A value outside its type's valid range keeps its value and is marked invalid. An alarm level is
given to every value: the most severe level whose range the value violates (with the default
rangeForm "outside", a value below the range's minimum or above its maximum; with "inside", a
value within it), or, for an enumeration, the level its label is listed with (else the alarm's
defaultAlarmLevel). Alarms look at calibrated values.
"""
from __future__ import annotations

from dataclasses import dataclass
from enum import IntEnum
from typing import Any

import numpy as np


class AlarmLevel(IntEnum):
    """The alarm level of a value; decode_file's alarm columns hold these numbers (uint8)."""

    NORMAL = 0
    WATCH = 1
    WARNING = 2
    DISTRESS = 3
    CRITICAL = 4
    SEVERE = 5


LEVELS = {level.name.lower(): level for level in AlarmLevel}
RANGE_TAGS = ("WatchRange", "WarningRange", "DistressRange", "CriticalRange", "SevereRange")


@dataclass(frozen=True, slots=True)
class Range:
    """Bounds, each inclusive or not; a missing bound does not limit."""

    low: float | None = None
    low_inclusive: bool = True
    high: float | None = None
    high_inclusive: bool = True

    def inside(self, values: np.ndarray) -> np.ndarray:
        """Whether each value lies within the bounds (NaN lies within none)."""
        with np.errstate(invalid="ignore"):
            result = np.ones(values.shape, dtype=bool)
            if self.low is not None:
                result &= values >= self.low if self.low_inclusive else values > self.low
            if self.high is not None:
                result &= values <= self.high if self.high_inclusive else values < self.high
        return result

    def __repr__(self) -> str:
        low = "" if self.low is None else f"{'[' if self.low_inclusive else '('}{self.low!r}"
        high = "" if self.high is None else f"{self.high!r}{']' if self.high_inclusive else ')'}"
        return f"{low or '(-inf'}, {high or 'inf)'}"


@dataclass(frozen=True, slots=True)
class ValidRange:
    range: Range
    calibrated: bool  # whether it applies to the calibrated value (else to the raw value)

    def invalid(self, raw: np.ndarray, calibrated: np.ndarray) -> np.ndarray:
        values = calibrated if self.calibrated else raw
        return ~self.range.inside(np.asarray(values))


@dataclass(frozen=True, slots=True)
class Alarm:
    """Static alarm ranges (level, range, whether the alarm is inside it), or alarm levels by
    enumeration label with a default level."""

    ranges: tuple[tuple[AlarmLevel, Range, bool], ...] = ()
    labels: tuple[tuple[str, AlarmLevel], ...] = ()
    default: AlarmLevel = AlarmLevel.NORMAL

    def levels(self, values: np.ndarray) -> np.ndarray:
        values = np.asarray(values)
        if self.labels or not self.ranges:
            out = np.full(values.shape, int(self.default), dtype=np.uint8)
            for label, level in self.labels:
                out[values == label] = level
            return out
        out = np.zeros(values.shape, dtype=np.uint8)
        for level, bounds, inside in self.ranges:  # in increasing severity: the last that applies wins
            hit = bounds.inside(values)
            if not inside:
                hit = ~hit & ~np.isnan(values.astype(np.float64))
            out[hit] = level
        return out


@dataclass(frozen=True, slots=True)
class Checks:
    """What a parameter type says about its values beyond decoding them."""

    valid: ValidRange | None = None
    alarm: Alarm | None = None


def evaluate(checks: Checks, raw: Any, calibrated: Any) -> tuple[Any, Any]:
    """(invalid, alarm level) of a value or of columns: booleans and uint8 levels, or None where
    the type has no valid range or no alarm."""
    column = isinstance(raw, np.ndarray)
    raw_values = raw if column else np.array([raw])
    cal_values = calibrated if column else np.array([calibrated], dtype=object if calibrated is None else None)
    invalid = checks.valid.invalid(raw_values, cal_values) if checks.valid is not None else None
    levels = checks.alarm.levels(cal_values) if checks.alarm is not None else None
    if column:
        return invalid, levels
    return (None if invalid is None else bool(invalid[0]),
            None if levels is None else AlarmLevel(int(levels[0])))


def evaluate_any(checks: Checks, raw: Any, calibrated: Any) -> tuple[Any, Any]:
    """As evaluate, for values of structures too: a masked column gives masked results (no check
    where no value), an object column or array (one array per packet, or arrays of different
    shapes) gives one result per item."""
    if isinstance(raw, np.ndarray) and raw.dtype == object or isinstance(calibrated, np.ndarray) and \
            calibrated.dtype == object:
        raw, calibrated = _objects(raw), _objects(calibrated)
        parts = [(None, None) if r is None or c is None else evaluate_any(checks, r, c)
                 for r, c in zip(raw.reshape(-1).tolist(), calibrated.reshape(-1).tolist())]
        out = []
        for k, want in enumerate((checks.valid, checks.alarm)):
            if want is None:
                out.append(None)
                continue
            column = np.empty(len(parts), dtype=object)
            column[:] = [p[k] for p in parts]
            missing = np.array([p[k] is None for p in parts], dtype=bool)
            column = column.reshape(raw.shape)
            out.append(np.ma.masked_array(column, missing.reshape(raw.shape)) if missing.any() else column)
        return out[0], out[1]
    mask = np.ma.getmask(raw) | np.ma.getmask(calibrated)
    if mask is not np.ma.nomask:
        bad, levels = evaluate(checks, np.ma.getdata(raw), np.ma.getdata(calibrated))
        return (None if bad is None else np.ma.masked_array(bad, mask),
                None if levels is None else np.ma.masked_array(levels, mask))
    return evaluate(checks, raw, calibrated)


def _objects(values: Any) -> np.ndarray:
    """An array as an object array, None where a masked array has no value."""
    if isinstance(values, np.ma.MaskedArray):
        return values.astype(object).filled(None)
    return np.asarray(values, dtype=object)
