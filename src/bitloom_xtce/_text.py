"""Values of a type whose encoding is not its own kind's: numbers written as text, booleans
written as text, enumerations and booleans encoded as binary data. Each works on one value or on
a column; a text that does not parse is a bad value of its packet."""
from __future__ import annotations

from typing import Any

import numpy as np

from ._errors import PacketError


def _number(kind: str, text: str) -> int | float:
    written = text.strip()
    return int(written) if kind == "integer" else float(written)


def parse_numbers(kind: str, raw: Any) -> tuple[Any, np.ndarray | None]:
    """Integers (int64) or floats of text; for a column also the rows that do not parse
    (given as 0), for one value a PacketError when it does not."""
    if not isinstance(raw, np.ndarray):
        try:
            return _number(kind, raw), None
        except (ValueError, OverflowError):
            raise PacketError(f"text {raw!r} is not a{'n integer' if kind == 'integer' else ' number'}") \
                from None
    out = np.zeros(len(raw), dtype=np.int64 if kind == "integer" else np.float64)
    bad = np.zeros(len(raw), dtype=bool)
    for i, text in enumerate(raw.tolist()):
        try:
            out[i] = _number(kind, text)
        except (ValueError, OverflowError):
            bad[i] = True
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
