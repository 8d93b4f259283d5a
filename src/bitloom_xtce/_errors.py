"""The exceptions of bitloom_xtce."""
from __future__ import annotations


class XtceError(ValueError):
    """A definition that cannot be loaded: an element or attribute that is not supported, a
    reference to nothing, a value that does not parse. The message names the element, its name
    attribute and its line."""


class PacketError(ValueError):
    """A packet that cannot be decoded with the definition: too short for its container, a field
    whose bits are no value of its encoding, or one that matches no concrete container (or more
    than one). `reason` is the key under which decode_file counts such packets in `skipped`."""

    def __init__(self, message: str, reason: str | None = None) -> None:
        super().__init__(message)
        self.reason = reason


class XtceWarning(UserWarning):
    """A definition loaded without some of what its document says: constructs that never change
    how a packet decodes (commanding, algorithms, alarms, display hints, elements of other
    namespaces...), spellings outside the schema read for what they mean, and parameter types
    that no container places and that could not be decoded. One warning per load lists each kind
    once; `Definition.tolerated` has the same list. `load(..., strict=True)` refuses them instead."""
