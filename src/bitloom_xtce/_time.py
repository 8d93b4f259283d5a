"""Time parameters: absolute times as numpy.datetime64[ns] (UTC), relative times as
numpy.timedelta64[ns], from an encoded number, its scale and offset, and a reference time.

Integer raw values with a scale and offset that are exact decimals (as written in the document)
are converted with integer arithmetic: nanoseconds = raw * scale + offset, with scale and offset
as exact fractions of a nanosecond, rounded once to the nearest nanosecond (halves upwards). A
CUC-style count of 2**-16 or 2**-32 second ticks is thus exact to the nanosecond, whatever its
size. Floating-point raw values, and values that went through a calibrator, are converted in
binary64 (exact to about 2**-52 of the value) and rounded to the nearest nanosecond.

Epochs on a continuous time scale (TAI, GPS, J2000 in TT) count seconds without leap seconds;
they are turned into UTC with LEAP_SECONDS. An instant inside a leap second (such as
2016-12-31T23:59:60.5 UTC), which numpy cannot show, is given as the end of that second
(2017-01-01T00:00:00). UNIX and dated epochs count UTC seconds as POSIX does (no leap seconds).
"""
from __future__ import annotations

import datetime
import math
import re
from dataclasses import dataclass
from fractions import Fraction
from typing import Any

import numpy as np

NS = 1_000_000_000
NAT = -(1 << 63)  # numpy's NaT: a time too far out for datetime64[ns]

# (the UTC date from which TAI - UTC is `seconds`, seconds): every leap second to date. Another
# is announced about six months ahead in IERS Bulletin C; add its line here.
LEAP_SECONDS: tuple[tuple[str, int], ...] = (
    ("1972-01-01", 10), ("1972-07-01", 11), ("1973-01-01", 12), ("1974-01-01", 13), ("1975-01-01", 14),
    ("1976-01-01", 15), ("1977-01-01", 16), ("1978-01-01", 17), ("1979-01-01", 18), ("1980-01-01", 19),
    ("1981-07-01", 20), ("1982-07-01", 21), ("1983-07-01", 22), ("1985-07-01", 23), ("1988-01-01", 24),
    ("1990-01-01", 25), ("1991-01-01", 26), ("1992-07-01", 27), ("1993-07-01", 28), ("1994-07-01", 29),
    ("1996-01-01", 30), ("1997-07-01", 31), ("1999-01-01", 32), ("2006-01-01", 33), ("2009-01-01", 34),
    ("2012-07-01", 35), ("2015-07-01", 36), ("2017-01-01", 37),
)

# Epochs of continuous scales: (the epoch as a TAI reading, written on numpy's leap-second-free
# calendar, in nanoseconds since 1970-01-01, and the scale's name).
_TAI_EPOCHS = {
    "TAI": int(np.datetime64("1958-01-01T00:00:00", "ns").astype(np.int64)),
    "GPS": int(np.datetime64("1980-01-06T00:00:19", "ns").astype(np.int64)),  # GPS = TAI - 19 s
    "J2000": int(np.datetime64("2000-01-01T11:59:27.816", "ns").astype(np.int64)),  # 12:00 TT = TAI + 32.184 s
}
UNITS = {"seconds": Fraction(NS), "picoSeconds": Fraction(1, 1000), "days": Fraction(86_400 * NS)}


def _table() -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    dates = np.array([np.datetime64(d, "ns") for d, _ in LEAP_SECONDS]).astype(np.int64)
    offsets = np.array([s for _, s in LEAP_SECONDS], dtype=np.int64) * NS
    # In TAI readings, UTC date i starts at dates[i] + offsets[i]; the leap second before it
    # takes the second before that (none before the table's first date).
    return dates, offsets, dates + offsets


_DATES, _OFFSETS, _STARTS = _table()


def tai_to_utc(tai: np.ndarray) -> np.ndarray:
    """TAI readings (int64 nanoseconds on numpy's calendar) -> UTC (int64 nanoseconds since
    1970-01-01, POSIX style). Before 1972 TAI - UTC is taken as 10 s (UTC then did not step by
    whole seconds)."""
    i = np.searchsorted(_STARTS, tai, side="right") - 1
    utc = _add(tai, -_OFFSETS[np.maximum(i, 0)])
    following = np.minimum(i + 1, len(_STARTS) - 1)
    inside = (i + 1 < len(_STARTS)) & (tai >= _STARTS[following] - NS)
    return np.where(tai == NAT, NAT, np.where(inside, _DATES[following], utc))


def utc_to_tai(utc: np.ndarray) -> np.ndarray:
    """The inverse of tai_to_utc (an instant given as the end of a leap second is read as the
    start of the day after it)."""
    i = np.searchsorted(_DATES, utc, side="right") - 1
    return utc + _OFFSETS[np.maximum(i, 0)]


