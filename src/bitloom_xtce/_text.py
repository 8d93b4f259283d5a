"""Values of a type whose encoding is not its own kind's: numbers, enumeration codes and times
written as text, booleans written as text, enumerations, booleans and times encoded as binary
data. Each works on one value or on
a column; a text that does not parse is a bad value of its packet."""
from __future__ import annotations

from typing import Any

import numpy as np

from ._errors import PacketError
from ._time import parse_instant


def _number(kind: str, text: str) -> int | float:
    written = text.strip()
    return int(written) if kind in ("integer", "enumerated") else float(written)


# What each kind of type reads from text: integers (an enumeration's code too), floats (a
# duration's count too), or an absolute time's date-time.
_WHAT = {"integer": "an integer", "enumerated": "an integer", "float": "a number", "relative_time": "a number",
         "absolute_time": "a date-time (ISO 8601)"}
_DTYPES = {"integer": np.int64, "enumerated": np.int64, "float": np.float64, "relative_time": np.float64,
           "absolute_time": "M8[ns]"}
TEXT_KINDS = frozenset(_WHAT)


def _parse(kind: str, text: str) -> Any:
    if kind == "absolute_time":
        return np.datetime64(parse_instant(text), "ns")
    return _number(kind, text)


def parse_numbers(kind: str, raw: Any, lenient: bool = False) -> tuple[Any, np.ndarray | None]:
    """The values texts give for a type of `kind` (one of TEXT_KINDS): integers (int64),
    floats, or date-times (datetime64[ns], UTC); for a column also the rows that do not parse
    (given as 0 or NaT), for one value a PacketError when it does not (`lenient`: 0 or NaT, as
    in a column, for restrictions evaluated before the packet is refused)."""
    if not isinstance(raw, np.ndarray):
        try:
            return _parse(kind, raw), None
        except (ValueError, OverflowError):
            if lenient:
                return np.zeros(1, dtype=_DTYPES[kind])[0].item() if kind != "absolute_time" else \
                    np.datetime64("NaT", "ns"), None
            raise PacketError(f"text {raw!r} is not {_WHAT[kind]}") from None
    out = np.zeros(len(raw), dtype=_DTYPES[kind])
    bad = np.zeros(len(raw), dtype=bool)
    for i, text in enumerate(raw.tolist()):
        try:
            out[i] = _parse(kind, text)
        except (ValueError, OverflowError, AttributeError):  # (None: no value in this packet)
            bad[i] = True
    if kind == "absolute_time" and bad.any():
        out[bad] = np.datetime64("NaT", "ns")
    return out, bad


def text_boolean(raw: Any, one: str, zero: str) -> Any:
    """True for the one-text, False for the zero-text (case aside); any other text is true
    unless it is empty or "0"."""
    ones, zeros = one.lower(), zero.lower()

    def truth(text: str) -> bool:
        lowered = text.lower()
        if lowered == ones:
            return True
        if lowered == zeros:
            return False
        return lowered not in ("", "0")

    if not isinstance(raw, np.ndarray):
        return truth(raw)
    return np.array([truth(t) for t in raw.tolist()], dtype=bool)


def binary_integer(raw: Any) -> Any:
    """Binary data as an unsigned big-endian integer (a column of them: uint64)."""
    if not isinstance(raw, np.ndarray):
        return int.from_bytes(raw, "big")
    return np.array([int.from_bytes(b, "big") for b in raw.tolist()], dtype=np.uint64)
