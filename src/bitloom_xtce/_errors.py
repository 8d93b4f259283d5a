"""The exceptions of bitloom_xtce."""


class XtceError(ValueError):
    """A definition that cannot be loaded: an element or attribute that is not supported, a
    reference to nothing, a value that does not parse. The message names the element, its name
    attribute and its line."""


class PacketError(ValueError):
    """A packet that cannot be decoded with the definition: too short for its container, or one
    that matches no concrete container (or more than one)."""