def parse_epoch(written: str) -> tuple[str, int]:
    """An Epoch's text -> (scale, epoch): ("tai", TAI reading) for the continuous scales, or
    ("utc", UTC nanoseconds) for UNIX and a date or date-time (a zone, if given, is applied)."""
    text = written.strip()
    if text in _TAI_EPOCHS:
        return "tai", _TAI_EPOCHS[text]
    if text == "UNIX":
        return "utc", 0
    try:
        moment = datetime.datetime.fromisoformat(text.replace("z", "Z"))
    except ValueError:
        raise ValueError(f"epoch {written!r} is not TAI, J2000, UNIX, GPS, a date or a date-time") from None
    if moment.tzinfo is not None:
        moment = moment.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    # datetime keeps microseconds; more digits written are read here.
    fraction = text.partition(".")[2].rstrip("Zz").split("+")[0].split("-")[0] if "T" in text or " " in text else ""
    nanos = int((fraction + "000000000")[:9]) if fraction.isdigit() else moment.microsecond * 1000
    whole = np.datetime64(moment.replace(microsecond=0), "ns").astype(np.int64)
    return "utc", int(whole) + nanos


# A date-time written as text: ISO 8601 calendar dates and CCSDS ASCII time codes A (month and
# day) and B (day of year), with an optional time of day, fraction and zone.
_INSTANT = re.compile(r"([+-]?\d{4,})-(?:(\d{2})-(\d{2})|(\d{3}))"
                      r"(?:[T ](\d{2}):(\d{2})(?::(\d{2})(?:[.,](\d+))?)?)?"
                      r"(Z|[+-]\d{2}(?::?\d{2})?)?", re.ASCII | re.IGNORECASE)
_DAY = 86_400 * NS


def parse_instant(written: str) -> int:
    """A date-time written as text -> UTC nanoseconds since 1970-01-01 (rounded to the nearest
    nanosecond). Without a zone it is UTC. A 60th second (a leap second, at the end of a UTC
    day) is given as the end of that second, as for times decoded from numbers. ValueError if
    the text is no such date-time or lies beyond datetime64[ns]."""
    match = _INSTANT.fullmatch(written.strip())
    if match is None:
        raise ValueError(f"{written!r} is not a date-time (ISO 8601 or CCSDS ASCII)")
    year, month, day, ordinal, hour, minute, second, fraction, zone = match.groups()
    try:
        if ordinal is not None:
            date = datetime.date(int(year), 1, 1) + datetime.timedelta(days=int(ordinal) - 1)
            if date.year != int(year) or int(ordinal) < 1:
                raise ValueError
        else:
            date = datetime.date(int(year), int(month), int(day))
        hours, minutes, seconds = int(hour or 0), int(minute or 0), int(second or 0)
        if hours > 23 or minutes > 59 or seconds > 60 or (seconds == 60 and (hours, minutes) != (23, 59)):
            raise ValueError
    except (ValueError, OverflowError):
        raise ValueError(f"{written!r} is not a valid date-time") from None
    days = date.toordinal() - datetime.date(1970, 1, 1).toordinal()
    ns = days * _DAY + ((hours * 60 + minutes) * 60 + seconds) * NS
    if seconds == 60:  # inside a leap second: its end
        ns = (days + 1) * _DAY
    elif fraction:
        ns += (int((fraction + "0" * 10)[:10]) + 5) // 10
    if zone and zone.upper() != "Z":
        sign = -1 if zone[0] == "-" else 1
        digits = zone[1:].replace(":", "")
        ns -= sign * (int(digits[:2]) * 3600 + int(digits[2:4] or 0) * 60) * NS
    if not NAT < ns < 1 << 63:
        raise ValueError(f"{written!r} lies beyond the years 1678 to 2262")
    return ns


