"""Validity ranges and static alarms of a parameter type, evaluated on whole columns.

A value outside its type's valid range keeps its value and is marked invalid. An alarm level is
given to every value: the most severe level whose range the value violates (with the default
rangeForm "outside", a value below the range's minimum or above its maximum; with "inside", a
value within it), or, for an enumeration, the level its label is listed with (else the alarm's
defaultAlarmLevel). Alarm conditions (criteria on the packet's values, one per level) raise the
level to the most severe one whose criterion holds. Context alarms replace the default alarm in
the packets where their context matches (the first that matches, in the order listed); where
none matches and there is no default alarm, the level is normal. Alarms look at calibrated
values. Each value is judged on its own: minViolations (how many successive values must violate
before a monitor raises an alarm) is a matter for whoever watches the stream of values.
"""
from __future__ import annotations

from dataclasses import dataclass
from enum import IntEnum
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from ._model import Criterion, Lookup


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
    enumeration label with a default level; and alarm conditions (level, criterion), in
    increasing severity."""

    ranges: tuple[tuple[AlarmLevel, Range, bool], ...] = ()
    labels: tuple[tuple[str, AlarmLevel], ...] = ()
    default: AlarmLevel = AlarmLevel.NORMAL
    conditions: tuple[tuple[AlarmLevel, Criterion], ...] = ()

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


# Which alarm applies where: (alarm or None, rows it applies to, its conditions' levels per row
# or None), rows and levels a column per packet or one value for one packet.
Choice = list[tuple["Alarm | None", Any, Any]]


@dataclass(frozen=True, slots=True)
class Checks:
    """What a parameter type says about its values beyond decoding them: a valid range, a
    default alarm and context alarms (criterion, alarm), in the order listed."""

    valid: ValidRange | None = None
    alarm: Alarm | None = None
    contexts: tuple[tuple[Criterion, Alarm], ...] = ()

    @property
    def alarmed(self) -> bool:
        return self.alarm is not None or bool(self.contexts)

    def choose(self, get: Lookup | None) -> Choice | None:
        """Where each alarm applies, from the packets' other values (`get`: one packet's or
        columns); None when only the default alarm's ranges or labels decide."""
        if not self.contexts and (self.alarm is None or not self.alarm.conditions):
            return None
        if get is None:
            raise ValueError("context alarms and alarm conditions need the packet's other values")
        choice: Choice = []
        decided: Any = np.False_
        for criterion, alarm in self.contexts:
            match = np.asarray(criterion.evaluate(get), dtype=bool) & ~decided
            choice.append((alarm, match, _condition_levels(alarm, get)))
            decided = decided | match
        choice.append((self.alarm, ~np.asarray(decided, dtype=bool), _condition_levels(self.alarm, get)))
        return choice


def _condition_levels(alarm: Alarm | None, get: Lookup) -> Any:
    """The most severe level whose alarm condition holds (a column, or one level); None without
    conditions."""
    if alarm is None or not alarm.conditions:
        return None
    out: Any = np.uint8(0)
    for level, criterion in alarm.conditions:  # in increasing severity: the last that holds wins
        out = np.where(np.asarray(criterion.evaluate(get), dtype=bool), np.uint8(level), out)
    return np.asarray(out, dtype=np.uint8)


def _per_row(part: Any, values: np.ndarray) -> Any:
    """A value per packet (or one) shaped to broadcast over that packet's values."""
    part = np.asarray(part)
    return part.reshape(part.shape + (1,) * (values.ndim - part.ndim)) if 0 < part.ndim <= values.ndim else part


def _alarm_levels(checks: Checks, values: np.ndarray, choice: Choice | None) -> np.ndarray | None:
    if choice is None:
        return checks.alarm.levels(values) if checks.alarm is not None else None
    out = np.zeros(values.shape, dtype=np.uint8)
    for alarm, rows, conditions in choice:
        if alarm is None:
            continue
        levels = alarm.levels(values)
        if conditions is not None:
            levels = np.maximum(levels, _per_row(conditions, values))
        out = np.where(_per_row(rows, values), levels, out)
    return out.astype(np.uint8)


def _choice_row(choice: Choice | None, row: int, rows: int) -> Choice | None:
    """The choice for one item of an object column of `rows` packets."""
    if choice is None:
        return None
    return [(alarm, *(p[row] if p is not None and np.ndim(p) and len(p) == rows else p for p in parts))
            for alarm, *parts in choice]


def evaluate(checks: Checks, raw: Any, calibrated: Any, choice: Choice | None = None) -> tuple[Any, Any]:
    """(invalid, alarm level) of a value or of columns: booleans and uint8 levels, or None where
    the type has no valid range or no alarm. `choice`: where context alarms and alarm conditions
    apply (Checks.choose)."""
    column = isinstance(raw, np.ndarray)
    raw_values = raw if column else np.array([raw])
    cal_values = calibrated if column else np.array([calibrated], dtype=object if calibrated is None else None)
    invalid = checks.valid.invalid(raw_values, cal_values) if checks.valid is not None else None
    levels = _alarm_levels(checks, cal_values, choice) if checks.alarmed else None
    if column:
        return invalid, levels
    return (None if invalid is None else bool(invalid[0]),
            None if levels is None else AlarmLevel(int(levels[0])))


def evaluate_any(checks: Checks, raw: Any, calibrated: Any, choice: Choice | None = None) -> tuple[Any, Any]:
    """As evaluate, for values of structures too: a masked column gives masked results (no check
    where no value), an object column or array (one array per packet, or arrays of different
    shapes) gives one result per item."""
    if isinstance(raw, np.ndarray) and raw.dtype == object or isinstance(calibrated, np.ndarray) and \
            calibrated.dtype == object:
        raw, calibrated = _objects(raw), _objects(calibrated)
        rows = raw.size
        parts = [(None, None) if r is None or c is None else evaluate_any(checks, r, c, _choice_row(choice, i, rows))
                 for i, (r, c) in enumerate(zip(raw.reshape(-1).tolist(), calibrated.reshape(-1).tolist()))]
        out = []
        for k, want in enumerate((checks.valid, checks.alarmed or None)):
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
        bad, levels = evaluate(checks, np.ma.getdata(raw), np.ma.getdata(calibrated), choice)
        return (None if bad is None else np.ma.masked_array(bad, mask),
                None if levels is None else np.ma.masked_array(levels, mask))
    return evaluate(checks, raw, calibrated, choice)


def _objects(values: Any) -> np.ndarray:
    """An array as an object array, None where a masked array has no value."""
    if isinstance(values, np.ma.MaskedArray):
        return values.astype(object).filled(None)
    return np.asarray(values, dtype=object)