@dataclass(frozen=True, slots=True)
class TimeScale:
    """How a time type's number becomes time: nanoseconds = value * scale + offset (exact
    fractions of a nanosecond), then from its reference: an epoch, or the value of another
    absolute time parameter (`offset_from`, (name, calibrated))."""

    scale: Fraction
    offset: Fraction
    absolute: bool
    epoch_scale: str = "utc"  # "tai" or "utc"
    epoch: int = 0
    offset_from: tuple[str, bool] | None = None
    epoch_text: str = ""

    def nanoseconds(self, value: np.ndarray) -> np.ndarray:
        """int64 nanoseconds of each value, rounded to the nearest (halves upwards)."""
        scale, offset = self.scale, self.offset
        if value.dtype.kind in "iub" and not (value.dtype == np.uint64 and (value >> np.uint64(63)).any()):
            value = value.astype(np.int64)
            largest = int(np.abs(value).max()) if len(value) else 0
            if (largest + 1) * abs(scale) + abs(offset) >= 1 << 62:  # products would leave int64
                return _exactly(value, scale, offset)
            if scale.denominator == 1 and offset.denominator == 1:
                return value * np.int64(scale.numerator) + np.int64(offset.numerator)
            # value * p / q + offset, split so that no product leaves int64: value = a*q + b, and
            # offset = whole + f/d; then ns = a*p + whole + round((b*p*d + f*q) / (q*d)).
            p, q = scale.numerator, scale.denominator
            whole, fraction = offset.__floor__(), offset - offset.__floor__()
            f, d = fraction.numerator, fraction.denominator
            if 4 * (abs(p) + 1) * q * d < 1 << 62:
                a, b = np.divmod(value, np.int64(q))
                top = b * np.int64(p * d) + np.int64(f * q)
                return a * np.int64(p) + np.int64(whole) + (2 * top + np.int64(q * d)) // np.int64(2 * q * d)
            return _exactly(value, scale, offset)
        if value.dtype.kind in "iu":
            return _exactly(value, scale, offset)
        with np.errstate(all="ignore"):
            ns = np.rint(value.astype(np.float64) * _float(scale) + _float(offset))
            bad = ~np.isfinite(ns) | (np.abs(ns) >= 2.0 ** 63)
            return np.where(bad, NAT, ns).astype(np.int64)

    def convert(self, value: Any, get: Any) -> Any:
        """Time values of a number or a column of numbers (`get` gives other parameters' values)."""
        column = isinstance(value, np.ndarray)
        ns = self.nanoseconds(np.asarray(value if column else [value]))
        if not self.absolute:
            out: Any = ns.view("m8[ns]")
        elif self.offset_from is not None:
            base = np.asarray(get(*self.offset_from)).astype("M8[ns]").view(np.int64)
            out = _add(base, ns).view("M8[ns]")
        elif self.epoch_scale == "tai":
            out = tai_to_utc(_add(ns, self.epoch)).view("M8[ns]")
        else:
            out = _add(ns, self.epoch).view("M8[ns]")
        return out if column else out[0]

    def number(self, value: Any, get: Any) -> np.ndarray:
        """The inverse of convert, for encoding: the numbers (float64) whose times are `value`
        (datetime64 for absolute times, timedelta64 for relative ones, or what numpy reads as
        them: ISO text, datetime objects)."""
        column = np.atleast_1d(np.asarray(value))
        try:
            if column.dtype.kind in "biuf":  # numpy would read a number as a count of its own units
                raise TypeError
            if self.absolute:
                if column.dtype.kind in "OU":  # numpy wraps text and objects beyond datetime64[ns] silently
                    column.astype("M8[us]").astype("M8[ns]")  # an OverflowError there
                ns = column.astype("M8[ns]").view(np.int64)
                nat = bool((ns == NAT).any())
                if self.offset_from is not None:
                    ns = ns - np.asarray(get(*self.offset_from)).astype("M8[ns]").view(np.int64)
                elif self.epoch_scale == "tai":
                    ns = utc_to_tai(ns) - np.int64(self.epoch)
                else:
                    ns = ns - np.int64(self.epoch)
            else:
                ns = column.astype("m8[ns]").view(np.int64)
                nat = bool((ns == NAT).any())
        except OverflowError:
            what = "the times datetime64[ns] holds (the years 1678 to 2262)" if self.absolute else \
                "the durations timedelta64[ns] holds (292 years)"
            raise ValueError(f"{str(np.atleast_1d(np.asarray(value))[0])!r} lies beyond {what}") from None
        except (TypeError, ValueError):
            kind = "a time (numpy.datetime64)" if self.absolute else "a duration (numpy.timedelta64)"
            raise ValueError(f"{column.tolist()[0]!r} is not {kind}; numbers are given with raw=True") from None
        if nat:
            kind = "a time" if self.absolute else "a duration"
            raise ValueError(f"NaT is not {kind} that can be encoded")
        return (ns - float(self.offset)) / float(self.scale)

    def __repr__(self) -> str:
        ref = f"from {self.offset_from[0]}" if self.offset_from else f"since {self.epoch_text}" if self.absolute else ""
        return f"TimeScale(x * {self.scale} ns + {self.offset} ns {ref})".replace("  ", " ").replace(" )", ")")


def _exactly(value: np.ndarray, scale: Fraction, offset: Fraction) -> np.ndarray:
    """Integer nanoseconds in Python integers (scales whose fractions do not fit int64 products);
    NaT where the time lies beyond what datetime64[ns] holds (the years 1678 to 2262)."""
    out = [(int(v) * scale + offset + Fraction(1, 2)).__floor__() for v in value.tolist()]
    return np.array([n if NAT < n < 1 << 63 else NAT for n in out], dtype=np.int64)


def _float(x: Fraction) -> float:
    try:
        return float(x)
    except OverflowError:
        return math.inf if x > 0 else -math.inf


def _add(a: np.ndarray, b: Any) -> np.ndarray:
    """a + b in int64 nanoseconds, NaT where either is NaT or the sum leaves int64."""
    a, b = np.broadcast_arrays(np.asarray(a, dtype=np.int64), np.asarray(b, dtype=np.int64))
    with np.errstate(over="ignore"):
        total = a + b
    wrapped = ((b > 0) & (total < a)) | ((b < 0) & (total > a))
    return np.where(wrapped | (a == NAT) | (b == NAT) | (total == NAT), NAT, total)
